"""Radial-velocity dealiasing of radar sweeps and volumes, with Py-ART and xradar adapters."""

from __future__ import annotations

import importlib
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _convert as cv
from . import _geometry as geo
from . import _road
from ._convert import Array
from ._road import FLAG, THREADS, Arg
from .radar import beam_height

__all__ = ["Dealiased", "dealias", "dealias_pyart", "dealias_xradar"]

# The radar module's kernels (its functions are typed at this module's boundary).
_radar: Any = importlib.import_module("kestrum._radar")


class Dealiased(NamedTuple):
    """Dealiased radial velocities and the folds each gate was moved; both in the input's shape."""

    velocity: Any
    """Dealiased radial velocity, m/s: NaN (masked for masked input) where unresolved."""
    folds: npt.NDArray[np.int16]
    """Folds moved: ``velocity = input + 2 * folds * nyquist``; 0 where unresolved."""


# --- the volume as the kernels read it ------------------------------------------------


class _Rays(NamedTuple):
    """A volume as rays on one axis: sweep s is rays start[s] .. start[s+1]-1."""

    velocity: Array  # (rays, gates), NaN where missing
    azimuth: Array  # (rays,) degrees
    elevation: Array  # (rays,) degrees
    nyquist: Array  # (rays,) m/s
    start: npt.NDArray[np.int64]  # (sweeps + 1,)
    range: Array  # (gates,) m


def _full_circle(az: Array) -> bool:
    """A sweep whose last ray neighbours its first: it covers the circle without a gap
    wider than twice its usual spacing."""
    az = az[np.isfinite(az)]
    if az.size < 8:
        return False
    step = np.abs((np.diff(az) + 180.0) % 360.0 - 180.0)
    closing = abs((az[0] - az[-1] + 180.0) % 360.0 - 180.0)
    return bool(closing <= 2.0 * np.median(step) + 1e-9 and step.sum() + closing > 350.0)


def _sweep_profiles(rays: _Rays, altitude: float) -> tuple[Array, Array]:
    """Mean elevation (degrees) and gate heights (m, on the reference of ``altitude``) per sweep."""
    s = len(rays.start) - 1
    el = np.full(s, np.nan)
    for k in range(s):
        e = rays.elevation[rays.start[k] : rays.start[k + 1]]
        if np.isfinite(e).any():
            el[k] = np.nanmean(e)
    height = beam_height(rays.range, el[:, None], altitude).height
    return el, np.asarray(height)


_TOP = 20000.0  # m, the highest layer of the self-made first guess


def _fit_profile(rays: _Rays, wrap: Any, height: Array, layer_depth: float, n_threads: int) -> Any:
    """u, v, w of the self-made first guess at every (sweep, gate), NaN where no layer fit."""
    # Radial winds above the tropopause are rare and the beam is wide there: layers stop
    # at _TOP, and gates above take the top layer's wind.
    finite = np.isfinite(height) & (height < _TOP)
    if not finite.any():
        return np.full((height.shape[0], 3, height.shape[1]), np.nan)
    base = np.floor(np.nanmin(height) / layer_depth) * layer_depth
    layer = np.where(finite, np.floor((np.where(finite, height, base) - base) / layer_depth), -1)
    layers = int(layer.max()) + 1
    # Every fourth gate along a ray is plenty for a layer's fit, and a quarter of the cost.
    fit = _radar.dealias_fit(
        rays.velocity,
        np.deg2rad(rays.azimuth),
        np.cos(np.deg2rad(rays.elevation)),
        rays.nyquist,
        rays.start,
        wrap,
        layer.astype(np.int64),
        layers,
        4,
        0.05,
        n_threads,
    )
    u, v, w, bins, agreement = fit
    good = np.isfinite(u) & (bins >= 8) & (agreement >= 0.6)
    centres = base + (np.arange(layers) + 0.5) * layer_depth
    return _profile_at(centres[good], u[good], v[good], w[good], height)


def _profile_at(z: Array, u: Array, v: Array, w: Any, height: Array) -> Any:
    """Winds at heights ``z`` interpolated (linearly, constant beyond the ends) to ``height``."""
    ok = np.isfinite(z) & np.isfinite(u) & np.isfinite(v)
    out = np.full((height.shape[0], 3, height.shape[1]), np.nan)
    if not ok.any():
        return out
    order = np.argsort(z[ok], kind="stable")
    zs = z[ok][order]
    w = np.zeros_like(u) if w is None else np.where(np.isfinite(w), w, 0.0)
    for k, comp in enumerate((u, v, w)):
        out[:, k, :] = np.interp(height, zs, comp[ok][order])
    out[~np.isfinite(height)[:, None, :].repeat(3, axis=1)] = np.nan
    return out


def _reference_uvw(func: str, reference: Any, height: Array) -> Any:
    """u, v (w = 0) at every (sweep, gate) from a profile: a VADProfile, an object with
    ``height``, ``u`` and ``v``, or a ``(height, u, v)`` tuple."""
    if isinstance(reference, tuple) and not hasattr(reference, "_fields"):
        if len(reference) != 3:
            raise cv.fail(func, "reference as a tuple must be (height, u, v)")
        z, u, v = reference
    else:
        z, u, v = reference.height, reference.u, reference.v
    z = cv.nan_filled(cv.array(func, "reference height", z, "m")).reshape(-1)
    u = cv.nan_filled(cv.array(func, "reference u", u, "m/s")).reshape(-1)
    v = cv.nan_filled(cv.array(func, "reference v", v, "m/s")).reshape(-1)
    if not z.shape == u.shape == v.shape:
        raise cv.fail(
            func,
            f"reference height, u and v must have one value per level, "
            f"not shapes {z.shape}, {u.shape}, {v.shape}",
        )
    return _profile_at(z, u, v, None, height)


def _run(
    func: str,
    rays: _Rays,
    reference: Any,
    altitude: float,
    layer_depth: float,
    max_step: float,
    min_region: int,
    n_threads: int,
) -> tuple[Array, npt.NDArray[np.int16]]:
    """The dealiased rays and their folds; ``reference`` is None, a profile, or (rays, gates)."""
    s = len(rays.start) - 1
    geo.check_elevation(func, "elevation", rays.elevation)
    wrap = np.array(
        [_full_circle(rays.azimuth[rays.start[k] : rays.start[k + 1]]) for k in range(s)],
        dtype=np.uint8,
    )
    _, height = _sweep_profiles(rays, altitude)
    ref = None
    if reference is None:
        uvw = _fit_profile(rays, wrap, height, layer_depth, n_threads)
    elif isinstance(reference, np.ndarray) and reference.ndim == 2:
        # A previous volume or a model's radial wind: gates it lacks fall back to the
        # self-made first guess.
        ref = reference
        uvw = (
            _fit_profile(rays, wrap, height, layer_depth, n_threads)
            if np.isnan(ref).any()
            else None
        )
    else:
        uvw = _reference_uvw(func, reference, height)
    # rays.velocity is always a private copy: the result is written over it.
    out: tuple[Array, npt.NDArray[np.int16]] = _radar.dealias_unfold(
        rays.velocity,
        np.deg2rad(rays.azimuth),
        np.cos(np.deg2rad(rays.elevation)),
        rays.nyquist,
        rays.start,
        wrap,
        uvw,
        ref,
        max_step,
        min_region,
        into=rays.velocity,
        n_threads=n_threads,
    )
    return out


# --- arguments ---------------------------------------------------------------------

#: How the unfolding is tuned, the same for every entry point.
_TUNING = {
    "layer_depth": Arg("float", unit="m", above=0.0),
    "max_step": Arg("float", above=0.0, high=1.0),
    "min_region": Arg("int", low=1, high=cv.INT64[1]),
    "n_threads": THREADS,
}
_DEALIAS = {
    "velocity": Arg(unit="m/s"),
    "azimuth": Arg(unit="degree"),
    "range": Arg(unit="m"),
    "elevation": Arg(unit="degree"),
    "nyquist": Arg(unit="m/s"),
    "reference": Arg("pass"),
    "altitude": Arg("float", unit="m", finite=True),
    **_TUNING,
}
_PYART = {
    "nyquist": Arg(unit="m/s", optional=True),
    "reference": Arg("pass"),
    "folds": FLAG,
    **_TUNING,
}
_XRADAR = {"nyquist": Arg(unit="m/s", optional=True), "reference": Arg("pass"), **_TUNING}


def _check_nyquist(func: str, nyquist: Array) -> None:
    bad = np.isfinite(nyquist) & ~(nyquist > 0)
    if bad.any():
        raise cv.fail(
            func, f"nyquist must be positive (a missing value may be NaN), found {nyquist[bad][0]}"
        )


def _numpy(
    func: str,
    velocity: Any,
    azimuth: Any,
    range_: Any,
    elevation: Any,
    nyquist: Any,
    reference: Any,
    altitude: float,
    layer_depth: float,
    max_step: float,
    min_region: int,
    n_threads: int,
) -> Dealiased:
    vel = cv.array(func, "velocity", velocity)
    if vel.ndim not in (2, 3):
        raise cv.fail(
            func, f"velocity must be (rays, gates) or (sweeps, rays, gates), not shape {vel.shape}"
        )
    stacked = vel.ndim == 3
    sweeps, rays, gates = vel.shape if stacked else (1,) + vel.shape
    az = cv.nan_filled(cv.array(func, "azimuth", azimuth))
    if az.shape != vel.shape[:-1]:
        raise cv.fail(
            func, f"azimuth must have shape {vel.shape[:-1]} (one value per ray), not {az.shape}"
        )
    rng = cv.nan_filled(cv.array(func, "range", range_))
    if rng.shape != (gates,):
        raise cv.fail(
            func, f"range must have shape ({gates},) (one value per gate), not {rng.shape}"
        )
    el = cv.per_ray(func, "elevation", elevation, vel.shape[:-1])
    nyq = cv.per_ray(func, "nyquist", nyquist, vel.shape[:-1])
    _check_nyquist(func, nyq)
    # New, so that the unfolded velocities can be written over it.
    data = cv.nan_data(vel).reshape(sweeps * rays, gates)
    ref = reference
    if reference is not None and not _is_profile(reference):
        ref = cv.nan_filled(cv.array(func, "reference", reference, "m/s"))
        if ref.shape != vel.shape:
            raise cv.fail(
                func,
                f"reference must be a profile or have the velocity's shape "
                f"{vel.shape}, not {ref.shape}",
            )
        ref = np.ascontiguousarray(ref.reshape(sweeps * rays, gates))
    # Sweeps with fewer rays are padded at their end: the padding is not part of the
    # sweep's circle.
    has = np.isfinite(az.reshape(sweeps, rays))
    count = np.where(has.any(axis=1), rays - np.argmax(has[:, ::-1], axis=1), 0)
    start = _ragged_start(count, rays)
    out, folds = _run(
        func,
        _Rays(data, az.reshape(-1), el, nyq, start, rng),
        ref,
        altitude,
        layer_depth,
        max_step,
        min_region,
        n_threads,
    )
    out = out.reshape(vel.shape)
    folds = folds.reshape(vel.shape)
    return Dealiased(cv.masked_like(vel, out), folds)


def _ragged_start(count: Any, rays: int) -> Any:
    """Sweep starts for stacked sweeps whose last rays are padding: the padding becomes a
    sweep of its own (of no valid ray), so the real sweeps end where their rays do."""
    edges = [0]
    for s, n in enumerate(count):
        edges += [s * rays + int(n), (s + 1) * rays]
    return np.array(edges, dtype=np.int64)


def _is_profile(reference: Any) -> bool:
    return (isinstance(reference, tuple) and not hasattr(reference, "shape")) or all(
        hasattr(reference, name) for name in ("height", "u", "v")
    )


def dealias(
    velocity: Any,
    azimuth: Any,
    range: Any,  # noqa: A002
    elevation: Any,
    nyquist: Any,
    *,
    reference: Any = None,
    altitude: float = 0.0,
    layer_depth: float = 500.0,
    max_step: float = 0.5,
    min_region: int = 3,
    n_threads: int = 0,
) -> Any:
    """Unfold aliased radial velocities of a sweep or a volume.

    A first guess (a VAD wind per height layer, or ``reference``) gives every gate a
    fold; a continuity pass then grows regions of gates whose neighbours differ by
    less than ``max_step`` Nyquist velocities, each gate taking the fold nearest its
    neighbour, and moves each region as a whole to the folds its gates' first guess
    votes for. So a feature the first guess cannot know (a vortex couplet, a shear
    line) stays on its own folds as long as it is continuous, while gates that agree
    with no neighbour are left unresolved rather than guessed.

    Parameters
    ----------
    velocity : array_like, shape (rays, gates) or (sweeps, rays, gates)
        Aliased radial velocity, m/s, positive away from the radar; NaN or masked
        where missing. Stacked sweeps with fewer rays are padded at their end with
        rays of NaN azimuth.
    azimuth : array_like, shape (rays,) or (sweeps, rays)
        Azimuth of each ray, degrees clockwise from north, in scan order.
    range : array_like, shape (gates,)
        Range of each gate along the beam, m.
    elevation : float or array_like
        Elevation, degrees: one number, one per sweep (sweeps,), or one per ray.
    nyquist : float or array_like
        Nyquist velocity, m/s (> 0; NaN leaves a ray unresolved): one number, one per
        sweep (sweeps,), or one per ray (dual-PRF scans alternate it from ray to ray).
    reference : optional
        The first guess. None: fitted to the aliased data themselves. A
        :class:`~kestrum.VADProfile` (or any object with ``height``, ``u``, ``v``), or a
        tuple ``(height, u, v)`` of winds at heights (a sounding; m above the reference
        of ``altitude``, m/s): interpolated linearly in height. Or radial velocities in
        the shape of ``velocity`` (a previous dealiased volume, a model's): gates where
        it is NaN fall back to the self-made guess.
    altitude : float, optional
        Height of the antenna, m, on the reference of the profile's heights.
    layer_depth : float, optional
        Depth of the height layers of the self-made first guess, m.
    max_step : float, optional
        Largest difference between neighbouring gates that continuity follows, as a
        fraction of the Nyquist velocity (0 < max_step <= 1).
    min_region : int, optional
        Regions of fewer gates (gates agreeing with none of their neighbours) are left
        unresolved.
    n_threads : int, optional
        Threads to use; 0 means all the hardware has. Results do not depend on it.

    Returns
    -------
    Dealiased
        ``velocity`` (float64, the input's shape: NaN where unresolved, masked there
        for masked input) and ``folds`` (int16, the folds of 2 * nyquist added to each
        gate, 0 where unresolved). For an xarray ``DataArray``, a Dataset with these
        variables on its dimensions.

    Raises
    ------
    ValueError
        If shapes do not match, a Nyquist velocity is not positive, or a quantity has
        the wrong units.

    Notes
    -----
    The first guess fits, per layer, ``v_r = cos(el) (u sin(az) + v cos(az)) + w`` on
    the fold circle: gates enter as phasors ``exp(i pi v_r / V_n)``, which folding
    leaves unchanged. Neighbours are the next gates along a ray and the same gate of
    the rays before and after; a sweep covering the full circle wraps around from
    its last ray to its first (across azimuth 0/360). Each sweep is unfolded on its
    own; the profile links them through height.

    Examples
    --------
    >>> import numpy as np, kestrum
    >>> az = np.arange(360.0) + 0.5
    >>> rng = np.arange(100) * 250.0 + 2000.0
    >>> true = 25.0 * np.sin(np.deg2rad(az))[:, None] * np.cos(np.deg2rad(0.5)) + 0 * rng
    >>> aliased = (true + 10.0) % 20.0 - 10.0             # Nyquist velocity 10 m/s
    >>> out = kestrum.dealias(aliased, az, rng, 0.5, 10.0)
    >>> bool(np.allclose(out.velocity, true)), int(out.folds.max())
    (True, 1)
    """
    return _dealias("dealias", **_road.arguments("dealias", _DEALIAS, locals()))


def _dealias(
    func: str,
    velocity: Any,
    azimuth: Any,
    range: Any,
    elevation: Any,
    nyquist: Any,
    reference: Any,
    altitude: float,
    layer_depth: float,
    max_step: float,
    min_region: int,
    n_threads: int,
) -> Any:
    """:func:`dealias` of converted arguments (DataArrays kept: they choose the road)."""
    if cv.is_dataarray(reference) and not _is_profile(reference):
        reference = cv.strip_units(func, "reference", reference, "m/s")

    def kernel(vel: Any, az: Any, rg: Any, el: Any, nyq: Any, ref: Any = None) -> tuple[Any, Any]:
        r = _numpy(
            func,
            vel,
            az,
            rg,
            el,
            nyq,
            ref if ref is not None else reference,
            altitude,
            layer_depth,
            max_step,
            min_region,
            n_threads,
        )
        return r.velocity, r.folds

    if cv.is_dataarray(velocity):
        return _xarray(func, kernel, velocity, azimuth, range, elevation, nyquist, reference)
    return Dealiased(*kernel(velocity, azimuth, range, elevation, nyquist))


def _xarray(
    func: str,
    kernel: Any,
    velocity: Any,
    azimuth: Any,
    range_: Any,
    elevation: Any,
    nyquist: Any,
    reference: Any,
) -> Any:
    """A DataArray sweep (ray, gate) or volume (sweep, ray, gate): the last two dimensions,
    or three where the other arguments have a sweep dimension, are the core; any further
    leading dimension (volumes in time) is looped over, chunk by chunk under Dask."""
    per_sweep = [a for a in (azimuth, elevation, nyquist) if cv.is_dataarray(a) and a.ndim >= 2]
    core = velocity.dims[-3:] if velocity.ndim >= 3 and per_sweep else velocity.dims[-2:]
    args = {
        "velocity": cv.Core(velocity, core),
        "azimuth": cv.Core(azimuth, _dims_of(azimuth, core)),
        "range": cv.Core(range_, core[-1:]),
        "elevation": cv.Core(elevation, _dims_of(elevation, core)),
        "nyquist": cv.Core(nyquist, _dims_of(nyquist, core)),
    }
    if cv.is_dataarray(reference) and not _is_profile(reference):
        args["reference"] = cv.Core(reference, core)
    elif isinstance(reference, np.ndarray):
        raise cv.fail(func, "a reference volume must be a DataArray when velocity is one")
    cores = [len(c.dims) for c in args.values()]

    def run(*arrays: Any) -> tuple[Any, Any]:
        lead = np.shape(arrays[0])[: np.ndim(arrays[0]) - len(core)]
        vel_out = np.empty(np.shape(arrays[0]))
        fold_out = np.empty(np.shape(arrays[0]), dtype=np.int16)
        for index in np.ndindex(lead):
            one = [
                np.broadcast_to(a, lead + np.shape(a)[np.ndim(a) - n :])[index]
                if np.ndim(a) > n
                else a
                for a, n in zip(arrays, cores)
            ]
            v, f = kernel(*one)
            vel_out[index], fold_out[index] = cv.filled(v, np.nan), f
        return vel_out, fold_out

    ds = cv.apply_xarray(func, run, args, Dealiased._fields, [core, core])
    ds["folds"] = ds["folds"].astype(np.int16)
    return ds


def _dims_of(value: Any, core: tuple[str, ...]) -> tuple[str, ...]:
    """The core dimensions (other than the gate's) that a per-ray argument has."""
    if cv.is_dataarray(value):
        return tuple(d for d in core[:-1] if d in value.dims)
    return core[-1 - np.ndim(value) : -1] if np.ndim(value) else ()


# --- adapters --------------------------------------------------------------------------


def dealias_pyart(
    radar: Any,
    field: str = "velocity",
    *,
    nyquist: Any = None,
    gatefilter: Any = None,
    reference: Any = None,
    layer_depth: float = 500.0,
    max_step: float = 0.5,
    min_region: int = 3,
    n_threads: int = 0,
    folds: bool = False,
) -> Any:
    """Dealias a velocity field of a Py-ART ``Radar``: a field dictionary to add to it.

    Parameters
    ----------
    radar : pyart.core.Radar
        The volume (all its sweeps are unfolded, each sweep with its own ray count).
    field : str, optional
        Name of the aliased radial-velocity field, m/s.
    nyquist : float or array_like, optional
        Nyquist velocity, m/s: one number, one per sweep or one per ray. Default: the
        radar's ``instrument_parameters["nyquist_velocity"]`` (per ray, so dual-PRF
        volumes keep each ray's own).
    gatefilter : pyart.filters.GateFilter, optional
        Gates it excludes are left out (and masked in the result), as the field's mask.
    reference : optional
        As for :func:`dealias`; radial velocities must be (rays, gates) like the field
        (e.g. ``radar.fields["previous"]["data"]``). Profile heights are on the reference
        of ``radar.altitude``.
    layer_depth, max_step, min_region, n_threads
        As for :func:`dealias`.
    folds : bool, optional
        Also return a second field dictionary with the folds moved per gate.

    Returns
    -------
    dict or (dict, dict)
        A Py-ART field dictionary (masked ``data`` where unresolved, ``units``,
        ``standard_name``, ``long_name``, ``_FillValue``): ``radar.add_field("corrected_velocity",
        field)``. With ``folds=True`` also the folds field (int16).

    Raises
    ------
    KeyError
        If the radar has no such field.
    ValueError
        If the radar has no Nyquist velocity and none is given, or it is not positive.

    Notes
    -----
    The sweeps are unfolded as they are stored (720 and 360 rays alike), each on its
    own, with the first guess fitted over all of them; see :func:`dealias`. Py-ART's
    own dealiasing takes one Nyquist velocity per sweep; here every ray keeps its own.

    Examples
    --------
    >>> import contextlib, io, numpy as np, kestrum
    >>> with contextlib.redirect_stdout(io.StringIO()):  # Py-ART greets on import
    ...     import pyart
    >>> radar = pyart.testing.make_velocity_aliased_radar()
    >>> radar.add_field("corrected_velocity", kestrum.dealias_pyart(radar))
    >>> float(radar.fields["velocity"]["data"].max()), float(
    ...     radar.fields["corrected_velocity"]["data"].max())
    (9.5, 13.5)
    """
    func = "dealias_pyart"
    args = _road.arguments(func, _PYART, locals())
    nyquist, reference, folds = args.pop("nyquist"), args.pop("reference"), args.pop("folds")
    if field not in radar.fields:
        raise KeyError(f"{func}: the radar has no field {field!r} (it has {sorted(radar.fields)})")
    vel = cv.with_units_attribute(
        func, field, radar.fields[field]["data"], radar.fields[field].get("units"), "m/s"
    )
    data = cv.nan_data(vel)
    if gatefilter is not None:
        data[np.asarray(gatefilter.gate_excluded, dtype=bool)] = np.nan
    if nyquist is None:
        params = getattr(radar, "instrument_parameters", None) or {}
        if "nyquist_velocity" not in params:
            raise cv.fail(
                func, "the radar has no instrument_parameters['nyquist_velocity']: pass nyquist="
            )
        nyquist = params["nyquist_velocity"]["data"]
    start = np.asarray(radar.sweep_start_ray_index["data"], dtype=np.int64)
    stop = np.asarray(radar.sweep_end_ray_index["data"], dtype=np.int64) + 1
    if not (np.array_equal(start[1:], stop[:-1]) and start[0] == 0 and stop[-1] == radar.nrays):
        raise cv.fail(func, "the radar's sweeps must follow each other over all its rays")
    nyq = cv.nan_filled(cv.array(func, "nyquist", nyquist))
    if nyq.ndim == 0:
        nyq = np.full(radar.nrays, float(nyq))
    elif nyq.shape == (radar.nsweeps,):
        nyq = np.repeat(nyq, stop - start)
    elif nyq.shape != (radar.nrays,):
        raise cv.fail(
            func,
            f"nyquist must be a number, one value per sweep ({radar.nsweeps}) or "
            f"per ray ({radar.nrays}), not shape {nyq.shape}",
        )
    _check_nyquist(func, nyq)
    ref = reference
    if reference is not None and not _is_profile(reference):
        ref = np.ascontiguousarray(cv.nan_filled(cv.array(func, "reference", reference, "m/s")))
        if ref.shape != data.shape:
            raise cv.fail(
                func, f"reference must have the field's shape {data.shape}, not {ref.shape}"
            )
    altitude = float(cv.nan_filled(radar.altitude["data"]).reshape(-1)[0])
    rays = _Rays(
        data,
        cv.nan_filled(radar.azimuth["data"]),
        cv.nan_filled(radar.elevation["data"]),
        np.ascontiguousarray(nyq),
        np.concatenate([start, stop[-1:]]),
        cv.nan_filled(radar.range["data"]),
    )
    out, moved = _run(func, rays, ref, altitude, **args)
    result = {
        "data": cv.masked_where_nan(out),
        "units": "meters_per_second",
        "standard_name": "corrected_radial_velocity_of_scatterers_away_from_instrument",
        "long_name": "Dealiased radial velocity of scatterers away from instrument",
        "_FillValue": -9999.0,
        "comment": f"dealiased by kestrum from field {field!r}",
    }
    if not folds:
        return result
    return result, {
        "data": moved,
        "units": "1",
        "long_name": "Folds moved by dealiasing",
        "comment": "corrected = original + 2 * folds * nyquist_velocity",
    }


def dealias_xradar(
    tree: Any,
    field: str = "VRADH",
    *,
    nyquist: Any = None,
    reference: Any = None,
    layer_depth: float = 500.0,
    max_step: float = 0.5,
    min_region: int = 3,
    n_threads: int = 0,
) -> Any:
    """Dealias the sweeps of an xradar DataTree (or one sweep ``Dataset``).

    Parameters
    ----------
    tree : xarray.DataTree or xarray.Dataset
        A volume as xradar opens it (nodes ``sweep_0``, ``sweep_1``, ... with dimensions
        (azimuth, range) and coordinates ``azimuth``, ``elevation``, ``range``), or one
        sweep as a Dataset.
    field : str, optional
        Name of the aliased radial-velocity variable, m/s.
    nyquist : float or array_like, optional
        Nyquist velocity, m/s: one number for all sweeps, or one per sweep. Default:
        each sweep's ``nyquist_velocity`` variable (per ray or a number), as xradar
        reads it from the file's instrument parameters.
    reference, layer_depth, max_step, min_region, n_threads
        As for :func:`dealias` (profile heights above the antenna unless the tree has
        ``altitude``).

    Returns
    -------
    dict of str to xarray.Dataset, or xarray.Dataset
        Per sweep name, a Dataset with ``velocity`` (NaN where unresolved) and
        ``folds`` on the sweep's dimensions; a Dataset for a Dataset. Each sweep is
        unfolded on its own, the self-made first guess from its own gates.

    Raises
    ------
    KeyError
        If a sweep has no such variable.
    ValueError
        If no Nyquist velocity is given nor found.

    Notes
    -----
    A sweep's ``nyquist_velocity`` that does not have one value per ray is read as one
    number (its first value).

    Examples
    --------
    >>> import numpy as np, xarray as xr, kestrum
    >>> az, rng = np.arange(360.0) + 0.5, 2125.0 + 250.0 * np.arange(400)
    >>> true = 25 * np.sin(np.deg2rad(az))[:, None] * np.ones(400)
    >>> sweep = xr.Dataset(
    ...     {"VRADH": (("azimuth", "range"), (true + 10) % 20 - 10, {"units": "m/s"}),
    ...      "nyquist_velocity": ("azimuth", np.full(360, 10.0))},
    ...     coords={"azimuth": az, "range": rng, "elevation": ("azimuth", np.full(360, 0.5)),
    ...             "altitude": 370.0})
    >>> out = kestrum.dealias_xradar(sweep)
    >>> float(abs(out.velocity - true).max()) < 1e-9, int(out.folds.max())
    (True, 1)

    A volume read by xradar: ``kestrum.dealias_xradar(tree, "VRADH")``, then
    ``out["sweep_1"].velocity``.
    """
    func = "dealias_xradar"
    args = _road.arguments(func, _XRADAR, locals())
    nyquist, reference = args.pop("nyquist"), args.pop("reference")
    if hasattr(tree, "data_vars") and field in getattr(tree, "data_vars", {}):
        return _xradar_sweep(func, tree, field, nyquist, reference, None, **args)
    names = sorted((k for k in tree.children if k.startswith("sweep_")), key=lambda k: int(k[6:]))
    altitude = (
        float(np.asarray(tree["altitude"]).reshape(-1)[0]) if "altitude" in tree.variables else None
    )
    per_sweep = nyquist is not None and np.ndim(nyquist) == 1
    if per_sweep and np.shape(nyquist)[0] != len(names):
        raise cv.fail(func, f"nyquist must be one number or one per sweep ({len(names)})")
    out = {}
    for k, name in enumerate(names):
        ds = tree[name].to_dataset()
        out[name] = _xradar_sweep(
            func, ds, field, nyquist[k] if per_sweep else nyquist, reference, altitude, **args
        )
    return out


def _xradar_sweep(
    func: str,
    ds: Any,
    field: str,
    nyquist: Any,
    reference: Any,
    altitude: Any,
    layer_depth: float,
    max_step: float,
    min_region: int,
    n_threads: int,
) -> Any:
    import xarray as xr

    if field not in ds:
        raise KeyError(f"{func}: the sweep has no variable {field!r}")
    vel = ds[field]
    if nyquist is None:
        if "nyquist_velocity" not in ds.variables:
            raise cv.fail(func, "the sweep has no nyquist_velocity: pass nyquist=")
        nyquist = np.asarray(ds["nyquist_velocity"].values, dtype=float)
        if nyquist.ndim == 1 and nyquist.shape[0] != vel.shape[0]:
            nyquist = nyquist.reshape(-1)[0]
    if altitude is None:
        altitude = (
            float(np.asarray(ds["altitude"]).reshape(-1)[0]) if "altitude" in ds.variables else 0.0
        )
    ray, gate = vel.dims[-2:]
    r = _dealias(
        func,
        cv.with_units_attribute(func, field, vel.values, vel.attrs.get("units"), "m/s"),
        np.asarray(ds["azimuth"].values, float),
        np.asarray(ds[gate].values, float),
        np.asarray(ds["elevation"].values, float),
        nyquist,
        reference=reference,
        altitude=cv.scalar(func, "altitude", altitude, "m"),
        layer_depth=layer_depth,
        max_step=max_step,
        min_region=min_region,
        n_threads=n_threads,
    )
    coords = {k: c for k, c in vel.coords.items() if set(c.dims) <= {ray, gate}}
    return xr.Dataset(
        {"velocity": ((ray, gate), r.velocity, {"units": "m/s"}), "folds": ((ray, gate), r.folds)},
        coords=coords,
    )
