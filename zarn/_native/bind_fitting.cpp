#include "bindings.hpp"
#include "fitting.hpp"

namespace zarn::bind {

void register_fitting(py::module_& m) {
    m.def(
        "ols", [](const FloatMatrix& X, const VectorXd& y) { return ols(X.value, y); },
        py::arg("X"), py::arg("y"));
    m.def(
        "fit_regularized_linear",
        [](const FloatMatrix& Phi, const VectorXd& y, const py::object& R1, const py::object& R2,
           double gamma1, double gamma2, double ridge) {
            MatrixXd r1;
            MatrixXd r2;
            const MatrixXd* p1 = optional_matrix(R1, r1);
            const MatrixXd* p2 = optional_matrix(R2, r2);
            return fit_regularized_linear(Phi.value, y, p1, p2, gamma1, gamma2, ridge);
        },
        py::arg("Phi"), py::arg("y"), py::arg("R1") = py::none(), py::arg("R2") = py::none(),
        py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0, py::arg("ridge") = 1e-10);
}

} // namespace zarn::bind
