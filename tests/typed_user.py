"""A small user script, checked by ``mypy --strict`` in the test suite (not collected by pytest)."""

import numpy as np
import numpy.typing as npt
import xarray as xr

import kestrum


def wind_profile(velocity: npt.NDArray[np.float64], azimuth: npt.NDArray[np.float64]) -> float:
    fit: kestrum.VAD[npt.NDArray[np.float64]] = kestrum.vad(
        velocity, azimuth, 0.5, min_gates=10, min_spread=0.05
    )
    pos: kestrum.BeamPosition[npt.NDArray[np.float64]] = kestrum.beam_height(
        np.arange(velocity.shape[1]) * 250.0, 0.5
    )
    top = float(np.nanmax(pos.height))
    return float(np.nanmean(fit.u)) + 0.0 * top


def moisture(t: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    out: kestrum.Thermo[npt.NDArray[np.float64]] = kestrum.thermo(t, 85000.0, t - 5.0)
    return out.theta_e


def spread(values: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
    stats: kestrum.Statistics[npt.NDArray[np.float64]] = kestrum.statistics(
        values, [10.0, 90.0], axis=0, min_valid=2
    )
    members = kestrum.perturb(
        values[0], None, None, None, None, 1, np.ones((6, 1)), [0.0, 1.0], 0.0, 1, 2, 0
    )
    assert members.dbz is not None and members.dbz.shape[0] == 2
    return stats.std


version: str = kestrum.__version__


def on_grid(t: xr.DataArray) -> xr.Dataset:
    out: kestrum.Thermo[xr.DataArray] = kestrum.thermo(t, 85000.0, t - 5.0)
    assert out.theta.dims == t.dims
    return out.to_dataset()
