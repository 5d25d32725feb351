#include "bindings.hpp"
#include "sampler.hpp"

#include <cstdint>

namespace zarn::bind {

void register_sampler(py::module_& m) {
    // Result classes have no constructor; their attributes are read-only. beta_mcmc reads as
    // a read-only array view of the result's own vector and gibbs as a GibbsResult referring
    // to the member; both keep the result alive.
    py::class_<GibbsResult>(m, "GibbsResult")
        .def_readonly("H", &GibbsResult::H)
        .def_readonly("Hmax", &GibbsResult::Hmax)
        .def_readonly("He", &GibbsResult::He)
        .def_readonly("r_heat", &GibbsResult::r_heat)
        .def_readonly("var_E", &GibbsResult::var_E)
        .def_readonly("T", &GibbsResult::T);

    m.def(
        "gibbs_entropy",
        [](const VectorXd& energies, double T) { return gibbs_entropy(energies, T); },
        py::arg("energies"), py::arg("T") = 1.0);

    py::class_<MCMCResult>(m, "MCMCResult")
        .def_readonly("beta_mcmc", &MCMCResult::beta_mcmc)
        .def_readonly("energy", &MCMCResult::energy)
        .def_readonly("gibbs", &MCMCResult::gibbs)
        .def_readonly("n_chains", &MCMCResult::n_chains)
        .def_readonly("n_elite", &MCMCResult::n_elite);

    py::class_<TournamentMCMC>(m, "TournamentMCMC")
        .def(py::init<int, int, int, int, double, int, std::uint64_t>(), py::arg("n_chains") = 25,
             py::arg("n_warmup") = 200, py::arg("n_deep") = 2000, py::arg("n_elite") = 5,
             py::arg("step_size") = 0.05, py::arg("H_piH") = 20, py::arg("seed") = 42)
        .def(
            "fit",
            [](const TournamentMCMC& self, const FloatMatrix& X, const VectorXd& y,
               const py::object& R1, const py::object& R2, double gamma1, double gamma2) {
                MatrixXd r1;
                MatrixXd r2;
                const MatrixXd* p1 = optional_matrix(R1, r1);
                const MatrixXd* p2 = optional_matrix(R2, r2);
                return self.fit(X.value, y, p1, p2, gamma1, gamma2);
            },
            py::arg("X"), py::arg("y"), py::arg("R1") = py::none(), py::arg("R2") = py::none(),
            py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0);
}

} // namespace zarn::bind
