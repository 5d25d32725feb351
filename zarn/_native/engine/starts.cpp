// Random draws of the elemental starts, from a counter-based generator seeded by the
// caller's seed, so that every draw depends only on the seed and its own index.
#include "starts.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <unordered_map>

namespace zarn::robust {

namespace {

// Elemental starts: enough that at least one is free of outliers, when half of the points
// are bad, with probability 1 - MISS_PROBABILITY (72 for a cubic); never more than
// MAX_STARTS. The annealed least-squares start and the refinement cover what they miss.
constexpr double MISS_PROBABILITY = 1e-2;
constexpr Index MAX_STARTS = 500;
// Distinct streams of the seed: the subsample's order and the subsets.
constexpr std::uint64_t ORDER_STREAM = 0x5EED0FD2A5ULL;
constexpr std::uint64_t SUBSET_STREAM = 0x5EB5E7ULL;
// A subset is drawn again, at most this many times, while it repeats a row or is singular.
constexpr int REDRAWS = 20;
// Orders of more samples than this store only the entries that the shuffle moves (a hash
// map); smaller ones the whole permutation, which is cheaper to build than the map.
constexpr Index SPARSE_FROM = 8 * SUBSAMPLE;
// Relative size of a pivot below which a subset counts as singular (per coefficient).
constexpr double SINGULAR = 1e-12;

// SplitMix64: a small generator of good quality whose state is one counter.
struct Generator {
    std::uint64_t state;

    Generator(std::uint64_t seed, std::uint64_t stream, std::uint64_t index)
        : state(seed ^ (stream * 0x9E3779B97F4A7C15ULL) ^ (index * 0xBF58476D1CE4E5B9ULL)) {
        next();
    }

    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // Uniform in [0, m).
    Index below(Index m) {
        const double u = static_cast<double>(next() >> 11) * 0x1.0p-53;
        return std::min(static_cast<Index>(u * static_cast<double>(m)), m - 1);
    }
};

// k distinct entries of `pool`, drawn from `gen`, into subset.
void draw_subset(Generator& gen, const std::vector<Index>& pool, Index k,
                 std::vector<Index>& subset) {
    subset.clear();
    while (static_cast<Index>(subset.size()) < k) {
        const Index row =
            pool[static_cast<std::size_t>(gen.below(static_cast<Index>(pool.size())))];
        if (std::find(subset.begin(), subset.end(), row) == subset.end())
            subset.push_back(row);
    }
}

// The inverse of the rows of Phi of the subset's positions by Gauss-Jordan elimination with
// partial pivoting into `inv` (k x k, column-major), or false when a pivot is below SINGULAR
// times the largest entry (the subset's exact fit would then be dominated by rounding
// errors). `a` is scratch for the rows (k x k, row-major, as the elimination works by rows).
bool subset_inverse(const MatrixXd& Phi, const std::vector<Index>& rows,
                    const std::vector<Index>& subset, std::vector<double>& a, double* inv) {
    const Index k = Phi.cols();
    const auto A = [&](Index i, Index j) -> double& {
        return a[static_cast<std::size_t>(i * k + j)];
    };
    const auto I = [&](Index i, Index j) -> double& { return inv[j * k + i]; };
    a.resize(static_cast<std::size_t>(k * k));
    double largest = 0.0;
    for (Index i = 0; i < k; ++i) {
        const Index row = rows[static_cast<std::size_t>(subset[static_cast<std::size_t>(i)])];
        for (Index j = 0; j < k; ++j) {
            A(i, j) = Phi(row, j);
            largest = std::max(largest, std::abs(A(i, j)));
            I(i, j) = i == j ? 1.0 : 0.0;
        }
    }
    const double tiny = SINGULAR * static_cast<double>(k) * largest;
    for (Index c = 0; c < k; ++c) {
        Index p = c;
        for (Index i = c + 1; i < k; ++i)
            if (std::abs(A(i, c)) > std::abs(A(p, c)))
                p = i;
        if (!(std::abs(A(p, c)) > tiny))
            return false;
        for (Index j = 0; j < k; ++j) {
            std::swap(A(c, j), A(p, j));
            std::swap(I(c, j), I(p, j));
        }
        const double scale = 1.0 / A(c, c);
        for (Index j = 0; j < k; ++j) {
            A(c, j) *= scale;
            I(c, j) *= scale;
        }
        for (Index i = 0; i < k; ++i) {
            if (i == c || A(i, c) == 0.0)
                continue;
            const double f = A(i, c);
            for (Index j = 0; j < k; ++j) {
                A(i, j) -= f * A(c, j);
                I(i, j) -= f * I(c, j);
            }
        }
    }
    return true;
}

} // namespace

Index starts_for(Index k, double bad_share) {
    const double clean = std::pow(1.0 - bad_share, static_cast<double>(k));
    const double log_miss = std::log(MISS_PROBABILITY);
    if (-std::log1p(-clean) * static_cast<double>(MAX_STARTS) <= -log_miss)
        return MAX_STARTS;
    return std::min(MAX_STARTS, static_cast<Index>(std::ceil(log_miss / std::log1p(-clean))));
}

Draws draw_order(Index n_used, std::uint64_t seed) {
    // Fisher-Yates from the back, stopped once the last `size` entries are final: they are a
    // uniform draw in a uniform order, and with size = n_used the whole permutation. Entries
    // not yet moved hold their own position: beyond SPARSE_FROM samples only the moved ones
    // are stored.
    const Index size = std::min(n_used, SUBSAMPLE);
    const bool sparse = n_used > SPARSE_FROM;
    std::vector<Index> dense(sparse ? 0 : static_cast<std::size_t>(n_used));
    std::iota(dense.begin(), dense.end(), Index{0});
    std::unordered_map<Index, Index> moved;
    if (sparse)
        moved.reserve(static_cast<std::size_t>(2 * size));
    const auto at = [&](Index p) {
        if (!sparse)
            return dense[static_cast<std::size_t>(p)];
        const auto it = moved.find(p);
        return it == moved.end() ? p : it->second;
    };
    Generator gen(seed, ORDER_STREAM, 0);
    Draws draws;
    draws.order.resize(static_cast<std::size_t>(size));
    for (Index i = n_used - 1; i >= n_used - size; --i) {
        const Index j = i > 0 ? gen.below(i + 1) : 0;
        const Index vi = at(i), vj = at(j);
        if (sparse)
            moved[j] = vi;
        else
            dense[static_cast<std::size_t>(j)] = vi;
        draws.order[static_cast<std::size_t>(i - (n_used - size))] = vj;
    }
    return draws;
}

void draw_subsets(Draws& draws, const MatrixXd& Phi, const std::vector<Index>& rows, Index count,
                  std::uint64_t seed) {
    const std::vector<Index>& pool = draws.order;
    const Index k = Phi.cols();
    if (static_cast<Index>(pool.size()) <= k)
        return;
    draws.k = k;
    const std::size_t kk = static_cast<std::size_t>(k * k);
    std::vector<Index> subset;
    std::vector<double> scratch;
    for (Index j = draws.count(); j < count; ++j) {
        Generator gen(seed, SUBSET_STREAM, static_cast<std::uint64_t>(j));
        draws.inverses.resize(draws.inverses.size() + kk);
        double* inverse = draws.inverses.data() + draws.inverses.size() - kk;
        draw_subset(gen, pool, k, subset);
        bool regular = subset_inverse(Phi, rows, subset, scratch, inverse);
        for (int again = 0; again < REDRAWS && !regular; ++again) {
            draw_subset(gen, pool, k, subset);
            regular = subset_inverse(Phi, rows, subset, scratch, inverse);
        }
        draws.subsets.insert(draws.subsets.end(), subset.begin(), subset.end());
        draws.regular.push_back(regular);
    }
}

MatrixXd elemental_fits(const Draws& draws, const VectorXd& y, Index count) {
    count = std::min<Index>(count, draws.count());
    const Index k = draws.k;
    MatrixXd B(count, k);
    Index fitted = 0;
    VectorXd ys(k), fit(k);
    for (Index j = 0; j < count; ++j) {
        if (!draws.regular[static_cast<std::size_t>(j)])
            continue;
        const Index* subset = draws.subsets.data() + j * k;
        for (Index i = 0; i < k; ++i)
            ys[i] = y[subset[i]];
        fit.noalias() = Eigen::Map<const MatrixXd>(draws.inverses.data() + j * k * k, k, k) * ys;
        B.row(fitted++) = fit.transpose();
    }
    return B.topRows(fitted);
}

} // namespace zarn::robust
