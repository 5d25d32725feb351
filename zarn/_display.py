"""Display of a model comparison: its text table, HTML table and plot.

:class:`zarn.compare.ModelComparison` holds the results and calls these functions for its
``repr``, its ``_repr_html_`` (notebooks) and :meth:`~zarn.compare.ModelComparison.plot`.
"""

from __future__ import annotations

import html
import math
from collections.abc import Sequence
from typing import Any, Protocol

from zarn._criteria import CRITERION_NAMES, ComparisonRow, Degree
from zarn._methods import names as method_names
from zarn._optional import import_optional
from zarn._smoothing import AUTO


class ModelComparison(Protocol):
    """What the displays read of a :class:`zarn.ModelComparison`."""

    @property
    def rows(self) -> Sequence[ComparisonRow]: ...
    @property
    def best_(self) -> Any: ...
    @property
    def degrees(self) -> Sequence[Degree]: ...
    @property
    def n_samples(self) -> int: ...
    @property
    def criterion(self) -> str: ...


# Rows shown by the text and HTML tables; the rest are counted in a last line.
MAX_SHOWN_ROWS = 30


def _title(cmp: ModelComparison) -> str:
    return (
        f"ModelComparison of {len(cmp.rows)} candidate(s) on {cmp.n_samples} samples, "
        f"ranked by {CRITERION_NAMES[cmp.criterion]} (lower is better)"
    )


def _weight(value: float, given: Any) -> str:
    """A penalty weight of the table; a star marks one chosen automatically."""
    return f"{value:.3g}" + ("*" if given == AUTO else "")


def _table(cmp: ModelComparison) -> tuple[list[str], list[list[str]]]:
    """Column headers and the formatted cells of the rows shown."""
    flags = any(row.k_exceeds_n for row in cmp.rows)
    headers = ["rank", "degree", "k", "method", "gamma1", "gamma2", "edf", "MDL", "hit rate"]
    headers += ["RMSE", "R²", "AIC", "BIC", "RBIC", "fit time"]
    headers += ["flag"] if flags else []
    cells = []
    for rank, row in enumerate(cmp.rows[:MAX_SHOWN_ROWS], start=1):
        line = [
            str(rank),
            _degree_label(row.degree),
            str(row.k),
            row.method,
            _weight(row.gamma1, row.penalty[0]),
            _weight(row.gamma2, row.penalty[1]),
            f"{row.edf:.2f}",
            f"{row.mdl:.2f}",
            f"{row.hit_rate:.3f}",
            f"{row.rmse:.4g}",
            f"{round(row.r2, 4) + 0.0:.4f}",  # + 0.0: no "-0.0000"
            f"{row.aic:.2f}",
            f"{row.bic:.2f}",
            f"{row.rbic:.2f}",
            f"{row.fit_time * 1e3:.2f} ms",
        ]
        line += ["k > n" if row.k_exceeds_n else ""] if flags else []
        cells.append(line)
    return headers, cells


def _footer(cmp: ModelComparison) -> list[str]:
    lines = []
    hidden = len(cmp.rows) - MAX_SHOWN_ROWS
    if hidden > 0:
        lines.append(f"... {hidden} more row(s) in .rows or .to_pandas()")
    if any(row.k_exceeds_n for row in cmp.rows):
        lines.append("k > n: more coefficients than samples (an interpolating fit)")
    if any(AUTO in row.penalty for row in cmp.rows):
        lines.append('* a penalty weight chosen by REML ("auto")')
    best = cmp.rows[0]
    lines.append(
        f"chosen: degree {_degree_label(best.degree)}, {best.method}: best_ = {cmp.best_!r}"
    )
    return lines


def text_table(cmp: ModelComparison) -> str:
    """The comparison as a text table (the repr of a ModelComparison)."""
    headers, cells = _table(cmp)
    widths = [max(len(h), *(len(c[j]) for c in cells)) for j, h in enumerate(headers)]
    left = {"method", "flag"}

    def fmt(values: list[str]) -> str:
        parts = [
            v.ljust(w) if h in left else v.rjust(w) for v, w, h in zip(values, widths, headers)
        ]
        return "  ".join(parts).rstrip()

    lines = [_title(cmp), fmt(headers)]
    lines += [fmt(line) for line in cells]
    return "\n".join(lines + _footer(cmp))


def html_table(cmp: ModelComparison) -> str:
    """The comparison as an HTML table (shown by notebooks)."""
    headers, cells = _table(cmp)
    esc = html.escape
    head = "".join(f"<th>{esc(h)}</th>" for h in headers)
    body = []
    for i, line in enumerate(cells):
        style = ' style="font-weight: bold"' if i == 0 else ""
        body.append(f"<tr{style}>" + "".join(f"<td>{esc(c)}</td>" for c in line) + "</tr>")
    footer = "".join(f"<br>{esc(line)}" for line in _footer(cmp))
    return (
        f"<div><table><caption>{esc(_title(cmp))}</caption>"
        f"<thead><tr>{head}</tr></thead><tbody>{''.join(body)}</tbody></table>"
        f"<small>{footer[4:]}</small></div>"
    )


# How each criterion is drawn: the information criteria on the left axis, the MDL score on
# the right one.
_STYLES = {"rbic": "o-", "bic": "x--", "aic": "+:", "mdl": "s-."}
# The legend's columns, above the axes: the criteria's line styles, the colours of the
# methods and penalty pairs, and the chosen model.
LEGEND_COLUMNS = 3


def plot(cmp: ModelComparison, ax: Any = None) -> Any:
    """Draw the comparison (:meth:`ModelComparison.plot <zarn.compare.ModelComparison.plot>`)."""
    if ax is None:
        plt = import_optional("matplotlib.pyplot", "ModelComparison.plot")
        _, ax = plt.subplots(layout="constrained")
    else:
        import_optional("matplotlib", "ModelComparison.plot")
    Line2D = import_optional("matplotlib.lines", "ModelComparison.plot").Line2D
    ticker = import_optional("matplotlib.ticker", "ModelComparison.plot")
    numeric = all(isinstance(deg, int) for deg in cmp.degrees)
    position = {deg: (deg if numeric else i) for i, deg in enumerate(cmp.degrees)}
    mdl_ax = ax.twinx()
    groups: dict[tuple[str, Any], list[ComparisonRow]] = {}
    for row in sorted(cmp.rows, key=lambda r: position[r.degree]):
        groups.setdefault((row.method, row.penalty), []).append(row)
    order = method_names()
    groups = dict(sorted(groups.items(), key=lambda g: (order.index(g[0][0]), str(g[0][1]))))
    several_pairs = len({penalty for _, penalty in groups}) > 1
    # Each information criterion as its difference from its lowest value (finite ones).
    lowest = {}
    for name in ("rbic", "bic", "aic"):
        finite = [v for r in cmp.rows if math.isfinite(v := getattr(r, name))]
        lowest[name] = min(finite, default=0.0)

    def height(row: ComparisonRow, name: str) -> float:
        value = getattr(row, name)
        return float(value if name == "mdl" else value - lowest[name])

    handles = [
        Line2D([], [], linestyle=_STYLES[name].lstrip("ox+s"), marker=_STYLES[name][0],
               color="0.35", label=name.upper() + (" (right axis)" if name == "mdl" else ""))
        for name in ("rbic", "bic", "aic", "mdl")
    ]  # fmt: skip
    for (method, (g1, g2)), rows in groups.items():
        label = method + (f" (gamma1={g1}, gamma2={g2})" if several_pairs else "")
        xs = [position[row.degree] for row in rows]
        color = None
        for name in ("rbic", "bic", "aic", "mdl"):
            target = mdl_ax if name == "mdl" else ax
            (line,) = target.plot(
                xs,
                [height(row, name) for row in rows],
                _STYLES[name],
                color=color,
                alpha=1.0 if name == cmp.criterion else 0.6,
                label=f"{name.upper()}, {label}",
            )
            color = line.get_color()
        handles.append(Line2D([], [], linewidth=4, color=color, label=label))
    best = cmp.rows[0]
    (star,) = (mdl_ax if cmp.criterion == "mdl" else ax).plot(
        position[best.degree],
        height(best, cmp.criterion),
        "*",
        markersize=16,
        color="black",
        zorder=5,
        label=f"chosen by {cmp.criterion.upper()}: degree {_degree_label(best.degree)}, "
        f"{best.method}",
    )
    if numeric:
        ax.xaxis.set_major_locator(ticker.MaxNLocator(integer=True))
    else:
        ax.set_xticks(range(len(cmp.degrees)))
        ax.set_xticklabels([_degree_label(deg) for deg in cmp.degrees])
    ax.set_xlabel("degree")
    ax.set_ylabel("criterion minus its lowest value (lower is better)")
    mdl_ax.set_ylabel("MDL score (lower is better)")
    # Above the axes, where it covers no curve; constrained layout makes room for it.
    ax.legend(
        handles=[*handles, star],
        loc="lower center",
        bbox_to_anchor=(0.5, 1.0),
        ncols=LEGEND_COLUMNS,
        fontsize="small",
        frameon=False,
    )
    return ax


def _degree_label(degree: Degree) -> str:
    """A degree as given: one int, or a tuple of one per feature."""
    return str(degree) if isinstance(degree, int) else "(" + ", ".join(map(str, degree)) + ")"
