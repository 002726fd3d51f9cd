"""The steps of the job on one volume: quality control, dealiasing, superobservations.

This module is the one seam between the job and the functions doing each step: the
pipeline (:mod:`.pipeline`) calls only what is defined here, and every function
returns what the gate count needs (which gates a step removed, moved or kept).
"""

from __future__ import annotations

import math
from typing import Any, NamedTuple

import numpy as np

from ..dealias import dealias as _dealias
from ..qc import QCFlag, gate_qc
from ..superobs import Superobs as Boxes
from ..superobs import superobs
from .config import QC, Config
from .config import Dealias as DealiasConfig
from .volume import Volume

#: Tests that judge only a gate's velocity (see :class:`~.config.QC`).
VELOCITY_ONLY = np.uint32(
    QCFlag.REFLECTIVITY
    | QCFlag.SPECTRUM_WIDTH
    | QCFlag.SNR
    | QCFlag.TEXTURE_VELOCITY
    | QCFlag.VAD_LEASH
)
#: gate_qc's arguments by the moment that feeds them.
_QC_FIELDS = {
    "reflectivity": "reflectivity",
    "rhohv": "rhohv",
    "zdr": "zdr",
    "spectrum_width": "spectrum_width",
    "phidp": "phidp",
    "velocity": "velocity",
}
_QC_KEYS = (
    "min_reflectivity",
    "max_spectrum_width",
    "min_rhohv",
    "max_zdr",
    "max_texture_velocity",
    "clutter_velocity",
    "min_size",
)


# --- quality control --------------------------------------------------------------------


def qc_flags(vol: Volume, cfg: QC, n_threads: int) -> np.ndarray:
    """:class:`kestrum.QCFlag` bit code of the failed tests of every gate, (rays, gates)."""
    shape = (vol.azimuth.size, vol.range.size)
    if not cfg.enabled:
        return np.zeros(shape, np.uint32)
    fields: dict[str, Any] = {
        arg: vol.moments[m] for arg, m in _QC_FIELDS.items() if m in vol.moments
    }
    given = {k: getattr(cfg, k) for k in _QC_KEYS if getattr(cfg, k) is not None}
    return gate_qc(
        **fields,
        preset=None if cfg.preset == "none" else cfg.preset,
        **given,
        nyquist=vol.nyquist,
        range=vol.range,
        elevation=vol.elevation,
        azimuth=vol.azimuth,
        sweeps=vol.starts,
        n_threads=n_threads,
    ).flags


def removes(flags: np.ndarray, moment: str) -> np.ndarray:
    """The gates whose `moment` quality control removes, from their bit codes."""
    tests = flags & ~VELOCITY_ONLY if moment == "reflectivity" else flags
    # A gate with no field at all is no gate of the moment: it was never read.
    gone: np.ndarray = (tests & ~np.uint32(QCFlag.MISSING)) != 0
    return gone


def qc_counts(flags: np.ndarray, valid: np.ndarray, moment: str) -> dict[str, int]:
    """Gates of `valid` that failed each test (by test name) that removes `moment`."""
    # One pass: how many gates have each code, then each test's share of the codes.
    per_code = np.bincount(flags[valid].astype(np.intp), minlength=int(max(QCFlag)) * 2)
    codes = np.arange(per_code.size)
    out = {}
    for flag in QCFlag:
        if flag is QCFlag.MISSING or (moment == "reflectivity" and flag & VELOCITY_ONLY):
            continue
        n = int(per_code[(codes & int(flag)) != 0].sum())
        if n:
            out[str(flag.name).lower()] = n
    return out


# --- dealiasing -------------------------------------------------------------------------


class Dealiased(NamedTuple):
    velocity: np.ndarray
    """(rays, gates) m/s, NaN where missing or unresolved."""
    folds: np.ndarray
    """(rays, gates) int, folds each gate was moved."""
    unresolved: np.ndarray
    """(rays, gates) bool, valid gates the dealiasing could not place."""
    dealiased: bool
    """False when the velocities are still folded (superobservations then average them
    on the fold circle)."""


def dealias(vol: Volume, velocity: np.ndarray, cfg: DealiasConfig, n_threads: int) -> Dealiased:
    """Velocities on their true fold, with the volume's own VAD (fitted on the fold
    circle) as the first guess; passed through, still folded, when not enabled."""
    if not cfg.enabled or vol.nyquist is None:
        return Dealiased(
            velocity, np.zeros(velocity.shape, np.int16), np.zeros(velocity.shape, bool), False
        )
    out = _dealias(
        vol.stacked(velocity),
        vol.stacked(vol.azimuth),
        vol.range,
        vol.stacked(vol.elevation),
        vol.stacked(vol.nyquist),
        altitude=vol.altitude,
        layer_depth=cfg.layer_depth,
        max_step=cfg.max_step,
        min_region=cfg.min_region,
        n_threads=n_threads,
    )
    rows = vol.stacked(np.ones(vol.azimuth.size, bool), False)  # the rays that are not padding
    v, folds = out.velocity[rows], out.folds[rows]
    return Dealiased(v, folds, np.isfinite(velocity) & ~np.isfinite(v), True)


# --- superobservations ------------------------------------------------------------------


def _stacked(vol: Volume, values: np.ndarray) -> dict[str, Any]:
    """The arguments of :func:`kestrum.superobs` for a volume whose sweeps may have
    different numbers of rays: sweeps stacked, short sweeps padded with missing rays."""
    return {
        "values": vol.stacked(values),
        "azimuth": vol.stacked(vol.azimuth),
        "elevation": vol.stacked(vol.elevation),
        # NaT in the times' own unit: a unitless NaT is deprecated in NumPy's casts
        "time": vol.stacked(vol.time, np.array("NaT", dtype=vol.time.dtype)),
    }


def boxes(
    vol: Volume,
    values: np.ndarray,
    quantity: str,
    cfg: Config,
    dealiased: bool,
    n_threads: int,
    grid: bool = False,
) -> Boxes:
    """Polar superobservations of every sweep, or (``grid``) the WRFDA columns by level."""
    s = cfg.superobs
    args = _stacked(vol, values)
    if quantity == "velocity":
        opts: dict[str, Any] = {
            "min_count": s.velocity_min_count,
            "max_std": s.max_std,
            "min_coherence": s.min_coherence,
            "error_floor": s.velocity_error,
        }
        # Folded velocities are averaged on the fold circle; dealiased ones plainly.
        if not dealiased and vol.nyquist is not None:
            opts["nyquist"] = vol.stacked(vol.nyquist)
    else:
        opts = {
            "min_count": s.reflectivity_min_count,
            "error_floor": s.reflectivity_error,
            "echo_threshold": s.echo_threshold,
            "clear_air_value": s.clear_air_value,
            "clear_air_thin": s.clear_air_thin,
            "clear_air_halo": s.clear_air_halo,
        }
    if grid:
        o = cfg.output
        half = math.ceil(s.max_range / o.wrfda_spacing - 0.5)
        edges = (np.arange(-half, half + 2) - 0.5) * o.wrfda_spacing
        opts["grid"] = (edges, edges, np.asarray(o.wrfda_height_edges))
    else:
        opts.update(d_azimuth=s.d_azimuth, d_range=s.d_range)
    out: Boxes = superobs(
        **args,
        range=vol.range,
        quantity=quantity,
        latitude=vol.latitude,
        longitude=vol.longitude,
        altitude=vol.altitude,
        max_range=s.max_range,
        n_threads=n_threads,
        **opts,
    )
    if quantity == "reflectivity" and not s.clear_air:
        echo = ~np.asarray(out.clear_air, bool)
        out = out._replace(
            **{
                name: np.asarray(getattr(out, name))[echo]
                for name in Boxes._fields
                if name not in ("quantity", "site", "grid")
            }
        )
    if quantity == "velocity" and dealiased and vol.nyquist is not None and not grid:
        # Dealiased boxes were averaged without a Nyquist velocity; DART's platform block
        # still wants the one the radar measured with: the largest of the box's sweep.
        ny = vol.stacked(vol.nyquist)
        ny = np.where(np.isfinite(ny), ny, -np.inf).max(axis=1)
        out = out._replace(nyquist=np.where(ny > 0, ny, np.nan)[out.box[:, 0]])
    return out
