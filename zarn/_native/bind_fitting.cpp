#include "bindings.hpp"
#include "fitting.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace zarn::bind {

// A float matrix argument, converted like any other (same accepted inputs, errors and
// signature), except that an aligned C-ordered float64 array is copied into column-major
// storage by blocks of rows that fit in the first-level cache: the library's element-wise
// transposing copy reads each cache line of a C-ordered matrix once per column.
struct FloatMatrix {
    MatrixXd value;
};

} // namespace zarn::bind

namespace pybind11::detail {

template <> struct type_caster<zarn::bind::FloatMatrix> {
    PYBIND11_TYPE_CASTER(zarn::bind::FloatMatrix, type_caster<zarn::MatrixXd>::name);

    bool load(handle src, bool convert) {
        if (isinstance<array_t<double>>(src)) {
            const auto a = reinterpret_borrow<array>(src);
            const bool aligned = reinterpret_cast<std::uintptr_t>(a.data()) % alignof(double) == 0;
            if (a.ndim() == 2 && (a.flags() & array::c_style) != 0 && aligned) {
                copy_c_order(static_cast<const double*>(a.data()), a.shape(0), a.shape(1));
                return true;
            }
        }
        type_caster<zarn::MatrixXd> inner;
        if (!inner.load(src, convert))
            return false;
        value.value = std::move(static_cast<zarn::MatrixXd&>(inner));
        return true;
    }

private:
    void copy_c_order(const double* data, zarn::Index rows, zarn::Index cols) {
        using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
        const Eigen::Map<const RowMajor> from(data, rows, cols);
        zarn::MatrixXd& to = value.value;
        to.resize(rows, cols);
        const zarn::Index block = std::max<zarn::Index>(8, 1024 / std::max<zarn::Index>(cols, 1));
        for (zarn::Index i = 0; i < rows; i += block) {
            const zarn::Index b = std::min(block, rows - i);
            to.middleRows(i, b) = from.middleRows(i, b);
        }
    }
};

} // namespace pybind11::detail

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
