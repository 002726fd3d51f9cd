"""``python -m kestrum``: the version, where the native modules are, and what is installed."""

from __future__ import annotations

import importlib.metadata
import importlib.util
import os

import _ensemble
import _kestrum
import _tavolin

import kestrum

#: Optional dependencies: import name and distribution name.
OPTIONAL = [
    ("xarray", "xarray"),
    ("dask", "dask"),
    ("pint", "pint"),
    ("pyart", "arm_pyart"),
    ("xradar", "xradar"),
    ("tqdm", "tqdm"),
    ("matplotlib", "matplotlib"),
]


def report() -> str:
    lines = [f"kestrum {kestrum.__version__}", f"  package: {os.path.dirname(kestrum.__file__)}"]
    for module in (_kestrum, _ensemble, _tavolin):
        lines.append(f"  {module.__name__}: {module.__file__}")
    # The native runner sizes n_threads=0 by the processors the system has online.
    lines.append(f"hardware threads: {os.cpu_count()}")
    lines.append("optional dependencies:")
    for name, dist in OPTIONAL:
        # Looked up without importing: Py-ART in particular is slow to import.
        if importlib.util.find_spec(name) is None:
            found = "not installed"
        else:
            try:
                found = importlib.metadata.version(dist)
            except importlib.metadata.PackageNotFoundError:
                found = "installed"
        lines.append(f"  {name}: {found}")
    return "\n".join(lines)


if __name__ == "__main__":
    print(report())
