"""Dealiasing a NEXRAD volume: kestrum beside Py-ART's region-based and phase-unwrapping
dealiasing, on the same aliased data, with the fraction of gates each puts on the true fold.

    python benchmarks/bench_dealias.py              # the full volume (16 sweeps, 13.2 M gates)
    python benchmarks/bench_dealias.py --sweeps 4   # its first sweeps only

The volume is Py-ART's NEXRAD Level II test file: its geometry, its echo (the gates
with a velocity) and its Nyquist velocity per ray (8.8 to 35 m/s). The velocities are
a veering, strengthening wind of known truth (15 m/s at the ground to 55 m/s at 10 km),
folded with each ray's Nyquist velocity. Ours runs at one thread and at all threads
(best of --repeat, interleaved); Py-ART's functions are single-threaded and slow, so
they run --peer-repeat times. The load average is printed beside the table.
"""

from __future__ import annotations

import argparse
import os
import time
import warnings

import numpy as np


def make_volume(sweeps: int | None):
    import pyart

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        radar = pyart.io.read(pyart.testing.NEXRAD_ARCHIVE_MSG31_FILE)
    if sweeps is not None:
        radar = radar.extract_sweeps(list(range(sweeps)))
    import kestrum

    height = kestrum.beam_height(radar.range["data"][None, :], radar.elevation["data"][:, None]).height
    h = np.minimum(height / 10000.0, 1.2)
    speed, direction = 15 + 40 * h, np.deg2rad(180 + 90 * h)
    u, v = -speed * np.sin(direction), -speed * np.cos(direction)
    a = np.deg2rad(radar.azimuth["data"])[:, None]
    true = np.cos(np.deg2rad(radar.elevation["data"]))[:, None] * (u * np.sin(a) + v * np.cos(a))
    nyquist = np.asarray(radar.instrument_parameters["nyquist_velocity"]["data"], float)[:, None]
    echo = ~np.ma.getmaskarray(radar.fields["velocity"]["data"])
    aliased = (true + nyquist) % (2 * nyquist) - nyquist
    radar.add_field("aliased", {"data": np.ma.masked_array(aliased, ~echo), "units": "m/s"})
    return radar, true, echo


def score(field, true, echo):
    data = np.ma.filled(np.ma.asarray(field, dtype=float), np.nan)
    return (np.isfinite(data) & (np.abs(data - true) < 1e-3))[echo].mean()


def best(fn, repeat):
    times, out = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return min(times), out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sweeps", type=int, default=None)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--peer-repeat", type=int, default=1)
    args = parser.parse_args()

    import pyart

    import kestrum

    radar, true, echo = make_volume(args.sweeps)
    threads = os.cpu_count() or 1
    ours = {}
    for _ in range(args.repeat):  # interleaved, so other load falls on both alike
        for n in sorted({1, threads}):
            t, out = best(lambda n=n: kestrum.dealias_pyart(radar, "aliased", n_threads=n), 1)
            ours[n] = (min(t, ours.get(n, (np.inf,))[0]), out)
    peers = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peers["Py-ART dealias_region_based"] = best(
            lambda: pyart.correct.dealias_region_based(radar, vel_field="aliased"), args.peer_repeat)
        peers["Py-ART dealias_unwrap_phase"] = best(
            lambda: pyart.correct.dealias_unwrap_phase(radar, vel_field="aliased"), args.peer_repeat)

    print(f"{radar.nsweeps} sweeps, {radar.nrays} rays x {radar.ngates} gates "
          f"({radar.nrays * radar.ngates / 1e6:.1f} M gates, {echo.sum() / 1e6:.2f} M with echo); "
          f"load average {os.getloadavg()[0]:.2f} on {threads} cores")
    print(f"{'function':32s} {'threads':>7s} {'time s':>8s} {'right':>8s} {'region-based / this':>20s}")
    region = peers["Py-ART dealias_region_based"][0]
    for n, (t, out) in sorted(ours.items()):
        print(f"{'kestrum dealias_pyart':32s} {n:7d} {t:8.3f} {score(out['data'], true, echo):8.4f} {region / t:20.1f}")
    for name, (t, out) in peers.items():
        print(f"{name:32s} {1:7d} {t:8.3f} {score(out['data'], true, echo):8.4f} {region / t:20.1f}")
    if threads > 1:
        print(f"kestrum scaling 1 -> {threads} threads: {ours[1][0] / ours[threads][0]:.2f}x")


if __name__ == "__main__":
    main()
