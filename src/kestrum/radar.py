"""Winds from one radar sweep: the VAD fit, beam heights, and Py-ART and xradar adapters."""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any, Generic, NamedTuple, TypeVar, overload

import numpy as np

import _kestrum

from . import _convert as cv
from . import _geometry as geo
from . import _road
from ._convert import Array
from ._geometry import EFFECTIVE_RADIUS  # noqa: F401  (kept where callers found it)
from ._road import FLAG, THREADS, Arg

if TYPE_CHECKING:
    import xarray as xr

F = TypeVar("F")


class VAD(NamedTuple, Generic[F]):
    """VAD fit of each range gate (ring) of a sweep; every field has shape (..., gates).

    NumPy arrays for NumPy input, DataArrays on the gate dimension for DataArray input;
    :meth:`to_dataset` gathers the fields into one ``xarray.Dataset``.
    """

    u: F
    """Eastward wind, m/s."""
    v: F
    """Northward wind, m/s."""
    offset: F
    """Constant term of the first-order fit, m/s (fall speed and vertical wind)."""
    rms: F
    """RMS residual of the first-order fit, m/s."""
    n: F
    """Number of valid gates of the ring (always set)."""
    offset2: F
    """Constant term of the second-order fit, m/s."""
    sin2: F
    """sin(2 az) coefficient of the second-order fit, m/s."""
    cos2: F
    """cos(2 az) coefficient of the second-order fit, m/s."""

    def to_dataset(self) -> xr.Dataset:
        """The fields as variables of one Dataset (needs xarray)."""
        return _road.to_dataset(self)  # type: ignore[no-any-return]


class BeamPosition(NamedTuple, Generic[F]):
    """Where the beam centre is: both fields in m, with the broadcast shape of the inputs."""

    height: F
    """Height above the reference of ``altitude`` (e.g. above sea level)."""
    distance: F
    """Distance along the earth's surface from the radar."""

    def to_dataset(self) -> xr.Dataset:
        """The fields as variables of one Dataset (needs xarray)."""
        return _road.to_dataset(self)  # type: ignore[no-any-return]


class VADProfile(NamedTuple, Generic[F]):
    """A VAD profile with the height of each ring; every field has shape (gates,).

    From :func:`vad_xradar` the fields are DataArrays on the sweep's range dimension,
    with ``height`` and ``distance`` also as coordinates; :meth:`to_dataset` makes the
    Dataset of the VAD fields with ``range``, ``height`` and ``distance`` coordinates.
    """

    u: F
    v: F
    offset: F
    rms: F
    n: F
    offset2: F
    sin2: F
    cos2: F
    range: F
    """Range of each gate along the beam, m."""
    height: F
    """Height of each ring, m (above the reference of the radar's altitude)."""
    distance: F
    """Ground distance of each ring from the radar, m."""

    def to_dataset(self) -> xr.Dataset:
        """The fields as variables of one Dataset (needs xarray)."""
        return _road.to_dataset(self)  # type: ignore[no-any-return]


def _vad_args(radians: bool) -> dict[str, Arg]:
    angle = "radian" if radians else "degree"
    return {
        "velocity": Arg(unit="m/s", core=("ray", "gate")),
        "azimuth": Arg(unit=angle, core=("ray",)),
        "elevation": Arg(unit=angle, core=("ray",), loose=True),
        "radians": FLAG,
        "min_gates": Arg("int", low=cv.INT64[0], high=cv.INT64[1]),
        "min_spread": Arg("float"),
        "n_threads": THREADS,
    }


#: A sweep with at least this many rays whose azimuths in degrees all lie within
#: [0, 2 pi] was most likely given in radians.
_RADIAN_LOOKING_RAYS = 16


def _check_angles(func: str, azimuth: Any, elevation: Any, radians: bool) -> tuple[Any, Any]:
    """Azimuth and elevation as NaN-filled floats, after the checks of impossible and
    ambiguous angles; the elevation in degrees as well, for the steepness test."""
    az, el = cv.nan_filled(azimuth), cv.nan_filled(elevation)
    el_deg = np.rad2deg(el) if radians else el
    geo.check_elevation(func, "elevation", el_deg)
    finite = az[np.isfinite(az)]
    if radians and finite.size and np.abs(finite).max() > 2 * np.pi:
        raise cv.fail(
            func,
            f"azimuth {float(np.abs(finite).max())!r} is beyond 2 pi: with "
            "radians=True the angles must be in radians",
        )
    if (
        not radians
        and az.shape
        and az.shape[-1] >= _RADIAN_LOOKING_RAYS
        and finite.size
        and finite.min() >= 0
        and finite.max() <= 2 * np.pi
        and finite.max() - finite.min() > 1.0
    ):
        warnings.warn(
            f"{func}: every azimuth lies within [0, 2 pi] degrees: they look like "
            "radians (pass radians=True, or convert them to degrees)",
            stacklevel=5,
        )
    return az, el


def _elevation_rule(
    func: str, el: Any, lead: tuple[int, ...], rays: int, velocity_shape: tuple[int, ...]
) -> tuple[bool, Any]:
    """(per ray, elevation broadcast): one value, one per sweep ((sweeps,) or
    (sweeps, 1)) or one per ray ((sweeps, rays))."""
    sweeps = lead + (rays,)
    if el.ndim and el.shape[-1] == rays and rays != 1 and cv.fits(el, sweeps):
        return True, np.broadcast_to(el, sweeps)
    if el.ndim and el.shape[-1] == 1 and cv.fits(el, lead + (1,)):
        return False, np.broadcast_to(el, lead + (1,))[..., 0]
    if cv.fits(el, lead):
        return False, np.broadcast_to(el, lead)
    count = f"{el.shape[-1]} values" if el.ndim == 1 else f"shape {el.shape}"
    raise cv.fail(func, f"velocity has shape {velocity_shape} but elevation has {count}")


def _vad(
    velocity: Any,
    azimuth: Any,
    elevation: Any,
    radians: bool,
    min_gates: int,
    min_spread: float,
    n_threads: int,
) -> VAD[Array]:
    func = "vad"
    if np.ndim(velocity) < 2:
        raise cv.fail(func, f"velocity must be (rays, gates), not shape {np.shape(velocity)}")
    *lead_, rays, gates = np.shape(velocity)
    lead = tuple(lead_)
    if not cv.fits(azimuth, lead + (rays,)):
        shape = np.shape(azimuth)
        count = f"{shape[-1]} values" if len(shape) == 1 else f"shape {shape}"
        raise cv.fail(func, f"velocity has shape {np.shape(velocity)} but azimuth has {count}")
    az, el = _check_angles(func, azimuth, elevation, radians)
    per_ray, el = _elevation_rule(func, el, lead, rays, np.shape(velocity))
    if not radians:
        az, el = np.deg2rad(az), np.deg2rad(el)
    if per_ray:
        # A sweep's rays wander a little around its fixed angle: the ring is fitted at
        # the mean elevation of the rays that have one, and rays without are missing.
        az = np.where(np.isfinite(el), az, np.nan)
        el = geo.sweep_elevation(el)
    # The kernel fits the rings (gate g of every ray) of each sweep where they lie: no
    # transposed copy of the velocities, one azimuth row per sweep.
    vr = cv.rows(velocity, 2)
    az = cv.rows(np.broadcast_to(az, lead + (rays,)), 1)
    cos_el = np.cos(el).reshape(-1)
    out = _kestrum.vad_sweeps(vr, az, cos_el, min_gates, min_spread, n_threads)
    fit = VAD(*out.reshape((8,) + lead + (gates,)))
    steep = np.abs(np.rad2deg(el)) > geo.STEEPEST_VAD
    if steep.any():
        fit.u[steep] = np.nan
        fit.v[steep] = np.nan
    return fit


@overload
def vad(
    velocity: xr.DataArray,
    azimuth: Any,
    elevation: Any,
    *,
    radians: bool = ...,
    min_gates: int = ...,
    min_spread: float = ...,
    n_threads: int = ...,
) -> VAD[xr.DataArray]: ...
@overload
def vad(
    velocity: Any,
    azimuth: Any,
    elevation: Any,
    *,
    radians: bool = ...,
    min_gates: int = ...,
    min_spread: float = ...,
    n_threads: int = ...,
) -> VAD[Array]: ...
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
    elevation : float or array_like, shape (...), (..., 1) or (..., rays)
        Elevation of the sweep(s), or of each ray, in degrees (radians if
        ``radians``), within [-90, 90] degrees. Per-ray elevations are averaged over
        the rays of the sweep.
    radians : bool, optional
        Take ``azimuth`` and ``elevation`` in radians (then no azimuth may exceed
        2π in magnitude). A pint quantity is converted whatever this says; a
        dimensionless one is refused.
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
        Threads to use; 0 (or negative) means all the hardware has, and more than
        it has is capped to it.

    Returns
    -------
    VAD
        Fields ``u``, ``v`` (m/s), ``offset``, ``rms``, ``n`` (first-order fit: constant,
        RMS residual, number of valid gates), ``offset2``, ``sin2``, ``cos2``
        (second-order fit), each of shape (..., gates): NumPy arrays, or DataArrays
        on the velocity's gate dimension when an argument is a DataArray (matched by
        dimension name: the azimuth's dimension is the rays'); ``.to_dataset()``
        gathers them into a Dataset.

    Raises
    ------
    ValueError
        If ``velocity`` is not (rays, gates), ``azimuth`` or ``elevation`` do not
        have one value per ray or sweep, an elevation lies outside [-90, 90] degrees,
        an azimuth exceeds 2π with ``radians=True``, or a quantity has units that are
        not a velocity or an angle (decibels never are).
    TypeError
        If ``radians`` is not a bool or an integer argument is not an integer.

    Warns
    -----
    UserWarning
        If, in degrees, a sweep of 16 rays or more has every azimuth within [0, 2π]:
        they look like radians.

    Notes
    -----
    A gate is missing when its velocity is NaN or masked, or its ray's azimuth or
    elevation is NaN or masked; the fill values of a masked array are never used.
    Where a ring has fewer than ``min_gates`` valid gates or too little spread,
    all fields but ``n`` are NaN; the second-order fields are NaN also when its
    own fit is singular or its spread is below ``min_spread / 4``. Where the
    sweep's elevation exceeds 80° in magnitude, ``u`` and ``v`` are NaN: the beam is
    too steep for a horizontal wind (the fit's errors grow as 1 / cos(el)); the
    other fields are kept (``offset`` is then mostly the fall speed and vertical
    wind). Use :func:`beam_height` for the height of each ring.

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
    radians = cv.boolean("vad", "radians", radians)
    return _road.run("vad", _vad_args(radians), locals(), _vad, VAD, [("gate",)] * 8)


_BEAM = {"range": Arg(unit="m"), "elevation": Arg(unit="degree"), "altitude": Arg(unit="m")}


def _beam_height(range: Any, elevation: Any, altitude: Any) -> BeamPosition[Array]:  # noqa: A002
    r, el, alt = (cv.nan_filled(a) for a in (range, elevation, altitude))
    cv.broadcast("beam_height", range=r, elevation=el, altitude=alt)
    geo.check_elevation("beam_height", "elevation", el)
    return BeamPosition(*(np.asarray(a) for a in geo.beam(r, el, alt)))


@overload
def beam_height(  # noqa: A002
    range: xr.DataArray, elevation: Any, altitude: Any = ...
) -> BeamPosition[xr.DataArray]: ...
@overload
def beam_height(range: Any, elevation: Any, altitude: Any = ...) -> BeamPosition[Array]: ...  # noqa: A002
def beam_height(range: Any, elevation: Any, altitude: Any = 0.0) -> Any:  # noqa: A002
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
    return _road.run("beam_height", _BEAM, locals(), _beam_height, BeamPosition)


def _with_heights(fit: VAD[Any], rng: Any, elevation: Any, altitude: float) -> VADProfile[Any]:
    """The profile of a fit: the heights of the rings at the sweep's mean elevation."""
    pos = beam_height(rng, geo.sweep_elevation(elevation), altitude)
    return VADProfile(*fit, rng, pos.height, pos.distance)


def vad_pyart(
    radar: Any,
    field: str,
    sweep: int = 0,
    *,
    min_gates: int = 30,
    min_spread: float = 0.05,
    n_threads: int = 0,
) -> VADProfile[Array]:
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
    >>> import contextlib, io, kestrum
    >>> with contextlib.redirect_stdout(io.StringIO()):  # Py-ART greets on import
    ...     import pyart
    >>> radar = pyart.io.read_nexrad_archive(pyart.testing.NEXRAD_ARCHIVE_MSG31_FILE)
    >>> prof = kestrum.vad_pyart(radar, "velocity", sweep=1)
    >>> prof.u.shape, prof.height[:3].round(1)
    ((1832,), array([214.8, 217.2, 219.6]))
    """
    func = "vad_pyart"
    if field not in radar.fields:
        raise KeyError(f"{func}: the radar has no field {field!r} (it has {sorted(radar.fields)})")
    sweep = cv.integer(func, "sweep", sweep)
    if not 0 <= sweep < radar.nsweeps:
        raise cv.fail(func, f"sweep {sweep} does not exist: the radar has {radar.nsweeps}")
    velocity = cv.with_units_attribute(
        func, field, radar.get_field(sweep, field), radar.fields[field].get("units"), "m/s"
    )
    elevation = radar.get_elevation(sweep)
    fit = vad(
        velocity,
        radar.get_azimuth(sweep),
        elevation,
        min_gates=min_gates,
        min_spread=min_spread,
        n_threads=n_threads,
    )
    altitude = _attribute_in(func, "altitude", radar.altitude["data"], radar.altitude, "m")
    rng = cv.nan_filled(_attribute_in(func, "range", radar.range["data"], radar.range, "m"))
    return _with_heights(VAD(*fit), rng, elevation, float(np.reshape(altitude, -1)[0]))


def _attribute_in(func: str, name: str, value: Any, holder: Any, unit: str) -> Any:
    """``value`` converted from the ``units`` its holder (a dict or DataArray) states."""
    units = holder.get("units") if isinstance(holder, dict) else holder.attrs.get("units")
    return cv.with_units_attribute(func, name, value, units, unit)


def vad_xradar(
    sweep: Any,
    field: str = "VRADH",
    *,
    altitude: float | None = None,
    min_gates: int = 30,
    min_spread: float = 0.05,
    n_threads: int = 0,
) -> VADProfile[xr.DataArray]:
    """VAD profile of an xradar sweep ``Dataset``, with the height of each ring.

    Parameters
    ----------
    sweep : xarray.Dataset, xarray.DataTree or xarray.DataArray
        One sweep as xradar gives it (``tree["sweep_0"]`` or its ``to_dataset()``),
        with dimensions (azimuth, range), in either order, and coordinates ``azimuth``,
        ``elevation`` and ``range``; ``altitude`` is used when present. The velocity
        DataArray alone (``tree["sweep_0"]["VRADH"]``) serves too: it carries them.
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
    VADProfile
        The :class:`VAD` fields and ``range``, ``height``, ``distance`` (m) as
        DataArrays on the sweep's range dimension, each field with the coordinates
        ``range``, ``height`` and ``distance``; ``.to_dataset()`` gives them as one
        Dataset.

    Raises
    ------
    KeyError
        If the sweep has no such variable, or no azimuth or elevation.
    ValueError
        If the field's ``units`` attribute is not a velocity (decibels are known by
        name; other units are read with pint where it is installed), or an elevation
        lies outside [-90, 90] degrees.

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
    func = "vad_xradar"
    sweep, field = _one_sweep(func, sweep, field)
    # Converted here, so that a unit error names the field as vad_pyart's does.
    velocity = cv.strip_units(func, field, sweep[field], "m/s")
    gate = next(d for d in reversed(velocity.dims) if d not in sweep["azimuth"].dims)
    fit = vad(
        velocity,
        sweep["azimuth"],
        sweep["elevation"],
        min_gates=min_gates,
        min_spread=min_spread,
        n_threads=n_threads,
    )
    if altitude is not None:
        height = cv.scalar(func, "altitude", altitude, "m")
    elif "altitude" in sweep.variables:
        given = cv.nan_filled(cv.strip_units(func, "altitude", sweep["altitude"], "m"))
        height = float(given.reshape(-1)[0])
    else:
        height = 0.0
    rng = cv.nan_filled(cv.strip_units(func, "range", sweep[gate], "m").values)
    elevation = cv.nan_filled(cv.strip_units(func, "elevation", sweep["elevation"], "degree"))
    prof = _with_heights(VAD(*(f.values for f in fit)), rng, elevation, height)
    where = {"range": (gate, rng), "height": (gate, prof.height), "distance": (gate, prof.distance)}
    fields = [f.assign_coords(where) for f in fit]
    return VADProfile(*fields, *(fields[0][name] for name in ("range", "height", "distance")))


def _one_sweep(func: str, sweep: Any, field: str) -> tuple[Any, str]:
    """The sweep Dataset and the field's name, from a Dataset, a DataArray of the
    field with its coordinates, or a DataTree node of one sweep."""
    import xarray as xr

    if isinstance(sweep, xr.DataArray):
        name = sweep.name if sweep.name is not None else field
        return sweep.to_dataset(name=name), str(name)
    if hasattr(xr, "DataTree") and isinstance(sweep, xr.DataTree):
        if field not in sweep.data_vars:
            sweeps = [k for k in sweep.children if k.startswith("sweep")]
            hint = f": give one sweep, e.g. tree[{sweeps[0]!r}]" if sweeps else ""
            raise KeyError(f"{func}: the tree node has no variable {field!r}{hint}")
        sweep = sweep.to_dataset()
    if not isinstance(sweep, xr.Dataset):
        raise TypeError(f"{func}: sweep must be an xarray Dataset, not {type(sweep).__name__}")
    if field not in sweep:
        names = sorted(map(str, sweep.data_vars))
        raise KeyError(f"{func}: the sweep has no variable {field!r} (it has {names})")
    for name in ("azimuth", "elevation"):
        if name not in sweep.variables:
            raise KeyError(f"{func}: the sweep has no {name} coordinate")
    return sweep, field
