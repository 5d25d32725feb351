// The per-series fit and the parallel loop over a block of series sharing one design.
#pragma once

#include "starts.hpp"
#include "types.hpp"

namespace zarn::robust {

using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// The results of m series with k coefficients that have one value per series, one row per
// series (covariances flattened row by row, k * k per series).
struct SeriesArrays {
    RowMatrix coef, cov, cov_h1, stderr_avar1, stderr_h1;
    VectorXd scale, s_scale, noise_scale;
    Eigen::Matrix<std::int64_t, Eigen::Dynamic, 1> n_used;
    Eigen::Matrix<std::int8_t, Eigen::Dynamic, 1> status;
    void resize(Index m, Index k);
    // Series i's values from its fit.
    void store(Index i, const SeriesFit& f);
};

// Results of a block of m series with n samples: the weights and flags m x n.
struct BlockFit : SeriesArrays {
    RowMatrix weights;
    Eigen::Matrix<std::uint8_t, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> inliers;
};

// The draws shared by a block's complete series (those with every sample present).
struct SharedDraws {
    Draws draws;
    std::vector<Index> rows; // 0..n-1: a complete series' positions are the design's rows
};

SharedDraws draw_shared(const MatrixXd& Phi, std::uint64_t seed);

// Where a series' per-sample results go: n robustness weights and n inlier flags.
struct SampleOutputs {
    double* weights;
    std::uint8_t* inliers;
};

// One series: observations y (n; a non-finite value is missing) with precision weights w
// (n; 0 for a missing sample; null for unit weights) on the design Phi (n x k). A complete series
// uses the block's shared draws (when `shared` holds them); one with missing samples makes its own,
// the same as `shared` would be for the design of its present rows alone. Its weights and
// flags are written into `out` (a block's own arrays, with no copy of them).
SeriesFit fit_series(const MatrixXd& Phi, const double* y, const double* w,
                     const SharedDraws& shared, const Settings& settings, const SampleOutputs& out);

// Every row of Y (m x n) on Phi, in parallel over the rows; W (m x n) holds each series'
// weights, or is empty for weights of 1 (a missing value is then still a NaN in Y); `shared`
// (n, may be empty) multiplies them. No series' result depends on the others, on the number
// of threads or on the block it is fitted in.
BlockFit fit_block(const MatrixXd& Phi, const Eigen::Ref<const RowMatrix>& Y,
                   const Eigen::Ref<const RowMatrix>& W, const VectorXd& shared_weights,
                   const Settings& settings);

// Results of G groups of samples, each with its own rows of the design: per group as in
// BlockFit, the weights and flags per sample (N, in the order of the stacked rows).
struct GroupsFit : SeriesArrays {
    VectorXd weights;
    Eigen::Matrix<std::uint8_t, Eigen::Dynamic, 1> inliers;
};

// Group g is rows offsets[g] .. offsets[g + 1] of Phi (N x k), y and w (N; w empty for
// weights of 1), with penalty row g of `penalties` (G x k * k, row by row; empty for
// none), in parallel over the groups. Each group's result is bit for bit fit_block's of
// its rows alone as a block of one.
GroupsFit fit_groups(const Eigen::Ref<const RowMatrix>& Phi, const VectorXd& y, const VectorXd& w,
                     const std::vector<Index>& offsets,
                     const Eigen::Ref<const RowMatrix>& penalties, const Settings& settings);

} // namespace zarn::robust
