// Energy sampling: the Gibbs analysis of a set of energies and the tournament sampler,
// which searches the coefficients of y ~ X b for the lowest MDL energy with parallel
// annealing chains, a diverse elite and long, cooler runs from the elite.
#pragma once

#include "types.hpp"

#include <cstdint>

namespace zarn {

// Boltzmann summary of the energies at temperature T: entropy of the normalised weights,
// its maximum ln(max(N, 2)), their ratio, r_heat = 0.01 + 0.99 He and the population
// variance. Throws std::invalid_argument for an empty vector.
GibbsResult gibbs_entropy(const VectorXd& energies, double T);

class TournamentMCMC {
public:
    // Stores the settings unchanged; throws std::invalid_argument when n_chains < 1.
    TournamentMCMC(int n_chains, int n_warmup, int n_deep, int n_elite, double step_size, int H_piH,
                   std::uint64_t seed);

    // Lowest-energy coefficients found for y ~ X b, the energy being the MDL score of X b
    // against y plus the applied penalties gamma1 b'R1 b and gamma2 b'R2 b (R1, R2 may be
    // null). A deterministic function of the arguments and the settings, whatever the
    // number of threads. Throws std::invalid_argument when y's length is not X's row
    // count, an applied penalty matrix is not k x k (k = X's column count), or X, y or the
    // weight or matrix of an applied penalty holds NaN or infinity.
    MCMCResult fit(const MatrixXd& X, const VectorXd& y, const MatrixXd* R1, const MatrixXd* R2,
                   double gamma1, double gamma2) const;

private:
    int n_chains_;
    int n_warmup_;
    int n_deep_;
    int n_elite_;
    double step_size_;
    int H_piH_;
    std::uint64_t seed_;
};

} // namespace zarn
