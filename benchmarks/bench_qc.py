"""Gate quality control on Py-ART's NEXRAD test volume, beside Py-ART and SciPy.

    python benchmarks/bench_qc.py               # every case
    python benchmarks/bench_qc.py --repeat 3    # best of 3 rounds (default 3)

The volume has the geometry of ``pyart.testing.NEXRAD_ARCHIVE_MSG31_FILE``: 16 sweeps,
7200 rays of 1832 gates (13.2 million gates per field), with synthetic weather, clutter
and speckle in its fields (the file's own fields are constants; see synthetic_fields). Each case runs ours at one and at two threads and
its peers on the same data, interleaved (one run of each in turn, best of the rounds),
so that other load on the machine falls on both sides alike. The peers:

- velocity texture: Py-ART's ``calculate_velocity_texture`` (3 x 3 window, circular on
  each sweep's nyquist), and the strongest simple SciPy form of the same thing
  (``uniform_filter`` of cos and sin of the angle, per sweep, wrapping in azimuth);
- texture filter: Py-ART's ``moment_and_texture_based_gate_filter`` (textures of four
  fields over 7 gates along the ray and their thresholds) against
  ``gate_qc(preset="texture")``, which computes the same four textures; and a NumPy
  rolling standard deviation (``sliding_window_view``, ``nanstd``) of one field;
- despeckling: Py-ART's ``despeckle_field`` (reflectivity, groups under 10 gates)
  and ``scipy.ndimage.label`` with ``bincount`` sizes per sweep.

The agreement column compares the masks (share of gates on which both agree) or the
textures (largest difference where both are defined, away from the first and last
three gates, where Py-ART repeats its edge values).
"""

from __future__ import annotations

import argparse
import os
import time
import warnings

import numpy as np


def best(fn, repeat):
    t, out = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        t = min(t, time.perf_counter() - t0)
    return t, out


def synthetic_fields(radar, seed=0):
    """Weather, clutter and speckle on the radar's geometry, as float32 masked fields.

    Py-ART's NEXRAD test volume keeps the geometry of a real one but every field holds
    one constant value; QC costs depend on the data (Py-ART's textures do not, but
    despeckling does), so the fields are replaced by: four convective cells and a
    stratiform region (reflectivity, rhohv near 0.98, zdr near 0.5 dB, phidp rising
    through the cells), a sheared wind folded at each sweep's nyquist, ground clutter
    within 30 km on the two lowest tilts, and 0.02% of the gates as isolated noise.
    Velocity is missing on the surveillance sweeps (nyquist below 10 m/s), as there.
    """
    rng = np.random.default_rng(seed)
    az = np.deg2rad(radar.azimuth["data"]).astype(np.float32)[:, None]
    el = np.deg2rad(radar.elevation["data"]).astype(np.float32)[:, None]
    r = (radar.range["data"] / 1000.0).astype(np.float32)[None, :]
    ground = r * np.cos(el)
    x, y, z = ground * np.sin(az), ground * np.cos(az), r * np.sin(el) + r * r / 17000.0
    shape = np.broadcast_shapes(x.shape, r.shape)
    dbz = 25.0 * np.exp(-((x + 60) ** 2 + (y - 40) ** 2) / 2 / 70.0**2)
    for cx, cy, size, peak in [
        (40, 60, 12, 58),
        (-30, -50, 9, 52),
        (90, -20, 15, 55),
        (10, 120, 8, 50),
    ]:
        dbz = dbz + peak * np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / 2 / size**2)
    dbz = dbz * np.clip(1.2 - z / 10.0, 0, 1) + rng.normal(0, 1.5, shape).astype(np.float32)
    weather = (dbz > 5) & (r < 400)
    speckle = ~weather & (rng.random(shape) < 0.0002)
    clutter = (r < 30) & (el < np.deg2rad(1.0)) & (rng.random(shape) < 0.5)
    valid = weather | speckle | clutter
    noise = lambda lo, hi: rng.uniform(lo, hi, shape).astype(np.float32)  # noqa: E731
    dbz = np.where(speckle, noise(-10, 20), np.where(clutter, noise(40, 60), dbz))
    rhohv = np.where(
        weather & ~clutter, np.minimum(0.985 + rng.normal(0, 0.01, shape), 1), noise(0.3, 0.85)
    )
    zdr = np.where(weather & ~clutter, 0.5 + rng.normal(0, 0.3, shape), noise(-4, 6))
    phidp = 30 + np.cumsum(np.where(dbz > 40, 1.0, 0.0), axis=1) + rng.normal(0, 2, shape)
    phidp = np.where(weather & ~clutter, phidp, noise(0, 360))
    nyq = np.asarray(radar.instrument_parameters["nyquist_velocity"]["data"], np.float32)[:, None]
    u, v = 10 + 2 * z, 5 + 1.5 * z
    vr = (u * np.sin(az) + v * np.cos(az)) * np.cos(el) + rng.normal(0, 1, shape)
    vr = np.where(clutter, rng.normal(0, 0.3, shape), vr)
    vr = (vr + nyq) % (2 * nyq) - nyq
    width = np.where(weather & ~clutter, noise(0.5, 3), noise(3, 9))
    doppler = np.broadcast_to(nyq > 10, shape)
    masked = lambda a, ok: np.ma.MaskedArray(np.asarray(a, np.float32), mask=~ok)  # noqa: E731
    return {
        "reflectivity": masked(dbz, valid),
        "cross_correlation_ratio": masked(rhohv, valid),
        "differential_reflectivity": masked(zdr, valid),
        "differential_phase": masked(phidp, valid),
        "velocity": masked(vr, valid & doppler),
        "spectrum_width": masked(width, valid & doppler),
    }


def load():
    import pyart

    radar = pyart.io.read(pyart.testing.NEXRAD_ARCHIVE_MSG31_FILE)
    for name, data in synthetic_fields(radar).items():
        radar.fields[name]["data"] = data
    starts = radar.sweep_start_ray_index["data"].astype(np.int64)
    nyq = np.asarray(radar.instrument_parameters["nyquist_velocity"]["data"], dtype=np.float64)
    return radar, starts, nyq


def scipy_velocity_texture(vel, starts, nyq):
    from scipy import ndimage

    out = np.empty(vel.shape)
    bounds = list(starts) + [vel.shape[0]]
    for a, b in zip(bounds[:-1], bounds[1:]):
        v, n = vel[a:b], nyq[a]
        ok = np.isfinite(v)
        ang = np.where(ok, v, 0.0) * (np.pi / n)
        mode = ("wrap", "constant")
        c = ndimage.uniform_filter(np.where(ok, np.cos(ang), 0.0), 3, mode=mode)
        s = ndimage.uniform_filter(np.where(ok, np.sin(ang), 0.0), 3, mode=mode)
        k = ndimage.uniform_filter(ok.astype(float), 3, mode=mode)
        with np.errstate(invalid="ignore", divide="ignore"):
            r = np.minimum(np.hypot(c, s) / k, 1.0)
            out[a:b] = np.where(ok, n / np.pi * np.sqrt(-2 * np.log(r)), np.nan)
    return out


def numpy_rolling_std(field):
    from numpy.lib.stride_tricks import sliding_window_view

    padded = np.pad(field, ((0, 0), (3, 3)), constant_values=np.nan)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return np.nanstd(sliding_window_view(padded, 7, axis=1), axis=-1)


def scipy_despeckle(valid, starts, size):
    from scipy import ndimage

    kept = np.empty_like(valid)
    bounds = list(starts) + [valid.shape[0]]
    for a, b in zip(bounds[:-1], bounds[1:]):
        labels, _ = ndimage.label(valid[a:b])
        counts = np.bincount(labels.ravel())
        counts[0] = 0
        kept[a:b] = counts[labels] >= size
    return kept


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    import pyart

    import kestrum

    radar, starts, nyq = load()
    f = radar.fields
    vel = f["velocity"]["data"]
    shape = vel.shape
    filled = lambda name: np.ma.filled(f[name]["data"].astype(np.float64), np.nan)  # noqa: E731
    size = f"{shape[0]} x {shape[1]} ({len(starts)} sweeps)"
    rows = []

    def case(name, ours, peers, agree):
        runs = {"1": [], "2": []} | {label: [] for label, _ in peers}
        out = {}
        for round_ in range(args.repeat):
            for t in ("1", "2"):
                dt, out[t] = best(lambda t=t: ours(int(t)), 1)
                runs[t].append(dt)
            for label, peer in peers:
                # Py-ART's peers take seconds to minutes: one run each is enough.
                if round_ == 0 or not label.startswith("Py-ART"):
                    dt, out[label] = best(peer, 1)
                    runs[label].append(dt)
        t1, t2 = min(runs["1"]), min(runs["2"])
        for k, (label, _) in enumerate(peers):
            tp = min(runs[label])
            rows.append(
                (
                    name if k == 0 else "",
                    label,
                    t2,
                    t1,
                    tp,
                    tp / t1,
                    t1 / t2,
                    agree(out["1"], out[label]),
                )
            )
            print(rows[-1], f"load {os.getloadavg()[0]:.2f}", flush=True)
        same = np.ma.filled(out["1"], np.nan).tobytes() == np.ma.filled(out["2"], np.nan).tobytes()
        assert same, f"{name}: one and two threads differ"

    def texture_agreement(ours, theirs):
        a, b = (
            np.ma.filled(np.ma.asarray(ours, dtype=float), np.nan),
            np.ma.filled(np.ma.asarray(theirs, dtype=float), np.nan),
        )
        both = np.isfinite(a) & np.isfinite(b)
        both[:, :3] = both[:, -3:] = False
        return f"max diff {np.max(np.abs(a - b)[both]):.2g}" if both.any() else "-"

    def mask_agreement(ours, theirs):
        return f"{np.mean(np.asarray(ours) == np.asarray(theirs)):.4%} same"

    # Velocity texture: Py-ART's wants one nyquist per sweep and adds no field itself.
    nyq_rays = nyq.copy()
    case(
        "velocity texture 3x3",
        lambda t: kestrum.texture(vel, window=3, nyquist=nyq_rays, sweeps=starts, n_threads=t),
        [
            (
                "Py-ART calculate_velocity_texture",
                lambda: pyart.retrieve.calculate_velocity_texture(radar, "velocity", wind_size=3)[
                    "data"
                ],
            ),
            (
                "SciPy uniform_filter, per sweep",
                lambda: scipy_velocity_texture(filled("velocity"), starts, nyq),
            ),
        ],
        texture_agreement,
    )

    names = dict(
        zdr_field="differential_reflectivity",
        rhv_field="cross_correlation_ratio",
        phi_field="differential_phase",
        refl_field="reflectivity",
    )
    fields = dict(
        reflectivity=f["reflectivity"]["data"],
        rhohv=f["cross_correlation_ratio"]["data"],
        zdr=f["differential_reflectivity"]["data"],
        phidp=f["differential_phase"]["data"],
    )

    def pyart_filter():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return ~pyart.filters.moment_and_texture_based_gate_filter(radar, **names).gate_excluded

    def ours_filter(t):
        # Py-ART's filter also drops the gates without a value in any of the four fields.
        return kestrum.gate_qc(**fields, preset="texture", sweeps=starts, n_threads=t).keep

    case(
        "texture filter (4 fields)",
        ours_filter,
        [("Py-ART moment_and_texture_based_gate_filter", pyart_filter)],
        mask_agreement,
    )
    zdr = f["differential_reflectivity"]["data"]
    case(
        "texture 1x7, one field",
        lambda t: kestrum.texture(zdr, window=(1, 7), sweeps=starts, n_threads=t),
        [
            (
                "NumPy sliding_window_view + nanstd",
                lambda: numpy_rolling_std(filled("differential_reflectivity")),
            )
        ],
        texture_agreement,
    )

    valid = ~np.ma.getmaskarray(f["reflectivity"]["data"])
    case(
        "despeckle, 10 gates",
        lambda t: kestrum.despeckle(valid, min_size=10, sweeps=starts, n_threads=t),
        [
            (
                "Py-ART despeckle_field",
                lambda: (
                    ~pyart.correct.despeckle_field(radar, "reflectivity", size=10).gate_excluded
                ),
            ),
            ("SciPy ndimage.label, per sweep", lambda: scipy_despeckle(valid, starts, 10)),
        ],
        mask_agreement,
    )

    print(
        f"\nNEXRAD-size volume {size}; load average {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f}; "
        f"best of {args.repeat}\n"
    )
    head = (
        "case",
        "peer",
        "ours 2 thr",
        "ours 1 thr",
        "peer",
        "peer / ours 1",
        "1 -> 2 thr",
        "agreement",
    )
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for name, label, t2, t1, tp, ratio, scale, agree in rows:
        print(
            f"| {name} | {label} | {t2 * 1e3:.1f} ms | {t1 * 1e3:.1f} ms | {tp * 1e3:.0f} ms | "
            f"{ratio:.0f}x | {scale:.2f}x | {agree} |"
        )


if __name__ == "__main__":
    main()
