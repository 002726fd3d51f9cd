"""Ensembles of radar observations: measurement-error perturbation, statistics and mode."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Generic, NamedTuple, TypeVar, overload

import numpy as np

import _ensemble

from . import _convert as _cv
from . import _road
from ._convert import Array
from ._road import COUNT, FLAG, THREADS, Arg

if TYPE_CHECKING:
    import xarray as xr

F = TypeVar("F")

#: Bits of ``flags`` in ``perturb``, in the order of its fields.
FIELDS = ("dbz", "zdr", "phidp", "rhohv", "vel")

#: Members per call of ``perturb(progress=True)`` are chosen to make about this many values.
_CHUNK_VALUES = 1 << 22


class Perturbed(NamedTuple, Generic[F]):
    """Perturbed fields, each (members, *field shape); ``None`` for a field not asked for."""

    dbz: F | None
    zdr: F | None
    phidp: F | None
    rhohv: F | None
    vel: F | None

    def to_dataset(self) -> xr.Dataset:
        """The fields as variables of one Dataset (needs xarray)."""
        return _road.to_dataset(self)  # type: ignore[no-any-return]


class Statistics(NamedTuple, Generic[F]):
    """Ensemble statistics of each column (the values without their member axis)."""

    mean: F
    std: F
    """Sample standard deviation (divisor members - 1)."""
    percentiles: F
    """Shape (P, *columns): one plane per requested percentile."""

    def to_dataset(self) -> xr.Dataset:
        """The fields as variables of one Dataset (needs xarray)."""
        return _road.to_dataset(self)  # type: ignore[no-any-return]


class Mode(NamedTuple, Generic[F]):
    """Most frequent category of each column."""

    mode: F
    """The most frequent code (ties: the lowest), as float (NaN where too few members count)."""
    fraction: F
    """Its count over the number of members that count."""

    def to_dataset(self) -> xr.Dataset:
        """The fields as variables of one Dataset (needs xarray)."""
        return _road.to_dataset(self)  # type: ignore[no-any-return]


@overload
def perturb(
    dbz: xr.DataArray,
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
    n_threads: int = ...,
    progress: bool = ...,
) -> Perturbed[xr.DataArray]: ...
@overload
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
    n_threads: int = ...,
    progress: bool = ...,
) -> Perturbed[Array]: ...
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
        Threads to use; 0 (or negative) means all the hardware has, and more than
        it has is capped to it.
    progress : bool, optional
        Show a progress bar (needs tqdm) while the members are made in chunks; the
        result is the same, bit for bit.

    Returns
    -------
    Perturbed
        Fields ``dbz``, ``zdr``, ``phidp``, ``rhohv``, ``vel``: each
        (members, *gates) for a selected field, ``None`` otherwise. For DataArray
        fields, DataArrays on dimensions ("member", *the fields' dimensions),
        computed at once (also for Dask-backed fields: the random streams are
        numbered by gate position, so the gates are never split);
        ``.to_dataset()`` gathers the selected ones into a Dataset.

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
    args = _road.arguments(func, _PERTURB, locals())
    given = [args.pop(name) for name in FIELDS]
    rest: dict[str, Any] = {**args, "shape": None}
    if not any(_cv.is_dataarray(v) for v in given):
        return _perturb(func, *given, **rest)
    # The random streams are numbered by gate position, so the gates cannot be split
    # into Dask chunks: DataArrays are aligned by name and computed in one piece.
    given = _cv.broadcast_dataarrays(*given)
    template = next(v for v in given if _cv.is_dataarray(v))
    out = _perturb(func, *given, **{**rest, "shape": template.shape})
    return Perturbed(*_road.wrap_like(template, out, ("member",)))


_PERTURB = {
    "dbz": Arg(unit="dB", optional=True),
    "zdr": Arg(unit="dB", optional=True),
    "phidp": Arg(unit="degree", optional=True),
    "rhohv": Arg(optional=True),
    "vel": Arg(unit="m/s", optional=True),
    "flags": Arg("int", low=0, high=(1 << len(FIELDS)) - 1),
    "fac": Arg(),
    "bias_dbz": Arg(unit="dB"),
    "bias_zdr": Arg(unit="dB"),
    "k0": Arg("int", low=_cv.UINT64[0], high=_cv.UINT64[1]),
    "k1": Arg("int", low=_cv.UINT64[0], high=_cv.UINT64[1]),
    "m0": Arg("int", low=0, high=_cv.INT64[1]),
    "n_threads": THREADS,
    "progress": FLAG,
}


def _perturb(
    func: str,
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
    n_threads: int,
    progress: bool,
    shape: tuple[int, ...] | None,
) -> Perturbed[Array]:
    given = dict(zip(FIELDS, (dbz, zdr, phidp, rhohv, vel)))
    active = {}
    for bit, name in enumerate(FIELDS):
        if flags >> bit & 1:
            if given[name] is None:
                raise _cv.fail(func, f"flags selects {name} (bit {1 << bit}) but {name} is None")
            active[name] = _cv.array(func, name, given[name])
    gates, fields = _cv.broadcast(func, **active) if active else ((0,), [])
    if shape is not None and gates != shape:
        raise _cv.fail(
            func, f"the fields broadcast to shape {gates}, not to the DataArrays' {shape}"
        )
    fac = _cv.broadcast_planes(func, "fac", _cv.array(func, "fac", fac), 6, gates)
    biases = {
        "bias_dbz": _cv.array(func, "bias_dbz", bias_dbz),
        "bias_zdr": _cv.array(func, "bias_zdr", bias_zdr),
    }
    _, (bias_dbz, bias_zdr) = _cv.broadcast(func, **biases)
    if bias_dbz.ndim != 1:
        raise _cv.fail(
            func, f"bias_dbz and bias_zdr must be (members,), not shape {bias_dbz.shape}"
        )
    n = int(np.prod(gates))
    members = bias_dbz.shape[0]
    flat = [f.reshape(-1) for f in fields]
    a_dbz, a_zdr, a_phidp, a_rhohv, a_vel = (flat.pop(0) if n in active else [] for n in FIELDS)
    fac = fac.reshape(6, n)

    def call(j0: int, j1: int) -> Any:
        return _ensemble.perturb(
            a_dbz,
            a_zdr,
            a_phidp,
            a_rhohv,
            a_vel,
            flags,
            fac,
            bias_dbz[j0:j1],
            bias_zdr[j0:j1],
            k0,
            k1,
            m0 + j0,
            n_threads,
        )

    if progress:
        step = max(1, _CHUNK_VALUES // max(1, n * len(active)))
        out = np.empty((members, len(active), n))
        for j0, j1 in _cv.chunks(func, members, step, True):
            out[j0:j1] = call(j0, j1)
    else:
        out = call(0, members)
    slots = iter(range(len(active)))
    return Perturbed(
        *(out[:, next(slots)].reshape((members,) + gates) if n in active else None for n in FIELDS)
    )


def _members(func: str, values: Any, axis: int) -> tuple[Any, tuple[int, ...]]:
    """``values`` as (members, columns), and the columns' shape."""
    values = _cv.move_axis(func, "values", values, axis)
    rest = values.shape[1:]
    return values.reshape(values.shape[0], int(np.prod(rest, dtype=np.int64))), rest


def _member_dim(values: Any, axis: int, dim: str | None) -> dict[str, str]:
    """The member dimension of a DataArray (by name, or the one at ``axis``)."""
    if not _cv.is_dataarray(values):
        return {}
    if dim is None:
        _cv.move_axis("statistics", "values", values.data, axis)  # the axis is checked
        dim = str(values.dims[axis])
    return {"member": dim}


_STATISTICS = {
    "values": Arg(core=("member",)),
    "percentiles": Arg("pass"),
    "axis": Arg("int"),
    "min_valid": Arg("int", low=_cv.INT64[0], high=_cv.INT64[1]),
    "n_threads": THREADS,
}


def _statistics(
    values: Any, percentiles: Array, axis: int, min_valid: int, n_threads: int
) -> Statistics[Array]:
    members, rest = _members("statistics", values, axis)
    mean, std, pct = _ensemble.statistics(members, percentiles, min_valid, n_threads)
    return Statistics(mean.reshape(rest), std.reshape(rest), pct.reshape(percentiles.shape + rest))


@overload
def statistics(
    values: xr.DataArray,
    percentiles: Any,
    *,
    axis: int = ...,
    dim: str | None = ...,
    min_valid: int = ...,
    n_threads: int = ...,
) -> Statistics[xr.DataArray]: ...
@overload
def statistics(
    values: Any,
    percentiles: Any,
    *,
    axis: int = ...,
    dim: str | None = ...,
    min_valid: int = ...,
    n_threads: int = ...,
) -> Statistics[Array]: ...
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
        Threads to use; 0 (or negative) means all the hardware has, and more than
        it has is capped to it.

    Returns
    -------
    Statistics
        Fields ``mean`` and ``std`` (sample standard deviation), of the values'
        shape without the member axis, and ``percentiles`` with a leading axis (a
        ``percentile`` dimension for DataArray input) of the P percentiles. NumPy
        arrays, or DataArrays for DataArray input (``.to_dataset()`` gathers them).

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
    pct = _cv.nan_filled(_cv.array(func, "percentiles", percentiles, "percent")).reshape(-1)
    if not ((pct >= 0) & (pct <= 100)).all():
        raise _cv.fail(func, f"percentiles must be in [0, 100], not {pct.tolist()}")
    dims = _member_dim(values, axis, dim)
    given = {**locals(), "percentiles": pct, "axis": -1 if dims else axis}
    return _road.run(
        func,
        _STATISTICS,
        given,
        _statistics,
        Statistics,
        [(), (), ("percentile",)],
        dims=dims,
        leading=[False, False, True],
        sizes={"percentile": pct.size},
        coords={"percentile": pct},
    )


@overload
def mode(
    values: xr.DataArray,
    n_codes: int,
    *,
    axis: int = ...,
    dim: str | None = ...,
    min_valid: int = ...,
    n_threads: int = ...,
) -> Mode[xr.DataArray]: ...
@overload
def mode(
    values: Any,
    n_codes: int,
    *,
    axis: int = ...,
    dim: str | None = ...,
    min_valid: int = ...,
    n_threads: int = ...,
) -> Mode[Array]: ...
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
        Threads to use; 0 (or negative) means all the hardware has, and more than
        it has is capped to it.

    Returns
    -------
    Mode
        Fields ``mode`` (the most frequent code; ties go to the lowest) and
        ``fraction`` (its share of the members that count), each of the values'
        shape without the member axis: NumPy arrays, or DataArrays for DataArray
        input (``.to_dataset()`` gathers them).

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
    dims = _member_dim(values, axis, dim)
    given = {**locals(), "axis": -1 if dims else axis}
    return _road.run("mode", _MODE, given, _mode, Mode, dims=dims)


_MODE = {
    "values": Arg(core=("member",), missing=-1),
    "n_codes": COUNT,
    "axis": Arg("int"),
    "min_valid": Arg("int", low=_cv.INT64[0], high=_cv.INT64[1]),
    "n_threads": THREADS,
}


def _mode(values: Any, n_codes: int, axis: int, min_valid: int, n_threads: int) -> Mode[Array]:
    members, rest = _members("mode", values, axis)
    out = _ensemble.mode(members, n_codes, min_valid, n_threads)
    return Mode(*(o.reshape(rest) for o in out))
