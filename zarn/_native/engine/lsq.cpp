// Penalised weighted least squares through the normal equations.
#include "lsq.hpp"

namespace zarn::robust {

MatrixXd normal_matrix(const Samples& s, const VectorXd& w, const MatrixXd& P) {
    const MatrixXd Xw = s.X.array().colwise() * w.array();
    MatrixXd A = P;
    A.noalias() += Xw.transpose() * s.X;
    return A;
}

VectorXd weighted_fit(const Samples& s, const VectorXd& w, const MatrixXd& P) {
    const MatrixXd A = normal_matrix(s, w, P);
    const VectorXd b = s.X.transpose() * (w.array() * s.y.array()).matrix();
    Eigen::LLT<MatrixXd> llt(A);
    if (llt.info() == Eigen::Success)
        return llt.solve(b);
    return A.completeOrthogonalDecomposition().solve(b);
}

MatrixXd inverse(const MatrixXd& A) {
    Eigen::LLT<MatrixXd> llt(A);
    if (llt.info() == Eigen::Success)
        return llt.solve(MatrixXd::Identity(A.rows(), A.cols()));
    return A.completeOrthogonalDecomposition().pseudoInverse();
}

} // namespace zarn::robust
