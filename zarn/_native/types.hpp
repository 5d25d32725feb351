// Shared types of the native core: the dense vector and matrix aliases, the optional
// penalty of a score, the result structures of the subsystems and the argument checks
// that several subsystems apply in the same way.
#pragma once

#include <Eigen/Dense>

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

} // namespace zarn
