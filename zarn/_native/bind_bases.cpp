#include "bindings.hpp"

namespace zarn::bind {

void register_bases(py::module_& m) {
    (void)m;
}

} // namespace zarn::bind
