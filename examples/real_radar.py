"""The job on a real radar volume: VAD winds, a sounding, and the observation files.

Data that ship with Py-ART's tests: a NEXRAD Level II volume (7 sweeps; radial
velocity on sweeps 1, 3, 4, 5 and 6) and an ARM sounding from Lamont, Oklahoma.

1. The VAD wind of every range ring of each velocity sweep (`kestrum.vad_pyart`), with
   beam heights, compared ring by ring and as profiles with Py-ART's `vad_browning`.
2. Thermodynamic fields and the 0-1 km and 0-3 km storm-relative helicity of the
   sounding (`kestrum.thermo`, `kestrum.profile`), beside MetPy's when installed.
3. The volume's radial velocities, thinned, as a DART obs_seq.out (with the radar
   platform block) and as a WRFDA radar file, both read back with their readers.
4. One figure: the VAD profiles beside Py-ART's and a PPI of the velocity.

    pip install '.[examples]' && python examples/real_radar.py [--out out]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import time
import warnings
from pathlib import Path

import numpy as np

import kestrum

VELOCITY_ERROR = 2.0  # m/s, observation error given to every radial velocity
REFLECTIVITY_ERROR = 5.0  # dB
WELL_COVERED = 0.24  # min_spread of a ring whose valid gates go nearly all the way round
MIN_RAYS = 16  # Py-ART's valid_ray_min, used for both fits so they fit the same rings
LEVELS = np.arange(500.0, 8001.0, 500.0)  # WRFDA levels, m above the radar's reference


def load_pyart():
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")
        import pyart  # prints a banner and warns about optional packages
        import pyart.testing
    return pyart


def ray_times(radar):
    """numpy.datetime64 of each ray, from CF "seconds since ..." times."""
    units = radar.time["units"]
    since, _, start = units.partition(" since ")
    assert since.strip() == "seconds", units
    origin = np.datetime64(start.strip().rstrip("Z").replace(" ", "T"), "ms")
    return origin + np.round(np.asarray(radar.time["data"]) * 1e3).astype("timedelta64[ms]")


def destination(lat, lon, azimuth, distance):
    """Latitude and longitude (degrees) at `distance` m along the surface in `azimuth`."""
    R = 6371e3
    phi, lam, a, d = np.deg2rad(lat), np.deg2rad(lon), np.deg2rad(azimuth), distance / R
    phi2 = np.arcsin(np.sin(phi) * np.cos(d) + np.cos(phi) * np.sin(d) * np.cos(a))
    lam2 = lam + np.arctan2(
        np.sin(a) * np.sin(d) * np.cos(phi), np.cos(d) - np.sin(phi) * np.sin(phi2)
    )
    return np.rad2deg(phi2), (np.rad2deg(lam2) + 180.0) % 360.0 - 180.0


# --- VAD against Py-ART --------------------------------------------------------------


def vad_sweeps(radar, pyart, threads):
    """kestrum's and Py-ART's VAD of every sweep that has radial velocities."""
    sweeps = [s for s in range(radar.nsweeps) if radar.get_field(s, "velocity").count() > 0]
    out = []
    try:  # the per-ring Browning fit that vad_browning averages into height windows
        from pyart.retrieve.vad import _vad_calculation_b as browning_rings
    except ImportError:
        browning_rings = None
    for s in sweeps:
        ours = kestrum.vad_pyart(
            radar, "velocity", s, min_gates=MIN_RAYS, min_spread=0.0, n_threads=threads
        )
        well = np.isfinite(
            kestrum.vad_pyart(
                radar, "velocity", s, min_gates=MIN_RAYS, min_spread=WELL_COVERED, n_threads=threads
            ).u
        )
        # What a user would plot: rings with kestrum's default coverage (a half circle).
        shown = kestrum.vad_pyart(radar, "velocity", s, min_gates=MIN_RAYS, n_threads=threads)
        one = radar.extract_sweeps([s])
        z_want = np.arange(
            100.0, min(np.nanmax(ours.height[np.isfinite(ours.u)]), 8000.0) + 100.0, 200.0
        )
        # vad_browning prints its height range and divides by zero on empty rings.
        with (
            contextlib.redirect_stdout(io.StringIO()),
            np.errstate(all="ignore"),
            warnings.catch_warnings(),
        ):
            warnings.simplefilter("ignore", RuntimeWarning)
            theirs = pyart.retrieve.vad_browning(
                one, "velocity", z_want=z_want, valid_ray_min=MIN_RAYS
            )
        rings = None
        if browning_rings is not None:
            with np.errstate(all="ignore"), warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                rings = browning_rings(
                    radar.get_field(s, "velocity"),
                    radar.get_azimuth(s),
                    radar.fixed_angle["data"][s],
                    MIN_RAYS,
                )
        out.append(
            dict(
                sweep=s,
                elevation=float(radar.fixed_angle["data"][s]),
                ours=ours,
                well=well,
                shown=shown,
                z_want=z_want,
                theirs=theirs,
                rings=rings,
                gate_z=one.gate_z["data"][0],
            )
        )
    return out


def window_mean(height, value, centres, half):
    """Mean of the finite values within [c - half, c + half) of each centre, as vad_browning."""
    ok = np.isfinite(value)
    h, x = height[ok], value[ok]
    out = np.full(centres.shape, np.nan)
    for i, c in enumerate(centres):
        sel = (h >= c - half) & (h < c + half)
        if sel.any():
            out[i] = x[sel].mean()
    return out


def report_vad(results):
    print("VAD of each velocity sweep: kestrum.vad_pyart against Py-ART's vad_browning")
    print("  (rings fitted by both with at least 16 rays; |difference| of the wind vector, m/s)")
    print(
        "  sweep  elev  rings  well-covered rings: median   max   other rings: median   max"
        "   profile: levels median"
    )
    summary = []
    for r in results:
        ours = r["ours"]
        half = r["z_want"][1] - r["z_want"][0] / 2  # the window vad_browning uses
        ours_u = window_mean(r["gate_z"], ours.u, r["z_want"], half)
        ours_v = window_mean(r["gate_z"], ours.v, r["z_want"], half)
        pu = np.ma.filled(r["theirs"].u_wind, np.nan)
        pv = np.ma.filled(r["theirs"].v_wind, np.nan)
        prof = np.hypot(ours_u - pu, ours_v - pv)
        line = f"  {r['sweep']:5d} {r['elevation']:5.1f}"
        row = dict(sweep=r["sweep"], profile_median=float(np.nanmedian(prof)))
        if r["rings"] is not None:
            bu, bv = r["rings"]
            both = np.isfinite(ours.u) & np.isfinite(bu)
            d = np.hypot(ours.u - bu, ours.v - bv)
            well, other = both & r["well"], both & ~r["well"]
            stats = [np.median(d[m]) if m.any() else np.nan for m in (well, other)]
            peaks = [d[m].max() if m.any() else np.nan for m in (well, other)]
            line += (
                f" {both.sum():6d} {well.sum():11d} {stats[0]:14.3f} {peaks[0]:6.3f}"
                f" {other.sum():9d} {stats[1]:10.3f} {peaks[1]:6.2f}"
            )
            row.update(
                rings=int(both.sum()),
                well=int(well.sum()),
                well_median=float(stats[0]),
                well_max=float(peaks[0]),
                other_median=float(stats[1]),
            )
        line += f"   {np.isfinite(prof).sum():10d} {np.nanmedian(prof):6.3f}"
        print(line)
        summary.append(row)
    print("""  Why they differ: Py-ART codes Browning and Wexler's estimator as a regression of the
  velocity minus the ring mean on sin(az) and cos(az) without centring them; it equals
  the least-squares fit of kestrum only where the valid azimuths balance (the sums of
  sin and cos vanish), i.e. on rings covered all the way round. On rings with gaps in
  the echo the two answers part by up to metres per second. Py-ART also divides by the
  cosine of the sweep's fixed angle where kestrum uses the rays' mean elevation (under
  1 mm/s here), and puts rings at the heights of the sweep's first ray, where kestrum's
  beam heights use the mean elevation (the profiles above use Py-ART's heights for both).""")
    return summary


# --- the sounding ---------------------------------------------------------------------


def sounding(path, threads):
    import netCDF4

    with netCDF4.Dataset(path) as nc:
        get = lambda name: np.ma.filled(np.ma.asarray(nc[name][:], dtype=float), np.nan)  # noqa: E731
        p, t, td = get("pres"), get("tdry"), get("dp")  # hPa, degC, degC
        u, v, alt = get("u_wind"), get("v_wind"), get("alt")  # m/s, m/s, m
        site = getattr(nc, "facility_id", "")
    # The balloon's first samples can repeat a height; keep strictly rising levels.
    keep = np.isfinite(alt) & (alt > np.maximum.accumulate(np.r_[-np.inf, alt[:-1]]))
    p, t, td, u, v, alt = (a[keep] for a in (p, t, td, u, v, alt))
    fields = kestrum.thermo(t + 273.15, p * 100.0, td + 273.15, n_threads=threads)
    z = alt - alt[0]
    # Storm motion after Bunkers' right mover: 7.5 m/s to the right of the deep-layer
    # shear from the deep-layer mean wind. The balloon's record ends near 5 km, short of
    # Bunkers' 6 km, so the deep layer is what it reached.
    depth = min(6000.0, float(np.floor(z[-1] / 100.0) * 100.0))
    deep = kestrum.profile(z, u, v, 0.0, 0.0, depth, 0.0, 0.0, n_threads=threads)
    shear = np.array([float(deep.u_top - deep.u_bottom), float(deep.v_top - deep.v_bottom)])
    motion = np.array([float(deep.u_mean), float(deep.v_mean)]) + 7.5 * np.array(
        [shear[1], -shear[0]]
    ) / np.hypot(*shear)
    srh = {
        km: float(
            kestrum.profile(z, u, v, 0.0, 0.0, km * 1000.0, *motion, n_threads=threads).helicity
        )
        for km in (1, 3)
    }
    metpy = None
    try:
        import metpy.calc as mpcalc
        from metpy.units import units
    except ImportError:
        pass
    else:
        h = units.Quantity(z, "m")
        uq, vq = units.Quantity(u, "m/s"), units.Quantity(v, "m/s")
        sm = [units.Quantity(c, "m/s") for c in motion]
        metpy = {
            km: float(
                mpcalc.storm_relative_helicity(
                    h, uq, vq, units.Quantity(km, "km"), storm_u=sm[0], storm_v=sm[1]
                )[2].m
            )
            for km in (1, 3)
        }
        pq, tq, tdq = (
            units.Quantity(p, "hPa"),
            units.Quantity(t, "degC"),
            units.Quantity(td, "degC"),
        )
        metpy["theta_e"] = mpcalc.equivalent_potential_temperature(pq, tq, tdq).m_as("K")
        metpy["theta"] = mpcalc.potential_temperature(pq, tq).m_as("K")
    print(
        f"\nSounding ({site}): {p.size} levels from {p[0]:.0f} to {p[-1]:.0f} hPa, "
        f"{z[-1] / 1e3:.1f} km above the ground"
    )
    print(
        f"  surface: mixing ratio {1e3 * fields.mixing_ratio[0]:.1f} g/kg, theta {fields.theta[0]:.1f} K, "
        f"theta-v {fields.theta_v[0]:.1f} K, theta-e {fields.theta_e[0]:.1f} K"
    )
    if metpy is not None:
        print(
            f"  MetPy:   theta {metpy['theta'][0]:.1f} K, theta-e {metpy['theta_e'][0]:.1f} K; "
            f"largest |difference| over the sounding: theta "
            f"{np.nanmax(np.abs(fields.theta - metpy['theta'])):.2e} K, theta-e "
            f"{np.nanmax(np.abs(fields.theta_e - metpy['theta_e'])):.2f} K\n"
            "  (MetPy's kappa and theta-e formula differ slightly from kestrum's Bolton 1980 constants)"
        )
    print(
        f"  storm motion (right mover, 0-{depth / 1e3:.1f} km layer) ({motion[0]:.1f}, {motion[1]:.1f}) m/s, "
        "used by both"
    )
    for km in (1, 3):
        mp = f"; MetPy {metpy[km]:.1f}" if metpy is not None else " (MetPy not installed)"
        print(f"  0-{km} km storm-relative helicity: kestrum {srh[km]:.1f} m2/s2{mp}")
    return dict(srh=srh, metpy=metpy, theta_e=fields.theta_e, motion=motion)


# --- observation files ----------------------------------------------------------------


def dart_batches(radar, results, times, stride_ray, stride_gate):
    """Thinned radial velocities of every velocity sweep, one batch per sweep."""
    lat0, lon0 = float(radar.latitude["data"][0]), float(radar.longitude["data"][0])
    alt0 = float(radar.altitude["data"][0])
    nyquist = np.ma.filled(radar.instrument_parameters["nyquist_velocity"]["data"], np.nan)
    rng = np.asarray(radar.range["data"], float)
    batches = []
    for r in results:
        s = r["sweep"]
        rays = np.arange(
            radar.sweep_start_ray_index["data"][s], radar.sweep_end_ray_index["data"][s] + 1
        )[::stride_ray]
        gates = np.arange(0, rng.size, stride_gate)
        gates = gates[rng[gates] > 0]
        ray, gate = np.meshgrid(rays, gates, indexing="ij")
        az, el = radar.azimuth["data"][ray], radar.elevation["data"][ray]
        pos = kestrum.beam_height(rng[gate], el, alt0)
        lat, lon = destination(lat0, lon0, az, pos.distance)
        vel = radar.fields["velocity"]["data"][ray, gate]  # masked: left out by the writer
        batches.append(
            kestrum.DartBatch(
                "DOPPLER_RADIAL_VELOCITY",
                value=vel.ravel(),
                variance=VELOCITY_ERROR**2,
                lon=lon.ravel(),
                lat=lat.ravel(),
                height=pos.height.ravel(),
                time=times[ray].ravel(),
                radar_lon=lon0,
                radar_lat=lat0,
                radar_height=alt0,
                azimuth=az.ravel(),
                elevation=el.ravel(),
                range=rng[gate].ravel(),
                nyquist=nyquist[ray].ravel(),
            )
        )
    return batches


def wrfda_radar(radar, results, times, spacing_deg=5.0, spacing_m=5000.0, max_distance=150e3):
    """Columns on a polar grid with, at each level, the velocity of the sweep passing nearest."""
    lat0, lon0 = float(radar.latitude["data"][0]), float(radar.longitude["data"][0])
    alt0 = float(radar.altitude["data"][0])
    rng = np.asarray(radar.range["data"], float)
    col_az = np.arange(0.0, 360.0, spacing_deg)
    col_dist = np.arange(spacing_m, max_distance + 1, spacing_m)
    A, D = np.meshgrid(col_az, col_dist, indexing="ij")
    A, D = A.ravel(), D.ravel()
    rv = np.full((A.size, LEVELS.size), np.nan)
    rf = np.full_like(rv, np.nan)
    best = np.full_like(rv, np.inf)
    for r in results:
        s = r["sweep"]
        el = float(np.mean(radar.get_elevation(s)))
        pos = kestrum.beam_height(rng, el, alt0)
        gate = np.clip(np.searchsorted(pos.distance, D), 0, rng.size - 1)  # gate over each column
        az = radar.get_azimuth(s)
        ray = np.abs(((az[None, :] - A[:, None]) + 180.0) % 360.0 - 180.0).argmin(axis=1)
        vel = np.ma.filled(radar.get_field(s, "velocity").astype(float), np.nan)[ray, gate]
        # Split cuts: reflectivity of the same elevation may come from the sweep before.
        src = s if radar.get_field(s, "reflectivity").count() else s - 1
        dbz = np.ma.filled(radar.get_field(src, "reflectivity").astype(float), np.nan)
        dbz = dbz[
            np.abs(((radar.get_azimuth(src)[None, :] - A[:, None]) + 180) % 360 - 180).argmin(
                axis=1
            ),
            gate,
        ]
        miss = np.abs(pos.height[gate][:, None] - LEVELS[None, :])
        take = (miss < best) & (miss <= 250.0)
        best = np.where(take, miss, best)
        rv = np.where(take, vel[:, None], rv)
        rf = np.where(take, dbz[:, None], rf)
    lat, lon = destination(lat0, lon0, A, D)
    name = radar.metadata.get("instrument_name", "").strip("\x00 ") or "NEXRAD"
    return kestrum.WrfdaRadar(
        name=name[:12],
        lon=lon0,
        lat=lat0,
        elv=alt0,
        time=times[0],
        centres=LEVELS + alt0,
        col_lat=lat,
        col_lon=lon,
        col_elv=alt0,
        rv=rv,
        rv_err=VELOCITY_ERROR,
        rf=rf,
        rf_err=REFLECTIVITY_ERROR,
    )


def read_back(dart_path, wrfda_path, dart_counts, wrfda_counts):
    print("\nRead back:")
    try:
        from pydartdiags.obs_sequence import obs_sequence
    except ImportError:
        print("  pydartdiags not installed: DART file not read back")
        df = None
    else:
        df = obs_sequence.ObsSequence(str(dart_path)).df
        assert len(df) == dart_counts.written
        assert list(df["obs_num"]) == list(range(1, len(df) + 1))
        print(
            f"  {dart_path}: pydartdiags reads {len(df):,} records of {sorted(set(df['type']))}, "
            f"{df['time'].min()} to {df['time'].max()}, velocities {df['observation'].min():.1f} "
            f"to {df['observation'].max():.1f} m/s, error variance {df['obs_err_var'].iloc[0]:.1f} m2/s2"
        )
    try:
        import fortranformat
    except ImportError:
        print("  fortranformat not installed: WRFDA file not read back")
        levels = None
    else:
        read = {
            k: fortranformat.FortranRecordReader(f).read
            for k, f in {
                "total": "(14x,i3)",
                "radar": "(a5,2x,a12,2(f8.3,2x),f8.1,2x,a19,2i6)",
                "station": "(a12,3x,a19,2x,2(f12.3,2x),f8.1,2x,i6)",
                "level": "(3x,f12.1,2(f12.3,i4,f12.3,2x))",
            }.items()
        }
        lines = wrfda_path.read_text().split("\n")
        (total,) = read["total"](lines[0])
        head = read["radar"](lines[3])
        columns, nlev = head[6], head[7]
        body = lines[6:]
        levels = [
            read["level"](body[c * (nlev + 1) + 1 + k]) for c in range(columns) for k in range(nlev)
        ]
        stations = [read["station"](body[c * (nlev + 1)]) for c in range(columns)]
        good = [lv for lv in levels if lv[2] == 0]
        assert len(good) + sum(lv[5] == 0 for lv in levels) == wrfda_counts.written
        assert all(s[5] == nlev for s in stations)
        print(
            f"  {wrfda_path}: WRFDA's formats read {total} radar {head[1].strip()!r} at {head[5]}, "
            f"{columns} columns x {nlev} levels; {len(good):,} radial velocities "
            f"({min(lv[1] for lv in good):.1f} to {max(lv[1] for lv in good):.1f} m/s), "
            f"{sum(lv[2] == -88 for lv in levels):,} missing (-888888.0, QC -88)"
        )
    return df, levels


# --- figure -----------------------------------------------------------------------------


def plot(path, radar, results, sweep):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(17, 6), layout="constrained")
    colours = plt.get_cmap("viridis")(np.linspace(0.0, 0.9, len(results)))
    axes = [fig.add_subplot(1, 3, 1)]
    axes.append(fig.add_subplot(1, 3, 2, sharey=axes[0]))
    for comp, ax in zip(("u", "v"), axes):
        for r, c in zip(results, colours):
            ours = r["shown"]
            ok = np.isfinite(getattr(ours, comp))
            ax.plot(
                getattr(ours, comp)[ok],
                ours.height[ok] / 1e3,
                "o",
                ms=3,
                color=c,
                alpha=0.7,
                label=f"kestrum, sweep {r['sweep']} ({r['elevation']:.1f}°)",
            )
            theirs = np.ma.filled(getattr(r["theirs"], f"{comp}_wind"), np.nan)
            ax.plot(
                theirs,
                r["z_want"] / 1e3,
                "-",
                color=c,
                lw=1.5,
                label=f"Py-ART vad_browning, sweep {r['sweep']}",
            )
        ax.axvline(0.0, color="k", lw=0.6)
        ax.set_xlabel(f"{comp} wind component (m/s)")
        ax.set_title(
            f"VAD {comp}: kestrum rings covered over half a circle (dots)\n"
            "and Py-ART's vad_browning profiles (lines)",
            fontsize=10,
        )
        ax.grid(alpha=0.3)
        ax.set_xlim(-25, 25)
    axes[0].set_ylabel("height above the radar (km)")
    axes[0].set_ylim(0, 5)
    axes[1].legend(fontsize=7, loc="upper right", ncol=1)

    ax = fig.add_subplot(1, 3, 3)
    order = np.argsort(radar.get_azimuth(sweep))  # the sweep starts where the last one ended
    vel = radar.get_field(sweep, "velocity")[order]
    az = radar.get_azimuth(sweep)[order]
    rng = np.asarray(radar.range["data"], float) / 1e3
    keep = rng > 0
    # Cell edges half way between rays and gates, so each gate is drawn where it is.
    az_edges = np.deg2rad(
        np.r_[(az[0] + az[-1] - 360.0) / 2, (az[1:] + az[:-1]) / 2, (az[0] + az[-1] + 360.0) / 2]
    )
    r = rng[keep]
    r_edges = np.r_[r[0] - (r[1] - r[0]) / 2, (r[1:] + r[:-1]) / 2, r[-1] + (r[-1] - r[-2]) / 2]
    X = r_edges[None, :] * np.sin(az_edges)[:, None]
    Y = r_edges[None, :] * np.cos(az_edges)[:, None]
    nyq = float(
        np.ma.max(radar.instrument_parameters["nyquist_velocity"]["data"][radar.get_slice(sweep)])
    )
    # A colour map without white at zero: the echo here is weak clear-air return.
    mesh = ax.pcolormesh(X, Y, vel[:, keep], cmap="Spectral_r", vmin=-15, vmax=15, shading="flat")
    cb = fig.colorbar(mesh, ax=ax, shrink=0.85, extend="both")
    cb.set_label(f"radial velocity (m/s), positive away from the radar (Nyquist {nyq:.1f} m/s)")
    ax.set_aspect("equal")
    lim = 30
    ax.set_xlim(-lim, lim)
    ax.set_ylim(-lim, lim)
    ax.set_xlabel("east of the radar (km)")
    ax.set_ylabel("north of the radar (km)")
    ax.set_title(
        f"radial velocity, sweep {sweep} ({radar.fixed_angle['data'][sweep]:.1f}°)", fontsize=10
    )
    fig.suptitle("NEXRAD volume from Py-ART's test data: VAD winds and radial velocity")
    fig.savefig(path, dpi=100)
    plt.close(fig)


# --- the run ----------------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path("out"))
    parser.add_argument("--threads", type=int, default=0, help="0: all cores")
    parser.add_argument("--no-figure", action="store_true")
    args = parser.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    t0 = time.perf_counter()
    pyart = load_pyart()
    with warnings.catch_warnings():
        # The reader warns that its module is deprecated and that this old message type
        # lacks some metadata (fixed angles are then taken from the rays).
        warnings.simplefilter("ignore")
        radar = pyart.io.read_nexrad_archive(pyart.testing.NEXRAD_ARCHIVE_MSG1_FILE)
    times = ray_times(radar)
    lat0, lon0 = float(radar.latitude["data"][0]), float(radar.longitude["data"][0])
    print(
        f"Volume {Path(pyart.testing.NEXRAD_ARCHIVE_MSG1_FILE).name}: {radar.nsweeps} sweeps, "
        f"{radar.nrays} rays x {radar.ngates} gates, {times[0]} to {times[-1]} UTC"
    )
    if lat0 == 0.0 and lon0 == 0.0:
        print(
            "  (the test volume carries no site position: the radar is at 0.0 N 0.0 E, 0 m, "
            "and the files place it there)"
        )

    results = vad_sweeps(radar, pyart, args.threads)
    summary = report_vad(results)
    sonde = sounding(pyart.testing.SONDE_FILE, args.threads)

    dart_path, wrfda_path = args.out / "real_radar_obs_seq.out", args.out / "real_radar_ob.radar"
    dart_counts = kestrum.write_dart_obs_seq(
        dart_path, dart_batches(radar, results, times, 2, 4), n_threads=args.threads
    )
    wrfda_counts = kestrum.write_wrfda_radar(
        wrfda_path, wrfda_radar(radar, results, times), n_threads=args.threads
    )
    print(
        f"\nWrote {dart_path}: {dart_counts.written:,} radial velocities (every 2nd ray, every 4th gate; "
        f"{dart_counts.missing:,} masked gates left out)"
    )
    print(
        f"Wrote {wrfda_path}: {wrfda_counts.written:,} observations, {wrfda_counts.missing:,} missing"
    )
    df, levels = read_back(dart_path, wrfda_path, dart_counts, wrfda_counts)

    figure = args.out / "real_radar.png"
    if not args.no_figure:
        plot(figure, radar, results, 4)
        print(f"\nWrote {figure}")
    print(f"Done in {time.perf_counter() - t0:.1f} s")
    return dict(
        vad=summary,
        sounding=sonde,
        dart=dart_path,
        wrfda=wrfda_path,
        figure=figure,
        dart_counts=dart_counts,
        wrfda_counts=wrfda_counts,
        dart_df=df,
        wrfda_levels=levels,
    )


if __name__ == "__main__":
    main()
