// Linear fitting: ordinary least squares through a singular value decomposition, and the
// penalised least-squares solve of the normal equations with two quadratic penalties and a
// ridge.
#pragma once

#include "types.hpp"

namespace zarn {

// Minimum-norm least-squares solution of X beta = y (thin bidiagonal divide-and-conquer
// SVD, default rank threshold). Throws std::invalid_argument when y does not have one entry
// per row of X, or when X holds NaN or infinity (the decomposition cannot give a meaningful
// answer then). Non-finite values in y propagate into the result. An X without rows or
// columns gives the zero vector of length p.
VectorXd ols(const MatrixXd& X, const VectorXd& y);

// Solves (Phi'Phi + ridge I + n gamma1 R1 + n gamma2 R2) beta = Phi'y with n = length of y,
// by an LDLT factorisation that reads the lower triangle only. A null penalty, or one with
// weight exactly 0.0, is skipped without reading its matrix; a NaN or negative weight is
// applied. The ridge is always added. Throws std::invalid_argument when y does not have one
// entry per row of Phi, when an applied penalty is not p x p, when Phi, y, ridge or the
// weight or matrix of an applied penalty holds NaN or infinity, and when the normal
// equations overflow (entries of Phi'Phi, Phi'y or the penalised matrix beyond the largest
// double). A finite singular or indefinite system is not reported: the result is whatever
// the factorisation's solve gives.
VectorXd fit_regularized_linear(const MatrixXd& Phi, const VectorXd& y, const MatrixXd* R1,
                                const MatrixXd* R2, double gamma1, double gamma2, double ridge);

} // namespace zarn
