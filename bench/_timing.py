"""Interleaved timing shared by the benchmark scripts.

A case is a dict with "name", "sizes", "native" and "peer" (zero-argument callables) and
"peer_name". Each side runs in batches sized from one warm-up call; the sides alternate,
case after case, for several rounds, so a drifting load hits both alike; a short pause
before each batch lets the other side's idle thread pools (OpenMP, OpenBLAS) go to sleep,
and an untimed call then brings the side's own memory and threads back.
"""

import statistics
import time


def _batch(fn, number):
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - start) / number


def run_cases(cases, repeats=5, batch_seconds=0.05, pause=0.1, verbose=True):
    """Median seconds per call of each side; returns the cases with t_native, t_peer, ratio."""
    sizes = [
        {
            side: max(1, int(batch_seconds / max(_batch(c[side], 1), 1e-7)))
            for side in ("native", "peer")
        }
        for c in cases
    ]
    samples = [{"native": [], "peer": []} for _ in cases]
    for _ in range(repeats):
        for case, number, sample in zip(cases, sizes, samples):
            for side in ("native", "peer"):
                time.sleep(pause)
                # One untimed call first: the memory that this VM's balloon driver hands back
                # to the host after about two seconds of disuse costs up to 2 ms per MB to
                # touch again, and it would fall on whichever side runs first in a round.
                case[side]()
                sample[side].append(_batch(case[side], number[side]))
    rows = []
    for case, sample in zip(cases, samples):
        t_native, t_peer = statistics.median(sample["native"]), statistics.median(sample["peer"])
        rows.append(dict(case, t_native=t_native, t_peer=t_peer, ratio=t_peer / t_native))
        if verbose:
            print(
                f"{case['name']:34} {case['sizes']:36} zarn {format_seconds(t_native):>9}  "
                f"{case['peer_name']} {format_seconds(t_peer):>9}  "
                f"peer/zarn {t_peer / t_native:6.2f}",
                flush=True,
            )
    return rows


def format_seconds(t):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if t >= scale:
            return f"{t / scale:.3g} {unit}"
    return f"{t / 1e-9:.3g} ns"
