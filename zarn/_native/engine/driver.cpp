// Preparation of a series' samples, its MM-estimate, and the loop over a block.
#include "driver.hpp"

#include "biweight.hpp"
#include "covariance.hpp"
#include "lsq.hpp"
#include "msteps.hpp"
#include "search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace zarn::robust {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
// The largest scaled |y| stays below 2^TOP_EXPONENT (about 1e150), whose square, and sums
// of such squares, are still doubles.
constexpr int TOP_EXPONENT = 497;

// The exponent e of 2^e with |x| / 2^e in [0.5, 1); 0 for x = 0.
int exponent_of(double x) {
    int e = 0;
    std::frexp(x, &e);
    return x > 0.0 ? e : 0;
}

// x 2^e, exactly: a multiplication by 2^e when that is a normal double (as exact as
// std::ldexp, which is a library call per sample).
struct PowerOfTwo {
    int e;
    double factor;
    explicit PowerOfTwo(int exponent)
        : e(exponent)
        , factor(std::abs(exponent) < 1022 ? std::ldexp(1.0, exponent) : 0.0) {}
    double operator()(double x) const { return factor != 0.0 ? x * factor : std::ldexp(x, e); }
};

// The samples at `positions` of `all` into s, with the penalty of their total weight.
void subset(const Samples& all, const std::vector<Index>& positions, const MatrixXd& penalty,
            Samples& s) {
    const Index m = static_cast<Index>(positions.size()), k = all.X.cols();
    s.weighted.resize(m, k);
    s.y.resize(m);
    for (Index i = 0; i < m; ++i) {
        const Index p = positions[static_cast<std::size_t>(i)];
        s.weighted.row(i) = all.X.row(p);
        s.y[i] = all.y[p];
        s.rows.push_back(all.rows[static_cast<std::size_t>(p)]);
    }
    s.view(nullptr, m, k);
    s.penalty = penalty;
    s.ridge = all.ridge;
}

// The penalty of samples whose normalised weights total N.
MatrixXd penalty_of(const Settings& settings, Index k, double total) {
    MatrixXd P = settings.ridge * MatrixXd::Identity(k, k);
    if (settings.penalty.size() != 0)
        P += total * settings.penalty;
    return P;
}

// The first column of Phi whose entries are all 1, or -1.
Index constant_column(const MatrixXd& Phi) {
    for (Index a = 0; a < Phi.cols(); ++a)
        if ((Phi.col(a).array() == 1.0).all())
            return a;
    return -1;
}

// Coefficients of y / 2^ey - shift / 2^ey back in the caller's units: times 2^ey (exactly),
// the shift added to the constant column's.
VectorXd in_caller_units(const VectorXd& coef, int ey, Index intercept, double shift) {
    VectorXd out = coef.unaryExpr([&](double c) { return std::ldexp(c, ey); });
    if (intercept >= 0)
        out[intercept] += shift;
    return out;
}

// A failed fit; its weights and flags (those of out, n) all 0.
SeriesFit failed(Index n, Index k, Index n_used, const SampleOutputs& out) {
    std::fill(out.weights, out.weights + n, 0.0);
    std::fill(out.inliers, out.inliers + n, std::uint8_t{0});
    SeriesFit f;
    f.coef = VectorXd::Constant(k, NaN);
    f.cov = f.cov_h1 = MatrixXd::Constant(k, k, NaN);
    f.stderr_avar1 = f.stderr_h1 = VectorXd::Constant(k, NaN);
    f.scale = f.s_scale = f.noise_scale = NaN;
    f.n_used = n_used;
    f.status = FAILED;
    return f;
}

} // namespace

void SeriesArrays::resize(Index m, Index k) {
    coef.resize(m, k);
    cov.resize(m, k * k);
    cov_h1.resize(m, k * k);
    stderr_avar1.resize(m, k);
    stderr_h1.resize(m, k);
    scale.resize(m);
    s_scale.resize(m);
    noise_scale.resize(m);
    n_used.resize(m);
    status.resize(m);
}

void SeriesArrays::store(Index i, const SeriesFit& f) {
    const Index k = f.coef.size();
    coef.row(i) = f.coef.transpose();
    cov.row(i) = Eigen::Map<const VectorXd>(f.cov.data(), k * k).transpose();
    cov_h1.row(i) = Eigen::Map<const VectorXd>(f.cov_h1.data(), k * k).transpose();
    stderr_avar1.row(i) = f.stderr_avar1.transpose();
    stderr_h1.row(i) = f.stderr_h1.transpose();
    scale[i] = f.scale;
    s_scale[i] = f.s_scale;
    noise_scale[i] = f.noise_scale;
    n_used[i] = f.n_used;
    status[i] = f.status;
}

SharedDraws draw_shared(const MatrixXd& Phi, std::uint64_t seed) {
    const Index n = Phi.rows(), k = Phi.cols();
    SharedDraws shared;
    shared.draws = draw_order(n, seed);
    shared.rows.resize(static_cast<std::size_t>(n));
    std::iota(shared.rows.begin(), shared.rows.end(), Index{0});
    draw_subsets(shared.draws, Phi, shared.rows, starts_for(k, BREAKDOWN), seed);
    return shared;
}

SeriesFit fit_series(const MatrixXd& Phi, const double* y, const double* w,
                     const SharedDraws& shared, const Settings& settings,
                     const SampleOutputs& outputs) {
    const Index n = Phi.rows(), k = Phi.cols();
    const auto weight_of = [w](Index i) { return w != nullptr ? w[i] : 1.0; };
    // Samples of positive weight and finite y; the scales of y and of the weights.
    std::vector<std::uint8_t> used(static_cast<std::size_t>(n), 0);
    double y_top = 0.0, w_top = 0.0;
    Index n_used = 0;
    for (Index i = 0; i < n; ++i) {
        const double wi = weight_of(i);
        if (std::isfinite(y[i]) && wi > 0.0 && std::isfinite(wi)) {
            used[static_cast<std::size_t>(i)] = 1;
            ++n_used;
            y_top = std::max(y_top, std::abs(y[i]));
            w_top = std::max(w_top, wi);
        }
    }
    if (n_used == 0)
        return failed(n, k, 0, outputs);
    std::vector<Index> rows; // the rows of the used samples, by position
    rows.reserve(static_cast<std::size_t>(n_used));
    for (Index i = 0; i < n; ++i)
        if (used[static_cast<std::size_t>(i)])
            rows.push_back(i);
    // The draws, in the space of the series' own samples: the block's when it is complete.
    Draws own;
    const bool all_used = n_used == n; // positions are then rows
    const bool complete = all_used && !shared.rows.empty();
    if (!complete)
        own = draw_order(n_used, settings.seed);
    const Draws& draws = complete ? shared.draws : own;
    // The search's samples: the draws' order.
    const Index n_search = std::min(n_used, SUBSAMPLE);
    // y / 2^ey and w / 2^(2 ew), exactly: the fit then works on numbers near 1, whatever
    // the size of y and of the weights, and scales back exactly. 2^ey is the size of the
    // bulk of y (the median absolute value of the search's samples), so that huge outliers
    // do not push the bulk's noise towards the bottom of the range of doubles, unless that
    // would take the largest value beyond 2^TOP_EXPONENT.
    std::vector<double> magnitudes(static_cast<std::size_t>(n_search));
    for (Index p = 0; p < n_search; ++p)
        magnitudes[static_cast<std::size_t>(p)] =
            y[rows[static_cast<std::size_t>(draws.order[static_cast<std::size_t>(p)])]];
    const auto middle = magnitudes.begin() + static_cast<std::ptrdiff_t>(magnitudes.size() / 2);
    // The fit is of y - shift, the shift going back into the coefficient of a constant
    // column: the median of the search's samples, so that residuals and their rounding
    // errors are of the size of y's spread, not of its offset (an offset of 1e9 over noise
    // of 0.5 would otherwise take the noise for rounding errors). No shift without a
    // constant column, or where y - shift could overflow.
    const Index intercept = constant_column(Phi);
    double shift = 0.0;
    if (intercept >= 0 && y_top <= 0.5 * std::numeric_limits<double>::max()) {
        std::nth_element(magnitudes.begin(), middle, magnitudes.end());
        shift = *middle;
        y_top += std::abs(shift); // a bound on |y - shift|
    }
    for (double& v : magnitudes)
        v = std::abs(v - shift);
    std::nth_element(magnitudes.begin(), middle, magnitudes.end());
    const double bulk = *middle > 0.0 ? *middle : y_top;
    const int ey = std::max(exponent_of(bulk), exponent_of(y_top) - TOP_EXPONENT);
    const int ew = exponent_of(w_top) / 2;
    Samples all;
    // Design-indexed, for the elemental fits and for the residuals of the samples of
    // weight 0 (which get the weights and flags of samples of weight 1).
    VectorXd y_scaled(n); // 0 where y is not finite
    const PowerOfTwo y_unit(-ey), w_unit(-2 * ew);
    for (Index i = 0; i < n; ++i)
        y_scaled[i] = std::isfinite(y[i]) ? y_unit(y[i] - shift) : 0.0;
    all.rows = std::move(rows);
    double total = 0.0;
    const bool plain = w == nullptr && all_used;
    if (plain) { // unit weights: the samples are the design and y_scaled
        all.view(Phi.data(), n, k);
        all.y = std::move(y_scaled);
        total = static_cast<double>(n);
    } else {
        // The square roots of the normalised weights (held in all.y), the weighted design
        // column by column (contiguous writes), then the weighted y.
        all.weighted.resize(n_used, k);
        all.y.resize(n_used);
        for (Index j = 0; j < n_used; ++j) {
            const double wi = w_unit(weight_of(all.rows[static_cast<std::size_t>(j)]));
            all.y[j] = std::sqrt(wi);
            total += wi;
        }
        for (Index a = 0; a < k; ++a) {
            const double* column = Phi.col(a).data();
            double* out = all.weighted.col(a).data();
            for (Index j = 0; j < n_used; ++j)
                out[j] = all.y[j] * column[all.rows[static_cast<std::size_t>(j)]];
        }
        for (Index j = 0; j < n_used; ++j)
            all.y[j] *= y_scaled[all.rows[static_cast<std::size_t>(j)]];
        all.view(nullptr, n_used, k);
    }
    const VectorXd& y_rows = plain ? all.y : y_scaled; // y_scaled, wherever it is
    all.penalty = penalty_of(settings, k, total);
    all.ridge = settings.ridge * MatrixXd::Identity(k, k);

    SeriesFit f = failed(n, k, n_used, outputs);

    if (n_used <= k) { // no degrees of freedom: least squares, nothing to judge by
        const VectorXd coef = weighted_fit(all, VectorXd::Ones(n_used), all.penalty);
        f.coef = in_caller_units(coef, ey, intercept, shift);
        f.status = TOO_FEW;
        for (Index i = 0; i < n; ++i) {
            outputs.weights[i] = used[static_cast<std::size_t>(i)] ? 1.0 : 0.0;
            outputs.inliers[i] = used[static_cast<std::size_t>(i)];
        }
        return f;
    }

    // The search's samples, in the order of the rows.
    const bool subsampled = n_used > SUBSAMPLE;
    Samples search_storage;
    if (subsampled) {
        std::vector<Index> search_positions(draws.order.begin(), draws.order.begin() + SUBSAMPLE);
        std::sort(search_positions.begin(), search_positions.end());
        double search_total = 0.0;
        for (Index p : search_positions)
            search_total += w_unit(weight_of(all.rows[static_cast<std::size_t>(p)]));
        subset(all, search_positions, penalty_of(settings, k, search_total), search_storage);
    }
    const Samples& search = subsampled ? search_storage : all;

    // y by position, for the elemental fits.
    VectorXd y_present;
    if (!all_used) {
        y_present.resize(n_used);
        for (Index j = 0; j < n_used; ++j)
            y_present[j] = y_rows[all.rows[static_cast<std::size_t>(j)]];
    }
    const ElementalFits elemental = [&](Index count) {
        if (!complete)
            draw_subsets(own, Phi, all.rows, count, settings.seed);
        return elemental_fits(draws, all_used ? y_rows : y_present, count);
    };
    const double floor = zero_floor(search.y);
    const SEstimate S = s_estimate(search, elemental, floor);
    if (!std::isfinite(S.scale) || !S.coef.allFinite())
        return failed(n, k, n_used, outputs);

    VectorXd coef;
    VectorXd rweights;
    double scale_t = 0.0, noise_t = 0.0;
    VectorXd standardised;
    if (S.scale <= floor) { // most points lie on the fit: refit them alone
        const VectorXd r_s = residuals(all, S.coef);
        rweights = (r_s.array().abs() <= floor).cast<double>();
        coef = weighted_fit(all, rweights, all.penalty);
        standardised = residuals(all, coef);
    } else {
        MMEstimate mm = mm_estimate(search, S.coef, S.scale, floor);
        scale_t = mm.scale;
        if (subsampled) {
            MFit last = m_steps(all, mm.coef, scale_t);
            NoiseScale ns = noise_scale(all, last, scale_t);
            coef = std::move(last.coef);
            rweights = std::move(last.weights);
            noise_t = ns.scale;
            standardised = std::move(ns.standardised);
        } else {
            coef = std::move(mm.coef);
            rweights = std::move(mm.weights);
            noise_t = mm.noise.scale;
            standardised = std::move(mm.noise.standardised);
        }
    }
    if (!coef.allFinite())
        return failed(n, k, n_used, outputs);

    // Back to the caller's units.
    const int unit = ey + ew; // a transformed scale times 2^unit is in the caller's units
    f.coef = in_caller_units(coef, ey, intercept, shift);
    f.scale = std::ldexp(scale_t, unit);
    f.s_scale = std::ldexp(S.scale, unit);
    f.noise_scale = std::ldexp(noise_t, unit);
    f.status = FITTED;
    if (scale_t > 0.0) {
        const auto back = [&](double c) { return std::ldexp(c, 2 * ey); };
        const Covariances V = covariances(all, coef, S.coef, scale_t);
        const auto root = [&](double c) { return std::ldexp(std::sqrt(c), ey); };
        f.cov = V.avar1.unaryExpr(back);
        f.cov_h1 = V.h1.unaryExpr(back);
        f.stderr_avar1 = V.avar1.diagonal().unaryExpr(root);
        f.stderr_h1 = V.h1.diagonal().unaryExpr(root);
    } else {
        f.cov = f.cov_h1 = MatrixXd::Zero(k, k);
        f.stderr_avar1 = f.stderr_h1 = VectorXd::Zero(k);
    }
    // Weights and flags: the samples of the fit from their transformed residuals; the
    // others with a finite y as samples of unit weight (in the caller's units).
    const double cut = CUTOFF * noise_t;
    for (Index j = 0; j < n_used; ++j) {
        const Index i = all.rows[static_cast<std::size_t>(j)];
        outputs.weights[i] = rweights[j];
        outputs.inliers[i] =
            scale_t > 0.0 ? std::abs(standardised[j]) < cut : std::abs(standardised[j]) <= floor;
    }
    for (Index i = 0; i < n; ++i) {
        if (used[static_cast<std::size_t>(i)] || !std::isfinite(y[i]))
            continue;
        // The residual of a sample of weight 1 (2^-2ew after normalisation).
        const double ri = std::ldexp(y_rows[i] - Phi.row(i).dot(coef), -ew);
        if (scale_t > 0.0) {
            outputs.weights[i] = weight(ri / scale_t, MM_TUNING);
            outputs.inliers[i] = std::abs(ri) < cut;
        } else {
            const bool on = std::abs(ri) <= floor;
            outputs.weights[i] = on ? 1.0 : 0.0;
            outputs.inliers[i] = on;
        }
    }
    return f;
}

BlockFit fit_block(const MatrixXd& Phi, const Eigen::Ref<const RowMatrix>& Y,
                   const Eigen::Ref<const RowMatrix>& W, const VectorXd& shared_weights,
                   const Settings& settings) {
    const Index m = Y.rows(), n = Phi.rows(), k = Phi.cols();
    // A block of one draws as few subsets as its search screens, as a series with missing
    // samples does (the same draws).
    const SharedDraws shared = m > 1 ? draw_shared(Phi, settings.seed) : SharedDraws{};
    BlockFit out;
    out.resize(m, k);
    out.weights.resize(m, n);
    out.inliers.resize(m, n);
#pragma omp parallel for schedule(dynamic, 16)
    for (Index i = 0; i < m; ++i) {
        // The rows of Y and W are contiguous: a copy only for combined weights.
        VectorXd combined;
        const double* w = W.size() != 0 ? W.row(i).data() : nullptr;
        if (shared_weights.size() != 0) {
            combined = w != nullptr ? VectorXd(W.row(i).transpose().cwiseProduct(shared_weights))
                                    : shared_weights;
            w = combined.data();
        }
        const SampleOutputs samples{out.weights.row(i).data(), out.inliers.row(i).data()};
        SeriesFit f;
        try {
            f = fit_series(Phi, Y.row(i).data(), w, shared, settings, samples);
        } catch (...) { // e.g. memory: this series fails, the others go on
            f = failed(n, k, 0, samples);
        }
        out.store(i, f);
    }
    return out;
}

GroupsFit fit_groups(const Eigen::Ref<const RowMatrix>& Phi, const VectorXd& y, const VectorXd& w,
                     const std::vector<Index>& offsets,
                     const Eigen::Ref<const RowMatrix>& penalties, const Settings& settings) {
    const Index G = static_cast<Index>(offsets.size()) - 1, N = Phi.rows(), k = Phi.cols();
    GroupsFit out;
    out.resize(G, k);
    out.weights.resize(N);
    out.inliers.resize(N);
    const SharedDraws none; // a group draws its own subsets, as a block of one does
#pragma omp parallel for schedule(dynamic, 4)
    for (Index g = 0; g < G; ++g) {
        const Index start = offsets[static_cast<std::size_t>(g)];
        const Index n = offsets[static_cast<std::size_t>(g) + 1] - start;
        const SampleOutputs samples{out.weights.data() + start, out.inliers.data() + start};
        SeriesFit f;
        try {
            Settings own = settings;
            if (penalties.size() != 0)
                own.penalty = Eigen::Map<const RowMatrix>(penalties.row(g).data(), k, k);
            const MatrixXd X = Phi.middleRows(start, n);
            const double* wg = w.size() != 0 ? w.data() + start : nullptr;
            f = fit_series(X, y.data() + start, wg, none, own, samples);
        } catch (...) { // e.g. memory: this group fails, the others go on
            f = failed(n, k, 0, samples);
        }
        out.store(g, f);
    }
    return out;
}

} // namespace zarn::robust
