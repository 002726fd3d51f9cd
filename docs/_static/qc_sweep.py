"""The figure of the quality-control guide: one sweep of the benchmark's volume before and
after gate_qc, each removed gate coloured by the test that removed it.

    python docs/_static/qc_sweep.py [out.png]
"""

from __future__ import annotations

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.colors import ListedColormap  # noqa: E402

import kestrum  # noqa: E402
from kestrum import QCFlag  # noqa: E402

# Colour of each test, in the order that names a gate failing several: the first wins.
SHOWN = [
    (QCFlag.CLUTTER, "ground clutter", "#8c564b"),
    (QCFlag.RHOHV, "rhohv < 0.90", "#d62728"),
    (QCFlag.REFLECTIVITY, "dBZ < 10", "#7f7f7f"),
    (QCFlag.SPECTRUM_WIDTH, "width > 5 m/s", "#ff7f0e"),
    (QCFlag.ZDR, "zdr > 2 dB", "#bcbd22"),
    (QCFlag.TEXTURE_VELOCITY, "velocity texture > 4 m/s", "#9467bd"),
    (QCFlag.VAD_LEASH, "VAD leash", "#1f77b4"),
    (QCFlag.SPECKLE, "speckle (< 10 gates)", "#e377c2"),
]


def main(out: Path) -> None:
    # The benchmark's volume: the NEXRAD test file's geometry with synthetic weather,
    # ground clutter and speckle (the file's own fields are constants).
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
    from bench_qc import load

    radar = load()[0]
    sweep = 1  # the first Doppler sweep, 0.5 degrees
    rays = radar.get_slice(sweep)
    field = lambda name: radar.fields[name]["data"][rays]  # noqa: E731
    nyquist = float(radar.instrument_parameters["nyquist_velocity"]["data"][rays][0])
    profile = kestrum.vad_pyart(radar, "velocity", sweep=sweep)
    altitude = float(radar.altitude["data"][0])
    qc = kestrum.gate_qc(
        reflectivity=field("reflectivity"),
        rhohv=field("cross_correlation_ratio"),
        zdr=field("differential_reflectivity"),
        spectrum_width=field("spectrum_width"),
        velocity=field("velocity"),
        preset="simple",
        max_texture_velocity=4.0,
        nyquist=nyquist,
        range=radar.range["data"],
        elevation=radar.get_elevation(sweep),
        azimuth=radar.get_azimuth(sweep),
        altitude=altitude,
        clutter_velocity=1.0,
        clutter_height=500.0,
        vad=profile,
        min_size=10,
    )
    print(qc.counts())

    az = np.deg2rad(radar.get_azimuth(sweep))[:, None]
    r = radar.range["data"][None, :] / 1000.0
    x, y = r * np.sin(az), r * np.cos(az)
    dbz = field("reflectivity")
    reason = np.full(dbz.shape, np.nan)
    for k, (flag, _, _) in reversed(list(enumerate(SHOWN))):
        reason[qc.failed(flag)] = k
    reason[~qc.keep & np.isnan(reason)] = np.nan  # missing data: not drawn
    reason[np.ma.getmaskarray(dbz) & np.ma.getmaskarray(field("velocity"))] = np.nan

    fig, axes = plt.subplots(1, 3, figsize=(16, 5.6), constrained_layout=True)
    lim = 150
    common = dict(shading="auto", rasterized=True)
    axes[0].pcolormesh(x, y, dbz, cmap="turbo", vmin=-10, vmax=65, **common)
    axes[0].set_title("Reflectivity before QC (dBZ)")
    kept = np.ma.masked_where(~qc.keep, dbz)
    mesh = axes[1].pcolormesh(x, y, kept, cmap="turbo", vmin=-10, vmax=65, **common)
    axes[1].set_title("After gate_qc: the gates kept")
    fig.colorbar(mesh, ax=axes[:2], shrink=0.8, label="dBZ")
    cmap = ListedColormap([c for _, _, c in SHOWN])
    axes[2].pcolormesh(
        x, y, np.ma.masked_invalid(reason), cmap=cmap, vmin=-0.5, vmax=len(SHOWN) - 0.5, **common
    )
    axes[2].set_title("Removed gates, by the test that removed them")
    handles = [plt.Rectangle((0, 0), 1, 1, color=c) for _, _, c in SHOWN]
    counts = [int(np.count_nonzero(reason == k)) for k in range(len(SHOWN))]
    axes[2].legend(
        handles,
        [f"{label} ({n})" for (_, label, _), n in zip(SHOWN, counts)],
        loc="lower left",
        fontsize=8,
        framealpha=0.9,
    )
    for ax in axes:
        ax.set_xlim(-lim, lim)
        ax.set_ylim(-lim, lim)
        ax.set_aspect("equal")
        ax.set_xlabel("east (km)")
    axes[0].set_ylabel("north (km)")
    fig.suptitle(
        f"Sweep {sweep} ({radar.fixed_angle['data'][sweep]:.1f}°) of the NEXRAD test "
        "volume's geometry with synthetic weather, clutter and speckle; preset 'simple' "
        "with a velocity texture, a clutter test, a VAD leash and despeckling"
    )
    fig.savefig(out, dpi=90)


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("qc_sweep.png"))
