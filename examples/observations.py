"""The main job: radar volumes in, one DART file and one WRFDA file out.

Data: the NEXRAD Level II volume that ships with Py-ART's tests (KATX, 2013-07-17
19:50 UTC, 16 sweeps of 720 or 360 rays; the file keeps the real scan but its moments
are placeholders, so the job finds clear air only), and two volumes made on its
geometry (every ray, gates out to 127 km) with a storm and a known wind folded by a
10 m/s Nyquist velocity, 5 and 10 minutes later, so that quality control and
dealiasing have work to do and the result can be checked against the truth.

1. ``kestrum obs`` on the three files, with worker processes: quality control,
   dealiasing, superobservations, both files, and the per-volume, per-step table.
2. Both files read back: the DART file with pydartdiags, the WRFDA file with WRFDA's
   Fortran formats; the radial velocities of the aliased volumes against the true wind.
3. One figure: the fate of every gate per step, and the superobservations on a map
   around the site.

    pip install '.[examples]' && python examples/observations.py [--out out]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import time
import warnings
from pathlib import Path

import numpy as np

from kestrum import job
from kestrum.__main__ import main as kestrum_command

NYQUIST = 10.0  # m/s, of the made volumes
WIND = (12.0, 18.0)  # m/s east and north at the ground ...
SHEAR = (2.0e-3, 1.0e-3)  # ... growing by this per m of height (1/s)


def load_pyart():
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")
        import pyart  # prints a banner and warns about optional packages
        import pyart.testing
    return pyart


def true_radial(azimuth, elevation, height):
    """Radial velocity of the made wind: degrees, degrees, m above the antenna."""
    u = WIND[0] + SHEAR[0] * height
    v = WIND[1] + SHEAR[1] * height
    a, e = np.deg2rad(azimuth), np.deg2rad(elevation)
    return (u * np.sin(a) + v * np.cos(a)) * np.cos(e)


def aliased_copy(pyart, radar, minutes, seed, gates=500):
    """The real volume's geometry (first `gates` gates, 127 km) with a made storm and the
    made wind, folded."""
    made = radar.extract_sweeps(range(radar.nsweeps))  # a copy
    made.time["data"] = made.time["data"] + 60.0 * minutes
    made.range["data"] = made.range["data"][:gates]
    made.ngates = gates
    az = made.azimuth["data"][:, None].astype(np.float64)
    el = made.elevation["data"][:, None].astype(np.float64)
    rng = made.range["data"][None, :].astype(np.float64)
    height = rng * np.sin(np.deg2rad(el)) + rng**2 / (2 * 4.0 / 3.0 * 6371e3)
    gen = np.random.default_rng(seed)
    # A storm 40 km south-west of the radar, moving east 1 km a minute, over weak echo,
    # with a gap of no echo to the north-east.
    x, y = rng * np.sin(np.deg2rad(az)), rng * np.cos(np.deg2rad(az))
    storm = np.exp(
        -(((x + 28e3 - 1e3 * minutes) / 12e3) ** 2 + ((y + 28e3) / 8e3) ** 2) - (height / 9e3) ** 2
    )
    dbz = 8.0 + 45.0 * storm + gen.normal(0.0, 2.0, storm.shape)
    missing = (gen.random(storm.shape) < 0.02) | ((x > 20e3) & (y > 20e3))
    true = true_radial(az, el, height)
    folded = np.mod(true + gen.normal(0.0, 0.7, true.shape) + NYQUIST, 2 * NYQUIST) - NYQUIST
    fields = {
        "reflectivity": ("dBZ", dbz),
        "velocity": ("meters_per_second", folded),
        "spectrum_width": ("meters_per_second", np.abs(gen.normal(1.5, 1.0, true.shape))),
    }
    made.fields = {}
    for name, (units, data) in fields.items():
        made.add_field(
            name,
            {
                "data": np.ma.masked_array(data.astype(np.float32), missing),
                "units": units,
                "_FillValue": np.float32(-9999.0),
            },
        )
    made.instrument_parameters["nyquist_velocity"]["data"] = np.full(
        made.nrays, NYQUIST, np.float32
    )
    return made


def make_volumes(pyart, out):
    """Paths of the three volumes: the real file and two aliased NEXRAD-size copies (CfRadial)."""
    real = pyart.testing.NEXRAD_ARCHIVE_MSG31_FILE
    paths = [real]
    radar = None
    for k, minutes in enumerate((5, 10)):
        path = out / f"KATX_aliased_{minutes:02d}min.nc"
        if not path.exists():
            if radar is None:
                with warnings.catch_warnings():
                    warnings.simplefilter(
                        "ignore"
                    )  # Py-ART's NEXRAD reader is deprecated for xradar's
                    radar = pyart.io.read(real)
            pyart.io.write_cfradial(str(path), aliased_copy(pyart, radar, minutes, seed=k))
        paths.append(str(path))
    return paths


def read_dart(path):
    try:
        from pydartdiags.obs_sequence import obs_sequence
    except ImportError:
        return None
    return obs_sequence.ObsSequence(str(path)).df


def read_wrfda(path):
    """(value, qc) of every radial velocity and reflectivity level, with the Fortran formats."""
    try:
        import fortranformat
    except ImportError:
        return None
    level = fortranformat.FortranRecordReader("(3x,f12.1,2(f12.3,i4,f12.3,2x))").read
    station = fortranformat.FortranRecordReader("(a12,3x,a19,2x,2(f12.3,2x),f8.1,2x,i6)").read
    radar = fortranformat.FortranRecordReader("(a5,2x,a12,2(f8.3,2x),f8.1,2x,a19,2i6)").read
    lines = Path(path).read_text().split("\n")
    total = fortranformat.FortranRecordReader("(14x,i3)").read(lines[0])[0]
    at, levels = 2, []
    for _ in range(total):
        head = radar(lines[at + 1])
        at += 4
        for _ in range(head[6]):
            count = station(lines[at])[5]
            levels += [level(line) for line in lines[at + 1 : at + 1 + count]]
            at += 1 + count
    return levels


def velocity_errors(df, paths):
    """Radial-velocity observations of the made volumes minus the true wind there."""
    vr = df[
        (df["type"] == "DOPPLER_RADIAL_VELOCITY")
        & (df["time"] > df["time"].min() + np.timedelta64(4, "m"))
    ]
    out = []
    for meta, height in zip(vr["metadata"], vr["vertical"]):
        beam = np.array(meta[4].split(), float)
        radar_height = float(meta[2].split()[2])
        az = np.rad2deg(np.arctan2(beam[0], beam[1]))
        el = np.rad2deg(np.arcsin(beam[2]))
        out.append(true_radial(az, el, height - radar_height))
    return vr["observation"].to_numpy() - np.array(out)


def figure(result, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(17, 5.6), gridspec_kw={"width_ratios": [1.15, 1, 1]})
    ax = axes[0]
    labels, bars = [], {}
    for v in result.volumes:
        for m in ("velocity", "reflectivity"):
            f = v.fates[m]
            labels.append(f"{Path(v.source).stem[:18]}\n{m}")
            for key, n in (
                ("removed by QC", f.qc_removed),
                ("unresolved by dealiasing", f.unresolved),
                ("in a dropped box", f.in_dropped_box),
                ("in a kept box", f.in_kept_box),
            ):
                bars.setdefault(key, []).append(n / 1e6)
    bottom = np.zeros(len(labels))
    colours = {
        "removed by QC": "tab:red",
        "unresolved by dealiasing": "tab:purple",
        "in a dropped box": "tab:gray",
        "in a kept box": "tab:green",
    }
    for key, values in bars.items():
        ax.barh(labels, values, left=bottom, color=colours[key], label=key)
        bottom += values
    ax.invert_yaxis()
    ax.set_xlabel("gates read (millions)")
    ax.set_title("What happened to every gate")
    ax.legend(loc="lower right", fontsize=8)
    ax.tick_params(axis="y", labelsize=7)

    first = result.volumes[1]  # the first made volume
    lat0, lon0, _ = first.site
    batches = {b.kind: b for b in first.dart}
    kx = np.cos(np.deg2rad(lat0)) * 111.2
    for ax, kind, cmap, span, unit in (
        (axes[1], "DOPPLER_RADIAL_VELOCITY", "RdBu_r", (-30, 30), "m/s"),
        (axes[2], "RADAR_REFLECTIVITY", "viridis", (0, 50), "dBZ"),
    ):
        b = batches.get(kind)
        if b is None:
            continue
        x = (np.asarray(b.lon) - lon0) * kx
        y = (np.asarray(b.lat) - lat0) * 111.2
        order = np.argsort(np.asarray(b.height))[::-1]  # lowest boxes on top
        sc = ax.scatter(
            x[order],
            y[order],
            c=np.asarray(b.value)[order],
            s=9,
            cmap=cmap,
            vmin=span[0],
            vmax=span[1],
            linewidths=0,
        )
        if kind == "RADAR_REFLECTIVITY" and "RADAR_CLEARAIR_REFLECTIVITY" in batches:
            c = batches["RADAR_CLEARAIR_REFLECTIVITY"]
            ax.scatter(
                (np.asarray(c.lon) - lon0) * kx,
                (np.asarray(c.lat) - lat0) * 111.2,
                s=6,
                marker="x",
                color="0.6",
                linewidths=0.6,
                label="clear air (0 dBZ)",
            )
            ax.legend(loc="upper right", fontsize=8)
        ax.plot(0, 0, "k^", ms=7)
        ax.set_aspect("equal")
        ax.set_xlim(-105, 105)
        ax.set_ylim(-105, 105)
        ax.set_xlabel("km east of the radar")
        ax.set_ylabel("km north")
        fig.colorbar(sc, ax=ax, shrink=0.8, label=unit)
        ax.set_title(
            f"{first.name} {str(first.time)[:16]}: {kind.lower().replace('_', ' ')}\n"
            f"{np.size(b.value)} superobservations, all sweeps",
            fontsize=10,
        )
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", default="out", help="folder for the volumes, files and figure")
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args(argv)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    pyart = load_pyart()
    paths = make_volumes(pyart, out)

    dart, wrfda = out / "obs_seq.out", out / "ob.radar"
    start = time.perf_counter()
    status = kestrum_command(
        [
            "obs",
            *paths,
            "--dart",
            str(dart),
            "--wrfda",
            str(wrfda),
            "--workers",
            str(args.workers),
            "--no-progress",
        ]
    )
    print(
        f"\nkestrum obs: exit status {status}, {time.perf_counter() - start:.1f} s for {len(paths)} volumes"
    )
    # The same job through the API, for the figure and the checks.
    result = job.run(paths, workers=args.workers)

    df = read_dart(dart)
    summary = {"status": status, "dart": dart, "wrfda": wrfda, "result": result, "dart_df": df}
    if df is not None:
        print(f"pydartdiags: {len(df)} observations, kinds {sorted(set(df['type']))}")
        err = velocity_errors(df, paths)
        summary["velocity_error"] = err
        print(
            f"radial velocities of the aliased volumes minus the true wind: {err.size} observations, "
            f"median |error| {np.median(np.abs(err)):.2f} m/s, {np.mean(np.abs(err) < 2.0):.1%} within 2 m/s"
        )
    levels = read_wrfda(wrfda)
    if levels is not None:
        rv = sum(lv[2] == 0 for lv in levels)
        rf = sum(lv[5] == 0 for lv in levels)
        print(
            f"WRFDA formats: {len(levels)} levels read, {rv} radial velocities and {rf} reflectivities with a value"
        )
        summary["wrfda_levels"] = levels
    summary["figure"] = out / "observations.png"
    figure(result, summary["figure"])
    print(f"figure: {summary['figure']}")
    return summary


if __name__ == "__main__":
    main()
