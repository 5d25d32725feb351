// Penalised weighted least squares on a series' samples, the building block of every stage.
#pragma once

#include "types.hpp"

namespace zarn::robust {

// Residuals y - X b of rows start .. start + len of X and y into out. For up to four
// columns one loop over the rows (y - b_0 x_0 - b_1 x_1 - ...), which the compiler
// vectorises, costs a fraction of a general matrix-vector product.
void residual_rows(const MatrixXd& X, const VectorXd& y, const VectorXd& b, Index start, Index len,
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

// The penalised normal matrix X' diag(w) X + P into A.
void normal_matrix_into(const Samples& s, const VectorXd& w, const MatrixXd& P, MatrixXd& A);

// The same, with X' z into g: the right-hand side of a weighted fit (z = w y) or a
// gradient.
void normal_system_into(const Samples& s, const VectorXd& w, const VectorXd& z, const MatrixXd& P,
                        MatrixXd& A, VectorXd& g);

// The penalised normal matrix X' diag(w) X + P.
MatrixXd normal_matrix(const Samples& s, const VectorXd& w, const MatrixXd& P);

// Scratch of the weighted fits of one series: the many steps of its search and of its
// M-steps reuse it, so that a step allocates nothing once the first has sized it.
struct FitWork {
    MatrixXd A;   // the normal matrix
    VectorXd w;   // weights of the samples
    VectorXd wy;  // w y
    VectorXd rhs; // X' w y
};

// argmin sum(w (y - X b)^2) + b' P b into x: the solution of the normal equations, or their
// minimum-norm solution when they are singular. w may be work.w.
void weighted_fit_into(const Samples& s, const VectorXd& w, const MatrixXd& P, FitWork& work,
                       VectorXd& x);

// The same, returned.
VectorXd weighted_fit(const Samples& s, const VectorXd& w, const MatrixXd& P);

// The leverages x_i' M x_i of the samples (M k x k symmetric), in blocks of rows.
VectorXd leverages(const Samples& s, const MatrixXd& M);

// The inverse of a normal matrix, or its pseudo-inverse when it is singular.
MatrixXd inverse(const MatrixXd& A);

} // namespace zarn::robust
