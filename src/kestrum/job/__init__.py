"""The observation job: radar volumes in, assimilation-ready observation files out.

- :func:`observations`: one volume (Py-ART ``Radar`` or xradar DataTree) through
  quality control, dealiasing and superobservations, to DART batches and a WRFDA block,
  with the fate of every gate and the time of every step;
- :func:`run`: many files, read and processed in parallel on this machine or on a
  Dask cluster, merged into one DART ``obs_seq`` file and one WRFDA radar file;
- :class:`Config` and :func:`load_config`: every setting, with its default, from TOML.

The command ``python -m kestrum obs`` (or ``kestrum obs``) runs :func:`run`.
"""

from .batch import Failure, JobResult, as_datetime, process_file, run, summary
from .config import QC, Config, ConfigError, Dealias, Fields, Output, Superobs, load_config
from .pipeline import STEPS, GateFates, VolumeObservations, observations
from .volume import Volume, default_reader, from_object, read_volume

__all__ = [
    "QC",
    "STEPS",
    "Config",
    "ConfigError",
    "Dealias",
    "Failure",
    "Fields",
    "GateFates",
    "JobResult",
    "Output",
    "Superobs",
    "Volume",
    "VolumeObservations",
    "as_datetime",
    "default_reader",
    "from_object",
    "load_config",
    "observations",
    "process_file",
    "read_volume",
    "run",
    "summary",
]
