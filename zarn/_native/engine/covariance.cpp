// The avar1 and H1 covariances.
#include "covariance.hpp"

#include "biweight.hpp"
#include "lsq.hpp"

#include <cmath>
#include <limits>

namespace zarn::robust {

namespace {

MatrixXd undefined(Index k) {
    return MatrixXd::Constant(k, k, std::numeric_limits<double>::quiet_NaN());
}

// lmrob's "posdefify": negative eigenvalues set to zero, then the diagonal restored.
MatrixXd posdefify(const MatrixXd& V) {
    Eigen::SelfAdjointEigenSolver<MatrixXd> eig(V);
    VectorXd lam = eig.eigenvalues();
    if ((lam.array() >= 0.0).all())
        return V;
    lam = lam.cwiseMax(0.0);
    const MatrixXd& Q = eig.eigenvectors();
    MatrixXd fixed = Q * lam.asDiagonal() * Q.transpose();
    const VectorXd d =
        (V.diagonal().cwiseMax(0.0).array() / fixed.diagonal().array()).sqrt().matrix();
    return d.asDiagonal() * fixed * d.asDiagonal();
}

} // namespace

MatrixXd avar1_covariance(const Samples& s, const VectorXd& r, const VectorXd& r0, double scale) {
    const Index n = s.X.rows(), k = s.X.cols();
    // The weights and right-hand sides of the two normal systems below, in one pass.
    VectorXd slope(n), ws(n), psi2(n), psi_chi(n);
    double mean_w0r0 = 0.0, mean_chi2 = 0.0;
    for (Index i = 0; i < n; ++i) {
        const double t = r[i] / scale, t0 = r0[i] / scale;
        const double psi_r = psi(t, MM_TUNING), chi_r0 = rho(t0, S_TUNING);
        slope[i] = psi_slope(t, MM_TUNING);
        ws[i] = slope[i] * t;
        psi2[i] = psi_r * psi_r;
        psi_chi[i] = psi_r * chi_r0;
        mean_w0r0 += rho_slope(t0, S_TUNING) * t0;
        mean_chi2 += chi_r0 * chi_r0 - BREAKDOWN * BREAKDOWN;
    }
    const double dn = static_cast<double>(n);
    mean_w0r0 /= dn;
    mean_chi2 /= dn;
    if (!(mean_w0r0 > 0.0))
        return undefined(k);
    // The two weighted normal matrices, each with its vector X' z in the same pass.
    MatrixXd normal, middle;
    VectorXd Xws, Xww;
    normal_system_into(s, slope, ws, s.penalty, normal, Xws);
    normal_system_into(s, psi2, psi_chi, MatrixXd::Zero(k, k), middle, Xww);
    const MatrixXd A = inverse(normal) * scale;
    const VectorXd a = A * Xws / mean_w0r0;
    const MatrixXd u1 = A * middle * (dn * A);
    const MatrixXd u2 = a * (Xww.transpose() * A);
    const MatrixXd u3 = (A * Xww) * a.transpose();
    const MatrixXd u4 = mean_chi2 * (a * a.transpose());
    MatrixXd V = (u1 - u2 - u3 + u4) / dn;
    V = 0.5 * (V + V.transpose());
    if (!V.allFinite())
        return undefined(k);
    return posdefify(V);
}

MatrixXd h1_covariance(const Samples& s, const VectorXd& r, double scale) {
    const Index n = s.X.rows(), k = s.X.cols();
    const double dn = static_cast<double>(n);
    if (!(dn > static_cast<double>(k)))
        return undefined(k);
    double psi2 = 0.0, dpsi = 0.0, dpsi2 = 0.0;
    for (Index i = 0; i < n; ++i) {
        const double t = r[i] / scale;
        const double p = psi(t, MM_TUNING), d = psi_slope(t, MM_TUNING);
        psi2 += p * p;
        dpsi += d;
        dpsi2 += d * d;
    }
    const double mean_dpsi = dpsi / dn;
    if (!(mean_dpsi > 0.0))
        return undefined(k);
    const double var_dpsi = std::max(dpsi2 / dn - mean_dpsi * mean_dpsi, 0.0);
    const double K = 1.0 + static_cast<double>(k) / dn * var_dpsi / (mean_dpsi * mean_dpsi);
    const double factor = K * K * psi2 / (dn - static_cast<double>(k)) / (mean_dpsi * mean_dpsi);
    MatrixXd cov =
        (factor * scale * scale) * inverse(normal_matrix(s, VectorXd::Ones(n), s.penalty));
    return 0.5 * (cov + cov.transpose());
}

} // namespace zarn::robust
