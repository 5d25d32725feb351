// Shared types of the native core: the dense vector and matrix aliases, the optional
// penalty of a score, the result structures of the subsystems and the argument checks
// that several subsystems apply in the same way.
#pragma once

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace zarn {

using VectorXd = Eigen::VectorXd;
using MatrixXd = Eigen::MatrixXd;
using Index = Eigen::Index;

// Optional quadratic penalty gamma1 * b'R1 b + gamma2 * b'R2 b. The matrices are borrowed,
// not owned; a null matrix or a weight of exactly 0.0 switches its term off. The weight
// tests are inequalities, so NaN and negative weights count as applied.
struct PenaltySpec {
    const MatrixXd* R1 = nullptr;
    const MatrixXd* R2 = nullptr;
    double gamma1 = 0.0;
    double gamma2 = 0.0;

    bool applies_R1() const { return R1 != nullptr && gamma1 != 0.0; }
    bool applies_R2() const { return R2 != nullptr && gamma2 != 0.0; }
    bool active() const { return applies_R1() || applies_R2(); }
};

// Slope and curvature penalties of the one-variable monomial basis.
struct PenaltyMatrices1D {
    MatrixXd R1;
    MatrixXd R2;
};

// Gradient and Hessian penalties of the tensor-product basis, with the basis order.
struct PenaltyMatricesND {
    MatrixXd R1;
    MatrixXd R2;
    std::vector<std::vector<int>> multi_indices;
};

// Gibbs (Boltzmann) summary of a set of energies.
struct GibbsResult {
    double H = 0.0;
    double Hmax = 0.0;
    double He = 0.0;
    double r_heat = 0.0;
    double var_E = 0.0;
    double T = 0.0;
};

// State of one Markov chain: a coefficient vector and its energy.
struct Chain {
    VectorXd beta;
    double energy = 0.0;
};

// Result of a tournament sampler fit.
struct MCMCResult {
    VectorXd beta_mcmc;
    double energy = 0.0;
    GibbsResult gibbs;
    int n_chains = 0;
    int n_elite = 0;
};

// Throws std::invalid_argument unless two paired sequences have equal length.
inline void require_same_length(Index a, Index b, const char* name_a, const char* name_b) {
    if (a != b) {
        throw std::invalid_argument(std::string(name_a) + " and " + name_b +
                                    " must have the same length, got " + std::to_string(a) +
                                    " and " + std::to_string(b));
    }
}

namespace detail {

// Two doubles as one vector of the compiler's vector extension: the width of the baseline
// vector unit, so that the loops below keep their sums in registers on every target.
typedef double Doubles2 __attribute__((vector_size(16)));

} // namespace detail

// Whether all n values at x are finite (neither NaN nor infinite). One pass without an early
// exit, eight values at a time into four running sums of x * 0.0, which is 0.0 for a finite
// x and NaN for NaN or an infinity; a NaN stays in its sum. A loop that collects
// comparisons is not vectorised for the baseline unit, which lacks the 64-bit integer
// operations on comparison masks; plain arithmetic runs on every unit.
inline bool all_finite(const double* x, Index n) {
    detail::Doubles2 acc[4] = {};
    Index i = 0;
    for (; i + 8 <= n; i += 8) {
        for (int l = 0; l < 4; ++l) {
            detail::Doubles2 v;
            std::memcpy(&v, x + i + 2 * l, sizeof v);
            acc[l] += v * 0.0;
        }
    }
    double sum = 0.0;
    for (int l = 0; l < 4; ++l)
        sum += acc[l][0] + acc[l][1];
    for (; i < n; ++i)
        sum += x[i] * 0.0;
    return sum == 0.0;
}

// Whether one of the n values at x is NaN: finite data, the common case, is cleared by the
// vectorised test of all_finite; only data holding NaN or an infinity is scanned again.
inline bool any_nan(const double* x, Index n) {
    return !all_finite(x, n) && std::any_of(x, x + n, [](double v) { return std::isnan(v); });
}

// Throws std::invalid_argument unless every entry of the vector or matrix a is finite.
template <typename Dense> inline void require_finite(const Dense& a, const char* name) {
    if (!all_finite(a.data(), a.size()))
        throw std::invalid_argument(std::string(name) + " must be finite (no NaN or infinity)");
}

// Throws std::invalid_argument unless the number v is finite.
inline void require_finite(double v, const char* name) {
    if (!std::isfinite(v)) {
        const char* got = std::isnan(v) ? "NaN" : v > 0.0 ? "infinity" : "-infinity";
        throw std::invalid_argument(std::string(name) +
                                    " must be finite (no NaN or infinity), got " + got);
    }
}

// Throws std::invalid_argument unless the penalty matrix R is p x p.
inline void require_penalty_shape(const MatrixXd& R, Index p, const char* name) {
    if (R.rows() != p || R.cols() != p) {
        throw std::invalid_argument(std::string(name) + " must be a " + std::to_string(p) + "x" +
                                    std::to_string(p) + " matrix (one row and column per " +
                                    "coefficient), got " + std::to_string(R.rows()) + "x" +
                                    std::to_string(R.cols()));
    }
}

// Checks the matrices of the terms that a penalty applies against p coefficients; terms
// that are switched off are not looked at.
inline void require_penalty_shapes(const PenaltySpec& pen, Index p) {
    if (pen.applies_R1())
        require_penalty_shape(*pen.R1, p, "R1");
    if (pen.applies_R2())
        require_penalty_shape(*pen.R2, p, "R2");
}

// Checks the weights and matrices of the terms that a penalty applies for NaN and infinity;
// terms that are switched off are not looked at.
inline void require_finite_penalties(const PenaltySpec& pen) {
    if (pen.applies_R1()) {
        require_finite(pen.gamma1, "gamma1");
        require_finite(*pen.R1, "R1");
    }
    if (pen.applies_R2()) {
        require_finite(pen.gamma2, "gamma2");
        require_finite(*pen.R2, "R2");
    }
}

} // namespace zarn
