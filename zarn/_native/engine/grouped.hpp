// Kernels of the fits of many groups of samples, each on its own rows: the samples sorted by
// group in one counting pass, each group's range of values, and the normal equations of
// linear fits solved group by group.
#pragma once

#include "driver.hpp"
#include "types.hpp"

#include <cstdint>
#include <vector>

namespace zarn::robust {

using CodeVector = Eigen::Matrix<std::int64_t, Eigen::Dynamic, 1>;

// The samples used are those with a finite row of X and y, a positive weight and a code of
// 0 or more. Group g of the samples used, stably sorted by code, is rows starts[g] ..
// starts[g] + counts[g], where starts are the partial sums of counts.
struct GroupCounts {
    CodeVector counts;
    // Every sample is used and the codes never decrease: the input is its own sorted copy.
    bool in_order = false;
    Index used = 0;
};

// The counts of X (n x d), y (n), w (n, or empty for unit weights) and codes (n, below
// n_groups; -1 for a sample of no group). Throws std::invalid_argument for a code of
// n_groups or more.
GroupCounts count_groups(const Eigen::Ref<const RowMatrix>& X, const Eigen::Ref<const VectorXd>& y,
                         const Eigen::Ref<const VectorXd>& w,
                         const Eigen::Ref<const CodeVector>& codes, Index n_groups);

// The samples used, sorted by group (a counting sort from their `counts`), into X_out
// (used x d, by rows), y_out, w_out (unless w is empty) and rows_out: the input's rows
// of the sorted samples. The caller allocates them.
void sort_by_group(const Eigen::Ref<const RowMatrix>& X, const Eigen::Ref<const VectorXd>& y,
                   const Eigen::Ref<const VectorXd>& w, const Eigen::Ref<const CodeVector>& codes,
                   const GroupCounts& counts, double* X_out, double* y_out, double* w_out,
                   std::int64_t* rows_out);

// Each group's smallest and largest value per column of `values` (n x d), group g being
// rows starts[g] .. starts[g] + counts[g]; NaN for a group of no rows.
struct GroupRanges {
    RowMatrix low, high;
};

GroupRanges group_ranges(const Eigen::Ref<const RowMatrix>& values,
                         const Eigen::Ref<const CodeVector>& starts,
                         const Eigen::Ref<const CodeVector>& counts);

// The Gram matrices G = Phi' W Phi of groups of rows of a design, each tested for certain
// full rank with a margin: G - margin trace(G) I positive definite (`certain`, one per
// group); with targets, also each group's normal equations A b = Phi' W y solved, with
// A = G + (sum(w) / m) S for m rows, S the penalty of m rows of unit weight (so that it
// stands in the weights' units), or A = G without S. Per group: the coefficients (NaN
// where A is not numerically positive definite), A^-1 (k * k), trace(A^-1 G) (the
// effective number of parameters), the weighted residual and total (about the weighted
// mean) sums of squares and, when asked, the unweighted residuals y - Phi b in the order
// of the rows.
struct NormalFits {
    VectorXd trace;
    Eigen::Matrix<std::uint8_t, Eigen::Dynamic, 1> certain;
    RowMatrix coef, inverse;
    VectorXd edf, rss, tss, residuals;
};

// Group g is rows offsets[g] .. offsets[g + 1] of Phi (N x k), y (N, or null for the test
// alone) and w (N, or empty for unit weights); S is k x k, or empty for no penalty.
NormalFits normal_fits(const Eigen::Ref<const MatrixXd>& Phi, const Eigen::Ref<const VectorXd>* y,
                       const Eigen::Ref<const VectorXd>& w, const std::vector<Index>& offsets,
                       const MatrixXd& S, double margin, bool residuals);

} // namespace zarn::robust
