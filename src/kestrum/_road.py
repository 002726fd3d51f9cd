"""The one road from a public call to a native kernel and back.

A public function declares its arguments and hands them, with a kernel over NumPy
arrays, to :func:`run`::

    ARGS = {"t": Arg("K"), "p": Arg("Pa"), "td": Arg("K"), "n_threads": THREADS}

    def thermo(t, p, td, *, n_threads=0):
        return run("thermo", ARGS, locals(), _thermo, Thermo)

and :func:`run` does the rest, the same way for every function:

1. each argument is converted by its :class:`Arg`: units stripped (pint quantities,
   ``units`` attributes, decibels known by name), integers, flags and thread counts
   checked under the public argument's name;
2. if any array argument is an xarray ``DataArray``, the kernel runs through
   ``xarray.apply_ufunc``: the declared core dimensions are found by name (a
   one-dimensional coordinate such as ``azimuth`` names its dimension; the others
   are the trailing dimensions of the largest argument), arguments are transposed as
   needed and Dask-backed data run chunk by chunk;
3. otherwise the array arguments become NumPy arrays (masked floating arrays stay
   masked, masked integers get the declared missing code) and the kernel runs once;
4. the kernel's fields come back as the function's result type, a NamedTuple whose
   fields are NumPy arrays or, for DataArray input, DataArrays (``result.to_dataset()``
   builds a Dataset).

The kernel receives the converted arguments by name, core dimensions last, and
returns one array per field of the result type.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _convert as cv


@dataclass(frozen=True)
class Arg:
    """How one public argument reaches the kernel.

    kind : "array" (any array-like), "float" (one real number), "int", "bool",
        "threads" (``n_threads``) or "pass" (handed on as given).
    unit : the unit the kernel reads ("m/s", "degree", "dB"); None takes the magnitude.
    core : the dimensions the kernel consumes, by role ("ray", "gate", "level"), last.
    loose : the core dimensions are used only where the argument has them (a value
        per sweep or per ray, say).
    missing : the code a masked element of an integer array becomes.
    optional : None is allowed (and handed on as None).
    low, high : the range of an integer or a float, ends included.
    above : a float must be greater than this (``above=0``: positive).
    finite : a float must be finite (implied by any bound: NaN is within none).
    """

    kind: str = "array"
    unit: str | None = None
    core: tuple[str, ...] = ()
    loose: bool = False
    missing: int | None = None
    optional: bool = False
    low: float | None = None
    high: float | None = None
    above: float | None = None
    finite: bool = False


THREADS = Arg("threads")
FLAG = Arg("bool")
COUNT = Arg("int", low=1, high=cv.INT64[1])


def convert(func: str, name: str, arg: Arg, value: Any) -> Any:
    """The argument as the kernel takes it (arrays keep a DataArray wrapper)."""
    if value is None and arg.optional:
        return None
    if arg.kind == "threads":
        return cv.threads(func, value)
    if arg.kind == "int":
        return cv.integer(func, name, value, arg.low, arg.high)  # type: ignore[arg-type]
    if arg.kind == "bool":
        return cv.boolean(func, name, value)
    if arg.kind == "float":
        return cv.bounded(
            func,
            name,
            cv.scalar(func, name, value, arg.unit),
            arg.low,
            arg.high,
            arg.above,
            arg.finite,
        )
    if arg.kind == "pass":
        return value
    return cv.strip_units(func, name, value, arg.unit)


def arguments(func: str, declared: Mapping[str, Arg], given: Mapping[str, Any]) -> dict[str, Any]:
    """Every declared argument converted (step 1 of :func:`run`), by name."""
    return {name: convert(func, name, arg, given[name]) for name, arg in declared.items()}


def run(
    func: str,
    declared: Mapping[str, Arg],
    given: Mapping[str, Any],
    kernel: Callable[..., Sequence[Any]],
    result: Any,
    out_core: Sequence[tuple[str, ...]] | None = None,
    *,
    dims: Mapping[str, str] | None = None,
    leading: Sequence[bool] | None = None,
    sizes: Mapping[str, int] | None = None,
    coords: Mapping[str, Any] | None = None,
) -> Any:
    """Convert, dispatch and wrap: the whole public call of ``func``.

    ``out_core`` are each field's own dimensions by role (default none); ``dims``
    binds roles to dimension names beforehand (e.g. the member dimension given as
    ``dim=``); ``leading[i]`` says that the kernel puts field i's own axes first, as
    the NumPy API does; ``sizes`` and ``coords`` give output dimensions that no input
    has their length and coordinates.
    """
    args = arguments(func, declared, given)
    arrays = [n for n, a in declared.items() if a.kind == "array"]
    out_core = list(out_core or [()] * len(result._fields))
    if any(cv.is_dataarray(args[n]) for n in arrays):
        fields = _xarray(
            func,
            declared,
            args,
            arrays,
            kernel,
            result,
            out_core,
            dict(dims or {}),
            leading,
            sizes,
            coords,
        )
        return result(*fields)
    for name in arrays:
        if args[name] is not None:
            args[name] = cv.array(func, name, args[name], None, declared[name].missing)
    return result(*kernel(**args))


def bind(
    declared: Mapping[str, Arg],
    args: Mapping[str, Any],
    names: Sequence[str],
    bound: dict[str, str],
) -> dict[str, str]:
    """Dimension names of the core roles, found by name where an argument tells them."""
    # A coordinate (azimuth, x, z: one dimension, all core) names its role; a sweep or a
    # grid could be transposed, so their dimensions are read only after the coordinates.
    for n in names:
        value, core = args[n], declared[n].core
        if cv.is_dataarray(value) and len(core) == value.ndim == 1 and not declared[n].loose:
            bound.setdefault(core[0], value.dims[0])
    # The rest are the trailing dimensions of the largest argument, those not taken.
    for n in sorted(names, key=lambda n: -np.ndim(args[n])):
        value, core = args[n], declared[n].core
        if not cv.is_dataarray(value) or declared[n].loose:
            continue
        free = [d for d in value.dims if d not in bound.values()]
        roles = [r for r in core if r not in bound]
        for role, dim in zip(reversed(roles), reversed(free)):
            bound[role] = dim
    return bound


def _xarray(
    func: str,
    declared: Mapping[str, Arg],
    args: dict[str, Any],
    arrays: list[str],
    kernel: Callable[..., Sequence[Any]],
    result: Any,
    out_core: list[tuple[str, ...]],
    bound: dict[str, str],
    leading: Sequence[bool] | None,
    sizes: Mapping[str, int] | None,
    coords: Mapping[str, Any] | None,
) -> list[Any]:
    given = [n for n in arrays if args[n] is not None]
    bound = bind(declared, args, given, bound)
    cores = {}
    for n in given:
        value, arg = args[n], declared[n]
        core = tuple(bound.get(r, r) for r in arg.core)
        if not cv.is_dataarray(value) and np.ndim(value) == 0:
            core = ()  # a scalar broadcasts along the core dimensions too
        elif arg.loose:
            have = value.dims if cv.is_dataarray(value) else ()
            if not cv.is_dataarray(value) and np.ndim(value) == len(core):
                have = core
            if cv.is_dataarray(value) and not set(core) <= set(have):
                # Without its core dimension (one value per sweep, say): a length-1 axis
                # of its own tells the kernel so, whatever the other lengths are.
                one = f"_{n}_one"
                value, core = value.expand_dims({one: 1}, axis=-1), (one,)
            else:
                core = tuple(d for d in core if d in have)
        cores[n] = cv.Core(value, core)
    scalars = {n: v for n, v in args.items() if n not in cores}

    def numpy_kernel(*values: Any) -> Sequence[Any]:
        # apply_ufunc leaves out the loop dimensions an argument lacks: broadcast them
        # here, so that the kernel sees every argument over the same items.
        own = [len(core.dims) for core in cores.values()]
        loops = [np.shape(v)[: np.ndim(v) - k] for v, k in zip(values, own)]
        loop = np.broadcast_shapes(*loops)
        values = tuple(
            cv.broadcast_to(v, loop + np.shape(v)[np.ndim(v) - k :]) for v, k in zip(values, own)
        )
        return kernel(**dict(zip(cores, values)), **scalars)

    names = list(result._fields)
    out_dims = [tuple(bound.get(r, r) for r in core) for core in out_core]
    ds = cv.apply_xarray(
        func,
        numpy_kernel,
        cores,
        names,
        out_dims,
        leading=leading,
        sizes=dict(sizes or {}),
        coords=dict(coords or {}),
    )
    return [ds[name] for name in names]


def to_dataset(result: tuple[Any, ...]) -> Any:
    """The fields of a result as an ``xarray.Dataset`` (fields that are None left out;
    a field that is a coordinate of the others stays a coordinate)."""
    import xarray as xr

    fields = {n: f for n, f in zip(result._fields, result) if f is not None}  # type: ignore[attr-defined]
    taken = set()
    for f in fields.values():
        if cv.is_dataarray(f):
            taken |= set(f.coords)
    return xr.Dataset({n: f for n, f in fields.items() if n not in taken})


def wrap_like(template: Any, fields: Sequence[Any], lead: tuple[str, ...] = ()) -> list[Any]:
    """NumPy ``fields`` shaped (*lead, *template.shape) as DataArrays on the template's
    dimensions and coordinates (a result computed in one piece, not by apply_ufunc)."""
    import xarray as xr

    coords = {k: c for k, c in template.coords.items() if set(c.dims) <= set(template.dims)}
    return [
        None if f is None else xr.DataArray(f, dims=lead + tuple(template.dims), coords=coords)
        for f in fields
    ]
