// The per-series fit and the parallel loop over a block of series sharing one design.
#pragma once

#include "starts.hpp"
#include "types.hpp"

namespace zarn::robust {

using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// Results of a block of m series with k coefficients and n samples, one row per series
// (covariances flattened row by row, k * k per series).
struct BlockFit {
    RowMatrix coef, cov, cov_h1, stderr_avar1, stderr_h1, weights;
    Eigen::Matrix<std::uint8_t, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> inliers;
    VectorXd scale, s_scale, noise_scale;
    Eigen::Matrix<std::int64_t, Eigen::Dynamic, 1> n_used;
    Eigen::Matrix<std::int8_t, Eigen::Dynamic, 1> status;
};

// The draws shared by a block's complete series (those with every sample present).
struct SharedDraws {
    Draws draws;
    std::vector<Index> rows; // 0..n-1: a complete series' positions are the design's rows
};

SharedDraws draw_shared(const MatrixXd& Phi, std::uint64_t seed);

// One series: observations y (n; a non-finite value is missing) with precision weights w
// (n; 0 for a missing sample) on the design Phi (n x k). A complete series uses the block's
// shared draws; one with missing samples makes its own, the same as `shared` would be for
// the design of its present rows alone.
SeriesFit fit_series(const MatrixXd& Phi, const double* y, const double* w,
                     const SharedDraws& shared, const Settings& settings);

// Every row of Y (m x n) on Phi, in parallel over the rows; W (m x n) holds each series'
// weights, or is empty for weights of 1 (a missing value is then still a NaN in Y); `shared`
// (n, may be empty) multiplies them. No series' result depends on the others, on the number
// of threads or on the block it is fitted in.
BlockFit fit_block(const MatrixXd& Phi, const Eigen::Ref<const RowMatrix>& Y,
                   const Eigen::Ref<const RowMatrix>& W, const VectorXd& shared_weights,
                   const Settings& settings);

} // namespace zarn::robust
