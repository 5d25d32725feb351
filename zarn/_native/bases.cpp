#include "bases.hpp"

#include "memory.hpp"

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace zarn {

namespace {

// Asks the kernel to back the whole 2 MiB pages inside a large, freshly allocated and not yet
// written block with huge pages, which saves most page faults of its first write. This is
// advice only: if it is refused, the block is used as it is.
void advise_huge_pages(double* data, Index count) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t end = begin + static_cast<std::uintptr_t>(count) * sizeof(double);
    const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
    if (end >= first + kHuge)
        madvise(reinterpret_cast<void*>(first), (end - first) & ~(kHuge - 1), MADV_HUGEPAGE);
#else
    (void)data;
    (void)count;
#endif
}

// R += w * (d d'), element by element as one fused multiply-add of the outer-product
// element d[r] * d[c] with the weight.
void accumulate_outer(MatrixXd& R, const VectorXd& d, double w) {
    const Index M = d.size();
    for (Index c = 0; c < M; ++c)
        for (Index r = 0; r < M; ++r)
            R(r, c) = std::fma(d[r] * d[c], w, R(r, c));
}

using DerivTable = std::array<MatrixXd, 3>; // order 0, 1, 2 at the axis points of one dimension

// Fills column c of H (G rows, G = n^D) with one mixed derivative of basis function
// columns[c] at every grid point: H(g, c) = prod_d tab[d][orders[d]](k_d(g), mi[d]),
// multiplied in increasing d, where grid point g has axis index k_d(g) in dimension d and
// dimension 0 varies fastest. The rows of one combination of k_1..k_{D-1} form a contiguous
// block of n, over which k_0 runs.
void fill_derivatives(MatrixXd& H, const std::vector<DerivTable>& tab,
                      const std::vector<std::vector<int>>& multi_indices,
                      const std::vector<Index>& columns, const std::vector<int>& orders, Index n) {
    const std::size_t D = orders.size();
    const Index G = H.rows();
    std::vector<const double*> factor(D); // column of dimension d's table for this function
    std::vector<Index> k(D);
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const std::vector<int>& mi = multi_indices[static_cast<std::size_t>(columns[c])];
        for (std::size_t d = 0; d < D; ++d)
            factor[d] = tab[d][static_cast<std::size_t>(orders[d])].col(mi[d]).data();
        std::fill(k.begin(), k.end(), Index{0});
        double* column = H.col(static_cast<Index>(c)).data();
        for (Index start = 0; start < G; start += n) {
            double* block = column + start;
            // The running product starts at 1.0; 1.0 * t is t exactly, so start from t.
            for (Index k0 = 0; k0 < n; ++k0)
                block[k0] = factor[0][k0];
            for (std::size_t d = 1; d < D; ++d) {
                const double t = factor[d][k[d]];
                for (Index k0 = 0; k0 < n; ++k0)
                    block[k0] *= t;
            }
            for (std::size_t d = 1; d < D && ++k[d] == n; ++d)
                k[d] = 0;
        }
    }
}

// Whether basis functions whose derivative column is identically zero may be left out of
// the Gram updates. Such a column is a product with a factor that is exactly 0.0 (the
// derivative of a lower power), so it adds exact zeros to R, unless a product of table
// entries overflows or dV is not finite, where 0 * inf would have made those entries NaN.
// The bound is on every partial product of one entry per dimension.
bool zero_columns_add_nothing(const std::vector<DerivTable>& tab, double dV) {
    if (!std::isfinite(dV))
        return false;
    double bound = 1.0;
    for (const DerivTable& t : tab) {
        double largest = 1.0;
        for (const MatrixXd& order_table : t) {
            if (!order_table.allFinite())
                return false;
            largest = std::max(largest, order_table.cwiseAbs().maxCoeff());
        }
        bound *= largest;
    }
    return bound <= 0.5 * std::numeric_limits<double>::max();
}

// Whether the derivative of the given orders of the monomial mi vanishes identically.
bool derivative_vanishes(const std::vector<int>& mi, const std::vector<int>& orders) {
    for (std::size_t d = 0; d < orders.size(); ++d)
        if (mi[d] < orders[d])
            return true;
    return false;
}

// Copies the lower triangle onto the strictly upper one.
void mirror_lower(MatrixXd& R) {
    for (Index c = 1; c < R.cols(); ++c)
        for (Index r = 0; r < c; ++r)
            R(r, c) = R(c, r);
}

} // namespace

MatrixXd design_matrix_1d(int deg, const VectorXd& x) {
    if (deg < 0)
        throw std::invalid_argument("deg < 0");
    const Index n = x.size();
    const Index M = Index{deg} + 1;
    require_memory(matrix_bytes(n, M), "design_matrix_1d: " + std::to_string(n) + " x " +
                                           std::to_string(M) + " design matrix");
    MatrixXd Phi(n, M);
    advise_huge_pages(Phi.data(), Phi.size());
    Phi.col(0).setOnes();
    for (Index p = 1; p < M && n > 0; ++p) // no samples: nothing to fill in any column
        Phi.col(p) = Phi.col(p - 1).cwiseProduct(x);
    return Phi;
}

double col_deriv_scalar(double val, int p, int order) {
    switch (order) {
    case 0:
        return std::pow(val, static_cast<double>(p));
    case 1:
        return p <= 0 ? 0.0 : static_cast<double>(p) * std::pow(val, static_cast<double>(p - 1));
    default:
        // p (p - 1) is an exact integer; it is formed in 64 bits, which equals the 32-bit
        // product wherever that one does not overflow (p <= 46341).
        return p <= 1 ? 0.0
                      : static_cast<double>(std::int64_t{p} * (p - 1)) *
                            std::pow(val, static_cast<double>(p - 2));
    }
}

void deriv_row(double x, int deg, int order, Eigen::Ref<VectorXd> out) {
    for (Index p = 0; p <= deg; ++p)
        out[p] = col_deriv_scalar(x, static_cast<int>(p), order);
}

MatrixXd boundary_reduce_1d(int deg, double x_min, double x_max) {
    if (deg < -1)
        throw std::invalid_argument("deg < -1");
    const Index M = Index{deg} + 1;
    require_memory(sat_mul(matrix_bytes(M, M), 2), "boundary_reduce_1d: two " + std::to_string(M) +
                                                       " x " + std::to_string(M) + " matrices");
    VectorXd a1(M), a2(M), b1(M), b2(M);
    deriv_row(x_min, deg, 1, a1);
    deriv_row(x_min, deg, 2, a2);
    deriv_row(x_max, deg, 1, b1);
    deriv_row(x_max, deg, 2, b2);
    MatrixXd Rb = b2 * b1.transpose();
    for (Index c = 0; c < M; ++c)
        for (Index r = 0; r < M; ++r)
            Rb(r, c) = std::fma(-a1[c], a2[r], Rb(r, c));
    return (Rb + Rb.transpose()) * 0.5;
}

PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid) {
    if (deg < 0)
        throw std::invalid_argument("deg < 0");
    if (n_grid < 2)
        throw std::invalid_argument("n_grid < 2");
    const Index M = Index{deg} + 1;
    require_memory(sat_mul(matrix_bytes(M, M), 2), "smoothness_penalty_matrices_1d: two " +
                                                       std::to_string(M) + " x " +
                                                       std::to_string(M) + " matrices");
    const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);
    PenaltyMatrices1D r{MatrixXd::Zero(M, M), MatrixXd::Zero(M, M)};
    VectorXd d1(M), d2(M);
    for (int g = 0; g < n_grid; ++g) {
        const double x = std::fma(static_cast<double>(g), dx, x_min);
        deriv_row(x, deg, 1, d1);
        deriv_row(x, deg, 2, d2);
        accumulate_outer(r.R1, d1, dx);
        accumulate_outer(r.R2, d2, dx);
    }
    return r;
}

void generate_multi_indices(const std::vector<int>& degrees, std::size_t dim,
                            std::vector<int>& current, std::vector<std::vector<int>>& out) {
    if (dim == degrees.size()) {
        out.push_back(current);
        return;
    }
    // A wide counter, so that degrees[dim] = INT_MAX cannot overflow it.
    for (std::int64_t i = 0; i <= degrees[dim]; ++i) {
        current[dim] = static_cast<int>(i);
        generate_multi_indices(degrees, dim + 1, current, out);
    }
}

MatrixXd design_matrix_nd(const std::vector<std::vector<int>>& multi_indices,
                          const std::vector<VectorXd>& X_cols) {
    if (X_cols.empty())
        throw std::invalid_argument("X_cols is empty: at least one sample vector is needed");
    const std::size_t D = X_cols.size();
    const Index n = X_cols[0].size();
    for (std::size_t d = 1; d < D; ++d) {
        const std::string name = "X_cols[" + std::to_string(d) + "]";
        require_same_length(X_cols[d].size(), n, name.c_str(), "X_cols[0]");
    }
    for (std::size_t j = 0; j < multi_indices.size(); ++j) {
        if (multi_indices[j].size() < D)
            throw std::invalid_argument("multi_indices[" + std::to_string(j) + "] has " +
                                        std::to_string(multi_indices[j].size()) +
                                        " entries, fewer than the " + std::to_string(D) +
                                        " variables of X_cols");
    }
    const auto M = static_cast<Index>(multi_indices.size());
    require_memory(matrix_bytes(n, M), "design_matrix_nd: " + std::to_string(n) + " x " +
                                           std::to_string(M) + " design matrix");
    MatrixXd Phi(n, M);
    for (Index j = 0; j < M; ++j) {
        const std::vector<int>& mi = multi_indices[static_cast<std::size_t>(j)];
        Phi.col(j).setOnes();
        for (std::size_t d = 0; d < D; ++d) {
            if (mi[d] > 0)
                Phi.col(j).array() *= X_cols[d].array().pow(static_cast<double>(mi[d]));
        }
    }
    return Phi;
}

PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees,
                                            const std::vector<std::pair<double, double>>& bounds,
                                            int n_grid_per_dim) {
    const std::size_t D = degrees.size();
    if (bounds.size() != D)
        throw std::invalid_argument("Dimension mismatch.");
    for (std::size_t d = 0; d < D; ++d) {
        if (degrees[d] < -1)
            throw std::invalid_argument("degrees[" + std::to_string(d) +
                                        "] = " + std::to_string(degrees[d]) + " < -1");
    }
    if (n_grid_per_dim < 2)
        throw std::invalid_argument("n_grid_per_dim < 2");
    const Index n = n_grid_per_dim;

    // Basis and grid sizes, saturating, before anything is allocated.
    Index M = 1;
    Index G = 1;
    for (std::size_t d = 0; d < D; ++d) {
        M = sat_mul(M, Index{degrees[d]} + 1);
        G = sat_mul(G, n);
    }
    PenaltyMatricesND r;
    if (M == 0) // a -1 degree empties the basis: 0 x 0 penalties, no multi-indices
        return r;
    const auto index_bytes = static_cast<Index>(sizeof(std::vector<int>) + D * sizeof(int));
    // R1, R2, the gathered block of one update, one derivative matrix and the multi-indices.
    const Index bytes = sat_add(sat_add(sat_mul(matrix_bytes(M, M), 3), matrix_bytes(G, M)),
                                sat_mul(M, index_bytes));
    // Passing this check bounds M far below INT_MAX (three M x M matrices fit in memory).
    require_memory(bytes, "build_penalty_matrices_nd: " + std::to_string(M) +
                              " basis functions on " + std::to_string(G) + " grid points");

    std::vector<int> current(D, 0);
    r.multi_indices.reserve(static_cast<std::size_t>(M));
    generate_multi_indices(degrees, 0, current, r.multi_indices);

    double dV = 1.0;
    std::vector<DerivTable> tab(D);
    for (std::size_t d = 0; d < D; ++d) {
        const auto [first, second] = bounds[d];
        dV *= (second - first) / static_cast<double>(n_grid_per_dim - 1);
        const VectorXd axis = VectorXd::LinSpaced(n, first, second);
        for (int order = 0; order < 3; ++order) {
            MatrixXd& t = tab[d][static_cast<std::size_t>(order)];
            t.resize(n, Index{degrees[d]} + 1);
            for (Index p = 0; p < t.cols(); ++p)
                for (Index k = 0; k < n; ++k)
                    t(k, p) = col_deriv_scalar(axis[k], static_cast<int>(p), order);
        }
    }

    r.R1 = MatrixXd::Zero(M, M);
    r.R2 = MatrixXd::Zero(M, M);
    const bool skip_zero_columns = zero_columns_add_nothing(tab, dV);
    MatrixXd H(G, M);
    MatrixXd R_kept;
    std::vector<Index> kept;
    // R += dV * H'H on the lower triangle for the derivative of the given orders. The update
    // runs on the rows and columns of the functions whose derivative does not vanish,
    // gathered from R and scattered back, which leaves R as the update over all of them.
    const auto add_gram = [&](MatrixXd& R, const std::vector<int>& orders) {
        kept.clear();
        for (Index m = 0; m < M; ++m)
            if (!skip_zero_columns ||
                !derivative_vanishes(r.multi_indices[static_cast<std::size_t>(m)], orders))
                kept.push_back(m);
        const auto K = static_cast<Index>(kept.size());
        fill_derivatives(H, tab, r.multi_indices, kept, orders, n);
        R_kept.resize(K, K);
        for (Index b = 0; b < K; ++b)
            for (Index a = b; a < K; ++a)
                R_kept(a, b) = R(kept[a], kept[b]);
        R_kept.selfadjointView<Eigen::Lower>().rankUpdate(H.leftCols(K).adjoint(), dV);
        for (Index b = 0; b < K; ++b)
            for (Index a = b; a < K; ++a)
                R(kept[a], kept[b]) = R_kept(a, b);
    };
    std::vector<int> orders(D);
    // Hessian: every ordered pair (i, j), so each mixed pair counts twice.
    for (std::size_t i = 0; i < D; ++i) {
        for (std::size_t j = 0; j < D; ++j) {
            for (std::size_t d = 0; d < D; ++d)
                orders[d] = (d == i ? 1 : 0) + (d == j ? 1 : 0);
            add_gram(r.R2, orders);
        }
    }
    // Gradient.
    for (std::size_t i = 0; i < D; ++i) {
        for (std::size_t d = 0; d < D; ++d)
            orders[d] = d == i ? 1 : 0;
        add_gram(r.R1, orders);
    }
    mirror_lower(r.R2);
    mirror_lower(r.R1);
    return r;
}

} // namespace zarn
