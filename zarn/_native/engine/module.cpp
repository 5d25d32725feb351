// Entry point of the extension module zarn_robust: the native robust engine, MM-estimates
// of many series sharing one design.
#include "bindings.hpp"

PYBIND11_MODULE(zarn_robust, m) {
    m.doc() = "Native robust engine of zarn: MM-estimates of many series on one design.";
    zarn::robust::bind::register_engine(m);
}
