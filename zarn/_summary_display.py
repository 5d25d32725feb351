"""Display of a coefficient table: its text table and HTML table.

:class:`zarn._summary.Summary` holds the numbers and calls these functions for its
``str``/``repr`` and its ``_repr_html_`` (notebooks).
"""

from __future__ import annotations

import html
import math
from typing import TYPE_CHECKING

from zarn._summary import COLUMNS, HARMONIC_COLUMNS

if TYPE_CHECKING:
    from zarn._summary import Summary

# What the covariance of each method is, for the table's last line.
_COVARIANCE = {
    "ols": "least-squares covariance",
    "penalized": "posterior covariance of the penalised fit",
    "robust": "covariance of the MM-estimate",
}
# The other covariance types, for the same line.
_COV_TYPES = {
    "HAC": "HAC (Newey-West) covariance",
    "ar1": "least-squares covariance with the AR(1) effective sample size",
    "H1": "Huber's H1 covariance of the MM-estimate",
}
_DEFAULT_COV_TYPES = ("nonrobust", "avar1")


def _number(value: float) -> str:
    """Four significant digits, without a "-0"."""
    return "nan" if math.isnan(value) else f"{value + 0.0:.4g}"


def _title(summary: Summary) -> str:
    return (
        f"Coefficients of the {summary.method} fit on {summary.n_obs} samples, "
        "in the features' own units"
    )


def _facts(summary: Summary) -> str:
    """The header line: residual degrees of freedom, scale, R^2 and level."""
    facts = [f"df_resid = {summary.df_resid:.6g}", f"scale = {_number(summary.scale)}"]
    if summary.r2 is not None:
        facts.append(f"R² = {summary.r2 + 0.0:.4f}")
    return ", ".join(facts)


def _headers(summary: Summary) -> list[str]:
    percent = f"{100.0 * summary.level:g}"
    return ["term", "coef", "stderr", "t", "P>|t|", f"[{percent}% low", "high]"]


def _cells(summary: Summary) -> list[list[str]]:
    rows = []
    for i, term in enumerate(summary.terms):
        values = [float(getattr(summary, name)[i]) for name in COLUMNS]
        p = values[3]
        line = [term, *map(_number, values)]
        line[4] = "nan" if math.isnan(p) else f"{p:.3g}"
        rows.append(line)
    return rows


def _footer(summary: Summary) -> str:
    cov_type, df = summary.cov_type, summary.quantile_df
    if cov_type in _DEFAULT_COV_TYPES:
        covariance = _COVARIANCE[summary.method]
    else:
        covariance = _COV_TYPES.get(cov_type, f"heteroscedasticity-robust ({cov_type}) covariance")
    if math.isinf(df):
        return f"normal quantiles; {covariance}"
    kind = "residual degrees of freedom" if df == summary.df_resid else "degrees of freedom"
    return f"Student's t with {df:.6g} {kind}; {covariance}"


def _harmonic_headers() -> list[str]:
    return ["harmonic", "amplitude", "stderr", "phase", "stderr"]


def _harmonic_cells(summary: Summary) -> list[list[str]]:
    return [
        [str(j + 1), *(_number(float(getattr(summary, name)[j])) for name in HARMONIC_COLUMNS)]
        for j in range(len(summary.amplitude))
    ]


def _aligned(headers: list[str], cells: list[list[str]]) -> list[str]:
    """Header and rows as text, the first column to the left, the others to the right."""
    widths = [max(len(h), *(len(c[j]) for c in cells)) for j, h in enumerate(headers)]

    def fmt(values: list[str]) -> str:
        first = values[0].ljust(widths[0])
        rest = [v.rjust(w) for v, w in zip(values[1:], widths[1:])]
        return "  ".join([first, *rest]).rstrip()

    return [fmt(headers), *(fmt(line) for line in cells)]


def text_table(summary: Summary) -> str:
    """The coefficient table as text (the str and repr of a Summary)."""
    lines = [_title(summary), _facts(summary), *_aligned(_headers(summary), _cells(summary))]
    if len(summary.amplitude):
        lines += _aligned(_harmonic_headers(), _harmonic_cells(summary))
    return "\n".join([*lines, _footer(summary)])


def html_table(summary: Summary) -> str:
    """The coefficient table as HTML (shown by notebooks)."""
    esc = html.escape
    head = "".join(f"<th>{esc(h)}</th>" for h in _headers(summary))
    body = "".join(
        "<tr>"
        + f"<th>{esc(line[0])}</th>"
        + "".join(f"<td>{esc(c)}</td>" for c in line[1:])
        + "</tr>"
        for line in _cells(summary)
    )
    caption = f"{esc(_title(summary))}<br>{esc(_facts(summary))}"
    harmonics = ""
    if len(summary.amplitude):
        harmonics = (
            "<table><thead><tr>"
            + "".join(f"<th>{esc(h)}</th>" for h in _harmonic_headers())
            + "</tr></thead><tbody>"
            + "".join(
                "<tr>" + "".join(f"<td>{esc(c)}</td>" for c in line) + "</tr>"
                for line in _harmonic_cells(summary)
            )
            + "</tbody></table>"
        )
    return (
        f"<div><table><caption>{caption}</caption>"
        f"<thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>{harmonics}"
        f"<small>{esc(_footer(summary))}</small></div>"
    )
