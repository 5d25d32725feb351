"""Display of a coefficient table: its text table and HTML table.

:class:`zarn._summary.Summary` holds the numbers and calls these functions for its
``str``/``repr`` and its ``_repr_html_`` (notebooks).
"""

from __future__ import annotations

import html
import math
from typing import TYPE_CHECKING

from zarn._summary import COLUMNS

if TYPE_CHECKING:
    from zarn._summary import Summary

# What the covariance of each method is, for the table's last line.
_COVARIANCE = {
    "ols": "least-squares covariance",
    "penalized": "posterior covariance of the penalised fit",
    "robust": "covariance of the MM-estimate",
}


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
    return (
        f"Student's t with {summary.df_resid:.6g} residual degrees of freedom; "
        f"{_COVARIANCE[summary.method]}"
    )


def text_table(summary: Summary) -> str:
    """The coefficient table as text (the str and repr of a Summary)."""
    headers, cells = _headers(summary), _cells(summary)
    widths = [max(len(h), *(len(c[j]) for c in cells)) for j, h in enumerate(headers)]

    def fmt(values: list[str]) -> str:
        first = values[0].ljust(widths[0])
        rest = [v.rjust(w) for v, w in zip(values[1:], widths[1:])]
        return "  ".join([first, *rest]).rstrip()

    lines = [_title(summary), _facts(summary), fmt(headers)]
    lines += [fmt(line) for line in cells]
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
    return (
        f"<div><table><caption>{caption}</caption>"
        f"<thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"
        f"<small>{esc(_footer(summary))}</small></div>"
    )
