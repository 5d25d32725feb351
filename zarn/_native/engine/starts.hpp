// The random draws of the elemental starts, made from the seed in the space of a series' own
// samples (positions 0..n_used-1 of its samples of positive weight): the order in which they
// enter the search's subsample and the elemental subsets, each with the inverse of its rows
// of the design, so that a series' exact fit of a subset is one small matrix-vector product.
// A series with missing samples thus draws exactly what the same series with those samples
// removed would draw; complete series share one set of draws.
#pragma once

#include "types.hpp"

namespace zarn::robust {

// The search runs on at most this many samples, drawn from the seed; the final M-steps run
// on all of them. A thousand points place a start well within the basin of the final fit
// and keep the cost of the search independent of n.
inline constexpr Index SUBSAMPLE = 1000;

struct Draws {
    // The search's positions: min(n_used, SUBSAMPLE) of 0..n_used-1 drawn from the seed, in
    // a random order (all of them, permuted, when n_used <= SUBSAMPLE).
    std::vector<Index> order;
    // Positions of each elemental subset (k each, one after the other), drawn among `order`,
    // with the inverse of their rows of the design (k x k each, column-major; undefined
    // where the subset is singular, which `regular` tells).
    Index k = 0;
    std::vector<Index> subsets;
    std::vector<double> inverses;
    std::vector<std::uint8_t> regular;

    // The number of subsets drawn.
    Index count() const { return static_cast<Index>(regular.size()); }
};

// Elemental subsets of k samples enough that one is free of outliers with probability 0.99
// when `bad_share` of the samples are outliers (at most MAX_STARTS).
Index starts_for(Index k, double bad_share);

// The search's positions among n_used samples from the seed, with no subsets yet.
Draws draw_order(Index n_used, std::uint64_t seed);

// Extends `draws` to its first `count` subsets; `rows` maps the positions to rows of the
// design Phi. Subset j depends only on the seed, j, the order and the rows of Phi.
void draw_subsets(Draws& draws, const MatrixXd& Phi, const std::vector<Index>& rows, Index count,
                  std::uint64_t seed);

// Exact fits of the first `count` subsets of `draws` to y (one value per position): row j
// of the result (at most count x k) fits subset j. Singular subsets are left out.
MatrixXd elemental_fits(const Draws& draws, const VectorXd& y, Index count);

} // namespace zarn::robust
