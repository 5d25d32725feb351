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

// One sample's weights and right-hand sides of the covariances' normal systems.
struct RowTerms {
    double slope;   // psi'(t): the M-step's Hessian
    double ws;      // psi'(t) t: the S-scale's effect on the coefficients
    double psi2;    // psi(t)^2: the middle of avar1's sandwich
    double psi_chi; // psi(t) chi(t0)

    // Entry i of the arrays of each term.
    template <class V> void store(Index i, V& slope_, V& ws_, V& psi2_, V& psi_chi_) const {
        slope_[i] = slope;
        ws_[i] = ws;
        psi2_[i] = psi2;
        psi_chi_[i] = psi_chi;
    }
};

// The sums over the samples that both covariances are built from.
struct Sums {
    MatrixXd normal, middle, gram; // X' diag(psi') X + P, X' diag(psi^2) X, X'X + P
    VectorXd Xws, Xww;             // X' (psi' t), X' (psi chi(t0))
    double w0r0 = 0.0, chi2 = 0.0; // sums of chi'(t0) t0 and chi(t0)^2 - BREAKDOWN^2
    double psi2 = 0.0, dpsi = 0.0, dpsi2 = 0.0;

    // The terms of a sample with final residual r and S-residual r0, its scalars added.
    RowTerms add(double r, double r0, double scale) {
        const double t = r / scale, t0 = r0 / scale;
        const double psi_r = psi(t, MM_TUNING), chi_r0 = rho(t0, S_TUNING);
        RowTerms row;
        row.slope = psi_slope(t, MM_TUNING);
        row.ws = row.slope * t;
        row.psi2 = psi_r * psi_r;
        row.psi_chi = psi_r * chi_r0;
        w0r0 += rho_slope(t0, S_TUNING) * t0;
        chi2 += chi_r0 * chi_r0 - BREAKDOWN * BREAKDOWN;
        psi2 += row.psi2;
        dpsi += row.slope;
        dpsi2 += row.slope * row.slope;
        return row;
    }
};

// The sums for K columns: the residuals, the terms and the three normal systems in one
// pass over the rows, nothing stored per row (the same sums, in the same order, as
// normal_system_into of stored terms).
template <int K>
void sums_of(const Samples& s, const VectorXd& coef, const VectorXd& s_coef, double scale,
             Sums& out) {
    using Normal = NormalSums<K>;
    using Rows = typename Normal::Rows;
    constexpr Index W = Normal::W;
    Normal normal, middle, gram;
    Rows x[K];
    const Rows none = Rows::Zero();
    const FixedCoef<K> b(coef), b0(s_coef);
    for_rows<W>(s.X.rows(), [&](Index i, Index len) {
        load_rows<K>(s.X, i, len, x);
        const Rows y = load_entries<W>(s.y.data(), i, len);
        const Rows r = b.residuals(y, x), r0 = b0.residuals(y, x);
        Rows slope = none, ws = none, psi2 = none, psi_chi = none, ones = none;
        for (Index j = 0; j < len; ++j) {
            out.add(r[j], r0[j], scale).store(j, slope, ws, psi2, psi_chi);
            ones[j] = 1.0;
        }
        normal.add(slope, x, ws);
        middle.add(psi2, x, psi_chi);
        gram.add(ones, x, none);
    });
    const Index k = K;
    out.normal.setZero(k, k);
    out.middle.setZero(k, k);
    out.gram.setZero(k, k);
    out.Xws.resize(k);
    out.Xww.resize(k);
    normal.store(out.normal, &out.Xws);
    middle.store(out.middle, &out.Xww);
    gram.store(out.gram, nullptr);
    complete_normal_matrix(out.normal, s.penalty);
    complete_normal_matrix(out.middle, MatrixXd::Zero(k, k));
    complete_normal_matrix(out.gram, s.penalty);
}

// The same for any number of columns, by passes over stored residuals and terms.
void sums_stored(const Samples& s, const VectorXd& coef, const VectorXd& s_coef, double scale,
                 Sums& out) {
    const Index n = s.X.rows(), k = s.X.cols();
    const VectorXd r = residuals(s, coef), r0 = residuals(s, s_coef);
    VectorXd slope(n), ws(n), psi2(n), psi_chi(n);
    for (Index i = 0; i < n; ++i) {
        out.add(r[i], r0[i], scale).store(i, slope, ws, psi2, psi_chi);
    }
    normal_system_into(s, slope, ws, s.penalty, out.normal, out.Xws);
    normal_system_into(s, psi2, psi_chi, MatrixXd::Zero(k, k), out.middle, out.Xww);
    normal_matrix_into(s, VectorXd::Ones(n), s.penalty, out.gram);
}

MatrixXd avar1_of(const Sums& sums, double scale, Index n) {
    const Index k = sums.normal.rows();
    const double dn = static_cast<double>(n);
    const double mean_w0r0 = sums.w0r0 / dn, mean_chi2 = sums.chi2 / dn;
    if (!(mean_w0r0 > 0.0))
        return undefined(k);
    const MatrixXd A = inverse(sums.normal) * scale;
    const VectorXd a = A * sums.Xws / mean_w0r0;
    const MatrixXd u1 = A * sums.middle * (dn * A);
    const MatrixXd u2 = a * (sums.Xww.transpose() * A);
    const MatrixXd u3 = (A * sums.Xww) * a.transpose();
    const MatrixXd u4 = mean_chi2 * (a * a.transpose());
    MatrixXd V = (u1 - u2 - u3 + u4) / dn;
    V = 0.5 * (V + V.transpose());
    if (!V.allFinite())
        return undefined(k);
    return posdefify(V);
}

MatrixXd h1_of(const Sums& sums, double scale, Index n) {
    const Index k = sums.gram.rows();
    const double dn = static_cast<double>(n);
    if (!(dn > static_cast<double>(k)))
        return undefined(k);
    const double mean_dpsi = sums.dpsi / dn;
    if (!(mean_dpsi > 0.0))
        return undefined(k);
    const double var_dpsi = std::max(sums.dpsi2 / dn - mean_dpsi * mean_dpsi, 0.0);
    const double K = 1.0 + static_cast<double>(k) / dn * var_dpsi / (mean_dpsi * mean_dpsi);
    const double factor =
        K * K * sums.psi2 / (dn - static_cast<double>(k)) / (mean_dpsi * mean_dpsi);
    MatrixXd cov = (factor * scale * scale) * inverse(sums.gram);
    return 0.5 * (cov + cov.transpose());
}

} // namespace

Covariances covariances(const Samples& s, const VectorXd& coef, const VectorXd& s_coef,
                        double scale) {
    Sums sums;
    if (!with_fixed_columns(
            s.X.cols(), [&](auto K) { sums_of<decltype(K)::value>(s, coef, s_coef, scale, sums); }))
        sums_stored(s, coef, s_coef, scale, sums);
    const Index n = s.X.rows();
    return {avar1_of(sums, scale, n), h1_of(sums, scale, n)};
}

} // namespace zarn::robust
