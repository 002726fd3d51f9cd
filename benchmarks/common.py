"""Shared pieces of the benchmark harness: a case, its inputs and its peers."""

from __future__ import annotations

import os
import time
from collections.abc import Callable
from dataclasses import dataclass, field


@dataclass
class Peer:
    """Another way to compute the same thing.

    ``run(n_threads)`` computes it on the case's data; ``threaded`` says whether the
    thread count means anything to it (NumPy, SciPy, Python and bottleneck run on one
    thread whatever it is). ``exact``: its outputs must equal ours bit for bit;
    otherwise they are compared to a relative tolerance (other summation orders).
    """

    label: str
    run: Callable[[int], object]
    threaded: bool = True
    exact: bool = True
    repeat: int | None = None  # None: as many as ours


@dataclass
class Setup:
    """The data of one case, built once: our call, the peers, the bytes it moves."""

    size: str
    ours: Callable[[int], object]
    peers: list[Peer] = field(default_factory=list)
    moved: int = 0  # bytes read and written by a streaming kernel (0: not one)


@dataclass
class Case:
    """One row of the table. ``make(scale)`` builds the inputs at ``scale`` times the
    full benchmark size; ``small()`` builds a small input with missing data on which
    the peers are checked against our outputs (and compiled, for Numba) before timing.
    """

    function: str
    make: Callable[[float], Setup]
    small: Callable[[], Setup] | None = None


def best_time(fn: Callable[[], object], repeat: int) -> tuple[float, object]:
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def all_threads() -> int:
    return os.cpu_count() or 1


def scaled(n: int, scale: float, least: int = 1) -> int:
    return max(least, int(round(n * scale)))


def numba_peers():
    """The Numba module of peers, or None where Numba is not installed."""
    try:
        import numba_peers
    except ImportError:
        return None
    return numba_peers


def with_threads(fn: Callable[[], object]) -> Callable[[int], object]:
    """A Numba call run with the given number of threads."""
    import numba

    def run(n_threads: int) -> object:
        numba.set_num_threads(n_threads)
        return fn()

    return run
