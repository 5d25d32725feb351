"""The whole road of zarn on synthetic data: bases, penalties, fits, scores, sampling.

Run it after installing zarn with its examples extra; it prints a table of scores and
coefficients and saves the figure quickstart.png (or the path given as first argument).
"""

import sys

import matplotlib

matplotlib.use("Agg")  # write the figure to a file; never open a window
import matplotlib.pyplot as plt
import numpy as np

import zarn

H = 20
GAMMA1, GAMMA2 = 1e-3, 1e-4


def fit_all(Phi, y, R1, R2):
    """ols, the penalised fit and the sampler on one design; returns {name: beta}."""
    fits = {
        "ols": zarn.ols(Phi, y),
        "penalised": zarn.fit_regularized_linear(Phi, y, R1, R2, gamma1=GAMMA1, gamma2=GAMMA2),
    }
    result = zarn.TournamentMCMC(seed=7).fit(Phi, y, R1, R2, GAMMA1, GAMMA2)
    fits["sampler"] = np.array(result.beta_mcmc)
    return fits, result


def report(title, Phi, y, R1, R2, fits, result):
    k = Phi.shape[1]
    print(f"\n{title}  (n = {len(y)}, k = {k})")
    print(f"  {'fit':<10} {'MDL score':>10} {'hit rate':>9}   coefficients")
    eps = 0.4 * zarn.mad(y)
    for name, beta in fits.items():
        yp = Phi @ beta
        score = zarn.mdl_score_reg(yp, y, k, H, beta, R1, R2, GAMMA1, GAMMA2)
        hits = zarn.compute_sr(yp, y, eps)
        coefs = " ".join(f"{b:+.3f}" for b in beta[:7]) + (" ..." if k > 7 else "")
        print(f"  {name:<10} {score:>10.3f} {hits:>9.3f}   {coefs}")
    g = result.gibbs
    print(
        f"  sampler energy {result.energy:.3f}; warm-up Gibbs analysis: H = {g.H:.3f} of "
        f"Hmax = {g.Hmax:.3f}, r_heat = {g.r_heat:.3f}, var_E = {g.var_E:.3g}"
    )


def main(out="quickstart.png"):
    rng = np.random.default_rng(2026)

    # One variable: a smooth curve with noise, fitted by a degree-6 polynomial.
    deg = 6
    x = np.sort(rng.uniform(-1.0, 1.0, 200))
    y = np.sin(2.5 * x) + 0.3 * x + rng.normal(scale=0.3, size=x.size)
    Phi = zarn.design_matrix_1d(deg, x)
    R1, R2 = zarn.smoothness_penalty_matrices_1d(deg, -1.0, 1.0)
    fits, result = fit_all(Phi, y, R1, R2)
    report("One variable, degree 6", Phi, y, R1, R2, fits, result)

    # Two variables: a tensor-product basis of degrees (3, 3) on the unit square.
    x1, x2 = rng.uniform(0.0, 1.0, (2, 300))
    z = np.sin(3.0 * x1) * np.cos(2.0 * x2) + rng.normal(scale=0.1, size=x1.size)
    S1, S2, multi_indices = zarn.build_penalty_matrices_nd([3, 3], [(0.0, 1.0), (0.0, 1.0)])
    Phi2 = zarn.design_matrix_nd(multi_indices, [x1, x2])
    fits2, result2 = fit_all(Phi2, z, S1, S2)
    report("Two variables, degrees (3, 3)", Phi2, z, S1, S2, fits2, result2)

    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(11, 4.5))
    grid = np.linspace(-1.0, 1.0, 400)
    G = zarn.design_matrix_1d(deg, grid)
    ax1.plot(x, y, ".", color="0.6", label="data")
    for name, beta in fits.items():
        ax1.plot(grid, G @ beta, label=name)
    ax1.set(title="One variable", xlabel="x", ylabel="y")
    ax1.legend()

    u = np.linspace(0.0, 1.0, 60)
    U1, U2 = np.meshgrid(u, u)
    G2 = zarn.design_matrix_nd(multi_indices, [U1.ravel(), U2.ravel()])
    surface = (G2 @ fits2["penalised"]).reshape(U1.shape)
    contour = ax2.contourf(U1, U2, surface, levels=20)
    ax2.scatter(x1, x2, s=4, c="k")
    ax2.set(title="Two variables, penalised fit", xlabel="x1", ylabel="x2")
    fig.colorbar(contour, ax=ax2)
    fig.tight_layout()
    fig.savefig(out, dpi=100)
    print(f"\nfigure saved to {out}")


if __name__ == "__main__":
    main(*sys.argv[1:2])
