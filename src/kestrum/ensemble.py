"""Ensembles of radar observations: measurement-error perturbation, statistics and mode."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, NamedTuple, overload

import numpy as np

import _ensemble

from . import _convert as _cv
from ._convert import Array

if TYPE_CHECKING:
    import xarray as xr

#: Bits of ``flags`` in ``perturb``, in the order of its fields.
FIELDS = ("dbz", "zdr", "phidp", "rhohv", "vel")

#: Members per call of ``perturb(progress=True)`` are chosen to make about this many values.
_CHUNK_VALUES = 1 << 22


class Perturbed(NamedTuple):
    """Perturbed fields, each (members, *field shape); ``None`` for a field not asked for."""

    dbz: Array | None
    zdr: Array | None
    phidp: Array | None
    rhohv: Array | None
    vel: Array | None


class Statistics(NamedTuple):
    """Ensemble statistics of each column (the values without their member axis)."""

    mean: Array
    std: Array
    """Sample standard deviation (divisor members - 1)."""
    percentiles: Array
    """Shape (P, *columns): one plane per requested percentile."""


class Mode(NamedTuple):
    """Most frequent category of each column."""

    mode: Array
    """The most frequent code (ties: the lowest), as float (NaN where too few members count)."""
    fraction: Array
    """Its count over the number of members that count."""


@overload
def perturb(
    dbz: xr.DataArray, zdr: Any, phidp: Any, rhohv: Any, vel: Any, flags: int, fac: Any, bias_dbz: Any,
    bias_zdr: Any, k0: int, k1: int, m0: int, *, n_threads: int = ..., progress: bool = ...,
) -> xr.Dataset: ...
@overload
def perturb(
    dbz: Any, zdr: Any, phidp: Any, rhohv: Any, vel: Any, flags: int, fac: Any, bias_dbz: Any,
    bias_zdr: Any, k0: int, k1: int, m0: int, *, n_threads: int = ..., progress: bool = ...,
) -> Perturbed: ...
def perturb(
    dbz: Any,
    zdr: Any,
    phidp: Any,
    rhohv: Any,
    vel: Any,
    flags: int,
    fac: Any,
    bias_dbz: Any,
    bias_zdr: Any,
    k0: int,
    k1: int,
    m0: int,
    *,
    n_threads: int = 0,
    progress: bool = False,
) -> Any:
    """An ensemble of copies of radar fields with random measurement errors.

    Parameters
    ----------
    dbz, zdr, phidp, rhohv, vel : array_like or None
        Reflectivity (dBZ), differential reflectivity (dB), differential phase
        (degrees), correlation coefficient and radial velocity (m/s). Only the fields
        selected by ``flags`` are read (pass ``None`` for the others); they
        broadcast together to the gates' shape.
    flags : int
        Bit mask of the fields to perturb: 1 ``dbz``, 2 ``zdr``, 4 ``phidp``,
        8 ``rhohv``, 16 ``vel``.
    fac : array_like, shape (6, *gates)
        Error scales of each gate (the trailing axes broadcast over the gates, so
        shape (6,) gives every gate the same scales):
        0 standard deviation of the horizontal-channel log error, 1 and 2 the weights
        of that deviate and of an independent one in the vertical channel, 3, 4, 5
        standard deviations of the ``phidp``, ``rhohv`` and ``vel`` errors.
    bias_dbz, bias_zdr : array_like, shape (members,)
        Per-member biases, dB; they broadcast together and give the member count.
    k0, k1 : int
        Key of the random streams (unsigned 64-bit).
    m0 : int
        Stream number of the first member.
    n_threads : int, optional
        Threads to use; 0 means all the hardware has.
    progress : bool, optional
        Show a progress bar (needs tqdm) while the members are made in chunks; the
        result is the same, bit for bit.

    Returns
    -------
    Perturbed or xarray.Dataset
        Fields ``dbz``, ``zdr``, ``phidp``, ``rhohv``, ``vel``: each
        (members, *gates) for a selected field, ``None`` otherwise. For DataArray
        fields, a Dataset of the selected fields on dimensions ("member", *the
        fields' dimensions), computed at once (also for Dask-backed fields: the
        random streams are numbered by gate position, so the gates are never split).

    Raises
    ------
    ValueError
        If a selected field is missing or the shapes do not broadcast.

    Notes
    -----
    Member j of the call draws from stream ``m0 + j`` of the counter-based
    Philox4x64-10 generator: the same members come out of one call or of several
    (``m0`` advanced by the members already made), on any number of threads.
    Missing values (NaN or masked) stay NaN; ``rhohv`` is clamped to [0, 1].

    Examples
    --------
    >>> import numpy as np, kestrum
    >>> fac = np.array([0.1, 1.0, 0.5, 2.0, 0.01, 1.0])
    >>> out = kestrum.perturb([20.0, 30.0], None, None, None, [5.0, -5.0], 1 | 16, fac,
    ...                       [0.0, 1.0, -1.0], 0.0, 7, 0, 0)
    >>> out.dbz.shape, out.zdr
    ((3, 2), None)
    """
    func = "perturb"
    flags = _cv.integer(func, "flags", flags)
    k0, k1, m0 = (_cv.integer(func, n, k) for n, k in (("k0", k0), ("k1", k1), ("m0", m0)))
    units = {"dbz": None, "zdr": None, "phidp": "degree", "rhohv": None, "vel": "m/s"}
    given = dict(zip(FIELDS, (dbz, zdr, phidp, rhohv, vel)))
    template = None
    if _cv.any_dataarray(*given.values()):
        # The random streams are numbered by gate position, so the gates cannot be split
        # into Dask chunks: DataArrays are aligned by name and computed in one piece.
        given = dict(zip(FIELDS, _cv.broadcast_dataarrays(*given.values())))
        template = next(v for v in given.values() if _cv.is_dataarray(v))
    active = {}
    for bit, name in enumerate(FIELDS):
        if flags >> bit & 1:
            if given[name] is None:
                raise _cv.fail(func, f"flags selects {name} (bit {1 << bit}) but {name} is None")
            active[name] = _cv.array(func, name, given[name], units[name])
    shape, fields = _cv.broadcast(func, **active) if active else ((0,), [])
    fac = _cv.broadcast_planes(func, "fac", _cv.array(func, "fac", fac), 6, shape)
    _, (bias_dbz, bias_zdr) = _cv.broadcast(
        func, bias_dbz=_cv.array(func, "bias_dbz", bias_dbz), bias_zdr=_cv.array(func, "bias_zdr", bias_zdr)
    )
    if bias_dbz.ndim != 1:
        raise _cv.fail(func, f"bias_dbz and bias_zdr must be (members,), not shape {bias_dbz.shape}")
    n = int(np.prod(shape))
    members = bias_dbz.shape[0]
    flat = [f.reshape(-1) for f in fields]
    a_dbz, a_zdr, a_phidp, a_rhohv, a_vel = (flat.pop(0) if name in active else [] for name in FIELDS)
    fac = fac.reshape(6, n)
    if progress:
        step = max(1, _CHUNK_VALUES // max(1, n * len(active)))
        out = np.empty((members, len(active), n))
        for j0, j1 in _cv.chunks(func, members, step, True):
            out[j0:j1] = _ensemble.perturb(a_dbz, a_zdr, a_phidp, a_rhohv, a_vel, flags, fac, bias_dbz[j0:j1], bias_zdr[j0:j1],
                                           k0, k1, m0 + j0, n_threads)
    else:
        out = _ensemble.perturb(a_dbz, a_zdr, a_phidp, a_rhohv, a_vel, flags, fac, bias_dbz, bias_zdr, k0, k1, m0, n_threads)
    slots = iter(range(len(active)))
    result = Perturbed(*(
        out[:, next(slots)].reshape((members,) + shape) if name in active else None for name in FIELDS
    ))
    if template is None:
        return result
    if shape != template.shape:
        raise _cv.fail(func, f"the fields broadcast to shape {shape}, not to the DataArrays' {template.shape}")
    return _cv.dataset_like(template, {k: getattr(result, k) for k in active}, ("member",))


def _statistics_numpy(values: Any, percentiles: Array, min_valid: int, n_threads: int) -> Statistics:
    rest = values.shape[1:]
    mean, std, pct = _ensemble.statistics(values.reshape(values.shape[0], -1), percentiles, min_valid, n_threads)
    return Statistics(mean.reshape(rest), std.reshape(rest), pct.reshape(percentiles.shape + rest))


@overload
def statistics(
    values: xr.DataArray, percentiles: Any, *, axis: int = ..., dim: str | None = ..., min_valid: int = ...,
    n_threads: int = ...,
) -> xr.Dataset: ...
@overload
def statistics(
    values: Any, percentiles: Any, *, axis: int = ..., dim: str | None = ..., min_valid: int = ...,
    n_threads: int = ...,
) -> Statistics: ...
def statistics(
    values: Any,
    percentiles: Any,
    *,
    axis: int = 0,
    dim: str | None = None,
    min_valid: int = 1,
    n_threads: int = 0,
) -> Any:
    """Ensemble mean, spread and percentiles of each column.

    Parameters
    ----------
    values : array_like
        The members along ``axis`` (or the DataArray dimension ``dim``), any unit;
        computed in float32 (float64 values are rounded to float32 first).
    percentiles : array_like, shape (P,)
        Percentiles to compute, in percent, each in [0, 100].
    axis : int, optional
        Axis of the members (NumPy input).
    dim : str, optional
        Dimension of the members (DataArray input, e.g. ``"member"``); default the
        dimension at ``axis``.
    min_valid : int, optional
        Least number of valid members for a column to have statistics.
    n_threads : int, optional
        Threads to use; 0 means all the hardware has.

    Returns
    -------
    Statistics or xarray.Dataset
        Fields ``mean`` and ``std`` (sample standard deviation), of the values'
        shape without the member axis, and ``percentiles`` with a leading axis (a
        ``percentile`` dimension for DataArray input) of the P percentiles.

    Raises
    ------
    ValueError
        If a percentile is outside [0, 100] or NaN, or ``axis`` is out of range.

    Notes
    -----
    Missing members (NaN, infinite or masked) are left out of their column. A
    column with fewer than ``min_valid`` valid members (or none) is NaN in every
    field; with one valid member the standard deviation is NaN. Percentiles are
    ``numpy.nanpercentile(..., method="linear")`` of the float32 values.

    Examples
    --------
    >>> import numpy as np, kestrum
    >>> values = np.ma.masked_array([[1.0, 2.0], [3.0, -9999.0], [5.0, 4.0]],
    ...                             mask=[[0, 0], [0, 1], [0, 0]])
    >>> out = kestrum.statistics(values, [50])
    >>> out.mean, out.std, out.percentiles
    (array([3., 3.]), array([2.        , 1.41421356]), array([[3., 3.]]))
    """
    func = "statistics"
    min_valid = _cv.integer(func, "min_valid", min_valid)
    pct = _cv.nan_filled(_cv.array(func, "percentiles", percentiles, "percent")).reshape(-1)
    if not ((pct >= 0) & (pct <= 100)).all():
        raise _cv.fail(func, f"percentiles must be in [0, 100], not {pct.tolist()}")
    values = _cv.strip_units(func, "values", values, None)

    def kernel(values: Any) -> Statistics:
        return _statistics_numpy(np.moveaxis(values, -1, 0), pct, min_valid, n_threads)

    if _cv.is_dataarray(values):
        dim = dim if dim is not None else values.dims[axis]
        return _cv.apply_xarray(
            func, kernel, {"values": _cv.Core(values, (dim,))}, Statistics._fields,
            [(), (), ("percentile",)], leading=[False, False, True],
            sizes={"percentile": pct.size}, coords={"percentile": pct},
        )
    values = _cv.move_axis(func, "values", _cv.array(func, "values", values), axis)
    return _statistics_numpy(values, pct, min_valid, n_threads)


@overload
def mode(
    values: xr.DataArray, n_codes: int, *, axis: int = ..., dim: str | None = ..., min_valid: int = ...,
    n_threads: int = ...,
) -> xr.Dataset: ...
@overload
def mode(
    values: Any, n_codes: int, *, axis: int = ..., dim: str | None = ..., min_valid: int = ...,
    n_threads: int = ...,
) -> Mode: ...
def mode(
    values: Any,
    n_codes: int,
    *,
    axis: int = 0,
    dim: str | None = None,
    min_valid: int = 1,
    n_threads: int = 0,
) -> Any:
    """Most frequent category of each column of an ensemble, and its agreement.

    Parameters
    ----------
    values : array_like
        Category codes 0 … ``n_codes`` - 1 of the members along ``axis`` (or the
        DataArray dimension ``dim``), integer or float (truncated toward zero).
    n_codes : int
        Number of categories.
    axis : int, optional
        Axis of the members (NumPy input).
    dim : str, optional
        Dimension of the members (DataArray input); default the dimension at ``axis``.
    min_valid : int, optional
        Least number of members that count for a column to have a mode.
    n_threads : int, optional
        Threads to use; 0 means all the hardware has.

    Returns
    -------
    Mode or xarray.Dataset
        Fields ``mode`` (the most frequent code; ties go to the lowest) and
        ``fraction`` (its share of the members that count), each of the values'
        shape without the member axis.

    Raises
    ------
    ValueError
        If ``n_codes`` is not positive or ``axis`` is out of range.

    Notes
    -----
    Members that are NaN, masked, or outside 0 … ``n_codes`` - 1 do not count
    (a masked integer array has its masked members set to the code -1, which
    never counts). Columns with fewer than ``min_valid`` counted members are NaN.

    Examples
    --------
    >>> import numpy as np, kestrum
    >>> codes = np.ma.masked_array([[2, 1], [2, 1], [0, 3]], mask=[[0, 0], [0, 1], [0, 1]])
    >>> out = kestrum.mode(codes, 4)
    >>> out.mode, out.fraction.round(3)
    (array([2., 1.]), array([0.667, 1.   ]))
    """
    func = "mode"
    n_codes = _cv.integer(func, "n_codes", n_codes)
    min_valid = _cv.integer(func, "min_valid", min_valid)
    if n_codes <= 0:
        raise _cv.fail(func, f"n_codes must be positive, not {n_codes}")
    values = _cv.strip_units(func, "values", values, None)

    def kernel(values: Any) -> Mode:
        v = np.moveaxis(values, -1, 0)
        out = _ensemble.mode(v.reshape(v.shape[0], -1), n_codes, min_valid, n_threads)
        return Mode(*(o.reshape(v.shape[1:]) for o in out))

    if _cv.is_dataarray(values):
        dim = dim if dim is not None else values.dims[axis]
        return _cv.apply_xarray(func, kernel, {"values": _cv.Core(values, (dim,))}, Mode._fields, [(), ()])
    values = _cv.move_axis(func, "values", _cv.array(func, "values", values, missing=-1), axis)
    out = _ensemble.mode(values.reshape(values.shape[0], -1), n_codes, min_valid, n_threads)
    return Mode(*(o.reshape(values.shape[1:]) for o in out))
