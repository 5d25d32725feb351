// The S-estimate: the coefficients of smallest M-scale among elemental and least-squares
// starts, after concentration steps, refined until the scale settles.
#pragma once

#include "starts.hpp"
#include "types.hpp"

namespace zarn::robust {

struct SEstimate {
    VectorXd coef;
    double scale = 0.0;
};

// The S-estimate of the search samples `s`. `elemental` holds the exact fits of the
// elemental subsets (one per row); `clean_count` of them are used when a least-squares fit
// shows no outlier; `floor` is the scale below which residuals count as zero.
SEstimate s_estimate(const Samples& s, const MatrixXd& elemental, Index clean_count, double floor);

// Residuals below this size relative to y (its median plus its MAD) count as zero: data on
// a polynomial is an exact fit, whatever its rounding errors.
double zero_floor(const VectorXd& y);

} // namespace zarn::robust
