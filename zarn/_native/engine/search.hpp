// The S-estimate: the coefficients of smallest M-scale among elemental and least-squares
// starts, after concentration steps, refined until the scale settles.
#pragma once

#include "types.hpp"

#include <functional>

namespace zarn::robust {

struct SEstimate {
    VectorXd coef;
    double scale = 0.0;
};

// The exact fits of a series' first `count` elemental subsets, one per row (singular
// subsets left out).
using ElementalFits = std::function<MatrixXd(Index count)>;

// The S-estimate of the search samples `s` from as many elemental starts as the share of
// outliers of the annealed least-squares start asks for; `floor` is the scale below which
// residuals count as zero.
SEstimate s_estimate(const Samples& s, const ElementalFits& elemental, double floor);

// Residuals below this size relative to y (its median plus its MAD) count as zero: data on
// a polynomial is an exact fit, whatever its rounding errors.
double zero_floor(const VectorXd& y);

} // namespace zarn::robust
