"""Winds from one radar sweep: the VAD fit, beam heights, and Py-ART and xradar adapters."""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any, NamedTuple, overload

import numpy as np

import _kestrum

from . import _convert as cv
from ._convert import Array

if TYPE_CHECKING:
    import xarray as xr

#: Effective earth radius of the 4/3 model (Doviak and Zrnic): 4/3 of the mean radius, m.
EFFECTIVE_RADIUS = 4.0 / 3.0 * 6371000.0


class VAD(NamedTuple):
    """VAD fit of each range gate (ring) of a sweep; every field has shape (..., gates)."""

    u: Array
    """Eastward wind, m/s."""
    v: Array
    """Northward wind, m/s."""
    offset: Array
    """Constant term of the first-order fit, m/s (fall speed and vertical wind)."""
    rms: Array
    """RMS residual of the first-order fit, m/s."""
    n: Array
    """Number of valid gates of the ring (always set)."""
    offset2: Array
    """Constant term of the second-order fit, m/s."""
    sin2: Array
    """sin(2 az) coefficient of the second-order fit, m/s."""
    cos2: Array
    """cos(2 az) coefficient of the second-order fit, m/s."""


class BeamPosition(NamedTuple):
    """Where the beam centre is: both fields in m, with the broadcast shape of the inputs."""

    height: Array
    """Height above the reference of ``altitude`` (e.g. above sea level)."""
    distance: Array
    """Distance along the earth's surface from the radar."""


class VADProfile(NamedTuple):
    """A VAD profile with the height of each ring; every field has shape (gates,)."""

    u: Array
    v: Array
    offset: Array
    rms: Array
    n: Array
    offset2: Array
    sin2: Array
    cos2: Array
    range: Array
    """Range of each gate along the beam, m."""
    height: Array
    """Height of each ring, m (above the reference of the radar's altitude)."""
    distance: Array
    """Ground distance of each ring from the radar, m."""


def _vad_numpy(
    velocity: Any,
    azimuth: Any,
    elevation: Any,
    radians: bool,
    min_gates: int,
    min_spread: float,
    n_threads: int,
) -> VAD:
    func = "vad"
    if np.ndim(velocity) < 2:
        raise cv.fail(func, f"velocity must be (rays, gates), not shape {np.shape(velocity)}")
    *lead, rays, gates = np.shape(velocity)
    sweeps = tuple(lead) + (rays,)
    for name, value in (("azimuth", azimuth), ("elevation", elevation)):
        try:
            ok = np.ndim(value) <= len(sweeps) and np.broadcast_shapes(np.shape(value), sweeps) == sweeps
        except ValueError:
            ok = False
        if not ok:
            count = np.shape(value)[-1] if np.ndim(value) else 1
            raise cv.fail(
                func,
                f"velocity has shape {np.shape(velocity)} but {name} has "
                + (f"{count} values" if np.ndim(value) == 1 else f"shape {np.shape(value)}"),
            )
    azimuth = cv.nan_filled(azimuth)
    elevation = cv.nan_filled(elevation)
    if not radians:
        azimuth, elevation = np.deg2rad(azimuth), np.deg2rad(elevation)
    if elevation.ndim == 0 or elevation.shape[-1] == 1:
        # One elevation per sweep is used as it is, so the fit equals a raw call.
        cos_el = np.cos(np.broadcast_to(elevation, tuple(lead) + (1,))[..., 0])
    else:
        # A sweep's rays wander a little around its fixed angle: the ring is fitted at
        # the mean elevation of the rays that have one, and rays without are missing.
        elevation = np.broadcast_to(elevation, sweeps)
        azimuth = np.where(np.isfinite(elevation), azimuth, np.nan)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # a sweep without elevations is NaN
            cos_el = np.cos(np.nanmean(elevation, axis=-1)) if elevation.size else np.ones(lead)
    # Rows of the kernel are rings: gate g of every ray of the sweep.
    vr = np.swapaxes(velocity, -1, -2)
    az = np.broadcast_to(np.asarray(azimuth)[..., None, :], tuple(lead) + (gates, rays))
    cos_el = np.broadcast_to(np.asarray(cos_el)[..., None], tuple(lead) + (gates,))
    if lead:
        vr = vr.reshape(-1, rays)
        az = az.reshape(-1, rays)
    out = _kestrum.vad(vr, az, cos_el, min_gates, min_spread, n_threads)
    return VAD(*out.reshape((8,) + tuple(lead) + (gates,)))


@overload
def vad(
    velocity: xr.DataArray, azimuth: Any, elevation: Any, *, radians: bool = ..., min_gates: int = ...,
    min_spread: float = ..., n_threads: int = ...,
) -> xr.Dataset: ...
@overload
def vad(
    velocity: Any, azimuth: Any, elevation: Any, *, radians: bool = ..., min_gates: int = ...,
    min_spread: float = ..., n_threads: int = ...,
) -> VAD: ...
def vad(
    velocity: Any,
    azimuth: Any,
    elevation: Any,
    *,
    radians: bool = False,
    min_gates: int = 30,
    min_spread: float = 0.05,
    n_threads: int = 0,
) -> Any:
    """Velocity-azimuth-display (VAD) wind of each range gate of a radar sweep.

    Every range gate of a sweep is a ring of gates around the radar; the radial
    velocities of a ring are fitted by least squares with
    ``offset + a sin(az) + b cos(az)`` (first order) and, separately, with
    ``offset2 + a sin(az) + b cos(az) + sin2 sin(2 az) + cos2 cos(2 az)`` (second
    order). The wind is ``u = a / cos(el)``, ``v = b / cos(el)``.

    Parameters
    ----------
    velocity : array_like, shape (..., rays, gates)
        Radial velocity, m/s, positive away from the radar, laid out as Py-ART and
        xradar store a sweep (one row per ray). Leading axes are further sweeps.
    azimuth : array_like, shape (..., rays)
        Azimuth of each ray, degrees clockwise from north (radians if ``radians``).
    elevation : float or array_like, shape (..., rays)
        Elevation of the sweep, or of each ray, in degrees (radians if ``radians``).
        Per-ray elevations are averaged over the rays of the sweep.
    radians : bool, optional
        Take ``azimuth`` and ``elevation`` in radians. A pint quantity is converted
        whatever this says.
    min_gates : int, optional
        Least number of valid gates in a ring for a fit (never fewer than 3).
    min_spread : float, optional
        Least azimuthal coverage of a ring's valid gates, measured as the
        determinant of the covariance of (sin az, cos az). Uniform coverage of a
        sector gives:

        ======  =======
        sector  spread
        ======  =======
        360°    0.25
        300°    0.222
        270°    0.184
        240°    0.136
        180°    0.047
        150°    0.021
        120°    0.0067
        90°     0.0014
        ======  =======

        The default 0.05 asks for a little more than half a circle.
    n_threads : int, optional
        Threads to use; 0 means all the hardware has.

    Returns
    -------
    VAD or xarray.Dataset
        Fields ``u``, ``v`` (m/s), ``offset``, ``rms``, ``n`` (first-order fit: constant,
        RMS residual, number of valid gates), ``offset2``, ``sin2``, ``cos2``
        (second-order fit), each of shape (..., gates). A Dataset with these
        variables, on the velocity's gate dimension, when ``velocity`` is a DataArray.

    Raises
    ------
    ValueError
        If ``velocity`` is not (rays, gates), ``azimuth`` or ``elevation`` do not
        have one value per ray, or a quantity has units that are not a velocity or
        an angle.

    Notes
    -----
    A gate is missing when its velocity is NaN or masked, or its ray's azimuth or
    elevation is NaN or masked; the fill values of a masked array are never used.
    Where a ring has fewer than ``min_gates`` valid gates or too little spread,
    all fields but ``n`` are NaN; the second-order fields are NaN also when its
    own fit is singular or its spread is below ``min_spread / 4``. Use
    :func:`beam_height` for the height of each ring.

    Examples
    --------
    >>> import numpy as np, kestrum
    >>> az = np.arange(360.0)
    >>> a = np.deg2rad(az)[:, None]
    >>> vr = (10 * np.sin(a) + 5 * np.cos(a)) * np.cos(np.deg2rad(0.5)) + np.zeros(3)
    >>> fit = kestrum.vad(vr, az, 0.5)          # 360 rays x 3 gates
    >>> fit.u.round(6), fit.v.round(6), fit.n
    (array([10., 10., 10.]), array([5., 5., 5.]), array([360., 360., 360.]))
    """
    min_gates = cv.integer("vad", "min_gates", min_gates)
    min_spread = cv.scalar("vad", "min_spread", min_spread)
    angle = "radian" if radians else "degree"
    velocity = cv.strip_units("vad", "velocity", velocity, "m/s")
    azimuth = cv.strip_units("vad", "azimuth", azimuth, angle)
    elevation = cv.strip_units("vad", "elevation", elevation, angle)

    def kernel(vel: Any, az: Any, el: Any) -> VAD:
        return _vad_numpy(vel, az, el, radians, min_gates, min_spread, n_threads)

    if cv.any_dataarray(velocity, azimuth, elevation):
        if not cv.is_dataarray(velocity) or velocity.ndim < 2:
            raise cv.fail("vad", "velocity must be a (rays, gates) DataArray when azimuth is one")
        ray, gate = velocity.dims[-2:]
        el_dims = (ray,) if np.ndim(elevation) and ray in getattr(elevation, "dims", (ray,)) else ()
        return cv.apply_xarray(
            "vad",
            kernel,
            {"velocity": cv.Core(velocity, (ray, gate)), "azimuth": cv.Core(azimuth, (ray,)),
             "elevation": cv.Core(elevation, el_dims)},
            VAD._fields,
            [(gate,)] * 8,
        )
    return kernel(
        cv.array("vad", "velocity", velocity),
        cv.array("vad", "azimuth", azimuth),
        cv.array("vad", "elevation", elevation),
    )


def beam_height(range: Any, elevation: Any, altitude: Any = 0.0) -> BeamPosition:  # noqa: A002
    """Height and ground distance of the beam centre, with the 4/3 earth-radius model.

    Parameters
    ----------
    range : array_like
        Distance along the beam from the radar, m.
    elevation : array_like
        Elevation angle of the beam, degrees.
    altitude : array_like, optional
        Height of the antenna, m; the heights are given above the same reference.

    Returns
    -------
    BeamPosition
        ``height`` and ``distance`` (along the surface), m, in the broadcast shape of
        the arguments.

    Raises
    ------
    ValueError
        If the arguments do not broadcast or a quantity is not a length or an angle.

    Notes
    -----
    With ``ke a`` the effective earth radius (4/3 of 6371 km), r the range and θ the
    elevation (Doviak and Zrnic 1993, eqs. 2.28b and 2.28c)::

        h = sqrt(r² + (ke a)² + 2 r ke a sin θ) - ke a + altitude
        s = ke a asin(r cos θ / (ke a + h - altitude))

    NaN and masked values propagate (masked in, NaN out).

    Examples
    --------
    >>> import kestrum
    >>> pos = kestrum.beam_height([0.0, 50000.0, 100000.0], 0.5, altitude=370.0)
    >>> pos.height.round(1), pos.distance.round(1)
    (array([ 370. ,  953.5, 1831.1]), array([    0. , 49995. , 99981.3]))
    """
    func = "beam_height"
    r = cv.nan_filled(cv.array(func, "range", range, "m"))
    el = cv.nan_filled(cv.array(func, "elevation", elevation, "degree"))
    alt = cv.nan_filled(cv.array(func, "altitude", altitude, "m"))
    cv.broadcast(func, range=r, elevation=el, altitude=alt)
    ka = EFFECTIVE_RADIUS
    theta = np.deg2rad(el)
    rise = np.sqrt(r**2 + ka**2 + 2.0 * r * ka * np.sin(theta)) - ka
    distance = ka * np.arcsin(r * np.cos(theta) / (ka + rise))
    return BeamPosition(np.asarray(rise + alt), np.asarray(distance))


def _profile(fit: VAD, rng: Any, elevation: Any, altitude: Any) -> VADProfile:
    el: Any = cv.nan_filled(elevation)
    if el.ndim:
        # The same mean elevation as the fit used.
        el = np.nanmean(el) if np.isfinite(el).any() else np.nan
    rng = cv.nan_filled(rng)
    pos = beam_height(rng, el, altitude)
    return VADProfile(*fit, rng, pos.height, pos.distance)


def vad_pyart(
    radar: Any,
    field: str,
    sweep: int = 0,
    *,
    min_gates: int = 30,
    min_spread: float = 0.05,
    n_threads: int = 0,
) -> VADProfile:
    """VAD profile of one sweep of a Py-ART ``Radar``, with the height of each ring.

    Parameters
    ----------
    radar : pyart.core.Radar
        The volume, e.g. from ``pyart.io.read``.
    field : str
        Name of the radial-velocity field (m/s), e.g. ``"velocity"``.
    sweep : int, optional
        Sweep number, counted from 0.
    min_gates, min_spread, n_threads
        As for :func:`vad`.

    Returns
    -------
    VADProfile
        The :class:`VAD` fields, and ``range``, ``height`` (above the radar's altitude
        reference, from :func:`beam_height` at the sweep's mean elevation) and
        ``distance``, each of shape (gates,).

    Raises
    ------
    KeyError
        If the radar has no such field.
    ValueError
        If the sweep does not exist, or the field's units are not a velocity (read
        with pint where it is installed).

    Notes
    -----
    The field's mask (Py-ART fields are masked arrays) marks missing gates; its
    fill values are never fitted. Azimuth and elevation are read in degrees, as
    Py-ART stores them.

    Examples
    --------
    >>> import kestrum
    >>> radar = make_test_radar()          # doctest: +SKIP
    >>> kestrum.vad_pyart(radar, "velocity", sweep=0).u   # doctest: +SKIP
    """
    if field not in radar.fields:
        raise KeyError(f"vad_pyart: the radar has no field {field!r} (it has {sorted(radar.fields)})")
    sweep = cv.integer("vad_pyart", "sweep", sweep)
    if not 0 <= sweep < radar.nsweeps:
        raise cv.fail("vad_pyart", f"sweep {sweep} does not exist: the radar has {radar.nsweeps}")
    velocity = cv.with_units_attribute("vad_pyart", field, radar.get_field(sweep, field),
                                       radar.fields[field].get("units"), "m/s")
    azimuth = radar.get_azimuth(sweep)
    elevation = radar.get_elevation(sweep)
    fit = vad(velocity, azimuth, elevation, min_gates=min_gates, min_spread=min_spread,
              n_threads=n_threads)
    altitude = cv.nan_filled(radar.altitude["data"]).reshape(-1)[0]
    return _profile(fit, radar.range["data"], elevation, altitude)


def vad_xradar(
    sweep: Any,
    field: str = "VRADH",
    *,
    altitude: float | None = None,
    min_gates: int = 30,
    min_spread: float = 0.05,
    n_threads: int = 0,
) -> xr.Dataset:
    """VAD profile of an xradar sweep ``Dataset``, with the height of each ring.

    Parameters
    ----------
    sweep : xarray.Dataset
        One sweep as xradar gives it (e.g. ``tree["sweep_0"].to_dataset()``), with
        dimensions (azimuth, range) and coordinates ``azimuth``, ``elevation`` and
        ``range``; ``altitude`` is used when present.
    field : str, optional
        Name of the radial-velocity variable (m/s).
    altitude : float, optional
        Height of the antenna, m. Default: the sweep's ``altitude``, or 0 (heights
        above the antenna) where it has none; a sweep taken from an xradar tree with
        ``to_dataset()`` may have left it in the root node:
        ``altitude=tree["altitude"]``.
    min_gates, min_spread, n_threads
        As for :func:`vad`.

    Returns
    -------
    xarray.Dataset
        The :class:`VAD` fields as variables on the ``range`` dimension, with
        coordinates ``range``, ``height`` and ``distance`` (m).

    Raises
    ------
    KeyError
        If the sweep has no such variable.
    ValueError
        If the field's ``units`` attribute is not a velocity (read with pint where it
        is installed).

    Notes
    -----
    Missing gates are NaN (xarray's missing value).

    Examples
    --------
    >>> import numpy as np, xarray as xr, kestrum
    >>> az = np.arange(360.0)
    >>> vr = 10 * np.sin(np.deg2rad(az))[:, None] * np.cos(np.deg2rad(0.5)) * np.ones(3)
    >>> sweep = xr.Dataset({"VRADH": (("azimuth", "range"), vr)},
    ...                    coords={"azimuth": az, "range": [5e3, 5e4, 1e5],
    ...                            "elevation": ("azimuth", np.full(360, 0.5)), "altitude": 370.0})
    >>> prof = kestrum.vad_xradar(sweep)
    >>> prof.u.values.round(6), prof.height.values.round(1)
    (array([10., 10., 10.]), array([ 415.1,  953.5, 1831.1]))

    A sweep read by xradar: ``kestrum.vad_xradar(tree["sweep_0"].to_dataset())``.
    """
    if field not in sweep:
        raise KeyError(f"vad_xradar: the sweep has no variable {field!r}")
    velocity = sweep[field]
    ray, gate = velocity.dims[-2:]
    ds: xr.Dataset = vad(velocity, sweep["azimuth"], sweep["elevation"], min_gates=min_gates,
             min_spread=min_spread, n_threads=n_threads)
    if altitude is None:
        altitude = float(sweep["altitude"].values.reshape(-1)[0]) if "altitude" in sweep.variables else 0.0
    else:
        altitude = cv.scalar("vad_xradar", "altitude", altitude, "m")
    profile = _profile(VAD(*(ds[name].values for name in VAD._fields)), sweep[gate].values,
                       sweep["elevation"].values, altitude)
    return ds.assign_coords(height=(gate, profile.height), distance=(gate, profile.distance))
