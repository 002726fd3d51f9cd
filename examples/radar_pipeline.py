"""Observing-system simulation of one radar volume scan, end to end.

A synthetic truth (a veering, strengthening wind and a convective storm with a cold
pool) is sampled by a radar; an ensemble of noisy observations is drawn, reduced to
mean, spread, percentiles and hydrometeor-class mode; the wind profile is retrieved by
VAD fits and compared with the truth; the model-side fields (gradients, helicity, cold
pool, thermodynamics) are derived; and the observations are written as a WRFDA radar
observation file and a DART obs_seq.out, with one summary figure.

    python examples/radar_pipeline.py [--members 40] [--threads 0] [--out out]
"""

from __future__ import annotations

import argparse
import datetime as dt
import time
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import kestrum

EARTH_RADIUS = 6371e3
METRES_PER_DEGREE = np.pi * EARTH_RADIUS / 180.0
LOG_TO_DB = 10.0 / np.log(10.0)
ELEVATIONS = np.array([0.5, 0.9, 1.3, 1.8, 2.4, 3.1, 4.0, 5.1, 6.4, 8.0, 10.0, 12.5, 15.6, 19.5])


@dataclass
class Radar:
    name: str = "KOSE"
    lat: float = 35.333
    lon: float = -97.278
    elv: float = 370.0
    nyquist: float = 26.5
    time: dt.datetime = dt.datetime(2024, 5, 1, 22, 0, 0)


class Timer:
    def __init__(self):
        self.steps: list[tuple[str, float]] = []

    @contextmanager
    def __call__(self, name: str):
        t0 = time.perf_counter()
        yield
        self.steps.append((name, time.perf_counter() - t0))


# --- truth -----------------------------------------------------------------------------


def true_wind(height):
    """Wind veering from southerly to westerly and strengthening over the lowest 6 km."""
    speed = 8.0 + 4.0e-3 * np.minimum(height, 8000.0)
    direction = np.deg2rad(180.0 + 90.0 * np.clip(height / 6000.0, 0.0, 1.0))  # from
    return -speed * np.sin(direction), -speed * np.cos(direction)


def true_reflectivity(x, y, height):
    """A storm core 30 km east-north-east of the radar in light stratiform rain."""
    core = 58.0 * np.exp(-((x - 30e3) ** 2 + (y - 15e3) ** 2) / (2 * 7e3**2))
    rain = 22.0 * np.exp(-(x**2 + y**2) / (2 * 70e3**2))
    return np.maximum(core, rain) * np.clip(1.2 - height / 10e3, 0.0, 1.0) - 5.0 * (height / 10e3)


@dataclass
class Scan:
    az: np.ndarray  # (A,) radians
    ranges: np.ndarray  # (G,) metres
    height: np.ndarray  # (E, G) above the radar
    ground: np.ndarray  # (E, G)
    vel: np.ndarray  # (E, A, G)
    dbz: np.ndarray
    zdr: np.ndarray
    phidp: np.ndarray
    rhohv: np.ndarray

    @property
    def shape(self):
        return self.vel.shape


def simulate_scan(radar, azimuths, gates, rng):
    az = np.deg2rad((np.arange(azimuths) + 0.5) * 360.0 / azimuths)
    ranges = 2e3 + 250.0 * np.arange(gates)
    height, ground = kestrum.beam_height(ranges[None, :], ELEVATIONS[:, None])  # above the radar
    x = ground[:, None, :] * np.sin(az)[None, :, None]
    y = ground[:, None, :] * np.cos(az)[None, :, None]
    h3 = np.broadcast_to(height[:, None, :], x.shape)
    u, v = true_wind(h3)
    cos_el = np.cos(np.deg2rad(ELEVATIONS))[:, None, None]
    vel = (u * np.sin(az)[None, :, None] + v * np.cos(az)[None, :, None]) * cos_el
    dbz = true_reflectivity(x, y, h3)
    zdr = np.clip(0.3 + 0.06 * (dbz - 20.0), 0.0, 3.5)
    zdr = np.where(dbz > 52.0, 0.2, zdr)  # hail: large and tumbling, near-zero ZDR
    phidp = 10.0 + np.cumsum(0.02 * np.maximum(dbz - 30.0, 0.0), axis=2)
    rhohv = np.where(dbz > 52.0, 0.93, np.where(dbz > 10.0, 0.985, 0.8))
    clutter = rng.random(vel.shape) < 0.03  # gates lost to the clutter filter
    vel[clutter] = np.nan
    dbz[clutter] = np.nan
    return Scan(az, ranges, height, ground, vel, dbz, zdr, phidp, rhohv)


# --- ensemble of observations -----------------------------------------------------------


def observation_errors(scan):
    """Per-gate error scales of the five observables (rows of perturb's fac)."""
    dbz_db = 1.5 + 1.0 * (np.broadcast_to(scan.ranges, scan.shape) / 100e3)
    fac = np.empty((6,) + scan.shape)
    fac[0] = dbz_db / LOG_TO_DB  # horizontal channel, natural-log units
    fac[1] = 0.95 * fac[0]  # vertical channel: strongly correlated with it
    fac[2] = np.sqrt(1 - 0.95**2) * fac[0]
    fac[3] = 3.0  # PHIDP, degrees
    fac[4] = 0.01  # RHOHV
    fac[5] = 1.0 + 0.5 * (np.broadcast_to(scan.ranges, scan.shape) / 100e3)
    return fac


def make_ensemble(scan, members, threads, rng):
    """Perturbed observables of every member, sweep by sweep to bound the memory."""
    fields = [scan.dbz, scan.zdr, scan.phidp, scan.rhohv, scan.vel]
    fac = observation_errors(scan)
    bias_dbz = rng.normal(0.0, 1.0, members)
    bias_zdr = rng.normal(0.0, 0.2, members)
    ensemble = np.empty((members, 5) + scan.shape, np.float32)
    for e in range(scan.shape[0]):
        # One stream key for the scan; each sweep is its own run of members so that its
        # gates draw from fresh counters.
        out = kestrum.perturb(
            *(f[e] for f in fields),
            31,
            fac[:, e],
            bias_dbz,
            bias_zdr,
            k0=20240501,
            k1=e,
            m0=0,
            n_threads=threads,
        )
        for i, field in enumerate(out):  # dbz, zdr, phidp, rhohv, vel: (members, A, G)
            ensemble[:, i, e] = field
    return ensemble


def hydrometeor_class(dbz, zdr):
    """0 no echo, 1 light rain, 2 moderate rain, 3 heavy rain, 4 hail."""
    code = np.zeros(dbz.shape, np.float32)
    code[dbz >= 15] = 1
    code[dbz >= 35] = 2
    code[(dbz >= 45) & (zdr >= 1.5)] = 3
    code[(dbz >= 50) & (zdr < 1.0)] = 4
    code[~np.isfinite(dbz)] = np.nan
    return code


# --- VAD retrieval ----------------------------------------------------------------------


def retrieve_winds(vel, scan, threads):
    """VAD fit of every (sweep, range) ring; returns height, u, v per ring."""
    A = vel.shape[-2]
    # Leading axes (members, sweeps) are further sweeps; one elevation per sweep.
    fit = kestrum.vad(
        vel,
        np.rad2deg(scan.az),
        ELEVATIONS[:, None],
        min_gates=A // 2,
        min_spread=0.2,
        n_threads=threads,
    )
    return fit.u, fit.v


def bin_profile(height, u, v, edges):
    """Mean of the ring winds in height bins."""
    which = np.digitize(height.ravel(), edges) - 1
    ub, vb = np.full(edges.size - 1, np.nan), np.full(edges.size - 1, np.nan)
    for k in range(edges.size - 1):
        sel = (which == k) & np.isfinite(u.ravel())
        if sel.any():
            ub[k], vb[k] = u.ravel()[sel].mean(), v.ravel()[sel].mean()
    return ub, vb


# --- model-side fields -------------------------------------------------------------------


def model_columns(nx, nz, threads):
    """A background sounding on a grid with a cold pool under the storm."""
    x = (np.arange(nx) - nx / 2) * 1500.0
    y = x.copy()
    z = np.linspace(0.0, 6000.0, nz)
    X, Y = np.meshgrid(x, y)
    pool = np.exp(-((X - 30e3) ** 2 + (Y - 15e3) ** 2) / (2 * 15e3**2))
    depth = 1500.0
    shape = (nz, nx, nx)
    Z = np.broadcast_to(z[:, None, None], shape)
    t = 303.0 - 6.5e-3 * Z - 8.0 * pool[None] * np.clip(1 - Z / depth, 0, None)
    p = 97000.0 * np.exp(-Z / 8400.0)
    td = t - (4.0 + 4.0e-3 * Z) - 3.0 * pool[None] * np.clip(1 - Z / depth, 0, None)
    return x, y, z, t, p, td, pool


# --- observation files -------------------------------------------------------------------


def to_latlon(radar, east, north):
    lat = radar.lat + north / METRES_PER_DEGREE
    lon = radar.lon + east / (METRES_PER_DEGREE * np.cos(np.deg2rad(radar.lat)))
    return lat, lon


def wrfda_columns(scan, mean, spread, radar, spacing_deg, spacing_m, levels):
    """Thinned polar columns with the ensemble mean at fixed heights (CAPPI levels)."""
    E, A, G = scan.shape
    ai = np.arange(0, A, max(1, int(round(spacing_deg * A / 360.0))))
    gi = np.arange(0, G, max(1, int(round(spacing_m / 250.0))))
    cols = ai.size * gi.size
    # For each column gate and level, the sweep whose beam passes nearest the level.
    h = scan.height[:, gi]  # (E, Gc)
    nearest = np.abs(h[:, :, None] - levels[None, None, :]).argmin(axis=0)  # (Gc, L)
    close = np.abs(h[nearest, np.arange(gi.size)[:, None]] - levels[None, :]) <= 300.0  # (Gc, L)

    def sample(field):
        f = field[:, ai][:, :, gi]  # (E, Ac, Gc)
        vals = np.empty((ai.size, gi.size, levels.size))
        for k in range(levels.size):
            vals[:, :, k] = f[nearest[:, k], :, np.arange(gi.size)].T
        return vals

    rv, rf = sample(mean["vel"]), sample(mean["dbz"])
    rv_err, rf_err = sample(spread["vel"]), sample(spread["dbz"])
    # Missing is NaN: the writer turns it into WRFDA's -888888.0 with QC -88.
    ok = close[None] & np.isfinite(rv) & np.isfinite(rf)  # (Ac, Gc, L)
    rv = np.where(ok, rv, np.nan).reshape(cols, -1)
    rf = np.where(ok, rf, np.nan).reshape(cols, -1)
    rv_err = np.maximum(rv_err, 1.0).reshape(cols, -1)
    rf_err = np.maximum(rf_err, 1.0).reshape(cols, -1)
    ground = scan.ground[0, gi]
    east = (ground[None, :] * np.sin(scan.az[ai])[:, None]).ravel()
    north = (ground[None, :] * np.cos(scan.az[ai])[:, None]).ravel()
    lat, lon = to_latlon(radar, east, north)
    return lat, lon, rv, rv_err, rf, rf_err


def write_wrfda(path, radar, levels, columns, threads):
    lat, lon, rv, rv_err, rf, rf_err = columns
    counts = kestrum.write_wrfda_radar(
        path,
        kestrum.WrfdaRadar(
            name=radar.name,
            lon=radar.lon,
            lat=radar.lat,
            elv=radar.elv,
            time=radar.time,
            centres=levels,
            col_lat=lat,
            col_lon=lon,
            col_elv=radar.elv,
            rv=rv,
            rv_err=rv_err,
            rf=rf,
            rf_err=rf_err,
        ),
        n_threads=threads,
    )
    return lat.size * levels.size, counts


def write_dart(path, scan, mean, spread, radar, stride_az, stride_gate, threads):
    """Thinned ensemble-mean radial velocities and reflectivities as DART records."""
    E, A, G = scan.shape
    e, a, g = np.meshgrid(
        np.arange(E), np.arange(0, A, stride_az), np.arange(0, G, stride_gate), indexing="ij"
    )
    e, a, g = e.ravel(), a.ravel(), g.ravel()
    height = scan.height[e, g] + radar.elv
    east, north = scan.ground[e, g] * np.sin(scan.az[a]), scan.ground[e, g] * np.cos(scan.az[a])
    lat, lon = to_latlon(radar, east, north)
    where = dict(lon=lon, lat=lat, height=height, time=radar.time)
    # Gates without an ensemble mean (NaN) are left out by the writer.
    counts = kestrum.write_dart_obs_seq(
        path,
        [
            kestrum.DartBatch(
                "DOPPLER_RADIAL_VELOCITY",
                value=mean["vel"][e, a, g],
                variance=np.maximum(spread["vel"][e, a, g], 1.0) ** 2,
                **where,
                radar_lon=radar.lon,
                radar_lat=radar.lat,
                radar_height=radar.elv,
                azimuth=np.rad2deg(scan.az[a]),
                elevation=ELEVATIONS[e],
                range=scan.ranges[g],
                nyquist=radar.nyquist,
            ),
            kestrum.DartBatch(
                "RADAR_REFLECTIVITY",
                value=mean["dbz"][e, a, g],
                variance=np.maximum(spread["dbz"][e, a, g], 1.0) ** 2,
                **where,
            ),
        ],
        n_threads=threads,
    )
    return counts


# --- figure ------------------------------------------------------------------------------


def plot(path, scan, profile, mean, spread):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(19, 5), layout="constrained")
    z, (ut, vt), (um, vm), (ulo, uhi), (vlo, vhi) = profile
    km = z / 1e3
    ax = fig.add_subplot(1, 4, 1)
    ax.plot(ut, km, "k-", lw=1.5, label="true u")
    ax.plot(vt, km, "k--", lw=1.5, label="true v")
    ax.plot(um, km, "o", color="tab:red", ms=3, label="VAD u")
    ax.plot(vm, km, "o", color="tab:blue", ms=3, label="VAD v")
    ax.set_xlabel("wind component (m/s)")
    ax.set_ylabel("height above radar (km)")
    ax.set_title("VAD retrieval from the ensemble mean")
    ax.legend(fontsize=8, loc="lower right")
    ax.grid(alpha=0.3)

    ax = fig.add_subplot(1, 4, 2, sharey=ax)
    ax.axvline(0.0, color="k", lw=0.8)
    ax.fill_betweenx(km, ulo - ut, uhi - ut, color="tab:red", alpha=0.25, label="u, members 10-90%")
    ax.fill_betweenx(
        km, vlo - vt, vhi - vt, color="tab:blue", alpha=0.25, label="v, members 10-90%"
    )
    ax.plot(um - ut, km, "-", color="tab:red", lw=1, label="u, ensemble mean")
    ax.plot(vm - vt, km, "-", color="tab:blue", lw=1, label="v, ensemble mean")
    ax.set_xlabel("retrieved minus true (m/s)")
    ax.set_title("retrieval error and ensemble spread")
    ax.legend(fontsize=8, loc="lower right")
    ax.grid(alpha=0.3)

    # Cell edges of the lowest sweep's gates, so the polar cells are drawn as they are.
    step = scan.az[1] - scan.az[0]
    az = np.append(scan.az - step / 2, scan.az[-1] + step / 2)
    g = scan.ground[0]
    ground = np.concatenate(
        [[g[0] - (g[1] - g[0]) / 2], (g[1:] + g[:-1]) / 2, [g[-1] + (g[-1] - g[-2]) / 2]]
    )
    X = ground[None, :] * np.sin(az)[:, None] / 1e3
    Y = ground[None, :] * np.cos(az)[:, None] / 1e3
    for i, (field, title, cmap, lim) in enumerate(
        [
            (mean["dbz"][0], "reflectivity, ensemble mean (dBZ)", "turbo", (-10, 65)),
            (spread["dbz"][0], "reflectivity, ensemble spread (dB)", "viridis", (0, 4)),
        ]
    ):
        ax = fig.add_subplot(1, 4, 3 + i)
        mesh = ax.pcolormesh(X, Y, field, cmap=cmap, vmin=lim[0], vmax=lim[1], shading="flat")
        fig.colorbar(mesh, ax=ax, shrink=0.85)
        ax.set_aspect("equal")
        ax.set_title(f"{title}\n{ELEVATIONS[0]}° sweep", fontsize=10)
        ax.set_xlabel("east (km)")
        ax.set_ylabel("north (km)")
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --- the run -----------------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--members", type=int, default=40)
    parser.add_argument("--threads", type=int, default=0, help="0: all cores")
    parser.add_argument("--out", type=Path, default=Path("out"))
    parser.add_argument("--azimuths", type=int, default=360)
    parser.add_argument("--gates", type=int, default=500)
    parser.add_argument("--grid", type=int, default=160, help="model grid points per side")
    parser.add_argument("--no-figure", action="store_true")
    args = parser.parse_args(argv)
    if args.members < 2:
        parser.error("--members must be at least 2: the observation errors are the ensemble spread")
    args.out.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(7)
    radar, timer, threads = Radar(), Timer(), args.threads

    with timer("truth and scan"):
        scan = simulate_scan(radar, args.azimuths, args.gates, rng)
    E, A, G = scan.shape
    with timer("perturb"):
        ensemble = make_ensemble(scan, args.members, threads, rng)
    names = ["dbz", "zdr", "phidp", "rhohv", "vel"]
    mean, spread, pct = {}, {}, {}
    with timer("statistics"):
        for i, name in enumerate(names):
            stats = kestrum.statistics(
                ensemble[:, i],
                [10.0, 50.0, 90.0],
                axis=0,
                min_valid=args.members // 2,
                n_threads=threads,
            )
            mean[name], spread[name], pct[name] = stats.mean, stats.std, stats.percentiles
    with timer("mode"):
        classes = hydrometeor_class(ensemble[:, 0], ensemble[:, 1])
        hclass, agreement = kestrum.mode(
            classes, 5, axis=0, min_valid=args.members // 2, n_threads=threads
        )

    with timer("vad"):
        u_mean, v_mean = retrieve_winds(mean["vel"], scan, threads)
        u_mem, v_mem = retrieve_winds(ensemble[:, 4], scan, threads)
    height = scan.height  # (E, G), rings of the mean fit
    ut, vt = true_wind(height)
    err = np.hypot(u_mean - ut, v_mean - vt)
    edges = np.arange(0.0, min(height.max(), 12e3) + 250.0, 250.0)
    zc = 0.5 * (edges[1:] + edges[:-1])
    um, vm = bin_profile(height, u_mean, v_mean, edges)
    member_profiles = [bin_profile(height, u_mem[k], v_mem[k], edges) for k in range(args.members)]
    ue = np.array([p[0] for p in member_profiles])
    ve = np.array([p[1] for p in member_profiles])
    with np.errstate(all="ignore"):
        band = [np.nanpercentile(ue, q, axis=0) for q in (10, 90)] + [
            np.nanpercentile(ve, q, axis=0) for q in (10, 90)
        ]

    with timer("profile"):
        # The lowest retrieved level stands for the ground: no ring looks lower.
        ground, motion = np.nan, (7.5, 2.0)
        ok = np.isfinite(um)
        srh = {}
        for depth in (1000.0, 3000.0):
            retrieved = kestrum.profile(
                zc[ok], um[ok], vm[ok], ground, 0.0, depth, *motion, n_threads=threads
            )
            truth = kestrum.profile(
                zc, *true_wind(zc), ground, 0.0, depth, *motion, n_threads=threads
            )
            srh[depth] = (retrieved, truth)

    with timer("thermo"):
        nz = 30
        x, y, z, t, p, td, pool = model_columns(args.grid, nz, threads)
        fields = kestrum.thermo(t, p, td, n_threads=threads)  # each (nz, grid, grid)
    with timer("cold_pool"):
        theta_v = fields.theta_v
        env = theta_v[:, 0, 0]  # the far corner holds the undisturbed sounding
        b = 9.81 * (theta_v - env[:, None, None]) / env[:, None, None]
        # Columns last: z (levels,) broadcasts over the (grid, grid, levels) buoyancy.
        cp = kestrum.cold_pool(z, np.moveaxis(b, 0, -1), 0.0, -0.005, np.nan, n_threads=threads)
    with timer("gradient"):
        grad = kestrum.gradient(
            np.stack([fields.theta[0], fields.theta_e[0]]), x, y, n_threads=threads
        )

    with timer("write_wrfda_radar"):
        levels = np.arange(500.0, 10001.0, 500.0)
        wrfda_path = args.out / "ob.radar"
        n_wrfda, wrfda_counts = write_wrfda(
            wrfda_path,
            radar,
            levels,
            wrfda_columns(scan, mean, spread, radar, 2.0, 2000.0, levels),
            threads,
        )
    with timer("write_dart_obs_seq"):
        dart_path = args.out / "obs_seq.out"
        dart_counts = write_dart(dart_path, scan, mean, spread, radar, 5, 10, threads)
        n_dart = dart_counts.written
    figure = args.out / "radar_pipeline.png"
    if not args.no_figure:
        with timer("figure"):
            plot(figure, scan, (zc, true_wind(zc), (um, vm), band[:2], band[2:]), mean, spread)

    # ---- summary
    gates = E * A * G
    print(
        f"radar volume: {E} sweeps x {A} azimuths x {G} gates = {gates:,} gates; "
        f"{args.members} members; model grid {args.grid} x {args.grid} x {nz}"
    )
    print("\nstep                     time")
    for name, seconds in timer.steps:
        print(f"  {name:<20}{seconds:8.2f} s")
    print(f"  {'total':<20}{sum(s for _, s in timer.steps):8.2f} s")
    fitted = np.isfinite(u_mean)
    print(
        f"\nVAD retrieval from the ensemble-mean radial velocity: {fitted.sum():,} of {fitted.size:,} rings fitted"
    )
    print(
        f"  vector wind error: mean {np.nanmean(err):.3f} m/s, 95th percentile "
        f"{np.nanpercentile(err, 95):.3f} m/s, max {np.nanmax(err):.3f} m/s"
    )
    binned = np.hypot(um - true_wind(zc)[0], vm - true_wind(zc)[1])
    print(
        f"  250 m profile error: mean {np.nanmean(binned):.3f} m/s over {np.isfinite(binned).sum()} levels"
    )
    for depth, (ret, tru) in srh.items():
        print(
            f"  0-{depth / 1e3:.0f} km storm-relative helicity: retrieved {float(ret.helicity):.1f}, "
            f"true {float(tru.helicity):.1f} m2/s2; mean wind retrieved ({float(ret.u_mean):.2f}, "
            f"{float(ret.v_mean):.2f}), true ({float(tru.u_mean):.2f}, {float(tru.v_mean):.2f}) m/s"
        )
    core = pct["dbz"][:, 0].reshape(3, -1)[:, np.nanargmax(mean["dbz"][0])]
    print(
        f"\nensemble: peak mean reflectivity {np.nanmax(mean['dbz'][0]):.1f} dBZ "
        f"(10/50/90%: {core[0]:.1f}/{core[1]:.1f}/{core[2]:.1f}), "
        f"median spread {np.nanmedian(spread['dbz']):.2f} dB; hail (class 4) at "
        f"{int((hclass == 4).sum()):,} gates, mean agreement {np.nanmean(agreement):.2f}"
    )
    print(
        f"model: cold pool up to {np.nanmax(cp.intensity):.1f} m/s, {np.nanmax(cp.depth):.0f} m deep; "
        f"theta-e {np.nanmin(fields.theta_e):.1f}-{np.nanmax(fields.theta_e):.1f} K; "
        f"largest surface theta gradient {1e3 * np.nanmax(np.hypot(grad.dx[0], grad.dy[0])):.2f} K/km"
    )
    print(
        f"\nwrote {wrfda_path} ({wrfda_path.stat().st_size / 1e6:.1f} MB, {n_wrfda:,} column levels; "
        f"{wrfda_counts.written:,} observations, {wrfda_counts.missing:,} missing)"
    )
    print(
        f"wrote {dart_path} ({dart_path.stat().st_size / 1e6:.1f} MB, {n_dart:,} observations; "
        f"{dart_counts.missing:,} without an ensemble mean or spread left out)"
    )
    if not args.no_figure:
        print(f"wrote {figure}")
    return {
        "wrfda": wrfda_path,
        "dart": dart_path,
        "figure": figure,
        "vad_error": err,
        "n_dart": n_dart,
        "n_wrfda": n_wrfda,
        "levels": levels,
    }


if __name__ == "__main__":
    main()
