// Random draws of the elemental starts, from a counter-based generator seeded by the
// caller's seed, so that every draw depends only on the seed and its own index.
#include "starts.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace zarn::robust {

namespace {

// Elemental starts: enough that at least one is free of outliers, when half of the points
// are bad, with probability 1 - MISS_PROBABILITY (72 for a cubic); never more than
// MAX_STARTS. The annealed least-squares start and the refinement cover what they miss.
constexpr double MISS_PROBABILITY = 1e-2;
constexpr Index MAX_STARTS = 500;
// Distinct streams of the seed: the subsample's order, the shared subsets and a series'
// replacements of the subsets that touch its missing samples.
constexpr std::uint64_t ORDER_STREAM = 0x5EED0FD2A5ULL;
constexpr std::uint64_t SUBSET_STREAM = 0x5EB5E7ULL;
constexpr std::uint64_t REPLACEMENT_STREAM = 0x2E91ACEULL;
// A subset is drawn again, at most this many times, while it repeats a row or is singular.
constexpr int REDRAWS = 20;

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

// The inverse of the subset's rows of Phi, or an empty matrix when they are singular.
MatrixXd subset_inverse(const MatrixXd& Phi, const std::vector<Index>& subset) {
    const Index k = Phi.cols();
    MatrixXd rows(k, k);
    for (Index i = 0; i < k; ++i)
        rows.row(i) = Phi.row(subset[static_cast<std::size_t>(i)]);
    Eigen::FullPivLU<MatrixXd> lu(rows);
    if (!lu.isInvertible())
        return MatrixXd();
    return lu.inverse();
}

} // namespace

Index starts_for(Index k, double bad_share) {
    const double clean = std::pow(1.0 - bad_share, static_cast<double>(k));
    const double log_miss = std::log(MISS_PROBABILITY);
    if (-std::log1p(-clean) * static_cast<double>(MAX_STARTS) <= -log_miss)
        return MAX_STARTS;
    return std::min(MAX_STARTS, static_cast<Index>(std::ceil(log_miss / std::log1p(-clean))));
}

SharedStarts draw_starts(const MatrixXd& Phi, std::uint64_t seed) {
    const Index n = Phi.rows(), k = Phi.cols();
    SharedStarts shared;
    shared.seed = seed;
    shared.order.resize(static_cast<std::size_t>(n));
    std::iota(shared.order.begin(), shared.order.end(), Index{0});
    Generator order_gen(seed, ORDER_STREAM, 0);
    for (Index i = n - 1; i > 0; --i) // Fisher-Yates
        std::swap(shared.order[static_cast<std::size_t>(i)],
                  shared.order[static_cast<std::size_t>(order_gen.below(i + 1))]);
    if (n <= k)
        return shared;
    const Index size = std::min(n, SUBSAMPLE);
    const std::vector<Index> pool(shared.order.begin(),
                                  shared.order.begin() + static_cast<std::ptrdiff_t>(size));
    const Index count = starts_for(k, 0.5); // the most any series may need
    for (Index j = 0; j < count; ++j) {
        Generator gen(seed, SUBSET_STREAM, static_cast<std::uint64_t>(j));
        std::vector<Index> subset = draw_subset(gen, pool, k);
        MatrixXd inverse = subset_inverse(Phi, subset);
        for (int again = 0; again < REDRAWS && inverse.size() == 0; ++again) {
            subset = draw_subset(gen, pool, k);
            inverse = subset_inverse(Phi, subset);
        }
        shared.subsets.push_back(std::move(subset));
        shared.inverses.push_back(std::move(inverse));
    }
    return shared;
}

MatrixXd elemental_fits(const SharedStarts& shared, const MatrixXd& Phi, const VectorXd& y,
                        const std::vector<std::uint8_t>& used,
                        const std::vector<Index>& search_rows, Index count) {
    const Index k = Phi.cols();
    count = std::min<Index>(count, static_cast<Index>(shared.subsets.size()));
    MatrixXd B(count, k);
    Index rows = 0;
    VectorXd ys(k);
    for (Index j = 0; j < count; ++j) {
        const std::vector<Index>* subset = &shared.subsets[static_cast<std::size_t>(j)];
        const MatrixXd* inverse = &shared.inverses[static_cast<std::size_t>(j)];
        std::vector<Index> replacement;
        MatrixXd own;
        const bool touches = std::any_of(subset->begin(), subset->end(), [&](Index row) {
            return used[static_cast<std::size_t>(row)] == 0;
        });
        if (touches) {
            Generator gen(shared.seed, REPLACEMENT_STREAM, static_cast<std::uint64_t>(j));
            for (int again = 0; again < REDRAWS && own.size() == 0; ++again) {
                replacement = draw_subset(gen, search_rows, k);
                own = subset_inverse(Phi, replacement);
            }
            subset = &replacement;
            inverse = &own;
        }
        if (inverse->size() == 0)
            continue;
        for (Index i = 0; i < k; ++i)
            ys[i] = y[(*subset)[static_cast<std::size_t>(i)]];
        B.row(rows++) = (*inverse * ys).transpose();
    }
    return B.topRows(rows);
}

} // namespace zarn::robust
