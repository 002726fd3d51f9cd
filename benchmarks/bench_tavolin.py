"""_tavolin cases and their plain-Python peers (string formatting per line, joined)."""

from __future__ import annotations

import numpy as np
from common import Case, Peer, Setup, scaled

import _tavolin

STAMP = "2024-05-01_12:00:00"


def wrfda_python(centres, lat, lon, elv, rv, rv_qc, rv_err, rf, rf_qc, rf_err, stamp):
    """The station blocks as one writes them with the % operator, one line at a time."""
    lines = []
    levels = len(centres)
    centres = centres.tolist()
    for c in range(len(lat)):
        lines.append(
            "FM-128 RADAR   %-19s  %12.3f  %12.3f  %8.1f  %6d\n"
            % (stamp, lat[c], lon[c], elv[c], levels)
        )
        for _k, (h, v, vq, ve, f, fq, fe) in enumerate(
            zip(
                centres,
                rv[c].tolist(),
                rv_qc[c].tolist(),
                rv_err[c].tolist(),
                rf[c].tolist(),
                rf_qc[c].tolist(),
                rf_err[c].tolist(),
            )
        ):
            lines.append(
                "   %12.1f%12.3f%4d%12.3f  %12.3f%4d%12.3f  \n" % (h, v, vq, ve, f, fq, fe)
            )
    return "".join(lines).encode()


def wrfda_setup(scale):
    rng = np.random.default_rng(5)
    columns, levels = scaled(100_000, scale), 40
    centres = np.linspace(250.0, 10_000.0, levels)
    lat = rng.uniform(30, 40, columns)
    lon = rng.uniform(-100, -90, columns)
    elv = rng.uniform(0, 2000, columns)
    rv = rng.normal(0, 15, (columns, levels))
    rv_qc = rng.integers(-1, 3, (columns, levels))
    rv_err = np.full((columns, levels), 2.0)
    rf = rng.uniform(-10, 60, (columns, levels))
    rf_qc = rng.integers(-1, 3, (columns, levels))
    rf_err = np.full((columns, levels), 3.0)
    args = (centres, lat, lon, elv, rv, rv_qc, rv_err, rf, rf_qc, rf_err, STAMP)
    return Setup(
        f"{columns:,} columns x {levels} levels",
        lambda t: _tavolin.format_wrfda(*args, n_threads=t),
        [
            Peer(
                "% formatting per line, joined",
                lambda t: wrfda_python(*args),
                threaded=False,
                repeat=2,
            )
        ],
    )


def dart_python(
    kind,
    value,
    variance,
    lon,
    lat,
    height,
    days,
    secs,
    radar_lon,
    radar_lat,
    radar_height,
    beam,
    nyquist,
    velkey,
    vertical,
):
    """The " OBS " records as one writes them with the % operator, one record at a time."""
    n = len(kind)
    out = []
    cols = [
        a.tolist()
        for a in (
            kind,
            value,
            variance,
            lon,
            lat,
            height,
            days,
            secs,
            radar_lon,
            radar_lat,
            radar_height,
            nyquist,
            velkey,
        )
    ]
    beam = beam.tolist()
    for i, (k, v, var, x, y, z, d, s, rx, ry, rz, nyq, key) in enumerate(zip(*cols)):
        out.append(
            " OBS %12d\n%25.16E\n%12d\n%12d%12d%12d\nobdef\nloc3d\n %25.16E %25.16E %25.16E %2d\n"
            "kind\n%12d\n"
            % (
                i + 1,
                v,
                0,
                i if i else -1,
                i + 2 if i < n - 1 else -1,
                -1,
                x,
                y,
                z,
                vertical,
                k + 1,
            )
        )
        if k == 0:
            b = beam[i]
            out.append(
                "platform\nloc3d\n %25.16E %25.16E %25.16E %2d\ndir3d\n %25.16E %25.16E %25.16E\n"
                " %25.16E\n%12d\n" % (rx, ry, rz, vertical, b[0], b[1], b[2], nyq, key)
            )
        out.append("%6d %10d\n%25.16E\n" % (s, d, var))
    return "".join(out).encode()


def dart_setup(scale):
    rng = np.random.default_rng(6)
    n = scaled(1_000_000, scale)
    kind = np.where(rng.random(n) < 0.5, 0, 1).astype(np.int64)
    value = rng.normal(0, 15, n)
    variance = rng.uniform(1, 25, n)
    lon = rng.uniform(4.3, 4.6, n)
    lat = rng.uniform(0.55, 0.65, n)
    height = rng.uniform(100, 15_000, n)
    days = np.full(n, 154_000, dtype=np.int64)
    secs = rng.integers(0, 86_400, n)
    radar_lon = np.full(n, 4.45)
    radar_lat = np.full(n, 0.608)
    radar_height = np.full(n, 370.0)
    beam = rng.normal(0, 1, (n, 3))
    nyquist = np.full(n, 26.5)
    velkey = np.arange(1, n + 1, dtype=np.int64)
    args = (
        kind,
        value,
        variance,
        lon,
        lat,
        height,
        days,
        secs,
        radar_lon,
        radar_lat,
        radar_height,
        beam,
        nyquist,
        velkey,
        3,
    )
    return Setup(
        f"{n:,} records (half RV)",
        lambda t: _tavolin.format_dart(*args, n_threads=t),
        [
            Peer(
                "% formatting per record, joined",
                lambda t: dart_python(*args),
                threaded=False,
                repeat=2,
            )
        ],
    )


CASES = [
    Case("format_wrfda", wrfda_setup),
    Case("format_dart", dart_setup),
]
