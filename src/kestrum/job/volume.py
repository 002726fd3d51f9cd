"""One radar volume as plain NumPy arrays, from a Py-ART ``Radar`` or an xradar DataTree.

The steps of the job read this form only, so a volume gives the same observations
whichever library read it. Missing gates are NaN; angles are degrees; times are
``datetime64[ms]``.
"""

from __future__ import annotations

import contextlib
import io
import itertools
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from .config import Fields

__all__ = ["READERS", "Volume", "from_object", "open_volume", "read_volume"]

READERS = ("pyart", "xradar")

#: The moments the steps use, by the name of their entry in :class:`~.config.Fields`.
MOMENTS = ("reflectivity", "velocity", "spectrum_width", "rhohv", "zdr", "phidp")


@dataclass
class Volume:
    """The rays of every sweep one after another, as Py-ART lays a volume out."""

    name: str
    """Radar name (at most 12 characters are written to WRFDA)."""
    latitude: float
    longitude: float
    altitude: float
    """Site position: degrees, degrees, m above sea level."""
    azimuth: np.ndarray
    """(rays,) degrees clockwise from north."""
    elevation: np.ndarray
    """(rays,) degrees."""
    time: np.ndarray
    """(rays,) datetime64[ms]."""
    nyquist: np.ndarray | None
    """(rays,) m/s, or None where the volume does not say."""
    range: np.ndarray
    """(gates,) m to the centre of each gate."""
    starts: np.ndarray
    """(sweeps,) int64, the first ray of each sweep."""
    moments: dict[str, np.ndarray]
    """(rays, gates) float64, NaN where missing, by moment name (see MOMENTS)."""

    @property
    def start(self) -> np.datetime64:
        """Time of the first ray: the volume's time in the files and the window."""
        first: np.datetime64 = self.time.min()
        return first

    @property
    def sweep(self) -> np.ndarray:
        """(rays,) the sweep of each ray."""
        bounds = np.append(self.starts, self.azimuth.size)
        return np.repeat(np.arange(self.starts.size), np.diff(bounds))

    def stacked(self, values: np.ndarray, fill: Any = np.nan) -> np.ndarray:
        """(rays, ...) per-ray values as (sweeps, most rays, ...), padded with `fill`."""
        bounds = np.append(self.starts, self.azimuth.size)
        rays = int(np.diff(bounds).max())
        out = np.full((self.starts.size, rays, *values.shape[1:]), fill, dtype=values.dtype)
        for k, (a, b) in enumerate(itertools.pairwise(bounds)):
            out[k, : b - a] = values[a:b]
        return out


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
    scale = {"seconds": 1e3, "second": 1e3, "s": 1e3, "milliseconds": 1.0, "ms": 1.0}.get(
        step.strip()
    )
    if scale is None or not origin:
        raise ValueError(f"ray times in {units!r}: expected seconds since a date")
    start = np.datetime64(origin.strip().rstrip("Z").replace(" ", "T"), "ms")
    return start + np.round(np.asarray(var["data"], np.float64) * scale).astype("timedelta64[ms]")


def _pick(names: tuple[str, ...], present: Any) -> str | None:
    return next((n for n in names if n in present), None)


def _site(name: str, lat: float, lon: float, alt: float) -> tuple[float, float, float]:
    if not (np.isfinite(lat) and np.isfinite(lon) and -90 <= lat <= 90):
        raise ValueError(f"volume {name!r} has no usable site position ({lat}, {lon})")
    if lat == 0.0 and lon == 0.0 and not alt:
        # What a file without a site position reads as: every observation would be
        # written in the Gulf of Guinea.
        raise ValueError(f"volume {name!r} has no site position (it reads as 0N 0E, 0 m)")
    return float(lat), float(lon), float(alt) if np.isfinite(alt) else 0.0


def from_pyart(radar: Any, fields: Fields) -> Volume:
    """The volume of a Py-ART ``Radar``."""
    names = {m: _pick(getattr(fields, m), radar.fields) for m in MOMENTS}
    nyquist = None
    params = radar.instrument_parameters or {}
    if "nyquist_velocity" in params:
        nyquist = _floats(params["nyquist_velocity"]["data"]).reshape(-1)
        nyquist = np.broadcast_to(nyquist, (radar.nrays,)).copy() if nyquist.size == 1 else nyquist
    meta = radar.metadata or {}
    name = (
        str(meta.get("instrument_name") or meta.get("radar_name") or "").strip("\x00 ") or "RADAR"
    )
    lat, lon, alt = (
        float(_floats(getattr(radar, k)["data"]).reshape(-1)[0])
        for k in ("latitude", "longitude", "altitude")
    )
    return Volume(
        name,
        *_site(name, lat, lon, alt),
        azimuth=_floats(radar.azimuth["data"]),
        elevation=_floats(radar.elevation["data"]),
        time=_cf_times(radar.time),
        nyquist=nyquist,
        range=_floats(radar.range["data"]),
        starts=np.asarray(radar.sweep_start_ray_index["data"], np.int64),
        moments={m: _floats(radar.fields[n]["data"]) for m, n in names.items() if n},
    )


def from_xradar(tree: Any, fields: Fields) -> Volume:
    """The volume of an xradar DataTree (nodes ``sweep_0``, ``sweep_1``, ...)."""
    root = tree.ds
    nodes = sorted(
        (k for k in tree.children if k.startswith("sweep_")), key=lambda k: int(k.split("_")[1])
    )
    if not nodes:
        raise ValueError("the DataTree has no sweep_N nodes")
    sweeps = [tree[node].ds for node in nodes]
    ranges = [_floats(ds["range"].values) for ds in sweeps]
    longest = max(ranges, key=len)
    if not all(np.allclose(r, longest[: r.size], rtol=1e-6, atol=1e-3) for r in ranges):
        raise ValueError("the sweeps have gates at different ranges, which one volume cannot hold")
    gates = longest.size
    names = [n for n in MOMENTS if any(_pick(getattr(fields, n), ds.data_vars) for ds in sweeps)]

    def rays(ds: Any, key: str) -> np.ndarray:
        return _floats(np.broadcast_to(ds[key].values, ds["azimuth"].shape))

    moments = {}
    for m in names:
        parts = []
        for ds in sweeps:
            n = _pick(getattr(fields, m), ds.data_vars)
            v = (
                _floats(ds[n].transpose("azimuth", "range").values)
                if n
                else np.full((ds["azimuth"].size, ds["range"].size), np.nan)
            )
            parts.append(np.pad(v, ((0, 0), (0, gates - v.shape[1])), constant_values=np.nan))
        moments[m] = np.concatenate(parts)
    nyquist = None
    if all("nyquist_velocity" in ds.variables for ds in sweeps):
        nyquist = np.concatenate([rays(ds, "nyquist_velocity") for ds in sweeps])
    counts = [ds["azimuth"].size for ds in sweeps]

    def site(key: str) -> float:
        for ds in (root, sweeps[0]):
            if key in ds.variables:
                return float(np.asarray(ds[key].values, np.float64).reshape(-1)[0])
        return float("nan")

    name = (
        str(tree.attrs.get("instrument_name") or root.attrs.get("instrument_name") or "").strip(
            "\x00 "
        )
        or "RADAR"
    )
    return Volume(
        name,
        *_site(name, site("latitude"), site("longitude"), site("altitude")),
        azimuth=np.concatenate([rays(ds, "azimuth") for ds in sweeps]),
        elevation=np.concatenate([rays(ds, "elevation") for ds in sweeps]),
        time=np.concatenate([ds["time"].values.astype("datetime64[ms]") for ds in sweeps]),
        nyquist=nyquist,
        range=longest,
        starts=np.concatenate([[0], np.cumsum(counts)[:-1]]).astype(np.int64),
        moments=moments,
    )


def from_object(volume: Any, fields: Fields) -> Volume:
    """A :class:`Volume` from a Py-ART ``Radar``, an xradar DataTree or a Volume."""
    if isinstance(volume, Volume):
        return volume
    if hasattr(volume, "sweep_start_ray_index") and hasattr(volume, "fields"):
        return from_pyart(volume, fields)
    if hasattr(volume, "children") and hasattr(volume, "ds"):
        return from_xradar(volume, fields)
    raise TypeError(
        f"volume must be a Py-ART Radar or an xradar DataTree, not {type(volume).__name__}"
    )


def _quiet_import(name: str) -> Any:
    import importlib

    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")  # Py-ART prints a banner and warns about optional packages
        return importlib.import_module(name)


def _xradar_open(path: Path) -> Any:
    xd = reader_module("xradar")

    # xradar 0.13 opens every format through open_datatree(path, engine=...) and warns
    # that the functions of one format each will go; older releases have only those.
    def open_as(engine: str) -> Any:
        if hasattr(xd, "open_datatree"):
            return xd.open_datatree(str(path), engine=engine)
        return getattr(xd, f"open_{engine}_datatree")(str(path))

    with open(path, "rb") as f:
        head = f.read(12)
    if head.startswith((b"AR2V", b"ARCHIVE2")) or head[:2] == b"\x1f\x8b" or head[:3] == b"BZh":
        return open_as("nexradlevel2")
    if head.startswith((b"CDF", b"\x89HDF")):
        try:
            return open_as("cfradial1")
        except Exception:
            if head.startswith(b"\x89HDF"):
                return open_as("odim")
            raise
    raise ValueError(
        "not a format the xradar reader knows here (NEXRAD Level II, CfRadial 1, ODIM)"
    )


def reader_module(reader: str) -> Any:
    """The library of a reader, imported quietly (Py-ART prints a banner)."""
    if reader not in READERS:
        raise ValueError(f"reader must be one of {', '.join(READERS)}, got {reader!r}")
    return _quiet_import("pyart" if reader == "pyart" else "xradar.io")


def open_volume(path: str | Path, reader: str) -> Any:
    """Read one file with Py-ART (a ``Radar``) or xradar (a DataTree)."""
    lib = reader_module(reader)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if reader == "pyart":
            return lib.io.read(str(path))
        tree = _xradar_open(Path(path))
        # xradar reads lazily: the file is decoded here, inside the read's time and errors.
        return tree.load()


def read_volume(path: str | Path, reader: str, fields: Fields) -> tuple[Volume, Any]:
    """Read one file with Py-ART or xradar; returns the volume and the library's object."""
    obj = open_volume(path, reader)
    return from_object(obj, fields), obj


def default_reader() -> str:
    """Py-ART where installed, else xradar."""
    import importlib.util

    for name in READERS:
        if importlib.util.find_spec(name) is not None:
            return name
    raise ImportError(
        "reading volumes needs Py-ART or xradar: pip install 'kestrum[pyart]' or 'kestrum[xradar]'"
    )
