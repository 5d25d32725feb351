// Covariances of an MM-estimate's coefficients.
#pragma once

#include "types.hpp"

namespace zarn::robust {

struct Covariances {
    // R's lmrob default (.vcov.avar1, after Croux, Dhaene and Hoorelbeke 2003): the
    // asymptotic covariance of the MM-estimate that accounts for the S-estimate's scale,
    // valid when the noise is not constant. The penalty enters the M-step's Hessian.
    // Negative eigenvalues are set to zero and the diagonal restored (lmrob's
    // "posdefify").
    MatrixXd avar1;
    // Huber's covariance of the M-estimate at a fixed scale with his small-sample
    // correction (statsmodels RLM's "H1"): K^2 [sum psi^2 / (n - k)] / mean(psi')^2 scale^2
    // A^-1, with K = 1 + k var(psi') / (n mean(psi')^2) and A = X'X + penalty.
    MatrixXd h1;
};

// Both covariances of the fit coef at `scale` (the final M-step's), whose S-estimate was
// s_coef, from one pass over the samples for designs of up to MAX_FIXED_COLUMNS columns.
// Each is all NaN where it is undefined.
Covariances covariances(const Samples& s, const VectorXd& coef, const VectorXd& s_coef,
                        double scale);

} // namespace zarn::robust
