"""Benchmark table: each function against what a user would otherwise write.

    python benchmarks/run.py              # every case
    python benchmarks/run.py vad thermo   # only the named functions

For every case the function runs with all threads and with one thread, its peer runs
on the same data in the same process (best of the case's `peer_repeat` runs), and the
table prints the times, the speed-ups over the peer and the scaling from one thread to
all.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import platform
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import all_threads, best_time  # noqa: E402

MODULES = ["bench_kestrum", "bench_ensemble", "bench_tavolin"]


def cases():
    for name in MODULES:
        try:
            module = importlib.import_module(name)
        except ModuleNotFoundError as error:
            if error.name != name:
                raise
            continue
        yield from module.CASES


def fmt(seconds: float) -> str:
    return f"{seconds * 1e3:10.1f} ms"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("functions", nargs="*", help="run only these functions")
    args = parser.parse_args()
    threads = all_threads()
    print(f"# {platform.machine()}, {threads} threads, Python {platform.python_version()}")
    header = (
        f"{'function':<14}{'size':<34}{f'ours ({threads} thr)':>14}{'ours (1 thr)':>14}"
        f"{'peer':>14}{'peer/ours(1)':>14}{f'peer/ours({threads})':>14}"
        f"{f'1->{threads} thr':>10}{'MB/s/thr':>10}"
    )
    print(header)
    print("-" * len(header))
    for case in cases():
        if args.functions and case.function not in args.functions:
            continue
        ours, peer = case.setup()
        gc.collect()
        t_all, _ = best_time(lambda: ours(threads), case.repeat)
        t_one, result = best_time(lambda: ours(1), case.repeat)
        t_peer, _ = best_time(peer, case.peer_repeat)
        rate = f"{len(result) / t_one / 1e6:10.0f}" if isinstance(result, bytes) else f"{'':>10}"
        print(
            f"{case.function:<14}{case.size:<34}{fmt(t_all)}{fmt(t_one)}{fmt(t_peer)}"
            f"{t_peer / t_one:13.1f}x{t_peer / t_all:13.1f}x{t_one / t_all:9.2f}x{rate}",
            flush=True,
        )
        del ours, peer, result
        gc.collect()


if __name__ == "__main__":
    main()
