#include "bindings.hpp"

namespace zarn::bind {

void register_sampler(py::module_& m) {
    (void)m;
}

} // namespace zarn::bind
