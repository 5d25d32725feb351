// Registration of the robust engine's Python interface. The bindings only convert
// arguments and results; the computation is the driver's.
#pragma once

#include <pybind11/pybind11.h>

namespace zarn::robust::bind {

void register_engine(pybind11::module_& m);

} // namespace zarn::robust::bind
