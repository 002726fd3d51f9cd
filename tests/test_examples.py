"""The end-to-end example at a small size, and the installed type stubs."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent


def load(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def pipeline(tmp_path_factory):
    pytest.importorskip("matplotlib")
    out = tmp_path_factory.mktemp("out")
    args = ["--members", "8", "--azimuths", "120", "--gates", "120", "--grid", "40",
            "--threads", "2", "--out", str(out)]
    return load("radar_pipeline").main(args)


def fortran_fields(line, widths):
    """Cut a fixed-format record into its fields; a negative width is skipped (nX)."""
    fields, pos = [], 0
    for width in widths:
        if width > 0:
            fields.append(line[pos:pos + width])
        pos += abs(width)
    return fields


class TestRadarPipeline:
    def test_wind_retrieval_is_close_to_the_truth(self, pipeline):
        err = pipeline["vad_error"]
        assert np.isfinite(err).mean() > 0.5
        assert np.nanmean(err) < 1.0

    def test_wrfda_file_reads_with_the_fortran_formats(self, pipeline):
        lines = pipeline["wrfda"].read_text().split("\n")
        assert lines[0][14:17] == "  1" and lines[0].startswith("TOTAL RADAR =")
        # (A5,2X,A12,F8.3,2X,F8.3,2X,F8.1,2X,A19,2I6)
        radar = fortran_fields(lines[3], [5, -2, 12, 8, -2, 8, -2, 8, -2, 19, 6, 6])
        assert radar[0] == "RADAR"
        columns, levels = int(radar[6]), int(radar[7])
        assert levels == pipeline["levels"].size and columns * levels == pipeline["n_wrfda"]
        body = lines[6:]
        assert body[-1] == "" and len(body) - 1 == columns * (levels + 1)
        for c in range(columns):
            # (a12,3x,a19,2x,2(f12.3,2x),f8.1,2x,i6)
            station = fortran_fields(body[c * (levels + 1)], [12, -3, 19, -2, 12, -2, 12, -2, 8, -2, 6])
            assert station[0] == "FM-128 RADAR" and station[1] == radar[5]
            assert -90 <= float(station[2]) <= 90 and int(station[5]) == levels
            for k in range(levels):
                # (3x,f12.1,2(f12.3,i4,f12.3,2x))
                level = fortran_fields(body[c * (levels + 1) + 1 + k], [-3, 12, 12, 4, 12, -2, 12, 4, 12])
                assert float(level[0]) == pipeline["levels"][k]
                rv, qc = float(level[1]), int(level[2])
                assert (qc == 0 and abs(rv) < 60) or (qc == -88 and rv == -888888.0)

    def test_dart_file_reads_back(self, pipeline):
        obs_sequence = pytest.importorskip("pydartdiags.obs_sequence.obs_sequence")
        df = obs_sequence.ObsSequence(str(pipeline["dart"])).df
        assert len(df) == pipeline["n_dart"]
        assert set(df["type"]) == {"DOPPLER_RADIAL_VELOCITY", "RADAR_REFLECTIVITY"}
        assert np.isfinite(df["observation"]).all() and (df["obs_err_var"] >= 1.0).all()

    def test_figure_is_written(self, pipeline):
        assert pipeline["figure"].stat().st_size > 10_000


def test_type_stubs_match_the_modules():
    pytest.importorskip("mypy")
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_kestrum", "_ensemble", "_tavolin"],
        capture_output=True, text=True, cwd=ROOT / "tests", timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
