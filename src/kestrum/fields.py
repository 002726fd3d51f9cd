"""Fields on a model grid: thermodynamics, horizontal gradients, wind profiles, cold pools."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, NamedTuple, overload

import numpy as np

import _kestrum

from . import _convert as _cv
from ._convert import Array

if TYPE_CHECKING:
    import xarray as xr


class Thermo(NamedTuple):
    """Moisture and potential temperatures, each in the broadcast shape of the inputs."""

    mixing_ratio: Array
    """Water-vapour mixing ratio, kg/kg."""
    theta: Array
    """Potential temperature, K."""
    theta_v: Array
    """Virtual potential temperature, K."""
    theta_e: Array
    """Equivalent potential temperature (Bolton 1980), K."""


class Gradient(NamedTuple):
    """Horizontal derivatives, each of the field's shape."""

    dx: Array
    """Derivative along the last axis (x), field units per m."""
    dy: Array
    """Derivative along the second-last axis (y), field units per m."""


class Profile(NamedTuple):
    """Layer winds of each column, each of the columns' shape (the input without its level axis)."""

    u_bottom: Array
    v_bottom: Array
    u_top: Array
    v_top: Array
    helicity: Array
    """Storm-relative helicity of the layer, m²/s²."""
    u_mean: Array
    v_mean: Array


class ColdPool(NamedTuple):
    """Cold-pool intensity of each column, each of the columns' shape."""

    intensity: Array
    """C = sqrt(2 ∫ -b dz), m/s."""
    depth: Array
    """Depth of the integrated layer, m."""
    open_top: Array
    """1 where the cold pool reached the top of the valid levels without ending, else 0."""


def _thermo_numpy(t: Any, p: Any, td: Any, n_threads: int) -> Thermo:
    shape, (t, p, td) = _cv.broadcast("thermo", t=t, p=p, td=td)
    out = _kestrum.thermo(t, p, td, n_threads)
    return Thermo(*out.reshape((4,) + shape))


@overload
def thermo(t: xr.DataArray, p: Any, td: Any, *, n_threads: int = ...) -> xr.Dataset: ...
@overload
def thermo(t: Any, p: Any, td: Any, *, n_threads: int = ...) -> Thermo: ...
def thermo(t: Any, p: Any, td: Any, *, n_threads: int = 0) -> Any:
    """Mixing ratio and potential temperatures from temperature, pressure and dew point.

    Parameters
    ----------
    t : array_like
        Temperature, K.
    p : array_like
        Pressure, Pa.
    td : array_like
        Dew point, K (a dew point above ``t`` is taken as ``t``).
    n_threads : int, optional
        Threads to use; 0 means all the hardware has.

    The three arguments broadcast against each other (scalars included).

    Returns
    -------
    Thermo or xarray.Dataset
        Fields ``mixing_ratio`` (kg/kg), ``theta``, ``theta_v`` and ``theta_e`` (K), in
        the broadcast shape; a Dataset with these variables for DataArray input.

    Raises
    ------
    ValueError
        If the shapes do not broadcast, or a quantity's units are not a temperature
        (``t``, ``td``) or a pressure (``p``).

    Notes
    -----
    With κ = 0.28542059262205427, ε = 0.6219569156569429 and p0 = 100000 Pa, the
    vapour pressure is 611.2 exp(17.67 c / (c + 243.5)) (c the dew point in °C),
    r = ε e / (p - e), θ = t (p0 / p)^κ, θv = θ (1 + r/ε) / (1 + r), and θe is
    Bolton's (1980) eq. 39. Missing values (NaN or masked) propagate: a missing
    ``td`` leaves ``theta`` valid and makes the three others NaN.

    Examples
    --------
    >>> import kestrum
    >>> out = kestrum.thermo([300.0, 290.0], 85000.0, 285.0)
    >>> out.mixing_ratio.round(5), out.theta.round(2)
    (array([0.01032, 0.01032]), array([314.24, 303.77]))
    """
    t = _cv.strip_units("thermo", "t", t, "K")
    p = _cv.strip_units("thermo", "p", p, "Pa")
    td = _cv.strip_units("thermo", "td", td, "K")

    def kernel(t: Any, p: Any, td: Any) -> Thermo:
        return _thermo_numpy(t, p, td, n_threads)

    if _cv.any_dataarray(t, p, td):
        args = {"t": _cv.Core(t), "p": _cv.Core(p), "td": _cv.Core(td)}
        return _cv.apply_xarray("thermo", kernel, args, Thermo._fields, [()] * 4)
    return kernel(_cv.array("thermo", "t", t), _cv.array("thermo", "p", p), _cv.array("thermo", "td", td))


def _gradient_numpy(field: Any, x: Any, y: Any, n_threads: int) -> Gradient:
    func = "gradient"
    if np.ndim(field) < 2:
        raise _cv.fail(func, f"field must be (..., y, x), not shape {np.shape(field)}")
    shape = np.shape(field)
    for name, value, size, axis in (("x", x, shape[-1], "last"), ("y", y, shape[-2], "second-last")):
        if np.ndim(value) != 1 or np.size(value) != size:
            raise _cv.fail(
                func, f"field has shape {shape} but {name} has shape {np.shape(value)}: "
                f"it needs {size} values, one per element of the {axis} axis"
            )
    stack = field.reshape((-1,) + shape[-2:])
    out = _kestrum.gradient(stack, _cv.nan_filled(x), _cv.nan_filled(y), n_threads)
    return Gradient(*out.reshape((2,) + shape))


@overload
def gradient(field: xr.DataArray, x: Any, y: Any, *, n_threads: int = ...) -> xr.Dataset: ...
@overload
def gradient(field: Any, x: Any, y: Any, *, n_threads: int = ...) -> Gradient: ...
def gradient(field: Any, x: Any, y: Any, *, n_threads: int = 0) -> Any:
    """Horizontal derivatives of fields on a rectilinear grid, with missing data.

    Parameters
    ----------
    field : array_like, shape (..., Y, X)
        One field or a stack of fields (leading axes), in any unit.
    x : array_like, shape (X,)
        Coordinate of each column, m (any spacing; used as given).
    y : array_like, shape (Y,)
        Coordinate of each row, m.
    n_threads : int, optional
        Threads to use; 0 means all the hardware has.

    Returns
    -------
    Gradient or xarray.Dataset
        Fields ``dx`` (∂/∂x, along the last axis) and ``dy`` (∂/∂y, along the
        second-last), each of the field's shape; a Dataset on the field's
        dimensions for DataArray input.

    Raises
    ------
    ValueError
        If ``field`` has fewer than two axes, or ``x``/``y`` do not have one value
        per column/row.

    Notes
    -----
    Centred differences, (f[k+1] - f[k-1]) / (c[k+1] - c[k-1]), where both
    neighbours are valid, one-sided where only one is (so at the edges and beside
    missing data), NaN where neither is or the point itself is missing (NaN or
    masked).

    Examples
    --------
    >>> import numpy as np, kestrum
    >>> f = np.array([[0.0, 1.0, 4.0], [1.0, 2.0, np.nan]])
    >>> kestrum.gradient(f, x=[0.0, 1.0, 2.0], y=[0.0, 10.0]).dx
    array([[ 1.,  2.,  3.],
           [ 1.,  1., nan]])
    """
    x = _cv.strip_units("gradient", "x", x, "m")
    y = _cv.strip_units("gradient", "y", y, "m")

    def kernel(f: Any, x: Any, y: Any) -> Gradient:
        return _gradient_numpy(f, x, y, n_threads)

    if _cv.any_dataarray(field, x, y):
        if not _cv.is_dataarray(field) or field.ndim < 2:
            raise _cv.fail("gradient", "field must be a (..., y, x) DataArray when x or y is one")
        ydim, xdim = field.dims[-2:]
        args = {"field": _cv.Core(field, (ydim, xdim)), "x": _cv.Core(x, (xdim,)), "y": _cv.Core(y, (ydim,))}
        return _cv.apply_xarray("gradient", kernel, args, Gradient._fields, [(ydim, xdim)] * 2)
    return kernel(_cv.array("gradient", "field", field), _cv.array("gradient", "x", x),
                  _cv.array("gradient", "y", y))


def _not_plainly_increasing(z: Any) -> Any:
    """Columns of ``z`` (..., levels) with a decrease or a missing height, as a boolean array.

    Runs over blocks of columns compared in flat order, which keeps the comparison
    contiguous and in cache; the pairs that straddle two columns are ignored.
    """
    levels = z.shape[-1]
    flat = z.reshape(-1, levels)
    suspect = np.zeros(flat.shape[0], dtype=bool)
    if levels < 2:
        return suspect.reshape(z.shape[:-1])
    step = max(1, (1 << 16) // levels)
    for i in range(0, flat.shape[0], step):
        block = np.ascontiguousarray(flat[i : i + step]).reshape(-1)
        ok = np.greater_equal(block[1:], block[:-1])
        ok[levels - 1 :: levels] = True
        if not ok.all():
            suspect[i : i + step] = ~np.append(ok, True).reshape(-1, levels).all(axis=1)
    return suspect.reshape(z.shape[:-1])


def _check_increasing(func: str, z: Any, u: Any, v: Any, shape: tuple[int, ...]) -> None:
    """Refuse a column whose valid heights go down, which the kernel would take in index order.

    ``z`` is checked as given (before broadcasting, so a shared height axis costs
    one row); only columns where it is not plainly non-decreasing (a decrease, or a
    missing height that could hide one) get the exact test over their valid levels.
    """
    zf = _cv.nan_where_masked(z)
    suspect = _not_plainly_increasing(zf.reshape((1,) * (len(shape) - zf.ndim) + zf.shape))
    if not suspect.any():
        return
    where = np.nonzero(np.broadcast_to(suspect, shape[:-1]))
    zs, us, vs = (_cv.nan_filled(_cv.broadcast_to(w, shape)[where]) for w in (z, u, v))
    valid = np.isfinite(zs) & np.isfinite(us) & np.isfinite(vs)
    below = np.maximum.accumulate(np.where(valid, zs, -np.inf), axis=-1)
    bad = valid[..., 1:] & (zs[..., 1:] < below[..., :-1])
    if bad.any():
        row, level = (int(i) for i in np.argwhere(bad)[0])
        column = tuple(int(c[row]) for c in where)
        raise _cv.fail(
            func,
            f"the valid heights of column {column} decrease at level {level + 1} "
            f"(z = {float(zs[row, level + 1])} below a level at {float(below[row, level])}); "
            "levels must go upward: reverse the level axis (e.g. z[..., ::-1] and the same for "
            "u and v) or sort the levels by height",
        )


def _profile_numpy(z: Any, u: Any, v: Any, ground: Any, bottom: float, top: float,
                   cu: Any, cv_: Any, n_threads: int) -> Profile:
    func = "profile"
    z_given = z
    shape, (z, u, v) = _cv.broadcast(func, z=z, u=u, v=v)
    if len(shape) < 1:
        raise _cv.fail(func, "z, u and v must have a level axis (the last)")
    columns = shape[:-1]
    ground, cu, cv_ = _cv.broadcast_leading(func, columns, "a column of z, u, v", ground=ground, cu=cu, cv=cv_)
    _check_increasing(func, z_given, u, v, shape)
    levels = shape[-1]
    out = _kestrum.profile(
        z.reshape(-1, levels), u.reshape(-1, levels), v.reshape(-1, levels),
        ground.reshape(-1), bottom, top, cu.reshape(-1), cv_.reshape(-1), n_threads,
    )
    return Profile(*out.reshape((7,) + columns))


@overload
def profile(
    z: Any, u: xr.DataArray, v: Any, ground: Any, bottom: Any, top: Any, cu: Any, cv: Any, *,
    n_threads: int = ...,
) -> xr.Dataset: ...
@overload
def profile(
    z: Any, u: Any, v: Any, ground: Any, bottom: Any, top: Any, cu: Any, cv: Any, *, n_threads: int = ...,
) -> Profile: ...
def profile(
    z: Any, u: Any, v: Any, ground: Any, bottom: Any, top: Any, cu: Any, cv: Any, *,
    n_threads: int = 0,
) -> Any:
    """Winds at the limits of a layer, storm-relative helicity and mean wind of columns.

    Parameters
    ----------
    z : array_like, shape (..., levels)
        Height of each level, m, increasing along the last axis.
    u, v : array_like, shape (..., levels)
        Eastward and northward wind, m/s. ``z``, ``u`` and ``v`` broadcast together
        (e.g. one ``z`` of shape (levels,) for every column).
    ground : array_like, shape (...)
        Ground height of each column, m (NaN: the first valid level's height).
    bottom, top : float
        The layer, m above ground (e.g. 0 and 3000 for 0-3 km helicity).
    cu, cv : array_like, shape (...)
        Storm motion of each column, m/s.
    n_threads : int, optional
        Threads to use; 0 means all the hardware has.

    Returns
    -------
    Profile or xarray.Dataset
        Fields ``u_bottom``, ``v_bottom``, ``u_top``, ``v_top`` (m/s), ``helicity``
        (m²/s²), ``u_mean``, ``v_mean`` (height-weighted mean wind of the layer), each
        of the columns' shape.

    Raises
    ------
    ValueError
        If the shapes do not broadcast, a quantity has the wrong units, or the valid
        heights of a column decrease (reverse the level axis to fix it).

    Notes
    -----
    A level is used only when its ``z``, ``u`` and ``v`` are all valid (finite and
    not masked). The limit winds are interpolated linearly in height and the layer
    integrated by trapezoids; a column that does not reach both limits is NaN in
    every field, and ``helicity`` is NaN where the storm motion is missing.

    Examples
    --------
    >>> import numpy as np, kestrum
    >>> z = np.array([0.0, 1000.0, 2000.0, 3000.0])
    >>> out = kestrum.profile(z, [0.0, 5.0, 10.0, 15.0], [0.0, 5.0, 5.0, 0.0], 0.0, 0.0, 3000.0, 5.0, 0.0)
    >>> float(out.helicity), float(out.u_mean)
    (100.0, 7.5)
    """
    func = "profile"
    args = {
        "z": _cv.strip_units(func, "z", z, "m"), "u": _cv.strip_units(func, "u", u, "m/s"),
        "v": _cv.strip_units(func, "v", v, "m/s"), "ground": _cv.strip_units(func, "ground", ground, "m"),
        "cu": _cv.strip_units(func, "cu", cu, "m/s"), "cv": _cv.strip_units(func, "cv", cv, "m/s"),
    }
    bottom_m = _cv.scalar(func, "bottom", bottom, "m")
    top_m = _cv.scalar(func, "top", top, "m")

    def kernel(z: Any, u: Any, v: Any, ground: Any, cu: Any, cv: Any) -> Profile:
        return _profile_numpy(z, u, v, ground, bottom_m, top_m, cu, cv, n_threads)

    if _cv.any_dataarray(*args.values()):
        level = next(a.dims[-1] for k, a in args.items() if k in "zuv" and _cv.is_dataarray(a))
        cores = {k: _cv.Core(a, (level,) if k in ("z", "u", "v") and np.ndim(a) else ()) for k, a in args.items()}
        return _cv.apply_xarray(func, kernel, cores, Profile._fields, [()] * 7)
    return kernel(*(_cv.array(func, k, a) for k, a in args.items()))


def _cold_pool_numpy(z: Any, b: Any, bottom: Any, threshold: float, top: Any, n_threads: int) -> ColdPool:
    func = "cold_pool"
    shape, (z, b) = _cv.broadcast(func, z=z, b=b)
    if len(shape) < 1:
        raise _cv.fail(func, "z and b must have a level axis (the last)")
    columns = shape[:-1]
    bottom, top = _cv.broadcast_leading(func, columns, "a column of z, b", bottom=bottom, top=top)
    levels = shape[-1]
    out = _kestrum.cold_pool(z.reshape(-1, levels), b.reshape(-1, levels), bottom.reshape(-1),
                             threshold, top.reshape(-1), n_threads)
    return ColdPool(*out.reshape((3,) + columns))


@overload
def cold_pool(
    z: Any, b: xr.DataArray, bottom: Any, threshold: Any, top: Any, *, n_threads: int = ...
) -> xr.Dataset: ...
@overload
def cold_pool(z: Any, b: Any, bottom: Any, threshold: Any, top: Any, *, n_threads: int = ...) -> ColdPool: ...
def cold_pool(z: Any, b: Any, bottom: Any, threshold: Any, top: Any, *, n_threads: int = 0) -> Any:
    """Cold-pool intensity C = sqrt(2 ∫ -b dz) of buoyancy columns.

    Parameters
    ----------
    z : array_like, shape (..., levels)
        Height of each level, m.
    b : array_like, shape (..., levels)
        Buoyancy, m/s² (negative in the cold pool); broadcasts with ``z``.
    bottom : array_like, shape (...)
        Height where the integration starts (at the first valid level at or above
        it; NaN: the first valid level), m.
    threshold : float
        Buoyancy at or above which the cold pool ends, m/s² (threshold mode).
    top : array_like, shape (...)
        Depth to integrate above the start level, m (fixed-depth mode); NaN runs the
        column in threshold mode.
    n_threads : int, optional
        Threads to use; 0 means all the hardware has.

    Returns
    -------
    ColdPool or xarray.Dataset
        Fields ``intensity`` (m/s), ``depth`` (m) and ``open_top`` (1 where threshold
        mode ran out of valid levels, else 0), each of the columns' shape.

    Raises
    ------
    ValueError
        If the shapes do not broadcast or a quantity has the wrong units.

    Notes
    -----
    A level counts only when its ``z`` and ``b`` are valid (finite, not masked);
    gaps are bridged by one trapezoid. A column with no start level, or that
    does not reach a fixed-depth top, is NaN in every field.

    Examples
    --------
    >>> import kestrum
    >>> out = kestrum.cold_pool([0.0, 500.0, 1000.0], [-0.1, -0.05, 0.01], 0.0, 0.0, float("nan"))
    >>> round(float(out.intensity), 4), round(float(out.depth), 2)
    (9.7895, 916.67)
    """
    func = "cold_pool"
    args = {
        "z": _cv.strip_units(func, "z", z, "m"), "b": _cv.strip_units(func, "b", b, "m/s**2"),
        "bottom": _cv.strip_units(func, "bottom", bottom, "m"), "top": _cv.strip_units(func, "top", top, "m"),
    }
    threshold_ = _cv.scalar(func, "threshold", threshold, "m/s**2")

    def kernel(z: Any, b: Any, bottom: Any, top: Any) -> ColdPool:
        return _cold_pool_numpy(z, b, bottom, threshold_, top, n_threads)

    if _cv.any_dataarray(*args.values()):
        level = next(a.dims[-1] for k, a in args.items() if k in ("z", "b") and _cv.is_dataarray(a))
        cores = {k: _cv.Core(a, (level,) if k in ("z", "b") and np.ndim(a) else ()) for k, a in args.items()}
        return _cv.apply_xarray(func, kernel, cores, ColdPool._fields, [()] * 3)
    return kernel(*(_cv.array(func, k, a) for k, a in args.items()))
