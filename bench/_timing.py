"""Interleaved timing shared by the benchmark scripts."""

import statistics
import time


def time_once(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def interleaved(native, peer, budget=1.0, max_reps=25, min_reps=3):
    """Median seconds of native and peer, timed alternately so drifts hit both sides.

    The repetition count is chosen from one warm-up call of each so that a case takes
    roughly `budget` seconds per side.
    """
    first = time_once(native) + time_once(peer)
    reps = max(min_reps, min(max_reps, int(2 * budget / max(first, 1e-9))))
    t_native, t_peer = [], []
    for _ in range(reps):
        t_native.append(time_once(native))
        t_peer.append(time_once(peer))
    return statistics.median(t_native), statistics.median(t_peer), reps


def format_seconds(t):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if t >= scale:
            return f"{t / scale:.3g} {unit}"
    return f"{t / 1e-9:.3g} ns"


def run_cases(cases, budget=1.0):
    """Times every case and prints one line each; returns the rows."""
    rows = []
    for case in cases:
        t_native, t_peer, reps = interleaved(case["native"], case["peer"], budget)
        row = dict(case, t_native=t_native, t_peer=t_peer, reps=reps, ratio=t_peer / t_native)
        rows.append(row)
        print(
            f"{case['name']:<40} {case['sizes']:<28} native {format_seconds(t_native):>10}  "
            f"{case['peer_name']} {format_seconds(t_peer):>10}  ratio {row['ratio']:6.2f}x",
            flush=True,
        )
    return rows
