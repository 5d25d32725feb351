"""
One trend per sensor: groups with their own timestamps
======================================================

Sensor networks send long-format data: one row per reading, with the sensor's name, a
timestamp and a value. Each sensor has its own timestamps (they report at irregular
times, start late, stop early, go silent for weeks), so their series share no positions
and :func:`zarn.fit_many` does not apply. :func:`zarn.fit_groups` fits one model per
group, each on its own timestamps and domain, exactly as
:class:`zarn.PolynomialRegressor` would fit that sensor alone, and as fast as a batched
solve.

Here 80 temperature loggers at two sites report for two years, a few readings each day,
with an annual cycle, a slow drift that differs from logger to logger, noise, and now
and then a faulty spike. A robust fit of a straight line plus one annual harmonic gives
each logger's drift per year, undisturbed by the spikes.
"""

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

import zarn

rng = np.random.default_rng(3)
start, days = np.datetime64("2022-01-01", "s"), 730
rows = []
for i in range(80):
    site = "north" if i < 40 else "south"
    first, last = np.sort(rng.uniform(0, days, 2)) if i % 7 == 0 else (0.0, days)
    t = np.sort(rng.uniform(first, last, rng.integers(150, 400)))  # days
    t = t[(t < 300) | (t > 300 + rng.uniform(0, 60))]  # a silent spell
    drift = rng.normal(0.3 if site == "north" else 0.1, 0.15)  # degrees per year
    value = (
        (12.0 if site == "north" else 16.0)
        + drift * t / 365.2425
        - 8.0 * np.cos(2 * np.pi * (t - 15.0) / 365.2425)  # coldest in mid-January
        + rng.normal(0.0, 0.8, t.size)
    )
    spikes = rng.random(t.size) < 0.03
    value[spikes] += rng.choice([-15.0, 20.0], spikes.sum())
    rows.append(
        pd.DataFrame(
            {
                "sensor": f"{site}-{i:02d}",
                "site": site,
                "time": start + (t * 86400).astype("timedelta64[s]"),
                "temperature": value,
                "drift": drift,
            }
        )
    )
df = pd.concat(rows).sort_values("time", ignore_index=True)  # interleaved, as they arrive
print(df.head(), f"\n{len(df):,} readings of {df.sensor.nunique()} sensors")

# %%
# One call fits every sensor. Dates are converted to nanoseconds (as xarray converts
# them), so the harmonic's default period is one mean Gregorian year.

model = zarn.PolynomialRegressor(degree=1, method="robust", harmonics=1)
fits = zarn.fit_groups(df, x="time", y="temperature", by="sensor", model=model)
print(fits)
print(fits.to_pandas()[["coef_0", "coef_1", "stderr_1", "n_used", "n_inliers"]].head())

# %%
# The coefficients belong to each sensor's own mapped time ``u`` on [-1, 1], so the
# slope per year is ``coef[:, 1] * du/dt``, with ``du/dt = 2 / (high - low)`` from the
# sensor's own domain; its standard error scales the same way.

year = 365.2425 * 86400e9  # nanoseconds
low, high = fits.domain[:, 0, 0], fits.domain[:, 0, 1]
per_year = 2.0 / (high - low) * year
slope, slope_se = fits.coef[:, 1] * per_year, fits.stderr[:, 1] * per_year
true = df.groupby("sensor").drift.first().to_numpy()  # in the order of fits.labels
inside = np.abs(slope - true) < 1.96 * slope_se
print(f"true drift inside the 95 % interval for {inside.mean():.0%} of the sensors")
print(f"annual amplitude: median {np.median(fits.amplitude):.2f} degrees (true 8)")

# %%
# A few sensors with their readings (the spikes flagged as outliers, ringed) and fits,
# and the drifts of all of them by site.

fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(12, 4.2), width_ratios=[1.6, 1], layout="constrained")
grid = np.arange(start, start + np.timedelta64(days, "D"), np.timedelta64(1, "D"))
for name in ("north-01", "north-07", "south-52"):
    mine = (df.sensor == name).to_numpy()
    (line,) = ax1.plot(df.time[mine], df.temperature[mine], ".", ms=3, alpha=0.6)
    low_t, high_t = fits.domain[fits.labels == name, 0][0].astype("datetime64[ns]")
    shown = grid[(grid >= low_t) & (grid <= high_t)]
    ax1.plot(shown, fits.predict(shown, [name] * shown.size), color=line.get_color(), label=name)
    outliers = mine & ~fits.inlier_mask
    ax1.plot(df.time[outliers], df.temperature[outliers], "o", mfc="none", color="crimson", ms=6)
ax1.set(ylabel="temperature (°C)", title="three sensors (one reports for a few weeks), robust fits")
ax1.legend(fontsize=8, loc="upper left")
for site, color in (("north", "tab:blue"), ("south", "tab:orange")):
    at = np.char.startswith(fits.labels.astype(str), site)
    ax2.hist(slope[at], bins=np.linspace(-0.6, 1.0, 25), alpha=0.6, color=color, label=site)
ax2.set(xlabel="drift (°C per year)", ylabel="sensors", title="fitted drift by site")
ax2.legend()
plt.show()

# %%
# Each group's fit equals the estimator's fit of that group alone (bit for bit for the
# robust method, which fits the groups one by one; to rounding for ``"ols"`` and
# ``"penalized"``, whose groups of equal size share one batched solve). For groups that
# share their positions (pixels of an image stack), :func:`zarn.fit_many` is the tool; see
# :doc:`/user_guide/many_series`.

alone = zarn.PolynomialRegressor(**model.get_params())
mine = (df.sensor == "south-52").to_numpy()
alone.fit(df.loc[mine, ["time"]], df.temperature[mine])
print(np.array_equal(alone.coef_, fits.coef[fits.labels == "south-52"][0]))
