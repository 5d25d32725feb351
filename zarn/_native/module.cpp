// Entry point of the extension module zarn_core. The interpreter-version check and the
// multi-phase initialisation come from PYBIND11_MODULE; registration order is the order
// of the module's public surface.
#include "bindings.hpp"

PYBIND11_MODULE(zarn_core, m) {
    m.doc() = "ZARN-P performans-kritik cekirdegi (C++/Eigen).";
    zarn::bind::register_scores(m);
    zarn::bind::register_bases(m);
    zarn::bind::register_fitting(m);
    zarn::bind::register_sampler(m);
}
