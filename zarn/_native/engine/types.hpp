// Shared types of the robust engine: the settings of a fit, the design shared by a block of
// series, one series' prepared samples and the result of one series.
#pragma once

#include <Eigen/Dense>

#include <cstdint>
#include <new>
#include <vector>

namespace zarn::robust {

using VectorXd = Eigen::VectorXd;
using MatrixXd = Eigen::MatrixXd;
using Index = Eigen::Index;

// Status of one series' fit.
enum Status : std::int8_t {
    // MM-estimate with its scales and covariances.
    FITTED = 0,
    // No more samples of positive weight than coefficients: the (minimum-norm) penalised
    // least-squares fit, with no scale and no covariance (NaN).
    TOO_FEW = 1,
    // Nothing could be fitted (no sample of positive weight, or a fit that left the range
    // of doubles): everything NaN.
    FAILED = 2,
};

// Settings of the engine, the same for every series of a block.
struct Settings {
    // Ridge term of every penalised least-squares fit.
    double ridge = 1e-10;
    // gamma1 R1 + gamma2 R2, the penalty per unit of total weight (k x k; empty for none).
    MatrixXd penalty;
    // Seed of the subsample and of the elemental subsets.
    std::uint64_t seed = 0;
};

// One series' samples of positive weight, each row multiplied by the square root of its
// precision weight (as R's lmrob does), the weights normalised by an even power of two and
// y by a power of two, so that everything downstream is an unweighted fit of numbers near 1.
// Samples stay where they are made (neither copied nor moved), so that X, which may view
// their own storage, stays valid.
struct Samples {
    // Rows of the design, weighted: a view of `weighted`, or of the block's design itself
    // where that is them (unit weights, every sample used), saving a copy of n x k.
    Eigen::Map<const MatrixXd> X{nullptr, 0, 0};
    MatrixXd weighted;       // X's storage when it is not the block's design
    VectorXd y;              // observations, weighted and scaled
    std::vector<Index> rows; // their rows in the block's design
    // Of the M-steps: ridge I + N (gamma1 R1 + gamma2 R2), N the total weight.
    MatrixXd penalty;
    // Of the S-estimate's fits: ridge I. The M-scale has no penalty, so that its minimum,
    // and not the draws that lead to it, sets the M-steps' start.
    MatrixXd ridge;

    Samples() = default;
    Samples(const Samples&) = delete;
    Samples& operator=(const Samples&) = delete;
    // X views the n x k design at `data` (column-major), or `weighted` for nullptr.
    void view(const double* data, Index n, Index k) {
        new (&X) Eigen::Map<const MatrixXd>(data != nullptr ? data : weighted.data(), n, k);
    }
};

// Result of one series, in the units of the caller's y and weights.
struct SeriesFit {
    VectorXd coef;
    MatrixXd cov;    // lmrob's default covariance (.vcov.avar1)
    MatrixXd cov_h1; // Huber's H1 covariance at the final scale
    // Their standard errors, scaled from the fit's units separately: a covariance may leave
    // the range of doubles (y near 1e300) where the standard errors do not.
    VectorXd stderr_avar1, stderr_h1;
    double scale = 0.0;       // scale of the final M-step (lmrob's `scale`)
    double s_scale = 0.0;     // scale of the S-estimate
    double noise_scale = 0.0; // noise scale of the final residuals (the inlier cut's)
    Index n_used = 0;         // samples of positive weight
    Status status = FAILED;
};

} // namespace zarn::robust
