"""
Confidence and prediction bands
===============================

A fitted curve is an estimate: :meth:`~zarn.PolynomialRegressor.predict_interval` gives
the band in which the true mean curve lies (``kind="confidence"``) and the band in which
a new observation falls (``kind="prediction"``), at a chosen level. Here the noise grows
with x, so the fit weighs each sample by the inverse of its variance (``sample_weight``),
and the prediction band widens where the noise does.
"""

import matplotlib.pyplot as plt
import numpy as np

import zarn

rng = np.random.default_rng(7)


def truth(x):
    return 2.0 + 1.5 * x - 0.25 * x**2


n = 80
x = np.sort(rng.uniform(0.0, 10.0, n))
sd = 0.2 + 0.15 * x  # heteroscedastic noise: known up to a common factor
y = truth(x) + sd * rng.standard_normal(n)
weight = 1.0 / sd**2

model = zarn.PolynomialRegressor(degree=2, method="ols")
model.fit(x[:, None], y, sample_weight=weight)
grid = np.linspace(0.0, 10.0, 300)
G = grid[:, None]
mean = model.predict(G)
conf_low, conf_high = model.predict_interval(G, level=0.95)
# A new observation at x has the variance of the data there: its weight is 1 / sd(x)^2.
new_weight = 1.0 / (0.2 + 0.15 * grid) ** 2
pred_low, pred_high = model.predict_interval(
    G, level=0.95, kind="prediction", sample_weight=new_weight
)

fig, ax = plt.subplots(figsize=(8, 4.5), layout="constrained")
ax.fill_between(grid, pred_low, pred_high, color="tab:blue", alpha=0.15, label="95 % prediction")
ax.fill_between(grid, conf_low, conf_high, color="tab:blue", alpha=0.35, label="95 % confidence")
ax.plot(grid, mean, color="tab:blue", lw=2, label="weighted fit")
ax.plot(grid, truth(grid), "k--", lw=1.2, label="true mean")
ax.plot(x, y, "o", color="0.35", ms=3.5, label="data")
ax.set(xlabel="x", ylabel="y", title="Degree-2 weighted least squares, 80 samples")
ax.legend(loc="lower left", fontsize=9)
plt.show()

# %%
# The coefficients' standard errors and the fit's diagnostics are attributes of the
# fitted model: ``scale_`` is the noise standard deviation of an observation of weight
# 1, ``df_resid_`` the residual degrees of freedom.
print("coefficients   ", model.coef_.round(3))
print("standard errors", model.stderr_.round(3))
print(f"scale {model.scale_:.3f}, df_resid {model.df_resid_:g}, rank {model.rank_}")
