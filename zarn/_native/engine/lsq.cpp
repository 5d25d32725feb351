// Penalised weighted least squares through the normal equations.
#include "lsq.hpp"

#include "biweight.hpp"

#include <algorithm>
#include <cmath>

namespace zarn::robust {

namespace {

// Rows per block of the passes over the samples: 256 rows of a few columns fit in the
// first-level cache.
constexpr Index ROW_BLOCK = 256;

// sum(x z), by Eigen's vectorised reduction (a fixed order for a given n).
double dot(const double* x, const double* z, Index n) {
    return Eigen::Map<const VectorXd>(x, n).dot(Eigen::Map<const VectorXd>(z, n));
}

// residual_rows for K columns: one pass over the rows.
template <int K>
void residual_rows_of(const DesignRef& X, const double* y, const VectorXd& b, Index start,
                      Index len, double* out) {
    const double* x[K];
    for (int j = 0; j < K; ++j)
        x[j] = X.col(j).data() + start;
    const FixedCoef<K> c(b);
    for (Index i = 0; i < len; ++i) {
        double v = y[i];
        for (int j = 0; j < K; ++j)
            v -= c.c[j] * x[j][i];
        out[i] = v;
    }
}

} // namespace

void residual_rows(const DesignRef& X, const VectorXd& y, const VectorXd& b, Index start, Index len,
                   double* out) {
    const double* yp = y.data() + start;
    if (with_fixed_columns(X.cols(), [&](auto K) {
            residual_rows_of<decltype(K)::value>(X, yp, b, start, len, out);
        }))
        return;
    // More columns: Eigen's product, which takes several columns per pass.
    Eigen::Map<VectorXd> r(out, len);
    r = y.segment(start, len);
    r.noalias() -= X.middleRows(start, len) * b;
}

void residuals_into(const Samples& s, const VectorXd& b, VectorXd& r) {
    // By blocks of rows, so that r stays in the first-level cache over the columns.
    const Index n = s.X.rows();
    r.resize(n);
    for (Index start = 0; start < n; start += ROW_BLOCK)
        residual_rows(s.X, s.y, b, start, std::min(ROW_BLOCK, n - start), r.data() + start);
}

bool cholesky_solve(MatrixXd A, VectorXd& b) {
    return cholesky_solve_in_place(A, b);
}

bool cholesky_solve_in_place(MatrixXd& A, VectorXd& b) {
    // Cholesky A = L L' in the lower triangle, column by column; no blocking, which for the
    // few coefficients of a polynomial costs more than it saves.
    const Index k = A.rows();
    for (Index j = 0; j < k; ++j) {
        double d = A(j, j);
        for (Index p = 0; p < j; ++p)
            d -= A(j, p) * A(j, p);
        if (!(d > 0.0))
            return false;
        const double root = std::sqrt(d);
        A(j, j) = root;
        for (Index i = j + 1; i < k; ++i) {
            double v = A(i, j);
            for (Index p = 0; p < j; ++p)
                v -= A(i, p) * A(j, p);
            A(i, j) = v / root;
        }
    }
    for (Index i = 0; i < k; ++i) { // L z = b
        double v = b[i];
        for (Index p = 0; p < i; ++p)
            v -= A(i, p) * b[p];
        b[i] = v / A(i, i);
    }
    for (Index i = k - 1; i >= 0; --i) { // L' x = z
        double v = b[i];
        for (Index p = i + 1; p < k; ++p)
            v -= A(p, i) * b[p];
        b[i] = v / A(i, i);
    }
    return true;
}

namespace {

// The lower triangle of X' diag(w) X and, when g is given, X' z into g, for K columns: one
// pass over the rows.
template <int K>
void normal_sums_of(const DesignRef& X, const VectorXd& w, const VectorXd* z, MatrixXd& A,
                    VectorXd* g) {
    using Sums = NormalSums<K>;
    using Rows = typename Sums::Rows;
    Sums sums;
    Rows x[K];
    const Rows none = Rows::Zero();
    for_rows<Sums::W>(X.rows(), [&](Index i, Index len) {
        load_rows<K>(X, i, len, x);
        sums.add(load_entries<Sums::W>(w.data(), i, len), x,
                 z ? load_entries<Sums::W>(z->data(), i, len) : none);
    });
    sums.store(A, g);
}

// The same for any number of columns, over blocks of rows that stay in the first-level
// cache, each column weighted once per block: no temporary n x k copy, and a fixed order
// of the sums.
void normal_sums_blocked(const DesignRef& X, const VectorXd& w, const VectorXd* z, MatrixXd& A,
                         VectorXd* g) {
    const Index n = X.rows(), k = X.cols();
    double wx[ROW_BLOCK];
    for (Index start = 0; start < n; start += ROW_BLOCK) {
        const Index len = std::min(ROW_BLOCK, n - start);
        for (Index a = 0; a < k; ++a) {
            const double* xa = X.col(a).data() + start;
            for (Index i = 0; i < len; ++i)
                wx[i] = w[start + i] * xa[i];
            for (Index c = 0; c <= a; ++c)
                A(a, c) += dot(wx, X.col(c).data() + start, len);
        }
    }
    if (g)
        for (Index a = 0; a < k; ++a)
            (*g)[a] = dot(z->data(), X.col(a).data(), n);
}

// X' diag(w) X + P into A and, when g is given, X' z into g.
void normal_system(const Samples& s, const VectorXd& w, const VectorXd* z, const MatrixXd& P,
                   MatrixXd& A, VectorXd* g) {
    const Index k = s.X.cols();
    A.setZero(k, k);
    if (g)
        g->resize(k);
    if (!with_fixed_columns(k,
                            [&](auto K) { normal_sums_of<decltype(K)::value>(s.X, w, z, A, g); }))
        normal_sums_blocked(s.X, w, z, A, g);
    complete_normal_matrix(A, P);
}

} // namespace

void complete_normal_matrix(MatrixXd& A, const MatrixXd& P) {
    for (Index a = 0; a < A.rows(); ++a)
        for (Index c = 0; c < a; ++c)
            A(c, a) = A(a, c);
    A += P;
}

void normal_matrix_into(const Samples& s, const VectorXd& w, const MatrixXd& P, MatrixXd& A) {
    normal_system(s, w, nullptr, P, A, nullptr);
}

void normal_system_into(const Samples& s, const VectorXd& w, const VectorXd& z, const MatrixXd& P,
                        MatrixXd& A, VectorXd& g) {
    normal_system(s, w, &z, P, A, &g);
}

void weighted_fit_into(const Samples& s, const VectorXd& w, const MatrixXd& P, FitWork& work,
                       VectorXd& x) {
    work.wy = w.cwiseProduct(s.y);
    normal_system_into(s, w, work.wy, P, work.A, work.rhs);
    solve_normal_equations(work, x);
}

void solve_normal_equations(FitWork& work, VectorXd& x) {
    x = work.rhs;
    work.L = work.A;
    if (cholesky_solve_in_place(work.L, x))
        return;
    x = work.A.completeOrthogonalDecomposition().solve(work.rhs);
}

VectorXd weighted_fit(const Samples& s, const VectorXd& w, const MatrixXd& P) {
    FitWork work;
    VectorXd x;
    weighted_fit_into(s, w, P, work, x);
    return x;
}

VectorXd leverages(const Samples& s, const MatrixXd& M) {
    const Index n = s.X.rows();
    VectorXd q(n);
    MatrixXd XM;
    for (Index start = 0; start < n; start += ROW_BLOCK) {
        const Index len = std::min(ROW_BLOCK, n - start);
        XM.noalias() = s.X.middleRows(start, len) * M;
        q.segment(start, len) = XM.cwiseProduct(s.X.middleRows(start, len)).rowwise().sum();
    }
    return q;
}

MatrixXd inverse(const MatrixXd& A) {
    Eigen::LLT<MatrixXd> llt(A);
    if (llt.info() == Eigen::Success)
        return llt.solve(MatrixXd::Identity(A.rows(), A.cols()));
    return A.completeOrthogonalDecomposition().pseudoInverse();
}

} // namespace zarn::robust
