#include "scores.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace zarn {

double median_inplace(std::vector<double> v) {
    const std::size_t n = v.size();
    if (n == 0)
        return 0.0;
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(v.begin(), mid, v.end());
    if (n % 2 == 1)
        return *mid;
    // After the selection every element before mid is <= *mid, so the other middle order
    // statistic is the largest of them: one scan instead of a second selection.
    const double a = *mid;
    const double b = *std::max_element(v.begin(), mid);
    return 0.5 * (a + b);
}

double mad(const VectorXd& y) {
    // Under the less-than order a NaN compares false with everything, so a selection over
    // it returns a value that depends on where the NaN sits. A NaN anywhere gives NaN, as
    // NumPy's median does; the scan costs a few percent of the selections.
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (any_nan(y.data(), y.size()))
        return nan;
    std::vector<double> buf(y.data(), y.data() + y.size());
    const double m = median_inplace(buf);
    for (double& v : buf)
        v = std::abs(v - m);
    // An infinite median (a middle element that is infinite, or the mean of the two middle
    // ones overflowing) or a NaN one (the mean of -inf and inf) can make deviations NaN:
    // inf - inf. Otherwise every deviation is a number or +inf.
    if (!std::isfinite(m) && any_nan(buf.data(), static_cast<Index>(buf.size())))
        return nan;
    return median_inplace(std::move(buf));
}

double compute_SR(const VectorXd& yp, const VectorXd& yt, double eps) {
    require_same_length(yp.size(), yt.size(), "yp", "yt");
    // NaN deviations compare false and so count as misses. A plain loop, which the
    // compiler vectorises, is about twice as fast as the expression's boolean count.
    const double* p = yp.data();
    const double* t = yt.data();
    Index hit = 0;
    for (Index i = 0; i < yt.size(); ++i)
        hit += std::abs(p[i] - t[i]) < eps;
    return success_rate(hit, yt.size());
}

double success_rate(Index hit, Index n) {
    const double sr = static_cast<double>(hit) / static_cast<double>(n);
    return std::max(sr, 1.0 / (2.0 * static_cast<double>(n)));
}

double quad_form(const VectorXd& b, const MatrixXd& R) {
    VectorXd Rb;
    return quad_form(b, R, Rb);
}

double quad_form(const VectorXd& b, const MatrixXd& R, VectorXd& Rb) {
    Rb.noalias() = R * b;
    return b.dot(Rb);
}

double mdl_score_cached(const VectorXd& yp, const VectorXd& yt, int k, int H, double eps,
                        const VectorXd* beta, const PenaltySpec* pen) {
    if (beta != nullptr && pen != nullptr)
        require_penalty_shapes(*pen, beta->size());
    const double sr = compute_SR(yp, yt, eps);
    VectorXd Rb;
    return mdl_score_sr(sr, yt.size(), mdl_cost(yt.size(), k, H), beta, pen, Rb);
}

double mdl_cost(Index n, int k, int H) {
    const double nd = static_cast<double>(n);
    const double kd = static_cast<double>(k);
    const double logHk = k > 0 ? kd * std::log(2.0 * static_cast<double>(H)) : 0.0;
    // k ln 2H / n, times k: k^2 ln(2H) / n.
    return (logHk / nd) * kd;
}

double mdl_score_sr(double sr, Index n, double cost, const VectorXd* beta, const PenaltySpec* pen,
                    VectorXd& Rb) {
    const bool penalised = beta != nullptr && pen != nullptr && pen->active();
    double L = -static_cast<double>(n) * std::log(sr) + cost;
    if (penalised) {
        if (pen->applies_R1())
            L += pen->gamma1 * quad_form(*beta, *pen->R1, Rb);
        if (pen->applies_R2())
            L += pen->gamma2 * quad_form(*beta, *pen->R2, Rb);
    }
    return L;
}

double mdl_tolerance(double mad_of_yt) {
    return mad_of_yt > 0.0 ? 0.4 * mad_of_yt : 0.4;
}

double mdl_score(const VectorXd& yp, const VectorXd& yt, int k, int H, const VectorXd* beta,
                 const PenaltySpec* pen) {
    return mdl_score_cached(yp, yt, k, H, mdl_tolerance(mad(yt)), beta, pen);
}

} // namespace zarn
