// Registration of the Python interface, one function per subsystem, called by the module
// entry in a fixed order, and the argument conversions they share. The bindings only
// convert arguments and results; every computation is a plain C++ function of the
// subsystem's own header.
#pragma once

#include "types.hpp"

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace zarn::bind {

namespace py = pybind11;

void register_scores(py::module_& m);
void register_bases(py::module_& m);
void register_fitting(py::module_& m);
void register_sampler(py::module_& m);

// Optional penalty argument: None is an absent matrix (null); anything else is converted
// into `storage`, a private dense copy owned by the caller for the duration of the call.
// A value that does not convert raises pybind11's cast error before any computation.
inline const MatrixXd* optional_matrix(const py::object& obj, MatrixXd& storage) {
    if (obj.is_none())
        return nullptr;
    storage = obj.cast<MatrixXd>();
    return &storage;
}

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
