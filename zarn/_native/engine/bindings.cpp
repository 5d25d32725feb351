#include "bindings.hpp"

#include "driver.hpp"

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <optional>

#include <stdexcept>

namespace zarn::robust::bind {

namespace py = pybind11;

namespace {

// The arrays of a fit as a dict of NumPy arrays, named as the Python front-end's fields.
template <class Fit> py::dict to_dict(Fit&& fit) {
    py::dict out;
    out["coef"] = py::cast(std::move(fit.coef));
    out["cov"] = py::cast(std::move(fit.cov));
    out["cov_h1"] = py::cast(std::move(fit.cov_h1));
    out["stderr"] = py::cast(std::move(fit.stderr_avar1));
    out["stderr_h1"] = py::cast(std::move(fit.stderr_h1));
    out["weights"] = py::cast(std::move(fit.weights));
    out["inliers"] = py::cast(std::move(fit.inliers));
    out["scale"] = py::cast(std::move(fit.scale));
    out["s_scale"] = py::cast(std::move(fit.s_scale));
    out["noise_scale"] = py::cast(std::move(fit.noise_scale));
    out["n_used"] = py::cast(std::move(fit.n_used));
    out["status"] = py::cast(std::move(fit.status));
    return out;
}

} // namespace

void register_engine(py::module_& m) {
    m.def(
        "fit_block",
        [](const MatrixXd& Phi, const Eigen::Ref<const RowMatrix>& Y,
           const std::optional<Eigen::Ref<const RowMatrix>>& W,
           const std::optional<VectorXd>& shared_weights, const std::optional<MatrixXd>& penalty,
           double ridge, std::uint64_t seed) {
            const Index n = Phi.rows(), k = Phi.cols();
            if (Y.cols() != n)
                throw std::invalid_argument("Y must have one column per row of Phi");
            if (W && (W->rows() != Y.rows() || W->cols() != n))
                throw std::invalid_argument("W must have the shape of Y");
            if (shared_weights && shared_weights->size() != n)
                throw std::invalid_argument("shared_weights must have one value per row of Phi");
            if (penalty && (penalty->rows() != k || penalty->cols() != k))
                throw std::invalid_argument("penalty must be k x k");
            Settings settings;
            settings.ridge = ridge;
            settings.seed = seed;
            if (penalty)
                settings.penalty = *penalty;
            const RowMatrix none;
            const VectorXd ones;
            BlockFit fit;
            {
                py::gil_scoped_release release;
                fit = fit_block(Phi, Y, W ? *W : Eigen::Ref<const RowMatrix>(none),
                                shared_weights ? *shared_weights : ones, settings);
            }
            return to_dict(std::move(fit));
        },
        py::arg("Phi"), py::arg("Y"), py::arg("W") = py::none(),
        py::arg("shared_weights") = py::none(), py::arg("penalty") = py::none(),
        py::arg("ridge") = 1e-10, py::arg("seed") = 0);
    m.def(
        "fit_groups",
        [](const Eigen::Ref<const RowMatrix>& Phi, const VectorXd& y,
           const std::optional<VectorXd>& w, const std::vector<Index>& offsets,
           const std::optional<Eigen::Ref<const RowMatrix>>& penalties, double ridge,
           std::uint64_t seed) {
            const Index N = Phi.rows(), k = Phi.cols();
            if (y.size() != N)
                throw std::invalid_argument("y must have one value per row of Phi");
            if (w && w->size() != N)
                throw std::invalid_argument("w must have one value per row of Phi");
            if (offsets.empty() || offsets.front() != 0 || offsets.back() != N)
                throw std::invalid_argument("offsets must run from 0 to the rows of Phi");
            for (std::size_t g = 1; g < offsets.size(); ++g)
                if (offsets[g] < offsets[g - 1])
                    throw std::invalid_argument("offsets must not decrease");
            const Index G = static_cast<Index>(offsets.size()) - 1;
            if (penalties && (penalties->rows() != G || penalties->cols() != k * k))
                throw std::invalid_argument("penalties must be G x k * k");
            Settings settings;
            settings.ridge = ridge;
            settings.seed = seed;
            const RowMatrix none;
            const VectorXd ones;
            GroupsFit fit;
            {
                py::gil_scoped_release release;
                fit = fit_groups(Phi, y, w ? *w : ones, offsets,
                                 penalties ? *penalties : Eigen::Ref<const RowMatrix>(none),
                                 settings);
            }
            return to_dict(std::move(fit));
        },
        py::arg("Phi"), py::arg("y"), py::arg("w"), py::arg("offsets"), py::arg("penalties"),
        py::arg("ridge") = 1e-10, py::arg("seed") = 0);
}

} // namespace zarn::robust::bind
