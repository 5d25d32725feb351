// Fast-S search (Salibian-Barrera and Yohai 2006) over elemental starts and the annealed
// least-squares fit.
#include "search.hpp"

#include "biweight.hpp"
#include "lsq.hpp"
#include "starts.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace zarn::robust {

namespace {

// After one concentration step each, the SHORTLIST starts of smallest quick scale get their
// M-scales, and the N_BEST of them with the smallest are refined until they converge, with
// the annealed least-squares start (two were too few for hbk's masked fits).
constexpr Index SHORTLIST = 10;
constexpr Index N_BEST = 3;
// Starts outside the shortlist join it when their M-scale is more than this fraction below
// the N_BEST-th smallest of the shortlist's: on clean data many starts end within a
// fraction of a per cent of each other, and the refinement merges them anyway.
constexpr double SCALE_MARGIN = 0.01;
// The least-squares start is led to the M-scale's minimum by reweighting steps at scales
// falling from ANNEAL_FACTOR times the M-scale of its residuals to that M-scale, in
// ANNEAL_LEVELS levels.
constexpr double ANNEAL_FACTOR = 8.0;
constexpr int ANNEAL_LEVELS = 6;
// Refinement stops when a step changes the scale by less than REFINE_TOLERANCE of it (the
// M-scale is flat at its minimum), or after MAX_REFINE steps; a candidate more than
// PRUNE_MARGIN above the smallest scale stops: it will not catch up.
constexpr double REFINE_TOLERANCE = 1e-3;
constexpr int MAX_REFINE = 200;
constexpr double PRUNE_MARGIN = 0.1;
// A candidate whose residuals all lie within DUPLICATE of its scale of those of another with
// no larger scale stops too: the two descend into the same minimum (on clean data most
// candidates do), and the other one goes on. A tenth of the scale, far less than separates
// two minima, stops most such pairs a few steps before the tolerance would (at a hundredth
// about one pair in ten series was caught).
constexpr double DUPLICATE = 0.1;
// The winner is then polished until its scale changes by less than POLISH_TOLERANCE (lmrob's
// relative tolerance of the S-estimate's refinement): the covariance depends on its
// residuals, and the candidates' tolerance leaves them up to 1e-3 of the scale away.
constexpr double POLISH_TOLERANCE = 1e-6;
// The elemental starts are insurance against a search that the annealed start alone would
// lose; they are as many as give one free of outliers with probability 0.99 when the share
// of outliers is ASSUMED_FACTOR times the share of the annealed start's residuals beyond
// FAR_CUT of its M-scale, but at least ASSUMED_FLOOR and at most the breakdown point. The
// floor is for bad leverage points that draw the annealed start onto themselves and hide:
// robustbase's hbk (14 of 75 points, 4 of them far from that start) needs about a third
// (at 0.35, 24 starts for a cubic and 9 for a line, the accuracy benchmark's 20 seeds all
// find it; at 0.25 to 0.33 some lose it). Where many residuals are far the annealed start
// has not hidden them, and twice their share is enough.
constexpr double FAR_CUT = 2.5;
constexpr double ASSUMED_FACTOR = 2.0;
constexpr double ASSUMED_FLOOR = 0.35;
constexpr double RELATIVE_FLOOR = 1e-9;
// An elemental fit whose M-scale is more than RAW_RELAX times the annealed start's gets no
// concentration step: one from a clean subset lies within a few scales of the bulk (the
// error of an exact fit of k noisy points), one through an outlier far beyond.
constexpr double RAW_RELAX = 8.0;
// Rows per block of that test's partial sums.
constexpr Index TEST_BLOCK = 128;

double rho_sum(const VectorXd& r, double s) {
    const double inv = 1.0 / s;
    Lanes total = Lanes::Zero();
    for_lanes(r.data(), r.size(), [&](const Lanes& x) { total += rhos(x * inv, S_TUNING); });
    return lane_total(total);
}

// Whether sum(rho((y - X b) / s)) < target, by blocks of rows: rho is not negative, so
// the sum is known to fail as soon as a partial sum reaches the target (most contaminated
// starts fail within the first half of the rows).
bool rho_sum_below(const Samples& smp, const VectorXd& b, double s, double target) {
    const double inv = 1.0 / s;
    const Index n = smp.X.rows();
    Lanes total = Lanes::Zero();
    double r[TEST_BLOCK];
    for (Index start = 0; start < n; start += TEST_BLOCK) {
        const Index len = std::min(TEST_BLOCK, n - start);
        residual_rows(smp.X, smp.y, b, start, len, r);
        for_lanes(r, len, [&](const Lanes& x) { total += rhos(x * inv, S_TUNING); });
        if (!(lane_total(total) < target))
            return false;
    }
    return true;
}

// The S-estimate biweights of residuals r at 1 / scale `inv` into w.
void biweights_into(const VectorXd& r, double inv, VectorXd& w) {
    w.resize(r.size());
    for (Index i = 0; i < r.size(); ++i)
        w[i] = weight(r[i] * inv, S_TUNING);
}

// The lower triangle of X' diag(w) X and X' w y for the biweights w of residuals r at
// 1 / scale `inv`, K columns: the weights computed in the pass of the normal sums, as many
// rows at a time as the sums take, nothing stored per row. The same numbers as the
// weights' own pass followed by the normal sums.
template <int K>
void biweight_sums_of(const Samples& smp, const VectorXd& r, double inv, MatrixXd& A, VectorXd& g) {
    using Sums = NormalSums<K>;
    using Rows = typename Sums::Rows;
    Sums sums;
    Rows x[K];
    for_rows<Sums::W>(smp.X.rows(), [&](Index i, Index len) {
        load_rows<K>(smp.X, i, len, x);
        const Rows v =
            1.0 - clipped_squares(load_entries<Sums::W>(r.data(), i, len) * inv, S_TUNING);
        const Rows w = v * v; // padded rows: x = 0 and y = 0 add nothing
        sums.add(w, x, w * load_entries<Sums::W>(smp.y.data(), i, len));
    });
    sums.store(A, &g);
}

// The fit of S-estimate biweights of residuals r at scale s into x, in work's storage.
void biweight_fit(const Samples& smp, const VectorXd& r, double s, FitWork& work, VectorXd& x) {
    const double inv = 1.0 / s;
    const Index k = smp.X.cols();
    work.A.setZero(k, k);
    work.rhs.resize(k);
    if (with_fixed_columns(k, [&](auto K) {
            biweight_sums_of<decltype(K)::value>(smp, r, inv, work.A, work.rhs);
        })) {
        complete_normal_matrix(work.A, smp.ridge);
        x = work.rhs;
        if (cholesky_solve_in_place(work.A, x))
            return;
    }
    // More columns, or a singular system: the weights' own pass and the general fit.
    biweights_into(r, inv, work.w);
    weighted_fit_into(smp, work.w, smp.ridge, work, x);
}

// Scratch of one series' search, reused by all its steps, so that a step allocates nothing
// once the first has sized it.
struct Scratch {
    std::vector<double> sort; // mad_scale's
    FitWork fit;
    VectorXd b, next, r; // a start, its step and residuals
};

// One concentration step from the start in s.b at its quick scale into s.next, with the
// quick scale moved by one fixed-point step towards the M-scale, as in fast-S; returns that
// scale. A start whose quick scale is 0 fits most points exactly and is kept as it is.
double concentrate(const Samples& smp, double target, Scratch& s) {
    residuals_into(smp, s.b, s.r);
    const double q = mad_scale(s.r, s.sort);
    if (!(q > 0.0)) {
        s.next = s.b;
        return 0.0;
    }
    biweight_fit(smp, s.r, q, s.fit, s.next);
    residuals_into(smp, s.next, s.r);
    const double mean_rho = rho_sum(s.r, q) / target;
    return q * std::sqrt(mean_rho);
}

// The N_BEST starts (columns of `starts`) of smallest M-scale after one concentration step
// each, with their M-scales.
std::vector<SEstimate> screen(const Samples& smp, const MatrixXd& starts, Scratch& s) {
    const double dof = static_cast<double>(smp.X.rows() - smp.X.cols());
    const double target = BREAKDOWN * dof;
    const std::size_t count = static_cast<std::size_t>(starts.cols());
    MatrixXd stepped(starts.rows(), starts.cols());
    std::vector<double> quick(count);
    for (std::size_t j = 0; j < count; ++j) {
        s.b = starts.col(static_cast<Index>(j));
        quick[j] = concentrate(smp, target, s);
        stepped.col(static_cast<Index>(j)) = s.next;
    }
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return quick[a] < quick[b]; });
    // The residuals of stepped start j into s.r.
    const auto residuals_of = [&](std::size_t j) {
        s.b = stepped.col(static_cast<Index>(j));
        residuals_into(smp, s.b, s.r);
    };
    // The shortlist's M-scales, with fast-S's score test: once N_BEST are known, a
    // candidate gets its M-scale only when it beats the largest of them (sum(rho(r / s))
    // below the target at that s).
    std::vector<std::pair<double, std::size_t>> scored;
    std::vector<double> sorted; // the N_BEST smallest M-scales so far, ascending
    const std::size_t shortlist = std::min<std::size_t>(SHORTLIST, order.size());
    for (std::size_t i = 0; i < shortlist; ++i) {
        residuals_of(order[i]);
        const bool full = sorted.size() == static_cast<std::size_t>(N_BEST);
        if (full && !(sorted.back() > 0.0 && rho_sum(s.r, sorted.back()) < target))
            continue;
        const double scale = m_scale(s.r, quick[order[i]], dof);
        scored.emplace_back(scale, order[i]);
        sorted.insert(std::upper_bound(sorted.begin(), sorted.end(), scale), scale);
        if (sorted.size() > static_cast<std::size_t>(N_BEST))
            sorted.pop_back();
    }
    const double bound = sorted.back();
    if (bound > 0.0) { // a bound of 0: nothing beats exact fits
        const double margin = (1.0 - SCALE_MARGIN) * bound;
        for (std::size_t i = shortlist; i < order.size(); ++i) {
            residuals_of(order[i]);
            if (rho_sum(s.r, margin) < target)
                scored.emplace_back(m_scale(s.r, quick[order[i]], dof), order[i]);
        }
    }
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<SEstimate> best;
    for (std::size_t i = 0; i < std::min<std::size_t>(N_BEST, scored.size()); ++i)
        best.push_back({stepped.col(static_cast<Index>(scored[i].second)), scored[i].first});
    return best;
}

// The least-squares fit b led to a start by reweighting steps at falling scales: at a large
// scale every point, those far out in x included, weighs as in least squares, and the points
// that disagree with the bulk lose their weight one level after another.
void anneal(const Samples& smp, double dof, VectorXd& b, Scratch& s) {
    residuals_into(smp, b, s.r);
    const double base = m_scale(s.r, mad_scale(s.r, s.sort), dof);
    if (!(base > 0.0))
        return;
    for (int level = 0; level < ANNEAL_LEVELS; ++level) {
        const double factor =
            std::pow(ANNEAL_FACTOR, 1.0 - static_cast<double>(level) / (ANNEAL_LEVELS - 1));
        residuals_into(smp, b, s.r);
        biweight_fit(smp, s.r, factor * base, s.fit, b);
    }
}

// The polish: steps from `start`, of M-scale `scale`, while the scale falls, each followed
// by one Newton step towards the M-scale of its residuals (which a step moves but little),
// until a step changes it by less than POLISH_TOLERANCE; then the exact M-scale of where it
// ended, or the start where that is not below the start's.
SEstimate polish(const Samples& smp, const VectorXd& start, double scale, double dof, Scratch& s) {
    VectorXd b = start, &r = s.r, &trial = s.next;
    residuals_into(smp, b, r);
    double current = scale;
    bool moved = false;
    for (int step = 0; step < MAX_REFINE; ++step) {
        biweight_fit(smp, r, current, s.fit, trial);
        residuals_into(smp, trial, r);
        const double next = newton_scale(r, current, dof);
        if (!(next <= current)) // rounding: the scale no longer falls
            break;
        std::swap(b, trial);
        moved = true;
        const bool settled = !(std::abs(next - current) > POLISH_TOLERANCE * next);
        current = next;
        if (settled)
            break;
    }
    if (!moved)
        return {start, scale};
    residuals_into(smp, b, r);
    const double exact = m_scale(r, current, dof);
    if (!(exact <= scale))
        return {start, scale};
    return {std::move(b), exact};
}

} // namespace

double zero_floor(const VectorXd& y) {
    std::vector<double> work(static_cast<std::size_t>(y.size()));
    std::copy(y.data(), y.data() + y.size(), work.begin());
    const std::size_t half = work.size() / 2;
    std::nth_element(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(half), work.end());
    const double median = work[half];
    const VectorXd centred = y.array() - median;
    const double size = std::abs(median) + mad_scale(centred, work);
    // Not below the smallest normal double: smaller numbers may be flushed to zero.
    return std::max(RELATIVE_FLOOR * size, std::numeric_limits<double>::min());
}

SEstimate s_estimate(const Samples& s, const ElementalFits& fits_of, double floor) {
    const Index n = s.X.rows(), k = s.X.cols();
    const double dof = static_cast<double>(n - k);
    Scratch work;
    const VectorXd ls = weighted_fit(s, VectorXd::Ones(n), s.ridge);
    VectorXd led = ls;
    anneal(s, dof, led, work);
    VectorXd r_led = residuals(s, led);
    const double s_led = m_scale(r_led, mad_scale(r_led, work.sort), dof);
    const double far = static_cast<double>((r_led.array().abs() > FAR_CUT * s_led).count());
    const double assumed =
        std::clamp(ASSUMED_FACTOR * far / static_cast<double>(n), ASSUMED_FLOOR, BREAKDOWN);
    const MatrixXd elemental = fits_of(starts_for(k, assumed));
    const Index count = elemental.rows();
    // Fast-S's score test, before the concentration step: an elemental fit whose own
    // M-scale exceeds RAW_RELAX times the annealed start's is left out.
    const double target = BREAKDOWN * dof, bound = RAW_RELAX * s_led;
    MatrixXd starts(k, count + 1); // columns: the least-squares fit, the elemental fits kept
    starts.col(0) = ls;
    Index kept = 1;
    for (Index j = 0; j < count; ++j) {
        work.b = elemental.row(j).transpose();
        if (!(bound > 0.0) || rho_sum_below(s, work.b, bound, target))
            starts.col(kept++) = work.b;
    }

    // Refine the screen's best and the annealed start together, each from its M-scale.
    std::vector<SEstimate> screened = screen(s, starts.leftCols(kept), work);
    const std::size_t c = screened.size() + 1;
    std::vector<VectorXd> cands, R(c);
    std::vector<double> s0;
    for (SEstimate& e : screened) {
        cands.push_back(std::move(e.coef));
        s0.push_back(e.scale);
    }
    cands.push_back(std::move(led));
    s0.push_back(s_led);
    std::vector<VectorXd> B = cands;
    std::vector<double> scale = s0;
    std::vector<std::uint8_t> active(c), duplicate(c, 0);
    for (std::size_t i = 0; i < c; ++i) {
        R[i] = i + 1 < c ? residuals(s, B[i]) : std::move(r_led);
        active[i] = scale[i] > floor;
    }
    for (int step = 0; step < MAX_REFINE; ++step) {
        bool any = false;
        for (std::size_t i = 0; i < c; ++i) {
            if (!active[i])
                continue;
            any = true;
            biweight_fit(s, R[i], scale[i], work.fit, B[i]);
            residuals_into(s, B[i], R[i]);
            const double next = newton_scale(R[i], scale[i], dof);
            const bool still = std::abs(next - scale[i]) > REFINE_TOLERANCE * next;
            scale[i] = next;
            if (!still || next <= floor)
                active[i] = 0;
        }
        if (!any)
            break;
        const double smallest = *std::min_element(scale.begin(), scale.end());
        for (std::size_t i = 0; i < c; ++i) {
            if (scale[i] > (1.0 + PRUNE_MARGIN) * smallest)
                active[i] = 0;
            for (std::size_t j = 0; j < c && active[i]; ++j)
                if (j != i && !duplicate[j] && scale[j] <= scale[i] &&
                    (R[i] - R[j]).cwiseAbs().maxCoeff() <= DUPLICATE * scale[i])
                    active[i] = 0, duplicate[i] = 1;
        }
    }
    // The candidate of smallest M-scale: its refined coefficients, or its start where the
    // refinement ended above the start's M-scale. A duplicate is not one: it ended beside
    // a candidate of no larger scale, which goes on in its place.
    const VectorXd* winner = &cands[0];
    double best = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < c; ++i) {
        if (duplicate[i])
            continue;
        const double si = m_scale(R[i], scale[i], dof);
        const bool refined = si <= s0[i];
        if ((refined ? si : s0[i]) < best) {
            best = refined ? si : s0[i];
            winner = refined ? &B[i] : &cands[i];
        }
    }
    if (!(best > floor))
        return {*winner, best};
    return polish(s, *winner, best, dof, work);
}

} // namespace zarn::robust
