// Polynomial bases and smoothness penalties: monomial design matrices in one and several
// variables, derivative rows, the one-variable boundary term and the grid-integrated
// slope/curvature (gradient/Hessian) penalty matrices.
#pragma once

#include "types.hpp"

#include <cstddef>
#include <utility>
#include <vector>

namespace zarn {

// Design matrix of the powers 0..deg of x: Phi(i, p) = x[i]^p, each column the previous
// one times x. Throws std::invalid_argument "deg < 0" for a negative degree.
MatrixXd design_matrix_1d(int deg, const VectorXd& x);

// Writes the order-th derivative (order 1 or 2) of x^p at x into out[p], p = 0..deg.
void deriv_row(double x, int deg, int order, Eigen::Ref<VectorXd> out);

// Symmetric matrix of the boundary term f'(x_max) f''(x_max) - f'(x_min) f''(x_min) as a
// quadratic form in the coefficients. deg = -1 gives 0 x 0; below that
// std::invalid_argument "deg < -1".
MatrixXd boundary_reduce_1d(int deg, double x_min, double x_max);

// Rectangle-rule slope and curvature penalties of the powers 0..deg on n_grid equally
// spaced points of [x_min, x_max], every point weighted by the step.
PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid);

// Appends every multi-index with component d in 0..degrees[d] to out, the last dimension
// varying fastest. current (length degrees.size()) is scratch; dim is the next dimension.
void generate_multi_indices(const std::vector<int>& degrees, std::size_t dim,
                            std::vector<int>& current, std::vector<std::vector<int>>& out);

// The order-th derivative (order 0, 1 or 2) of v^p at v = val.
double col_deriv_scalar(double val, int p, int order);

// Tensor-product design matrix: Phi(i, j) = prod_d X_cols[d][i]^multi_indices[j][d] over
// the positive exponents. Throws std::invalid_argument for an empty X_cols, sample vectors
// of unequal length or a multi-index shorter than the number of variables.
MatrixXd design_matrix_nd(const std::vector<std::vector<int>>& multi_indices,
                          const std::vector<VectorXd>& X_cols);

// Rectangle-rule gradient and Hessian penalties of the tensor-product basis of `degrees` on
// the box `bounds` (one (first, second) interval per dimension), with n_grid_per_dim
// points per dimension, and the multi-indices that order the basis.
PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees,
                                            const std::vector<std::pair<double, double>>& bounds,
                                            int n_grid_per_dim);

} // namespace zarn
