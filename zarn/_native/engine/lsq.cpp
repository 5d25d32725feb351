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

MatrixXd normal_matrix(const Samples& s, const VectorXd& w, const MatrixXd& P) {
    // The lower triangle over blocks of rows that stay in the first-level cache, each
    // column weighted once per block: no temporary n x k copy, and a fixed order of the
    // sums.
    const Index n = s.X.rows(), k = s.X.cols();
    MatrixXd A = MatrixXd::Zero(k, k);
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
    return A;
}

VectorXd weighted_fit(const Samples& s, const VectorXd& w, const MatrixXd& P) {
    const Index n = s.X.rows(), k = s.X.cols();
    const MatrixXd A = normal_matrix(s, w, P);
    const VectorXd wy = w.cwiseProduct(s.y);
    VectorXd b(k);
    for (Index a = 0; a < k; ++a)
        b[a] = dot(wy.data(), s.X.col(a).data(), n);
    VectorXd x = b;
    if (cholesky_solve(A, x))
        return x;
    return A.completeOrthogonalDecomposition().solve(b);
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
