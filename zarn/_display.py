"""Display of a model comparison: its text table, HTML table and plot.

:class:`zarn.compare.ModelComparison` holds the results and calls these functions for its
``repr``, its ``_repr_html_`` (notebooks) and :meth:`~zarn.compare.ModelComparison.plot`.
"""

from __future__ import annotations

import html
from typing import TYPE_CHECKING, Any

from zarn._optional import import_optional
from zarn.models import METHODS

if TYPE_CHECKING:
    from zarn.compare import ComparisonRow, Degree, ModelComparison

# Rows shown by the text and HTML tables; the rest are counted in a last line.
MAX_SHOWN_ROWS = 30


def _title(cmp: ModelComparison) -> str:
    return (
        f"ModelComparison of {len(cmp.rows)} candidate(s) on {cmp.n_samples} samples, "
        "best MDL score first (lower is better)"
    )


def _table(cmp: ModelComparison) -> tuple[list[str], list[list[str]]]:
    """Column headers and the formatted cells of the rows shown."""
    flags = any(row.k_exceeds_n for row in cmp.rows)
    headers = ["rank", "degree", "k", "method", "gamma1", "gamma2", "MDL", "hit rate"]
    headers += ["RMSE", "R²", "Gaussian AIC", "Gaussian BIC", "fit time"]
    headers += ["flag"] if flags else []
    cells = []
    for rank, row in enumerate(cmp.rows[:MAX_SHOWN_ROWS], start=1):
        line = [
            str(rank),
            _degree_label(row.degree),
            str(row.k),
            row.method,
            f"{row.gamma1:.3g}",
            f"{row.gamma2:.3g}",
            f"{row.mdl:.2f}",
            f"{row.hit_rate:.3f}",
            f"{row.rmse:.4g}",
            f"{round(row.r2, 4) + 0.0:.4f}",  # + 0.0: no "-0.0000"
            f"{row.gaussian_aic:.2f}",
            f"{row.gaussian_bic:.2f}",
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


def plot(cmp: ModelComparison, ax: Any = None) -> Any:
    """Draw the comparison (:meth:`ModelComparison.plot <zarn.compare.ModelComparison.plot>`)."""
    if ax is None:
        plt = import_optional("matplotlib.pyplot", "ModelComparison.plot")
        _, ax = plt.subplots()
    else:
        import_optional("matplotlib", "ModelComparison.plot")
    numeric = all(isinstance(deg, int) for deg in cmp.degrees)
    position = {deg: (deg if numeric else i) for i, deg in enumerate(cmp.degrees)}
    bic_ax = ax.twinx()
    groups: dict[tuple[str, float, float], list[ComparisonRow]] = {}
    for row in sorted(cmp.rows, key=lambda r: position[r.degree]):
        groups.setdefault((row.method, row.gamma1, row.gamma2), []).append(row)
    groups = dict(sorted(groups.items(), key=lambda g: (METHODS.index(g[0][0]), g[0][1:])))
    several_pairs = len({(g1, g2) for _, g1, g2 in groups}) > 1
    for (method, g1, g2), rows in groups.items():
        label = method + (f" (gamma1={g1:g}, gamma2={g2:g})" if several_pairs else "")
        xs = [position[row.degree] for row in rows]
        (line,) = ax.plot(xs, [row.mdl for row in rows], "o-", label=f"MDL, {label}")
        bic = [row.gaussian_bic for row in rows]
        bic_ax.plot(xs, bic, "x--", color=line.get_color(), alpha=0.6, label=f"BIC, {label}")
    best = cmp.rows[0]
    ax.plot(
        position[best.degree],
        best.mdl,
        "*",
        markersize=16,
        color="black",
        zorder=5,
        label=f"chosen: degree {_degree_label(best.degree)}, {best.method}",
    )
    if not numeric:
        ax.set_xticks(range(len(cmp.degrees)))
        ax.set_xticklabels([_degree_label(deg) for deg in cmp.degrees])
    ax.set_xlabel("degree")
    ax.set_ylabel("MDL score (lower is better)")
    bic_ax.set_ylabel("Gaussian BIC of the same fit")
    handles, labels = ax.get_legend_handles_labels()
    more_handles, more_labels = bic_ax.get_legend_handles_labels()
    ax.legend(handles + more_handles, labels + more_labels, fontsize="small")
    return ax


def _degree_label(degree: Degree) -> str:
    """A degree as given: one int, or a tuple of one per feature."""
    return str(degree) if isinstance(degree, int) else "(" + ", ".join(map(str, degree)) + ")"
