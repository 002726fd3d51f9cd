"""The build from source and the package metadata."""

import json
import os
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
NO_COMPILER = (
    "kestrum needs a C++20 compiler and found none: install g++ 10 or newer "
    "(Debian, Ubuntu: apt-get install g++; Fedora: dnf install gcc-c++) "
    "or clang++ 10 or newer, or set CXX to one"
)


def executable(name):
    """The first compiled program of this name on PATH: wrapper scripts (pyenv's shims)
    need an interpreter that the bare PATH below does not have."""
    for folder in os.environ.get("PATH", "").split(os.pathsep):
        path = Path(folder) / name
        if path.is_file() and os.access(path, os.X_OK):
            with open(path, "rb") as f:
                if f.read(4) == b"\x7fELF":
                    return path.resolve()
    return None


@pytest.mark.skipif(not (ROOT / "CMakeLists.txt").exists(), reason="needs the source tree")
def test_configure_without_a_compiler_stops_with_one_line(tmp_path):
    cmake = executable("cmake")
    if cmake is None:
        pytest.skip("no cmake")
    # A PATH that holds cmake and the build tools but no compiler of any kind.
    tools = tmp_path / "bin"
    tools.mkdir()
    (tools / "cmake").symlink_to(cmake)
    for tool in ("ninja", "make"):
        if found := executable(tool):
            (tools / tool).symlink_to(found)
    generator = "Ninja" if (tools / "ninja").exists() else "Unix Makefiles"
    env = {k: v for k, v in os.environ.items() if k not in ("CXX", "CC", "CMAKE_GENERATOR")}
    env["PATH"] = str(tools)
    done = subprocess.run(
        [str(tools / "cmake"), "-S", str(ROOT), "-B", str(tmp_path / "build"), "-G", generator],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode != 0
    lines = [line.strip() for line in done.stderr.splitlines()]
    assert NO_COMPILER in lines, done.stderr
    assert "CMAKE_CXX_COMPILER" not in done.stdout + done.stderr


def test_version_is_written_once():
    """pyproject.toml holds the version; the installed metadata (and the public package,
    which reads it from there) carry that same version."""
    metadata = pytest.importorskip("importlib.metadata")
    try:
        installed = metadata.version("kestrum")
    except metadata.PackageNotFoundError:
        pytest.skip("kestrum is not installed (modules taken from a build folder)")
    pyproject = ROOT / "pyproject.toml"
    if pyproject.exists():
        assert tomllib.loads(pyproject.read_text())["project"]["version"] == installed
    try:
        import kestrum
    except ImportError:
        return
    assert kestrum.__version__ == installed


def test_a_module_built_for_another_python_refuses_to_import():
    """The import guard: each build of the modules for another minor version of CPython
    (.ci/wheel leaves one per wheel tag in build/, e.g. build/cp312-cp312-linux_x86_64),
    loaded into this interpreter, fails with the version-mismatch ImportError naming the
    version it was built for, not with an undefined symbol or a crash."""
    this = f"cp{sys.version_info.major}{sys.version_info.minor}"
    modules = sorted(
        module
        for folder in (ROOT / "build").glob("cp3*-cp3*-*")
        if not folder.name.startswith(this + "-")
        for module in folder.glob("*.cpython-3*.so")
    )
    if not modules:
        pytest.skip("no build for another Python version in build/ (.ci/wheel makes them)")
    # A fresh interpreter: whatever a foreign module does on load, it does it there.
    load = """if True:
        import importlib.util, json, sys
        for path in sys.argv[1:]:
            name = path.rsplit("/", 1)[1].split(".")[0]
            try:
                importlib.util.module_from_spec(importlib.util.spec_from_file_location(name, path))
                print(json.dumps([path, "loaded"]))
            except Exception as error:
                print(json.dumps([path, f"{type(error).__name__}: {error}"]))
        """
    done = subprocess.run(
        [sys.executable, "-c", load, *map(str, modules)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    got = dict(json.loads(line) for line in done.stdout.splitlines())
    for module in modules:
        built = module.parent.name.split("-")[0]  # cp312
        assert got[str(module)] == (
            f"ImportError: Python version mismatch: module was compiled for Python "
            f"{built[2]}.{built[3:]}, but the interpreter version is incompatible: {sys.version}."
        )
