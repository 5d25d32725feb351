"""Execution of a plan's blocks of series: in this process, in joblib workers, or on Dask.

Each backend cuts the series (rows of ``Yt``, the samples along its last axis) into
blocks, has each block fitted by :func:`fit_block` (a plan's ``fit_block``, as a
module-level function that pickles by name), and gathers the packed rows in order. A
progress bar (tqdm) follows the blocks of the NumPy backends; Dask has its own.
"""

from __future__ import annotations

import contextlib
import os
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

from zarn._optional import import_optional
from zarn._plans import Plan, width

# Threads of the calling process that fit blocks of a threaded plan at once: the linear
# route's work is memory-bound and the robust engine threads each block itself, so more
# gain little.
MAX_THREADS = 4


def fit_block(Yt: np.ndarray, plan: Plan) -> np.ndarray:
    """The packed fits of one block (a task of a worker), the samples along its last axis.

    The packed values of each series replace the sample axis (a view of the plan's
    layout, one row per quantity); a block of more than two dimensions (the chunk of a
    cube) is fitted as its series.
    """
    Yt = np.asarray(Yt, dtype=np.float64)
    packed = plan.fit_block(Yt.reshape(-1, Yt.shape[-1])).T
    return packed.reshape(Yt.shape[:-1] + (packed.shape[-1],))


def run_blocks(
    Yt: np.ndarray, plan: Plan, n_jobs: int, chunk_size: int | None, progress: bool
) -> np.ndarray:
    """The packed fits (n_series, width) of the rows of Yt, fitted block by block: here
    (``n_jobs=1``; a threaded plan on up to ``MAX_THREADS`` threads), each block into its
    own columns of the result, or in joblib workers."""
    m, n = Yt.shape
    size = plan.block_size(m, n) if chunk_size is None else chunk_size
    starts = range(0, m, size)
    out = np.empty((width(plan.k), m))

    def here(s: int) -> None:
        plan.fit_block(Yt[s : s + size], out[:, s : s + size])

    bar = None
    if progress:
        tqdm = import_optional("tqdm", "fit_many with progress=True")
        bar = tqdm.tqdm(total=m, unit="series", desc="fit_many")
    threads = min(len(starts), os.cpu_count() or 1, MAX_THREADS) if plan.threaded else 1
    with contextlib.ExitStack() as stack:
        if n_jobs != 1:
            joblib = import_optional("joblib", "fit_many with n_jobs != 1")
            parallel = joblib.Parallel(n_jobs=n_jobs, backend="loky", return_as="generator")
            results = parallel(joblib.delayed(fit_block)(Yt[s : s + size], plan) for s in starts)
        elif threads > 1:
            # NumPy and the robust engine release the interpreter lock while they compute:
            # blocks on threads at once (the same results, block by block).
            results = stack.enter_context(ThreadPoolExecutor(threads)).map(here, starts)
        else:
            results = map(here, starts)
        for s, res in zip(starts, results):
            if res is not None:
                out[:, s : s + size] = res.T
            if bar is not None:
                bar.update(min(size, m - s))
    if bar is not None:
        bar.close()
    return out.T


def dask_blocks(Yt: Any, plan: Plan) -> Any:
    """The packed fits of a Dask array Yt (..., n), one map_blocks task per chunk.

    The samples are rechunked into one chunk; the chunks of the other axes are kept, and
    the packed values of each series replace the sample axis.
    """
    import_optional("dask.array", "fitting a Dask array")
    dask = import_optional("dask", "fitting a Dask array")
    Yt = Yt.rechunk({Yt.ndim - 1: -1})  # one chunk along the samples
    # The plan is one task of the graph: sent to each worker once, not with every block.
    return Yt.map_blocks(
        fit_block,
        dask.delayed(plan, pure=True),
        chunks=Yt.chunks[:-1] + ((width(plan.k),),),
        dtype=np.float64,
        meta=np.empty((0,) * Yt.ndim),
    )
