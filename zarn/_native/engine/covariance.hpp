// Covariances of an MM-estimate's coefficients.
#pragma once

#include "types.hpp"

namespace zarn::robust {

// R's lmrob default (.vcov.avar1, after Croux, Dhaene and Hoorelbeke 2003): the asymptotic
// covariance of the MM-estimate that accounts for the S-estimate's scale, valid when the
// noise is not constant. r are the final residuals, r0 those of the S-estimate, scale the
// final M-step's. The penalty enters the M-step's Hessian. Negative eigenvalues are set to
// zero and the diagonal restored (lmrob's "posdefify"). All NaN when undefined.
MatrixXd avar1_covariance(const Samples& s, const VectorXd& r, const VectorXd& r0, double scale);

// Huber's covariance of the M-estimate at a fixed scale with his small-sample correction
// (statsmodels RLM's "H1"): K^2 [sum psi^2 / (n - k)] / mean(psi')^2 scale^2 A^-1, with
// K = 1 + k var(psi') / (n mean(psi')^2) and A = X'X + penalty.
MatrixXd h1_covariance(const Samples& s, const VectorXd& r, double scale);

} // namespace zarn::robust
