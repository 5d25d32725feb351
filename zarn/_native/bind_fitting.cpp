#include "bindings.hpp"

namespace zarn::bind {

void register_fitting(py::module_& m) {
    (void)m;
}

} // namespace zarn::bind
