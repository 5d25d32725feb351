// M-steps by safeguarded Newton iterations and the noise-scale rounds.
#include "msteps.hpp"

#include "biweight.hpp"
#include "lsq.hpp"

#include <cmath>
#include <type_traits>
#include <utility>

namespace zarn::robust {

namespace {

// Iterations stop when the coefficients move by less than TOLERANCE scales (far below the
// statistical error at any n), or after MAX_STEPS.
constexpr double TOLERANCE = 1e-8;
constexpr int MAX_STEPS = 200;
// A Newton step of at most FINAL_MOVE scales is taken without testing the loss and is the
// last: near the minimum Newton's error squares with each step, so the step after it would
// be below TOLERANCE.
constexpr double FINAL_MOVE = 1e-6;
// M-steps at the noise scale of the previous one's residuals: at most NOISE_ROUNDS, until
// it changes by less than NOISE_TOLERANCE of itself.
constexpr int NOISE_ROUNDS = 50;
constexpr double NOISE_TOLERANCE = 1e-6;
// Leverages within this of 1 mark samples that the fit interpolates: their residuals tell
// nothing about the noise.
constexpr double LEVERAGE_FLOOR = 1e-8;

// Standard deviation of a standard normal variable conditioned on |z| < CUTOFF.
double truncated_sd() {
    const double mass = std::erf(CUTOFF / std::sqrt(2.0));
    const double density = std::exp(-0.5 * CUTOFF * CUTOFF) / std::sqrt(2.0 * M_PI);
    return std::sqrt(1.0 - 2.0 * CUTOFF * density / mass);
}

// The M-step's objective at coef with the system of Newton's step from it
// (hessian step = gradient).
struct MState {
    VectorXd coef;
    double loss = 0.0;
    MatrixXd hessian;
    VectorXd gradient;
};

// Scratch of the M-steps of one series, reused by every step.
struct MWork {
    VectorXd r, slope, score, pb, move;
    FitWork fit;
};

// The M-step's terms of residuals r at `inv` = 1 / scale: the slopes psi'(t), the scaled
// scores scale psi(t) and (1 - u)^3, u = min((t / c)^2, 1).
template <class A>
EIGEN_STRONG_INLINE void m_terms(const A& r, double inv, A& slope, A& score, A& cube) {
    const A u = clipped_squares(r * inv, MM_TUNING);
    const A v = 1.0 - u;
    slope = v * (1.0 - 5.0 * u);
    score = (u < 1.0).select(r * v * v, A::Zero());
    cube = v * v * v;
}

// st's loss, hessian and gradient at st.coef without the penalty, for K columns: the
// residuals, the terms and the normal sums in one pass over the rows, nothing stored per
// row. Returns the sum of (1 - u)^3.
template <int K> double m_sums_of(const Samples& s, double scale, MState& st) {
    using Sums = NormalSums<K>;
    using Rows = typename Sums::Rows;
    Sums sums;
    Rows cubes = Rows::Zero(), x[K];
    const double inv = 1.0 / scale;
    const FixedCoef<K> b(st.coef);
    const Index n = s.X.rows();
    for_rows<Sums::W>(n, [&](Index i, Index len) {
        load_rows<K>(s.X, i, len, x);
        const Rows r = b.residuals(load_entries<Sums::W>(s.y.data(), i, len), x);
        Rows slope, score, cube;
        m_terms(r, inv, slope, score, cube);
        if (len < Sums::W) // padded rows: residual 0, cube 1, but x = 0 adds nothing else
            cube.tail(Sums::W - len) = 0.0;
        cubes += cube;
        sums.add(slope, x, score);
    });
    sums.store(st.hessian, &st.gradient);
    return Sums::total(cubes);
}

// The same for any number of columns, by passes over stored residuals and terms.
double m_sums(const Samples& s, double scale, MState& st, MWork& work) {
    const Index n = s.X.rows();
    residuals_into(s, st.coef, work.r);
    const VectorXd& r = work.r;
    VectorXd &slope = work.slope, &score = work.score;
    slope.resize(n);
    score.resize(n);
    Lanes cube_sums = Lanes::Zero();
    const double inv = 1.0 / scale;
    Index i = 0;
    for_lanes(r.data(), n, [&](const Lanes& ri) {
        Lanes sl, sc, cube;
        m_terms(ri, inv, sl, sc, cube);
        for (Index j = 0; j < LANES && i + j < n; ++j) {
            slope[i + j] = sl[j];
            score[i + j] = sc[j];
        }
        cube_sums += cube;
        i += LANES;
    });
    normal_system_into(s, slope, score, MatrixXd::Zero(s.X.cols(), s.X.cols()), st.hessian,
                       st.gradient);
    // Rows padded with zeros add 1 each to the sum of cubes.
    return lane_total(cube_sums) - static_cast<double>(i - n);
}

// st's loss, hessian and gradient at st.coef.
void m_state(const Samples& s, double scale, MState& st, MWork& work) {
    const Index n = s.X.rows(), k = s.X.cols();
    const VectorXd& b = st.coef;
    st.hessian.setZero(k, k);
    st.gradient.resize(k);
    double cubes = 0.0;
    if (with_fixed_columns(k, [&](auto K) { cubes = m_sums_of<decltype(K)::value>(s, scale, st); }))
        complete_normal_matrix(st.hessian, s.penalty);
    else {
        cubes = m_sums(s, scale, st, work);
        st.hessian += s.penalty;
    }
    const double c = MM_TUNING * scale;
    work.pb.noalias() = s.penalty * b;
    st.loss = c * c / 6.0 * (static_cast<double>(n) - cubes) + 0.5 * b.dot(work.pb);
    st.gradient -= work.pb;
}

// The M-step's weights of the residuals of b into w, and the normal system of the fit
// with them into A and rhs, for K columns: one pass over the rows, storing neither the
// residuals nor w y (the same sums, in the same order, as weighted_fit_into).
template <int K>
void reweighted_sums_of(const Samples& s, const VectorXd& b, double scale, VectorXd& w, MatrixXd& A,
                        VectorXd& rhs) {
    using Sums = NormalSums<K>;
    using Rows = typename Sums::Rows;
    Sums sums;
    Rows x[K];
    const double inv = 1.0 / scale;
    const FixedCoef<K> c(b);
    const Index n = s.X.rows();
    w.resize(n);
    for_rows<Sums::W>(n, [&](Index i, Index len) {
        load_rows<K>(s.X, i, len, x);
        const Rows y = load_entries<Sums::W>(s.y.data(), i, len);
        const Rows r = c.residuals(y, x);
        Rows wr = Rows::Zero();
        for (Index j = 0; j < len; ++j)
            wr[j] = w[i + j] = weight(r[j] * inv, MM_TUNING);
        sums.add(wr, x, wr * y);
    });
    A.setZero(K, K);
    rhs.resize(K);
    sums.store(A, &rhs);
    complete_normal_matrix(A, s.penalty);
}

// The fit with the M-step's weights of the residuals of b into x; the weights in
// work.fit.w, the normal matrix in work.fit.A.
void reweighted(const Samples& s, const VectorXd& b, double scale, MWork& work, VectorXd& x) {
    FitWork& fit = work.fit;
    if (with_fixed_columns(s.X.cols(), [&](auto K) {
            reweighted_sums_of<decltype(K)::value>(s, b, scale, fit.w, fit.A, fit.rhs);
        })) {
        solve_normal_equations(fit, x);
        return;
    }
    residuals_into(s, b, work.r);
    const VectorXd& r = work.r;
    VectorXd& w = work.fit.w;
    w.resize(r.size());
    const double inv = 1.0 / scale;
    for (Index i = 0; i < r.size(); ++i)
        w[i] = weight(r[i] * inv, MM_TUNING);
    weighted_fit_into(s, w, s.penalty, work.fit, x);
}

} // namespace

MFit m_steps(const Samples& s, const VectorXd& b, double scale) {
    MWork work;
    MState st, next;
    st.coef = b;
    m_state(s, scale, st, work);
    VectorXd& move = work.move;
    for (int step = 0; step < MAX_STEPS; ++step) {
        move = st.gradient;
        bool taken = false;
        // The factorisation overwrites st's hessian, which is not needed again: st is then
        // either replaced by next or only its coefficients are used.
        if (cholesky_solve_in_place(st.hessian, move)) {
            if (move.cwiseAbs().sum() <= FINAL_MOVE * scale) {
                st.coef += move; // only the coefficients of st are used from here
                break;
            }
            next.coef = st.coef + move;
            m_state(s, scale, next, work);
            taken = next.loss <= st.loss;
        }
        if (!taken) { // a reweighting step instead, which never raises the loss
            reweighted(s, st.coef, scale, work, next.coef);
            move = next.coef - st.coef;
            next.coef = st.coef + move;
            m_state(s, scale, next, work);
            if (!(next.loss <= st.loss))
                break;
        }
        std::swap(st, next);
        if (move.cwiseAbs().sum() <= TOLERANCE * scale)
            break;
    }
    MFit fit;
    reweighted(s, st.coef, scale, work, fit.coef);
    fit.weights = std::move(work.fit.w);
    fit.normal = std::move(work.fit.A);
    return fit;
}

NoiseScale noise_scale(const Samples& s, const MFit& fit, double start) {
    const Index n = s.X.rows();
    const VectorXd& w = fit.weights;
    // The standardised residuals, and those that count.
    NoiseScale out;
    out.standardised.resize(n);
    VectorXd counted(n);
    Index m = 0;
    const auto standardise = [&](Index i, Index len, const auto& r, const auto& q) {
        using Rows = std::decay_t<decltype(r)>;
        const Rows wq = 2.0 * load_entries<Rows::RowsAtCompileTime>(w.data(), i, len) * q;
        const Rows raw = 1.0 + q - wq;
        const Rows free = (raw < 0.0).select(0.0, raw); // as std::max(raw, 0.0)
        const auto counts = free > LEVERAGE_FLOOR;
        const Rows z = counts.select(r / free.sqrt(), 0.0);
        for (Index j = 0; j < len; ++j) {
            out.standardised[i + j] = z[j];
            if (counts[j])
                counted[m++] = z[j];
        }
    };
    for_residuals_and_leverages(s, fit.coef, inverse(fit.normal), standardise);
    counted.conservativeResize(m);
    // Standardised residuals keep all their degrees of freedom: no k is subtracted.
    const double ms = m_scale(counted, start, static_cast<double>(m));
    double squares = 0.0;
    Index inside = 0;
    for (Index i = 0; i < m; ++i)
        if (std::abs(counted[i]) < CUTOFF * ms) {
            squares += counted[i] * counted[i];
            ++inside;
        }
    static const double cut_sd = truncated_sd();
    out.scale = inside > 0 ? std::sqrt(squares / static_cast<double>(inside)) / cut_sd : 0.0;
    return out;
}

MMEstimate mm_estimate(const Samples& s, const VectorXd& s_coef, double s_scale, double floor) {
    MMEstimate est;
    MFit fit = m_steps(s, s_coef, s_scale);
    est.scale = s_scale;
    est.noise = noise_scale(s, fit, s_scale);
    for (int round = 0; round < NOISE_ROUNDS; ++round) {
        const double noise = est.noise.scale;
        if (!(noise > floor))
            break;
        MFit again = m_steps(s, fit.coef, noise);
        NoiseScale next = noise_scale(s, again, noise);
        // A round must lower the noise scale without reaching zero: residuals of no noise
        // are an exact fit of a few samples inside a noisier fit, not a better fit.
        if (!(next.scale <= noise) || !(next.scale > floor))
            break;
        fit = std::move(again);
        est.scale = noise;
        est.noise = std::move(next);
        if (std::abs(est.noise.scale - noise) <= NOISE_TOLERANCE * noise)
            break;
    }
    est.coef = std::move(fit.coef);
    est.weights = std::move(fit.weights);
    return est;
}

} // namespace zarn::robust
