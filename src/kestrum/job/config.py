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
import itertools
import math
import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from types import UnionType
from typing import Any, Union, get_args, get_origin, get_type_hints

__all__ = ["QC", "Config", "ConfigError", "Dealias", "Fields", "Output", "Superobs", "load_config"]


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
    """Gate quality control (:func:`kestrum.gate_qc`), run on the raw moments.

    ``preset`` gives the thresholds (see :data:`kestrum.PRESETS`; the default "simple"
    is the level of the Python tool that DART's documentation recommends: spectrum
    width > 5 m/s, rhohv < 0.90, zdr > 2 dB and reflectivity < 10 dBZ removed); a key
    set here overrides the preset's value, and ``nan`` turns its test off. A test runs
    only where the volume has the moment. The reflectivity, spectrum-width, SNR,
    velocity-texture tests judge only a gate's velocity (weak echo gives noisy
    velocities) and leave its reflectivity to the clear-air observations; the other
    tests remove the gate from both.
    """

    enabled: bool = True
    preset: str = "simple"
    """"minimal", "simple", "texture", or "none" (only the keys set here)."""
    min_reflectivity: float | None = None
    """dBZ."""
    max_spectrum_width: float | None = None
    """m/s."""
    min_rhohv: float | None = None
    max_zdr: float | None = None
    """dB."""
    max_texture_velocity: float | None = None
    """m/s, on the fold circle."""
    clutter_velocity: float | None = None
    """m/s: slower gates within 1 km above the antenna are ground clutter."""
    min_size: int | None = None
    """Groups of fewer gates that passed are speckle (none by default)."""


@dataclass(frozen=True)
class Dealias:
    """Velocity dealiasing (:func:`kestrum.dealias`), with the volume's own VAD as the
    reference. Without it the velocity boxes are averaged on the fold circle."""

    enabled: bool = True
    layer_depth: float = 500.0
    """Depth of the height layers of the VAD first guess, m."""
    max_step: float = 0.5
    """Largest step between neighbouring gates that continuity follows, in Nyquist velocities."""
    min_region: int = 3
    """Regions of fewer gates are left unresolved."""


@dataclass(frozen=True)
class Superobs:
    """Boxes averaged into one observation each (:func:`kestrum.superobs`).

    Polar boxes of each sweep go to DART; boxes of a square grid by height layer (the
    WRFDA columns) to WRFDA. The defaults are NOAA's operational radial-wind
    superobservation (boxes of 5 degrees by 5 km, at least 50 gates, out to 100 km,
    spread at most 6 m/s) and, for reflectivity, the DART documentation's (at least 6
    gates; clear air below 20 dBZ, written as 0 dBZ on every 4th box away from echo).
    """

    d_azimuth: float = 5.0
    """Polar box width in azimuth, degrees."""
    d_range: float = 5000.0
    """Polar box depth in range, m."""
    max_range: float = 100000.0
    """Gates beyond this range (m) are not used."""
    velocity_min_count: int = 50
    """Least number of valid gates in a kept velocity box."""
    max_std: float = 6.0
    """Velocity boxes whose spread exceeds this (m/s) are dropped."""
    min_coherence: float = 0.5
    """Boxes of folded velocities whose gates agree less on the fold circle are dropped."""
    velocity_error: float = 2.0
    """Least observation error of a radial velocity, m/s (the spread when larger)."""
    reflectivity_min_count: int = 6
    """Least number of valid gates in a kept reflectivity box."""
    reflectivity_error: float = 5.0
    """Least observation error of a reflectivity, dB (the spread when larger)."""
    echo_threshold: float = 20.0
    """dBZ below which a gate is not echo."""
    clear_air: bool = True
    """Write clear-air reflectivity observations."""
    clear_air_value: float = 0.0
    """dBZ given to a clear-air observation."""
    clear_air_thin: int = 4
    """Clear air on every this-th box along each box axis."""
    clear_air_halo: int = 1
    """No clear air within this many boxes of echo."""


@dataclass(frozen=True)
class Output:
    """What goes into the files."""

    velocity: bool = True
    reflectivity: bool = True
    wrfda_spacing: float = 10000.0
    """Horizontal size of a WRFDA column, m (square boxes, one centred on the radar)."""
    wrfda_height_edges: tuple[float, ...] = tuple(float(h) for h in range(250, 10251, 500))
    """Edges of the WRFDA levels, m above sea level; a level is written at its middle."""


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
        positive = {
            "superobs.d_azimuth": s.d_azimuth,
            "superobs.d_range": s.d_range,
            "superobs.max_range": s.max_range,
            "superobs.max_std": s.max_std,
            "superobs.velocity_error": s.velocity_error,
            "superobs.reflectivity_error": s.reflectivity_error,
            "output.wrfda_spacing": o.wrfda_spacing,
            "dealias.layer_depth": self.dealias.layer_depth,
        }
        for key, value in positive.items():
            if not (math.isfinite(value) and value > 0):
                raise ConfigError(f"{key} must be a positive number, got {value!r}")
        if s.d_azimuth > 360:
            raise ConfigError(
                f"superobs.d_azimuth must be at most 360 degrees, got {s.d_azimuth!r}"
            )
        for key, count in (
            ("superobs.velocity_min_count", s.velocity_min_count),
            ("superobs.reflectivity_min_count", s.reflectivity_min_count),
            ("superobs.clear_air_thin", s.clear_air_thin),
        ):
            if count < 1:
                raise ConfigError(f"{key} must be at least 1, got {count!r}")
        if s.clear_air_halo < 0:
            raise ConfigError(
                f"superobs.clear_air_halo must not be negative, got {s.clear_air_halo!r}"
            )
        if not 0.0 < self.dealias.max_step <= 1.0:
            raise ConfigError(f"dealias.max_step must be in (0, 1], got {self.dealias.max_step!r}")
        if self.dealias.min_region < 1:
            raise ConfigError(
                f"dealias.min_region must be at least 1, got {self.dealias.min_region!r}"
            )
        if not 0.0 <= s.min_coherence <= 1.0:
            raise ConfigError(f"superobs.min_coherence must be in [0, 1], got {s.min_coherence!r}")
        edges = o.wrfda_height_edges
        if (
            len(edges) < 2
            or any(b <= a for a, b in itertools.pairwise(edges))
            or not all(map(math.isfinite, edges))
        ):
            raise ConfigError(
                "output.wrfda_height_edges must be at least two finite heights in increasing order"
            )
        presets = ("minimal", "simple", "texture", "none")
        if self.qc.preset not in presets:
            raise ConfigError(
                f"qc.preset must be one of {', '.join(presets)}, got {self.qc.preset!r}"
            )
        if self.qc.min_size is not None and self.qc.min_size < 1:
            raise ConfigError(f"qc.min_size must be at least 1, got {self.qc.min_size!r}")
        for name in ("reflectivity", "velocity"):
            if not getattr(self.fields, name):
                raise ConfigError(f"fields.{name} must name at least one field")

    @classmethod
    def from_dict(cls, data: dict[str, Any], *, source: str = "config") -> Config:
        """A configuration from nested mappings (as ``tomllib`` reads them)."""
        config: Config = _build(cls, data, source, "")
        return config

    def to_toml(self) -> str:
        """The whole configuration as TOML text that :func:`load_config` reads back."""
        out = []
        for section in dataclasses.fields(self):
            out.append(f"[{section.name}]")
            for f in dataclasses.fields(getattr(self, section.name)):
                value = getattr(getattr(self, section.name), f.name)
                # TOML has no null: an unset key is shown commented out.
                out.append(f"# {f.name} =" if value is None else f"{f.name} = {_toml_value(value)}")
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
        raise ConfigError(
            f"{source}: unknown key '{prefix}{unknown[0]}' "
            f"(known in {where}: {', '.join(sorted(known))})"
        )
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

    if get_origin(hint) in (Union, UnionType):  # "X | None": None is the default, never read
        hint = next(a for a in get_args(hint) if a is not type(None))
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
