"""One volume through every step, with the fate of each gate and the time of each step."""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ..obsfiles import DartBatch, WrfdaRadar
from ..radar import beam_height
from . import steps
from .config import Config
from .volume import Volume, from_object

__all__ = ["GateFates", "VolumeObservations", "observations", "STEPS"]

#: The steps timed for every volume, in order ("read" is timed by the command).
STEPS = ("read", "qc", "dealias", "superobs", "output")
KINDS = {"velocity": "DOPPLER_RADIAL_VELOCITY", "reflectivity": "RADAR_REFLECTIVITY",
         "clear_air": "RADAR_CLEARAIR_REFLECTIVITY"}


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


def observations(volume: Any, config: Config | None = None, *, wrfda: bool = True,
                 n_threads: int = 0) -> VolumeObservations:
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
    >>> import kestrum, pyart                                   # doctest: +SKIP
    >>> radar = pyart.io.read(pyart.testing.NEXRAD_ARCHIVE_MSG31_FILE)  # doctest: +SKIP
    >>> obs = kestrum.observations(radar)                       # doctest: +SKIP
    >>> kestrum.write_dart_obs_seq("obs_seq.out", obs.dart)     # doctest: +SKIP
    """
    cfg = config if config is not None else Config()
    if not isinstance(cfg, Config):
        raise TypeError(f"observations: config must be a kestrum.job.Config, not {type(cfg).__name__}")
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
        if not any(moment in s.moments for s in vol.sweeps):
            raise ValueError(f"volume {vol.name!r} has no {moment} field (looked for "
                             f"{', '.join(getattr(cfg.fields, moment))}; set fields.{moment})")
    fates = {m: GateFates() for m in ("velocity", "reflectivity")}
    for s in vol.sweeps:
        for m, f in fates.items():
            if m in s.moments:
                f.read += int(np.isfinite(s.moments[m]).sum())

    # 1. quality control
    codes = [steps.qc_codes(s, cfg.qc) for s in vol.sweeps]
    vel, ref = [], []
    for s, code in zip(vol.sweeps, codes):
        for m, f, out, tests in (("velocity", fates["velocity"], vel, 0xFF),
                                 ("reflectivity", fates["reflectivity"], ref, ~steps.VELOCITY_ONLY & 0xFF)):
            values = s.moments.get(m)
            if values is None:
                out.append(np.full(code.shape, np.nan))
                continue
            valid = np.isfinite(values)
            mine = code & tests
            for bit, test in enumerate(steps.QC_TESTS):
                if tests >> bit & 1:
                    f.by_test[test] = f.by_test.get(test, 0) + int((valid & (mine >> bit & 1).astype(bool)).sum())
            gone = valid & (mine != 0)
            f.qc_removed += int(gone.sum())
            out.append(np.where(gone, np.nan, values))
    lap("qc")

    # 2. dealiasing
    for k, s in enumerate(vol.sweeps):
        if "velocity" not in s.moments:
            continue
        if s.nyquist is None and np.isfinite(vel[k]).any():
            raise ValueError(f"volume {vol.name!r} has velocities but no Nyquist velocity")
        d = steps.dealias(vel[k], s, cfg.dealias.enabled)
        fates["velocity"].folds_moved += int((d.folds != 0).sum())
        fates["velocity"].unresolved += int(d.unresolved.sum())
        vel[k] = d.velocity
    lap("dealias")

    # 3. superobservations
    boxes = {}
    for m, fields_ in (("velocity", vel), ("reflectivity", ref)):
        b = steps.concat([steps.superobs(v, s, m, cfg.superobs) for s, v in zip(vol.sweeps, fields_)])
        fates[m].boxes = int(b.count.size)
        fates[m].in_kept_box = int(b.count.sum())
        fates[m].in_dropped_box = b.dropped
        boxes[m] = b
    lap("superobs")

    # 4. observations for the files
    site = (vol.latitude, vol.longitude, vol.altitude)
    dart = _dart_batches(boxes, site, cfg)
    block = None
    if wrfda:
        cols = steps.columns(vol.sweeps, vel, ref, site, cfg.superobs, cfg.output)
        block = WrfdaRadar(
            name=vol.name[:12], lon=vol.longitude, lat=vol.latitude, elv=vol.altitude,
            time=vol.time.astype("datetime64[s]"), centres=np.asarray(cfg.output.wrfda_levels),
            col_lat=cols.lat, col_lon=cols.lon, col_elv=vol.altitude,
            rv=cols.rv if cfg.output.velocity else np.nan, rv_err=cols.rv_err,
            rf=cols.rf if cfg.output.reflectivity else np.nan, rf_err=cols.rf_err)
    lap("output")
    return VolumeObservations(vol.name, vol.time, site, dart, block, fates, seconds)


def _dart_batches(boxes: dict[str, steps.Boxes], site: tuple[float, float, float], cfg: Config
                  ) -> list[DartBatch]:
    lat0, lon0, alt = site
    out = []
    for m, b in boxes.items():
        if not getattr(cfg.output, m) or b.count.size == 0:
            continue
        pos = beam_height(b.range, b.elevation, alt)
        lat, lon = steps.geographic(lat0, lon0, b.azimuth, pos.distance)
        variance = b.error**2
        if m == "velocity":
            out.append(DartBatch(
                KINDS[m], value=b.value, variance=variance, lon=lon, lat=lat, height=pos.height,
                time=b.time, radar_lon=lon0, radar_lat=lat0, radar_height=alt,
                azimuth=b.azimuth, elevation=b.elevation, nyquist=b.nyquist, range=b.range))
            continue
        for kind, rows in (("reflectivity", ~b.clear_air), ("clear_air", b.clear_air)):
            if rows.any():
                out.append(DartBatch(KINDS[kind], value=b.value[rows], variance=variance[rows],
                                     lon=lon[rows], lat=lat[rows], height=pos.height[rows], time=b.time[rows]))
    return out
