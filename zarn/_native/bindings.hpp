// Registration of the Python interface, one function per subsystem, called by the module
// entry in a fixed order. The bindings only convert arguments and results; every
// computation is a plain C++ function of the subsystem's own header.
#pragma once

#include "types.hpp"

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

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

} // namespace zarn::bind
