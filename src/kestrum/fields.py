"""Fields on a model grid: thermodynamics, horizontal gradients, wind profiles, cold pools."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Generic, NamedTuple, TypeVar, overload

import numpy as np

import _kestrum

from . import _convert as _cv
from . import _road
from ._convert import Array
from ._road import THREADS, Arg

if TYPE_CHECKING:
    import xarray as xr

F = TypeVar("F")


class Thermo(NamedTuple, Generic[F]):
    """Moisture and potential temperatures, each in the broadcast shape of the inputs."""

    mixing_ratio: F
    """Water-vapour mixing ratio, kg/kg."""
    theta: F
    """Potential temperature, K."""
    theta_v: F
    """Virtual potential temperature, K."""
    theta_e: F
    """Equivalent potential temperature (Bolton 1980), K."""

    def to_dataset(self) -> xr.Dataset:
        """The fields as variables of one Dataset (needs xarray)."""
        return _road.to_dataset(self)  # type: ignore[no-any-return]


class Gradient(NamedTuple, Generic[F]):
    """Horizontal derivatives, each of the field's shape."""

    dx: F
    """Derivative along the last axis (x), field units per m."""
    dy: F
    """Derivative along the second-last axis (y), field units per m."""

    def to_dataset(self) -> xr.Dataset:
        """The fields as variables of one Dataset (needs xarray)."""
        return _road.to_dataset(self)  # type: ignore[no-any-return]


class Profile(NamedTuple, Generic[F]):
    """Layer winds of each column, each of the columns' shape (the input without its level axis)."""

    u_bottom: F
    v_bottom: F
    u_top: F
    v_top: F
    helicity: F
    """Storm-relative helicity of the layer, m²/s²."""
    u_mean: F
    v_mean: F

    def to_dataset(self) -> xr.Dataset:
        """The fields as variables of one Dataset (needs xarray)."""
        return _road.to_dataset(self)  # type: ignore[no-any-return]


class ColdPool(NamedTuple, Generic[F]):
    """Cold-pool intensity of each column, each of the columns' shape."""

    intensity: F
    """C = sqrt(2 ∫ -b dz), m/s."""
    depth: F
    """Depth of the integrated layer, m."""
    open_top: F
    """1 where the cold pool reached the top of the valid levels without ending, else 0."""

    def to_dataset(self) -> xr.Dataset:
        """The fields as variables of one Dataset (needs xarray)."""
        return _road.to_dataset(self)  # type: ignore[no-any-return]


_THERMO = {"t": Arg(unit="K"), "p": Arg(unit="Pa"), "td": Arg(unit="K"), "n_threads": THREADS}


def _thermo(t: Any, p: Any, td: Any, n_threads: int) -> Thermo[Array]:
    shape, (t, p, td) = _cv.broadcast("thermo", t=t, p=p, td=td)
    out = _kestrum.thermo(t, p, td, n_threads)
    return Thermo(*out.reshape((4,) + shape))


@overload
def thermo(t: xr.DataArray, p: Any, td: Any, *, n_threads: int = ...) -> Thermo[xr.DataArray]: ...
@overload
def thermo(t: Any, p: Any, td: Any, *, n_threads: int = ...) -> Thermo[Array]: ...
def thermo(t: Any, p: Any, td: Any, *, n_threads: int = 0) -> Any:
    """Mixing ratio and potential temperatures from temperature, pressure and dew point.

    Parameters
    ----------
    t : array_like
        Temperature, K.
    p : array_like
        Pressure, Pa.
    td : array_like
        Dew point, K (a dew point above ``t`` is taken as ``t``). The three arguments
        broadcast against each other (scalars included).
    n_threads : int, optional
        Threads to use; 0 (or negative) means all the hardware has, and more than
        it has is capped to it.

    Returns
    -------
    Thermo
        Fields ``mixing_ratio`` (kg/kg), ``theta``, ``theta_v`` and ``theta_e`` (K), in
        the broadcast shape: NumPy arrays, or DataArrays for DataArray input
        (``.to_dataset()`` gathers them into a Dataset).

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
    return _road.run("thermo", _THERMO, locals(), _thermo, Thermo)


_GRADIENT = {
    "field": Arg(core=("y", "x")),
    "x": Arg(unit="m", core=("x",)),
    "y": Arg(unit="m", core=("y",)),
    "n_threads": THREADS,
}


def _gradient(field: Any, x: Any, y: Any, n_threads: int) -> Gradient[Array]:
    func = "gradient"
    if np.ndim(field) < 2:
        raise _cv.fail(func, f"field must be (..., y, x), not shape {np.shape(field)}")
    shape = np.shape(field)
    for name, value, size, axis in (
        ("x", x, shape[-1], "last"),
        ("y", y, shape[-2], "second-last"),
    ):
        if np.ndim(value) != 1 or np.size(value) != size:
            raise _cv.fail(
                func,
                f"field has shape {shape} but {name} has shape {np.shape(value)}: "
                f"it needs {size} values, one per element of the {axis} axis",
            )
    out = _kestrum.gradient(_cv.rows(field, 2), _cv.nan_filled(x), _cv.nan_filled(y), n_threads)
    return Gradient(*out.reshape((2,) + shape))


@overload
def gradient(
    field: xr.DataArray, x: Any, y: Any, *, n_threads: int = ...
) -> Gradient[xr.DataArray]: ...
@overload
def gradient(field: Any, x: Any, y: Any, *, n_threads: int = ...) -> Gradient[Array]: ...
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
        Threads to use; 0 (or negative) means all the hardware has, and more than
        it has is capped to it.

    Returns
    -------
    Gradient
        Fields ``dx`` (∂/∂x, along the last axis) and ``dy`` (∂/∂y, along the
        second-last), each of the field's shape: DataArrays on the field's dimensions
        for DataArray input, where the field's x and y dimensions are those of ``x``
        and ``y`` when they are DataArrays (matched by name, in either order).

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
    return _road.run("gradient", _GRADIENT, locals(), _gradient, Gradient, [("y", "x")] * 2)


_PROFILE = {
    "z": Arg(unit="m", core=("level",)),
    "u": Arg(unit="m/s", core=("level",)),
    "v": Arg(unit="m/s", core=("level",)),
    "ground": Arg(unit="m"),
    "bottom": Arg("float", unit="m"),
    "top": Arg("float", unit="m"),
    "cu": Arg(unit="m/s"),
    "cv": Arg(unit="m/s"),
    "n_threads": THREADS,
}


def _decrease(func: str, z: Any, u: Any, v: Any, column: tuple[int, ...]) -> _cv.ArgumentError:
    """The error for a column whose valid heights go down (found by the native call)."""
    zc, uc, vc = (_cv.nan_filled(a[column]) for a in (z, u, v))
    valid = np.isfinite(zc) & np.isfinite(uc) & np.isfinite(vc)
    below = np.maximum.accumulate(np.where(valid, zc, -np.inf))
    level = int(np.argmax(valid[1:] & (zc[1:] < below[:-1]))) + 1
    return _cv.fail(
        func,
        f"the valid heights of column {column} decrease at level {level} "
        f"(z = {float(zc[level])} below a level at {float(below[level - 1])}); "
        "levels must go upward: reverse the level axis (e.g. z[..., ::-1] and the same for "
        "u and v) or sort the levels by height",
    )


def _profile(
    z: Any, u: Any, v: Any, ground: Any, bottom: float, top: float, cu: Any, cv: Any, n_threads: int
) -> Profile[Array]:
    func = "profile"
    shape, (z, u, v) = _cv.broadcast(func, z=z, u=u, v=v)
    if len(shape) < 1:
        raise _cv.fail(func, "z, u and v must have a level axis (the last)")
    columns = shape[:-1]
    what = "a column of z, u, v"
    ground, cu, cv = (
        _cv.fit(func, n, a, columns, what) for n, a in (("ground", ground), ("cu", cu), ("cv", cv))
    )
    # The native call refuses a column whose heights go down within the levels it reads
    # (where they would be integrated in index order), at no cost to the others.
    out, bad = _kestrum.profile_checked(
        _cv.rows(z, 1),
        _cv.rows(u, 1),
        _cv.rows(v, 1),
        ground.reshape(-1),
        bottom,
        top,
        cu.reshape(-1),
        cv.reshape(-1),
        n_threads,
    )
    if bad >= 0:
        raise _decrease(func, z, u, v, tuple(int(i) for i in np.unravel_index(bad, columns)))
    return Profile(*out.reshape((7,) + columns))


@overload
def profile(
    z: Any,
    u: xr.DataArray,
    v: Any,
    ground: Any,
    bottom: Any,
    top: Any,
    cu: Any,
    cv: Any,
    *,
    n_threads: int = ...,
) -> Profile[xr.DataArray]: ...
@overload
def profile(
    z: Any,
    u: Any,
    v: Any,
    ground: Any,
    bottom: Any,
    top: Any,
    cu: Any,
    cv: Any,
    *,
    n_threads: int = ...,
) -> Profile[Array]: ...
def profile(
    z: Any,
    u: Any,
    v: Any,
    ground: Any,
    bottom: Any,
    top: Any,
    cu: Any,
    cv: Any,
    *,
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
        Threads to use; 0 (or negative) means all the hardware has, and more than
        it has is capped to it.

    Returns
    -------
    Profile
        Fields ``u_bottom``, ``v_bottom``, ``u_top``, ``v_top`` (m/s), ``helicity``
        (m²/s²), ``u_mean``, ``v_mean`` (height-weighted mean wind of the layer), each
        of the columns' shape: DataArrays for DataArray input (the level dimension is
        the one of a DataArray ``z``, ``u`` or ``v``), NumPy arrays otherwise.

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
    return _road.run("profile", _PROFILE, locals(), _profile, Profile)


_COLD_POOL = {
    "z": Arg(unit="m", core=("level",)),
    "b": Arg(unit="m/s**2", core=("level",)),
    "bottom": Arg(unit="m"),
    "threshold": Arg("float", unit="m/s**2"),
    "top": Arg(unit="m"),
    "n_threads": THREADS,
}


def _cold_pool(
    z: Any, b: Any, bottom: Any, threshold: float, top: Any, n_threads: int
) -> ColdPool[Array]:
    func = "cold_pool"
    shape, (z, b) = _cv.broadcast(func, z=z, b=b)
    if len(shape) < 1:
        raise _cv.fail(func, "z and b must have a level axis (the last)")
    columns = shape[:-1]
    what = "a column of z, b"
    bottom, top = (
        _cv.fit(func, n, a, columns, what) for n, a in (("bottom", bottom), ("top", top))
    )
    out = _kestrum.cold_pool(
        _cv.rows(z, 1), _cv.rows(b, 1), bottom.reshape(-1), threshold, top.reshape(-1), n_threads
    )
    return ColdPool(*out.reshape((3,) + columns))


@overload
def cold_pool(
    z: Any, b: xr.DataArray, bottom: Any, threshold: Any, top: Any, *, n_threads: int = ...
) -> ColdPool[xr.DataArray]: ...
@overload
def cold_pool(
    z: Any, b: Any, bottom: Any, threshold: Any, top: Any, *, n_threads: int = ...
) -> ColdPool[Array]: ...
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
        Threads to use; 0 (or negative) means all the hardware has, and more than
        it has is capped to it.

    Returns
    -------
    ColdPool
        Fields ``intensity`` (m/s), ``depth`` (m) and ``open_top`` (1 where threshold
        mode ran out of valid levels, else 0), each of the columns' shape: DataArrays
        for DataArray input, NumPy arrays otherwise.

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
    return _road.run("cold_pool", _COLD_POOL, locals(), _cold_pool, ColdPool)
