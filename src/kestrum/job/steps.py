"""The steps of the job on one sweep or volume: quality control, dealiasing, boxes.

This module is the one seam between the job and the functions doing each step: the
pipeline (:mod:`.pipeline`) calls only what is defined here, and every function
returns what the gate count needs (which gates a step removed or kept).
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

from ..radar import beam_height
from .config import QC, Output, Superobs
from .volume import Sweep

#: Quality-control tests in bit order: bit i of a gate's code is set when test i failed.
QC_TESTS = ("reflectivity", "spectrum_width", "rhohv", "zdr", "speckle")
#: Tests that judge only the gate's velocity (see :class:`~.config.QC`).
VELOCITY_ONLY = 0b11
#: Earth radius of the azimuthal equidistant projection around the radar, m (Py-ART's).
AEQD_RADIUS = 6370997.0


# --- quality control --------------------------------------------------------------------


def qc_codes(sweep: Sweep, cfg: QC) -> np.ndarray:
    """Bit code of the failed tests of every gate, (rays, gates) uint8 (0: passed)."""
    shape = next(iter(sweep.moments.values())).shape
    code = np.zeros(shape, np.uint8)
    if not cfg.enabled:
        return code
    m = sweep.moments
    tests = (("reflectivity", "reflectivity", cfg.min_reflectivity, np.less),
             ("spectrum_width", "spectrum_width", cfg.max_spectrum_width, np.greater),
             ("rhohv", "rhohv", cfg.min_rhohv, np.less),
             ("zdr", "zdr", cfg.max_zdr, np.greater))
    for bit, (test, moment, threshold, fails) in enumerate(tests):
        if moment in m and np.isfinite(threshold):
            with np.errstate(invalid="ignore"):
                code |= (fails(m[moment], threshold) << bit).astype(np.uint8)
    return code


# --- dealiasing -------------------------------------------------------------------------


class Dealiased(NamedTuple):
    velocity: np.ndarray
    """(rays, gates) m/s, NaN where missing or unresolved."""
    folds: np.ndarray
    """(rays, gates) int, folds each gate was moved."""
    unresolved: np.ndarray
    """(rays, gates) bool, valid gates the dealiasing could not place."""


def dealias(velocity: np.ndarray, sweep: Sweep, enabled: bool) -> Dealiased:
    """Velocities on their true fold (passed through until a dealiaser is wired in)."""
    return Dealiased(velocity, np.zeros(velocity.shape, np.int8), np.zeros(velocity.shape, bool))


# --- superobservations ------------------------------------------------------------------


class Boxes(NamedTuple):
    """Kept polar boxes of one sweep and quantity; arrays of shape (boxes,)."""

    value: np.ndarray
    std: np.ndarray
    count: np.ndarray
    azimuth: np.ndarray
    elevation: np.ndarray
    range: np.ndarray
    time: np.ndarray
    nyquist: np.ndarray
    error: np.ndarray
    clear_air: np.ndarray
    dropped: int
    """Valid gates left in boxes that were not kept (or beyond the last box)."""


def _sums(key: np.ndarray, n: int, *values: np.ndarray) -> list[np.ndarray]:
    return [np.bincount(key, weights=v, minlength=n) for v in values]


def superobs(values: np.ndarray, sweep: Sweep, quantity: str, cfg: Superobs) -> Boxes:
    """Polar boxes of one sweep: `d_azimuth` by `d_range`, statistics of the valid gates."""
    rays, gates = values.shape
    valid = np.isfinite(values)
    n_az = int(np.ceil(360.0 / cfg.d_azimuth))
    n_r = int(np.ceil(cfg.max_range / cfg.d_range))
    az = np.mod(sweep.azimuth, 360.0)
    i = np.minimum((az // cfg.d_azimuth).astype(np.int64), n_az - 1)
    j = (sweep.range // cfg.d_range).astype(np.int64)
    inside = valid & ((j >= 0) & (j < n_r))[None, :] & np.isfinite(az)[:, None]
    key = (i[:, None] * n_r + j[None, :])[inside]
    v = values[inside]
    ray = np.broadcast_to(np.arange(rays)[:, None], values.shape)[inside]
    gate = np.broadcast_to(np.arange(gates)[None, :], values.shape)[inside]
    n = n_az * n_r
    count = np.bincount(key, minlength=n)
    if quantity == "reflectivity":
        (lin,) = _sums(key, n, 10.0 ** (v / 10.0))
        with np.errstate(divide="ignore", invalid="ignore"):
            mean = 10.0 * np.log10(lin / count)
    else:
        (s,) = _sums(key, n, v)
        with np.errstate(invalid="ignore"):
            mean = s / count
    with np.errstate(invalid="ignore"):
        (ss,) = _sums(key, n, (v - mean[key]) ** 2)
        std = np.sqrt(ss / count)
    a = np.deg2rad(az[ray])
    s_sin, s_cos, s_r, s_el, s_t = _sums(key, n, np.sin(a), np.cos(a), sweep.range[gate],
                                         sweep.elevation[ray],
                                         (sweep.time[ray] - sweep.time.min()).astype(np.float64))
    nyq = sweep.nyquist
    s_nyq = _sums(key, n, nyq[ray])[0] if nyq is not None else np.full(n, np.nan)
    keep = count >= max(cfg.min_count, 1)
    clear = np.zeros(n, bool)
    if quantity == "velocity":
        keep &= std <= cfg.max_std
        floor = cfg.velocity_error
    else:
        top = np.full(n, -np.inf)
        np.maximum.at(top, key, v)
        clear = keep & (top < cfg.echo_threshold)
        if not cfg.clear_air:
            keep &= ~clear
        floor = cfg.reflectivity_error
    c = count[keep]
    value = np.where(clear[keep], cfg.clear_air_value, mean[keep])
    t = sweep.time.min() + np.round(s_t[keep] / c).astype("timedelta64[ms]")
    return Boxes(
        value=value, std=std[keep], count=c,
        azimuth=np.mod(np.rad2deg(np.arctan2(s_sin[keep], s_cos[keep])), 360.0),
        elevation=s_el[keep] / c, range=s_r[keep] / c, time=t, nyquist=s_nyq[keep] / c,
        error=np.maximum(std[keep], floor), clear_air=clear[keep],
        dropped=int(valid.sum() - c.sum()),
    )


def concat(boxes: list[Boxes]) -> Boxes:
    """The boxes of several sweeps as one."""
    if not boxes:
        e = np.zeros(0)
        return Boxes(e, e, np.zeros(0, np.int64), e, e, e, np.zeros(0, "datetime64[ms]"), e, e,
                     np.zeros(0, bool), 0)
    return Boxes(*(np.concatenate([getattr(b, f) for b in boxes]) for f in Boxes._fields[:-1]),
                 sum(b.dropped for b in boxes))


def geographic(lat0: float, lon0: float, azimuth: np.ndarray, distance: np.ndarray
               ) -> tuple[np.ndarray, np.ndarray]:
    """Latitude and longitude (degrees) at ground `distance` (m) along `azimuth` from the
    site: the azimuthal equidistant projection around the radar, as Py-ART inverts it."""
    x = distance * np.sin(np.deg2rad(azimuth))
    y = distance * np.cos(np.deg2rad(azimuth))
    rho = np.hypot(x, y)
    c = rho / AEQD_RADIUS
    phi0, lam0 = np.deg2rad(lat0), np.deg2rad(lon0)
    with np.errstate(invalid="ignore", divide="ignore"):
        lat = np.arcsin(np.cos(c) * np.sin(phi0) + np.where(rho > 0, y * np.sin(c) / rho, 0.0) * np.cos(phi0))
    lon = lam0 + np.arctan2(x * np.sin(c), rho * np.cos(phi0) * np.cos(c) - y * np.sin(phi0) * np.sin(c))
    return np.rad2deg(lat), (np.rad2deg(lon) + 180.0) % 360.0 - 180.0


# --- WRFDA columns ----------------------------------------------------------------------


class Columns(NamedTuple):
    """Boxes of a horizontal grid around the radar by height level."""

    lat: np.ndarray
    lon: np.ndarray
    rv: np.ndarray
    rv_err: np.ndarray
    rf: np.ndarray
    rf_err: np.ndarray


def columns(sweeps: list[Sweep], velocity: list[np.ndarray], reflectivity: list[np.ndarray],
            site: tuple[float, float, float], sup: Superobs, out: Output) -> Columns:
    """Every gate of the volume into square columns of ``out.wrfda_spacing`` by level."""
    levels = np.asarray(out.wrfda_levels)
    edges = np.concatenate([[levels[0] - (levels[1] - levels[0]) / 2 if levels.size > 1 else levels[0] - 250.0],
                            (levels[1:] + levels[:-1]) / 2,
                            [levels[-1] + (levels[-1] - levels[-2]) / 2 if levels.size > 1 else levels[0] + 250.0]])
    lat0, lon0, alt = site
    half = int(np.ceil(sup.max_range / out.wrfda_spacing))
    side = 2 * half + 1
    n = side * side * levels.size
    stats = {}
    for name, fields in (("rv", velocity), ("rf", reflectivity)):
        keys, vals = [], []
        for sweep, v in zip(sweeps, fields):
            pos = beam_height(sweep.range[None, :], sweep.elevation[:, None], alt)
            a = np.deg2rad(sweep.azimuth)[:, None]
            ix = np.floor(pos.distance * np.sin(a) / out.wrfda_spacing + 0.5).astype(np.int64) + half
            iy = np.floor(pos.distance * np.cos(a) / out.wrfda_spacing + 0.5).astype(np.int64) + half
            k = np.searchsorted(edges, pos.height, side="right") - 1
            ok = (np.isfinite(v) & (ix >= 0) & (ix < side) & (iy >= 0) & (iy < side) & (k >= 0)
                  & (k < levels.size) & (sweep.range[None, :] < sup.max_range))
            keys.append(((iy * side + ix) * levels.size + k)[ok])
            vals.append(v[ok])
        key = np.concatenate(keys) if keys else np.zeros(0, np.int64)
        v = np.concatenate(vals) if vals else np.zeros(0)
        count = np.bincount(key, minlength=n)
        with np.errstate(divide="ignore", invalid="ignore"):
            if name == "rf":
                mean = 10.0 * np.log10(np.bincount(key, 10.0 ** (v / 10.0), n) / count)
            else:
                mean = np.bincount(key, v, n) / count
            std = np.sqrt(np.bincount(key, (v - mean[key]) ** 2, n) / count)
        good = count >= max(out.wrfda_min_count, 1)
        if name == "rv":
            good &= std <= sup.max_std
        floor = sup.velocity_error if name == "rv" else sup.reflectivity_error
        stats[name] = (np.where(good, mean, np.nan), np.where(good, np.maximum(std, floor), np.nan))
    rv, rv_err = (a.reshape(side * side, levels.size) for a in stats["rv"])
    rf, rf_err = (a.reshape(side * side, levels.size) for a in stats["rf"])
    used = np.flatnonzero(np.isfinite(rv).any(axis=1) | np.isfinite(rf).any(axis=1))
    iy, ix = np.divmod(used, side)
    x, y = (ix - half) * out.wrfda_spacing, (iy - half) * out.wrfda_spacing
    lat, lon = geographic(lat0, lon0, np.rad2deg(np.arctan2(x, y)), np.hypot(x, y))
    return Columns(lat, lon, rv[used], rv_err[used], rf[used], rf_err[used])
