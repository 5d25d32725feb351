"""Execution of a plan's blocks of series: in this process, in joblib workers, or on Dask.

Each backend cuts the series (rows of ``Yt``) into blocks, has each block fitted by
:func:`fit_block` (a plan's ``fit_block``, as a module-level function that pickles by
name), and gathers the packed rows in order. A progress bar (tqdm) follows the blocks of
the NumPy backends; Dask has its own.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from zarn._optional import import_optional
from zarn._plans import Plan


def fit_block(Yt: np.ndarray, plan: Plan) -> np.ndarray:
    """The packed fits of the rows of one block (a task of a worker)."""
    return plan.fit_block(np.asarray(Yt, dtype=np.float64))


def run_blocks(
    Yt: np.ndarray, plan: Plan, n_jobs: int, chunk_size: int | None, progress: bool
) -> np.ndarray:
    """Fit the rows of Yt block by block, here (``n_jobs=1``) or in joblib workers."""
    m, n = Yt.shape
    size = plan.block_size(m, n) if chunk_size is None else chunk_size
    blocks = (Yt[s : s + size] for s in range(0, m, size))
    if n_jobs == 1:
        results = (fit_block(b, plan) for b in blocks)
    else:
        joblib = import_optional("joblib", "fit_many with n_jobs != 1")
        parallel = joblib.Parallel(n_jobs=n_jobs, backend="loky", return_as="generator")
        results = parallel(joblib.delayed(fit_block)(b, plan) for b in blocks)
    bar = None
    if progress:
        tqdm = import_optional("tqdm", "fit_many with progress=True")
        bar = tqdm.tqdm(total=m, unit="series", desc="fit_many")
    out = np.empty((m, plan.k + 3))
    s = 0
    for res in results:
        out[s : s + len(res)] = res
        s += len(res)
        if bar is not None:
            bar.update(len(res))
    if bar is not None:
        bar.close()
    return out


def dask_blocks(Yt: Any, plan: Plan) -> Any:
    """The packed fits of a Dask array Yt (n_series, n), one map_blocks task per block."""
    import_optional("dask.array", "fit_many on a Dask array")
    dask = import_optional("dask", "fit_many on a Dask array")
    Yt = Yt.rechunk({1: -1})  # one chunk along the samples
    # The plan is one task of the graph: sent to each worker once, not with every block.
    return Yt.map_blocks(
        fit_block,
        dask.delayed(plan, pure=True),
        chunks=(Yt.chunks[0], (plan.k + 3,)),
        dtype=np.float64,
        meta=np.empty((0, 0)),
    )
