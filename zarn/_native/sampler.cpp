#include "sampler.hpp"

#include "memory.hpp"
#include "scores.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace zarn {

namespace {

// State refresh of MT19937-64: every word is replaced by the twist of itself, its successor
// and the word m places on, in increasing order (the second half already sees the new
// first half). Compiled for AVX-512, AVX2 and the baseline, the widest chosen when the
// module loads; it is integer arithmetic, so all variants give the same state.
constexpr int mt_n = 312;
constexpr int mt_m = 156;

__attribute__((target_clones("avx512f", "avx2", "default"))) void mt_refresh(std::uint64_t* mt) {
    const auto twist = [](std::uint64_t self, std::uint64_t next, std::uint64_t far) {
        const std::uint64_t x = (self & 0xFFFFFFFF80000000ULL) | (next & 0x7FFFFFFFULL);
        return far ^ (x >> 1) ^ ((0 - (x & 1)) & 0xB5026F5AA96619E9ULL);
    };
    for (int i = 0; i < mt_n - mt_m; ++i)
        mt[i] = twist(mt[i], mt[i + 1], mt[i + mt_m]);
    for (int i = mt_n - mt_m; i < mt_n - 1; ++i)
        mt[i] = twist(mt[i], mt[i + 1], mt[i + mt_m - mt_n]);
    mt[mt_n - 1] = twist(mt[mt_n - 1], mt[0], mt[mt_m - 1]);
}

// The 64-bit Mersenne Twister MT19937-64 with its published parameters, seeded from one
// value by its standard initialisation: the same outputs as std::mt19937_64, with the state
// refresh on the processor's widest vectors.
class Engine {
public:
    explicit Engine(std::uint64_t seed) {
        mt_[0] = seed;
        for (int i = 1; i < mt_n; ++i)
            mt_[i] = 6364136223846793005ULL * (mt_[i - 1] ^ (mt_[i - 1] >> 62)) +
                     static_cast<std::uint64_t>(i);
    }

    std::uint64_t operator()() {
        if (pos_ == mt_n) {
            mt_refresh(mt_);
            pos_ = 0;
        }
        std::uint64_t x = mt_[pos_++];
        x ^= (x >> 29) & 0x5555555555555555ULL;
        x ^= (x << 17) & 0x71D67FFFEDA60000ULL;
        x ^= (x << 37) & 0xFFF7EEE000000000ULL;
        return x ^ (x >> 43);
    }

private:
    std::uint64_t mt_[mt_n];
    int pos_ = mt_n;
};

// Uniform variate in [0, 1): one engine output times 2^-64, rounded to double; an output
// that rounds up to 1.0 gives the largest double below 1.0 instead.
double uniform01(Engine& rng) {
    const double u = static_cast<double>(rng()) * 0x1p-64;
    return u < 1.0 ? u : std::nextafter(1.0, 0.0);
}

// Normal variates by the polar method. Each accepted pair of uniforms gives two variates:
// one is returned, the other is kept as this source's spare and returned by the next call.
class NormalSource {
public:
    NormalSource(double mean, double sd)
        : mean_(mean)
        , sd_(sd) {}

    double operator()(Engine& rng) {
        if (has_spare_) {
            has_spare_ = false;
            return mean_ + sd_ * spare_;
        }
        double x = 0.0;
        double y = 0.0;
        double s = 0.0;
        do {
            x = 2.0 * uniform01(rng) - 1.0;
            y = 2.0 * uniform01(rng) - 1.0;
            s = x * x + y * y;
        } while (s > 1.0 || s == 0.0);
        const double m = std::sqrt(-2.0 * std::log(s) / s);
        spare_ = x * m;
        has_spare_ = true;
        return mean_ + sd_ * y * m;
    }

private:
    double mean_;
    double sd_;
    double spare_ = 0.0;
    bool has_spare_ = false;
};

// The hit count of the energy: the number of rows i with |p_i - y_i| < eps for the
// prediction p = X b, where p_i is summed from 0.0 over the columns in order,
// p_i = ((0 + b_0 X(i,0)) + b_1 X(i,1)) + ... The kernels below take sixteen rows at a
// time, so a block's prediction stays in registers and is never stored: X and y are read
// once. They differ only in vector width; every row gets the same IEEE operations in the
// same order, so all of them give the same count. X is column-major n x k.
using CountHits = Index (*)(const double* X, Index n, Index k, const double* b, const double* y,
                            double eps);

constexpr Index block_rows = 16;

// Rows i0 to n - 1, one at a time.
inline Index count_hits_rows(const double* X, Index n, Index k, const double* b, const double* y,
                             double eps, Index i0) {
    Index hits = 0;
    for (Index i = i0; i < n; ++i) {
        double p = 0.0;
        for (Index j = 0; j < k; ++j)
            p += b[j] * X[j * n + i];
        hits += std::abs(p - y[i]) < eps;
    }
    return hits;
}

// Portable kernel on the library's vectors.
Index count_hits_portable(const double* X, Index n, Index k, const double* b, const double* y,
                          double eps) {
    using Block = Eigen::Array<double, block_rows, 1>;
    using Rows = Eigen::Map<const Block>;
    Index hits = 0;
    Index i = 0;
    for (; i + block_rows <= n; i += block_rows) {
        Block p = Block::Zero();
        for (Index j = 0; j < k; ++j)
            p += b[j] * Rows(X + j * n + i);
        hits += ((p - Rows(y + i)).abs() < eps).count();
    }
    return hits + count_hits_rows(X, n, k, b, y, eps, i);
}

#if defined(__x86_64__)
// Kernels on 256-bit and 512-bit vectors, chosen at run time on processors with AVX2 or
// AVX-512. W is the number of doubles per vector; K > 0 fixes the column count at compile
// time, so that the column loop is unrolled.
template <int W> struct Lanes {
    typedef double V __attribute__((vector_size(8 * W)));
    typedef long long Mask __attribute__((vector_size(8 * W)));
};

template <int W, int K>
__attribute__((always_inline)) inline Index count_hits_vec(const double* X, Index n, Index k_any,
                                                           const double* b, const double* y,
                                                           double eps) {
    using V = typename Lanes<W>::V;
    using Mask = typename Lanes<W>::Mask;
    const Index k = K > 0 ? K : k_any;
    constexpr Index lanes = block_rows / W;
    Mask hits_v = {};
    Index i = 0;
    for (; i + block_rows <= n; i += block_rows) {
        V p[lanes] = {};
        for (Index j = 0; j < k; ++j) {
            const double bj = b[j];
            for (Index v = 0; v < lanes; ++v) {
                V x;
                std::memcpy(&x, X + j * n + i + W * v, sizeof x);
                p[v] += bj * x;
            }
        }
        for (Index v = 0; v < lanes; ++v) {
            V yv;
            std::memcpy(&yv, y + i + W * v, sizeof yv);
            // |p - y| < eps, false for NaN; a true lane is -1. The absolute value clears
            // the sign bit.
            const V d = (V)((Mask)(p[v] - yv) & std::numeric_limits<long long>::max());
            hits_v -= (Mask)(d < eps);
        }
    }
    Index hits = 0;
    for (int l = 0; l < W; ++l)
        hits += hits_v[l];
    return hits + count_hits_rows(X, n, k, b, y, eps, i);
}

// The kernel of width W with the column loop unrolled for k up to 8.
template <int W>
__attribute__((always_inline)) inline Index count_hits_unrolled(const double* X, Index n, Index k,
                                                                const double* b, const double* y,
                                                                double eps) {
    switch (k) {
    case 1:
        return count_hits_vec<W, 1>(X, n, k, b, y, eps);
    case 2:
        return count_hits_vec<W, 2>(X, n, k, b, y, eps);
    case 3:
        return count_hits_vec<W, 3>(X, n, k, b, y, eps);
    case 4:
        return count_hits_vec<W, 4>(X, n, k, b, y, eps);
    case 5:
        return count_hits_vec<W, 5>(X, n, k, b, y, eps);
    case 6:
        return count_hits_vec<W, 6>(X, n, k, b, y, eps);
    case 7:
        return count_hits_vec<W, 7>(X, n, k, b, y, eps);
    case 8:
        return count_hits_vec<W, 8>(X, n, k, b, y, eps);
    default:
        return count_hits_vec<W, 0>(X, n, k, b, y, eps);
    }
}

__attribute__((target("avx2"))) Index count_hits_avx2(const double* X, Index n, Index k,
                                                      const double* b, const double* y,
                                                      double eps) {
    return count_hits_unrolled<4>(X, n, k, b, y, eps);
}

__attribute__((target("avx512f"))) Index count_hits_avx512(const double* X, Index n, Index k,
                                                           const double* b, const double* y,
                                                           double eps) {
    return count_hits_unrolled<8>(X, n, k, b, y, eps);
}
#endif

// The widest kernel that the processor runs.
CountHits count_hits_kernel() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f"))
        return count_hits_avx512;
    if (__builtin_cpu_supports("avx2"))
        return count_hits_avx2;
#endif
    return count_hits_portable;
}

// Energy of a coefficient vector b: the MDL score of X b against y, with the tolerance
// and the model-cost term fixed once for the fit, plus the applied penalty terms of b.
class Energy {
public:
    Energy(const MatrixXd& X, const VectorXd& y, int H, const PenaltySpec& pen)
        : X_(X)
        , y_(y)
        , eps_(mdl_tolerance(mad(y)))
        , cost_(mdl_cost(y.size(), static_cast<int>(X.cols()), H))
        , pen_(pen)
        , count_hits_(count_hits_kernel()) {}

    // Rb is the caller's workspace for the penalty products.
    double operator()(const VectorXd& b, VectorXd& Rb) const {
        const Index hits = count_hits_(X_.data(), X_.rows(), X_.cols(), b.data(), y_.data(), eps_);
        const double sr = success_rate(hits, y_.size());
        return mdl_score_sr(sr, y_.size(), cost_, &b, &pen_, Rb);
    }

private:
    const MatrixXd& X_;
    const VectorXd& y_;
    double eps_;
    double cost_;
    const PenaltySpec& pen_;
    CountHits count_hits_;
};

// A Metropolis walker: the current point b with its energy e, and its own buffers for the
// proposal and the penalty products, so that a step allocates nothing.
struct Walker {
    explicit Walker(Index k)
        : b(k)
        , bc(k) {}

    VectorXd b;
    VectorXd bc;
    VectorXd Rb;
    double e = 0.0;

    // Proposes b + (one variate of prop per coefficient) and accepts it when its energy is
    // lower, or else with probability exp(min((e - ec) / T, 0)); a NaN quotient counts as
    // 0, so the proposal is then accepted. No uniform is drawn for a lower energy.
    void step(const Energy& energy, NormalSource& prop, Engine& rng, double T) {
        for (Index i = 0; i < b.size(); ++i)
            bc[i] = b[i] + prop(rng);
        const double ec = energy(bc, Rb);
        bool accept = ec < e;
        if (!accept) {
            const double q = (e - ec) / T;
            accept = uniform01(rng) < std::exp(q < 0.0 ? q : 0.0);
        }
        if (accept) {
            b.swap(bc);
            e = ec;
        }
    }
};

// The two chain loops below are compiled for AVX-512, AVX2 and the baseline, the widest
// chosen when the module loads, so the variate arithmetic inlined into them (the conversion
// of engine outputs to double, the polar method, the walker's bookkeeping) uses the
// processor's instructions. Each variant performs the same IEEE operations in the same order
// (nothing is contracted into fused operations), so the results do not depend on it.

// Warm-up chain: a random start of standard deviation 0.5, then n_steps annealing steps of
// standard deviation step_size from temperature 2.0, cooled by 0.995 after every step.
// Returns the final point, not the best one visited.
__attribute__((target_clones("avx512f", "avx2", "default"))) Chain
warm_up_chain(const Energy& energy, Index k, std::uint64_t seed, double step_size, int n_steps) {
    Engine rng(seed);
    NormalSource init(0.0, 0.5);
    NormalSource prop(0.0, step_size);
    Walker w(k);
    for (Index i = 0; i < k; ++i)
        w.b[i] = init(rng);
    w.e = energy(w.b, w.Rb);
    double T = 2.0;
    for (int s = 0; s < n_steps; ++s) {
        w.step(energy, prop, rng, T);
        T *= 0.995;
    }
    return Chain{std::move(w.b), w.e};
}

// Deep phase: from each elite chain in turn, n_steps steps of standard deviation
// 0.3 step_size, cooled by 0.9997 after every step, from the temperature T that carries on
// from run to run. Returns the best point: the first elite chain, replaced only by a
// strictly lower energy.
__attribute__((target_clones("avx512f", "avx2", "default"))) Chain
deep_phase(const Energy& energy, Index k, const std::vector<Chain>& chains,
           const std::vector<std::size_t>& elite, std::uint64_t seed, double step_size, double T,
           int n_steps) {
    Chain best = chains[elite[0]];
    Walker w(k);
    for (std::size_t ei = 0; ei < elite.size(); ++ei) {
        Engine rng(seed + 7777 + std::uint64_t{13} * ei);
        NormalSource prop(0.0, 0.3 * step_size);
        w.b = chains[elite[ei]].beta;
        w.e = chains[elite[ei]].energy;
        for (int s = 0; s < n_steps; ++s) {
            w.step(energy, prop, rng, T);
            if (w.e < best.energy) {
                best.beta = w.b;
                best.energy = w.e;
            }
            T *= 0.9997;
        }
    }
    return best;
}

// Ascending energy with NaN energies after all numbers: a strict weak ordering that is
// a.energy < b.energy whenever neither is NaN.
bool ranks_before(const Chain& a, const Chain& b) {
    return a.energy < b.energy || (!std::isnan(a.energy) && std::isnan(b.energy));
}

// Ranked positions of the elite: position 0; then, in rank order, every chain farther than
// 0.1 from all members so far; then a fill-up from position d (the size reached) onward
// with no distance test, so a chain can be chosen twice. min(max(n_elite, 1), N) members.
std::vector<std::size_t> select_elite(const std::vector<Chain>& ranked, int n_elite) {
    const std::size_t n = ranked.size();
    const std::size_t wanted = static_cast<std::size_t>(std::max(n_elite, 1));
    std::vector<std::size_t> elite{0};
    for (std::size_t i = 1; i < n && elite.size() < wanted; ++i) {
        // A NaN distance does not reject.
        const bool apart = std::none_of(elite.begin(), elite.end(), [&](std::size_t m) {
            return (ranked[i].beta - ranked[m].beta).norm() <= 0.1;
        });
        if (apart)
            elite.push_back(i);
    }
    for (std::size_t i = elite.size(); i < n && elite.size() < wanted; ++i)
        elite.push_back(i);
    return elite;
}

} // namespace

GibbsResult gibbs_entropy(const VectorXd& energies, double T) {
    const Index N = energies.size();
    if (N == 0)
        throw std::invalid_argument("energies is empty");
    // Floor that keeps the divisions and the logarithm finite.
    constexpr double eps = 1e-300;
    const double emin = energies.minCoeff();
    VectorXd w(N);
    double wsum = 0.0;
    for (Index i = 0; i < N; ++i) {
        w[i] = std::exp(-(energies[i] - emin) / (T + eps));
        wsum += w[i];
    }
    double H = 0.0;
    for (Index i = 0; i < N; ++i) {
        const double p = w[i] / wsum;
        H -= p * std::log(p + eps);
    }
    const double Hmax = std::log(static_cast<double>(std::max<Index>(N, 2)));
    const double He = H / (Hmax + eps);
    const double meanE = energies.mean();
    double var = 0.0;
    for (Index i = 0; i < N; ++i) {
        const double d = energies[i] - meanE;
        var += d * d;
    }
    return GibbsResult{H, Hmax, He, He * 0.99 + 0.01, var / static_cast<double>(N), T};
}

TournamentMCMC::TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite,
                               double step_size, int H_piH, std::uint64_t seed)
    : n_chains_(n_chains)
    , n_warmup_(n_warmup)
    , n_deep_(n_deep)
    , n_elite_(n_elite)
    , step_size_(step_size)
    , H_piH_(H_piH)
    , seed_(seed) {
    if (n_chains_ < 1)
        throw std::invalid_argument("n_chains < 1");
}

MCMCResult TournamentMCMC::fit(const MatrixXd& X, const VectorXd& y, const MatrixXd* R1,
                               const MatrixXd* R2, double gamma1, double gamma2) const {
    const Index k = X.cols();
    const PenaltySpec pen{R1, R2, gamma1, gamma2};
    require_same_length(X.rows(), y.size(), "X rows", "y");
    require_penalty_shapes(pen, k);
    // A NaN or infinity would make every energy NaN or infinite, and the search would end
    // at a point that looks like an answer without having been steered by the data.
    require_finite(X, "X");
    require_finite(y, "y");
    require_finite_penalties(pen);
    if (k > std::numeric_limits<int>::max())
        throw std::invalid_argument("X has " + std::to_string(k) +
                                    " columns, more than the sampler can count");
    // The chain list and the chains' coefficient vectors, before any of them is made.
    const Index chain_bytes =
        sat_add(static_cast<Index>(sizeof(Chain) + sizeof(std::exception_ptr)),
                sat_mul(k, static_cast<Index>(sizeof(double))));
    require_memory(sat_mul(n_chains_, chain_bytes),
                   "TournamentMCMC.fit: " + std::to_string(n_chains_) + " chains of " +
                       std::to_string(k) + " coefficients");
    const Energy energy(X, y, H_piH_, pen);

    // Warm-up: independent chains, each on its own engine and writing only its own slot.
    // A failure (allocation) is kept in the chain's slot and rethrown after the loop.
    std::vector<Chain> chains(static_cast<std::size_t>(n_chains_));
    std::vector<std::exception_ptr> failures(chains.size());
#pragma omp parallel for schedule(dynamic, 1)
    for (int c = 0; c < n_chains_; ++c) {
        try {
            const std::uint64_t seed = seed_ + std::uint64_t{1000} * static_cast<std::uint64_t>(c);
            chains[c] = warm_up_chain(energy, k, seed, step_size_, n_warmup_);
        } catch (...) {
            failures[c] = std::current_exception();
        }
    }
    for (const std::exception_ptr& failure : failures)
        if (failure)
            std::rethrow_exception(failure);

    VectorXd energies(n_chains_);
    for (int c = 0; c < n_chains_; ++c)
        energies[c] = chains[c].energy;
    const GibbsResult gb = gibbs_entropy(energies, 1.0);

    std::sort(chains.begin(), chains.end(), ranks_before);
    const std::vector<std::size_t> elite = select_elite(chains, n_elite_);

    Chain best = deep_phase(energy, k, chains, elite, seed_, step_size_, 0.5 * gb.r_heat, n_deep_);
    return MCMCResult{std::move(best.beta), best.energy, gb, n_chains_, n_elite_};
}

} // namespace zarn
