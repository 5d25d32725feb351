#include "bindings.hpp"

#include "driver.hpp"
#include "grouped.hpp"

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

// Groups' rows offsets[g] .. offsets[g + 1] must run from 0 to N without decreasing.
void check_offsets(const std::vector<Index>& offsets, Index N) {
    if (offsets.empty() || offsets.front() != 0 || offsets.back() != N)
        throw std::invalid_argument("offsets must run from 0 to the rows of Phi");
    for (std::size_t g = 1; g < offsets.size(); ++g)
        if (offsets[g] < offsets[g - 1])
            throw std::invalid_argument("offsets must not decrease");
}

// The kernels of fits of groups of samples, each on its own rows.
void register_grouped(py::module_& m) {
    m.def(
        "sort_by_group",
        [](const Eigen::Ref<const RowMatrix>& X, const Eigen::Ref<const VectorXd>& y,
           const std::optional<Eigen::Ref<const VectorXd>>& w,
           const Eigen::Ref<const CodeVector>& codes, Index n_groups) {
            const Index n = y.size();
            if (X.rows() != n || codes.size() != n || (w && w->size() != n))
                throw std::invalid_argument("X, y, w and codes must have one row per sample");
            if (n_groups < 0)
                throw std::invalid_argument("n_groups must not be negative");
            const VectorXd none;
            const Eigen::Ref<const VectorXd> weights = w ? *w : Eigen::Ref<const VectorXd>(none);
            GroupCounts counts;
            {
                py::gil_scoped_release release;
                counts = count_groups(X, y, weights, codes, n_groups);
            }
            py::dict out;
            out["counts"] = py::cast(counts.counts);
            if (counts.in_order)
                return out;
            // The sorted samples in arrays of NumPy's, which asks for huge pages for large
            // ones: fewer page faults than the samples' first writes would otherwise take.
            const Index used = counts.used;
            py::array_t<double> X_out({used, static_cast<Index>(X.cols())}), y_out(used);
            py::array_t<double> w_out(w ? used : 0);
            py::array_t<std::int64_t> rows(used);
            {
                py::gil_scoped_release release;
                sort_by_group(X, y, weights, codes, counts, X_out.mutable_data(),
                              y_out.mutable_data(), w ? w_out.mutable_data() : nullptr,
                              rows.mutable_data());
            }
            out["X"] = X_out;
            out["y"] = y_out;
            out["w"] = w ? py::object(w_out) : py::none();
            out["rows"] = rows;
            return out;
        },
        py::arg("X"), py::arg("y"), py::arg("w"), py::arg("codes"), py::arg("n_groups"));
    m.def(
        "group_ranges",
        [](const Eigen::Ref<const RowMatrix>& values, const Eigen::Ref<const CodeVector>& starts,
           const Eigen::Ref<const CodeVector>& counts) {
            if (starts.size() != counts.size())
                throw std::invalid_argument("starts and counts must have one value per group");
            for (Index g = 0; g < counts.size(); ++g)
                if (starts[g] < 0 || counts[g] < 0 || starts[g] + counts[g] > values.rows())
                    throw std::invalid_argument("each group's rows must lie within values");
            GroupRanges r;
            {
                py::gil_scoped_release release;
                r = group_ranges(values, starts, counts);
            }
            return py::make_tuple(py::cast(std::move(r.low)), py::cast(std::move(r.high)));
        },
        py::arg("values"), py::arg("starts"), py::arg("counts"));
    m.def(
        "normal_fits",
        [](const Eigen::Ref<const MatrixXd>& Phi,
           const std::optional<Eigen::Ref<const VectorXd>>& y,
           const std::optional<Eigen::Ref<const VectorXd>>& w, const std::vector<Index>& offsets,
           const std::optional<MatrixXd>& penalty, double margin, bool residuals) {
            const Index N = Phi.rows(), k = Phi.cols();
            if ((y && y->size() != N) || (w && w->size() != N))
                throw std::invalid_argument("y and w must have one value per row of Phi");
            check_offsets(offsets, N);
            if (penalty && (penalty->rows() != k || penalty->cols() != k))
                throw std::invalid_argument("penalty must be k x k");
            const VectorXd none;
            const MatrixXd no_penalty;
            NormalFits f;
            {
                py::gil_scoped_release release;
                f = normal_fits(Phi, y ? &*y : nullptr, w ? *w : Eigen::Ref<const VectorXd>(none),
                                offsets, penalty ? *penalty : no_penalty, margin, residuals);
            }
            py::dict out;
            out["trace"] = py::cast(std::move(f.trace));
            out["certain"] = py::cast(f.certain.cast<bool>().eval());
            if (!y)
                return out;
            out["coef"] = py::cast(std::move(f.coef));
            out["inverse"] = py::cast(std::move(f.inverse));
            out["edf"] = py::cast(std::move(f.edf));
            out["rss"] = py::cast(std::move(f.rss));
            out["tss"] = py::cast(std::move(f.tss));
            out["residuals"] = residuals ? py::cast(std::move(f.residuals)) : py::none();
            return out;
        },
        py::arg("Phi"), py::arg("y"), py::arg("w"), py::arg("offsets"), py::arg("penalty"),
        py::arg("margin"), py::arg("residuals") = false);
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
            check_offsets(offsets, N);
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
    register_grouped(m);
}

} // namespace zarn::robust::bind
