// The M-steps of an MM-estimate at a fixed scale, and the noise-scale rounds that follow.
#pragma once

#include "types.hpp"

namespace zarn::robust {

struct MFit {
    VectorXd coef;
    VectorXd weights; // robustness weights of the samples, coef's reweighted fit
    MatrixXd normal;  // the normal matrix of that fit, X' diag(weights) X + penalty
};

// The biweight M-estimate (MM_TUNING) at a fixed scale, from b: Newton steps on
// sum(scale^2 rho(r / scale)) + b' penalty b / 2, or reweighting steps where Newton's would
// not lower it; no step raises it. Returns the reweighted fit from the last point, so that
// coef is exactly the weighted fit with the returned weights.
MFit m_steps(const Samples& s, const VectorXd& b, double scale);

struct NoiseScale {
    double scale = 0.0;
    VectorXd standardised; // residuals over sqrt(1 + q - 2 w q), 0 where that is 0
};

// The noise scale of the residuals of fit (an MFit of s): the residuals divided by
// sqrt(1 + q - 2 w q) (w the robustness weight, q the leverage: 1 - q for a fitted sample,
// 1 + q for one left out), their M-scale, then the root mean square of those within CUTOFF
// M-scales over the standard deviation of a normal variable cut there.
NoiseScale noise_scale(const Samples& s, const MFit& fit, double start);

// Points whose standardised residual exceeds this many noise scales are flagged as
// outliers: 0.27 % of Gaussian noise lies beyond it.
inline constexpr double CUTOFF = 3.0;

struct MMEstimate {
    VectorXd coef;
    VectorXd weights;
    double scale = 0.0; // of the last M-step
    NoiseScale noise;
};

// The M-step at the S-scale, then M-steps at the noise scale of the previous one's
// residuals while that scale falls (at most NOISE_ROUNDS, until it settles).
MMEstimate mm_estimate(const Samples& s, const VectorXd& s_coef, double s_scale, double floor);

} // namespace zarn::robust
