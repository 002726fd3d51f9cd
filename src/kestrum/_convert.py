"""How public arguments become what the native kernels read: the primitives of the road.

Public functions declare their arguments and call ``_road.run``, which converts them
with the helpers here; a helper is called directly only for what a declaration cannot
say (a writer's fixed-width fields, say). There is one rule for each of:

- units: a ``pint.Quantity`` (MetPy's units) or an xarray ``DataArray`` with a ``units``
  attribute is converted to the unit the kernel expects; a quantity of the wrong
  dimensionality is an error naming the argument; plain numbers are taken as given;
- missing data: masked floating arrays are passed on as they are (the native layer
  reads their masked elements as NaN); masked integer arrays are filled with the
  function's missing code where it has one, and refused here, under the public
  argument's name, otherwise;
- broadcasting: NumPy's rules, with errors that name the arguments and their shapes;
- xarray: a ``DataArray`` argument sends the call through ``xarray.apply_ufunc``, so
  dimensions and coordinates survive and Dask-backed data run chunk by chunk.

Optional dependencies (pint, xarray, Dask, tqdm) are imported only when used.
"""

from __future__ import annotations

import math
import re
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

Array = npt.NDArray[np.float64]


class ArgumentError(ValueError):
    """A public argument that the kernel cannot take, found before any native call."""


def fail(func: str, message: str) -> ArgumentError:
    """The error to raise: always prefixed by the public function's name."""
    return ArgumentError(f"{func}: {message}")


# --- what the argument is ---------------------------------------------------------


def is_quantity(value: object) -> bool:
    """A pint Quantity, recognised without importing pint (it may not be installed)."""
    pint = sys.modules.get("pint")
    return pint is not None and isinstance(value, pint.Quantity)


def is_dataarray(value: object) -> bool:
    """An xarray DataArray; if xarray was never imported, the caller cannot hold one."""
    xr = sys.modules.get("xarray")
    return xr is not None and isinstance(value, xr.DataArray)


def any_dataarray(*values: object) -> bool:
    return any(is_dataarray(v) for v in values)


def _registry() -> Any:
    import importlib

    return importlib.import_module("pint").get_application_registry()


def _unit_map(func: str, name: str, source: Any, unit: str) -> tuple[float, float]:
    """(scale, offset) taking values in ``source`` to ``unit``: pint conversions are affine."""
    import pint

    ureg = _registry()
    try:
        zero = ureg.Quantity(0.0, source).to(unit).magnitude
        one = ureg.Quantity(1.0, source).to(unit).magnitude
    except pint.DimensionalityError:
        raise fail(func, f"{name} is in {source}, which cannot be converted to {unit}") from None
    return float(one - zero), float(zero)


#: Units of the kernels that are angles: a dimensionless quantity given for one is a
#: mistake (a cosine, a fraction), not radians as pint would read it.
_ANGLES = {"degree", "radian"}

#: The decibel family of radar files (dB, dBZ, dBz, DBZH's "dBZ", dBm, dB(Z), ...):
#: recognised by name, with or without pint, so that a reflectivity is never taken for
#: a velocity, height, pressure or angle whatever modules happen to be imported.
_DECIBEL = re.compile(r"\s*(dB[ZMR]?[EHV]?|dB\(Z\)|decibels?)\s*", re.IGNORECASE)


def is_decibel(units: object) -> bool:
    return isinstance(units, str) and _DECIBEL.fullmatch(units) is not None


def _refuse_decibel(func: str, name: str, units: object, unit: str | None) -> None:
    if unit not in (None, "dB") and is_decibel(units):
        raise fail(func, f"{name} is in {units}, which cannot be converted to {unit}")


def strip_units(func: str, name: str, value: Any, unit: str | None) -> Any:
    """The magnitude of ``value`` in ``unit`` (``None``: any unit, the magnitude is used).

    Quantities are converted by pint itself; a DataArray's ``units`` attribute is
    read with pint where pint is installed and knows the unit. Decibels (``dB``,
    ``dBZ`` and their spellings) are known by name: refused for any other unit, and
    the only units taken for ``unit="dB"`` (a quantity of another dimension is refused
    there). A dimensionless quantity is refused for an angle.
    """
    if is_quantity(value):
        _refuse_decibel(func, name, f"{value.units:~}", unit)
        if unit is None:
            return value.magnitude
        if unit == "dB":
            if not value.dimensionless and not is_decibel(f"{value.units:~}"):
                raise fail(func, f"{name} is in {value.units:~}, which is not in decibels")
            return value.magnitude
        if unit in _ANGLES and value.unitless:
            raise fail(
                func,
                f"{name} is a dimensionless quantity ({value.units:~}): "
                f"give the angle in degrees or radians",
            )
        import pint

        try:
            return value.to(unit).magnitude
        except pint.DimensionalityError:
            raise fail(
                func, f"{name} is in {value.units:~}, which cannot be converted to {unit}"
            ) from None
    if is_dataarray(value):
        if is_quantity(value.data):
            return value.copy(data=strip_units(func, name, value.data, unit))
        return with_units_attribute(func, name, value, value.attrs.get("units"), unit)
    return value


#: Unit names of radar files that pint does not know.
_UNIT_NAMES = {
    "meters_per_second": "m/s",
    "meter_per_second": "m/s",
    "meters": "m",
    "degrees": "degree",
}


def with_units_attribute(func: str, name: str, value: Any, source: Any, unit: str | None) -> Any:
    """``value`` (an array or DataArray) labelled in ``source`` (a units attribute), in ``unit``.

    Read with pint where it is installed and knows the name; a name it does not know,
    or a dimensionless one, leaves the value as it is (taken in the documented unit).
    """
    _refuse_decibel(func, name, source, unit)
    if unit in (None, "dB") or not isinstance(source, str) or "pint" not in _importable():
        return value
    source = _UNIT_NAMES.get(source.strip(), source)
    try:
        ureg = _registry()
        # CF and UDUNITS write powers as bare numbers ("m s-1"); pint wants "**".
        parsed = ureg.Unit(re.sub(r"(?<=[A-Za-z])(-?\d+)", r"**\1", source))
    except Exception:  # pint raises several types for unknown or unparsable names
        return value
    if parsed == ureg.dimensionless:
        # "1" or "": says nothing, and pint would take it for radians where an angle is due.
        return value
    scale, offset = _unit_map(func, name, parsed, unit)
    if scale == 1.0 and offset == 0.0:
        return value
    converted = value * scale + offset if offset else value * scale
    if is_dataarray(converted):
        converted.attrs = {**value.attrs, "units": unit}
    return converted


_IMPORTABLE: set[str] | None = None


def _importable() -> set[str]:
    global _IMPORTABLE
    if _IMPORTABLE is None:
        import importlib.util

        _IMPORTABLE = {m for m in ("pint", "xarray", "dask", "tqdm") if importlib.util.find_spec(m)}
    return _IMPORTABLE


# --- NumPy arguments ----------------------------------------------------------------


def array(
    func: str, name: str, value: Any, unit: str | None = None, missing: int | None = None
) -> Any:
    """``value`` as an array in ``unit``; masked floating arrays stay masked.

    A masked integer array has no NaN to stand for its masked elements: they get the
    function's ``missing`` code, and without one the array is refused here, under
    its public name (the native layer would refuse it too, under its own).
    """
    value = strip_units(func, name, value, unit)
    if value is None:
        raise fail(func, f"{name} is None")
    out = np.asanyarray(value)
    if out.dtype == object or not (np.issubdtype(out.dtype, np.number) or out.dtype == bool):
        raise fail(func, f"{name} must be numeric, not {out.dtype}")
    if isinstance(out, np.ma.MaskedArray) and not np.issubdtype(out.dtype, np.inexact):
        if not np.ma.getmaskarray(out).any():
            return out.data
        if missing is None:
            raise fail(func, f"{name} is a masked integer array: fill the masked elements first")
        return np.ma.filled(out, missing)
    return out


def scalar(func: str, name: str, value: Any, unit: str | None = None) -> float:
    """A single real number in ``unit``."""
    out = array(func, name, value, unit)
    if out.size != 1:
        raise fail(func, f"{name} must be a single number, not shape {out.shape}")
    if np.ma.is_masked(out):
        return float("nan")
    return float(np.ma.getdata(out).reshape(()))


def bounded(
    func: str,
    name: str,
    x: float,
    low: float | None = None,
    high: float | None = None,
    above: float | None = None,
    finite: bool = False,
) -> float:
    """``x`` if it is within [``low``, ``high``] and greater than ``above`` (each where
    given), else an error naming the argument; any bound, or ``finite``, refuses NaN
    and infinities (a box size, a step or a fraction of infinity means nothing)."""
    if low is None and high is None and above is None and not finite:
        return x
    ok = (
        math.isfinite(x)
        and (low is None or x >= low)
        and (high is None or x <= high)
        and (above is None or x > above)
    )
    if not ok:
        if above is not None:
            where = (
                "positive"
                if above == 0 and high is None
                else (f"greater than {above:g}" if high is None else f"in ({above:g}, {high:g}]")
            )
        elif low is not None:
            where = f"at least {low:g}" if high is None else f"in [{low:g}, {high:g}]"
        else:
            where = f"at most {high:g}" if high is not None else "finite"
        raise fail(func, f"{name} must be {where}, not {x}")
    return x


def integer(
    func: str, name: str, value: Any, low: int | None = None, high: int | None = None
) -> int:
    """An integer argument: Python or NumPy integers only (2.0 is refused, as natively),
    within [``low``, ``high``] where given (the native type's range, say)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{func}: {name} must be an integer, not {type(value).__name__}")
    number = int(value)
    if low is not None and number < low:
        least = "positive" if low == 1 else "at least 0" if low == 0 else f"at least {low}"
        raise fail(func, f"{name} must be {least}, not {number}")
    if high is not None and number > high:
        raise fail(func, f"{name} must be at most {high}, not {number}")
    return number


INT64 = (-(2**63), 2**63 - 1)
UINT64 = (0, 2**64 - 1)


def hardware_threads() -> int:
    import os

    return os.cpu_count() or 1


def threads(func: str, value: Any) -> int:
    """``n_threads``: an integer; 0 or negative means every hardware thread, and more
    than the hardware has is capped to it (extra threads only wait for a core)."""
    n = integer(func, "n_threads", value)
    return 0 if n <= 0 else min(n, hardware_threads())


def boolean(func: str, name: str, value: Any) -> bool:
    """A flag: True or False only (a string such as "no" is not taken for True)."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{func}: {name} must be True or False, not {value!r}")
    return bool(value)


def nan_filled(value: Any) -> Array:
    """A float64 copy with NaN where ``value`` is masked: for small arguments such as
    angles and coordinates that the wrappers compute with before the native call."""
    return np.ma.filled(np.ma.asanyarray(value).astype(np.float64), np.nan)


def nan_where_masked(value: Any) -> Any:
    """Floating data to read in Python, NaN where masked: a masked array is copied with
    NaN in its masked elements, anything else is returned as an array without a copy."""
    return nan_filled(value) if np.ma.isMaskedArray(value) else np.asarray(value)


def nan_data(value: Any, dtype: Any = np.float64, *, copy: bool = True) -> Any:
    """A large field as a C-contiguous array in ``dtype`` with NaN where it is masked,
    in one pass. With ``copy`` the array is always new, so a kernel may write over it;
    without, an unmasked array already in ``dtype`` is used as it is."""
    if isinstance(value, np.ma.MaskedArray):
        nan = np.array(np.nan, dtype=dtype)
        return np.where(np.ma.getmaskarray(value), nan, np.ma.getdata(value)).astype(
            dtype, copy=False
        )
    if copy:
        return np.array(value, dtype=dtype, order="C")
    return np.ascontiguousarray(value, dtype=dtype)


def data_and_mask(value: Any, dtype: Any) -> tuple[Any, Any]:
    """A large field split for a kernel that reads a mask beside the data, without a
    filled copy: its data C-contiguous in ``dtype``, and its mask as uint8 in the data's
    shape, or None when it has no mask."""
    data = np.ascontiguousarray(np.ma.getdata(value), dtype=dtype)
    mask = np.ma.getmask(value)
    if mask is np.ma.nomask:
        return data, None
    return data, np.ascontiguousarray(np.broadcast_to(mask, data.shape)).view(np.uint8)


def masked_where_nan(out: Any) -> Any:
    """``out`` as a masked array, masked where it is NaN (the form Py-ART's fields take)."""
    return np.ma.MaskedArray(out, mask=np.isnan(out), copy=False)


def masked_like(like: Any, out: Any) -> Any:
    """Masked in, masked out: ``out`` masked where it is NaN when ``like`` is a masked
    array (Py-ART's fields), ``out`` itself otherwise."""
    return masked_where_nan(out) if isinstance(like, np.ma.MaskedArray) else out


def filled(value: Any, fill: Any) -> Any:
    """A plain array with ``fill`` in the masked elements of ``value``."""
    return np.asarray(np.ma.filled(value, fill))


def broadcast_to(value: Any, shape: tuple[int, ...]) -> Any:
    """``numpy.broadcast_to`` that keeps a mask (a view: the native call copies it once)."""
    if np.shape(value) == shape:
        return value
    if isinstance(value, np.ma.MaskedArray):
        mask = np.broadcast_to(np.ma.getmaskarray(value), shape)
        return np.ma.MaskedArray(np.broadcast_to(value.data, shape), mask=mask)
    return np.broadcast_to(value, shape)


def describe(names_shapes: Sequence[tuple[str, tuple[int, ...]]]) -> str:
    return ", ".join(f"{n} has shape {s}" for n, s in names_shapes)


def broadcast(func: str, **arrays: Any) -> tuple[tuple[int, ...], list[Any]]:
    """The common shape of the arguments and each argument broadcast to it."""
    shapes = [(n, np.shape(a)) for n, a in arrays.items()]
    try:
        shape = np.broadcast_shapes(*(s for _, s in shapes))
    except ValueError:
        raise fail(func, f"{describe(shapes)}: they do not broadcast together") from None
    return shape, [broadcast_to(a, shape) for a in arrays.values()]


def fits(value: Any, shape: tuple[int, ...]) -> bool:
    """Whether ``value`` broadcasts to ``shape`` without adding axes or changing it."""
    try:
        return np.ndim(value) <= len(shape) and np.broadcast_shapes(np.shape(value), shape) == shape
    except ValueError:
        return False


def fit(func: str, name: str, value: Any, shape: tuple[int, ...], what: str = "") -> Any:
    """``value`` broadcast to ``shape`` (a view), or an error naming the argument: the one
    rule for an argument that must take the shape another argument gives. ``what``
    names where the shape comes from (e.g. "a column of z, u, v")."""
    if not fits(value, shape):
        where = f"{what} has shape {shape}" if what else f"it must broadcast to {shape}"
        raise fail(func, f"{name} has shape {np.shape(value)} but {where}")
    return broadcast_to(value, shape)


def per_ray(func: str, name: str, value: Any, rays: tuple[int, ...]) -> Array:
    """A value per ray of a radar field whose rays have shape ``rays`` (..., rays): one
    number, one per sweep (``rays[:-1]``, or (..., 1)) or one per ray, as a new C-ordered
    float64 array of one value per ray, flat, NaN where masked."""
    a = nan_filled(array(func, name, value))
    if len(rays) > 1 and a.shape == rays[:-1]:
        a = a[..., None]  # one per sweep
    if not fits(a, rays):
        want = (
            f"a number, one value per sweep {rays[:-1]} or one per ray {rays}"
            if len(rays) > 1
            else f"a number or one value per ray {rays}"
        )
        raise fail(func, f"{name} has shape {a.shape}: {name} must be {want}")
    return np.ascontiguousarray(np.broadcast_to(a, rays).reshape(-1))


def broadcast_leading(func: str, shape: tuple[int, ...], what: str, **arrays: Any) -> list[Any]:
    """Arguments broadcast to ``shape``, the leading (per-column) shape of the call."""
    return [fit(func, name, value, shape, what) for name, value in arrays.items()]


def broadcast_planes(func: str, name: str, value: Any, planes: int, shape: tuple[int, ...]) -> Any:
    """``value`` of shape (planes, ...) with its trailing axes broadcast to ``shape``."""
    if np.ndim(value) < 1 or np.shape(value)[0] != planes:
        raise fail(func, f"{name} has shape {np.shape(value)} but it must be ({planes}, *{shape})")
    rest = np.shape(value)[1:]
    if len(rest) <= len(shape):
        value = value.reshape((planes,) + (1,) * (len(shape) - len(rest)) + rest)
    return fit(func, name, value, (planes,) + shape)


def rows(value: Any, core: int) -> Any:
    """``value`` as (items, *its last ``core`` axes): reshape(-1, ...) cannot size an
    empty array whose core axes are empty too."""
    shape = np.shape(value)
    items = int(np.prod(shape[: len(shape) - core], dtype=np.int64))
    return value.reshape((items,) + shape[len(shape) - core :])


def move_axis(func: str, name: str, value: Any, axis: int) -> Any:
    """``value`` with ``axis`` first (a view), or an error naming the argument."""
    ndim = np.ndim(value)
    if ndim == 0:
        raise fail(func, f"{name} must have at least one axis (members), not shape ()")
    if not -ndim <= axis < ndim:
        raise fail(func, f"axis {axis} is out of range for {name} of shape {np.shape(value)}")
    return np.moveaxis(value, axis, 0)


# --- xarray -------------------------------------------------------------------------


class Core(NamedTuple):
    """An argument of an xarray call: its value and the dimensions the kernel consumes."""

    value: Any
    dims: tuple[str, ...] = ()


def apply_xarray(
    func: str,
    kernel: Callable[..., Sequence[Any]],
    args: dict[str, Core],
    names: Sequence[str],
    out_dims: Sequence[tuple[str, ...]],
    *,
    leading: Sequence[bool] | None = None,
    sizes: dict[str, int] | None = None,
    coords: dict[str, Any] | None = None,
) -> Any:
    """Run ``kernel`` over DataArrays with ``xarray.apply_ufunc`` and name the results.

    ``kernel`` takes the arguments as NumPy arrays (core dimensions last) and
    returns one array per name. ``out_dims`` are each result's dimensions of its
    own; ``leading[i]`` says that the kernel puts them first (as the NumPy API
    does), so they are moved last for xarray and the result is transposed back.
    Dask-backed arguments are computed chunk by chunk, never along a core dimension.
    """
    import xarray as xr

    leading = leading or [False] * len(names)
    values = []
    for name, (value, dims) in args.items():
        if is_dataarray(value):
            missing = [d for d in dims if d not in value.dims]
            if missing:
                raise fail(func, f"{name} has dimensions {value.dims}, without {missing}")
        elif np.ndim(value) == len(dims):
            value = xr.DataArray(value, dims=dims) if dims else value
        else:
            raise fail(
                func,
                f"{name} must be an xarray.DataArray or have dimensions {dims} "
                f"when the other arguments are DataArrays (it has shape {np.shape(value)})",
            )
        values.append(value)

    def run(*arrays: Any) -> tuple[Any, ...]:
        out = kernel(*arrays)
        return tuple(
            np.moveaxis(r, tuple(range(len(d))), tuple(range(-len(d), 0))) if lead and d else r
            for r, d, lead in zip(out, out_dims, leading)
        )

    results = xr.apply_ufunc(
        run,
        *values,
        input_core_dims=[list(core.dims) for core in args.values()],
        output_core_dims=[list(d) for d in out_dims],
        dask="parallelized",
        output_dtypes=[np.float64] * len(names),
        dask_gufunc_kwargs={"allow_rechunk": True, "output_sizes": sizes or {}},
        keep_attrs="drop",
    )
    if not isinstance(results, tuple):
        results = (results,)
    fields = {}
    for name, result, dims, lead in zip(names, results, out_dims, leading):
        if lead and dims:
            result = result.transpose(*dims, ...)
        fields[name] = result
    ds = xr.Dataset(fields)
    if coords:
        ds = ds.assign_coords(coords)
    return ds


def dataset_like(template: Any, fields: dict[str, Any], lead: tuple[str, ...]) -> Any:
    """A Dataset of NumPy ``fields`` shaped (*lead, *template.shape), on the template's
    dimensions and coordinates (kept for callers of before ``_road.wrap_like``)."""
    import xarray as xr

    from ._road import wrap_like

    return xr.Dataset(dict(zip(fields, wrap_like(template, list(fields.values()), lead))))


def broadcast_dataarrays(*values: Any) -> list[Any]:
    """The DataArrays among ``values`` aligned by dimension name (others as they are)."""
    import xarray as xr

    arrays = [v for v in values if is_dataarray(v)]
    aligned = iter(xr.broadcast(*arrays))
    return [next(aligned) if is_dataarray(v) else v for v in values]


# --- progress -----------------------------------------------------------------------


def chunks(func: str, total: int, step: int, progress: bool) -> Iterator[tuple[int, int]]:
    """(start, stop) of the chunks of ``total`` items, with a tqdm bar if asked for."""
    bounds = [(i, min(i + step, total)) for i in range(0, total, max(step, 1))]
    if not progress:
        yield from bounds
        return
    try:
        import importlib

        tqdm = importlib.import_module("tqdm.auto").tqdm
    except ImportError:
        raise ImportError(f"{func}: progress=True needs tqdm (pip install tqdm)") from None
    with tqdm(total=total, desc=func) as bar:
        for start, stop in bounds:
            yield start, stop
            bar.update(stop - start)


# --- integer codes and times ------------------------------------------------------


def integers(func: str, name: str, value: Any, missing: int) -> npt.NDArray[np.int64]:
    """Integer codes (e.g. quality flags) as int64, ``missing`` where masked; floats are refused."""
    out = np.asarray(array(func, name, value, None, missing))
    if out.dtype.kind not in "iub":
        raise TypeError(f"{func}: {name} must be integers, not {out.dtype}")
    return out.astype(np.int64)


def epoch_seconds(func: str, name: str, value: Any) -> npt.NDArray[np.int64]:
    """Whole seconds since 1970-01-01 UTC, rounded to the nearest second.

    Takes ``datetime.datetime`` (naive ones are UTC, aware ones are converted to UTC),
    ``numpy.datetime64`` of any unit, and arrays or lists of either.
    """
    import datetime as dt

    def naive(t: Any) -> Any:
        if isinstance(t, np.datetime64):
            return t
        if not isinstance(t, dt.datetime):
            raise TypeError(
                f"{func}: {name} must be datetime or numpy.datetime64, not {type(t).__name__}"
            )
        if t.tzinfo is not None and t.utcoffset() is not None:
            t = t.astimezone(dt.UTC)
        return np.datetime64(t.replace(tzinfo=None), "us")

    if isinstance(value, (dt.datetime, list, tuple)) or (
        isinstance(value, np.ndarray) and value.dtype == object
    ):
        items = np.asarray(value, dtype=object)
        value = np.array([naive(t) for t in items.ravel()], dtype="datetime64[us]").reshape(
            items.shape
        )
    t = np.asarray(value)
    if t.dtype.kind != "M":
        raise TypeError(f"{func}: {name} must be datetime or numpy.datetime64, not {t.dtype}")
    if np.isnat(t).any():
        raise fail(func, f"{name} has NaT (not a time)")
    unit, count = np.datetime_data(t.dtype)
    if unit in ("Y", "M", "W", "D", "h", "m", "s"):
        return t.astype("datetime64[s]").astype(np.int64)
    # Round half up in integer ticks: a float detour would lose sub-seconds far from 1970.
    per_second = int(np.array(1, "m8[s]").astype(f"m8[{count}{unit}]").astype(np.int64))
    return (t.astype(np.int64) + per_second // 2) // per_second
