// The random draws of a block, made once from the seed and shared by all its series: the
// order in which samples enter the search's subsample and the elemental subsets, each with
// the inverse of its rows of the design, so that a series' exact fit of a subset is one
// small matrix-vector product.
#pragma once

#include "types.hpp"

namespace zarn::robust {

// The search runs on at most this many samples, drawn from the seed; the final M-steps run
// on all of them. A thousand points place a start well within the basin of the final fit
// and keep the cost of the search independent of n.
inline constexpr Index SUBSAMPLE = 1000;

struct SharedStarts {
    // A permutation of the design's rows from the seed: a series searches on its first
    // SUBSAMPLE rows of positive weight.
    std::vector<Index> order;
    // Rows of each elemental subset (k each), drawn among the first SUBSAMPLE of `order`.
    std::vector<std::vector<Index>> subsets;
    // The inverse of each subset's rows of the design; empty when they are singular.
    std::vector<MatrixXd> inverses;
    std::uint64_t seed = 0;
};

// Elemental subsets of k samples enough that one is free of outliers with probability 0.99
// when `bad_share` of the samples are outliers (at most MAX_STARTS).
Index starts_for(Index k, double bad_share);

// The draws of a block with design Phi (n x k).
SharedStarts draw_starts(const MatrixXd& Phi, std::uint64_t seed);

// Exact fits of a series' elemental subsets: row j of the result (starts x k) fits subset j
// of `shared` to y (the design's y, indexed by design row), or a replacement drawn among the
// series' `search_rows` when subset j touches a row of zero weight (`used[row]` false).
// Singular subsets are left out, so the result may have fewer rows than `count`.
MatrixXd elemental_fits(const SharedStarts& shared, const MatrixXd& Phi, const VectorXd& y,
                        const std::vector<std::uint8_t>& used,
                        const std::vector<Index>& search_rows, Index count);

} // namespace zarn::robust
