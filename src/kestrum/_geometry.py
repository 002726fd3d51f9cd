"""Where a radar beam is: the 4/3-earth-radius model, in one place for every caller.

``beam_height`` and the VAD profiles use it for the height of a ring, the DART writer
for the beam's elevation at a gate; the elevation checks are here too, so that an
impossible angle is refused the same way by all of them.
"""

from __future__ import annotations

import warnings
from typing import Any

import numpy as np

from . import _convert as cv

#: Effective earth radius of the 4/3 model (Doviak and Zrnic): 4/3 of the mean radius, m.
EFFECTIVE_RADIUS = 4.0 / 3.0 * 6371000.0

#: Beyond this elevation (degrees) a ring's fit is too steep for a horizontal wind: the
#: wind is the fitted amplitude over cos(el), which multiplies the velocity errors by
#: more than 5.8 at 80 degrees and without bound towards a vertically pointing beam.
STEEPEST_VAD = 80.0


def check_elevation(func: str, name: str, degrees: Any) -> None:
    """Refuse an elevation outside [-90, 90] degrees (missing values pass)."""
    el = np.asarray(degrees)
    bad = np.abs(el) > 90.0
    if bad.any():
        raise cv.fail(
            func,
            f"{name} {float(el[bad].flat[0])!r} is not an elevation in degrees "
            "(it must lie within [-90, 90])",
        )


def beam(range_m: Any, elevation_deg: Any, altitude_m: Any) -> tuple[Any, Any]:
    """Height and ground distance of the beam centre (Doviak and Zrnic 1993, 2.28b, c)."""
    theta = np.deg2rad(elevation_deg)
    return beam_at(range_m, np.sin(theta), np.cos(theta), altitude_m)


def beam_at(range_m: Any, sin_el: Any, cos_el: Any, altitude_m: Any) -> tuple[Any, Any]:
    """:func:`beam` from the sine and cosine of the elevation."""
    ka = EFFECTIVE_RADIUS
    rise = np.sqrt(range_m**2 + ka**2 + 2.0 * range_m * ka * sin_el) - ka
    distance = ka * np.arcsin(range_m * cos_el / (ka + rise))
    return rise + altitude_m, distance


def elevation_at_gate(range_m: Any, elevation_deg: Any) -> Any:
    """The beam's elevation at the gate, degrees: steeper than at the antenna by the
    angle the earth's surface turns under the bent beam."""
    el = np.deg2rad(elevation_deg)
    turn = np.arctan(range_m * np.cos(el) / (EFFECTIVE_RADIUS + range_m * np.sin(el)))
    return elevation_deg + np.rad2deg(turn)


def sweep_elevation(elevation: Any) -> Any:
    """Mean elevation of the rays of each sweep (last axis) that have one; NaN for a
    sweep without any. The VAD fit and the ring heights both use it."""
    el = cv.nan_filled(elevation)
    if el.ndim == 0:
        return el
    if el.shape[-1] == 0:
        return np.full(el.shape[:-1], np.nan)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a sweep without elevations is NaN
        return np.nanmean(el, axis=-1)
