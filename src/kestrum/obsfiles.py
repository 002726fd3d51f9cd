"""Complete observation files for WRFDA and DART.

The native writers of `_tavolin` render the station blocks and records only; the
functions here add what a file needs around them (headers, radar lines, kinds table,
counts), encode missing data the way each system expects, refuse values that would
not fit their fixed-width fields, and write the file atomically.
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, NamedTuple, Union

import numpy as np
import numpy.typing as npt

import _tavolin

from . import _convert as cv
from . import _geometry as geo
from ._files import atomic as _atomic

__all__ = [
    "DartBatch",
    "WrfdaRadar",
    "WriteCounts",
    "write_dart_obs_seq",
    "write_wrfda_radar",
]

ArrayLike = npt.ArrayLike
PathLike = Union[str, "os.PathLike[str]"]

WRFDA_MISSING = -888888.0
WRFDA_MISSING_QC = -88
RADIAL_VELOCITY = "DOPPLER_RADIAL_VELOCITY"
DART_VERTICAL = {
    "undefined": -2,
    "surface": -1,
    "level": 1,
    "pressure": 2,
    "height": 3,
    "scale_height": 4,
}
VERTICAL_UNIT = {-1: "m", 2: "Pa", 3: "m"}
# DART keeps an observation type name in a character(len=31).
DART_NAME = re.compile(r"[A-Za-z0-9_]{1,31}")
DART_EPOCH = np.datetime64("1601-01-01T00:00:00", "s")
EFFECTIVE_RADIUS = geo.EFFECTIVE_RADIUS
# DART's missing value, written for a Nyquist velocity that is not known.
DART_MISSING = -888888.0


class WriteCounts(NamedTuple):
    """What a writer put into its file."""

    written: int
    """Observations written with a value."""
    missing: int
    """Observations without a usable value: written as WRFDA's missing code, or left
    out of a DART file."""


@dataclass(frozen=True)
class WrfdaRadar:
    """One radar's block of a WRFDA radar observation file.

    Parameters
    ----------
    name : str
        Radar name, at most 12 characters (e.g. ``"KTLX"``).
    lon, lat : float
        Radar position, degrees east and north.
    elv : float
        Radar elevation above sea level, m.
    time : datetime.datetime or numpy.datetime64
        Time of the volume (UTC; an aware datetime is converted to UTC), written to
        the second.
    centres : array_like, shape (levels,)
        Height of each level above sea level, m, the same for every column.
    col_lat, col_lon, col_elv : array_like, shape (columns,)
        Position of each column (degrees) and its ground elevation (m).
    rv, rv_err : array_like, shape (columns, levels)
        Radial velocity and its error, m/s.
    rf, rf_err : array_like, shape (columns, levels)
        Reflectivity and its error, dBZ and dB. An error must be positive where its
        value is given (an error of 0 would give the observation infinite weight).
    rv_qc, rf_qc : array_like of int, shape (columns, levels), optional
        Quality flags (0 where not given).

    Notes
    -----
    Column and level arguments broadcast against (columns,) and (columns, levels), so
    a scalar error or elevation is fine. A missing radial velocity or reflectivity (NaN,
    infinite, masked, a missing error, or a masked flag) is written as WRFDA's missing
    value -888888.0 with quality flag -88, for the value and its error.
    """

    name: str
    lon: float
    lat: float
    elv: float
    time: Any
    centres: ArrayLike
    col_lat: ArrayLike
    col_lon: ArrayLike
    col_elv: ArrayLike
    rv: ArrayLike
    rv_err: ArrayLike
    rf: ArrayLike
    rf_err: ArrayLike
    rv_qc: ArrayLike | None = None
    rf_qc: ArrayLike | None = None


@dataclass(frozen=True)
class DartBatch:
    """Observations of one kind for a DART observation sequence.

    Parameters
    ----------
    kind : str
        DART observation type name, e.g. ``"DOPPLER_RADIAL_VELOCITY"`` or
        ``"RADAR_REFLECTIVITY"``; the file's kinds table lists the names used.
    value, variance : array_like, shape (n,)
        Observed value and its error variance, in the kind's units (m/s and m²/s² for
        radial velocity, dBZ and dB² for reflectivity). A variance must be positive.
    lon, lat : array_like, shape (n,)
        Location, degrees east and north.
    height : array_like, shape (n,)
        Vertical coordinate, in the unit of the file's ``vertical`` (m above sea
        level for ``"height"``).
    time : datetime.datetime, numpy.datetime64 or array of them, shape () or (n,)
        Observation time (UTC), rounded to the nearest second.
    radar_lon, radar_lat, radar_height : float or array_like, shape (n,)
        Radar position, degrees and m above sea level. Required for radial
        velocities, not used for other kinds.
    azimuth, elevation : array_like, shape (n,)
        Direction of the beam, degrees clockwise from north and above the horizon.
        Required for radial velocities.
    nyquist : float or array_like, shape (n,)
        Nyquist velocity, m/s, positive; NaN or masked where not known (written as
        DART's missing value -888888.0). Required for radial velocities.
    range : array_like, shape (n,), optional
        Slant range of each gate, m. When given, ``elevation`` is the antenna's and the
        beam's elevation at the gate is taken from the 4/3-earth-radius beam model;
        otherwise ``elevation`` is used as the beam's elevation at the gate.

    Notes
    -----
    Arrays broadcast against ``value``. Observations whose value or variance is NaN,
    infinite or masked are left out of the file and counted. Latitudes lie within
    [-90, 90] and elevations within [-90, 90] degrees (longitudes are taken modulo 360);
    ``kind`` is spelled as DART spells it, in upper case.
    """

    kind: str
    value: ArrayLike
    variance: ArrayLike
    lon: ArrayLike
    lat: ArrayLike
    height: ArrayLike
    time: Any
    radar_lon: ArrayLike | None = None
    radar_lat: ArrayLike | None = None
    radar_height: ArrayLike | None = None
    azimuth: ArrayLike | None = None
    elevation: ArrayLike | None = None
    nyquist: ArrayLike | None = None
    range: ArrayLike | None = None


# --- argument conversion ---------------------------------------------------------------


def _floats(
    func: str, name: str, value: Any, shape: tuple[int, ...], unit: str | None
) -> np.ndarray:
    """Float64 array of `shape` in `unit`, NaN where missing or masked."""
    if value is None:
        raise cv.fail(func, f"{name} is None")
    a = cv.array(func, name, value, unit)
    try:
        if np.ndim(a) > len(shape) or np.broadcast_shapes(np.shape(a), shape) != shape:
            raise ValueError
    except ValueError:
        raise cv.fail(func, f"{name} has shape {np.shape(a)}, expected {shape}") from None
    return np.ascontiguousarray(cv.nan_filled(cv.broadcast_to(a, shape)))


def _scalar(func: str, name: str, value: Any, unit: str | None) -> float:
    x = cv.scalar(func, name, value, unit)
    if not np.isfinite(x):
        raise cv.fail(func, f"{name} is {x}")
    return x


def _require_finite(func: str, name: str, a: np.ndarray) -> None:
    bad = ~np.isfinite(a)
    if bad.any():
        first = tuple(int(i) for i in np.unravel_index(int(np.argmax(bad)), a.shape))
        raise cv.fail(
            func,
            f"{name} has {int(bad.sum())} missing or non-finite values "
            f"(the first at index {first})",
        )


# --- fixed-width fields ----------------------------------------------------------------


def _check_range(func: str, name: str, a: Any, low: float, high: float, what: str) -> None:
    """Refuse a finite value outside [low, high]: the one check of every latitude,
    longitude and elevation of both writers."""
    a = np.asarray(a, dtype=np.float64)
    bad = np.isfinite(a) & ((a < low) | (a > high))
    if bad.any():
        raise cv.fail(
            func,
            f"{name} value {float(a[bad].flat[0])!r} is not {what} "
            f"(it must lie within [{low:g}, {high:g}])",
        )


def _check_positive(func: str, name: str, a: Any, what: str = "") -> None:
    """Refuse a finite value that is zero or negative (an error or variance of 0 would
    give the observation an infinite weight)."""
    a = np.asarray(a, dtype=np.float64)
    bad = np.isfinite(a) & (a <= 0)
    if bad.any():
        raise cv.fail(func, f"{name} must be positive{what}, not {float(a[bad].flat[0])!r}")


def _check_position(func: str, prefix: str, lat: Any, lon: Any = None) -> None:
    """Latitudes within [-90, 90]; longitudes within [-180, 360] where the file holds
    them as given (WRFDA), any finite one where they are wrapped (DART)."""
    _check_range(func, f"{prefix}lat", lat, -90.0, 90.0, "a latitude in degrees")
    if lon is not None:
        _check_range(func, f"{prefix}lon", lon, -180.0, 360.0, "a longitude in degrees")


def _check_fixed(func: str, field: str, a: np.ndarray, width: int, precision: int) -> None:
    """Refuse a finite value whose "%.*f" text is wider than its field."""
    if a.size == 0:
        return
    # The text fits when the value rounded to `precision` decimals has few enough integer
    # digits (one fewer for a minus sign). Only values near that bound need the exact
    # test by formatting, which rounds exactly as the native writer does.
    bound = np.where(
        np.signbit(a), 10.0 ** (width - 2 - precision), 10.0 ** (width - 1 - precision)
    )
    near = np.abs(a) >= (bound - 0.5 * 10.0**-precision) * (1 - 1e-9)
    for x in a[near].tolist():
        text = "%.*f" % (precision, x)
        if len(text) > width:
            raise cv.fail(
                func,
                f"{field} value {x!r} is {text!r}, wider than its "
                f"{width}-character field (f{width}.{precision})",
            )


def _check_int(func: str, field: str, a: Any, width: int) -> None:
    a = np.asarray(a, dtype=np.int64)
    if a.size == 0:
        return
    for x in (int(a.min()), int(a.max())):
        if len(str(x)) > width:
            raise cv.fail(
                func, f"{field} value {x} is wider than its {width}-character field (i{width})"
            )


def _batches(items: Any, kind: type) -> list[Any]:
    if isinstance(items, kind):
        return [items]
    out = list(items)
    for i, item in enumerate(out):
        if not isinstance(item, kind):
            raise TypeError(f"item {i} is {type(item).__name__}, expected {kind.__name__}")
    return out


# --- WRFDA -----------------------------------------------------------------------------


def _wrfda_stamp(func: str, time: Any) -> str:
    seconds = cv.epoch_seconds(func, "time", time)
    if seconds.size != 1:
        raise cv.fail(func, f"time must be one time per radar, got shape {seconds.shape}")
    t = np.datetime64(int(seconds.ravel()[0]), "s")
    stamp = str(t).replace("T", "_")
    if not re.fullmatch(r"\d{4}-\d\d-\d\d_\d\d:\d\d:\d\d", stamp):
        raise cv.fail(func, f"time {t} does not fit the 19-character date field")
    return stamp


def _wrfda_block(func: str, radar: WrfdaRadar) -> tuple[str, dict[str, Any], int, int]:
    """Radar line and the native call's arguments of one radar, after every check."""
    name = radar.name
    if not isinstance(name, str) or not name.isascii() or len(name) > 12 or not name.isprintable():
        raise cv.fail(func, f"radar name {name!r} must be at most 12 printable ASCII characters")
    lon = _scalar(func, "lon", radar.lon, "degree")
    lat = _scalar(func, "lat", radar.lat, "degree")
    elv = _scalar(func, "elv", radar.elv, "m")
    _check_position(func, "", lat)
    stamp = _wrfda_stamp(func, radar.time)
    levels, columns = np.shape(radar.centres), np.shape(radar.col_lat)
    if len(levels) != 1 or len(columns) != 1:
        raise cv.fail(
            func, f"centres and col_lat must be one-dimensional, not shapes {levels} and {columns}"
        )
    centres = _floats(func, "centres", radar.centres, levels, "m")
    col = {
        n: _floats(func, n, getattr(radar, n), columns, u)
        for n, u in (("col_lat", "degree"), ("col_lon", "degree"), ("col_elv", "m"))
    }
    _check_position(func, "col_", col["col_lat"])
    grid = columns + levels
    obs: dict[str, np.ndarray] = {}
    missing = 0
    # pint knows no dBZ: reflectivity and its error are taken as given.
    for v, unit in (("rv", "m/s"), ("rf", None)):
        value = _floats(func, v, getattr(radar, v), grid, unit)
        err = _floats(func, f"{v}_err", getattr(radar, f"{v}_err"), grid, unit)
        given = getattr(radar, f"{v}_qc")
        qc = cv.integers(func, f"{v}_qc", 0 if given is None else given, WRFDA_MISSING_QC)
        try:
            qc = np.broadcast_to(qc, grid)
        except ValueError:
            raise cv.fail(func, f"{v}_qc has shape {qc.shape}, expected {grid}") from None
        # A flag of -88 (given, or filled in for a masked flag) marks the value missing too.
        gone = ~np.isfinite(value) | ~np.isfinite(err) | (qc == WRFDA_MISSING_QC)
        _check_positive(func, f"{v}_err", np.where(gone, np.nan, err), " where the value is given")
        obs[v] = np.where(gone, WRFDA_MISSING, value)
        obs[f"{v}_err"] = np.where(gone, WRFDA_MISSING, err)
        obs[f"{v}_qc"] = np.where(gone, WRFDA_MISSING_QC, qc)
        missing += int(gone.sum())
    _require_finite(func, "centres", centres)
    for n, a in col.items():
        _require_finite(func, n, a)
    # Every field against the widths of WRFDA's formats, (a5,2x,a12,2(f8.3,2x),f8.1,2x,
    # a19,2i6) for the radar line, (a12,3x,a19,2x,2(f12.3,2x),f8.1,2x,i6) per column and
    # (3x,f12.1,2(f12.3,i4,f12.3,2x)) per level.
    _check_fixed(func, "lon", np.array([lon]), 8, 3)
    _check_fixed(func, "lat", np.array([lat]), 8, 3)
    _check_fixed(func, "elv", np.array([elv]), 8, 1)
    _check_int(func, "number of columns", columns[0], 6)
    _check_int(func, "number of levels", levels[0], 6)
    _check_fixed(func, "centres", centres, 12, 1)
    _check_fixed(func, "col_lat", col["col_lat"], 12, 3)
    _check_fixed(func, "col_lon", col["col_lon"], 12, 3)
    _check_fixed(func, "col_elv", col["col_elv"], 8, 1)
    for n in ("rv", "rv_err", "rf", "rf_err"):
        _check_fixed(func, n, obs[n].ravel(), 12, 3)
    for n in ("rv_qc", "rf_qc"):
        _check_int(func, n, obs[n], 4)
    _check_position(func, "", lat, lon)
    _check_position(func, "col_", col["col_lat"], col["col_lon"])
    line = f"RADAR  {name:<12s}{lon:8.3f}  {lat:8.3f}  {elv:8.1f}  {stamp:<19s}{columns[0]:6d}{levels[0]:6d}"
    args = dict(centres=centres, **col, **obs, stamp=stamp)
    return line, args, 2 * columns[0] * levels[0] - missing, missing


def write_wrfda_radar(
    path: PathLike, radars: WrfdaRadar | Iterable[WrfdaRadar], *, n_threads: int = 0
) -> WriteCounts:
    """Write a WRFDA radar observation file of one or more radars.

    Parameters
    ----------
    path : str or os.PathLike
        File to write (replaced if it exists).
    radars : WrfdaRadar or sequence of WrfdaRadar
        The radars, in file order, each with its columns and levels.
    n_threads : int, optional
        Threads of the native writer (0: all cores); the bytes do not depend on it.

    Returns
    -------
    WriteCounts
        ``written``: radial velocities and reflectivities written with a value;
        ``missing``: those written as missing (-888888.0, QC -88).

    Raises
    ------
    ValueError
        A value that does not fit its fixed-width field (the message names the field
        and the value), a latitude out of range, a longitude outside [-180, 360], an error that is not
        positive, a column position or level height that is missing, shapes that do
        not match, a radar name longer than 12 characters, or more than 999 radars.
    TypeError
        Quality flags that are not integers, a time that is not a date-time.

    Notes
    -----
    The file is the text WRFDA's radar reader takes: a ``TOTAL RADAR`` line read with
    ``(14x,i3)``, then per radar a blank line, the ``RADAR`` line read with
    ``(a5,2x,a12,2(f8.3,2x),f8.1,2x,a19,2i6)`` (name, longitude, latitude, elevation,
    date, number of columns, number of levels), a dashed separator and a blank line,
    then one ``FM-128 RADAR`` station line per column and one line per level.

    The file is written to a temporary file in the same folder and renamed into place
    when complete, so a failure leaves no partial file and the old file, if any,
    unchanged.

    Examples
    --------
    >>> import datetime as dt, os, tempfile, kestrum
    >>> path = os.path.join(tempfile.mkdtemp(), "ob.radar")
    >>> radar = kestrum.WrfdaRadar(
    ...     name="KTLX", lon=-97.278, lat=35.333, elv=370.0, time=dt.datetime(2024, 5, 1, 22),
    ...     centres=[1000.0, 2000.0], col_lat=[35.4], col_lon=[-97.2], col_elv=370.0,
    ...     rv=[[12.5, float("nan")]], rv_err=2.0, rf=[[35.0, 20.0]], rf_err=5.0)
    >>> kestrum.write_wrfda_radar(path, radar)
    WriteCounts(written=3, missing=1)
    >>> print(open(path).read())
    TOTAL RADAR =   1
    #-------------------------------------------------------------------------------#
    <BLANKLINE>
    RADAR  KTLX         -97.278    35.333     370.0  2024-05-01_22:00:00     1     2
    #-------------------------------------------------------------------------------#
    <BLANKLINE>
    FM-128 RADAR   2024-05-01_22:00:00        35.400       -97.200     370.0       2
             1000.0      12.500   0       2.000        35.000   0       5.000
             2000.0 -888888.000 -88 -888888.000        20.000   0       5.000
    <BLANKLINE>
    """
    func = "write_wrfda_radar"
    blocks = [_wrfda_block(func, r) for r in _batches(radars, WrfdaRadar)]
    _check_int(func, "number of radars", len(blocks), 3)
    dashes = "#" + "-" * 79 + "#"
    with _atomic(path) as f:
        f.write(f"TOTAL RADAR = {len(blocks):3d}\n{dashes}\n".encode("ascii"))
        for line, args, _, _ in blocks:
            f.write(f"\n{line}\n{dashes}\n\n".encode("ascii"))
            f.write(_tavolin.format_wrfda(**args, n_threads=n_threads))
    return WriteCounts(sum(b[2] for b in blocks), sum(b[3] for b in blocks))


# --- DART ------------------------------------------------------------------------------


class _DartRecords(NamedTuple):
    kind: str
    keep: np.ndarray
    value: np.ndarray
    variance: np.ndarray
    lon: np.ndarray
    lat: np.ndarray
    height: np.ndarray
    seconds: np.ndarray
    radar: np.ndarray | None  # (n, 3): lon, lat, height (degrees, m)
    beam: np.ndarray | None
    nyquist: np.ndarray | None


def _dart_batch(func: str, i: int, b: DartBatch, code: int) -> _DartRecords:
    height_unit = VERTICAL_UNIT.get(code)
    where = f"batch {i} ({b.kind})"
    if not isinstance(b.kind, str) or not DART_NAME.fullmatch(b.kind):
        raise cv.fail(func, f"batch {i}: kind {b.kind!r} is not a DART observation type name")
    if b.kind != b.kind.upper():
        # DART's names are upper case; another spelling would be a kind of its own, and
        # "doppler_radial_velocity" one without the radar's platform block.
        raise cv.fail(
            func,
            f"batch {i}: kind {b.kind!r} is not a DART observation type name: "
            f"they are upper case ({b.kind.upper()!r})",
        )
    shape = np.shape(b.value)
    if len(shape) > 1:
        raise cv.fail(func, f"{where}: value must be one-dimensional, got shape {shape}")
    n = shape[0] if shape else 1
    one = (n,)
    # The kind decides the units of a value: taken as given.
    value = _floats(func, "value", b.value, one, None)
    variance = _floats(func, "variance", b.variance, one, None)
    keep = np.isfinite(value) & np.isfinite(variance)
    _check_positive(func, f"{where}: variance", variance[keep])
    loc = {
        n_: _floats(func, n_, getattr(b, n_), one, u)
        for n_, u in (("lon", "degree"), ("lat", "degree"), ("height", height_unit))
    }
    for n_, a in loc.items():
        _require_finite(func, f"{where}: {n_}", a[keep])
    _check_position(func, f"{where}: ", loc["lat"][keep])
    seconds = cv.epoch_seconds(func, "time", b.time)
    try:
        seconds = np.broadcast_to(seconds, one)
    except ValueError:
        raise cv.fail(func, f"{where}: time has shape {seconds.shape}, expected {one}") from None
    radar = beam = nyquist = None
    if b.kind == RADIAL_VELOCITY:
        if height_unit != "m" or code == -1:
            # The platform block writes the radar's height with the file's vertical code.
            raise cv.fail(func, f"{where}: radial velocities need vertical='height'")
        needed = ("radar_lon", "radar_lat", "radar_height", "azimuth", "elevation", "nyquist")
        absent = [n_ for n_ in needed if getattr(b, n_) is None]
        if absent:
            raise cv.fail(func, f"{where}: radial velocities need {', '.join(absent)}")
        radar = np.column_stack(
            [
                _floats(func, n_, getattr(b, n_), one, u)
                for n_, u in (
                    ("radar_lon", "degree"),
                    ("radar_lat", "degree"),
                    ("radar_height", "m"),
                )
            ]
        )
        az = _floats(func, "azimuth", b.azimuth, one, "degree")
        el = _floats(func, "elevation", b.elevation, one, "degree")
        nyquist = _floats(func, "nyquist", b.nyquist, one, "m/s")
        _check_position(func, f"{where}: radar_", radar[keep, 1])
        geo.check_elevation(func, f"{where}: elevation", el[keep])
        _check_positive(func, f"{where}: nyquist", nyquist[keep], " (or missing)")
        # A Nyquist velocity that is not known is written as DART's missing value.
        nyquist = np.where(np.isfinite(nyquist), nyquist, DART_MISSING)
        if b.range is not None:
            r = _floats(func, "range", b.range, one, "m")
            _require_finite(func, f"{where}: range", r[keep])
            el = geo.elevation_at_gate(r, el)
        for n_, a in (
            ("radar_lon, radar_lat, radar_height", radar),
            ("azimuth", az),
            ("elevation", el),
        ):
            _require_finite(func, f"{where}: {n_}", a[keep])
        az_r, el_r = np.deg2rad(az), np.deg2rad(el)
        beam = np.column_stack(
            [np.sin(az_r) * np.cos(el_r), np.cos(az_r) * np.cos(el_r), np.sin(el_r)]
        )
    return _DartRecords(
        b.kind,
        keep,
        value,
        variance,
        loc["lon"],
        loc["lat"],
        loc["height"],
        np.asarray(seconds),
        radar,
        beam,
        nyquist,
    )


def _dart_location(lon: np.ndarray, lat: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """DART's threed_sphere location: radians, longitude in [0, 2 pi)."""
    lon_r = np.deg2rad(np.mod(lon, 360.0))
    # A longitude just below 0 can round up to 360 degrees, which DART refuses.
    lon_r = np.where(lon_r >= 2 * np.pi, 0.0, lon_r)
    return lon_r, np.deg2rad(lat)


def _dart_header(kinds: list[tuple[int, str]], n: int) -> str:
    table = "".join(f"{index:12d} {name}\n" for index, name in kinds)
    first, last = (1, n) if n else (-1, -1)
    return (
        f" obs_sequence\nobs_type_definitions\n{len(kinds):12d}\n{table}"
        f"  num_copies: {1:12d}  num_qc: {1:12d}\n"
        f"  num_obs: {n:12d}  max_num_obs: {n:12d}\n"
        f"observations\nQC\n"
        f"  first: {first:12d}  last: {last:12d}\n"
    )


def write_dart_obs_seq(
    path: PathLike,
    batches: DartBatch | Iterable[DartBatch],
    *,
    vertical: str | int = "height",
    n_threads: int = 0,
) -> WriteCounts:
    """Write an ASCII DART observation sequence (``obs_seq.out``).

    Parameters
    ----------
    path : str or os.PathLike
        File to write (replaced if it exists).
    batches : DartBatch or sequence of DartBatch
        Observations, one kind per batch: several radars, sweeps and kinds go into one
        file with one numbering.
    vertical : str or int, optional
        Vertical coordinate of every location (DART's ``which_vert``): ``"height"`` (3,
        m above sea level, the default), ``"pressure"`` (2, Pa), ``"level"`` (1),
        ``"surface"`` (-1, m), ``"scale_height"`` (4) or ``"undefined"`` (-2).
    n_threads : int, optional
        Threads of the native writer (0: all cores); the bytes do not depend on it.

    Returns
    -------
    WriteCounts
        ``written``: records in the file; ``missing``: observations left out because
        their value or variance was NaN, infinite or masked.

    Raises
    ------
    ValueError
        A kind name DART cannot hold or not in upper case, a variance or Nyquist
        velocity that is not positive, a latitude or elevation out of range, a missing location, a radial velocity without its radar, beam
        direction or Nyquist velocity, a time before 1601-01-01 or too late for the days field, shapes that
        do not match.
    TypeError
        A time that is not a date-time.

    Notes
    -----
    The file has DART's ASCII header: ``obs_sequence``, the ``obs_type_definitions``
    table of the kinds used, one copy (``observations``) and one QC (``QC``, always 0),
    ``num_obs`` and ``max_num_obs``, ``first`` and ``last``; then one ``OBS`` record per
    observation, linked in time order (records of equal time keep the order of the
    batches and of the arrays).

    What the records hold, in DART's terms:

    - locations are ``threed_sphere`` locations: longitude in radians in [0, 2π),
      latitude in radians, then the vertical value and the ``which_vert`` code;
    - times are DART's Gregorian (days, seconds) since 1601-01-01 00:00:00;
    - a ``DOPPLER_RADIAL_VELOCITY`` record carries the platform block of
      ``obs_def_radar_mod``: the radar's location, the beam direction
      (sin(az) cos(el), cos(az) cos(el), sin(el)), the unit vector from the radar
      along the beam in east, north and up components, the Nyquist velocity and a key
      numbering the radial velocities of the file from 1.

    The kinds table lists ``DOPPLER_RADIAL_VELOCITY`` as 1 when it is used, the other
    kinds from 2 in order of first use; DART maps the names to its own numbers, so the
    caller's DART build needs only those kinds enabled in ``input.nml``.

    The file is written to a temporary file in the same folder and renamed into place
    when complete, so a failure leaves no partial file.

    Examples
    --------
    >>> import datetime as dt, os, tempfile, kestrum
    >>> path = os.path.join(tempfile.mkdtemp(), "obs_seq.out")
    >>> velocities = kestrum.DartBatch(
    ...     "DOPPLER_RADIAL_VELOCITY", value=[12.5, float("nan")], variance=4.0,
    ...     lon=-97.5, lat=35.2, height=[1500.0, 1600.0], time=dt.datetime(2024, 5, 1, 22),
    ...     radar_lon=-97.278, radar_lat=35.333, radar_height=370.0, azimuth=225.0,
    ...     elevation=0.5, nyquist=26.5)
    >>> kestrum.write_dart_obs_seq(path, velocities)
    WriteCounts(written=1, missing=1)
    >>> print("".join(open(path).readlines()[:12]))
     obs_sequence
    obs_type_definitions
               1
               1 DOPPLER_RADIAL_VELOCITY
      num_copies:            1  num_qc:            1
      num_obs:            1  max_num_obs:            1
    observations
    QC
      first:            1  last:            1
     OBS            1
       1.2500000000000000E+01
               0
    <BLANKLINE>
    """
    func = "write_dart_obs_seq"
    if isinstance(vertical, str):
        if vertical not in DART_VERTICAL:
            raise cv.fail(
                func, f"vertical must be one of {', '.join(DART_VERTICAL)}, got {vertical!r}"
            )
        code = DART_VERTICAL[vertical]
    elif isinstance(vertical, (int, np.integer)) and int(vertical) in DART_VERTICAL.values():
        code = int(vertical)
    else:
        raise cv.fail(
            func,
            f"vertical code {vertical!r} is not one of DART's {sorted(DART_VERTICAL.values())}",
        )
    parts = [_dart_batch(func, i, b, code) for i, b in enumerate(_batches(batches, DartBatch))]
    # Kind index 0 is the one the native writer gives the radar platform block.
    names = [RADIAL_VELOCITY] + list(
        dict.fromkeys(p.kind for p in parts if p.kind != RADIAL_VELOCITY)
    )
    index = {name: i for i, name in enumerate(names)}
    used = sorted({index[p.kind] for p in parts if p.keep.any()})
    kinds = [(i + 1, names[i]) for i in used]

    def take(get: Any, *row: int) -> np.ndarray:
        """One field of every kept record, batch after batch, in time order; zeros where
        a kind lacks the field (the native writer reads the radar fields of radial
        velocities only)."""
        chunks = [
            (a if (a := get(p)) is not None else np.zeros((p.keep.size, *row)))[p.keep]
            for p in parts
        ]
        return np.concatenate(chunks)[order] if chunks else np.zeros((0, *row))

    counts = [int(p.keep.sum()) for p in parts]
    missing = sum(p.keep.size for p in parts) - sum(counts)
    seconds = np.concatenate([p.seconds[p.keep] for p in parts]) if parts else np.zeros(0, np.int64)
    # DART walks the sequence from `first` along the links and expects times in order.
    # Records usually come in order already (one volume time, or times per ray).
    in_order = bool(np.all(seconds[1:] >= seconds[:-1]))
    order: Any = slice(None) if in_order else np.argsort(seconds, kind="stable")
    kind = np.repeat(np.array([index[p.kind] for p in parts], np.int64), counts)[order]
    n = kind.size
    days, secs = np.divmod(seconds[order] - DART_EPOCH.astype(np.int64), 86400)
    if n and days.min() < 0:
        raise cv.fail(func, "a time is before 1601-01-01, where DART's calendar starts")
    _check_int(func, "days of the time", days, 10)
    _check_int(func, "number of observations", n, 12)
    lon, lat = _dart_location(take(lambda p: p.lon), take(lambda p: p.lat))
    radar = take(lambda p: p.radar, 3)
    beam = take(lambda p: p.beam, 3)
    radar_lon, radar_lat = _dart_location(radar[:, 0], radar[:, 1])
    is_rv = kind == 0
    velkey = np.where(is_rv, np.cumsum(is_rv), 0).astype(np.int64)
    body = _tavolin.format_dart(
        kind,
        take(lambda p: p.value),
        take(lambda p: p.variance),
        lon,
        lat,
        take(lambda p: p.height),
        days.astype(np.int64),
        secs.astype(np.int64),
        radar_lon,
        radar_lat,
        radar[:, 2],
        beam,
        take(lambda p: p.nyquist),
        velkey,
        code,
        n_threads=n_threads,
    )
    with _atomic(path) as f:
        f.write(_dart_header(kinds, n).encode("ascii"))
        f.write(body)
    return WriteCounts(n, missing)
