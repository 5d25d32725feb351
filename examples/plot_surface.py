"""
A response surface in two variables: tensor and total bases
===========================================================

With several features, ``degree`` takes one int per feature. The ``"tensor"`` basis holds
every product of per-feature powers (degrees (3, 3): 16 coefficients); the ``"total"``
basis keeps those whose powers sum to at most the largest degree (10 coefficients). Fewer
coefficients need fewer samples and cost less in the MDL score.
"""

import matplotlib.pyplot as plt
import numpy as np

import zarn

rng = np.random.default_rng(5)


def truth(x1, x2):
    return np.sin(2.0 * x1) + 0.5 * x1 * x2 - 0.3 * x2**2


X = rng.uniform(-1.5, 1.5, (150, 2))
z = truth(X[:, 0], X[:, 1]) + rng.normal(scale=0.1, size=len(X))

u = np.linspace(-1.5, 1.5, 100)
U1, U2 = np.meshgrid(u, u)
points = np.column_stack([U1.ravel(), U2.ravel()])
panels = {"true surface": truth(U1, U2)}
for basis in ("tensor", "total"):
    model = zarn.PolynomialRegressor(degree=(3, 3), basis=basis, gamma2=1e-5).fit(X, z)
    fitted = model.predict(points).reshape(U1.shape)
    rmse = np.sqrt(np.mean((fitted - panels["true surface"]) ** 2))
    title = f"{basis} basis: {model.coef_.size} coefficients\n"
    panels[title + f"RMSE against the truth {rmse:.3f}, MDL {model.mdl_:.1f}"] = fitted

fig, axes = plt.subplots(1, 3, figsize=(11, 3.8), sharey=True, layout="constrained")
levels = np.linspace(-2.2, 2.2, 23)
for ax, (title, values) in zip(axes, panels.items()):
    filled = ax.contourf(U1, U2, values, levels=levels, cmap="RdBu_r", extend="both")
    ax.scatter(
        X[:, 0],
        X[:, 1],
        c=z,
        cmap="RdBu_r",
        norm=filled.norm,
        s=14,
        edgecolors="black",
        linewidths=0.4,
    )
    ax.set(xlabel="x1", aspect="equal")
    ax.set_title(title, fontsize=10)
axes[0].set_ylabel("x2")
fig.colorbar(filled, ax=axes, label="z (points: observed values)", shrink=0.8)
plt.show()

# %%
# ``model.basis_`` lists the exponents of each coefficient, in column order:

model = zarn.PolynomialRegressor(degree=(3, 3), basis="total").fit(X, z)
print(model.basis_.tolist())
