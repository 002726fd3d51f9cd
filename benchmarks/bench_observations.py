"""The observation job on a NEXRAD-size volume: seconds per step, beside the chain users
build today, the share of file decoding, and the 1-to-2 Dask worker scaling.

The volume: the geometry of Py-ART's NEXRAD test volume (16 sweeps, 7,200 rays, 1,832
gates), a storm over weak echo, polarimetric moments, and a known wind folded by a
10 m/s Nyquist velocity.

- ours: ``kestrum.observations`` with the "texture" quality control (textures of phidp,
  rhohv, zdr and reflectivity, rhohv >= 0.6, velocities of gates below 10 dBZ
  removed), dealiasing with the volume's VAD, polar superobservations of velocity and
  reflectivity, the DART batches and the WRFDA columns;
- the peer: Py-ART's ``moment_and_texture_based_gate_filter`` with the same
  thresholds (and ``exclude_below`` 10 dBZ for the velocities), ``dealias_region_based``,
  and NumPy ``bincount`` polar boxes of the same sizes (velocity mean and spread,
  reflectivity in linear Z).

Run from the repository: ``python benchmarks/bench_observations.py [--gates N] [--volumes N]``.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

D_AZ, D_R, MAX_RANGE = 5.0, 5000.0, 100e3


def load_pyart():
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")
        import pyart
        import pyart.testing
    return pyart


def make_volume(pyart, gates, seed=0):
    from observations import aliased_copy  # the main example's made volume

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        real = pyart.io.read(pyart.testing.NEXRAD_ARCHIVE_MSG31_FILE)
    radar = aliased_copy(pyart, real, 0, seed, gates=gates)
    shape = (radar.nrays, radar.ngates)
    gen = np.random.default_rng(seed + 1)
    mask = np.ma.getmaskarray(radar.fields["reflectivity"]["data"])
    for name, units, data in (
        ("cross_correlation_ratio", "ratio", np.clip(gen.normal(0.97, 0.03, shape), 0, 1)),
        ("differential_reflectivity", "dB", gen.normal(0.5, 0.6, shape)),
        ("differential_phase", "degrees", 60.0 + np.cumsum(gen.normal(0.05, 1.0, shape), axis=1)),
    ):
        radar.add_field(
            name,
            {
                "data": np.ma.masked_array(data.astype(np.float32), mask),
                "units": units,
                "_FillValue": np.float32(-9999.0),
            },
        )
    return radar


def numpy_superobs(radar, values, quantity):
    """Polar boxes of every sweep by np.bincount: the superob a user writes."""
    v = np.ma.filled(values.astype(np.float64), np.nan)
    sweep = np.repeat(
        np.arange(radar.nsweeps),
        np.diff(np.append(radar.sweep_start_ray_index["data"], radar.nrays)),
    )
    n_az, n_r = int(360 / D_AZ), int(MAX_RANGE / D_R)
    ia = (np.mod(radar.azimuth["data"], 360.0) // D_AZ).astype(np.int64)
    jr = (radar.range["data"] // D_R).astype(np.int64)
    key = (sweep * n_az + ia)[:, None] * n_r + jr[None, :]
    ok = np.isfinite(v) & (radar.range["data"] < MAX_RANGE)[None, :]
    key, v = key[ok], v[ok]
    n = radar.nsweeps * n_az * n_r
    count = np.bincount(key, minlength=n)
    x = 10.0 ** (v / 10.0) if quantity == "reflectivity" else v
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.bincount(key, x, n) / count
        std = np.sqrt(np.maximum(np.bincount(key, x * x, n) / count - mean**2, 0))
        if quantity == "reflectivity":
            mean = 10 * np.log10(mean)
    keep = count >= (50 if quantity == "velocity" else 6)
    return mean[keep], std[keep], count[keep]


def pyart_chain(pyart, radar):
    seconds = {}
    t = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        gf = pyart.filters.moment_and_texture_based_gate_filter(
            radar,
            zdr_field="differential_reflectivity",
            rhv_field="cross_correlation_ratio",
            phi_field="differential_phase",
            refl_field="reflectivity",
        )
        gf.exclude_below("reflectivity", 10.0)
        seconds["qc"] = time.perf_counter() - t
        t = time.perf_counter()
        dealiased = pyart.correct.dealias_region_based(radar, gatefilter=gf, vel_field="velocity")
        seconds["dealias"] = time.perf_counter() - t
    t = time.perf_counter()
    keep = ~gf.gate_excluded
    vel = np.ma.masked_where(~keep, dealiased["data"])
    numpy_superobs(radar, vel, "velocity")
    numpy_superobs(radar, radar.fields["reflectivity"]["data"], "reflectivity")
    seconds["superobs"] = time.perf_counter() - t
    return seconds


def kestrum_chain(radar, n_threads):
    from kestrum import job

    config = job.Config.from_dict({"qc": {"preset": "texture", "min_reflectivity": 10.0}})
    obs = job.observations(radar, config, n_threads=n_threads)
    return obs.seconds


def best(fn, repeat):
    runs = [fn() for _ in range(repeat)]
    return {k: min(r[k] for r in runs) for k in runs[0]}


def scaling(paths, workers):
    from distributed import LocalCluster

    from kestrum import job

    with LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
    ) as c:
        job.run(paths[:workers], scheduler=c.scheduler_address, threads=1)  # workers import Py-ART
        t = time.perf_counter()
        result = job.run(paths, scheduler=c.scheduler_address, threads=1)
        return len(result.volumes) / (time.perf_counter() - t)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument(
        "--gates", type=int, default=1832, help="gates per ray (1832: the whole scan)"
    )
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument(
        "--volumes", type=int, default=4, help="volumes of the Dask scaling run (0: skip)"
    )
    parser.add_argument("--no-pyart", action="store_true", help="skip the Py-ART chain")
    args = parser.parse_args(argv)
    pyart = load_pyart()
    radar = make_volume(pyart, args.gates)
    gates = radar.nrays * radar.ngates
    print(
        f"volume: {radar.nsweeps} sweeps, {radar.nrays} rays x {radar.ngates} gates ({gates / 1e6:.1f} M gates)"
    )
    print(f"load: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")

    ours1 = best(lambda: kestrum_chain(radar, 1), args.repeat)
    ours2 = best(lambda: kestrum_chain(radar, 2), args.repeat)
    peer = {} if args.no_pyart else best(lambda: pyart_chain(pyart, radar), 1)
    steps = ["qc", "dealias", "superobs", "output"]
    print(
        f"\n{'step':10s} {'ours 1 thr':>11s} {'ours 2 thr':>11s} {'Py-ART+NumPy':>13s} {'ratio 1 thr':>12s}"
    )
    for s in steps + ["all"]:
        o1 = sum(ours1[k] for k in steps) if s == "all" else ours1[s]
        o2 = sum(ours2[k] for k in steps) if s == "all" else ours2[s]
        p = (sum(peer.values()) if s == "all" else peer.get(s)) if peer else None
        ratio = f"{p / o1:11.1f}x" if p else ""
        print(f"{s:10s} {o1:10.3f}s {o2:10.3f}s {'' if p is None else f'{p:12.3f}s'} {ratio:>12s}")
    print(
        "(ours 'output': DART batches and the WRFDA columns, which the peer chain does not make;"
        " 'all' after decoding)"
    )

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp, "volume.nc")
        pyart.io.write_cfradial(str(path), radar)
        from kestrum import job

        for reader in ("pyart", "xradar"):
            job.volume.reader_module(reader)
            t = time.perf_counter()
            job.volume.open_volume(path, reader)
            decode = time.perf_counter() - t
            after = sum(ours1[k] for k in steps)
            print(
                f"decoding the CfRadial file with {reader}: {decode:.2f} s, "
                f"{decode / (decode + after):.0%} of the job at one thread"
            )
        if args.volumes:
            paths = []
            for k in range(args.volumes):
                p = Path(tmp, f"v{k}.nc")
                os.link(path, p)
                paths.append(str(p))
            one, two = scaling(paths, 1), scaling(paths, 2)
            print(
                f"Dask workers (one thread each), {args.volumes} volumes: 1 worker {one:.3f} volumes/s, "
                f"2 workers {two:.3f} volumes/s ({two / one:.2f}x)"
            )
    print(f"load: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
