"""Order of the gallery: the quickstart first, the topics in the user guide's order, then the
native core."""

from __future__ import annotations

ORDER = [
    "quickstart.py",
    "plot_penalties.py",
    "plot_robust.py",
    "plot_uncertainty.py",
    "plot_choose_degree.py",
    "plot_surface.py",
    "plot_many_series.py",
    "plot_trend_map.py",
    "plot_robust_trend_map.py",
    "plot_elnino_trend.py",
    "plot_sst_trends.py",
    "plot_seasonal_clouds.py",
    "plot_groupby.py",
    "plot_native_core.py",
]


class ExampleOrder:
    """Sort key for sphinx-gallery: listed examples in ``ORDER``, any others after them."""

    def __init__(self, src_dir: str) -> None:
        self.src_dir = src_dir

    def __call__(self, filename: str) -> tuple[int, str]:
        rank = ORDER.index(filename) if filename in ORDER else len(ORDER)
        return rank, filename

    def __repr__(self) -> str:
        return f"<{type(self).__name__}>"
