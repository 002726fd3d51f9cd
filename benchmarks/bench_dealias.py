"""Dealiasing a NEXRAD volume: kestrum beside Py-ART's region-based and phase-unwrapping
dealiasing, on the same aliased data, with the fraction of gates each puts on the true fold.

    python benchmarks/bench_dealias.py              # the full volume (16 sweeps, 13.2 M gates)
    python benchmarks/bench_dealias.py --sweeps 4   # its first sweeps only

The volume is Py-ART's NEXRAD Level II test file: its geometry, its echo (the gates
with a velocity) and its Nyquist velocity per ray (30 to 35 m/s on its Doppler sweeps),
divided by --nyquist-divisor (3: 10 to 11.7 m/s, as a C-band radar or a long-range
scan has, so that the wind folds up to three times). The velocities are
a veering, strengthening wind of known truth (15 m/s at the ground to 55 m/s at 10 km)
with a Rankine vortex couplet (60 m/s across 2 km, 45 km north-east of the radar) and
1 m/s of noise, folded with each ray's Nyquist velocity. ``--figure PATH`` also draws
the lowest Doppler sweep: aliased, dealiased and the folds moved. Ours runs at one thread and at all threads
(best of --repeat, interleaved); Py-ART's functions are single-threaded and slow, so
they run --peer-repeat times. The load average is printed beside the table.
"""

from __future__ import annotations

import argparse
import os
import time
import warnings

import numpy as np


def make_volume(sweeps: int | None, divisor: float = 3.0):
    import pyart

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        radar = pyart.io.read(pyart.testing.NEXRAD_ARCHIVE_MSG31_FILE)
    if sweeps is not None:
        radar = radar.extract_sweeps(list(range(sweeps)))
    import kestrum

    height = kestrum.beam_height(
        radar.range["data"][None, :], radar.elevation["data"][:, None]
    ).height
    h = np.minimum(height / 10000.0, 1.2)
    speed, direction = 15 + 40 * h, np.deg2rad(180 + 90 * h)
    u, v = -speed * np.sin(direction), -speed * np.cos(direction)
    a = np.deg2rad(radar.azimuth["data"])[:, None]
    # The couplet: tangential wind vmax r / R inside the core radius R, vmax R / r outside.
    x, y = radar.range["data"] * np.sin(a), radar.range["data"] * np.cos(a)
    dx, dy = x - 45e3 * np.sin(np.pi / 4), y - 45e3 * np.cos(np.pi / 4)
    r = np.hypot(dx, dy) + 1e-9
    vt = np.where(r < 1000.0, 30.0 * r / 1000.0, 30.0 * 1000.0 / r)
    u, v = u - dy / r * vt, v + dx / r * vt
    true = np.cos(np.deg2rad(radar.elevation["data"]))[:, None] * (u * np.sin(a) + v * np.cos(a))
    true += np.random.default_rng(0).normal(0, 1.0, true.shape)
    nyquist = (
        np.asarray(radar.instrument_parameters["nyquist_velocity"]["data"], float)[:, None]
        / divisor
    )
    radar.instrument_parameters["nyquist_velocity"]["data"] = nyquist[:, 0].copy()
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
    parser.add_argument("--nyquist-divisor", type=float, default=3.0)
    parser.add_argument("--figure", default=None, help="PNG of the lowest Doppler sweep")
    args = parser.parse_args()

    import pyart

    import kestrum

    radar, true, echo = make_volume(args.sweeps, args.nyquist_divisor)
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
            lambda: pyart.correct.dealias_region_based(radar, vel_field="aliased"), args.peer_repeat
        )
        peers["Py-ART dealias_unwrap_phase"] = best(
            lambda: pyart.correct.dealias_unwrap_phase(radar, vel_field="aliased"), args.peer_repeat
        )

    nyq = radar.instrument_parameters["nyquist_velocity"]["data"]
    moved = np.abs(np.round((true - radar.fields["aliased"]["data"].data) / (2 * nyq[:, None])))[
        echo
    ]
    print(
        f"{radar.nsweeps} sweeps, {radar.nrays} rays x {radar.ngates} gates "
        f"({radar.nrays * radar.ngates / 1e6:.1f} M gates, {echo.sum() / 1e6:.2f} M with echo), "
        f"Nyquist {nyq.min():.1f} to {nyq.max():.1f} m/s, {np.mean(moved > 0):.0%} of gates folded "
        f"(up to {moved.max():.0f} times); load average {os.getloadavg()[0]:.2f} on {threads} cores"
    )
    print(
        f"{'function':32s} {'threads':>7s} {'time s':>8s} {'right':>8s} {'region-based / this':>20s}"
    )
    region = peers["Py-ART dealias_region_based"][0]
    for n, (t, out) in sorted(ours.items()):
        print(
            f"{'kestrum dealias_pyart':32s} {n:7d} {t:8.3f} {score(out['data'], true, echo):8.4f} {region / t:20.1f}"
        )
    for name, (t, out) in peers.items():
        print(
            f"{name:32s} {1:7d} {t:8.3f} {score(out['data'], true, echo):8.4f} {region / t:20.1f}"
        )
    if threads > 1:
        print(f"kestrum scaling 1 -> {threads} threads: {ours[1][0] / ours[threads][0]:.2f}x")
    if args.figure:
        draw(radar, ours[1][1], args.figure)


def draw(radar, field, path, sweep=1, reach=150e3):
    """Aliased velocity, dealiased velocity and folds moved, one sweep (PPI, km)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    import kestrum

    s, e = radar.sweep_start_ray_index["data"][sweep], radar.sweep_end_ray_index["data"][sweep] + 1
    gates = radar.range["data"] <= reach
    a = np.deg2rad(radar.azimuth["data"][s:e])[:, None]
    x = radar.range["data"][gates] * np.sin(a) / 1e3
    y = radar.range["data"][gates] * np.cos(a) / 1e3
    aliased = radar.fields["aliased"]["data"][s:e, gates]
    _, folds = kestrum.dealias_pyart(radar, "aliased", folds=True)
    nyq = radar.instrument_parameters["nyquist_velocity"]["data"][s]
    panels = [
        (aliased, f"aliased (Nyquist {nyq:.1f} m/s)", "RdBu_r", (-nyq, nyq), "m/s"),
        (field["data"][s:e, gates], "dealiased by kestrum.dealias", "RdBu_r", (-45, 45), "m/s"),
        (
            np.ma.masked_where(np.ma.getmaskarray(aliased), folds["data"][s:e, gates]),
            "folds moved",
            "PuOr",
            (-3.5, 3.5),
            "folds",
        ),
    ]
    fig, axes = plt.subplots(1, 3, figsize=(16, 5.2), constrained_layout=True)
    for ax, (data, title, cmap, (lo, hi), unit) in zip(axes, panels):
        cmap = plt.get_cmap(cmap, 7) if unit == "folds" else cmap
        mesh = ax.pcolormesh(x, y, data, cmap=cmap, vmin=lo, vmax=hi, shading="auto")
        fig.colorbar(mesh, ax=ax, shrink=0.85, label=unit)
        ax.set_title(title)
        ax.set_aspect("equal")
        ax.set_xlabel("east, km")
    axes[0].set_ylabel("north, km")
    fig.suptitle(
        f"Py-ART's NEXRAD test volume, sweep {sweep} "
        f"({radar.fixed_angle['data'][sweep]:.2f} deg): a veering wind with a vortex couplet"
    )
    fig.savefig(path, dpi=90)


if __name__ == "__main__":
    main()
