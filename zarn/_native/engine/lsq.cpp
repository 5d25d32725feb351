// Penalised weighted least squares through the normal equations.
#include "lsq.hpp"

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

} // namespace

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

void normal_matrix_into(const Samples& s, const VectorXd& w, const MatrixXd& P, MatrixXd& A) {
    // The lower triangle over blocks of rows that stay in the first-level cache, each
    // column weighted once per block: no temporary n x k copy, and a fixed order of the
    // sums.
    const Index n = s.X.rows(), k = s.X.cols();
    A.setZero(k, k);
    double wx[ROW_BLOCK];
    for (Index start = 0; start < n; start += ROW_BLOCK) {
        const Index len = std::min(ROW_BLOCK, n - start);
        for (Index a = 0; a < k; ++a) {
            const double* xa = s.X.col(a).data() + start;
            for (Index i = 0; i < len; ++i)
                wx[i] = w[start + i] * xa[i];
            for (Index c = 0; c <= a; ++c)
                A(a, c) += dot(wx, s.X.col(c).data() + start, len);
        }
    }
    for (Index a = 0; a < k; ++a)
        for (Index c = 0; c < a; ++c)
            A(c, a) = A(a, c);
    A += P;
}

MatrixXd normal_matrix(const Samples& s, const VectorXd& w, const MatrixXd& P) {
    MatrixXd A;
    normal_matrix_into(s, w, P, A);
    return A;
}

void weighted_fit_into(const Samples& s, const VectorXd& w, const MatrixXd& P, FitWork& work,
                       VectorXd& x) {
    const Index n = s.X.rows(), k = s.X.cols();
    normal_matrix_into(s, w, P, work.A);
    work.wy = w.cwiseProduct(s.y);
    work.rhs.resize(k);
    for (Index a = 0; a < k; ++a)
        work.rhs[a] = dot(work.wy.data(), s.X.col(a).data(), n);
    x = work.rhs;
    if (cholesky_solve_in_place(work.A, x))
        return;
    normal_matrix_into(s, w, P, work.A); // the factorisation overwrote it
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
