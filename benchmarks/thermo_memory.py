"""Peak memory of thermo and of its NumPy peer on the benchmark's 10,000,000 points.

    python benchmarks/thermo_memory.py

NumPy reports its array allocations to tracemalloc, so the traced peak of each call
is the memory it needs beyond its inputs.
"""

from __future__ import annotations

import sys
import tracemalloc
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_kestrum import thermo_data, thermo_numpy  # noqa: E402

import _kestrum  # noqa: E402


def peak(fn) -> int:
    tracemalloc.start()
    tracemalloc.reset_peak()
    result = fn()
    size = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    del result
    return size


def main() -> None:
    t, p, td = thermo_data()
    result_mb = 4 * t.size * 8 / 1e6
    ours, peer = peak(lambda: _kestrum.thermo(t, p, td)), peak(lambda: thermo_numpy(t, p, td))
    print(f"input: 3 x {t.size:,} points ({3 * t.nbytes / 1e6:.0f} MB); result {result_mb:.0f} MB")
    print(f"thermo peak      {ours / 1e6:8.0f} MB  ({ours / (result_mb * 1e6):.2f} x result)")
    print(f"NumPy peer peak  {peer / 1e6:8.0f} MB  ({peer / (result_mb * 1e6):.2f} x result)")


if __name__ == "__main__":
    main()
