"""
Choosing a degree
=================

:func:`zarn.compare_models` fits one model per candidate degree (and per method and
penalty pair, if several are given) and ranks them by an information criterion, by
default the robust BIC: Tukey's bounded loss of the residuals on one common scale plus
ln(n) per parameter. Here the data come from a cubic, with 10 % gross outliers; the
candidates are degrees 0 to 10, fitted by penalised least squares and by the robust
method.
"""

import matplotlib.pyplot as plt
import numpy as np

import zarn

rng = np.random.default_rng(0)
x = rng.uniform(-1.0, 1.0, 300)
y = 1.0 - 2.0 * x + 3.0 * x**3 + rng.normal(scale=0.1, size=x.size)
bad = rng.random(x.size) < 0.10
y[bad] = rng.uniform(-5.0, 5.0, bad.sum())

result = zarn.compare_models(
    x[:, None], y, degrees=range(0, 11), methods=("penalized", "robust"), n_deep=500
)
print(result)

# %%
# The plot shows every criterion against the degree, one colour per method: the robust
# BIC, Gaussian BIC and AIC as differences from their lowest values on the left axis, the
# MDL score on the right one, and the chosen model marked on the robust BIC's curve. The
# least-squares fits, dragged by the outliers, sit far above the robust ones on the
# robust BIC, while the Gaussian criteria cannot tell them apart.

ax = result.plot()
ax.figure.set_size_inches(9, 4.8)
plt.show()

# %%
# ``best_`` is the chosen model, already fitted:

best = result.best_
print(best, "with", best.coef_.size, "coefficients")

# %%
# How sure is the choice? The benchmark ``bench/bench_compare.py --choice`` measures it
# over many data sets: with robust fits the robust BIC found the true degree in 93 to
# 100 % of them, clean or with up to 40 % gross outliers, where BIC of least squares
# often failed. Pass ``criterion="bic"``, ``"aic"`` or ``"mdl"`` to rank by another
# criterion; every row holds all four.
