"""One volume through every step, with the fate of each gate and the time of each step."""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ..obsfiles import DartBatch, WrfdaRadar
from . import steps
from .config import Config
from .volume import from_object

__all__ = ["STEPS", "GateFates", "VolumeObservations", "observations"]

#: The steps timed for every volume, in order ("read" is timed by the command).
STEPS = ("read", "qc", "dealias", "superobs", "output")


@dataclass
class GateFates:
    """What happened to the valid gates of one moment of a volume.

    ``read == qc_removed + unresolved + in_kept_box + in_dropped_box``: every gate
    read with a value ends in exactly one of the four.
    """

    read: int = 0
    """Gates with a value in the file."""
    qc_removed: int = 0
    """Removed by quality control (by any test)."""
    by_test: dict[str, int] = field(default_factory=dict)
    """Gates of ``read`` that failed each quality-control test (a gate may fail several)."""
    folds_moved: int = 0
    """Gates the dealiasing moved by at least one fold (velocity)."""
    unresolved: int = 0
    """Gates the dealiasing could not place (velocity)."""
    in_kept_box: int = 0
    """Gates averaged into an observation."""
    in_dropped_box: int = 0
    """Gates in boxes not kept (too few gates, too much spread, too far)."""
    boxes: int = 0
    """Observations made (kept boxes)."""


@dataclass
class VolumeObservations:
    """The observations of one volume, ready for the writers, and how they were made."""

    name: str
    """Radar name."""
    time: np.datetime64
    """Time of the volume's first ray (UTC, to the millisecond)."""
    site: tuple[float, float, float]
    """Latitude, longitude (degrees), altitude (m above sea level) of the radar."""
    dart: list[DartBatch]
    """Radial velocities, reflectivities and clear-air reflectivities (those made)."""
    wrfda: WrfdaRadar | None
    """The volume's block of a WRFDA radar file (None when no output asked for it)."""
    fates: dict[str, GateFates]
    """By moment: ``"velocity"`` and ``"reflectivity"``."""
    seconds: dict[str, float]
    """Seconds of each step (see :data:`STEPS`)."""
    source: str = ""
    """File the volume was read from, where there is one."""

    @property
    def n_obs(self) -> int:
        return sum(int(np.size(b.value)) for b in self.dart)


def observations(
    volume: Any, config: Config | None = None, *, wrfda: bool = True, n_threads: int = 0
) -> VolumeObservations:
    """Observations of one radar volume: quality control, dealiasing, superobservations.

    Parameters
    ----------
    volume : pyart.core.Radar or xarray.DataTree
        One volume, as Py-ART (``pyart.io.read``) or xradar (``xradar.io.open_*``)
        reads it. Moments are found by the names in ``config.fields``.
    config : kestrum.job.Config, optional
        Every setting of every step; the defaults when not given (see
        :class:`kestrum.job.Config`, and :func:`kestrum.job.load_config` for TOML).
    wrfda : bool, optional
        Also make the volume's WRFDA block (columns of a square grid by height level).
    n_threads : int, optional
        Threads of the native steps (0: all cores); the results do not depend on it.

    Returns
    -------
    VolumeObservations
        ``dart``: one :class:`~kestrum.DartBatch` per kind of observation made
        (``DOPPLER_RADIAL_VELOCITY``, ``RADAR_REFLECTIVITY``,
        ``RADAR_CLEARAIR_REFLECTIVITY``); ``wrfda``: a :class:`~kestrum.WrfdaRadar`;
        ``fates``: a :class:`GateFates` per moment; ``seconds`` per step.

    Raises
    ------
    ValueError
        A volume without a site position, without a velocity or reflectivity field
        that ``config.fields`` names, or with velocities but no Nyquist velocity.

    Notes
    -----
    The steps, each a separate call of :mod:`kestrum.job.steps`:

    1. quality control of every gate on the raw moments (``config.qc``);
    2. dealiasing of the velocities that passed, with the volume's VAD as reference;
    3. polar superobservations of every sweep (``config.superobs``): radial velocity
       and reflectivity, with clear air;
    4. the observations as DART batches (and a WRFDA block): heights from the
       4/3-earth beam model, positions by the azimuthal equidistant projection around
       the site.

    Examples
    --------
    >>> import contextlib, io, kestrum
    >>> with contextlib.redirect_stdout(io.StringIO()):  # Py-ART greets on import
    ...     import pyart
    >>> radar = pyart.io.read_nexrad_archive(pyart.testing.NEXRAD_ARCHIVE_MSG31_FILE)
    >>> obs = kestrum.observations(radar, wrfda=False)
    >>> [batch.kind for batch in obs.dart]
    ['DOPPLER_RADIAL_VELOCITY', 'RADAR_REFLECTIVITY', 'RADAR_CLEARAIR_REFLECTIVITY']
    >>> fates = obs.fates["reflectivity"]
    >>> fates.read == fates.qc_removed + fates.unresolved + fates.in_kept_box + fates.in_dropped_box
    True

    (That file's moments are placeholders, so its boxes are clear air.)
    ``kestrum.write_dart_obs_seq("obs_seq.out", obs.dart)`` writes them.
    """
    cfg = config if config is not None else Config()
    if not isinstance(cfg, Config):
        raise TypeError(
            f"observations: config must be a kestrum.job.Config, not {type(cfg).__name__}"
        )
    clock = time.perf_counter()
    seconds: dict[str, float] = {}

    def lap(step: str) -> None:
        nonlocal clock
        now = time.perf_counter()
        seconds[step] = seconds.get(step, 0.0) + now - clock
        clock = now

    vol = from_object(volume, cfg.fields)
    lap("read")
    for moment in ("velocity", "reflectivity"):
        if moment not in vol.moments:
            raise ValueError(
                f"volume {vol.name!r} has no {moment} field (looked for "
                f"{', '.join(getattr(cfg.fields, moment))}; set fields.{moment})"
            )
    fates = {
        m: GateFates(read=int(np.isfinite(vol.moments[m]).sum()))
        for m in ("velocity", "reflectivity")
    }

    # 1. quality control, on the raw moments
    flags = steps.qc_flags(vol, cfg.qc, n_threads)
    kept = {}
    for m, f in fates.items():
        valid = np.isfinite(vol.moments[m])
        gone = valid & steps.removes(flags, m)
        f.by_test = steps.qc_counts(flags, valid, m)
        f.qc_removed = int(gone.sum())
        kept[m] = np.where(gone, np.nan, vol.moments[m])
    lap("qc")

    # 2. dealiasing of the velocities that passed
    if vol.nyquist is None and np.isfinite(kept["velocity"]).any():
        raise ValueError(f"volume {vol.name!r} has velocities but no Nyquist velocity")
    d = steps.dealias(vol, kept["velocity"], cfg.dealias, n_threads)
    fates["velocity"].folds_moved = int(np.count_nonzero(d.folds))
    fates["velocity"].unresolved = int(d.unresolved.sum())
    kept["velocity"] = d.velocity
    lap("dealias")

    # 3. superobservations: polar boxes of each sweep for DART
    polar = {m: steps.boxes(vol, kept[m], m, cfg, d.dealiased, n_threads) for m in kept}
    for m, b in polar.items():
        f = fates[m]
        f.boxes = int(b.count.size)
        f.in_kept_box = int(b.count.sum())
        f.in_dropped_box = f.read - f.qc_removed - f.unresolved - f.in_kept_box
    lap("superobs")

    # 4. observations for the files (the WRFDA columns are boxes of a height grid)
    dart = [b for m, so in polar.items() if getattr(cfg.output, m) for b in so.to_dart()]
    block = None
    if wrfda:
        wanted = [m for m in ("velocity", "reflectivity") if getattr(cfg.output, m)]
        grids = [
            steps.boxes(vol, kept[m], m, cfg, d.dealiased, n_threads, grid=True) for m in wanted
        ]
        if grids:
            block = grids[0].to_wrfda(
                vol.name[:12], *grids[1:], time=vol.start.astype("datetime64[s]")
            )
    lap("output")
    site = (vol.latitude, vol.longitude, vol.altitude)
    return VolumeObservations(vol.name, vol.start, site, dart, block, fates, seconds)
