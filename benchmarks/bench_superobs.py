"""Superobservations of a NEXRAD-size volume: kestrum.superobs beside the NumPy bincount
implementation of the same statistics, and beside Py-ART's Cressman gridding.

Run from the repository: ``python benchmarks/bench_superobs.py [--quick] [--no-pyart]``.
Prints one table: case, time at one and at two threads, the peer's time, the ratios.
"""

from __future__ import annotations

import argparse
import math
import os
import time

import numpy as np

import kestrum
from kestrum import _radar

KA = 4.0 / 3.0 * 6371000.0
PLANES = (
    "count",
    "value",
    "std",
    "min",
    "max",
    "coherence",
    "azimuth",
    "elevation",
    "range",
    "time",
    "nyquist",
)


def volume(sweeps=14, rays=720, gates=1800, seed=0):
    """Velocities of a wind near the Nyquist velocity (so boxes straddle the fold) and
    reflectivities, with 20% to 80% of the gates valid (fewer in higher sweeps)."""
    rng = np.random.default_rng(seed)
    az = (np.arange(rays) * 360.0 / rays + 0.25)[None, :] + rng.uniform(-0.05, 0.05, (sweeps, rays))
    el = np.linspace(0.5, 19.5, sweeps)[:, None] + np.zeros((1, rays))
    t = np.linspace(0, 300, sweeps * rays).reshape(sweeps, rays)
    r = 2125.0 + 250.0 * np.arange(gates)
    valid = rng.random((sweeps, rays, gates)) < np.linspace(0.8, 0.2, sweeps)[:, None, None]
    nyq = 25.0
    vel = 20.0 * np.sin(np.deg2rad(az))[..., None] + rng.normal(0, 3, (sweeps, rays, gates))
    vel = np.where(valid, (vel + nyq) % (2 * nyq) - nyq, np.nan)
    dbz = np.where(valid, rng.normal(15, 12, (sweeps, rays, gates)), np.nan)
    return dict(az=az, el=el, t=t, r=r, nyq=nyq, vel=vel, dbz=dbz)


# --- the peer: NumPy bincount ----------------------------------------------------------


def box_statistics(b, nb, v, ray, gate, az, el, t, r, nyq, quantity):
    """Every plane of every box by np.bincount (and ufunc.at for the extremes)."""
    n = np.bincount(b, minlength=nb).astype(np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = lambda w: np.bincount(b, w, minlength=nb) / n
        out = dict(count=n, coherence=np.full(nb, np.nan), nyquist=np.full(nb, np.nan))
        if quantity == "velocity":
            ph = np.pi * v / nyq
            s, c = (
                np.bincount(b, np.sin(ph), minlength=nb),
                np.bincount(b, np.cos(ph), minlength=nb),
            )
            value = nyq / np.pi * np.arctan2(s, c)
            out["coherence"] = np.hypot(s, c) / n
            out["nyquist"] = np.where(n > 0, nyq, np.nan)
            v = v + 2 * nyq * np.floor((value[b] - v) / (2 * nyq) + 0.5)
        mu = mean(v)
        if quantity == "reflectivity":
            value = 10 * np.log10(mean(10.0 ** (v / 10.0)))
        elif quantity != "velocity":
            value = mu
        out["value"] = np.where(n > 0, value, np.nan)
        out["std"] = np.sqrt(mean((v - mu[b]) ** 2))
        lo, hi = np.full(nb, np.inf), np.full(nb, -np.inf)
        np.minimum.at(lo, b, v)
        np.maximum.at(hi, b, v)
        out["min"], out["max"] = np.where(n > 0, lo, np.nan), np.where(n > 0, hi, np.nan)
        a = np.deg2rad(az)
        out["azimuth"] = (
            np.rad2deg(
                np.arctan2(
                    np.bincount(b, np.sin(a)[ray], minlength=nb),
                    np.bincount(b, np.cos(a)[ray], minlength=nb),
                )
            )
            % 360
        )
        out["azimuth"][n == 0] = np.nan
        out["elevation"], out["range"], out["time"] = mean(el[ray]), mean(r[gate]), mean(t[ray])
    return np.array([out[p] for p in PLANES])


def numpy_polar(d, field, quantity, d_az=5.0, d_r=5000.0):
    v3 = d[field]
    S, R, G = v3.shape
    na, nr = math.ceil(360.0 / d_az), int(np.floor(d["r"].max() / d_r)) + 1
    i = np.floor(np.mod(d["az"], 360.0) / d_az).astype(np.int64)
    base = ((np.arange(S)[:, None] * na + i) * nr).ravel()
    j = np.floor(d["r"] / d_r).astype(np.int64)
    ray, gate = np.nonzero(np.isfinite(v3.reshape(S * R, G)))
    b = base[ray] + j[gate]
    return box_statistics(
        b,
        S * na * nr,
        v3.reshape(S * R, G)[ray, gate],
        ray,
        gate,
        d["az"].ravel(),
        d["el"].ravel(),
        d["t"].ravel(),
        d["r"],
        d["nyq"],
        quantity,
    )


def numpy_grid(d, field, quantity, edges):
    v3 = d[field]
    S, R, G = v3.shape
    ray, gate = np.nonzero(np.isfinite(v3.reshape(S * R, G)))
    el, az, r = np.deg2rad(d["el"].ravel()[ray]), np.deg2rad(d["az"].ravel()[ray]), d["r"][gate]
    h = np.sqrt(r**2 + KA**2 + 2.0 * r * KA * np.sin(el)) - KA
    s = KA * np.arcsin(r * np.cos(el) / (KA + h))
    cells = [
        np.searchsorted(e, x, side="right") - 1
        for e, x in zip(edges, (s * np.sin(az), s * np.cos(az), h))
    ]
    n = [len(e) - 1 for e in edges]
    inside = np.all([(c >= 0) & (c < k) for c, k in zip(cells, n)], axis=0)
    b = ((cells[2] * n[1] + cells[1]) * n[0] + cells[0])[inside]
    return box_statistics(
        b,
        n[0] * n[1] * n[2],
        v3.reshape(S * R, G)[ray, gate][inside],
        ray[inside],
        gate[inside],
        d["az"].ravel(),
        d["el"].ravel(),
        d["t"].ravel(),
        d["r"],
        d["nyq"],
        quantity,
    )


# --- ours ------------------------------------------------------------------------------


def ours(d, field, quantity, grid=None, n_threads=1):
    nyq = d["nyq"] if quantity == "velocity" else None
    return kestrum.superobs(
        d[field],
        d["az"],
        d["r"],
        d["el"],
        quantity=quantity,
        time=d["t"],
        nyquist=nyq,
        grid=grid,
        n_threads=n_threads,
        min_count=1,
        max_std=np.inf,
        min_coherence=0.0,
        echo_threshold=-np.inf,
    )


def raw_planes(d, field, quantity, grid=None):
    """Our kernel's planes for every box, to check the peer against."""
    S, R, G = d[field].shape
    a = np.mod(d["az"].ravel(), 360.0)
    sin_az, cos_az = np.sin(np.deg2rad(a)), np.cos(np.deg2rad(a))
    code = {"velocity": 1, "reflectivity": 2}[quantity]
    args = (sin_az, cos_az, d["el"].ravel(), d["t"].ravel(), np.full(S * R, d["nyq"]))
    v = d[field].reshape(S * R, G)
    if grid is None:
        na, nr = 72, int(np.floor(d["r"].max() / 5000.0)) + 1
        group = np.repeat(np.arange(S), R) * na + np.floor(a / 5.0).astype(np.int64)
        return _radar.superobs_polar(
            v, group, S * na, np.floor(d["r"] / 5000.0).astype(np.int64), nr, *args, d["r"], code
        )
    return _radar.superobs_grid(v, np.repeat(np.arange(S), R), S, *args, d["r"], *grid, 0.0, code)


def check(d, grid):
    for field, quantity in (("vel", "velocity"), ("dbz", "reflectivity")):
        for g in (None, grid):
            mine = raw_planes(d, field, quantity, g)
            peer = (
                numpy_polar(d, field, quantity) if g is None else numpy_grid(d, field, quantity, g)
            )
            np.testing.assert_allclose(mine[: len(PLANES)], peer, rtol=1e-9, atol=1e-9)


def pyart_cressman(d, grid):
    """Py-ART's grid_from_radars (Cressman) on the same volume's velocities."""
    import pyart

    S, R, G = d["vel"].shape
    radar = pyart.testing.make_empty_ppi_radar(G, R, S)
    radar.range["data"] = d["r"]
    radar.azimuth["data"] = d["az"].ravel()
    radar.elevation["data"] = d["el"].ravel()
    radar.fixed_angle["data"] = d["el"][:, 0]
    radar.add_field("velocity", {"data": np.ma.masked_invalid(d["vel"].reshape(S * R, G))})
    x, y, z = grid
    shape = (len(z) - 1, len(y) - 1, len(x) - 1)
    centre = lambda e: (e[0] + (e[1] - e[0]) / 2, e[-1] - (e[1] - e[0]) / 2)
    return lambda: pyart.map.grid_from_radars(
        radar,
        grid_shape=shape,
        grid_limits=(centre(z), centre(y), centre(x)),
        fields=["velocity"],
        weighting_function="Cressman",
        roi_func="constant",
        constant_roi=2 * (x[1] - x[0]),
        min_radius=2 * (x[1] - x[0]),
    )


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="a quarter of the rays")
    parser.add_argument("--no-pyart", action="store_true", help="skip Py-ART's Cressman gridding")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    grid = (
        np.arange(-150e3, 150e3 + 1, 5e3),
        np.arange(-150e3, 150e3 + 1, 5e3),
        np.arange(0.0, 15001.0, 500.0),
    )
    check(volume(sweeps=2, rays=72, gates=400), grid)  # the peer computes what we compute
    d = volume(rays=180 if args.quick else 720)
    S, R, G = d["vel"].shape
    valid = int(np.isfinite(d["vel"]).sum())
    print(
        f"volume: {S} sweeps x {R} rays x {G} gates, {valid:,} valid gates; "
        f"load {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores"
    )
    print(
        f"{'case':38s} {'1 thread':>9s} {'2 threads':>9s} {'peer':>9s} {'peer/1t':>8s} {'1t/2t':>6s}"
    )
    cases = [
        (
            "polar velocity (fold circle)",
            "vel",
            "velocity",
            None,
            lambda: numpy_polar(d, "vel", "velocity"),
        ),
        (
            "polar reflectivity (linear Z)",
            "dbz",
            "reflectivity",
            None,
            lambda: numpy_polar(d, "dbz", "reflectivity"),
        ),
        (
            "grid velocity (5 km x 500 m)",
            "vel",
            "velocity",
            grid,
            lambda: numpy_grid(d, "vel", "velocity", grid),
        ),
        (
            "grid reflectivity (5 km x 500 m)",
            "dbz",
            "reflectivity",
            grid,
            lambda: numpy_grid(d, "dbz", "reflectivity", grid),
        ),
    ]
    for label, field, quantity, g, peer in cases:
        one = best(lambda f=field, q=quantity, g=g: ours(d, f, q, g, 1), args.repeat)
        two = best(lambda f=field, q=quantity, g=g: ours(d, f, q, g, 2), args.repeat)
        other = best(peer, max(1, args.repeat - 1))
        print(
            f"{label:38s} {one:9.3f} {two:9.3f} {other:9.3f} {other / one:7.1f}x {one / two:5.2f}x"
            f"   peer: NumPy bincount"
        )
    if not args.no_pyart:
        cressman = pyart_cressman(d, grid)
        other = best(cressman, 1)
        one = best(lambda: ours(d, "vel", "velocity", grid, 1), args.repeat)
        print(
            f"{'grid velocity beside Py-ART':38s} {one:9.3f} {'':9s} {other:9.3f} {other / one:7.1f}x"
            f"          peer: pyart.map.grid_from_radars (Cressman)"
        )
    print(f"load after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
