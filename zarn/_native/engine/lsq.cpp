// Penalised weighted least squares through the normal equations.
#include "lsq.hpp"

#include <algorithm>

namespace zarn::robust {

namespace {

// Rows per block of the passes over the samples: 256 rows of a few columns fit in the
// first-level cache.
constexpr Index ROW_BLOCK = 256;

// sum(w x z) in four interleaved partial sums (a fixed order, which the compiler can keep in
// one vector register), added at the end.
double weighted_dot(const double* w, const double* x, const double* z, Index n) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    Index i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += w[i] * x[i] * z[i];
        s1 += w[i + 1] * x[i + 1] * z[i + 1];
        s2 += w[i + 2] * x[i + 2] * z[i + 2];
        s3 += w[i + 3] * x[i + 3] * z[i + 3];
    }
    for (; i < n; ++i)
        s0 += w[i] * x[i] * z[i];
    return (s0 + s1) + (s2 + s3);
}

} // namespace

MatrixXd normal_matrix(const Samples& s, const VectorXd& w, const MatrixXd& P) {
    // The lower triangle, one column pair at a time over blocks of rows that stay in the
    // first-level cache: no temporary n x k copy, and a fixed order of the sums.
    const Index n = s.X.rows(), k = s.X.cols();
    MatrixXd A = MatrixXd::Zero(k, k);
    for (Index start = 0; start < n; start += ROW_BLOCK) {
        const Index len = std::min(ROW_BLOCK, n - start);
        for (Index a = 0; a < k; ++a) {
            const double* xa = s.X.col(a).data() + start;
            for (Index c = 0; c <= a; ++c)
                A(a, c) += weighted_dot(w.data() + start, xa, s.X.col(c).data() + start, len);
        }
    }
    return A.selfadjointView<Eigen::Lower>() * MatrixXd::Identity(k, k) + P;
}

VectorXd weighted_fit(const Samples& s, const VectorXd& w, const MatrixXd& P) {
    const MatrixXd A = normal_matrix(s, w, P);
    const VectorXd b = s.X.transpose() * (w.array() * s.y.array()).matrix();
    Eigen::LLT<MatrixXd> llt(A);
    if (llt.info() == Eigen::Success)
        return llt.solve(b);
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
