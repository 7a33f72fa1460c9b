"""Timing helper shared by the benchmark scripts."""

import statistics
import time


def sample(call):
    """Seconds per call, repeating the call until the sample lasts 20 ms."""
    count, start = 0, time.perf_counter()
    while True:
        call()
        count += 1
        took = time.perf_counter() - start
        if took >= 0.02:
            return took / count


def median_seconds(action, repeats):
    """Median wall-clock seconds of `repeats` calls."""
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        action()
        times.append(time.perf_counter() - started)
    return statistics.median(times)
