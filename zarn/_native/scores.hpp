// Model-quality scores: robust statistics and the minimum-description-length score.
#pragma once

#include "types.hpp"

#include <vector>

namespace zarn {

// Median of v (0.0 when empty). Takes its own copy, which it reorders.
double median_inplace(std::vector<double> v);

// Raw median absolute deviation of y: no scale factor, no floor; 0.0 when empty.
double mad(const VectorXd& y);

// Fraction of i with |yp[i] - yt[i]| < eps, floored at 1/(2n); NaN for n = 0.
double compute_SR(const VectorXd& yp, const VectorXd& yt, double eps);

// b' (R b).
double quad_form(const VectorXd& b, const MatrixXd& R);

// MDL score for a given hit tolerance eps; beta and pen may be null (no penalty).
double mdl_score_cached(const VectorXd& yp, const VectorXd& yt, int k, int H, double eps,
                        const VectorXd* beta, const PenaltySpec* pen);

// Tolerance the MDL score derives from the observations: 0.4 * mad, or 0.4 when the
// MAD is zero or NaN.
double mdl_tolerance(double mad_of_yt);

// MDL score with the tolerance derived from yt.
double mdl_score(const VectorXd& yp, const VectorXd& yt, int k, int H, const VectorXd* beta,
                 const PenaltySpec* pen);

} // namespace zarn
