// Penalised weighted least squares on a series' samples, the building block of every stage.
#pragma once

#include "biweight.hpp"
#include "types.hpp"

#include <type_traits>

namespace zarn::robust {

// A design held elsewhere, without a copy: a matrix or a view of one (column-major).
using DesignRef = Eigen::Ref<const MatrixXd>;

// Residuals y - X b of rows start .. start + len of X and y into out. For up to
// MAX_FIXED_COLUMNS columns one loop over the rows (y - b_0 x_0 - b_1 x_1 - ...), which
// the compiler vectorises, costs a fraction of a general matrix-vector product.
void residual_rows(const DesignRef& X, const VectorXd& y, const VectorXd& b, Index start, Index len,
                   double* out);

// Residuals y - X b into r, which keeps its storage when it has the samples' size.
void residuals_into(const Samples& s, const VectorXd& b, VectorXd& r);

// Residuals y - X b.
inline VectorXd residuals(const Samples& s, const VectorXd& b) {
    VectorXd r;
    residuals_into(s, b, r);
    return r;
}

// Solves A x = b in place for a symmetric positive definite A by its Cholesky factor, which
// overwrites A's lower triangle; false (A and b then undefined) when A is not numerically
// positive definite.
bool cholesky_solve_in_place(MatrixXd& A, VectorXd& b);

// As cholesky_solve_in_place, on a copy of A.
bool cholesky_solve(MatrixXd A, VectorXd& b);

// Designs of up to this many columns (a cubic's) have kernels of their own, with the
// number of columns known to the compiler.
inline constexpr int MAX_FIXED_COLUMNS = 4;

// f(std::integral_constant<int, k>()) when k <= MAX_FIXED_COLUMNS, returning true; false
// (and no call) beyond.
template <class F> bool with_fixed_columns(Index k, const F& f) {
    switch (k) {
    case 1:
        f(std::integral_constant<int, 1>());
        return true;
    case 2:
        f(std::integral_constant<int, 2>());
        return true;
    case 3:
        f(std::integral_constant<int, 3>());
        return true;
    case 4:
        f(std::integral_constant<int, 4>());
        return true;
    default:
        return false;
    }
}

// Partial sums of the lower triangle of X' diag(w) X and of X' z for K columns, W rows at
// a time: one partial sum per entry and position in the W rows, added pairwise at the end,
// a fixed order for a given n. W is LANES for up to two columns and 2 (one vector register) beyond,
// so that the partial sums stay in registers.
template <int K> struct NormalSums {
    static constexpr Index W = K <= 2 ? LANES : 2;
    using Rows = Eigen::Array<double, W, 1>;
    Rows sums[K * (K + 1) / 2], zsums[K];

    NormalSums() {
        for (Rows& l : sums)
            l.setZero();
        for (Rows& l : zsums)
            l.setZero();
    }
    // Rows with weights w, columns x and entries z (zeros for padded rows add nothing).
    void add(const Rows& w, const Rows* x, const Rows& z) {
        int p = 0;
        for (int a = 0; a < K; ++a) {
            const Rows wx = w * x[a];
            for (int c = 0; c <= a; ++c)
                sums[p++] += wx * x[c];
            zsums[a] += z * x[a];
        }
    }
    // The lower triangle into A (k x k) and, when g is given, X' z into g (k).
    void store(MatrixXd& A, VectorXd* g) const {
        int p = 0;
        for (int a = 0; a < K; ++a) {
            for (int c = 0; c <= a; ++c)
                A(a, c) = total(sums[p++]);
            if (g)
                (*g)[a] = total(zsums[a]);
        }
    }
    static double total(const Rows& l) {
        if constexpr (W == 2)
            return l[0] + l[1];
        else
            return lane_total(l);
    }
};

// Rows i .. i + len of the K columns of X, padded with zeros.
template <int K, class Rows, class Design>
void load_rows(const Design& X, Index i, Index len, Rows* x) {
    for (int a = 0; a < K; ++a)
        x[a] = load_entries<Rows::RowsAtCompileTime>(X.col(a).data(), i, len);
}

// The coefficients of K columns, held in registers by the kernels of one pass over the rows.
template <int K> struct FixedCoef {
    double c[K];
    explicit FixedCoef(const VectorXd& b) {
        for (int a = 0; a < K; ++a)
            c[a] = b[a];
    }
    // The residuals y - x b of loaded rows (as residual_rows computes them).
    template <class Rows> Rows residuals(Rows y, const Rows* x) const {
        for (int a = 0; a < K; ++a)
            y -= c[a] * x[a];
        return y;
    }
};

// A's upper triangle from its lower one, plus P.
void complete_normal_matrix(MatrixXd& A, const MatrixXd& P);

// The penalised normal matrix X' diag(w) X + P into A.
void normal_matrix_into(const Samples& s, const VectorXd& w, const MatrixXd& P, MatrixXd& A);

// The same, with X' z into g: the right-hand side of a weighted fit (z = w y) or a
// gradient.
void normal_system_into(const Samples& s, const VectorXd& w, const VectorXd& z, const MatrixXd& P,
                        MatrixXd& A, VectorXd& g);

// Scratch of the weighted fits of one series: the many steps of its search and of its
// M-steps reuse it, so that a step allocates nothing once the first has sized it.
struct FitWork {
    MatrixXd A;   // the normal matrix (of the last fit, after it)
    MatrixXd L;   // its Cholesky factor
    VectorXd w;   // weights of the samples
    VectorXd wy;  // w y
    VectorXd rhs; // X' w y
};

// argmin sum(w (y - X b)^2) + b' P b into x: the solution of the normal equations, or their
// minimum-norm solution when they are singular. w may be work.w.
void weighted_fit_into(const Samples& s, const VectorXd& w, const MatrixXd& P, FitWork& work,
                       VectorXd& x);

// The solution of work.A x = work.rhs into x, as weighted_fit_into solves them.
void solve_normal_equations(FitWork& work, VectorXd& x);

// The same, returned.
VectorXd weighted_fit(const Samples& s, const VectorXd& w, const MatrixXd& P);

// The leverages x_i' M x_i of the samples (M k x k symmetric), in blocks of rows by
// Eigen's products (for_residuals_and_leverages has the kernels of few columns).
VectorXd leverages(const Samples& s, const MatrixXd& M);

// f(i, len, r, q) for the runs of rows i .. i + len of the samples, in order: r and q
// (Eigen arrays of a few entries, padded with zeros) hold their residuals of b (as
// residuals_into) and their leverages x' M x (as leverages). For up to MAX_FIXED_COLUMNS
// columns in one pass, nothing stored per sample.
template <class F>
void for_residuals_and_leverages(const Samples& s, const VectorXd& b, const MatrixXd& M,
                                 const F& f);

// The inverse of a normal matrix, or its pseudo-inverse when it is singular.
MatrixXd inverse(const MatrixXd& A);

namespace detail {

// for_residuals_and_leverages for K columns.
template <int K, class F>
void residuals_and_leverages_of(const Samples& s, const VectorXd& b, const MatrixXd& M,
                                const F& f) {
    using Rows = typename NormalSums<K>::Rows;
    constexpr Index W = NormalSums<K>::W;
    const FixedCoef<K> c(b);
    double m[K][K];
    for (int a = 0; a < K; ++a)
        for (int e = 0; e < K; ++e)
            m[a][e] = M(a, e);
    Rows x[K];
    for_rows<W>(s.X.rows(), [&](Index i, Index len) {
        load_rows<K>(s.X, i, len, x);
        const Rows r = c.residuals(load_entries<W>(s.y.data(), i, len), x);
        Rows q = Rows::Zero();
        for (int a = 0; a < K; ++a) {
            Rows row = Rows::Zero();
            for (int e = 0; e < K; ++e)
                row += m[a][e] * x[e];
            q += x[a] * row;
        }
        f(i, len, r, q);
    });
}

} // namespace detail

template <class F>
void for_residuals_and_leverages(const Samples& s, const VectorXd& b, const MatrixXd& M,
                                 const F& f) {
    if (with_fixed_columns(s.X.cols(), [&](auto K) {
            detail::residuals_and_leverages_of<decltype(K)::value>(s, b, M, f);
        }))
        return;
    const VectorXd r = residuals(s, b), q = leverages(s, M);
    for_rows<LANES>(r.size(), [&](Index i, Index len) {
        f(i, len, load_entries<LANES>(r.data(), i, len), load_entries<LANES>(q.data(), i, len));
    });
}

} // namespace zarn::robust
