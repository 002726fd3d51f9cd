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
    args = [
        "--members",
        "8",
        "--azimuths",
        "120",
        "--gates",
        "120",
        "--grid",
        "40",
        "--threads",
        "2",
        "--out",
        str(out),
    ]
    return load("radar_pipeline").main(args)


def reader(fmt):
    fortranformat = pytest.importorskip("fortranformat")
    return fortranformat.FortranRecordReader(fmt).read


class TestRadarPipeline:
    def test_wind_retrieval_is_close_to_the_truth(self, pipeline):
        err = pipeline["vad_error"]
        assert np.isfinite(err).mean() > 0.5
        assert np.nanmean(err) < 1.0

    def test_wrfda_file_reads_with_the_fortran_formats(self, pipeline):
        lines = pipeline["wrfda"].read_text().split("\n")
        assert lines[0].startswith("TOTAL RADAR =") and reader("(14x,i3)")(lines[0]) == [1]
        radar = reader("(a5,2x,a12,f8.3,2x,f8.3,2x,f8.1,2x,a19,2i6)")(lines[3])
        assert radar[0] == "RADAR"
        columns, levels = radar[6], radar[7]
        assert levels == pipeline["levels"].size and columns * levels == pipeline["n_wrfda"]
        body = lines[6:]
        assert body[-1] == "" and len(body) - 1 == columns * (levels + 1)
        station_line = reader("(a12,3x,a19,2x,2(f12.3,2x),f8.1,2x,i6)")
        level_line = reader("(3x,f12.1,2(f12.3,i4,f12.3,2x))")
        for c in range(columns):
            name, stamp, lat, lon, elv, count = station_line(body[c * (levels + 1)])
            assert (name, stamp, count) == ("FM-128 RADAR", radar[5], levels)
            assert abs(lat - radar[3]) < 2 and abs(lon - radar[2]) < 2 and elv == radar[4]
            for k in range(levels):
                height, rv, rv_qc, rv_err, rf, rf_qc, rf_err = level_line(
                    body[c * (levels + 1) + 1 + k]
                )
                assert height == pipeline["levels"][k]
                if rv_qc == 0:
                    assert abs(rv) < 60 and rv_err >= 1.0 and -20 < rf < 70 and rf_qc == 0
                else:
                    assert (rv_qc, rv, rf) == (-88, -888888.0, -888888.0)

    def test_dart_file_reads_back(self, pipeline):
        obs_sequence = pytest.importorskip("pydartdiags.obs_sequence.obs_sequence")
        df = obs_sequence.ObsSequence(str(pipeline["dart"])).df
        assert len(df) == pipeline["n_dart"]
        assert set(df["type"]) == {"DOPPLER_RADIAL_VELOCITY", "RADAR_REFLECTIVITY"}
        assert np.isfinite(df["observation"]).all() and (df["obs_err_var"] >= 1.0).all()

    def test_figure_is_written(self, pipeline):
        assert pipeline["figure"].stat().st_size > 10_000


@pytest.fixture(scope="module")
def real_radar(tmp_path_factory):
    pytest.importorskip("pyart", reason="the real-radar example reads Py-ART's test data")
    pytest.importorskip("matplotlib")
    return load("real_radar").main(
        ["--out", str(tmp_path_factory.mktemp("real")), "--threads", "2"]
    )


class TestRealRadar:
    def test_vad_agrees_with_pyart_on_well_covered_rings(self, real_radar):
        sweeps = real_radar["vad"]
        assert [s["sweep"] for s in sweeps] == [1, 3, 4, 5, 6]
        for s in sweeps:
            assert s["well"] >= 3
            assert s["well_median"] < 0.03 and s["well_max"] < 0.1

    def test_sounding_helicity_matches_metpy(self, real_radar):
        sonde = real_radar["sounding"]
        assert 50 < sonde["srh"][1] < sonde["srh"][3] < 500
        if sonde["metpy"] is not None:
            for km in (1, 3):
                assert sonde["srh"][km] == pytest.approx(sonde["metpy"][km], rel=1e-3)

    def test_files_read_back(self, real_radar):
        dart = real_radar["dart_counts"]
        assert dart.written > 1000 and dart.missing > 0
        if real_radar["dart_df"] is not None:
            df = real_radar["dart_df"]
            assert len(df) == dart.written and set(df["type"]) == {"DOPPLER_RADIAL_VELOCITY"}
            assert (df["observation"].abs() <= 28.5).all()
        wrfda = real_radar["wrfda_counts"]
        assert wrfda.written > 0
        if real_radar["wrfda_levels"] is not None:
            levels = real_radar["wrfda_levels"]
            assert (
                sum(lv[2] == 0 for lv in levels) + sum(lv[5] == 0 for lv in levels) == wrfda.written
            )
            assert all((lv[1], lv[2]) == (-888888.0, -88) for lv in levels if lv[2] != 0)

    def test_figure_is_written(self, real_radar):
        assert real_radar["figure"].stat().st_size > 20_000


def test_type_stubs_match_the_modules():
    pytest.importorskip("mypy")
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_kestrum", "_ensemble", "_tavolin"],
        capture_output=True,
        text=True,
        cwd=ROOT / "tests",
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr


def test_dask_chunks_equal_a_single_call():
    pytest.importorskip("dask.array")
    load("dask_ensemble").check_small_case()
