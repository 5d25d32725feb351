// Penalised weighted least squares on a series' samples, the building block of every stage.
#pragma once

#include "types.hpp"

namespace zarn::robust {

// Residuals y - X b.
inline VectorXd residuals(const Samples& s, const VectorXd& b) {
    VectorXd r = s.y;
    r.noalias() -= s.X * b;
    return r;
}

// Solves A x = b in place for a symmetric positive definite A by its Cholesky factor; false
// (b then undefined) when A is not numerically positive definite.
bool cholesky_solve(MatrixXd A, VectorXd& b);

// The penalised normal matrix X' diag(w) X + P.
MatrixXd normal_matrix(const Samples& s, const VectorXd& w, const MatrixXd& P);

// argmin sum(w (y - X b)^2) + b' P b: the solution of the normal equations, or their
// minimum-norm solution when they are singular.
VectorXd weighted_fit(const Samples& s, const VectorXd& w, const MatrixXd& P);

// The leverages x_i' M x_i of the samples (M k x k symmetric), in blocks of rows.
VectorXd leverages(const Samples& s, const MatrixXd& M);

// The inverse of a normal matrix, or its pseudo-inverse when it is singular.
MatrixXd inverse(const MatrixXd& A);

} // namespace zarn::robust
