"""One radar volume as plain NumPy arrays, from a Py-ART ``Radar`` or an xradar DataTree.

The steps of the job read this form only, so a volume gives the same observations
whichever library read it. Missing gates are NaN; angles are degrees; times are
``datetime64[ms]``.
"""

from __future__ import annotations

import contextlib
import io
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from .config import Fields

__all__ = ["Sweep", "Volume", "from_object", "read_volume", "READERS"]

READERS = ("pyart", "xradar")

#: The moments the steps use, by the name of their entry in :class:`~.config.Fields`.
MOMENTS = ("reflectivity", "velocity", "spectrum_width", "rhohv", "zdr", "phidp")


@dataclass
class Sweep:
    azimuth: np.ndarray
    """(rays,) degrees clockwise from north."""
    elevation: np.ndarray
    """(rays,) degrees."""
    range: np.ndarray
    """(gates,) m to the centre of each gate."""
    time: np.ndarray
    """(rays,) datetime64[ms]."""
    nyquist: np.ndarray | None
    """(rays,) m/s, or None where the volume does not say."""
    moments: dict[str, np.ndarray]
    """(rays, gates) float64, NaN where missing, by moment name (see MOMENTS)."""


@dataclass
class Volume:
    name: str
    """Radar name (at most 12 characters are written to WRFDA)."""
    latitude: float
    longitude: float
    altitude: float
    """Site position: degrees, degrees, m above sea level."""
    sweeps: list[Sweep]

    @property
    def time(self) -> np.datetime64:
        """Time of the first ray: the volume's time in the files and the window."""
        return min(s.time.min() for s in self.sweeps if s.time.size)


#: netCDF's default fill of a float variable: a file written without a _FillValue
#: attribute holds it in its missing gates, and not every reader masks it.
NC_FILL = 9.9692099683868690e36


def _floats(a: Any) -> np.ndarray:
    """float64 copy with NaN where masked, not finite, or netCDF's default fill."""
    out = np.ma.filled(np.ma.asarray(a).astype(np.float64), np.nan)
    out[~np.isfinite(out) | (np.abs(out) >= NC_FILL * (1 - 1e-6))] = np.nan
    return out


def _cf_times(var: dict[str, Any]) -> np.ndarray:
    units = str(var["units"])
    step, _, origin = units.partition(" since ")
    scale = {"seconds": 1e3, "second": 1e3, "s": 1e3, "milliseconds": 1.0, "ms": 1.0}.get(step.strip())
    if scale is None or not origin:
        raise ValueError(f"ray times in {units!r}: expected seconds since a date")
    start = np.datetime64(origin.strip().rstrip("Z").replace(" ", "T"), "ms")
    return start + np.round(np.asarray(var["data"], np.float64) * scale).astype("timedelta64[ms]")


def _pick(names: tuple[str, ...], present: Any) -> str | None:
    return next((n for n in names if n in present), None)


def _site(name: str, lat: float, lon: float, alt: float) -> tuple[float, float, float]:
    if not (np.isfinite(lat) and np.isfinite(lon) and -90 <= lat <= 90):
        raise ValueError(f"volume {name!r} has no usable site position ({lat}, {lon})")
    return float(lat), float(lon), float(alt) if np.isfinite(alt) else 0.0


def from_pyart(radar: Any, fields: Fields) -> Volume:
    """The volume of a Py-ART ``Radar``."""
    names = {m: _pick(getattr(fields, m), radar.fields) for m in MOMENTS}
    times = _cf_times(radar.time)
    nyquist = None
    params = radar.instrument_parameters or {}
    if "nyquist_velocity" in params:
        nyquist = _floats(params["nyquist_velocity"]["data"]).reshape(-1)
        if nyquist.size == 1:
            nyquist = np.full(radar.nrays, nyquist[0])
    rng = _floats(radar.range["data"])
    sweeps = []
    for start, end in zip(radar.sweep_start_ray_index["data"], radar.sweep_end_ray_index["data"]):
        rays = slice(int(start), int(end) + 1)
        sweeps.append(Sweep(
            azimuth=_floats(radar.azimuth["data"][rays]), elevation=_floats(radar.elevation["data"][rays]),
            range=rng, time=times[rays], nyquist=None if nyquist is None else nyquist[rays],
            moments={m: _floats(radar.fields[n]["data"][rays]) for m, n in names.items() if n},
        ))
    meta = radar.metadata or {}
    name = str(meta.get("instrument_name") or meta.get("radar_name") or "RADAR").strip()
    lat, lon, alt = (float(_floats(getattr(radar, k)["data"]).reshape(-1)[0])
                     for k in ("latitude", "longitude", "altitude"))
    return Volume(name, *_site(name, lat, lon, alt), sweeps)


def from_xradar(tree: Any, fields: Fields) -> Volume:
    """The volume of an xradar DataTree (nodes ``sweep_0``, ``sweep_1``, ...)."""
    root = tree.ds
    nodes = sorted((k for k in tree.children if k.startswith("sweep_")), key=lambda k: int(k.split("_")[1]))
    if not nodes:
        raise ValueError("the DataTree has no sweep_N nodes")
    sweeps = []
    for node in nodes:
        ds = tree[node].ds
        names = {m: _pick(getattr(fields, m), ds.data_vars) for m in MOMENTS}
        nyquist = None
        if "nyquist_velocity" in ds.variables:
            nyquist = np.broadcast_to(_floats(ds["nyquist_velocity"].values), ds["azimuth"].shape).copy()
        sweeps.append(Sweep(
            azimuth=_floats(ds["azimuth"].values), elevation=_floats(ds["elevation"].values),
            range=_floats(ds["range"].values), time=ds["time"].values.astype("datetime64[ms]"),
            nyquist=nyquist,
            moments={m: _floats(ds[n].transpose("azimuth", "range").values) for m, n in names.items() if n},
        ))

    def site(key: str) -> float:
        for ds in (root, tree[nodes[0]].ds):
            if key in ds.variables:
                return float(np.asarray(ds[key].values, np.float64).reshape(-1)[0])
        return float("nan")

    name = str(tree.attrs.get("instrument_name") or root.attrs.get("instrument_name") or "RADAR").strip()
    return Volume(name, *_site(name, site("latitude"), site("longitude"), site("altitude")), sweeps)


def from_object(volume: Any, fields: Fields) -> Volume:
    """A :class:`Volume` from a Py-ART ``Radar``, an xradar DataTree or a Volume."""
    if isinstance(volume, Volume):
        return volume
    if hasattr(volume, "sweep_start_ray_index") and hasattr(volume, "fields"):
        return from_pyart(volume, fields)
    if hasattr(volume, "children") and hasattr(volume, "ds"):
        return from_xradar(volume, fields)
    raise TypeError(f"volume must be a Py-ART Radar or an xradar DataTree, not {type(volume).__name__}")


def _quiet_import(name: str) -> Any:
    import importlib

    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")  # Py-ART prints a banner and warns about optional packages
        return importlib.import_module(name)


def _xradar_open(path: Path) -> Any:
    xd = reader_module("xradar")
    with open(path, "rb") as f:
        head = f.read(12)
    if head.startswith((b"AR2V", b"ARCHIVE2")) or head[:2] == b"\x1f\x8b" or head[:3] == b"BZh":
        return xd.open_nexradlevel2_datatree(str(path))
    if head.startswith(b"CDF") or head.startswith(b"\x89HDF"):
        try:
            return xd.open_cfradial1_datatree(str(path))
        except Exception:
            if head.startswith(b"\x89HDF"):
                return xd.open_odim_datatree(str(path))
            raise
    raise ValueError("not a format the xradar reader knows here (NEXRAD Level II, CfRadial 1, ODIM)")


def reader_module(reader: str) -> Any:
    """The library of a reader, imported quietly (Py-ART prints a banner)."""
    if reader not in READERS:
        raise ValueError(f"reader must be one of {', '.join(READERS)}, got {reader!r}")
    return _quiet_import("pyart" if reader == "pyart" else "xradar.io")


def read_volume(path: str | Path, reader: str, fields: Fields) -> tuple[Volume, Any]:
    """Read one file with Py-ART or xradar; returns the volume and the library's object."""
    path = Path(path)
    lib = reader_module(reader)
    if reader == "pyart":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            obj = lib.io.read(str(path))
        return from_pyart(obj, fields), obj
    if reader == "xradar":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            obj = _xradar_open(path)
            return from_xradar(obj, fields), obj
    raise AssertionError(reader)  # reader_module refused it


def default_reader() -> str:
    """Py-ART where installed, else xradar."""
    import importlib.util

    for name in READERS:
        if importlib.util.find_spec(name) is not None:
            return name
    raise ImportError("reading volumes needs Py-ART or xradar: pip install 'kestrum[pyart]' or 'kestrum[xradar]'")
