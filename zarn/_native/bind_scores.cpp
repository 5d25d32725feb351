#include "bindings.hpp"
#include "scores.hpp"

namespace zarn::bind {

void register_scores(py::module_& m) {
    m.def("mad", [](const VectorXd& y) { return mad(y); }, py::arg("y"));
    m.def(
        "compute_sr",
        [](const VectorXd& yp, const VectorXd& yt, double eps) { return compute_SR(yp, yt, eps); },
        py::arg("yp"), py::arg("yt"), py::arg("eps"));
    m.def(
        "mdl_score",
        [](const VectorXd& yp, const VectorXd& yt, int k, int H) {
            return mdl_score(yp, yt, k, H, nullptr, nullptr);
        },
        py::arg("yp"), py::arg("yt"), py::arg("k"), py::arg("H") = 20);
    m.def(
        "mdl_score_reg",
        [](const VectorXd& yp, const VectorXd& yt, int k, int H, const VectorXd& beta,
           const MatrixXd& R1, const MatrixXd& R2, double gamma1, double gamma2) {
            const PenaltySpec pen{&R1, &R2, gamma1, gamma2};
            return mdl_score(yp, yt, k, H, &beta, &pen);
        },
        py::arg("yp"), py::arg("yt"), py::arg("k"), py::arg("H"), py::arg("beta"), py::arg("R1"),
        py::arg("R2"), py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0);
}

} // namespace zarn::bind
