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

// k distinct entries of `pool`, drawn from `gen`.
std::vector<Index> draw_subset(Generator& gen, const std::vector<Index>& pool, Index k) {
    std::vector<Index> subset;
    while (static_cast<Index>(subset.size()) < k) {
        const Index row =
            pool[static_cast<std::size_t>(gen.below(static_cast<Index>(pool.size())))];
        if (std::find(subset.begin(), subset.end(), row) == subset.end())
            subset.push_back(row);
    }
    return subset;
}

// The inverse of the rows of Phi of the subset's positions by Gauss-Jordan elimination with
// partial pivoting, or an empty matrix when a pivot is below SINGULAR times the largest
// entry (the subset's exact fit would then be dominated by rounding errors).
MatrixXd subset_inverse(const MatrixXd& Phi, const std::vector<Index>& rows,
                        const std::vector<Index>& subset) {
    const Index k = Phi.cols();
    MatrixXd A(k, k);
    for (Index i = 0; i < k; ++i)
        A.row(i) = Phi.row(rows[static_cast<std::size_t>(subset[static_cast<std::size_t>(i)])]);
    const double tiny = SINGULAR * static_cast<double>(k) * A.cwiseAbs().maxCoeff();
    MatrixXd inv = MatrixXd::Identity(k, k);
    for (Index c = 0; c < k; ++c) {
        Index p = c;
        for (Index i = c + 1; i < k; ++i)
            if (std::abs(A(i, c)) > std::abs(A(p, c)))
                p = i;
        if (!(std::abs(A(p, c)) > tiny))
            return MatrixXd();
        A.row(c).swap(A.row(p));
        inv.row(c).swap(inv.row(p));
        const double scale = 1.0 / A(c, c);
        A.row(c) *= scale;
        inv.row(c) *= scale;
        for (Index i = 0; i < k; ++i) {
            if (i == c || A(i, c) == 0.0)
                continue;
            const double f = A(i, c);
            A.row(i) -= f * A.row(c);
            inv.row(i) -= f * inv.row(c);
        }
    }
    return inv;
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
    if (static_cast<Index>(pool.size()) <= Phi.cols())
        return;
    const Index k = Phi.cols();
    for (Index j = static_cast<Index>(draws.subsets.size()); j < count; ++j) {
        Generator gen(seed, SUBSET_STREAM, static_cast<std::uint64_t>(j));
        std::vector<Index> subset = draw_subset(gen, pool, k);
        MatrixXd inverse = subset_inverse(Phi, rows, subset);
        for (int again = 0; again < REDRAWS && inverse.size() == 0; ++again) {
            subset = draw_subset(gen, pool, k);
            inverse = subset_inverse(Phi, rows, subset);
        }
        draws.subsets.push_back(std::move(subset));
        draws.inverses.push_back(std::move(inverse));
    }
}

MatrixXd elemental_fits(const Draws& draws, const VectorXd& y, Index count) {
    count = std::min<Index>(count, static_cast<Index>(draws.subsets.size()));
    const Index k = count > 0 ? static_cast<Index>(draws.subsets[0].size()) : 0;
    MatrixXd B(count, k);
    Index fitted = 0;
    VectorXd ys(k);
    for (Index j = 0; j < count; ++j) {
        const MatrixXd& inverse = draws.inverses[static_cast<std::size_t>(j)];
        if (inverse.size() == 0)
            continue;
        const std::vector<Index>& subset = draws.subsets[static_cast<std::size_t>(j)];
        for (Index i = 0; i < k; ++i)
            ys[i] = y[subset[static_cast<std::size_t>(i)]];
        B.row(fitted++) = (inverse * ys).transpose();
    }
    return B.topRows(fitted);
}

} // namespace zarn::robust
