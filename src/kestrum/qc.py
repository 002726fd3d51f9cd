"""Gate quality control: textures, speckle, thresholds, ground clutter and a VAD leash.

Every function takes a sweep (rays, gates), a stack of sweeps (..., rays, gates), or a
whole Py-ART volume (rays, gates) with ``sweeps=radar.sweep_start_ray_index["data"]``;
neighbourhoods never cross from one sweep into the next.
"""

from __future__ import annotations

import enum
import importlib
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _convert as cv
from . import _geometry as geo
from . import _road
from ._road import FLAG, THREADS, Arg
from .radar import beam_height

# The radar module's kernels, untyped: private, and called only from the functions below.
_radar: Any = importlib.import_module("kestrum._radar")

if TYPE_CHECKING:
    import xarray as xr

__all__ = ["PRESETS", "GateQC", "QCFlag", "despeckle", "gate_qc", "texture"]


class QCFlag(enum.IntFlag):
    """The tests of :func:`gate_qc`: bit ``k`` of a gate's code is set when test ``k`` failed."""

    MISSING = 1
    """No field given to :func:`gate_qc` has a value at the gate."""
    REFLECTIVITY = 2
    """Reflectivity below ``min_reflectivity`` or above ``max_reflectivity``."""
    RHOHV = 4
    """Co-polar correlation below ``min_rhohv``."""
    ZDR = 8
    """Differential reflectivity outside [``min_zdr``, ``max_zdr``]."""
    SPECTRUM_WIDTH = 16
    """Spectrum width above ``max_spectrum_width``."""
    SNR = 32
    """Signal-to-noise ratio (given, or estimated from reflectivity) below ``min_snr``."""
    TEXTURE_REFLECTIVITY = 64
    TEXTURE_ZDR = 128
    TEXTURE_RHOHV = 256
    TEXTURE_PHIDP = 512
    TEXTURE_VELOCITY = 1024
    CLUTTER = 2048
    """Radial velocity slower than ``clutter_velocity`` below ``clutter_height``."""
    VAD_LEASH = 4096
    """Radial velocity too far from the VAD wind's (see :func:`gate_qc`)."""
    SPECKLE = 8192
    """Passed every test but lies in a group of fewer than ``min_size`` such gates."""
    EXCLUDED = 16384
    """Excluded by a mask from elsewhere (``exclude``, or a Py-ART ``GateFilter``)."""


#: Threshold presets of :func:`gate_qc` and where their numbers come from.
PRESETS: dict[str, dict[str, Any]] = {
    "minimal": {
        "min_reflectivity": 10.0,
        "source": "the 'minimal' level of the radar QC tool recommended by DART's radar "
        "documentation: gates below 10 dBZ removed",
    },
    "simple": {
        "min_reflectivity": 10.0,
        "max_spectrum_width": 5.0,
        "min_rhohv": 0.90,
        "max_zdr": 2.0,
        "source": "the 'simple' level of the same tool: spectrum width > 5 m/s, "
        "rhohv < 0.90, zdr > 2 dB and reflectivity < 10 dBZ removed",
    },
    "texture": {
        "min_rhohv": 0.6,
        "max_texture_phidp": 20.0,
        "max_texture_rhohv": 0.3,
        "max_texture_zdr": 2.85,
        "max_texture_reflectivity": 8.0,
        "texture_window": (1, 7),
        "source": "the defaults of Py-ART's moment_and_texture_based_gate_filter: textures "
        "over 7 gates along the ray, rhohv >= 0.6",
    },
}

# The field tests: (field, bit, lower bound, upper bound). Textures are computed by
# gate_qc itself from the field of the same name.
_FIELD_TESTS = (
    ("reflectivity", QCFlag.REFLECTIVITY, "min_reflectivity", "max_reflectivity"),
    ("rhohv", QCFlag.RHOHV, "min_rhohv", None),
    ("zdr", QCFlag.ZDR, "min_zdr", "max_zdr"),
    ("spectrum_width", QCFlag.SPECTRUM_WIDTH, None, "max_spectrum_width"),
    ("snr", QCFlag.SNR, "min_snr", None),
)
_TEXTURE_TESTS = (
    ("reflectivity", QCFlag.TEXTURE_REFLECTIVITY, "max_texture_reflectivity"),
    ("zdr", QCFlag.TEXTURE_ZDR, "max_texture_zdr"),
    ("rhohv", QCFlag.TEXTURE_RHOHV, "max_texture_rhohv"),
    ("phidp", QCFlag.TEXTURE_PHIDP, "max_texture_phidp"),
    ("velocity", QCFlag.TEXTURE_VELOCITY, "max_texture_velocity"),
)
_THRESHOLDS = tuple(
    sorted(
        {b for _, _, lo, hi in _FIELD_TESTS for b in (lo, hi) if b}
        | {b for _, _, b in _TEXTURE_TESTS}
    )
)


# --- arguments: declarations, sweeps and volumes ----------------------------------

_TEXTURE = {
    "field": Arg(),
    "window": Arg("pass"),
    "nyquist": Arg(unit="m/s", optional=True),
    "wrap": FLAG,
    "min_count": Arg("int", low=1, high=cv.INT64[1]),
    "sweeps": Arg("pass"),
    "n_threads": THREADS,
}
_DESPECKLE = {
    "valid": Arg("pass"),
    "min_size": Arg("int", low=0, high=cv.INT64[1]),
    "connectivity": Arg("int"),
    "wrap": FLAG,
    "sweeps": Arg("pass"),
    "n_threads": THREADS,
}
#: The unit of each field of gate_qc, of its bounds and of its texture's bound.
_FIELD_UNITS = {
    "reflectivity": "dB",
    "rhohv": None,
    "zdr": "dB",
    "spectrum_width": "m/s",
    "snr": "dB",
    "phidp": "degree",
    "velocity": "m/s",
}


class _Volume(NamedTuple):
    """A field as the kernels read it: (rows, gates) with the first row of each sweep."""

    rows: Any
    bounds: npt.NDArray[np.int64]
    shape: tuple[int, ...]


def _volume(func: str, name: str, value: Any, sweeps: Any) -> _Volume:
    """``value`` (..., rays, gates) as rows of rays, one sweep per leading index; or a
    (rays, gates) volume cut into sweeps where ``sweeps`` gives each sweep's first ray."""
    shape = np.shape(value)
    if len(shape) < 2:
        raise cv.fail(
            func, f"{name} must be (rays, gates) or (..., rays, gates), not shape {shape}"
        )
    rays, gates = shape[-2:]
    if sweeps is None:
        count = int(np.prod(shape[:-2], dtype=np.int64))
        bounds = np.arange(count + 1, dtype=np.int64) * rays
    else:
        if len(shape) != 2:
            raise cv.fail(
                func, f"sweeps is for a (rays, gates) volume, but {name} has shape {shape}"
            )
        starts = cv.integers(func, "sweeps", sweeps, -1).reshape(-1)
        if (
            starts.size == 0
            or starts[0] != 0
            or np.any(np.diff(starts) <= 0)
            or starts[-1] >= max(rays, 1)
        ):
            raise cv.fail(
                func,
                f"sweeps must be increasing ray indices from 0 below {rays}, "
                f"as Py-ART's sweep_start_ray_index",
            )
        bounds = np.append(starts, rays).astype(np.int64)
    return _Volume(np.reshape(value, (-1, gates)), bounds, shape)


def _window(func: str, window: Any) -> tuple[int, int]:
    sizes = (window, window) if np.ndim(window) == 0 else tuple(window)
    if len(sizes) != 2:
        raise cv.fail(func, f"window must be (rays, gates), not {window!r}")
    sizes = tuple(cv.integer(func, "window", n, 1, cv.INT64[1]) for n in sizes)
    if any(n < 1 or n % 2 == 0 for n in sizes):
        raise cv.fail(func, f"window must be odd sizes of at least 1, not {sizes}")
    return sizes[0], sizes[1]


# --- texture ------------------------------------------------------------------------


def texture(
    field: Any,
    *,
    window: Any = (3, 7),
    nyquist: Any = None,
    wrap: bool = True,
    min_count: int = 3,
    sweeps: Any = None,
    n_threads: int = 0,
) -> Any:
    """Standard deviation of each gate's neighbourhood: the texture of a radar field.

    Parameters
    ----------
    field : array_like, shape (..., rays, gates)
        Any radar field (reflectivity dBZ, ZDR dB, rhohv, phidp degrees, velocity m/s).
        NaN and masked gates are missing. Leading axes are further sweeps.
    window : int or (int, int), optional
        Odd neighbourhood size in rays and in gates, centred on the gate; one number
        is a square window. Default (3, 7): the gate's ray and the rays on either side,
        7 gates long (Py-ART's texture length along the ray).
    nyquist : float or array_like, optional
        Nyquist velocity (m/s) of the sweep or of each ray (shape (..., rays)). When
        given, the texture is circular: each value is an angle ``pi v / nyquist`` on
        the fold circle, so +nyquist and -nyquist are the same point and a folded,
        smooth velocity field has a small texture.
    wrap : bool, optional
        The first and last rays of each sweep are neighbours (a full-circle sweep).
        Set False for sectors and RHIs. The window never wraps in range.
    min_count : int, optional
        Least number of valid gates in the window for a texture (else NaN).
    sweeps : array_like of int, optional
        For a Py-ART volume of shape (rays, gates): the first ray of each sweep
        (``radar.sweep_start_ray_index["data"]``).
    n_threads : int, optional
        Threads to use; 0 means all the hardware has.

    Returns
    -------
    ndarray or MaskedArray or xarray.DataArray
        The texture, in the field's unit, with the field's shape; float32 for a
        float32 field, float64 otherwise. NaN (masked, for a masked field) where the
        gate is missing or its window has fewer than ``min_count`` valid gates.

    Raises
    ------
    ValueError
        If ``field`` has fewer than two axes, ``window`` is not odd sizes of at least
        one, ``nyquist`` is not positive or has no value per ray, ``sweeps`` is not
        increasing ray indices from 0, or ``min_count`` is below 1.

    Notes
    -----
    The linear texture is the population standard deviation (``ddof=0``, as NumPy's
    and Py-ART's ``std``) of the window's valid gates. The circular texture is the
    circular standard deviation ``(nyquist / pi) sqrt(-2 ln R)``, R the length of the
    mean of the unit vectors ``(cos a, sin a)`` of the valid gates (Mardia and Jupp
    2000, eq. 2.3.11; Py-ART's ``angular_texture_2d``). The window is clipped at the
    first and last gates, and at the first and last rays when ``wrap`` is False. On
    the fold circle a value of 2**50 folds or more is missing (no fraction of a fold
    is left at that size). Results are the same bits for every thread count.

    Examples
    --------
    >>> import numpy as np, kestrum
    >>> v = np.tile([9.0, -9.5, 9.8, -9.9], (4, 2))       # folded at nyquist 10 m/s
    >>> kestrum.texture(v, window=3).max().round(2)        # linear: huge
    np.float64(9.85)
    >>> kestrum.texture(v, window=3, nyquist=10.0).max().round(2)
    np.float64(0.75)
    """
    return _texture_of("texture", **_road.arguments("texture", _TEXTURE, locals()))


def _texture_of(
    func: str,
    field: Any,
    window: Any,
    nyquist: Any,
    wrap: bool,
    min_count: int,
    sweeps: Any,
    n_threads: int,
) -> Any:
    half_rays, half_gates = (n // 2 for n in _window(func, window))

    def kernel(values: Any, nyq: Any, mask: Any = None) -> Any:
        vol = _volume(func, "field", values, sweeps)
        half = (half_rays, half_gates)
        return _texture(func, vol, nyq, half, wrap, min_count, n_threads, mask)

    if cv.is_dataarray(field):
        # The window needs whole sweeps: the data are read in one piece, not by chunks.
        values = np.asarray(field.values)
        values = values if values.dtype == np.float32 else values.astype(np.float64, copy=False)
        nyq = None if nyquist is None else np.asarray(getattr(nyquist, "values", nyquist))
        out = field.copy(data=kernel(values, nyq)).rename("texture")
        out.attrs = {"long_name": "texture", "units": field.attrs.get("units", "")}
        return out
    values = cv.array(func, "field", field)
    data, mask = _unfilled(func, "field", values)
    return cv.masked_like(values, kernel(data, nyquist, mask))


def _texture(
    func: str,
    vol: _Volume,
    nyquist: Any,
    half: tuple[int, int],
    wrap: bool,
    min_count: int,
    n_threads: int,
    mask: Any = None,
) -> Any:
    """The native texture of a volume, in the volume's shape. ``mask`` (uint8 in the
    volume's shape) marks more missing gates than NaN."""
    rates = _rates(func, nyquist, vol.shape)
    mask = _NO_MASK if mask is None else _rows(mask, vol.rows.shape[1])
    return _radar.texture(
        vol.rows, mask, vol.bounds, rates, half[0], half[1], wrap, min_count, n_threads
    ).reshape(vol.shape)


def _rates(func: str, nyquist: Any, shape: tuple[int, ...]) -> Any:
    """Nyquist velocity per ray of a volume of ``shape``, or empty for a linear texture."""
    if nyquist is None:
        return np.empty(0)
    rates = cv.per_ray(func, "nyquist", nyquist, shape[:-1])
    if not np.all(rates > 0) or not np.all(np.isfinite(rates)):
        raise cv.fail(func, "nyquist must be positive and finite")
    return rates


def _rows(mask: Any, gates: int) -> Any:
    """A mask from :func:`_unfilled` as the kernels' rows (an empty one as it is)."""
    return mask.reshape(-1, gates) if mask.size else mask


# --- despeckle ----------------------------------------------------------------------


def despeckle(
    valid: Any,
    *,
    min_size: int = 10,
    connectivity: int = 4,
    wrap: bool = True,
    sweeps: Any = None,
    n_threads: int = 0,
) -> Any:
    """Removes groups of connected valid gates smaller than ``min_size``.

    Parameters
    ----------
    valid : array_like, shape (..., rays, gates)
        Which gates are valid: a boolean mask, or a field whose finite, unmasked
        gates are the valid ones. Leading axes are further sweeps.
    min_size : int, optional
        Least number of gates of a group that is kept (Py-ART's ``despeckle_field``
        default, 10).
    connectivity : {4, 8}, optional
        Gates are neighbours when they share a side (4: the next gate on the ray, the
        same gate on the next ray; ``scipy.ndimage.label``'s default) or also a corner (8).
    wrap : bool, optional
        The first and last rays of each sweep are neighbours (a full-circle sweep).
    sweeps : array_like of int, optional
        For a Py-ART volume of shape (rays, gates): the first ray of each sweep.
    n_threads : int, optional
        Threads to use (one sweep per thread at a time); 0 means all the hardware has.

    Returns
    -------
    ndarray of bool or xarray.DataArray
        The kept gates: valid and in a group of at least ``min_size`` gates.

    Raises
    ------
    ValueError
        If ``valid`` has fewer than two axes, ``connectivity`` is not 4 or 8,
        ``min_size`` is negative, or ``sweeps`` is not increasing ray indices from 0.

    Notes
    -----
    Each sweep is labelled on its own (one sweep per thread): runs of valid gates along
    each ray are joined with the touching runs of the next ray by union-find, and the
    last ray with the first when ``wrap``. The result equals ``scipy.ndimage.label``'s
    groups with the groups that meet across the wrap joined.

    Examples
    --------
    >>> import numpy as np, kestrum
    >>> valid = np.zeros((6, 8), bool)
    >>> valid[0, :3] = valid[5, :3] = True      # one group of 6 across the wrap
    >>> valid[2, 5] = True                      # a lone gate
    >>> kestrum.despeckle(valid, min_size=4).sum()
    np.int64(6)
    """
    return _despeckle("despeckle", **_road.arguments("despeckle", _DESPECKLE, locals()))


def _despeckle(
    func: str, valid: Any, min_size: int, connectivity: int, wrap: bool, sweeps: Any, n_threads: int
) -> Any:
    if connectivity not in (4, 8):
        raise cv.fail(func, f"connectivity must be 4 or 8, not {connectivity}")

    def kernel(mask: Any) -> Any:
        vol = _volume(func, "valid", mask, sweeps)
        kept = _radar.despeckle(vol.rows, vol.bounds, min_size, connectivity, wrap, n_threads)
        return kept.reshape(vol.shape)

    if cv.is_dataarray(valid):
        return valid.copy(data=kernel(_valid_mask(func, valid.values))).rename("kept")
    return kernel(_valid_mask(func, valid))


def _valid_mask(func: str, value: Any) -> npt.NDArray[np.bool_]:
    value = cv.array(func, "valid", value)
    out: npt.NDArray[np.bool_]
    if value.dtype == bool:
        out = np.asarray(cv.filled(value, False), dtype=bool)
    else:
        out = np.isfinite(cv.nan_where_masked(value.astype(np.float64, copy=False)))
    return out


# --- the combined test ------------------------------------------------------------


class GateQC(NamedTuple):
    """What :func:`gate_qc` found: the failed tests of each gate, and the gates kept."""

    flags: npt.NDArray[np.uint32]
    """Bit code of the failed tests (:class:`QCFlag`), the field's shape; 0 where all passed."""
    keep: npt.NDArray[np.bool_]
    """``flags == 0``: the gates that passed every test."""

    def failed(self, test: QCFlag) -> npt.NDArray[np.bool_]:
        """The gates that failed ``test`` (any of them, for several flags or'ed together)."""
        failed: npt.NDArray[np.bool_] = (self.flags & np.uint32(test)) != 0
        return failed

    def counts(self) -> dict[str, int]:
        """Number of gates that failed each test (a gate may fail several), and kept."""
        out = {str(flag.name): int(np.count_nonzero(self.failed(flag))) for flag in QCFlag}
        return {**{k: v for k, v in out.items() if v}, "kept": int(np.count_nonzero(self.keep))}

    def to_gatefilter(self, radar: Any) -> Any:
        """A Py-ART ``GateFilter`` of ``radar`` that excludes every gate not kept.

        The flags must have the radar's (rays, gates) shape.
        """
        from pyart.filters import GateFilter  # type: ignore[import-untyped]

        keep = np.asarray(self.keep)
        if keep.shape != (radar.nrays, radar.ngates):
            raise cv.fail(
                "to_gatefilter",
                f"the flags have shape {keep.shape}, the radar ({radar.nrays}, {radar.ngates})",
            )
        gatefilter = GateFilter(radar)
        gatefilter.exclude_gates(~keep)
        return gatefilter

    @classmethod
    def from_gatefilter(cls, gatefilter: Any) -> GateQC:
        """The gates a Py-ART ``GateFilter`` excludes, flagged :attr:`QCFlag.EXCLUDED`."""
        return cls.from_mask(~np.asarray(gatefilter.gate_excluded, dtype=bool))

    @classmethod
    def from_mask(cls, keep: Any) -> GateQC:
        """Gates to keep from elsewhere; the others are flagged :attr:`QCFlag.EXCLUDED`."""
        keep = np.asarray(keep, dtype=bool)
        flags = np.where(keep, np.uint32(0), np.uint32(QCFlag.EXCLUDED)).astype(np.uint32)
        return cls(flags, keep)

    def to_xarray(self, like: Any = None, dims: tuple[str, ...] | None = None) -> xr.Dataset:
        """A Dataset with ``qc_flags`` (CF ``flag_masks`` and ``flag_meanings``) and ``keep``.

        ``like`` (a DataArray of the field's shape) lends its dimensions and
        coordinates; otherwise ``dims`` names them (default ``azimuth``, ``range``
        for the last two, as xradar's sweeps).
        """
        import xarray as xr

        shape = np.shape(self.flags)
        if like is not None:
            if like.shape != shape:
                raise cv.fail("to_xarray", f"like has shape {like.shape}, the flags {shape}")
            ds = cv.dataset_like(like, {"qc_flags": self.flags, "keep": self.keep}, ())
        else:
            dims = dims or tuple(f"dim_{i}" for i in range(len(shape) - 2)) + ("azimuth", "range")
            ds = xr.Dataset({"qc_flags": (dims, self.flags), "keep": (dims, self.keep)})
        ds["qc_flags"].attrs.update(
            long_name="gate quality control: failed tests",
            flag_masks=np.array([int(f) for f in QCFlag], dtype=np.uint32),
            flag_meanings=" ".join(f.name.lower() for f in QCFlag),  # type: ignore[union-attr]
        )
        ds["keep"].attrs.update(long_name="gate passed every quality control test")
        out: xr.Dataset = ds
        return out

    @classmethod
    def from_xarray(cls, ds: Any) -> GateQC:
        """The result written by :meth:`to_xarray` (``qc_flags``; ``keep`` is rederived)."""
        flags = np.asarray(ds["qc_flags"].values, dtype=np.uint32)
        return cls(flags, flags == 0)


def _profile_table(func: str, vad: Any) -> tuple[Any, Any, Any]:
    """(height, u, v) of the valid levels of a VAD profile, sorted by height."""

    def get(name: str) -> Any:
        value = getattr(vad, name, None)
        if value is None:
            try:
                value = vad[name]
            except (KeyError, TypeError, IndexError):
                raise cv.fail(
                    func, f"vad must be a VADProfile or vad_xradar's Dataset, without {name!r}"
                ) from None
        return cv.nan_filled(getattr(value, "values", value)).reshape(-1)

    height, u, v = get("height"), get("u"), get("v")
    ok = np.isfinite(height) & np.isfinite(u) & np.isfinite(v)
    order = np.argsort(height[ok], kind="stable")
    return height[ok][order], u[ok][order], v[ok][order]


_GATE_QC = {
    **{name: Arg(unit=unit, optional=True) for name, unit in _FIELD_UNITS.items()},
    "preset": Arg("pass"),
    # A bound is in its field's unit, a texture's bound too.
    **{
        bound: Arg("float", unit=_FIELD_UNITS[name], optional=True)
        for name, _, low, high in _FIELD_TESTS
        for bound in (low, high)
        if bound
    },
    **{
        bound: Arg("float", unit=_FIELD_UNITS[name], optional=True)
        for name, _, bound in _TEXTURE_TESTS
    },
    "noise_reflectivity": Arg("float", unit="dB", optional=True),
    "texture_window": Arg("pass"),
    "nyquist": Arg(unit="m/s", optional=True),
    "range": Arg(unit="m", optional=True),
    "elevation": Arg(unit="degree", optional=True),
    "azimuth": Arg(unit="degree", optional=True),
    "altitude": Arg("float", unit="m"),
    "clutter_velocity": Arg("float", unit="m/s", optional=True),
    "clutter_height": Arg("float", unit="m"),
    "vad": Arg("pass"),
    "leash_fraction": Arg("float"),
    "leash_floor": Arg("float", unit="m/s"),
    "min_size": Arg("int", low=0, high=cv.INT64[1], optional=True),
    "connectivity": Arg("int"),
    "exclude": Arg("pass"),
    "wrap": FLAG,
    "sweeps": Arg("pass"),
    "n_threads": THREADS,
}


def gate_qc(
    *,
    reflectivity: Any = None,
    rhohv: Any = None,
    zdr: Any = None,
    spectrum_width: Any = None,
    snr: Any = None,
    phidp: Any = None,
    velocity: Any = None,
    preset: str | None = None,
    min_reflectivity: float | None = None,
    max_reflectivity: float | None = None,
    min_rhohv: float | None = None,
    min_zdr: float | None = None,
    max_zdr: float | None = None,
    max_spectrum_width: float | None = None,
    min_snr: float | None = None,
    noise_reflectivity: float | None = None,
    max_texture_reflectivity: float | None = None,
    max_texture_zdr: float | None = None,
    max_texture_rhohv: float | None = None,
    max_texture_phidp: float | None = None,
    max_texture_velocity: float | None = None,
    texture_window: Any = None,
    nyquist: Any = None,
    range: Any = None,  # noqa: A002
    elevation: Any = None,
    azimuth: Any = None,
    altitude: float = 0.0,
    clutter_velocity: float | None = None,
    clutter_height: float = 1000.0,
    vad: Any = None,
    leash_fraction: float = 0.3,
    leash_floor: float = 1.0,
    min_size: int | None = None,
    connectivity: int = 4,
    exclude: Any = None,
    wrap: bool = True,
    sweeps: Any = None,
    n_threads: int = 0,
) -> GateQC:
    """Tests every gate against thresholds on the fields given; says which tests failed.

    Each test runs only where its inputs are given; a gate whose value of a field is
    missing is not tested on that field. Thresholds left None take the ``preset``'s
    value (none without a preset); NaN turns a preset's test off.

    Parameters
    ----------
    reflectivity, rhohv, zdr, spectrum_width, snr, phidp, velocity : array_like, optional
        Fields of shape (..., rays, gates), all the same shape: reflectivity (dBZ),
        co-polar correlation (unitless), differential reflectivity (dB), spectrum
        width (m/s), signal-to-noise ratio (dB), differential phase (degrees, for its
        texture only) and radial velocity (m/s). NaN and masked gates are missing.
    preset : {"minimal", "simple", "texture"}, optional
        Thresholds from ``kestrum.PRESETS``:

        ==========  ============================================================
        minimal     reflectivity >= 10 dBZ (DART's recommended QC tool, level 1)
        simple      reflectivity >= 10 dBZ, spectrum width <= 5 m/s,
                    rhohv >= 0.90, zdr <= 2 dB (the same tool, level 2)
        texture     rhohv >= 0.6; textures over 7 gates along the ray of phidp
                    <= 20°, rhohv <= 0.3, zdr <= 2.85 dB, reflectivity <= 8 dB
                    (Py-ART's ``moment_and_texture_based_gate_filter``)
        ==========  ============================================================
    min_reflectivity, max_reflectivity, min_rhohv, min_zdr, max_zdr, max_spectrum_width, min_snr : float, optional
        Bounds of the field tests, in the fields' units (a gate exactly at a bound passes).
    noise_reflectivity : float, optional
        Reflectivity (dBZ) of the noise at 1 km, for an SNR estimated from
        reflectivity and range where ``snr`` is not given:
        ``snr = reflectivity - noise_reflectivity - 20 log10(range / 1 km)``. Default:
        the weakest range-corrected echo of the data (as Py-ART's
        ``calculate_snr_from_reflectivity``).
    max_texture_reflectivity, max_texture_zdr, max_texture_rhohv, max_texture_phidp, max_texture_velocity : float, optional
        Upper bounds of the fields' textures (:func:`texture`); the velocity's is
        circular when ``nyquist`` is given.
    texture_window : int or (int, int), optional
        Window of the textures, default (3, 7) (``texture``'s default).
    nyquist : float or array_like, optional
        Nyquist velocity, m/s, of the sweep or each ray (for the velocity texture).
    range : array_like, shape (gates,), optional
        Range of each gate, m, increasing (SNR estimate, clutter, leash).
    elevation, azimuth : float or array_like, shape (..., rays), optional
        Elevation and azimuth of each ray (or of each sweep), degrees.
    altitude : float, optional
        Antenna height in the reference of the VAD profile's heights, m (what was
        given to :func:`vad_pyart` or :func:`vad_xradar`).
    clutter_velocity : float, optional
        Gates whose beam centre is below ``clutter_height`` (m above the antenna, 4/3
        earth model) with a radial speed below this (m/s) are ground clutter.
    vad : VADProfile or xarray.Dataset, optional
        A VAD profile (:func:`vad_pyart`, :func:`vad_xradar`), interpolated in height
        to each gate. A gate fails the leash when
        ``|v - (u sin az + v_vad cos az) cos el| > max(leash_fraction * speed, leash_floor)``,
        speed the VAD wind's (NOAA's defaults: 30% of the speed, at least 1 m/s).
        Gates above or below the profile's valid levels are not tested.
    min_size : int, optional
        After the tests, groups of passing gates smaller than this are flagged
        :attr:`QCFlag.SPECKLE` (:func:`despeckle` with ``connectivity`` and ``wrap``).
    exclude : array_like of bool or GateFilter, optional
        Gates already excluded elsewhere (True: excluded), flagged
        :attr:`QCFlag.EXCLUDED`; a Py-ART ``GateFilter``'s excluded gates.
    wrap, sweeps, n_threads
        As for :func:`texture`.

    Returns
    -------
    GateQC
        ``flags`` (uint32 bit codes of :class:`QCFlag`) and ``keep`` (``flags == 0``),
        of the fields' shape.

    Raises
    ------
    ValueError
        If no field is given, the fields differ in shape, a threshold names a field
        that is not given, a test lacks the geometry it needs (``range``, ``elevation``,
        ``azimuth``), or ``preset`` is not one of ``kestrum.PRESETS``.

    Notes
    -----
    Bounds are compared in the fields' own type: float32 fields (Py-ART's) against the
    bounds rounded to float32, as NumPy compares them. A gate missing in every field
    given is flagged :attr:`QCFlag.MISSING`. Heights for the clutter test and the leash
    are those of :func:`beam_height` (4/3 earth model), computed once per distinct
    elevation. Textures use ``min_count=3``. The velocity clutter test also catches
    weather where the wind crosses the beam (the zero isodop), so keep
    ``clutter_height`` low or combine it with polarimetric tests.

    Examples
    --------
    >>> import numpy as np, kestrum
    >>> dbz = np.array([[5.0, 20.0, np.nan], [30.0, 40.0, 35.0]])
    >>> rho = np.array([[0.99, 0.7, 0.98], [0.95, 0.99, np.nan]])
    >>> qc = kestrum.gate_qc(reflectivity=dbz, rhohv=rho, preset="simple")
    >>> qc.flags
    array([[2, 4, 0],
           [0, 0, 0]], dtype=uint32)
    >>> [kestrum.QCFlag(int(f)) for f in qc.flags[0, :2]]
    [<QCFlag.REFLECTIVITY: 2>, <QCFlag.RHOHV: 4>]
    """
    func = "gate_qc"
    args = _road.arguments(func, _GATE_QC, locals())
    given = {k: args[k] for k in _THRESHOLDS}
    settings = _settings(func, preset, given, texture_window)
    fields = {name: args[name] for name in _FIELD_UNITS if args[name] is not None}
    (
        nyquist,
        range,
        elevation,
        azimuth,
        altitude,
        clutter_velocity,
        clutter_height,
        leash_fraction,
        leash_floor,
        noise_reflectivity,
        min_size,
        wrap,
        n_threads,
    ) = (
        args[k]
        for k in (
            "nyquist",
            "range",
            "elevation",
            "azimuth",
            "altitude",
            "clutter_velocity",
            "clutter_height",
            "leash_fraction",
            "leash_floor",
            "noise_reflectivity",
            "min_size",
            "wrap",
            "n_threads",
        )
    )
    if not fields:
        raise cv.fail(func, "no field given")
    # Float32 fields (Py-ART's) are read as they are, and their bounds are compared in
    # float32 as NumPy would (a stored 0.9 is at the bound 0.9, not below it).
    single = all(getattr(v, "dtype", None) == np.float32 for v in fields.values())
    dtype = np.float32 if single else np.float64
    # Data and masks as they are: no filled copies of the fields.
    unfilled = {n: _unfilled(func, n, v, dtype) for n, v in fields.items()}
    arrays = {n: data for n, (data, _) in unfilled.items()}
    masks = {n: mask for n, (_, mask) in unfilled.items()}
    shape = next(iter(arrays.values())).shape
    for a in arrays.values():
        if a.shape != shape or len(shape) < 2:
            raise cv.fail(
                func,
                f"every field must have one shape (..., rays, gates): "
                f"{cv.describe([(k, b.shape) for k, b in arrays.items()])}",
            )
    vol = _volume(func, "field", arrays[next(iter(arrays))], sweeps)
    gates = shape[-1]

    planes, plane_masks, offsets, lo, hi, bits = [], [], [], [], [], []

    tested = set()

    def test(name: str, bit: int, low: Any, high: Any, offset: Any = None) -> None:
        low = np.nan if low is None else low
        high = np.nan if high is None else high
        if np.isnan(low) and np.isnan(high) and bit:
            return
        tested.add(name)
        planes.append(arrays[name].reshape(-1, gates))
        plane_masks.append(_rows(masks[name], gates))
        offsets.append(np.empty(0) if offset is None else offset)
        lo.append(float(dtype(low)))
        hi.append(float(dtype(high)))
        bits.append(int(bit))

    for name, bit, low, high in _FIELD_TESTS:
        low_value = settings.get(low) if low else None
        high_value = settings.get(high) if high else None
        if name in arrays:
            test(name, bit, low_value, high_value)
        elif name == "snr" and low_value is not None and "reflectivity" in arrays:
            r = _range(func, range, gates, "an SNR estimated from reflectivity", positive=True)
            offset = 20.0 * np.log10(r / 1000.0)
            noise = noise_reflectivity
            if noise is None:
                z = _field(func, "reflectivity", fields["reflectivity"], dtype).reshape(-1, gates)
                with np.errstate(invalid="ignore"):
                    corrected = z - offset
                noise = float(np.nanmin(corrected)) if np.isfinite(corrected).any() else 0.0
            test("reflectivity", bit, low_value, high_value, offset + noise)
        elif (low and given.get(low) is not None) or (high and given.get(high) is not None):
            raise cv.fail(func, f"a threshold on {name} needs {name}")

    sizes = _window(func, settings.get("texture_window", (3, 7)))
    half = (sizes[0] // 2, sizes[1] // 2)
    texture_tests = []
    for name, bit, bound in _TEXTURE_TESTS:
        limit = settings.get(bound)
        if limit is None or np.isnan(limit):
            continue
        if name not in arrays:
            if given.get(bound) is not None:
                raise cv.fail(func, f"{bound} needs {name}")
            continue  # a preset's test of a field the caller does not have
        rates = nyquist if name == "velocity" else None
        texture_tests.append((name, bit, float(dtype(limit)), rates))

    # Fields without a test of their own still say that the gate has data.
    for name in arrays:
        if name != "velocity" and name not in tested:
            test(name, 0, None, None)
    velocity = fields.get("velocity")
    native = _velocity_tests(
        func,
        None if velocity is None else _field(func, "velocity", velocity, dtype),
        dtype,
        vol,
        range,
        elevation,
        azimuth,
        altitude,
        clutter_velocity,
        clutter_height,
        vad,
        leash_fraction,
        leash_floor,
    )
    # The textures' tests run inside the texture pass, on each runner item's rows
    # right after the other tests.
    texture_rows, texture_rates = [], []
    for name, _, _, nyq in texture_tests:
        field = _volume(func, name, arrays[name], sweeps)
        texture_rows.append(field.rows)
        texture_rates.append(_rates(func, nyq, field.shape))
    flags = _radar.flags(
        planes,
        plane_masks,
        offsets,
        np.array(lo, float),
        np.array(hi, float),
        np.array(bits, np.int64),
        int(QCFlag.MISSING),
        *native,
        vol.rows.shape[0],
        gates,
        texture_rows,
        [_rows(masks[name], gates) for name, *_ in texture_tests],
        vol.bounds,
        texture_rates,
        *half,
        wrap,
        3,
        np.array([limit for _, _, limit, _ in texture_tests], float),
        np.array([int(bit) for _, bit, _, _ in texture_tests], np.int64),
        n_threads,
    )
    flags = flags.reshape(shape)
    if exclude is not None:
        excluded = (
            np.asarray(exclude.gate_excluded)
            if hasattr(exclude, "gate_excluded")
            else np.asarray(exclude, dtype=bool)
        )
        if excluded.shape != shape:
            raise cv.fail(func, f"exclude has shape {excluded.shape}, the fields {shape}")
        flags[excluded] |= np.uint32(QCFlag.EXCLUDED)
    if min_size is not None:
        passed = flags == 0
        kept = _despeckle(func, passed, min_size, args["connectivity"], wrap, sweeps, n_threads)
        flags[passed & ~kept] |= np.uint32(QCFlag.SPECKLE)
    return GateQC(flags, flags == 0)


def _settings(
    func: str, preset: str | None, given: Mapping[str, Any], window: Any
) -> dict[str, Any]:
    settings: dict[str, Any] = {}
    if preset is not None:
        if preset not in PRESETS:
            raise cv.fail(func, f"preset must be one of {sorted(PRESETS)}, not {preset!r}")
        settings.update({k: v for k, v in PRESETS[preset].items() if k != "source"})
    settings.update({name: value for name, value in given.items() if value is not None})
    if window is not None:
        settings["texture_window"] = window
    return settings


def _field(func: str, name: str, value: Any, dtype: Any) -> Any:
    """A field in ``dtype`` with NaN where it is masked: read by several kernels, so
    converted once."""
    return cv.nan_data(cv.array(func, name, value, None), dtype, copy=False)


#: The mask of a field without one (the kernels read nothing through it).
_NO_MASK = np.empty(0, np.uint8)


def _unfilled(func: str, name: str, value: Any, dtype: Any = None) -> tuple[Any, Any]:
    """A large field as the kernels read it, without a filled copy: its data in
    ``dtype`` (by default float32 as Py-ART's fields are, else float64) and its mask as
    uint8 in the field's shape, or an empty mask if it has none. NaN is missing too."""
    value = cv.array(func, name, value, None)
    if dtype is None:
        dtype = np.float32 if value.dtype == np.float32 else np.float64
    data, mask = cv.data_and_mask(value, dtype)
    return data, _NO_MASK if mask is None else mask


def _range(func: str, value: Any, gates: int, why: str, positive: bool = False) -> Any:
    if value is None:
        raise cv.fail(func, f"range is needed for {why}")
    r = cv.nan_filled(cv.array(func, "range", value)).reshape(-1)
    if r.shape != (gates,):
        raise cv.fail(func, f"range has {r.size} values for {gates} gates")
    if not np.all(np.isfinite(r)) or np.any(np.diff(r) <= 0):
        raise cv.fail(func, "range must be finite and increasing")
    if positive and np.any(r <= 0):
        raise cv.fail(func, f"range must be positive for {why}")
    return r


def _velocity_tests(
    func: str,
    velocity: Any,
    dtype: Any,
    vol: _Volume,
    range_: Any,
    elevation: Any,
    azimuth: Any,
    altitude: float,
    clutter_velocity: float | None,
    clutter_height: float,
    vad: Any,
    leash_fraction: float,
    leash_floor: float,
) -> tuple[Any, ...]:
    """The native arguments of the clutter test and the leash (empty where not asked)."""
    none = np.empty(0)
    empty_i = np.empty(0, np.int64)
    if velocity is None:
        if clutter_velocity is not None or vad is not None:
            raise cv.fail(func, "the clutter test and the VAD leash need velocity")
        return (
            np.empty(0, dtype),
            empty_i,
            0.0,
            0,
            none.reshape(0, 0),
            none.reshape(0, 0),
            empty_i,
            none,
            none,
            none,
            0.0,
            0.0,
            0,
        )
    gates = vol.rows.shape[1]
    clutter_gates, vad_u, vad_v, level = (
        empty_i,
        none.reshape(0, gates),
        none.reshape(0, gates),
        empty_i,
    )
    sin_az = cos_az = cos_el = none
    speed = 0.0
    if clutter_velocity is not None or vad is not None:
        why = "the clutter test and the VAD leash"
        r = _range(func, range_, gates, why)
        if elevation is None:
            raise cv.fail(func, f"elevation is needed for {why}")
        el = cv.per_ray(func, "elevation", elevation, vol.shape[:-1])
        if not np.all(np.isfinite(el)):
            raise cv.fail(func, "elevation has missing values")
        geo.check_elevation(func, "elevation", el)
        # Heights are computed once per distinct elevation, not per gate.
        levels, row_level = np.unique(el, return_inverse=True)
        height = beam_height(r[None, :], levels[:, None]).height
        if clutter_velocity is not None:
            speed, top = clutter_velocity, clutter_height
            # Below the height is a prefix of the ray: the beam rises with range once
            # past its lowest point, which is below the antenna for negative elevations.
            high = height >= top
            prefix = np.where(high.any(axis=1), high.argmax(axis=1), gates)
            clutter_gates = prefix[row_level].astype(np.int64)
        if vad is not None:
            if azimuth is None:
                raise cv.fail(func, "azimuth is needed for the VAD leash")
            az = np.deg2rad(cv.per_ray(func, "azimuth", azimuth, vol.shape[:-1]))
            h, u, v = _profile_table(func, vad)
            at = height + altitude
            if h.size:
                vad_u = np.interp(at, h, u, left=np.nan, right=np.nan)
                vad_v = np.interp(at, h, v, left=np.nan, right=np.nan)
            else:
                vad_u = vad_v = np.full(at.shape, np.nan)
            level = row_level.astype(np.int64)
            sin_az, cos_az = np.sin(az), np.cos(az)
            cos_el = np.cos(np.deg2rad(el))
    return (
        velocity.reshape(-1, gates),
        clutter_gates,
        speed,
        int(QCFlag.CLUTTER),
        vad_u,
        vad_v,
        level,
        sin_az,
        cos_az,
        cos_el,
        leash_fraction,
        leash_floor,
        int(QCFlag.VAD_LEASH),
    )
