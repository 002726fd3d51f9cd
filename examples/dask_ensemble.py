"""Ensemble statistics and thermodynamic fields chunk by chunk over Dask arrays.

The data are Dask-backed xarray DataArrays; kestrum computes them chunk by chunk
(through ``xarray.apply_ufunc(..., dask="parallelized")``), each task calling the native
function on one chunk with n_threads=1, so Dask's workers supply the parallelism: on
one machine through a LocalCluster, on a cluster through whatever scheduler the Client
points at. Because every column and every point is computed on its own, the chunked
result equals a single in-memory call bit for bit.

    python examples/dask_ensemble.py [--members 40] [--columns 4000000] [--workers 2]
"""

from __future__ import annotations

import argparse
import time

import dask.array as da
import numpy as np
import xarray as xr

import kestrum

PERCENTILES = np.array([10.0, 50.0, 90.0])


def ensemble_statistics(values: xr.DataArray, percentiles=PERCENTILES) -> xr.Dataset:
    """Mean, spread and percentiles along ``member``; lazy while ``values`` is.

    ``values`` is (member, point), chunked along ``point`` only: every task needs all
    the members of its columns.
    """
    values = values.chunk({"member": -1})
    return kestrum.statistics(
        values, percentiles, dim="member", min_valid=2, n_threads=1
    ).to_dataset()


def thermo(t: xr.DataArray, p: xr.DataArray, td: xr.DataArray) -> xr.Dataset:
    """Mixing ratio, theta, theta-v, theta-e of equally chunked arrays, lazily."""
    return kestrum.thermo(t, p, td, n_threads=1).to_dataset()


def synthetic_ensemble(members, columns, chunk, seed=0):
    """A lazily generated ensemble with 1% missing members."""
    rs = da.random.RandomState(seed)
    values = rs.normal(20.0, 5.0, (members, columns), chunks=(members, chunk)).astype(np.float32)
    values = da.where(rs.random_sample(values.shape, chunks=values.chunks) < 0.01, np.nan, values)
    return xr.DataArray(values, dims=("member", "point"), attrs={"units": "dBZ"})


def synthetic_sounding(points, chunk, seed=1):
    """Pressure from 500 to 1020 hPa with a temperature and dew point that fit it."""
    rs = da.random.RandomState(seed)
    p = rs.uniform(50000.0, 102000.0, points, chunks=chunk)
    t = 255.0 + 45.0 * (p - 50000.0) / 52000.0 + rs.normal(0.0, 3.0, points, chunks=chunk)
    td = t - rs.uniform(0.5, 20.0, points, chunks=chunk)
    return (
        xr.DataArray(t, dims="point", attrs={"units": "K"}),
        xr.DataArray(p, dims="point", attrs={"units": "Pa"}),
        xr.DataArray(td, dims="point", attrs={"units": "K"}),
    )


def check_small_case():
    """The chunked results equal one native call on the whole array."""
    values = synthetic_ensemble(12, 5000, 700)
    whole = kestrum.statistics(values.values, PERCENTILES, axis=0, min_valid=2)
    chunked = ensemble_statistics(values)
    assert chunked["mean"].chunks is not None  # still lazy: nothing computed yet
    chunked = chunked.compute()
    for name in ("mean", "std", "percentiles"):
        assert np.array_equal(chunked[name].values, getattr(whole, name), equal_nan=True), name
    t, p, td = synthetic_sounding(10_000, 1500)
    expected = kestrum.thermo(t.values, p.values, td.values)
    got = thermo(t, p, td).compute()
    for name in expected._fields:
        assert np.array_equal(got[name].values, getattr(expected, name), equal_nan=True), name
    print("small case: chunked results equal a single call")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--members", type=int, default=40)
    parser.add_argument("--columns", type=int, default=4_000_000)
    parser.add_argument("--chunk", type=int, default=250_000, help="columns per task")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--scheduler", help="address of an existing Dask scheduler")
    args = parser.parse_args()
    from dask.distributed import Client, LocalCluster

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True)
        client = Client(cluster)
    with client:
        print(f"dask dashboard: {client.dashboard_link}")
        check_small_case()

        values = synthetic_ensemble(args.members, args.columns, args.chunk)
        t0 = time.perf_counter()
        stats = ensemble_statistics(values)
        mean_of_spread = float(stats["std"].mean().compute())
        print(
            f"statistics of {args.members} x {args.columns:,}: {time.perf_counter() - t0:.2f} s, "
            f"{len(stats['std'].chunks[0])} tasks, mean spread {mean_of_spread:.3f} dB"
        )

        t, p, td = synthetic_sounding(args.columns, args.chunk)
        t0 = time.perf_counter()
        theta_e = thermo(t, p, td)["theta_e"]
        print(
            f"thermo of {args.columns:,} points: max theta-e {float(theta_e.max().compute()):.1f} K "
            f"in {time.perf_counter() - t0:.2f} s"
        )


if __name__ == "__main__":
    main()
