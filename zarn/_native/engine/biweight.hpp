// Tukey's biweight: its rho, psi and weight functions at the two tuning constants of an
// MM-estimate, and the M-scale of a set of residuals.
#pragma once

#include "types.hpp"

namespace zarn::robust {

// The M-scale solves mean(rho(r / s)) = BREAKDOWN (n - k) / n with a biweight rho bounded
// by 1 (as R's lmrob): half of the points may be arbitrarily bad before it breaks down.
inline constexpr double BREAKDOWN = 0.5;
// Biweight constant that makes that M-scale consistent for the standard deviation of
// Gaussian noise (E rho(Z) = 0.5 for Z ~ N(0, 1)).
inline constexpr double S_TUNING = 1.547645;
// Biweight constant of the M-steps: 95 % asymptotic efficiency for Gaussian noise.
inline constexpr double MM_TUNING = 4.685061;
// Consistency factor of the median absolute deviation for Gaussian noise.
inline constexpr double MAD_TO_SD = 1.482602218505602;

// The passes of the biweight over residuals run on LANES of them at a time (two vector
// registers' worth): one partial sum per lane, added pairwise at the end, a fixed order for
// a given n.
inline constexpr Index LANES = 4;
using Lanes = Eigen::Array<double, LANES, 1>;

// f(i, len) for the runs of W rows of n, the last one len < W rows long.
template <Index W, class F> void for_rows(Index n, const F& f) {
    Index i = 0;
    for (; i + W <= n; i += W)
        f(i, W);
    if (i < n)
        f(i, n - i);
}

// Entries i .. i + len of x as W values, padded with zeros.
template <Index W>
EIGEN_STRONG_INLINE Eigen::Array<double, W, 1> load_entries(const double* x, Index i, Index len) {
    using Rows = Eigen::Array<double, W, 1>;
    if (len == W)
        return Eigen::Map<const Rows>(x + i);
    Rows out = Rows::Zero();
    for (Index j = 0; j < len; ++j)
        out[j] = x[i + j];
    return out;
}

// g(x_i .. x_i+3) for each run of LANES entries of x[0 .. n), the last run padded with
// zeros (which add nothing to the sums of rho, its slope or a count of non-zeros).
template <class G> void for_lanes(const double* x, Index n, const G& g) {
    for_rows<LANES>(n, [&](Index i, Index len) { g(load_entries<LANES>(x, i, len)); });
}

// The sum of the lanes' partial sums.
inline double lane_total(const Lanes& a) {
    return (a[0] + a[1]) + (a[2] + a[3]);
}

// min((t / c)^2, 1); a square beyond the range of doubles is 1. The constant 1 / c^2 folds
// at compile time for the tuning constants, so no division is left per sample.
inline double clipped_square(double t, double c) {
    const double u = t * t * (1.0 / (c * c));
    return u < 1.0 ? u : 1.0;
}

// clipped_square and rho of a few values at a time (Eigen arrays), inlined into the loops
// over residuals.
template <class D>
EIGEN_STRONG_INLINE typename D::PlainObject clipped_squares(const Eigen::ArrayBase<D>& t,
                                                            double c) {
    return (t.square() * (1.0 / (c * c))).min(1.0);
}
template <class D>
EIGEN_STRONG_INLINE typename D::PlainObject rhos(const Eigen::ArrayBase<D>& t, double c) {
    const typename D::PlainObject v = 1.0 - clipped_squares(t, c);
    return 1.0 - v * v * v;
}

// rho of the M-scale, bounded by 1: 1 - (1 - (t / c)^2)^3.
inline double rho(double t, double c) {
    const double v = 1.0 - clipped_square(t, c);
    return 1.0 - v * v * v;
}

// Weight psi(t) / t = (1 - (t / c)^2)^2 inside the cut, 0 outside.
inline double weight(double t, double c) {
    const double v = 1.0 - clipped_square(t, c);
    return v * v;
}

// psi(t) = t (1 - (t / c)^2)^2, 0 beyond the cut (also for infinite t).
inline double psi(double t, double c) {
    if (!(t < c && t > -c))
        return 0.0;
    const double v = 1.0 - t * t * (1.0 / (c * c));
    return t * v * v;
}

// psi'(t) = (1 - u)(1 - 5 u), u = (t / c)^2, 0 beyond the cut.
inline double psi_slope(double t, double c) {
    const double u = clipped_square(t, c);
    return (1.0 - u) * (1.0 - 5.0 * u);
}

// Derivative of rho (bounded by 1): 6 t (1 - u)^2 / c^2, 0 beyond the cut.
inline double rho_slope(double t, double c) {
    return 6.0 * psi(t, c) / (c * c);
}

// 1.4826 times the median of |r|: a quick scale of residuals. `work` is scratch space.
double mad_scale(const VectorXd& r, std::vector<double>& work);

// The M-scale of r: the s with sum(rho(r / s, S_TUNING)) = BREAKDOWN dof, by Newton's method
// on ln s from `start` safeguarded by bisection. 0 when more than n - BREAKDOWN dof of the
// residuals are exactly zero.
double m_scale(const VectorXd& r, double start, double dof);

// One Newton step on ln s towards the M-scale of r, bounded to a factor of 2 either way.
double newton_scale(const VectorXd& r, double s, double dof);

} // namespace zarn::robust
