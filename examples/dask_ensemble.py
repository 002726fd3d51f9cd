"""Ensemble statistics and thermodynamic fields chunk by chunk over Dask arrays.

Each Dask task calls the native function on one chunk with n_threads=1, so Dask's
workers supply the parallelism: on one machine through a LocalCluster, on a cluster
through whatever scheduler the Client points at. Because every column and every point
is computed on its own, the chunked result equals a single call bit for bit.

    python examples/dask_ensemble.py [--members 40] [--columns 4000000] [--workers 2]
"""

from __future__ import annotations

import argparse
import time

import dask.array as da
import numpy as np

import _ensemble
import _kestrum

PERCENTILES = np.array([10.0, 50.0, 90.0])


def _statistics_block(values, percentiles):
    mean, std, pct = _ensemble.statistics(values, percentiles, 2, n_threads=1)
    return np.concatenate([mean[None], std[None], pct])


def ensemble_statistics(values: da.Array, percentiles=PERCENTILES) -> da.Array:
    """Rows: mean, spread, then one row per percentile; one column per point.

    `values` is (members, n) float32, chunked along n only: every task needs all the
    members of its columns.
    """
    values = values.rechunk({0: -1})
    rows = 2 + len(percentiles)
    return da.map_blocks(
        _statistics_block, values, np.asarray(percentiles, float),
        chunks=((rows,), values.chunks[1]), dtype=np.float64,
    )


def thermo(t: da.Array, p: da.Array, td: da.Array) -> da.Array:
    """(4, n): mixing ratio, theta, theta-v, theta-e of flat, equally chunked arrays."""
    return da.map_blocks(
        lambda t, p, td: _kestrum.thermo(t, p, td, n_threads=1), t, p, td,
        new_axis=0, chunks=((4,), t.chunks[0]), dtype=np.float64,
    )


def synthetic_ensemble(members, columns, chunk, seed=0):
    """A lazily generated ensemble with 1% missing members."""
    rs = da.random.RandomState(seed)
    values = rs.normal(20.0, 5.0, (members, columns), chunks=(members, chunk)).astype(np.float32)
    return da.where(rs.random_sample(values.shape, chunks=values.chunks) < 0.01, np.nan, values)


def synthetic_sounding(points, chunk, seed=1):
    """Pressure from 500 to 1020 hPa with a temperature and dew point that fit it."""
    rs = da.random.RandomState(seed)
    p = rs.uniform(50000.0, 102000.0, points, chunks=chunk)
    t = 255.0 + 45.0 * (p - 50000.0) / 52000.0 + rs.normal(0.0, 3.0, points, chunks=chunk)
    td = t - rs.uniform(0.5, 20.0, points, chunks=chunk)
    return t, p, td


def check_small_case():
    """The chunked results equal one native call on the whole array."""
    values = synthetic_ensemble(12, 5000, 700)
    whole = values.compute()
    mean, std, pct = _ensemble.statistics(whole, PERCENTILES, 2)
    chunked = ensemble_statistics(values).compute()
    assert np.array_equal(chunked, np.concatenate([mean[None], std[None], pct]), equal_nan=True)
    t, p, td = synthetic_sounding(10_000, 1500)
    expected = _kestrum.thermo(*(a.compute() for a in (t, p, td)))
    assert np.array_equal(thermo(t, p, td).compute(), expected, equal_nan=True)
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
        mean_of_spread = float(stats[1].mean().compute())
        print(f"statistics of {args.members} x {args.columns:,}: {time.perf_counter() - t0:.2f} s, "
              f"{stats.numblocks[1]} tasks, mean spread {mean_of_spread:.3f}")

        t, p, td = synthetic_sounding(args.columns, args.chunk)
        t0 = time.perf_counter()
        theta_e = thermo(t, p, td)[3]
        print(f"thermo of {args.columns:,} points: max theta-e {float(theta_e.max().compute()):.1f} K "
              f"in {time.perf_counter() - t0:.2f} s")


if __name__ == "__main__":
    main()
