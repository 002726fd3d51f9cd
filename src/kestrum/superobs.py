"""Superobservations: radar gates averaged in boxes, with a spread, a count and an error."""

from __future__ import annotations

import math
import warnings
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _convert as cv
from . import _geometry as geo
from . import (  # type: ignore[attr-defined]  # _radar: a native module without a stub
    _radar,
    _road,
)
from ._convert import Array
from ._road import COUNT, FLAG, THREADS, Arg
from .obsfiles import RADIAL_VELOCITY, DartBatch, WrfdaRadar

if TYPE_CHECKING:
    import xarray as xr

__all__ = ["Superobs", "superobs", "superobs_pyart", "superobs_xradar"]

#: Earth radius of the azimuthal equidistant projection, m: Py-ART's, so that positions
#: agree with ``pyart.core.cartesian_to_geographic_aeqd``.
AEQD_RADIUS = 6370997.0

_QUANTITIES = ("velocity", "reflectivity", "other")
# Per-quantity defaults of the quality arguments; the docstring of superobs gives sources.
_DEFAULTS = {
    "velocity": {"min_count": 50, "max_std": 6.0, "error_floor": 2.0},
    "reflectivity": {"min_count": 6, "max_std": math.inf, "error_floor": 5.0},
    "other": {"min_count": 6, "max_std": math.inf, "error_floor": 0.0},
}
_PLAIN, _FOLDED, _REFLECTIVITY = 0, 1, 2
_PLANES = (
    "count",
    "value",
    "std",
    "min",
    "max",
    "coherence",
    "azimuth",
    "elevation",
    "range",
    "time",
    "nyquist",
    "sin_azimuth",
    "cos_azimuth",
    "sin_elevation",
    "cos_elevation",
)


class Superobs(NamedTuple):
    """Superobservations, one entry per kept box; array fields have shape (boxes,)."""

    value: Array
    """Box value: mean (velocity: on the fold circle; reflectivity: in linear Z, as dBZ)."""
    std: Array
    """Spread of the gates in the box (population standard deviation), in the field's unit."""
    count: npt.NDArray[np.int64]  # type: ignore[assignment]  # the name users expect
    """Number of valid gates in the box."""
    min: Array
    """Least gate value (velocity: after unfolding to the value's fold)."""
    max: Array
    """Greatest gate value (velocity: after unfolding to the value's fold)."""
    azimuth: Array
    """Circular mean of the gates' azimuths, degrees in [0, 360)."""
    elevation: Array
    """Mean antenna elevation of the gates, degrees."""
    range: Array
    """Mean slant range of the gates, m."""
    height: Array
    """Height of the box, m above the reference of ``altitude`` (above sea level)."""
    x: Array
    """Distance east of the radar on the ground, m."""
    y: Array
    """Distance north of the radar on the ground, m."""
    latitude: Array
    """Degrees north (NaN when the site position was not given)."""
    longitude: Array
    """Degrees east (NaN when the site position was not given)."""
    time: Any
    """Mean time of the gates: datetime64[ms] (NaT without times), or seconds as given."""
    error: Array
    """Observation error: ``max(std, error_floor)``; ``error_floor`` for clear air."""
    coherence: Array
    """Mean resultant length of the velocities on the fold circle, in [0, 1] (NaN otherwise)."""
    nyquist: Array
    """Mean Nyquist velocity of the box's gates, m/s (NaN without one)."""
    clear_air: npt.NDArray[np.bool_]
    """True for clear-air reflectivity boxes (value set to ``clear_air_value``)."""
    box: npt.NDArray[np.int64]
    """Box index, int64 (boxes, 3): (sweep, azimuth, range) or (height or sweep, y, x)."""
    quantity: str
    """``"velocity"``, ``"reflectivity"`` or ``"other"``."""
    site: tuple[float, float, float]
    """Radar latitude, longitude (degrees, NaN when not given) and altitude (m)."""
    grid: tuple[Array, ...] | None
    """Edges of the grid boxes, m: (x, y) or (x, y, height); None for polar boxes."""

    def to_dataset(self) -> xr.Dataset:
        """The boxes as an ``xarray.Dataset`` on dimension ``box``."""
        import xarray as xr

        skip = {"box", "quantity", "site", "grid"}
        data = {n: ("box", np.asarray(getattr(self, n))) for n in self._fields if n not in skip}
        ds = xr.Dataset(data, coords={"box_index": (("box", "axis"), self.box)})
        ds.attrs.update(
            quantity=self.quantity,
            site_latitude=self.site[0],
            site_longitude=self.site[1],
            site_altitude=self.site[2],
        )
        return ds

    def to_dart(self, kind: str | None = None, *, time: Any = None) -> list[DartBatch]:
        """The boxes as DART batches for :func:`kestrum.write_dart_obs_seq`.

        Velocities give one ``DOPPLER_RADIAL_VELOCITY`` batch with its platform block
        (radar position, beam direction at the box, Nyquist velocity); reflectivity gives
        ``RADAR_REFLECTIVITY`` and ``RADAR_CLEARAIR_REFLECTIVITY`` batches; another field
        needs ``kind``. Variances are ``error**2``; heights are m above sea level.

        Parameters
        ----------
        kind : str, optional
            DART observation type of the batch (required for ``quantity="other"``).
        time : datetime or numpy.datetime64, optional
            Time of every observation, for boxes made without ray times.
        """
        func = "Superobs.to_dart"
        lat, lon = self._positions(func)
        when = self._times(func, time)
        common = dict(lon=lon, lat=lat, height=self.height)
        variance = np.asarray(self.error) ** 2
        if self.quantity == "velocity":
            if not np.isfinite(self.nyquist).all():
                raise cv.fail(
                    func,
                    "radial velocities need their Nyquist velocity: these were made without one",
                )
            return [
                DartBatch(
                    kind or RADIAL_VELOCITY,
                    self.value,
                    variance,
                    time=when,
                    radar_lon=self.site[1],
                    radar_lat=self.site[0],
                    radar_height=self.site[2],
                    azimuth=self.azimuth,
                    elevation=self.elevation,
                    nyquist=self.nyquist,
                    range=self.range,
                    **common,
                )
            ]
        if self.quantity == "reflectivity":
            out = []
            for name, pick in (
                ("RADAR_REFLECTIVITY", ~self.clear_air),
                ("RADAR_CLEARAIR_REFLECTIVITY", self.clear_air),
            ):
                out.append(
                    DartBatch(
                        name,
                        self.value[pick],
                        variance[pick],
                        lon=lon[pick],
                        lat=lat[pick],
                        height=self.height[pick],
                        time=when if np.ndim(when) == 0 else when[pick],
                    )
                )
            return out
        if kind is None:
            raise cv.fail(func, "kind is needed for quantity='other' (a DART observation type)")
        return [DartBatch(kind, self.value, variance, time=when, **common)]

    def to_wrfda(self, name: str, other: Superobs | None = None, *, time: Any = None) -> WrfdaRadar:
        """The boxes of a height grid as one radar's block of a WRFDA radar file.

        Grid columns (x, y) with a kept box become the file's columns, the height cells
        its levels (at the cells' centres); radial velocity comes from the velocity
        superobservations and reflectivity from the reflectivity ones (``self`` and
        ``other``, which must share the grid), each with ``error`` as its error. Boxes
        not kept are written as missing.

        Parameters
        ----------
        name : str
            Radar name (at most 12 characters).
        other : Superobs, optional
            The other quantity on the same grid.
        time : datetime or numpy.datetime64, optional
            Time of the volume; default the earliest box time.
        """
        func = "Superobs.to_wrfda"
        parts = {s.quantity: s for s in (self, other) if s is not None}
        if len(parts) != (1 if other is None else 2) or not set(parts) <= {
            "velocity",
            "reflectivity",
        }:
            raise cv.fail(func, "needs velocity and/or reflectivity superobservations, one of each")
        grids = [s.grid for s in parts.values() if s.grid is not None and len(s.grid) == 3]
        if len(grids) != len(parts) or not all(
            np.array_equal(a, b) for g in grids for a, b in zip(g, grids[0])
        ):
            raise cv.fail(
                func,
                "WRFDA columns need boxes of one grid with height edges "
                "(superobs(..., grid=(x_edges, y_edges, z_edges)))",
            )
        x_edges, y_edges, z_edges = grids[0]
        lat0, lon0, alt = self.site
        if not (np.isfinite(lat0) and np.isfinite(lon0)):
            raise cv.fail(func, "the site position (latitude, longitude) was not given")
        cols = np.unique(
            np.concatenate([s.box[:, 1] * (len(x_edges) - 1) + s.box[:, 2] for s in parts.values()])
        )
        iy, ix = np.divmod(cols, len(x_edges) - 1)
        cx = 0.5 * (x_edges[ix] + x_edges[ix + 1])
        cy = 0.5 * (y_edges[iy] + y_edges[iy + 1])
        col_lat, col_lon = aeqd_inverse(cx, cy, lat0, lon0)
        centres = 0.5 * (z_edges[:-1] + z_edges[1:])
        grid = {}
        for q in ("velocity", "reflectivity"):
            value = np.full((cols.size, centres.size), np.nan)
            error = np.full_like(value, np.nan)
            if q in parts:
                s = parts[q]
                c = np.searchsorted(cols, s.box[:, 1] * (len(x_edges) - 1) + s.box[:, 2])
                value[c, s.box[:, 0]] = s.value
                error[c, s.box[:, 0]] = s.error
            grid[q] = (value, error)
        if time is None:
            times = np.concatenate([np.atleast_1d(s.time) for s in parts.values()])
            if times.dtype.kind != "M" or np.isnat(times).all():
                raise cv.fail(func, "time is needed: the boxes were made without ray times")
            time = times[~np.isnat(times)].min()
        return WrfdaRadar(
            name=name,
            lon=lon0,
            lat=lat0,
            elv=alt,
            time=time,
            centres=centres,
            col_lat=col_lat,
            col_lon=col_lon,
            col_elv=alt,
            rv=grid["velocity"][0],
            rv_err=grid["velocity"][1],
            rf=grid["reflectivity"][0],
            rf_err=grid["reflectivity"][1],
        )

    def _positions(self, func: str) -> tuple[Array, Array]:
        if not (np.isfinite(self.site[0]) and np.isfinite(self.site[1])):
            raise cv.fail(func, "the site position (latitude, longitude) was not given")
        return np.asarray(self.latitude), np.asarray(self.longitude)

    def _times(self, func: str, time: Any) -> Any:
        if time is not None:
            return time
        t = np.asarray(self.time)
        if t.dtype.kind != "M" or (t.size and np.isnat(t).any()):
            raise cv.fail(func, "time is needed: the boxes were made without ray times")
        return t


def aeqd_inverse(x: Any, y: Any, lat0: float, lon0: float) -> tuple[Array, Array]:
    """Latitude and longitude (degrees) of points x east, y north (m) of a site, by the
    spherical azimuthal equidistant projection centred on it (Snyder 1987, eqs. 20-14,
    20-15 and 25-?): radius :data:`AEQD_RADIUS`."""
    x, y = np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)
    phi0, lam0 = np.deg2rad(lat0), np.deg2rad(lon0)
    rho = np.hypot(x, y)
    c = rho / AEQD_RADIUS
    with np.errstate(invalid="ignore", divide="ignore"):
        ratio = np.where(rho > 0, y * np.sin(c) / rho, 0.0)
        lat = np.arcsin(np.clip(np.cos(c) * np.sin(phi0) + ratio * np.cos(phi0), -1.0, 1.0))
        lon = lam0 + np.arctan2(
            x * np.sin(c), rho * np.cos(phi0) * np.cos(c) - y * np.sin(phi0) * np.sin(c)
        )
    lon = np.where(rho > 0, lon, lam0)
    lon = (np.rad2deg(lon) + 180.0) % 360.0 - 180.0
    return np.rad2deg(lat), lon


# --- argument conversion ---------------------------------------------------------------

#: The unit of the values, by quantity (other quantities are taken as given).
_UNIT = {"velocity": "m/s", "reflectivity": "dB"}

#: The keyword options of :func:`superobs`, which the adapters take as ``**options``.
_OPTIONS = {
    "latitude": Arg("float", unit="degree", optional=True, low=-90.0, high=90.0),
    "longitude": Arg("float", unit="degree", optional=True, finite=True),
    "altitude": Arg("float", unit="m", finite=True),
    "d_azimuth": Arg("float", unit="degree", above=0.0),
    "d_range": Arg("float", unit="m", above=0.0),
    "grid": Arg("pass"),
    "max_range": Arg("float", unit="m", above=0.0, optional=True),
    "min_count": Arg("int", low=1, high=cv.INT64[1], optional=True),
    "max_std": Arg("float", optional=True),
    "min_coherence": Arg("float", low=0.0, high=1.0),
    "error_floor": Arg("float", low=0.0, optional=True),
    "echo_threshold": Arg("float", unit="dB"),
    "clear_air_value": Arg("float", unit="dB"),
    "clear_air_thin": COUNT,
    "clear_air_halo": Arg("int", low=0, high=cv.INT64[1]),
    "n_threads": THREADS,
}
_SUPEROBS = {
    "azimuth": Arg(unit="degree"),
    "range": Arg(unit="m"),
    "elevation": Arg(unit="degree"),
    "time": Arg("pass"),
    "nyquist": Arg(unit="m/s", optional=True),
    **_OPTIONS,
}
#: What the adapters read besides the options.
_FROM_OBJECT = {"nyquist": Arg(unit="m/s", optional=True), "dealiased": FLAG}


def _ray_times(func: str, time: Any, sweeps: int, rays: int) -> tuple[Array, Any]:
    """Ray times as float seconds from a reference, and the reference (None for numbers)."""
    if time is None:
        return np.full(sweeps * rays, np.nan), np.datetime64("NaT", "ms")
    t = np.asarray(time)
    if t.dtype.kind == "M":
        t = t.astype("datetime64[ms]")
        good = ~np.isnat(t)
        ref = t[good].min() if good.any() else np.datetime64("NaT", "ms")
        secs = (
            np.where(good, (t - ref).astype(np.int64) / 1000.0, np.nan)
            if good.any()
            else np.full(t.shape, np.nan)
        )
        return cv.per_ray(func, "time", secs, (sweeps, rays)), ref
    return cv.per_ray(func, "time", t, (sweeps, rays)), None


def _thin_and_halo(
    echo: np.ndarray, shape: tuple[int, ...], wrap: tuple[bool, ...], thin: int, halo: int
) -> np.ndarray:
    """Boxes where a clear-air observation may go: on every `thin`-th index along each
    axis and more than `halo` boxes (along every axis) from any echo box. Axes marked in
    `wrap` are circular (azimuth of a full sweep)."""
    near = echo.reshape(shape).copy()
    lead = near.ndim - len(wrap)
    for axis, circular in enumerate(wrap, start=lead):
        spread = near.copy()
        n = near.shape[axis]
        for step in range(1, min(halo, n) + 1):
            for sign in (1, -1):
                if circular:
                    spread |= np.roll(near, sign * step, axis=axis)
                else:
                    shifted = np.zeros_like(near)
                    src = [slice(None)] * near.ndim
                    dst = [slice(None)] * near.ndim
                    if sign > 0:
                        src[axis], dst[axis] = slice(0, n - step), slice(step, n)
                    else:
                        src[axis], dst[axis] = slice(step, n), slice(0, n - step)
                    shifted[tuple(dst)] = near[tuple(src)]
                    spread |= shifted
        near = spread
    keep = ~near
    for axis in range(lead, near.ndim):
        idx = np.arange(near.shape[axis]) % thin == 0
        keep &= idx.reshape([-1 if a == axis else 1 for a in range(near.ndim)])
    return keep.reshape(-1)


# --- the core --------------------------------------------------------------------------


def _superobs_rays(
    func: str,
    values: Any,
    azimuth: Array,
    elevation: Array,
    ray_sweep: np.ndarray,
    sweeps: int,
    rng: Array,
    time: Array,
    time_ref: Any,
    nyquist: Array | None,
    quantity: str,
    latitude: float | None,
    longitude: float | None,
    altitude: float,
    d_azimuth: float,
    d_range: float,
    grid: Any,
    max_range: float | None,
    min_count: int | None,
    max_std: float | None,
    min_coherence: float,
    error_floor: float | None,
    echo_threshold: float,
    clear_air_value: float,
    clear_air_thin: int,
    clear_air_halo: int,
    n_threads: int,
) -> Superobs:
    """Superobservations of rays laid out flat: values (rays, gates), the rest per ray;
    the options converted by their declarations (:data:`_OPTIONS`)."""
    if quantity not in _QUANTITIES:
        raise cv.fail(
            func, f"quantity must be one of {', '.join(map(repr, _QUANTITIES))}, got {quantity!r}"
        )
    defaults = _DEFAULTS[quantity]
    min_count = int(defaults["min_count"]) if min_count is None else min_count
    max_std = defaults["max_std"] if max_std is None else max_std
    error_floor = defaults["error_floor"] if error_floor is None else error_floor
    geo.check_elevation(func, "elevation", elevation)
    if (latitude is None) != (longitude is None):
        raise cv.fail(func, "give both latitude and longitude of the site, or neither")
    lat0 = lon0 = math.nan
    if latitude is not None and longitude is not None:
        lat0, lon0 = latitude, longitude
        if lat0 == 0.0 and lon0 == 0.0 and altitude == 0.0:
            warnings.warn(
                f"{func}: the radar site is at 0N 0E and altitude 0, which is what a "
                "file without a site position reads as; positions may be wrong",
                UserWarning,
                stacklevel=3,
            )
    if nyquist is not None and quantity == "velocity":
        # Only rays with data need one: a file may give 0 or nothing for the rays of a
        # cut that has no velocities.
        bad = ~(nyquist > 0)
        if bad.any():
            bad &= np.isfinite(values).any(axis=1)
        if bad.any():
            raise cv.fail(
                func,
                f"nyquist must be positive for every ray with data, got "
                f"{nyquist[bad][0]} (ray {int(np.argmax(bad))}); nyquist=None for "
                "dealiased velocities",
            )
        nyquist = np.where(bad, np.nan, nyquist)
    code = {
        "velocity": _FOLDED if nyquist is not None else _PLAIN,
        "reflectivity": _REFLECTIVITY,
        "other": _PLAIN,
    }[quantity]
    rng = np.ascontiguousarray(rng, dtype=np.float64)
    if max_range is not None:
        rng = np.where(rng <= max_range, rng, np.nan)
    ray_ok = np.isfinite(azimuth) & np.isfinite(elevation)
    az = np.mod(azimuth, 360.0)
    az = np.where(az >= 360.0, 0.0, az)
    sin_az, cos_az = np.sin(np.deg2rad(az)), np.cos(np.deg2rad(az))
    ny = np.ascontiguousarray(nyquist if nyquist is not None else np.full(azimuth.shape, np.nan))
    ray_sweep = np.where(ray_ok, ray_sweep, -1).astype(np.int64)

    edges: tuple[Array, ...] | None = None
    if grid is None:
        d_az, d_r = d_azimuth, d_range
        n_az = math.ceil(360.0 / d_az)
        good_r = np.isfinite(rng) & (rng >= 0)
        n_r = int(np.floor(np.max(rng[good_r]) / d_r)) + 1 if good_r.any() else 0
        ia = np.floor(np.where(ray_ok, az, 0.0) / d_az).astype(np.int64)
        ray_group = np.where(ray_ok, ray_sweep * n_az + ia, -1)
        gate_box = np.where(good_r, np.floor(np.where(good_r, rng, 0.0) / d_r), -1).astype(np.int64)
        shape: tuple[int, ...] = (sweeps, n_az, n_r)
        out = _radar.superobs_polar(
            values,
            ray_group,
            sweeps * n_az,
            gate_box,
            n_r,
            sin_az,
            cos_az,
            elevation,
            time,
            ny,
            rng,
            code,
            n_threads,
        )
        wrap: tuple[bool, ...] = (True, False)
    else:
        if not isinstance(grid, (tuple, list)) or len(grid) not in (2, 3):
            raise cv.fail(func, "grid must be (x_edges, y_edges) or (x_edges, y_edges, z_edges)")
        edges = tuple(
            np.ascontiguousarray(cv.nan_filled(cv.array(func, f"grid[{k}]", e, "m")).ravel())
            for k, e in enumerate(grid)
        )
        for k, e in enumerate(edges):
            if e.size < 2 or not np.isfinite(e).all() or not (np.diff(e) > 0).all():
                raise cv.fail(func, f"grid[{k}] must be at least two finite, increasing edges")
        z_edges = edges[2] if len(edges) == 3 else np.zeros(0)
        nz = z_edges.size - 1 if z_edges.size else sweeps
        shape = (nz, edges[1].size - 1, edges[0].size - 1)
        out = _radar.superobs_grid(
            values,
            ray_sweep,
            sweeps,
            sin_az,
            cos_az,
            elevation,
            time,
            ny,
            rng,
            edges[0],
            edges[1],
            z_edges,
            altitude,
            code,
            n_threads,
        )
        wrap = (False, False, False) if z_edges.size else (False, False)
    planes = dict(zip(_PLANES, out))
    count = planes["count"]

    clear = np.zeros(count.shape, bool)
    keep = count >= min_count
    if quantity == "reflectivity":
        echo = (count > 0) & (planes["max"] >= echo_threshold)
        clear = (
            (count > 0) & ~echo & _thin_and_halo(echo, shape, wrap, clear_air_thin, clear_air_halo)
        )
        keep &= echo | clear
    ok_spread = ~(planes["std"] > max_std)
    if code == _FOLDED:
        ok_spread &= planes["coherence"] >= min_coherence
    keep &= clear | ok_spread
    idx = np.flatnonzero(keep)
    p = dict(zip(_PLANES, np.take(out, idx, axis=1)))  # the kept boxes, one gather
    clear = clear[idx]
    value = np.where(clear, clear_air_value, p["value"])
    error = np.where(clear, error_floor, np.maximum(p["std"], error_floor))
    box = np.stack(np.unravel_index(idx, shape), axis=1).astype(np.int64, copy=False)

    # beam_height's model, without its argument conversion, on the sines and cosines the
    # kernel gives with the boxes: these are a third of the work after it otherwise.
    def beam() -> tuple[Array, Array]:
        return geo.beam_at(p["range"], p["sin_elevation"], p["cos_elevation"], altitude)

    if grid is None:
        height, distance = beam()
        x, y = distance * p["sin_azimuth"], distance * p["cos_azimuth"]
    else:
        assert edges is not None
        x = 0.5 * (edges[0][box[:, 2]] + edges[0][box[:, 2] + 1])
        y = 0.5 * (edges[1][box[:, 1]] + edges[1][box[:, 1] + 1])
        height = (
            0.5 * (edges[2][box[:, 0]] + edges[2][box[:, 0] + 1]) if len(edges) == 3 else beam()[0]
        )
    lat, lon = (
        aeqd_inverse(x, y, lat0, lon0) if np.isfinite(lat0) else (np.full(x.shape, np.nan),) * 2
    )
    t: Any = p["time"]
    if time_ref is not None:
        # NaN (a box without times) becomes NaT in the cast, and stays NaT in the sum.
        t = time_ref + np.rint(t * 1000.0).astype("timedelta64[ms]")
    result = Superobs(
        value=value,
        std=p["std"],
        count=p["count"].astype(np.int64),
        min=p["min"],
        max=p["max"],
        azimuth=p["azimuth"],
        elevation=p["elevation"],
        range=p["range"],
        height=np.asarray(height),
        x=np.asarray(x),
        y=np.asarray(y),
        latitude=lat,
        longitude=lon,
        time=t,
        error=error,
        coherence=p["coherence"],
        nyquist=p["nyquist"],
        clear_air=clear,
        box=box,
        quantity=quantity,
        site=(lat0, lon0, altitude),
        grid=edges,
    )
    return result


def superobs(
    values: Any,
    azimuth: Any,
    range: Any,
    elevation: Any,
    *,
    quantity: str,
    time: Any = None,
    nyquist: Any = None,
    latitude: Any = None,
    longitude: Any = None,
    altitude: Any = 0.0,
    d_azimuth: float = 5.0,
    d_range: float = 5000.0,
    grid: Any = None,
    max_range: float | None = None,
    min_count: int | None = None,
    max_std: float | None = None,
    min_coherence: float = 0.5,
    error_floor: float | None = None,
    echo_threshold: float = 20.0,
    clear_air_value: float = 0.0,
    clear_air_thin: int = 4,
    clear_air_halo: int = 1,
    n_threads: int = 0,
) -> Superobs:
    """Superobservations: the gates of a sweep or volume averaged in boxes.

    Each box becomes one observation with its value, spread, count, least and
    greatest gate, position and error, ready for :func:`write_dart_obs_seq`
    (:meth:`Superobs.to_dart`) and :func:`write_wrfda_radar` (:meth:`Superobs.to_wrfda`).

    Parameters
    ----------
    values : array_like, shape (rays, gates) or (sweeps, rays, gates)
        The field; NaN or masked gates are missing.
    azimuth : array_like, shape (rays,) or (sweeps, rays)
        Azimuth of each ray, degrees clockwise from north (any turn: taken in [0, 360)).
    range : array_like, shape (gates,)
        Slant range of each gate, m.
    elevation : float or array_like, shape (sweeps,) or (sweeps, rays)
        Antenna elevation, degrees: one, one per sweep or one per ray.
    quantity : {"velocity", "reflectivity", "other"}
        What the values are (see Notes).
    time : array_like of datetime64 or float, shape (sweeps,) or (sweeps, rays), optional
        Time of each ray (or sweep); box times are the mean of their gates'.
    nyquist : float or array_like, shape (sweeps,) or (sweeps, rays), optional
        Nyquist velocity, m/s, for velocities that may be folded. Without it
        (dealiased velocities) the statistics are plain.
    latitude, longitude : float, optional
        Site position, degrees; without it the boxes have no latitude and longitude.
    altitude : float, optional
        Antenna altitude, m (above sea level): heights are above the same reference.
    d_azimuth, d_range : float, optional
        Polar boxes: degrees (default 5) by m (default 5000).
    grid : tuple of array_like, optional
        Grid boxes instead: ``(x_edges, y_edges)`` or ``(x_edges, y_edges, z_edges)``,
        increasing edges in m east and north of the radar on the ground (4/3-earth beam
        model) and in m of height above the reference of ``altitude``. Without height
        edges the boxes are per sweep; with them a box gathers gates from every sweep.
    max_range : float, optional
        Gates beyond this range are not used, m (GSI's radial-wind superob stops at
        100 km).
    min_count : int, optional
        Least number of valid gates in a kept box. Default 50 for velocity (GSI's
        radial-wind superob), 6 otherwise (the Cressman analysis DART's documentation
        recommends needs 6 gates).
    max_std : float, optional
        Boxes with a larger spread are dropped. Default 6 m/s for velocity (GSI), none
        otherwise.
    min_coherence : float, optional
        Folded velocity boxes whose coherence is below this are dropped (default 0.5).
    error_floor : float, optional
        ``error = max(std, error_floor)``. Default 2 m/s for velocity and 5 dBZ for
        reflectivity (the errors usual in WRFDA and DART radar assimilation), 0 otherwise.
    echo_threshold : float, optional
        Reflectivity boxes whose gates are all below this (dBZ) are clear air
        (default 20 dBZ, where the Cressman tool DART recommends starts keeping echo).
    clear_air_value : float, optional
        Value of a clear-air box, dBZ (default 0).
    clear_air_thin, clear_air_halo : int, optional
        Clear-air boxes are kept on every ``clear_air_thin``-th box along each box axis
        (default 4, as that tool places them at every 4th grid point) and not within
        ``clear_air_halo`` boxes of an echo box along any axis (default 1).
    n_threads : int, optional
        Threads to use; 0 means all the hardware has. The result does not depend on it.

    Returns
    -------
    Superobs
        One entry per kept box, in box order; ``to_dataset()`` gives an
        ``xarray.Dataset``.

    Raises
    ------
    ValueError
        Shapes that do not match, an unknown quantity, a Nyquist velocity that is not
        positive, box sizes or grid edges that are not positive and increasing.

    Notes
    -----
    Box (i, j) of a sweep holds the gates with ``floor(azimuth / d_azimuth) == i``
    (azimuth in [0, 360)) and ``floor(range / d_range) == j``; the first and last
    azimuth boxes are neighbours (the halo wraps around). A grid box holds the gates
    whose ground position and height fall in its cell, ``edges[k] <= x < edges[k+1]``.

    - ``velocity`` with ``nyquist``: the value is the mean on the fold circle,
      ``V / pi * atan2(sum sin(pi v / V), sum cos(pi v / V))`` with each gate at its own
      ray's V and the box's mean V outside; ``coherence`` is the mean resultant length
      ``|sum exp(i pi v / V)| / n``. Each gate is moved to its fold nearest the value
      (``v + 2 V round((value - v) / 2V)``) before ``std``, ``min`` and ``max``, so a box
      across a fold is right where a plain mean is wrong by about V.
    - ``reflectivity``: the value is ``10 log10(mean(10**(dBZ / 10)))``; ``std``, ``min``
      and ``max`` are of the dBZ values. Boxes with all gates below ``echo_threshold`` are
      clear air: value ``clear_air_value``, error ``error_floor``, flagged.
    - ``other``: mean, spread, least and greatest value.

    ``std`` is the population standard deviation. Polar boxes are placed at the mean
    azimuth, range and elevation of their gates; grid boxes at the centre of their cell
    (and, without height edges, at the beam height of their mean range and elevation).
    Latitude and longitude follow from x and y by the azimuthal equidistant projection
    around the site (as Py-ART's ``cartesian_to_geographic_aeqd``). Each box's sums run
    over its gates in an order fixed by the data (polar boxes: over the rays at each
    gate position, then over the positions; grid boxes: in gate order), so the result
    is the same for every thread count.

    Examples
    --------
    >>> import numpy as np, kestrum
    >>> az = np.arange(0.5, 360.0)                     # 360 rays
    >>> rng = np.arange(125.0, 20000.0, 250.0)          # 80 gates
    >>> v = np.where(np.arange(80) % 2 == 0, 9.8, -9.8) * np.ones((360, 1))  # 10.2 folded
    >>> so = kestrum.superobs(v, az, rng, 0.5, quantity="velocity", nyquist=10.0)
    >>> so.value.size, float(so.value[0].round(6)), float(so.std[0].round(6)), int(so.count[0])
    (288, 10.0, 0.2, 100)
    >>> float(so.min[0].round(6)), float(so.max[0].round(6)), float(so.coherence[0].round(3))
    (9.8, 10.2, 0.998)
    """
    func = "superobs"
    args = _road.arguments(func, {"values": Arg(unit=_UNIT.get(quantity)), **_SUPEROBS}, locals())
    values = cv.array(func, "values", args.pop("values"))
    if values.ndim not in (2, 3):
        raise cv.fail(
            func, f"values must be (rays, gates) or (sweeps, rays, gates), not shape {values.shape}"
        )
    stacked = values.ndim == 3
    sweeps, rays, gates = values.shape if stacked else (1, *values.shape)
    az = cv.per_ray(func, "azimuth", args.pop("azimuth"), (sweeps, rays))
    el = cv.per_ray(func, "elevation", args.pop("elevation"), (sweeps, rays))
    rng = cv.nan_filled(cv.array(func, "range", args.pop("range")))
    if rng.shape != (gates,):
        raise cv.fail(func, f"values has {gates} gates but range has shape {rng.shape}")
    t, ref = _ray_times(func, args.pop("time"), sweeps, rays)
    ny = args.pop("nyquist")
    ny = None if ny is None else cv.per_ray(func, "nyquist", ny, (sweeps, rays))
    return _superobs_rays(
        func,
        values.reshape(sweeps * rays, gates),
        az,
        el,
        np.repeat(np.arange(sweeps), rays),
        sweeps,
        rng,
        t,
        ref,
        ny,
        quantity,
        **args,
    )


# --- from radar objects ----------------------------------------------------------------


def _sweep_numbers(func: str, sweeps: Any, available: list[int], has: str) -> list[int]:
    """The sweep numbers asked for (an integer or a sequence of them; None: all)."""
    if sweeps is None:
        return available
    numbers = [
        cv.integer(func, "sweeps", s) for s in np.atleast_1d(np.asarray(sweeps, dtype=object))
    ]
    for s in numbers:
        if s not in available:
            raise cv.fail(func, f"sweep {s} does not exist: {has}")
    return numbers


def _guess_quantity(func: str, field: str, units: Any) -> str:
    text = str(units or "").strip().lower()
    if text in ("m/s", "m s-1", "meters_per_second", "meter_per_second", "m.s-1"):
        return "velocity"
    if text == "dbz":
        return "reflectivity"
    raise cv.fail(
        func,
        f"say what {field!r} is (units {units!r}): quantity='velocity', 'reflectivity' or 'other'",
    )


def _sweeps_together(
    func: str,
    parts: list[dict[str, Any]],
    quantity: str | None,
    field: str,
    units: Any,
    nyquist: Any,
    dealiased: bool,
    site: tuple[Any, Any, Any],
    numbers: list[int],
    options: dict[str, Any],
) -> Superobs:
    """Superobservations of sweeps read from an object: each part has the sweep's values
    (rays, gates), azimuth, elevation, time (per ray), nyquist (per ray or None) and
    range; sweeps of fewer gates are padded with missing gates."""
    quantity = quantity or _guess_quantity(func, field, units)
    if not parts:
        raise cv.fail(func, "no sweeps to use")
    longest = max(parts, key=lambda p: p["range"].size)["range"]
    for p in parts:
        r = p["range"]
        if not np.allclose(r, longest[: r.size], rtol=1e-6, atol=1e-3):
            raise cv.fail(func, "the sweeps have different gate ranges; call superobs per sweep")
    gates = longest.size
    rows = []
    for p in parts:
        v = cv.nan_filled(
            cv.with_units_attribute(func, field, p["values"], units, _UNIT.get(quantity))
        )
        rows.append(np.pad(v, ((0, 0), (0, gates - v.shape[1])), constant_values=np.nan))
    values = np.concatenate(rows)
    ray_sweep = np.concatenate([np.full(p["values"].shape[0], k) for k, p in enumerate(parts)])

    def cat(name: str) -> Array:
        return np.concatenate([cv.nan_filled(p[name]).ravel() for p in parts])

    ny = None
    if quantity == "velocity" and not dealiased:
        if nyquist is not None:
            ny = np.broadcast_to(
                cv.nan_filled(cv.array(func, "nyquist", nyquist)), ray_sweep.shape
            ).astype(np.float64)
        elif all(p["nyquist"] is not None for p in parts):
            ny = cat("nyquist")
        else:
            raise cv.fail(
                func,
                "the object has no Nyquist velocity: give nyquist=..., or "
                "dealiased=True for velocities that are not folded",
            )
    times = [p["time"] for p in parts]
    if all(t is not None for t in times):
        t, ref = _ray_times(
            func,
            np.concatenate([np.asarray(t, "datetime64[ms]") for t in times]),
            1,
            ray_sweep.size,
        )
    else:
        t, ref = _ray_times(func, None, 1, ray_sweep.size)
    unknown = sorted(set(options) - set(_OPTIONS))
    if unknown:
        raise TypeError(f"{func}: unexpected keyword arguments {unknown}")
    args = _road.arguments(
        func,
        _OPTIONS,
        {**_DEFAULT_OPTIONS, **dict(zip(("latitude", "longitude", "altitude"), site)), **options},
    )
    so = _superobs_rays(
        func,
        values,
        cat("azimuth"),
        cat("elevation"),
        ray_sweep,
        len(parts),
        np.asarray(longest, np.float64),
        t,
        ref,
        ny,
        quantity,
        **args,
    )
    if so.grid is None or len(so.grid) == 2:
        # Box rows count sweeps of the call: report the object's sweep numbers.
        so.box[:, 0] = np.asarray(numbers, np.int64)[so.box[:, 0]]
    return so


_DEFAULT_OPTIONS = {
    "latitude": None,
    "longitude": None,
    "altitude": 0.0,
    "d_azimuth": 5.0,
    "d_range": 5000.0,
    "grid": None,
    "max_range": None,
    "min_count": None,
    "max_std": None,
    "min_coherence": 0.5,
    "error_floor": None,
    "echo_threshold": 20.0,
    "clear_air_value": 0.0,
    "clear_air_thin": 4,
    "clear_air_halo": 1,
    "n_threads": 0,
}


def superobs_pyart(
    radar: Any,
    field: str,
    sweeps: Any = None,
    *,
    quantity: str | None = None,
    nyquist: Any = None,
    dealiased: bool = False,
    **options: Any,
) -> Superobs:
    """Superobservations of a Py-ART ``Radar`` field.

    Azimuth, elevation, range, ray times, the Nyquist velocity
    (``instrument_parameters["nyquist_velocity"]``) and the site position are read from
    the radar; masked gates are missing.

    Parameters
    ----------
    radar : pyart.core.Radar
        The volume.
    field : str
        Field name, e.g. ``"velocity"`` or ``"reflectivity"``.
    sweeps : int or sequence of int, optional
        Sweep numbers to use (default all). ``box[:, 0]`` of polar boxes is the sweep number.
    quantity : str, optional
        As for :func:`superobs`; default from the field's units (m/s: velocity,
        dBZ: reflectivity).
    nyquist : float or array_like, optional
        Nyquist velocity (m/s) instead of the radar's.
    dealiased : bool, optional
        The velocities are dealiased: plain statistics, no Nyquist velocity.
    **options
        Any keyword argument of :func:`superobs` (site position defaults to the radar's).

    Returns
    -------
    Superobs

    Raises
    ------
    KeyError
        If the radar has no such field.
    ValueError
        A sweep that does not exist, velocities without a Nyquist velocity (unless
        ``dealiased``), a field whose quantity cannot be told from its units, or any
        argument :func:`superobs` refuses.

    Notes
    -----
    The sweeps' rays are taken together (polar boxes never mix sweeps; grid boxes with
    height edges do). Times come from ``radar.time`` and its units; Nyquist velocities of
    0 or missing are accepted on rays without data (a file's reflectivity-only cuts). A
    file without a site position reads as 0°N 0°E, altitude 0: :func:`superobs` warns.

    Examples
    --------
    >>> import contextlib, io, kestrum
    >>> with contextlib.redirect_stdout(io.StringIO()):  # Py-ART greets on import
    ...     import pyart
    >>> radar = pyart.io.read_nexrad_archive(pyart.testing.NEXRAD_ARCHIVE_MSG31_FILE)
    >>> so = kestrum.superobs_pyart(radar, "reflectivity", sweeps=[0])
    >>> so.value.size, so.count[:3]
    (414, array([120, 200, 200]))

    (That file's moments are placeholders: -32 dBZ everywhere, so every box is clear
    air.) ``kestrum.write_dart_obs_seq("obs_seq.out", so.to_dart())`` writes them.
    """
    func = "superobs_pyart"
    nyquist, dealiased = _road.arguments(func, _FROM_OBJECT, locals()).values()
    if field not in radar.fields:
        raise KeyError(f"{func}: the radar has no field {field!r} (it has {sorted(radar.fields)})")
    numbers = _sweep_numbers(
        func, sweeps, list(range(radar.nsweeps)), f"the radar has {radar.nsweeps}"
    )
    data = radar.fields[field]["data"]
    params = radar.instrument_parameters or {}
    ny = params.get("nyquist_velocity", {}).get("data") if "nyquist_velocity" in params else None
    try:
        base = np.datetime64(radar.time["units"].split("since", 1)[1].strip().rstrip("Z"), "ms")
        offsets = np.rint(cv.nan_filled(radar.time["data"]) * 1000.0).astype(np.int64)
        ray_time: Any = base + offsets.astype("timedelta64[ms]")
    except (KeyError, IndexError, ValueError):
        ray_time = None
    parts = []
    for s in numbers:
        rows = radar.get_slice(s)
        parts.append(
            {
                "values": data[rows],
                "azimuth": radar.azimuth["data"][rows],
                "elevation": radar.elevation["data"][rows],
                "range": cv.nan_filled(radar.range["data"]),
                "time": None if ray_time is None else ray_time[rows],
                "nyquist": None if ny is None else np.broadcast_to(ny, (radar.nrays,))[rows],
            }
        )
    lat, lon, alt = (
        float(cv.nan_filled(getattr(radar, k)["data"]).reshape(-1)[0])
        for k in ("latitude", "longitude", "altitude")
    )
    site = (lat, lon, alt)
    return _sweeps_together(
        func,
        parts,
        quantity,
        field,
        radar.fields[field].get("units"),
        nyquist,
        dealiased,
        site,
        numbers,
        options,
    )


def superobs_xradar(
    sweep_or_tree: Any,
    field: str,
    sweeps: Any = None,
    *,
    quantity: str | None = None,
    nyquist: Any = None,
    dealiased: bool = False,
    **options: Any,
) -> Superobs:
    """Superobservations of an xradar sweep ``Dataset`` or volume ``DataTree``.

    Azimuth, elevation, range and ray times are the sweep's coordinates; the Nyquist
    velocity is the sweep's ``nyquist_velocity`` where it has one; the site position
    is read from the tree's root (or the sweep's ``latitude``, ``longitude`` and
    ``altitude``). NaN gates are missing.

    Parameters
    ----------
    sweep_or_tree : xarray.Dataset or xarray.DataTree
        One sweep (dimensions azimuth, range), or a volume with ``sweep_0`` ... nodes.
    field : str
        Variable name, e.g. ``"VRADH"`` or ``"DBZH"``.
    sweeps : int or sequence of int, optional
        Sweep numbers of a tree to use (default all); ``box[:, 0]`` of polar boxes is
        the sweep number.
    quantity, nyquist, dealiased, **options
        As for :func:`superobs_pyart`.

    Returns
    -------
    Superobs

    Raises
    ------
    KeyError
        If a sweep asked for has no such variable.
    ValueError
        A sweep that does not exist, sweeps with different gate ranges, velocities
        without a Nyquist velocity (unless ``dealiased``), or any argument
        :func:`superobs` refuses.

    Notes
    -----
    Without ``sweeps``, a tree's sweeps without the variable are skipped (split cuts).
    Sweeps with fewer gates than the longest are padded with missing gates, so their
    ranges must be the first of the longest sweep's.

    Examples
    --------
    >>> import numpy as np, xarray as xr, kestrum
    >>> az, rng = np.arange(360.0) + 0.5, 2125.0 + 250.0 * np.arange(400)
    >>> dbz = np.where(rng < 40e3, 35.0, np.nan) * np.ones((360, 1))
    >>> t0 = np.datetime64("2024-05-01T21:30", "ms")
    >>> sweep = xr.Dataset(
    ...     {"DBZH": (("azimuth", "range"), dbz, {"units": "dBZ"})},
    ...     coords={"azimuth": az, "range": rng, "elevation": ("azimuth", np.full(360, 0.5)),
    ...             "time": ("azimuth", t0 + np.arange(360).astype("m8[ms]") * 30),
    ...             "latitude": 35.2, "longitude": -97.4, "altitude": 370.0})
    >>> so = kestrum.superobs_xradar(sweep, "DBZH")
    >>> so.value[:2], so.count[:2], so.range[:2].round()
    (array([35., 35.]), array([ 60, 100]), array([3500., 7500.]))

    A volume read by xradar: ``kestrum.superobs_xradar(tree, "VRADH")``.
    """
    func = "superobs_xradar"
    nyquist, dealiased = _road.arguments(func, _FROM_OBJECT, locals()).values()
    import xarray as xr

    if isinstance(sweep_or_tree, xr.Dataset):
        nodes, numbers, root = [sweep_or_tree], [0], sweep_or_tree
    else:
        names = sorted(
            (k for k in sweep_or_tree.children if k.startswith("sweep_")),
            key=lambda k: int(k.split("_")[1]),
        )
        available = [int(k.split("_")[1]) for k in names]
        numbers = _sweep_numbers(func, sweeps, available, f"the tree has {available}")
        nodes = [sweep_or_tree[f"sweep_{s}"].to_dataset() for s in numbers]
        if sweeps is None:
            # Split cuts: a volume's field is in some sweeps only.
            numbers = [s for s, ds in zip(numbers, nodes) if field in ds]
            nodes = [ds for ds in nodes if field in ds]
        root = sweep_or_tree.to_dataset()
    parts, units = [], None
    for ds in nodes:
        if field not in ds:
            raise KeyError(f"{func}: a sweep has no variable {field!r}")
        var = ds[field]
        units = var.attrs.get("units", units)
        ray = var.dims[0]
        ny = ds["nyquist_velocity"].values if "nyquist_velocity" in ds.variables else None
        parts.append(
            {
                "values": np.asarray(var.values, np.float64),
                "azimuth": ds["azimuth"].values,
                "elevation": np.broadcast_to(ds["elevation"].values, (var.shape[0],)),
                "range": np.asarray(ds[var.dims[1]].values, np.float64),
                "time": ds["time"].values
                if "time" in ds.variables and ds["time"].dims == (ray,)
                else None,
                "nyquist": None if ny is None else np.broadcast_to(ny, (var.shape[0],)),
            }
        )

    def site_value(name: str) -> Any:
        for ds in (root, nodes[0]):
            if name in ds.variables:
                return float(np.asarray(ds[name].values).reshape(-1)[0])
        return None

    site = (site_value("latitude"), site_value("longitude"), site_value("altitude") or 0.0)
    return _sweeps_together(
        func, parts, quantity, field, units, nyquist, dealiased, site, numbers, options
    )
