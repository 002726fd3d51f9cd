"""The observation job end to end: volumes on disk in, the two files out, read back."""

from __future__ import annotations

import contextlib
import io
import os
import re
import signal
import subprocess
import sys
import warnings

import numpy as np
import pytest

from kestrum import job
from kestrum.__main__ import main

NYQUIST = 10.0
WIND = (15.0, 20.0)  # m/s east and north, everywhere: radial speeds up to 25 m/s, two folds
SITE = (48.1947, -122.4957, 195.0)  # KATX, the site of Py-ART's NEXRAD test volume


def aliased_volume(pyart, minutes, seed, gates=120, rays=360, elevations=(0.5, 1.5)):
    """A small volume with the WIND folded at NYQUIST, a storm and some bad gates."""
    radar = pyart.testing.make_empty_ppi_radar(gates, rays, len(elevations))
    radar.range["data"] = 2125.0 + 250.0 * np.arange(gates)
    radar.latitude["data"][:], radar.longitude["data"][:], radar.altitude["data"][:] = SITE
    radar.metadata["instrument_name"] = "KATX"
    radar.time["units"] = f"seconds since 2013-07-17T19:{50 + minutes:02d}:21Z"
    radar.time["data"] = np.arange(radar.nrays, dtype=np.float64) * 0.05
    radar.elevation["data"] = np.repeat(np.asarray(elevations, np.float32), rays)
    a = np.deg2rad(radar.azimuth["data"].astype(np.float64))[:, None]
    el = np.deg2rad(radar.elevation["data"].astype(np.float64))[:, None]
    r = radar.range["data"][None, :]
    true = (WIND[0] * np.sin(a) + WIND[1] * np.cos(a)) * np.cos(el) + 0.0 * r
    rng = np.random.default_rng(seed)
    gone = rng.random(true.shape) < 0.05
    dbz = 12.0 + 35.0 * np.exp(-((r * np.sin(a) - 20e3) ** 2 + (r * np.cos(a) - 10e3) ** 2) / 4.5e8)
    fields = {
        "reflectivity": dbz + rng.normal(0, 1, true.shape),
        "velocity": np.mod(true + NYQUIST, 2 * NYQUIST) - NYQUIST + rng.normal(0, 0.5, true.shape),
        "cross_correlation_ratio": np.where(rng.random(true.shape) < 0.03, 0.6, 0.98),
    }
    for name, data in fields.items():
        radar.add_field(name, {"data": np.ma.masked_array(data, gone), "_FillValue": -9999.0})
    radar.instrument_parameters = {
        "nyquist_velocity": {"data": np.full(radar.nrays, NYQUIST, np.float32)}
    }
    return radar


@pytest.fixture(scope="module")
def volumes(tmp_path_factory):
    """Three volumes two minutes apart, written as CfRadial, listed out of time order."""
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")
        pyart = pytest.importorskip("pyart")
        pytest.importorskip("pyart.testing")
    folder = tmp_path_factory.mktemp("volumes")
    paths = []
    for k in (2, 0, 1):
        path = folder / f"KATX_{k}.nc"
        pyart.io.write_cfradial(str(path), aliased_volume(pyart, 2 * k, seed=k))
        paths.append(str(path))
    return paths


def run_obs(tmp_path, paths, name, *extra):
    dart, wrfda = tmp_path / f"{name}.out", tmp_path / f"{name}.radar"
    status = main(
        ["obs", *paths, "--dart", str(dart), "--wrfda", str(wrfda), "--no-progress", *extra]
    )
    return status, dart, wrfda


@pytest.fixture(scope="module")
def serial(volumes, tmp_path_factory):
    status, dart, wrfda = run_obs(
        tmp_path_factory.mktemp("serial"), volumes, "serial", "--workers", "1"
    )
    assert status == 0
    return dart.read_bytes(), wrfda.read_bytes(), dart, wrfda


class TestCommand:
    def test_dask_cluster_and_worker_processes_equal_a_serial_run(self, volumes, serial, tmp_path):
        distributed = pytest.importorskip("distributed")
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster:
            status, dart, wrfda = run_obs(
                tmp_path, volumes, "dask", "--scheduler", cluster.scheduler_address
            )
        assert status == 0
        assert (dart.read_bytes(), wrfda.read_bytes()) == serial[:2]
        status, dart, wrfda = run_obs(
            tmp_path, volumes, "pool", "--workers", "2", "--reader", "xradar"
        )
        assert status == 0
        assert (dart.read_bytes(), wrfda.read_bytes()) == serial[:2]

    def test_unreadable_volume_is_named_skipped_and_fails_the_run(self, volumes, tmp_path, capsys):
        bad = tmp_path / "broken.nc"
        bad.write_bytes(b"CDF\x01" + bytes(100))
        status, dart, wrfda = run_obs(
            tmp_path, [volumes[0], str(bad), volumes[2]], "bad", "--workers", "1"
        )
        assert status == 1
        out, err = capsys.readouterr()
        assert f"FAILED {bad}: unreadable" in out and str(bad) in err
        # The other volumes are written as if the bad one had not been given.
        _, dart2, wrfda2 = run_obs(tmp_path, [volumes[0], volumes[2]], "good", "--workers", "1")
        assert (dart.read_bytes(), wrfda.read_bytes()) == (dart2.read_bytes(), wrfda2.read_bytes())

    def test_window_keeps_the_volumes_inside(self, volumes, tmp_path, capsys):
        status, dart, _ = run_obs(
            tmp_path,
            volumes,
            "win",
            "--workers",
            "1",
            "--window",
            "2013-07-17T19:52:00",
            "2013-07-17T19:53:00Z",
        )
        assert status == 0
        assert capsys.readouterr().out.count("outside") == 2
        _, alone, _ = run_obs(tmp_path, [volumes[2]], "alone", "--workers", "1")  # minute 52
        assert dart.read_bytes() == alone.read_bytes()

    def test_ctrl_c_leaves_no_file(self, volumes, tmp_path):
        pytest.importorskip("tqdm")
        dart = tmp_path / "obs_seq.out"
        cmd = [
            sys.executable,
            "-m",
            "kestrum",
            "obs",
            *(volumes * 40),
            "--dart",
            str(dart),
            "--workers",
            "2",
            "--progress",
        ]
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
        # Stopped once a volume is done, well before the job's end.
        seen = b""
        while not re.search(rb"[1-9][0-9]*/120", seen):
            chunk = os.read(proc.stderr.fileno(), 4096)
            assert chunk, seen.decode(errors="replace")
            seen += chunk
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=120)
        assert proc.returncode == 130, err.decode()
        assert b"interrupted; no file written" in err
        assert sorted(p.name for p in tmp_path.iterdir()) == []


class TestFiles:
    def test_dart_reads_with_pydartdiags_in_time_order_with_one_numbering(self, serial):
        obs_sequence = pytest.importorskip("pydartdiags.obs_sequence.obs_sequence")
        df = obs_sequence.ObsSequence(str(serial[2])).df
        assert list(df["obs_num"]) == list(range(1, len(df) + 1))
        assert df["time"].is_monotonic_increasing
        assert {t.minute for t in df["time"]} == {50, 52, 54}
        assert set(df["type"]) == {
            "DOPPLER_RADIAL_VELOCITY",
            "RADAR_REFLECTIVITY",
            "RADAR_CLEARAIR_REFLECTIVITY",
        }
        vr = df[df["type"] == "DOPPLER_RADIAL_VELOCITY"]
        assert (vr["obs_err_var"] >= 4.0).all()
        # Dealiased: each radial velocity is the wind along its beam (DART's unit vector).
        beam = np.array([m[4].split() for m in vr["metadata"]], float)
        error = vr["observation"] - (WIND[0] * beam[:, 0] + WIND[1] * beam[:, 1])
        assert (vr["observation"].abs() > NYQUIST).mean() > 0.3
        assert np.abs(error).max() < 1.0
        # Every observation within the 100 km of boxes around the site (1 degree ~ 111 km).
        dist = np.hypot(
            df["latitude"] - SITE[0],
            (df["longitude"] - 360 - SITE[1]) * np.cos(np.deg2rad(SITE[0])),
        )
        assert dist.max() < 100 / 111.0
        clear = df[df["type"] == "RADAR_CLEARAIR_REFLECTIVITY"]["observation"]
        assert len(clear) > 0 and (clear == 0.0).all()

    def test_wrfda_reads_with_the_fortran_formats(self, serial):
        fortranformat = pytest.importorskip("fortranformat")

        def read(fmt, line):
            return fortranformat.FortranRecordReader(fmt).read(line)

        lines = serial[3].read_text().split("\n")
        assert read("(14x,i3)", lines[0]) == [3]
        at, dates, written = 2, [], 0
        for _ in range(3):
            assert lines[at] == ""
            head = read("(a5,2x,a12,2(f8.3,2x),f8.1,2x,a19,2i6)", lines[at + 1])
            assert [head[0], head[1].strip(), *head[2:5]] == [
                "RADAR",
                "KATX",
                round(SITE[1], 3),
                round(SITE[0], 3),
                SITE[2],
            ]
            dates.append(head[5])
            columns, levels = head[6], head[7]
            at += 4
            for _ in range(columns):
                station = read("(a12,3x,a19,2x,2(f12.3,2x),f8.1,2x,i6)", lines[at])
                assert station[1] == head[5] and station[5] == levels
                for lv in range(levels):
                    height, rv, rv_qc, rv_err, *_ = read(
                        "(3x,f12.1,2(f12.3,i4,f12.3,2x))", lines[at + 1 + lv]
                    )
                    assert height == 500.0 * (lv + 1)
                    if rv_qc == 0:
                        assert abs(rv) <= np.hypot(*WIND) + 1.0 and rv_err >= 2.0
                        written += 1
                at += levels + 1
        assert dates == ["2013-07-17_19:50:21", "2013-07-17_19:52:21", "2013-07-17_19:54:21"]
        assert written > 100 and lines[at:] == [""]


class TestObservations:
    def test_every_gate_read_has_one_fate(self, volumes):
        _, radar = job.read_volume(volumes[0], "pyart", job.Config().fields)
        obs = job.observations(radar)
        for moment, f in obs.fates.items():
            assert f.read == int(radar.fields[moment]["data"].count())
            assert f.read == f.qc_removed + f.unresolved + f.in_kept_box + f.in_dropped_box
        # rhohv 0.6 < 0.9 removes the gate for both moments; weak echo only its velocity.
        refl = radar.fields["reflectivity"]["data"]
        rho = radar.fields["cross_correlation_ratio"]["data"]
        assert obs.fates["reflectivity"].by_test == {"rhohv": int((rho < 0.9).sum())}
        assert obs.fates["velocity"].by_test["reflectivity"] == int((refl < 10).sum())
        assert sum(b.value.size for b in obs.dart) == sum(f.boxes for f in obs.fates.values())


class TestConfig:
    def test_toml_round_trip_and_unknown_keys(self, tmp_path):
        custom = job.Config.from_dict({"superobs": {"d_range": 2500}, "qc": {"enabled": False}})
        path = tmp_path / "obs.toml"
        path.write_text(custom.to_toml())
        assert job.load_config(path) == custom and custom.superobs.d_range == 2500.0
        for text, message in [
            ("[superobs]\nd_rnage = 1.0\n", "unknown key 'superobs.d_rnage'"),
            ("[qcc]\n", "unknown key 'qcc'"),
            ("[qc]\nenabled = 1\n", "qc.enabled must be true or false"),
            ("[superobs]\nd_range = -5.0\n", "superobs.d_range must be a positive number"),
        ]:
            path.write_text(text)
            with pytest.raises(job.ConfigError, match=message):
                job.load_config(path)

    def test_command_refuses_a_bad_config_before_reading(self, tmp_path, capsys):
        path = tmp_path / "obs.toml"
        path.write_text("[superobs]\nd_rnage = 1.0\n")
        with pytest.raises(SystemExit) as stop:
            main(["obs", "missing.nc", "--dart", str(tmp_path / "x.out"), "--config", str(path)])
        assert stop.value.code == 2 and "d_rnage" in capsys.readouterr().err
