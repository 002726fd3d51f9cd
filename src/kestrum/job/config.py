"""Settings of the observation job: one tree of dataclasses, with defaults, from TOML.

Every parameter of every step lives here, once, with its unit and where its default
comes from; the job's functions take a :class:`Config` and nothing else. A TOML file
holds any subset of the tree (the sections are the dataclasses' names)::

    [qc]
    preset = "minimal"

    [superobs]
    d_range = 2500.0

Unknown sections and keys are refused with their dotted name, so a typo never falls
back silently to a default.
"""

from __future__ import annotations

import dataclasses
import math
import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, get_args, get_origin, get_type_hints

__all__ = ["Config", "ConfigError", "Fields", "QC", "Dealias", "Superobs", "Output", "load_config"]


class ConfigError(ValueError):
    """A configuration that cannot be used: the message names the key."""


@dataclass(frozen=True)
class Fields:
    """Names a volume may give each moment; the first one present is used.

    The defaults are Py-ART's names, then the ODIM/xradar ones, then common others.
    """

    reflectivity: tuple[str, ...] = ("reflectivity", "DBZH", "DBZ", "TH", "corrected_reflectivity")
    velocity: tuple[str, ...] = ("velocity", "VRADH", "VRAD", "VEL", "corrected_velocity")
    spectrum_width: tuple[str, ...] = ("spectrum_width", "WRADH", "WRAD", "WIDTH")
    rhohv: tuple[str, ...] = ("cross_correlation_ratio", "RHOHV", "RHO")
    zdr: tuple[str, ...] = ("differential_reflectivity", "ZDR")
    phidp: tuple[str, ...] = ("differential_phase", "PHIDP")


@dataclass(frozen=True)
class QC:
    """Gate quality control, run before dealiasing on the raw moments.

    The thresholds default to the "simple" level of the Python tool that DART's
    documentation recommends for radar observations (spectrum width > 5 m/s, rhohv <
    0.90, zdr > 2 dB, reflectivity < 10 dBZ removed). A threshold applies only where
    the volume has the moment. ``min_reflectivity`` and ``max_spectrum_width`` judge
    the velocity of a gate (weak echo gives noisy velocities) and leave its
    reflectivity to the clear-air observations; the other tests remove the gate from
    both.
    """

    enabled: bool = True
    min_reflectivity: float = 10.0
    """dBZ; velocities of gates below are removed (NaN: no test)."""
    max_spectrum_width: float = 5.0
    """m/s; velocities of gates above are removed."""
    min_rhohv: float = 0.90
    """Gates below are removed (non-meteorological echo)."""
    max_zdr: float = 2.0
    """dB; gates above are removed."""
    min_speckle: int = 0
    """Connected groups of fewer valid gates are removed (0: no despeckling)."""


@dataclass(frozen=True)
class Dealias:
    """Velocity dealiasing, with the volume's own VAD as the reference."""

    enabled: bool = True


@dataclass(frozen=True)
class Superobs:
    """Polar boxes of each sweep, averaged into one observation each.

    The defaults are NOAA's operational radial-wind superobservation: boxes of 5
    degrees of azimuth by 5 km of range, at least 50 gates, out to 100 km, rejected
    where the spread inside exceeds 6 m/s. Reflectivity is averaged in linear Z; a box
    whose gates are all below ``echo_threshold`` is clear air, written as
    ``clear_air_value`` (the DART documentation's clear-air observations).
    """

    d_azimuth: float = 5.0
    """Box width in azimuth, degrees."""
    d_range: float = 5000.0
    """Box depth in range, m."""
    max_range: float = 100000.0
    """Boxes beyond this range (m) are dropped."""
    min_count: int = 50
    """Least number of valid gates in a kept box."""
    max_std: float = 6.0
    """Velocity boxes whose spread exceeds this (m/s) are dropped."""
    velocity_error: float = 2.0
    """Least observation error of a radial velocity, m/s (the spread when larger)."""
    reflectivity_error: float = 5.0
    """Least observation error of a reflectivity, dB (the spread when larger)."""
    echo_threshold: float = 20.0
    """dBZ below which a gate is not echo."""
    clear_air: bool = True
    """Write clear-air reflectivity observations."""
    clear_air_value: float = 0.0
    """dBZ given to a clear-air observation."""


@dataclass(frozen=True)
class Output:
    """What goes into the files."""

    velocity: bool = True
    reflectivity: bool = True
    wrfda_spacing: float = 10000.0
    """Horizontal size of a WRFDA column, m (square boxes centred on the radar)."""
    wrfda_levels: tuple[float, ...] = tuple(float(h) for h in range(500, 10001, 500))
    """Heights of the WRFDA levels, m above sea level; a level is the layer halfway to
    its neighbours."""
    wrfda_min_count: int = 10
    """Least number of gates in a WRFDA box."""


@dataclass(frozen=True)
class Config:
    """Every setting of the observation job (see the section classes for each)."""

    fields: Fields = field(default_factory=Fields)
    qc: QC = field(default_factory=QC)
    dealias: Dealias = field(default_factory=Dealias)
    superobs: Superobs = field(default_factory=Superobs)
    output: Output = field(default_factory=Output)

    def __post_init__(self) -> None:
        s, o = self.superobs, self.output
        positive = {"superobs.d_azimuth": s.d_azimuth, "superobs.d_range": s.d_range,
                    "superobs.max_range": s.max_range, "superobs.max_std": s.max_std,
                    "superobs.velocity_error": s.velocity_error,
                    "superobs.reflectivity_error": s.reflectivity_error,
                    "output.wrfda_spacing": o.wrfda_spacing}
        for key, value in positive.items():
            if not (math.isfinite(value) and value > 0):
                raise ConfigError(f"{key} must be a positive number, got {value!r}")
        if s.d_azimuth > 360:
            raise ConfigError(f"superobs.d_azimuth must be at most 360 degrees, got {s.d_azimuth!r}")
        for key, count in (("superobs.min_count", s.min_count), ("output.wrfda_min_count", o.wrfda_min_count),
                           ("qc.min_speckle", self.qc.min_speckle)):
            if count < 0:
                raise ConfigError(f"{key} must not be negative, got {count!r}")
        levels = o.wrfda_levels
        if not levels or any(b <= a for a, b in zip(levels, levels[1:])) or not all(map(math.isfinite, levels)):
            raise ConfigError("output.wrfda_levels must be finite heights in increasing order")
        for name in ("reflectivity", "velocity"):
            if not getattr(self.fields, name):
                raise ConfigError(f"fields.{name} must name at least one field")

    @classmethod
    def from_dict(cls, data: dict[str, Any], *, source: str = "config") -> Config:
        """A configuration from nested mappings (as ``tomllib`` reads them)."""
        return _build(cls, data, source, "")

    def to_toml(self) -> str:
        """The whole configuration as TOML text that :func:`load_config` reads back."""
        out = []
        for section in dataclasses.fields(self):
            out.append(f"[{section.name}]")
            for f in dataclasses.fields(getattr(self, section.name)):
                out.append(f"{f.name} = {_toml_value(getattr(getattr(self, section.name), f.name))}")
            out.append("")
        return "\n".join(out)


def load_config(path: str | Path | None) -> Config:
    """Read a TOML configuration file; ``None`` gives the defaults.

    Raises
    ------
    ConfigError
        An unknown section or key, a value of the wrong type or out of range, or a
        file that is not TOML (the message names the file and the key).
    """
    if path is None:
        return Config()
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except tomllib.TOMLDecodeError as e:
        raise ConfigError(f"{path}: not a TOML file: {e}") from None
    return Config.from_dict(data, source=str(path))


def _build(cls: Any, data: Any, source: str, prefix: str) -> Any:
    where = prefix.rstrip(".") or "the top level"
    if not isinstance(data, dict):
        raise ConfigError(f"{source}: {where} must be a table, got {data!r}")
    hints = get_type_hints(cls)
    known = {f.name for f in dataclasses.fields(cls)}
    unknown = sorted(set(data) - known)
    if unknown:
        raise ConfigError(f"{source}: unknown key '{prefix}{unknown[0]}' "
                          f"(known in {where}: {', '.join(sorted(known))})")
    kwargs = {}
    for key, value in data.items():
        hint = hints[key]
        if dataclasses.is_dataclass(hint):
            kwargs[key] = _build(hint, value, source, f"{prefix}{key}.")
        else:
            kwargs[key] = _coerce(hint, value, source, prefix + key)
    try:
        return cls(**kwargs)
    except ConfigError as e:
        raise ConfigError(f"{source}: {e}") from None


def _coerce(hint: Any, value: Any, source: str, key: str) -> Any:
    def wrong(expected: str) -> ConfigError:
        return ConfigError(f"{source}: {key} must be {expected}, got {value!r}")

    if get_origin(hint) is tuple:
        item = get_args(hint)[0]
        if not isinstance(value, list):
            raise wrong("a list")
        return tuple(_coerce(item, v, source, f"{key}[{i}]") for i, v in enumerate(value))
    if hint is bool:
        if not isinstance(value, bool):
            raise wrong("true or false")
        return value
    if hint is int:
        if isinstance(value, bool) or not isinstance(value, int):
            raise wrong("an integer")
        return value
    if hint is float:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise wrong("a number")
        return float(value)
    if hint is str:
        if not isinstance(value, str):
            raise wrong("a string")
        return value
    raise TypeError(f"no TOML reading for {hint!r}")  # a field added without one


def _toml_value(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, tuple):
        return "[" + ", ".join(_toml_value(v) for v in value) + "]"
    if isinstance(value, str):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    return repr(value)
