"""Benchmark table: each function against the code a user would otherwise write.

    python benchmarks/run.py                   # every case, half the full sizes (~4 min)
    python benchmarks/run.py vad mode          # only the named functions
    python benchmarks/run.py --scale 1         # the full sizes
    python benchmarks/run.py --no-slow         # leave out the slow NumPy/Python peers

The peers are NumPy, SciPy or plain Python (what a user writes first), and, with the
``bench`` extra installed, Numba loops (``@njit(parallel=True)``), numbagg and
bottleneck (what a user who needs speed writes). Before timing, every Numba, numbagg
and bottleneck peer runs once on a small input with missing data: that first call
compiles it (its time is printed, not counted) and its outputs are compared with ours.

Each case then runs ours and every peer at one thread and at all threads, interleaved
(one run of each in turn, best of ``--repeat`` rounds), so that other load on the
machine falls on both sides alike. The load average is printed with every case. The
harness also measures the machine's memory bandwidth (a large copy and a read-only
sum) and, for the kernels that stream their data, the bytes they move and the fraction
of that bandwidth they reach.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import os
import platform
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import all_threads, numba_peers  # noqa: E402

MODULES = ["bench_kestrum", "bench_ensemble", "bench_tavolin"]
CHECKED = ("Numba", "numbagg", "bottleneck")  # peers compared with our outputs
SLOW = 1.0  # seconds: a peer slower than this at one thread is run once
SETTLE = 0.02  # seconds of rest before each timed run


def cases():
    for name in MODULES:
        try:
            module = importlib.import_module(name)
        except ModuleNotFoundError as error:
            if error.name != name:
                raise
            continue
        yield from module.CASES


def load() -> str:
    return f"{os.getloadavg()[0]:.1f}"


def parts(result):
    return [np.asarray(p) for p in (result if isinstance(result, tuple) else (result,))]


def agreement(ours, theirs, exact: bool) -> str:
    """How a peer's outputs compare with ours."""
    a_parts, b_parts = parts(ours), parts(theirs)
    if len(a_parts) != len(b_parts):
        return "DIFFERENT number of outputs"
    worst = 0.0
    for a, b in zip(a_parts, b_parts):
        b = b.reshape(a.shape) if b.size == a.size else b
        if a.shape != b.shape:
            return f"DIFFERENT shapes {a.shape} {b.shape}"
        if exact:
            if a.tobytes() == b.astype(a.dtype).tobytes():
                continue
            same = np.array_equal(a, b, equal_nan=True)
            num = ~np.isnan(a)
            if same and np.array_equal(np.signbit(a[num]), np.signbit(b[num])):
                continue  # NaNs of another sign or payload only
            return f"DIFFERENT ({int(np.sum(~((a == b) | (np.isnan(a) & np.isnan(b)))))} values)"
        a, b = a.astype(np.float64), b.astype(np.float64)
        if not np.array_equal(np.isnan(a), np.isnan(b)):
            return "DIFFERENT missing values"
        ok = ~np.isnan(a)
        if ok.any():
            rel = np.abs(a[ok] - b[ok]) / np.maximum(np.abs(a[ok]), 1e-300)
            worst = max(worst, float(rel.max()))
    return "identical" if exact else f"within {worst:.1e} (other summation order)"


def bandwidth(threads: list[int], repeat: int) -> dict[int, tuple[float, float]]:
    """GB/s of a large copy (bytes read + written) and of a read-only sum, per thread count."""
    nb = numba_peers()
    if nb is None:
        return {}
    import numba

    n = 32 * 2**20  # 256 MB a buffer
    src = np.ones(n, dtype=np.uint64)
    dst = np.zeros(n, dtype=np.uint64)
    nb.copy(src[:1024], dst[:1024])
    nb.read_sum(src[:1024])
    best = {t: [np.inf, np.inf] for t in threads}
    for _ in range(repeat):
        for t in threads:
            numba.set_num_threads(t)
            t0 = time.perf_counter()
            nb.copy(src, dst)
            t1 = time.perf_counter()
            nb.read_sum(src)
            t2 = time.perf_counter()
            best[t][0] = min(best[t][0], t1 - t0)
            best[t][1] = min(best[t][1], t2 - t1)
    return {t: (2 * src.nbytes / c / 1e9, src.nbytes / s / 1e9) for t, (c, s) in best.items()}


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:,.0f} ms" if seconds >= 0.0995 else f"{seconds * 1e3:.1f} ms"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("functions", nargs="*", help="run only these functions")
    parser.add_argument("--scale", type=float, default=0.5, help="fraction of the full sizes")
    parser.add_argument("--repeat", type=int, default=3, help="rounds (best is kept)")
    parser.add_argument("--no-slow", action="store_true", help="skip the NumPy/Python peers")
    args = parser.parse_args()
    started = time.perf_counter()
    many = all_threads()
    threads = [1, many] if many > 1 else [1]
    print(
        f"# {platform.machine()}, {many} threads, Python {platform.python_version()}, "
        f"NumPy {np.__version__}, scale {args.scale}, best of {args.repeat}, load {load()}"
    )
    nb = numba_peers()
    if nb is None:
        print("# Numba not installed: only the NumPy/Python peers (pip install '.[bench]')")
    bw = bandwidth(threads, 5)
    for t, (copy, read) in bw.items():
        print(
            f"# memory bandwidth, {t} thr: copy {copy:.1f} GB/s (read + write), "
            f"read-only sum {read:.1f} GB/s"
        )

    rows, streams, notes = [], [], []
    for case in cases():
        if args.functions and case.function not in args.functions:
            continue
        # Compile and check the peers on a small input with missing data.
        if case.small is not None and nb is not None:
            small = case.small()
            ours_small = small.ours(1)
            for peer in small.peers:
                if peer.label not in CHECKED:
                    continue
                t0 = time.perf_counter()
                theirs = peer.run(1)
                first = time.perf_counter() - t0
                notes.append(
                    f"{case.function} ({small.size}): {peer.label} "
                    f"{agreement(ours_small, theirs, peer.exact)}; first call "
                    f"(compile) {first:.2f} s"
                )
                print(f"# {notes[-1]}", flush=True)
        setup = case.make(args.scale)
        peers = [p for p in setup.peers if not (args.no_slow and p.label not in CHECKED)]
        gc.collect()
        case_load = load()
        # A variant: (key, fn, rounds). Ours and the peers run in turn within each round.
        variants = [(("ours", t), (lambda t=t, s=setup: s.ours(t)), args.repeat) for t in threads]
        for p in peers:
            rounds = p.repeat or args.repeat
            for t in threads if p.threaded else [1]:
                variants.append(((p.label, t), (lambda p=p, t=t: p.run(t)), rounds))
        best: dict = {}
        result = None
        for r in range(args.repeat):
            for key, fn, rounds in variants:
                if r >= rounds or (
                    r > 0 and key[0] != "ours" and best[key] > SLOW * 4 and key[0] not in CHECKED
                ):
                    continue
                # OpenMP's workers (Numba's threading layer here) spin for a few ms after
                # a parallel loop; let them go idle so they don't share the cores with
                # whatever runs next.
                time.sleep(SETTLE)
                t0 = time.perf_counter()
                out = fn()
                best[key] = min(best.get(key, np.inf), time.perf_counter() - t0)
                if key == ("ours", 1):
                    result = out
                del out
            gc.collect()
        ours = [best[("ours", t)] for t in threads]
        rate = ""
        if isinstance(result, bytes):
            rate = f"{len(result) / best[('ours', 1)] / 1e6:,.0f} MB/s at 1 thr"
        line = (
            f"{case.function:<13} {setup.size:<40} ours "
            + " / ".join(ms(x) for x in ours)
            + f"  (load {case_load}) {rate}"
        )
        print(line, flush=True)
        for p in peers:
            theirs = [best[(p.label, t if p.threaded else 1)] for t in threads]
            rows.append((case.function, setup.size, p.label, ours, theirs, case_load))
            print(
                f"    {p.label:<38} "
                + " / ".join(ms(x) for x in theirs)
                + "  ratio "
                + " / ".join(f"{b / a:.2f}x" for a, b in zip(ours, theirs)),
                flush=True,
            )
        if setup.moved or rate:
            numba_t = [best.get(("Numba", t)) for t in threads]
            streams.append(
                (
                    case.function,
                    setup.size,
                    setup.moved,
                    ours,
                    numba_t,
                    len(result) if isinstance(result, bytes) else 0,
                )
            )
        del setup, peers, variants, result
        gc.collect()

    tl = [f"{t} thr" for t in threads]
    print("\n## Times (best of the rounds; ratio = peer time / our time, above 1: we are faster)\n")
    print(
        "| function | size | peer | ours "
        + " | ours ".join(tl)
        + " | peer "
        + " | peer ".join(tl)
        + " | "
        + " | ".join(f"peer/ours {x}" for x in tl)
        + " | load |"
    )
    print("|" + "---|" * (4 + 3 * len(threads)))
    for fn, size, label, ours, theirs, case_load in rows:
        print(
            f"| `{fn}` | {size} | {label} | "
            + " | ".join(ms(x) for x in ours)
            + " | "
            + " | ".join(ms(x) for x in theirs)
            + " | "
            + " | ".join(f"{b / a:.2f}x" for a, b in zip(ours, theirs))
            + f" | {case_load} |"
        )
    # The bandwidth again at the end: under other load the best of both is the fairer
    # measure of what the machine can do.
    for t, (copy, read) in bandwidth(threads, 5).items():
        bw[t] = (max(bw[t][0], copy), max(bw[t][1], read))
    if streams:
        print(
            "\n## Bytes moved (inputs read + results written) and the fraction of the "
            "memory bandwidth reached: of the copy's, and of the read-only sum's\n"
        )
        print(
            "| function | size | MB moved | "
            + " | ".join(f"ours {x}: GB/s (copy, read)" for x in tl)
            + " | "
            + " | ".join(f"Numba {x}: GB/s" for x in tl)
            + " |"
        )
        print("|" + "---|" * (3 + 2 * len(threads)))
        for fn, size, moved, ours, numba_t, text in streams:
            if text:
                cells = [f"{text / s / 1e6:,.0f} MB/s of text" for s in ours]
                print(
                    f"| `{fn}` | {size} | {text / 1e6:,.0f} (output) | "
                    + " | ".join(cells)
                    + " | "
                    + " | ".join("" for _ in threads)
                    + " |"
                )
                continue
            cells = []
            for t, s in zip(threads, ours):
                rate = moved / s / 1e9
                frac = f" ({rate / bw[t][0]:.0%}, {rate / bw[t][1]:.0%})" if t in bw else ""
                cells.append(f"{rate:.1f}{frac}")
            nbc = [f"{moved / s / 1e9:.1f}" if s else "" for s in numba_t]
            print(
                f"| `{fn}` | {size} | {moved / 1e6:,.0f} | "
                + " | ".join(cells)
                + " | "
                + " | ".join(nbc)
                + " |"
            )
        if bw:
            print(
                "\nBest of the bandwidth measured at the start and at the end. Copy: "
                + ", ".join(f"{bw[t][0]:.1f} GB/s at {t} thr" for t in threads)
                + "; read-only: "
                + ", ".join(f"{bw[t][1]:.1f} GB/s at {t} thr" for t in threads)
                + "."
            )
    if notes:
        print("\n## Peers checked on a small input with missing data\n")
        for note in notes:
            print(f"- {note}")
    print(f"\n# {time.perf_counter() - started:.0f} s in all; load at the end {load()}")


if __name__ == "__main__":
    main()
