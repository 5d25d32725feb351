#include "fitting.hpp"

#include <Eigen/SVD>

#include <algorithm>
#include <cstring>
#include <vector>

namespace zarn {

namespace {

// Normal equations of the penalised fit, read from Phi and y in one pass: the lower triangle
// of Phi'Phi and the vector Phi'y, as the lower triangle of the Gram matrix of the m = p + 1
// columns [Phi y].
//
// Each entry is a sum over the rows in eight interleaved partial sums: row i goes to sum
// i mod 8, each partial sum adds its rows in increasing order (a product, then an addition,
// never fused), the eight are added in lane order, and the rows after the last whole group
// of eight are then added one by one. The kernels for different vector units run the same
// operations in the same order (they differ in how many of the eight lanes one instruction
// holds and in how many entries they accumulate at a time), so the result does not depend on
// the processor. Rows are taken in blocks that fit in the first-level cache together, and
// every block is used for all entries before the next one is read.
constexpr Index gram_lanes = 8;
typedef double Lanes8 __attribute__((vector_size(8 * gram_lanes)));

// Entries of one register tile: TA columns a (rows of the Gram matrix) against TB columns b.
// A diagonal tile (a0 == b0, TA == TB) holds only its entries on and below the diagonal.
template <int TA, int TB, bool Diagonal>
__attribute__((always_inline)) inline void gram_tile(const double* const* cols, Index a0, Index b0,
                                                     Index i0, Index i1, double* acc,
                                                     Index stride) {
    constexpr auto used = [](int ta, int tb) { return !Diagonal || tb <= ta; };
    Lanes8 s[TA][TB];
    for (int ta = 0; ta < TA; ++ta)
        for (int tb = 0; tb < TB; ++tb)
            if (used(ta, tb))
                std::memcpy(&s[ta][tb], acc + ((a0 + ta) * stride + b0 + tb) * gram_lanes,
                            sizeof(Lanes8));
    for (Index i = i0; i < i1; i += gram_lanes) {
        Lanes8 xb[TB];
        for (int tb = 0; tb < TB; ++tb)
            std::memcpy(&xb[tb], cols[b0 + tb] + i, sizeof(Lanes8));
        for (int ta = 0; ta < TA; ++ta) {
            Lanes8 xa;
            std::memcpy(&xa, cols[a0 + ta] + i, sizeof(Lanes8));
            for (int tb = 0; tb < TB; ++tb)
                if (used(ta, tb))
                    s[ta][tb] += xa * xb[tb];
        }
    }
    for (int ta = 0; ta < TA; ++ta)
        for (int tb = 0; tb < TB; ++tb)
            if (used(ta, tb))
                std::memcpy(acc + ((a0 + ta) * stride + b0 + tb) * gram_lanes, &s[ta][tb],
                            sizeof(Lanes8));
}

// Lane sums of the whole groups of eight rows, for every tile that holds an entry of the
// lower triangle. cols has `stride` pointers (columns past m repeat another column; their
// entries are computed and never read), and acc holds stride x stride groups of eight.
template <int TA, int TB>
__attribute__((always_inline)) inline void gram_lane_sums(const double* const* cols, Index m,
                                                          Index rows, double* acc, Index stride) {
    const Index block = std::max<Index>(gram_lanes, (16384 / (8 * m)) / gram_lanes * gram_lanes);
    for (Index i0 = 0; i0 < rows; i0 += block) {
        const Index i1 = std::min(rows, i0 + block);
        for (Index a0 = 0; a0 < m; a0 += TA)
            for (Index b0 = 0; b0 < a0 + TA && b0 < m; b0 += TB)
                if (TA == TB && a0 == b0)
                    gram_tile<TA, TB, TA == TB>(cols, a0, b0, i0, i1, acc, stride);
                else
                    gram_tile<TA, TB, false>(cols, a0, b0, i0, i1, acc, stride);
    }
}

using GramLaneSums = void (*)(const double* const* cols, Index m, Index rows, double* acc,
                              Index stride);

// Column pointers and sums are padded for whole tiles of up to this many columns.
constexpr Index tile_pad = 4;

// Tile sizes that keep a tile's sums and operands in the registers of each vector unit.
void gram_lane_sums_portable(const double* const* cols, Index m, Index rows, double* acc,
                             Index stride) {
    gram_lane_sums<1, 2>(cols, m, rows, acc, stride);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void gram_lane_sums_avx2(const double* const* cols, Index m,
                                                         Index rows, double* acc, Index stride) {
    gram_lane_sums<2, 2>(cols, m, rows, acc, stride);
}

__attribute__((target("avx512f"))) void
gram_lane_sums_avx512(const double* const* cols, Index m, Index rows, double* acc, Index stride) {
    gram_lane_sums<4, 4>(cols, m, rows, acc, stride);
}
#endif

GramLaneSums gram_lane_sums_kernel() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f"))
        return gram_lane_sums_avx512;
    if (__builtin_cpu_supports("avx2"))
        return gram_lane_sums_avx2;
#endif
    return gram_lane_sums_portable;
}

// Up to this many coefficients the one-pass kernel forms the normal equations; beyond, the
// library's blocked symmetric rank update, whose blocking suits large Gram matrices better.
constexpr Index fused_max_cols = 128;

// A = lower triangle of Phi'Phi (upper part zero), b = Phi'y, by the one-pass kernel.
void normal_equations_fused(const MatrixXd& Phi, const VectorXd& y, MatrixXd& A, VectorXd& b) {
    const Index n = Phi.rows();
    const Index p = Phi.cols();
    const Index m = p + 1;
    const Index stride = (m + tile_pad - 1) / tile_pad * tile_pad + tile_pad;
    // Columns past m repeat y, which has n rows even when Phi has no columns.
    std::vector<const double*> cols(static_cast<std::size_t>(stride), y.data());
    for (Index j = 0; j < p; ++j)
        cols[static_cast<std::size_t>(j)] = Phi.col(j).data();

    const Index rows = n / gram_lanes * gram_lanes;
    std::vector<double> acc(static_cast<std::size_t>(stride * stride * gram_lanes), 0.0);
    gram_lane_sums_kernel()(cols.data(), m, rows, acc.data(), stride);

    MatrixXd G(m, m);
    for (Index a = 0; a < m; ++a) {
        for (Index c = 0; c <= a; ++c) {
            const double* s = acc.data() + (a * stride + c) * gram_lanes;
            double g = s[0];
            for (Index l = 1; l < gram_lanes; ++l)
                g += s[l];
            for (Index i = rows; i < n; ++i)
                g += cols[static_cast<std::size_t>(a)][i] * cols[static_cast<std::size_t>(c)][i];
            G(a, c) = g;
        }
    }
    A = MatrixXd::Zero(p, p);
    A.triangularView<Eigen::Lower>() = G.topLeftCorner(p, p);
    b = G.row(p).head(p).transpose();
}

// Non-finite data always shows in the normal equations: each entry of Phi enters the
// diagonal of Phi'Phi as its square (NaN stays NaN, an infinity gives +inf, and a sum of
// squares cannot cancel it), and each entry of y enters every entry of Phi'y as a product
// with the row of Phi, which is NaN or infinite for a NaN or infinite y[i] (inf * 0 is NaN).
// So a finite A and b (p x p and p values) prove Phi and y finite without reading them
// again; only when they are not are Phi and y scanned, to name the input at fault, and if
// both are finite the sums themselves overflowed. Without columns there are no sums, and
// y is checked directly.
void require_finite_normal_equations(const MatrixXd& Phi, const VectorXd& y, const MatrixXd& A,
                                     const VectorXd& b) {
    if (Phi.cols() == 0) {
        require_finite(y, "y");
        return;
    }
    const bool gram_finite = all_finite(A.data(), A.size());
    if (gram_finite && all_finite(b.data(), b.size()))
        return;
    require_finite(Phi, "Phi");
    require_finite(y, "y");
    if (!gram_finite) {
        throw std::invalid_argument(
            "the normal equations overflowed: Phi'Phi has entries beyond the largest double "
            "although Phi is finite; scale the columns of Phi (for example to unit norm) and "
            "the coefficients back");
    }
    throw std::invalid_argument(
        "the normal equations overflowed: Phi'y has entries beyond the largest double although "
        "Phi and y are finite; scale y or the columns of Phi");
}

} // namespace

VectorXd ols(const MatrixXd& X, const VectorXd& y) {
    require_same_length(X.rows(), y.size(), "X rows", "y");
    // With a non-finite entry the decomposition stops with an invalid-input status, and its
    // solve would still return a vector that looks like an answer.
    require_finite(X, "X");
    // The decomposition crashes on a matrix without rows or columns; the minimum-norm
    // solution of such a system is the zero vector.
    if (X.size() == 0)
        return VectorXd::Zero(X.cols());
    const Eigen::BDCSVD<MatrixXd> svd(X, Eigen::ComputeThinU | Eigen::ComputeThinV);
    return svd.solve(y);
}

VectorXd fit_regularized_linear(const MatrixXd& Phi, const VectorXd& y, const MatrixXd* R1,
                                const MatrixXd* R2, double gamma1, double gamma2, double ridge) {
    const Index p = Phi.cols();
    require_same_length(Phi.rows(), y.size(), "Phi rows", "y");
    const PenaltySpec pen{R1, R2, gamma1, gamma2};
    require_penalty_shapes(pen, p);
    require_finite_penalties(pen);
    require_finite(ridge, "ridge");

    const double n = static_cast<double>(y.size());
    // The factorisation reads the lower triangle only, so A is built there alone: Phi'Phi
    // is formed on the lower half, and each penalty is added over the same triangle (the
    // entries above the diagonal would have no influence).
    MatrixXd A;
    VectorXd b;
    if (p <= fused_max_cols) {
        normal_equations_fused(Phi, y, A, b);
    } else {
        A = MatrixXd::Zero(p, p);
        A.selfadjointView<Eigen::Lower>().rankUpdate(Phi.transpose());
        b = Phi.transpose() * y;
    }
    require_finite_normal_equations(Phi, y, A, b);
    A.diagonal().array() += ridge;
    if (pen.applies_R1())
        A.triangularView<Eigen::Lower>() += (n * gamma1) * *R1;
    if (pen.applies_R2())
        A.triangularView<Eigen::Lower>() += (n * gamma2) * *R2;
    // Every term is finite here, so only their sums or the products n gamma R can overflow.
    if (!all_finite(A.data(), A.size())) {
        throw std::invalid_argument(
            "the penalised normal matrix overflowed: Phi'Phi + ridge I + n gamma1 R1 + n gamma2 R2 "
            "has entries beyond the largest double; reduce ridge, gamma1 or gamma2, or scale "
            "R1 and R2");
    }
    return Eigen::LDLT<MatrixXd, Eigen::Lower>(A).solve(b);
}

} // namespace zarn
