"""What the public ``kestrum`` wrappers add to their native calls.

    python benchmarks/bench_public.py            # every wrapper
    python benchmarks/bench_public.py vad thermo

The first rows give each wrapper the native call's data in the wrapper's layout and
units (a sweep as (rays, gates) in degrees), so the overhead is what the wrapper
itself adds; the indented rows give it data the native call cannot take as it is
(a C-ordered (rays, gates) sweep, one height axis for all columns, a scalar) and
time it against the native call on that data prepared beforehand (not timed).
Both use all threads and run alternately, best of ``--repeat``; the overhead is
wrapper / native - 1. Since that difference drowns in the noise of a loaded machine,
the last two columns time the wrapper once more around a stand-in of its native
function (which copies what the native function would copy and returns the result
computed beforehand): the wrapper's own work, and its share of the native time.
"""

from __future__ import annotations

import argparse
import gc
import os
import time
from collections.abc import Callable

import numpy as np

import _ensemble
import _kestrum
import kestrum


def vad_data():
    # The native benchmark's 14 x 1000 rings of 360 gates, i.e. 14 sweeps of 360 rays.
    rng = np.random.default_rng(1)
    sweeps, rays, gates = 14, 360, 1000
    az = np.arange(rays) + 0.5
    el = np.linspace(0.5, 19.5, sweeps)[:, None]
    u, v = rng.normal(10, 5, (sweeps, gates, 1)), rng.normal(0, 5, (sweeps, gates, 1))
    a = np.deg2rad(az)
    vr = (u * np.sin(a) + v * np.cos(a)) * np.cos(np.deg2rad(el))[..., None]
    vr += rng.normal(0, 1.5, vr.shape)
    vr[rng.random(vr.shape) < 0.05] = np.nan
    vr = vr.reshape(-1, rays)
    az_rad = np.broadcast_to(np.deg2rad(az), vr.shape).copy()
    cos_el = np.repeat(np.cos(np.deg2rad(el[:, 0])), gates)
    return vr, az, el, az_rad, cos_el, (sweeps, gates, rays)


def vad_case(pyart_layout=False):
    vr, az, el, az_rad, cos_el, shape = vad_data()
    # The sweeps as (sweep, rays, gates): a view of the native rows, or (Py-ART's
    # layout) a C-ordered copy that the wrapper has to transpose.
    velocity = vr.reshape(shape).swapaxes(1, 2)
    if pyart_layout:
        velocity = np.ascontiguousarray(velocity)
    return (
        lambda t: kestrum.vad(velocity, az, el, min_gates=10, min_spread=0.05, n_threads=t),
        lambda t: _kestrum.vad(vr, az_rad, cos_el, 10, 0.05, t),
    )


def gradient_case():
    rng = np.random.default_rng(2)
    f = rng.normal(size=(50, 1000, 1000))
    x = np.arange(1000) * 250.0
    return (
        lambda t: kestrum.gradient(f, x, x, n_threads=t),
        lambda t: _kestrum.gradient(f, x, x, t),
    )


def profile_case():
    rng = np.random.default_rng(3)
    n, levels = 1_000_000, 50
    z = np.sort(rng.uniform(0, 12000, (n, levels)), axis=1)
    u, v = rng.normal(10, 8, (n, levels)), rng.normal(0, 8, (n, levels))
    ground = np.zeros(n)
    cu, cv = rng.normal(8, 3, n), rng.normal(2, 3, n)
    return (
        lambda t: kestrum.profile(z, u, v, ground, 0.0, 3000.0, cu, cv, n_threads=t),
        lambda t: _kestrum.profile(z, u, v, ground, 0.0, 3000.0, cu, cv, t),
    )


def cold_pool_case(shared=False):
    rng = np.random.default_rng(4)
    n, levels = 1_000_000, 50
    z = np.arange(levels) * 100.0
    b = rng.normal(-0.02, 0.03, (n, levels))
    z_full = np.broadcast_to(z, (n, levels)).copy()
    zeros, top = np.zeros(n), np.full(n, np.nan)
    if shared:
        return (
            lambda t: kestrum.cold_pool(z, b, 0.0, 0.0, np.nan, n_threads=t),
            lambda t: _kestrum.cold_pool(z_full, b, zeros, 0.0, top, t),
        )
    return (
        lambda t: kestrum.cold_pool(z_full, b, zeros, 0.0, top, n_threads=t),
        lambda t: _kestrum.cold_pool(z_full, b, zeros, 0.0, top, t),
    )


def thermo_case(scalar=False):
    rng = np.random.default_rng(5)
    shape = (100, 100_000)
    t = rng.uniform(250, 310, shape)
    td = t - rng.uniform(0, 20, shape)
    p_full = np.full(shape, 85000.0)
    p = 85000.0 if scalar else p_full
    return (
        lambda th: kestrum.thermo(t, p, td, n_threads=th),
        lambda th: _kestrum.thermo(t, p_full, td, th),
    )


def perturb_case():
    rng = np.random.default_rng(6)
    n, members = 1_000_000, 50
    fields = [
        rng.normal(30, 10, n),
        rng.normal(1, 1, n),
        rng.uniform(0, 180, n),
        rng.uniform(0.9, 1, n),
        rng.normal(0, 10, n),
    ]
    fac = np.repeat(np.array([0.2, 0.8, 0.4, 3.0, 0.02, 1.5])[:, None], n, axis=1)
    bias = rng.normal(0, 1, members)
    return (
        lambda t: kestrum.perturb(*fields, 31, fac, bias, bias, 1, 2, 0, n_threads=t),
        lambda t: _ensemble.perturb(*fields, 31, fac, bias, bias, 1, 2, 0, t),
    )


def statistics_case():
    rng = np.random.default_rng(7)
    values = rng.normal(size=(50, 1_000_000)).astype(np.float32)
    values[rng.random(values.shape) < 0.01] = np.nan
    return (
        lambda t: kestrum.statistics(values, [10, 25, 50, 75, 90], n_threads=t),
        lambda t: _ensemble.statistics(values, [10, 25, 50, 75, 90], 1, t),
    )


def mode_case():
    rng = np.random.default_rng(8)
    codes = rng.integers(0, 10, (50, 1_000_000)).astype(np.float32)
    return (
        lambda t: kestrum.mode(codes, 10, n_threads=t),
        lambda t: _ensemble.mode(codes, 10, 1, t),
    )


#: One row per wrapper, given the data of the native call (in the wrapper's layout and units).
CASES_BY_NAME: dict[str, tuple[str, Callable]] = {
    "vad": ("14 sweeps x 360 rays x 1000 gates", vad_case),
    "gradient": ("50 fields x 1000 x 1000", gradient_case),
    "profile": ("1,000,000 columns x 50 levels", profile_case),
    "cold_pool": ("1,000,000 columns x 50 levels", cold_pool_case),
    "thermo": ("10,000,000 points", thermo_case),
    "perturb": ("50 members x 1,000,000 gates, 5 fields", perturb_case),
    "statistics": ("50 x 1,000,000, 5 pct, 1% NaN", statistics_case),
    "mode": ("50 x 1,000,000, 10 codes", mode_case),
}

#: What the conveniences cost beside that: the wrapper on data the native call cannot
#: take as it is (against the native call on the data prepared beforehand).
CONVENIENCE: dict[str, tuple[str, Callable]] = {
    "vad": ("  rays x gates in C order (transposed)", lambda: vad_case(pyart_layout=True)),
    "cold_pool": ("  one height axis for all columns", lambda: cold_pool_case(shared=True)),
    "thermo": ("  scalar p", lambda: thermo_case(scalar=True)),
}


class _Stand_in:
    """A native module whose functions do only what the real ones do before their loop
    (copy an argument that is not C-contiguous of the kernel's dtype) and hand back a
    result computed beforehand: timing the wrapper with it gives the wrapper's own
    work, which the load of a shared machine disturbs much less than the kernels."""

    def __init__(self, module, results):
        self._module, self._results = module, results

    def __getattr__(self, name):
        result = self._results[name]
        dtype = np.float32 if name in ("statistics", "mode") else np.float64

        # Arguments a native function reads in any layout, by position.
        strided = {"vad_sweeps": (0,)}.get(name, ())

        def call(*args):
            for i, a in enumerate(args):
                if i in strided and isinstance(a, np.ndarray) and a.dtype == dtype:
                    continue
                if isinstance(a, np.ndarray) and not (a.flags.c_contiguous and a.dtype == dtype):
                    np.ascontiguousarray(
                        np.ma.filled(a, np.nan) if np.ma.isMaskedArray(a) else a,
                        dtype=dtype if i == 0 or dtype == np.float64 else np.float64,
                    )
            return result

        return call


def own_time(name, wrapper, threads, repeat):
    """Best time of the wrapper around a stand-in of its native function."""
    import kestrum.ensemble
    import kestrum.fields
    import kestrum.radar

    holder = {
        "vad": kestrum.radar,
        "statistics": kestrum.ensemble,
        "mode": kestrum.ensemble,
        "perturb": kestrum.ensemble,
    }.get(name, kestrum.fields)
    attr = "_ensemble" if holder is kestrum.ensemble else "_kestrum"
    real = getattr(holder, attr)
    calls = {}

    class Recorder:
        def __getattr__(self, fn):
            def call(*args):
                calls[fn] = getattr(real, fn)(*args)
                return calls[fn]

            return call

    setattr(holder, attr, Recorder())
    try:
        wrapper(threads)
        setattr(holder, attr, _Stand_in(real, calls))
        best = float("inf")
        for _ in range(repeat):
            t0 = time.perf_counter()
            wrapper(threads)
            best = min(best, time.perf_counter() - t0)
    finally:
        setattr(holder, attr, real)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("functions", nargs="*")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    threads = os.cpu_count() or 1
    print(f"# {threads} threads, load average {os.getloadavg()[0]:.2f} at start")
    print(
        f"{'wrapper':<12}{'data':<40}{'native':>12}{'wrapper':>12}{'overhead':>10}"
        f"{'own work':>12}{'own/native':>11}"
    )
    rows = [(n, c) for n, c in CASES_BY_NAME.items()] + [(n, c) for n, c in CONVENIENCE.items()]
    for name, (size, setup) in rows:
        if args.functions and name not in args.functions:
            continue
        wrapper, native = setup()
        native(threads), wrapper(threads)  # first touch of the inputs and the allocator
        gc.collect()
        best = {"native": float("inf"), "wrapper": float("inf")}
        for _ in range(args.repeat):
            for label, fn in (("native", native), ("wrapper", wrapper)):
                t0 = time.perf_counter()
                fn(threads)
                best[label] = min(best[label], time.perf_counter() - t0)
        own = own_time(name, wrapper, threads, args.repeat)
        print(
            f"{name:<12}{size:<40}{best['native'] * 1e3:9.1f} ms{best['wrapper'] * 1e3:9.1f} ms"
            f"{(best['wrapper'] / best['native'] - 1) * 100:9.1f}%{own * 1e3:9.2f} ms"
            f"{own / best['native'] * 100:10.1f}%",
            flush=True,
        )
        del wrapper, native
        gc.collect()
    print(f"# load average {os.getloadavg()[0]:.2f} at end")


if __name__ == "__main__":
    main()
