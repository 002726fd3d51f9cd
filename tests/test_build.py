"""The build from source and the package metadata."""

import os
import subprocess
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
NO_COMPILER = ("kestrum needs a C++20 compiler and found none: install g++ 10 or newer "
               "(Debian, Ubuntu: apt-get install g++; Fedora: dnf install gcc-c++) "
               "or clang++ 10 or newer, or set CXX to one")


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
    done = subprocess.run([str(tools / "cmake"), "-S", str(ROOT), "-B", str(tmp_path / "build"),
                           "-G", generator], env=env, capture_output=True, text=True, timeout=120)
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
