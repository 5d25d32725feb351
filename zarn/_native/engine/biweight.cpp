// The quick and the M-scale of residuals.
#include "biweight.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zarn::robust {

namespace {

// At most this many Newton or bisection steps for an M-scale; it converges in about ten.
constexpr int SCALE_STEPS = 100;
// Relative change of s at which the M-scale's iterations stop; a Newton step of at most
// NEWTON_FINAL of s is the last: it leaves an error of about its square, below the
// tolerance.
constexpr double SCALE_TOLERANCE = 1e-12;
constexpr double NEWTON_FINAL = 1e-7;

// The M-scale's equation at s: excess sum(rho(r / s)) - BREAKDOWN dof, which falls as s
// grows, and slope, minus its derivative in ln s: sum(t rho'(t)) = sum(6 u (1 - u)^2).
struct Equation {
    double excess;
    double slope;
};

Equation equation(const VectorXd& r, double s, double dof) {
    Lanes rho_sum = Lanes::Zero(), slope = Lanes::Zero();
    const double inv = 1.0 / s;
    for_lanes(r.data(), r.size(), [&](const Lanes& x) {
        const Lanes u = clipped_squares(x * inv, S_TUNING);
        const Lanes v = 1.0 - u;
        rho_sum += 1.0 - v * v * v;
        slope += u * v * v;
    });
    return {lane_total(rho_sum) - BREAKDOWN * dof, 6.0 * lane_total(slope)};
}

} // namespace

double mad_scale(const VectorXd& r, std::vector<double>& work) {
    const std::size_t n = static_cast<std::size_t>(r.size());
    if (n == 0)
        return 0.0;
    work.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        work[i] = std::abs(r[static_cast<Index>(i)]);
    const std::size_t half = n / 2;
    std::nth_element(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(half), work.end());
    const double upper = work[half];
    if (n % 2 == 1)
        return MAD_TO_SD * upper;
    const double lower =
        *std::max_element(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(half));
    return 0.5 * MAD_TO_SD * (lower + upper);
}

double m_scale(const VectorXd& r, double start, double dof) {
    Lanes nonzero = Lanes::Zero();
    for_lanes(r.data(), r.size(), [&](const Lanes& x) { nonzero += (x != 0.0).cast<double>(); });
    if (lane_total(nonzero) <= BREAKDOWN * dof)
        return 0.0;
    double s = (start > 0.0 && std::isfinite(start)) ? start : r.cwiseAbs().maxCoeff();
    if (!(s > 0.0) || !std::isfinite(s))
        s = 1.0;
    double low = 0.0, high = std::numeric_limits<double>::infinity();
    for (int step = 0; step < SCALE_STEPS; ++step) {
        const Equation e = equation(r, s, dof);
        if (e.excess == 0.0)
            break;
        if (e.excess > 0.0)
            low = s;
        else
            high = s;
        const double log_step = std::clamp(e.excess / e.slope, -50.0, 50.0);
        double proposal = s * std::exp(log_step);
        bool done = std::abs(log_step) <= NEWTON_FINAL;
        if (!(low < proposal && proposal < high)) {
            proposal = std::isinf(high) ? 2.0 * s : 0.5 * (low + high);
            done = false;
        }
        done = done || std::abs(proposal - s) <= SCALE_TOLERANCE * s;
        s = proposal;
        if (done)
            break;
    }
    return s;
}

double newton_scale(const VectorXd& r, double s, double dof) {
    const Equation e = equation(r, s, dof);
    const double step = std::clamp(e.excess / e.slope, -M_LN2, M_LN2);
    return std::isnan(step) ? s : s * std::exp(step);
}

} // namespace zarn::robust
