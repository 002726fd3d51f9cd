"""Shared pieces of the benchmark harness: a case and its timing."""

from __future__ import annotations

import os
import time
from dataclasses import dataclass
from typing import Callable


@dataclass
class Case:
    """One row of the table.

    ``setup`` builds the data once and returns ``(ours, peer)``: ``ours(n_threads)``
    runs our function, ``peer()`` runs what a user would otherwise write on the same
    data. A case whose result is ``bytes`` also reports output MB/s on one thread.
    """

    function: str
    size: str
    setup: Callable[[], tuple[Callable[[int], object], Callable[[], object]]]
    repeat: int = 3
    peer_repeat: int = 1


def best_time(fn: Callable[[], object], repeat: int) -> tuple[float, object]:
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def all_threads() -> int:
    return os.cpu_count() or 1
