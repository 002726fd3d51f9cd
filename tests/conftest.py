"""Settings for runs of the suite against a sanitizer build of the modules.

.ci/sanitizers builds the modules with sanitizers into a folder of its own, puts that
folder first on PYTHONPATH and names it and the sanitizers in two variables:
KESTRUM_BUILD and KESTRUM_SANITIZE (e.g. "address,undefined" or "thread"). Without them
the suite runs against whatever build is installed, and nothing here changes a test.
"""

import importlib
import os
from pathlib import Path

import pytest

SANITIZE = [name for name in os.environ.get("KESTRUM_SANITIZE", "").split(",") if name]
BUILD = os.environ.get("KESTRUM_BUILD")


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "memory_limit: caps the address space or makes an allocation fail (not run under AddressSanitizer)",
    )
    if BUILD:
        # A stale module installed elsewhere would make a clean sanitizer run mean nothing.
        # kestrum._radar sits inside the package, which .ci/sanitizers copies beside the
        # build (BUILD/pkg/kestrum) with the sanitizer build of the module in it.
        places = {"kestrum._radar": Path(BUILD, "pkg", "kestrum")}
        for name in ("_kestrum", "_ensemble", "_tavolin", "kestrum._radar"):
            file = Path(importlib.import_module(name).__file__).resolve()
            if file.parent != places.get(name, Path(BUILD)).resolve():
                raise pytest.UsageError(
                    f"{name} was imported from {file}, not from the build in {BUILD}"
                )


def pytest_runtest_setup(item):
    if "address" in SANITIZE and item.get_closest_marker("memory_limit"):
        pytest.skip(
            "AddressSanitizer maps terabytes of shadow memory, which no address-space cap "
            "leaves room for, and ends the process on a failed allocation instead of throwing"
        )


@pytest.fixture(scope="session")
def sanitizer_flags():
    """Compiler flags that build a native test program with the same sanitizers as the modules
    (those of KESTRUM_SANITIZE in CMakeLists.txt)."""
    if not SANITIZE:
        return []
    return [
        f"-fsanitize={','.join(SANITIZE)}",
        "-fno-sanitize-recover=all",
        "-g",
        "-fno-omit-frame-pointer",
        "-D_GLIBCXX_ASSERTIONS",
    ]
