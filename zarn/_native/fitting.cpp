#include "fitting.hpp"

#include <Eigen/SVD>

namespace zarn {

VectorXd ols(const MatrixXd& X, const VectorXd& y) {
    require_same_length(X.rows(), y.size(), "X rows", "y");
    // With a non-finite entry the decomposition stops with an invalid-input status, and its
    // solve would still return a vector that looks like an answer.
    if (!X.allFinite())
        throw std::invalid_argument("X must be finite (no NaN or infinity)");
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

    const double n = static_cast<double>(y.size());
    // The factorisation reads the lower triangle only, so A is built there alone: the
    // symmetric rank update forms the lower half of Phi'Phi at half the cost of a full
    // product, and each penalty is added over the same triangle (the entries above the
    // diagonal would have no influence).
    MatrixXd A = MatrixXd::Zero(p, p);
    A.selfadjointView<Eigen::Lower>().rankUpdate(Phi.transpose());
    A.diagonal().array() += ridge;
    if (pen.applies_R1())
        A.triangularView<Eigen::Lower>() += (n * gamma1) * *R1;
    if (pen.applies_R2())
        A.triangularView<Eigen::Lower>() += (n * gamma2) * *R2;
    const VectorXd b = Phi.transpose() * y;
    return Eigen::LDLT<MatrixXd, Eigen::Lower>(A).solve(b);
}

} // namespace zarn
