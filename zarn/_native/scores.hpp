// Model-quality scores: robust statistics and the minimum-description-length score.
#pragma once

#include "types.hpp"

#include <vector>

namespace zarn {

// Median of v (0.0 when empty). Takes its own copy, which it reorders.
double median_inplace(std::vector<double> v);

// Raw median absolute deviation of y: no scale factor, no floor; 0.0 when empty. NaN when
// y holds a NaN, or when a deviation is NaN (an infinite median: inf - inf).
double mad(const VectorXd& y);

// Fraction of i with |yp[i] - yt[i]| < eps, floored at 1/(2n); NaN for n = 0.
double compute_SR(const VectorXd& yp, const VectorXd& yt, double eps);

// The success rate of compute_SR from its hit count: hit / n, floored at 1/(2n).
double success_rate(Index hit, Index n);

// b' (R b).
double quad_form(const VectorXd& b, const MatrixXd& R);

// b' (R b) with R b formed in the caller's workspace Rb, which allocates only when its
// size is not yet R's row count.
double quad_form(const VectorXd& b, const MatrixXd& R, VectorXd& Rb);

// MDL score for a given hit tolerance eps; beta and pen may be null (no penalty).
double mdl_score_cached(const VectorXd& yp, const VectorXd& yt, int k, int H, double eps,
                        const VectorXd* beta, const PenaltySpec* pen);

// The model-cost term of the MDL score of k coefficients on n observations with H:
// (k ln 2H / n) * k, and 0.0 for k = 0.
double mdl_cost(Index n, int k, int H);

// The score of mdl_score_cached for a prediction of success rate sr among n observations,
// with the model-cost term of mdl_cost and the penalty products formed in the workspace Rb:
// the allocation-free form for callers that count the hits themselves, compute the cost
// once and have checked the penalty shapes against beta.
double mdl_score_sr(double sr, Index n, double cost, const VectorXd* beta, const PenaltySpec* pen,
                    VectorXd& Rb);

// Tolerance the MDL score derives from the observations: 0.4 * mad, or 0.4 when the
// MAD is zero or NaN (so observations holding a NaN are scored with the tolerance 0.4).
double mdl_tolerance(double mad_of_yt);

// MDL score with the tolerance derived from yt.
double mdl_score(const VectorXd& yp, const VectorXd& yt, int k, int H, const VectorXd* beta,
                 const PenaltySpec* pen);

} // namespace zarn
