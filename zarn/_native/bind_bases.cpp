#include "bases.hpp"
#include "bindings.hpp"

#include <tuple>

namespace zarn::bind {

void register_bases(py::module_& m) {
    m.def(
        "design_matrix_1d", [](int deg, const VectorXd& x) { return design_matrix_1d(deg, x); },
        py::arg("deg"), py::arg("x"));
    m.def(
        "smoothness_penalty_matrices_1d",
        [](int deg, double x_min, double x_max, int n_grid) {
            PenaltyMatrices1D r = smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid);
            return std::make_tuple(std::move(r.R1), std::move(r.R2));
        },
        py::arg("deg"), py::arg("x_min"), py::arg("x_max"), py::arg("n_grid") = 600);
    m.def(
        "boundary_reduce_1d",
        [](int deg, double x_min, double x_max) { return boundary_reduce_1d(deg, x_min, x_max); },
        py::arg("deg"), py::arg("x_min"), py::arg("x_max"));
    m.def(
        "design_matrix_nd",
        [](const std::vector<std::vector<int>>& multi_indices,
           const std::vector<VectorXd>& X_cols) { return design_matrix_nd(multi_indices, X_cols); },
        py::arg("multi_indices"), py::arg("X_cols"));
    m.def(
        "build_penalty_matrices_nd",
        [](const std::vector<int>& degrees, const std::vector<std::pair<double, double>>& bounds,
           int n_grid_per_dim) {
            PenaltyMatricesND r = build_penalty_matrices_nd(degrees, bounds, n_grid_per_dim);
            return std::make_tuple(std::move(r.R1), std::move(r.R2), std::move(r.multi_indices));
        },
        py::arg("degrees"), py::arg("bounds"), py::arg("n_grid_per_dim") = 30);
}

} // namespace zarn::bind
