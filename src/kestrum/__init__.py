"""kestrum: weather-radar data assimilation kernels with a NumPy, xarray and Dask API.

Winds from radar sweeps (:func:`vad`, :func:`beam_height`, :func:`vad_pyart`,
:func:`vad_xradar`); radar volume processing: gate quality control (:func:`texture`,
:func:`despeckle`, :func:`gate_qc`), dealiased radial velocities (:func:`dealias`,
:func:`dealias_pyart`, :func:`dealias_xradar`) and superobservations
(:func:`superobs`, :func:`superobs_pyart`, :func:`superobs_xradar`); fields on a
model grid (:func:`thermo`, :func:`gradient`, :func:`profile`, :func:`cold_pool`);
ensembles of observations (:func:`perturb`, :func:`statistics`, :func:`mode`); all
written as complete WRFDA and DART observation files (:func:`write_wrfda_radar`,
:func:`write_dart_obs_seq`). :func:`observations` takes a radar volume through quality
control, dealiasing and superobservations to those files' observations; the
:mod:`kestrum.job` package and the ``kestrum obs`` command do it for many volumes.

Each function takes NumPy arrays (masked arrays and pint quantities included) or
xarray DataArrays, and returns a NamedTuple of named fields: ``result.u`` is the field
for every input type, a NumPy array for NumPy input and a DataArray for DataArray
input, and ``result.to_dataset()`` gathers DataArray fields into one
``xarray.Dataset``. The native modules ``_kestrum``, ``_ensemble`` and ``_tavolin``,
and ``kestrum._radar`` for the radar volume kernels, are the private, raw layer
underneath.
"""

from importlib.metadata import PackageNotFoundError, version

from .dealias import Dealiased, dealias, dealias_pyart, dealias_xradar
from .ensemble import Mode, Perturbed, Statistics, mode, perturb, statistics
from .fields import ColdPool, Gradient, Profile, Thermo, cold_pool, gradient, profile, thermo
from .job import observations
from .obsfiles import DartBatch, WrfdaRadar, WriteCounts, write_dart_obs_seq, write_wrfda_radar
from .qc import PRESETS, GateQC, QCFlag, despeckle, gate_qc, texture
from .radar import VAD, BeamPosition, VADProfile, beam_height, vad, vad_pyart, vad_xradar
from .superobs import Superobs, superobs, superobs_pyart, superobs_xradar

try:
    __version__ = version("kestrum")
except PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "PRESETS",
    "VAD",
    "BeamPosition",
    "ColdPool",
    "DartBatch",
    "GateQC",
    "Dealiased",
    "Gradient",
    "Mode",
    "Perturbed",
    "Profile",
    "QCFlag",
    "Statistics",
    "Superobs",
    "Thermo",
    "VADProfile",
    "WriteCounts",
    "WrfdaRadar",
    "__version__",
    "beam_height",
    "cold_pool",
    "despeckle",
    "gate_qc",
    "dealias",
    "dealias_pyart",
    "dealias_xradar",
    "gradient",
    "mode",
    "observations",
    "perturb",
    "profile",
    "statistics",
    "superobs",
    "superobs_pyart",
    "superobs_xradar",
    "texture",
    "thermo",
    "vad",
    "vad_pyart",
    "vad_xradar",
    "write_dart_obs_seq",
    "write_wrfda_radar",
]
