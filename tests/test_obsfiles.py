"""Complete WRFDA and DART observation files, read back with the real readers."""

from __future__ import annotations

import datetime as dt
import os
import stat

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _tavolin
from kestrum import obsfiles
from kestrum.obsfiles import DartBatch, WrfdaRadar, write_dart_obs_seq, write_wrfda_radar

TIME = dt.datetime(2024, 5, 1, 22, 0, 0)


def read_wrfda(path):
    """The file as WRFDA's radar reader walks it, with its Fortran formats."""
    fortranformat = pytest.importorskip("fortranformat")
    fmt = {
        k: fortranformat.FortranRecordReader(v).read
        for k, v in {
            "total": "(14x,i3)",
            "radar": "(a5,2x,a12,2(f8.3,2x),f8.1,2x,a19,2i6)",
            "station": "(a12,3x,a19,2x,2(f12.3,2x),f8.1,2x,i6)",
            "level": "(3x,f12.1,2(f12.3,i4,f12.3,2x))",
        }.items()
    }
    lines = iter(path.read_text().split("\n"))
    (total,) = fmt["total"](next(lines))
    next(lines)  # separator
    radars = []
    for _ in range(total):
        assert next(lines) == ""
        platform, name, lon, lat, elv, date, columns, levels = fmt["radar"](next(lines))
        assert platform == "RADAR"
        assert next(lines).startswith("#---") and next(lines) == ""
        cols = []
        for _ in range(columns):
            station = fmt["station"](next(lines))
            cols.append((station, [fmt["level"](next(lines)) for _ in range(station[5])]))
        radars.append(
            dict(
                name=name.strip(),
                lon=lon,
                lat=lat,
                elv=elv,
                date=date,
                columns=columns,
                levels=levels,
                cols=cols,
            )
        )
    assert list(lines) == [""]
    return radars


def radar(columns=3, levels=4, seed=0, name="KTLX", **over):
    rng = np.random.default_rng(seed)
    shape = (columns, levels)
    args = dict(
        name=name,
        lon=-97.278,
        lat=35.333,
        elv=370.0,
        time=TIME,
        centres=np.linspace(500.0, 8000.0, levels),
        col_lat=rng.uniform(34, 36, columns),
        col_lon=rng.uniform(-98, -96, columns),
        col_elv=rng.uniform(200, 500, columns),
        rv=rng.normal(0, 15, shape),
        rv_err=rng.uniform(1, 3, shape),
        rf=rng.uniform(-10, 60, shape),
        rf_err=rng.uniform(1, 5, shape),
        rv_qc=rng.integers(0, 3, shape),
        rf_qc=rng.integers(0, 3, shape),
    )
    args.update(over)
    return WrfdaRadar(**args)


def level_arrays(r):
    """(value, qc, err) per level of every column, as read back."""
    cols = r["cols"]
    return {
        "rv": np.array([[lv[1] for lv in c[1]] for c in cols]),
        "rv_qc": np.array([[lv[2] for lv in c[1]] for c in cols]),
        "rv_err": np.array([[lv[3] for lv in c[1]] for c in cols]),
        "rf": np.array([[lv[4] for lv in c[1]] for c in cols]),
        "rf_qc": np.array([[lv[5] for lv in c[1]] for c in cols]),
        "rf_err": np.array([[lv[6] for lv in c[1]] for c in cols]),
    }


class TestWriteWrfdaRadar:
    def test_several_radars_read_back_with_wrfda_formats(self, tmp_path):
        radars = [radar(3, 4, seed=1, name="KTLX"), radar(2, 6, seed=2, name="KVNX", lon=-98.128)]
        counts = write_wrfda_radar(tmp_path / "ob.radar", radars)
        assert counts == (2 * (12 + 12), 0)
        back = read_wrfda(tmp_path / "ob.radar")
        assert [b["name"] for b in back] == ["KTLX", "KVNX"]
        for sent, got in zip(radars, back):
            assert (got["lon"], got["lat"], got["elv"]) == (
                round(sent.lon, 3),
                round(sent.lat, 3),
                370.0,
            )
            assert got["date"] == "2024-05-01_22:00:00"
            assert (got["columns"], got["levels"]) == np.shape(sent.rv)
            arrays = level_arrays(got)
            for name in ("rv", "rv_err", "rf", "rf_err"):
                np.testing.assert_allclose(arrays[name], getattr(sent, name), atol=5e-4)
            for name in ("rv_qc", "rf_qc"):
                np.testing.assert_array_equal(arrays[name], getattr(sent, name))
            for c, (station, levels) in enumerate(got["cols"]):
                assert station[:2] == ["FM-128 RADAR", "2024-05-01_22:00:00"]
                assert abs(station[2] - sent.col_lat[c]) <= 5e-4
                assert abs(station[3] - sent.col_lon[c]) <= 5e-4
                np.testing.assert_allclose([lv[0] for lv in levels], sent.centres, atol=0.05)

    def test_missing_values_become_wrfda_missing_code(self, tmp_path):
        rv = np.array([[1.0, np.nan, 3.0, np.inf]])
        rv_err = np.array([[2.0, 2.0, np.nan, 2.0]])
        rf = np.ma.masked_array([[10.0, 20.0, 30.0, 40.0]], mask=[[0, 0, 1, 0]])
        rf_qc = np.ma.masked_array([[0, 1, 0, 2]], mask=[[0, 1, 0, 0]])
        r = radar(1, 4, rv=rv, rv_err=rv_err, rf=rf, rf_err=3.0, rv_qc=None, rf_qc=rf_qc)
        counts = write_wrfda_radar(tmp_path / "ob.radar", r)
        arrays = level_arrays(read_wrfda(tmp_path / "ob.radar")[0])
        np.testing.assert_array_equal(arrays["rv"], [[1.0, -888888.0, -888888.0, -888888.0]])
        np.testing.assert_array_equal(arrays["rv_qc"], [[0, -88, -88, -88]])
        np.testing.assert_array_equal(arrays["rv_err"], [[2.0, -888888.0, -888888.0, -888888.0]])
        np.testing.assert_array_equal(arrays["rf"], [[10.0, -888888.0, -888888.0, 40.0]])
        np.testing.assert_array_equal(arrays["rf_qc"], [[0, -88, -88, 2]])
        assert counts == (3, 5)
        assert "nan" not in (tmp_path / "ob.radar").read_text()

    @pytest.mark.parametrize(
        "field, value, text",
        [
            ("rv", 1.0e9, "1000000000.000"),
            ("rv", 99999999.9996, "100000000.000"),
            ("rf", -9999999.9996, "-10000000.000"),
            ("col_elv", -888888.0, "-888888.0"),
            ("centres", 1.0e11, "100000000000.0"),
        ],
    )
    def test_value_too_wide_for_its_field_is_refused(self, tmp_path, field, value, text):
        r = radar(2, 3)
        arr = np.array(getattr(r, field), dtype=float)
        arr.flat[1] = value
        with pytest.raises(ValueError, match=f"{field} value .* is '{text}', wider than its"):
            write_wrfda_radar(tmp_path / "ob.radar", radar(2, 3, **{field: arr}))
        assert list(tmp_path.iterdir()) == []

    @pytest.mark.parametrize(
        "field, value",
        [
            ("rv", 99999999.9994),
            ("rf", -9999999.9994),
            ("col_elv", -99999.9),
            ("rv", -0.0004),
        ],
    )
    def test_widest_values_that_fit_are_written(self, tmp_path, field, value):
        r = radar(2, 3)
        arr = np.array(getattr(r, field), dtype=float)
        arr.flat[1] = value
        write_wrfda_radar(tmp_path / "ob.radar", radar(2, 3, **{field: arr}))
        assert len(read_wrfda(tmp_path / "ob.radar")[0]["cols"]) == 2

    @pytest.mark.parametrize(
        "over, message",
        [
            (dict(name="KTLX-LONGNAME"), "radar name 'KTLX-LONGNAME' must be at most 12"),
            (dict(lon=-1000.0), "lon value -1000.0 is '-1000.000', wider than its 8-character"),
            (dict(elv=1.0e6), "elv value 1000000.0"),
            (dict(col_lat=[35.0, np.nan]), "col_lat has 1 missing or non-finite values"),
            (dict(rv_qc=np.full((2, 3), 10000)), "rv_qc value 10000 is wider than its 4-character"),
            (dict(time=np.datetime64("12345-01-01")), "does not fit the 19-character date field"),
            (dict(rv=np.zeros((3, 2))), r"rv has shape \(3, 2\), expected \(2, 3\)"),
            (dict(lat=95.0), "lat value 95.0 is not a latitude in degrees"),
            (dict(lon=400.0), "lon value 400.0 is not a longitude in degrees"),
            (dict(col_lat=[35.0, 95.0]), "col_lat value 95.0 is not a latitude"),
            (dict(rv_err=0.0), "rv_err must be positive where the value is given, not 0.0"),
            (dict(rf_err=-5.0), "rf_err must be positive where the value is given, not -5.0"),
        ],
    )
    def test_bad_input_is_refused_with_the_field_named(self, tmp_path, over, message):
        with pytest.raises(ValueError, match=message):
            write_wrfda_radar(tmp_path / "ob.radar", radar(2, 3, **over))

    def test_float_quality_flags_are_refused(self, tmp_path):
        with pytest.raises(TypeError, match="rv_qc must be integers"):
            write_wrfda_radar(tmp_path / "ob.radar", radar(2, 3, rv_qc=np.zeros((2, 3))))

    def test_same_bytes_for_every_thread_count(self, tmp_path):
        r = radar(2100, 3, seed=5)  # two native blocks of columns
        texts = []
        for n in (1, 2, 5):
            write_wrfda_radar(tmp_path / f"ob{n}.radar", r, n_threads=n)
            texts.append((tmp_path / f"ob{n}.radar").read_bytes())
        assert texts[0] == texts[1] == texts[2]

    def test_failure_leaves_the_old_file_and_no_temporary(self, tmp_path, monkeypatch):
        target = tmp_path / "ob.radar"
        target.write_text("old\n")
        calls = []

        def failing(*args, **kwargs):
            calls.append(1)
            if len(calls) == 2:
                raise MemoryError("out of memory")
            return _tavolin.format_wrfda(*args, **kwargs)

        monkeypatch.setattr(obsfiles._tavolin, "format_wrfda", failing)
        with pytest.raises(MemoryError):
            write_wrfda_radar(target, [radar(), radar()])
        assert target.read_text() == "old\n"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["ob.radar"]

    def test_missing_folder_is_named(self, tmp_path):
        with pytest.raises(FileNotFoundError, match="no such folder for the file: .*nowhere"):
            write_wrfda_radar(tmp_path / "nowhere" / "ob.radar", radar())

    def test_new_file_gets_the_usual_permissions(self, tmp_path):
        old = os.umask(0o027)
        try:
            write_wrfda_radar(tmp_path / "ob.radar", radar())
        finally:
            os.umask(old)
        assert stat.S_IMODE((tmp_path / "ob.radar").stat().st_mode) == 0o640


def dart_batches(n=6, seed=0):
    rng = np.random.default_rng(seed)
    vr = DartBatch(
        "DOPPLER_RADIAL_VELOCITY",
        value=rng.normal(0, 10, n),
        variance=rng.uniform(1, 4, n),
        lon=rng.uniform(-98, -96, n),
        lat=rng.uniform(34, 36, n),
        height=rng.uniform(500, 9000, n),
        time=np.datetime64("2024-05-01T22:00:05"),
        radar_lon=-97.278,
        radar_lat=35.333,
        radar_height=370.0,
        azimuth=rng.uniform(0, 360, n),
        elevation=rng.uniform(0.5, 10, n),
        nyquist=26.5,
    )
    dbz = DartBatch(
        "RADAR_REFLECTIVITY",
        value=rng.uniform(0, 60, n),
        variance=25.0,
        lon=rng.uniform(-98, -96, n),
        lat=rng.uniform(34, 36, n),
        height=rng.uniform(500, 9000, n),
        time=TIME,
    )
    return vr, dbz


def read_dart(path):
    obs_sequence = pytest.importorskip("pydartdiags.obs_sequence.obs_sequence")
    return obs_sequence.ObsSequence(str(path)).df


def platform_of(metadata):
    """Radar lon/lat/height, beam, Nyquist velocity and key from a record's platform block."""
    assert metadata[0] == "platform" and metadata[1] == "loc3d" and metadata[3] == "dir3d"
    radar = [float(x) for x in metadata[2].split()]
    return radar, [float(x) for x in metadata[4].split()], float(metadata[5]), int(metadata[6])


class TestWriteDartObsSeq:
    def test_batches_read_back_with_pydartdiags(self, tmp_path):
        vr, dbz = dart_batches()
        vr2 = DartBatch(
            **{
                **vr.__dict__,
                "value": np.arange(3.0),
                "variance": 2.0,
                "lon": -97.0,
                "lat": 35.0,
                "height": 1000.0,
                "azimuth": 90.0,
                "elevation": 0.0,
            }
        )
        counts = write_dart_obs_seq(tmp_path / "obs_seq.out", [vr, dbz, vr2])
        assert counts == (15, 0)
        df = read_dart(tmp_path / "obs_seq.out")
        assert list(df["obs_num"]) == list(range(1, 16))
        # Reflectivities come first: their time is 5 s earlier.
        assert list(df["type"]) == ["RADAR_REFLECTIVITY"] * 6 + ["DOPPLER_RADIAL_VELOCITY"] * 9
        np.testing.assert_array_equal(
            df["observation"], np.concatenate([dbz.value, vr.value, np.arange(3.0)])
        )
        np.testing.assert_array_equal(
            df["obs_err_var"], np.r_[np.full(6, 25.0), vr.variance, np.full(3, 2.0)]
        )
        np.testing.assert_allclose(
            df["longitude"], np.r_[dbz.lon, vr.lon, np.full(3, -97.0)] % 360, rtol=1e-15
        )
        np.testing.assert_allclose(
            df["latitude"], np.r_[dbz.lat, vr.lat, np.full(3, 35.0)], rtol=1e-15
        )
        np.testing.assert_array_equal(
            df["vertical"], np.r_[dbz.height, vr.height, np.full(3, 1000.0)]
        )
        assert set(df["vert_unit"]) == {"height (m)"}
        assert list(df["time"]) == [TIME] * 6 + [TIME + dt.timedelta(seconds=5)] * 9
        platforms = [platform_of(m) for m in df["metadata"][6:]]
        assert [p[3] for p in platforms] == list(range(1, 10))  # one velocity key numbering
        assert all(p[2] == 26.5 for p in platforms)
        np.testing.assert_allclose(
            [p[0] for p in platforms],
            [[np.deg2rad(360 - 97.278), np.deg2rad(35.333), 370.0, 3]] * 9,
            rtol=1e-15,
        )
        az, el = np.deg2rad(vr.azimuth), np.deg2rad(vr.elevation)
        np.testing.assert_allclose(
            [p[1] for p in platforms[:6]],
            np.column_stack([np.sin(az) * np.cos(el), np.cos(az) * np.cos(el), np.sin(el)]),
            rtol=1e-15,
            atol=1e-16,
        )
        np.testing.assert_allclose(platforms[6][1], [1.0, 0.0, 0.0], atol=1e-16)
        assert all(m == [] for m in df["metadata"][:6])

    def test_header_counts_and_kinds(self, tmp_path):
        write_dart_obs_seq(tmp_path / "obs_seq.out", dart_batches(4))
        head = (tmp_path / "obs_seq.out").read_text().split("\n")[:11]
        assert head == [
            " obs_sequence",
            "obs_type_definitions",
            "           2",
            "           1 DOPPLER_RADIAL_VELOCITY",
            "           2 RADAR_REFLECTIVITY",
            "  num_copies:            1  num_qc:            1",
            "  num_obs:            8  max_num_obs:            8",
            "observations",
            "QC",
            "  first:            1  last:            8",
            " OBS            1",
        ]

    def test_non_finite_and_masked_observations_are_left_out(self, tmp_path):
        vr, dbz = dart_batches(5)
        value = np.ma.masked_array(vr.value, mask=[0, 1, 0, 0, 0])
        value[2] = np.nan
        variance = np.array(vr.variance)
        variance[4] = np.inf
        vr = DartBatch(**{**vr.__dict__, "value": value, "variance": variance})
        counts = write_dart_obs_seq(tmp_path / "obs_seq.out", [vr, dbz])
        assert counts == (7, 3)
        df = read_dart(tmp_path / "obs_seq.out")
        assert len(df) == 7 and np.isfinite(df["observation"]).all()
        np.testing.assert_array_equal(df["observation"][5:], np.asarray(vr.value)[[0, 3]])
        assert [platform_of(m)[3] for m in df["metadata"][5:]] == [1, 2]

    def test_file_of_reflectivities_only_has_no_platform_blocks(self, tmp_path):
        _, dbz = dart_batches(3)
        write_dart_obs_seq(tmp_path / "obs_seq.out", dbz)
        text = (tmp_path / "obs_seq.out").read_text()
        assert "platform" not in text and "           2 RADAR_REFLECTIVITY\n  num_copies" in text
        df = read_dart(tmp_path / "obs_seq.out")
        assert list(df["type"]) == ["RADAR_REFLECTIVITY"] * 3

    def test_empty_sequence(self, tmp_path):
        vr, _ = dart_batches(2)
        vr = DartBatch(**{**vr.__dict__, "value": [np.nan, np.nan]})
        assert write_dart_obs_seq(tmp_path / "obs_seq.out", vr) == (0, 2)
        text = (tmp_path / "obs_seq.out").read_text()
        assert text.endswith(
            "  num_obs:            0  max_num_obs:            0\nobservations\nQC\n"
            "  first:           -1  last:           -1\n"
        )

    @pytest.mark.parametrize(
        "time, days, secs",
        [
            (dt.datetime(1601, 1, 1), 0, 0),
            (dt.datetime(2024, 5, 1, 22, 0, 0), 154618, 79200),
            (np.datetime64("2024-05-01T21:59:59.500000000"), 154618, 79200),
            (np.datetime64("2024-05-01T21:59:59.499"), 154618, 79199),
            (
                dt.datetime(2024, 5, 2, 0, 30, tzinfo=dt.timezone(dt.timedelta(hours=2))),
                154618,
                81000,
            ),
            (np.datetime64("2024-05-01", "D"), 154618, 0),
        ],
    )
    def test_times_in_dart_days_and_seconds(self, tmp_path, time, days, secs):
        _, dbz = dart_batches(1)
        write_dart_obs_seq(tmp_path / "obs_seq.out", DartBatch(**{**dbz.__dict__, "time": time}))
        df = read_dart(tmp_path / "obs_seq.out")
        assert (df["days"][0], df["seconds"][0]) == (days, secs)

    @pytest.mark.parametrize(
        "time, message",
        [
            (np.datetime64("1600-12-31T23:59:59"), "before 1601-01-01"),
            (
                np.datetime64("30000000-01-01", "D"),
                "days of the time value \\d+ is wider than its 10-character",
            ),
            (np.datetime64("NaT", "s"), "NaT"),
        ],
    )
    def test_times_dart_cannot_hold_are_refused(self, tmp_path, time, message):
        _, dbz = dart_batches(1)
        with pytest.raises(ValueError, match=message):
            write_dart_obs_seq(
                tmp_path / "obs_seq.out", DartBatch(**{**dbz.__dict__, "time": time})
            )
        assert list(tmp_path.iterdir()) == []

    def test_longitudes_are_in_zero_to_two_pi(self, tmp_path):
        _, dbz = dart_batches(4)
        lon = np.array([-1e-300, -180.0, 359.99999999999999, 540.0])
        write_dart_obs_seq(tmp_path / "obs_seq.out", DartBatch(**{**dbz.__dict__, "lon": lon}))
        text = (tmp_path / "obs_seq.out").read_text().split("\n")
        stored = np.array(
            [float(text[i + 1].split()[0]) for i, t in enumerate(text) if t == "loc3d"]
        )
        assert ((stored >= 0) & (stored < 2 * np.pi)).all()
        np.testing.assert_allclose(stored, np.deg2rad([0.0, 180.0, 0.0, 180.0]), atol=1e-15)

    def test_beam_bends_with_range(self, tmp_path):
        vr, _ = dart_batches(2)
        vr = DartBatch(**{**vr.__dict__, "azimuth": 90.0, "elevation": 0.0, "range": [0.0, 100e3]})
        write_dart_obs_seq(tmp_path / "obs_seq.out", vr)
        beams = [platform_of(m)[1] for m in read_dart(tmp_path / "obs_seq.out")["metadata"]]
        np.testing.assert_allclose(beams[0], [1.0, 0.0, 0.0], atol=1e-16)
        # 100 km along a horizontal beam turns the local horizon by 100/8495 rad.
        bend = np.arctan(100e3 / (4 / 3 * 6371e3))
        np.testing.assert_allclose(
            beams[1], [np.cos(bend), 0.0, np.sin(bend)], rtol=1e-12, atol=1e-16
        )

    @pytest.mark.parametrize(
        "over, message",
        [
            (dict(radar_lon=None, nyquist=None), "radial velocities need radar_lon, nyquist"),
            (dict(variance=0.0), "variance must be positive"),
            (dict(kind="DOPPLER RADIAL VELOCITY"), "is not a DART observation type name"),
            (dict(lat=95.0), "lat value 95.0 is not a latitude in degrees"),
            (dict(height=np.nan), "height has 6 missing"),
            (dict(value=np.zeros((2, 3))), "value must be one-dimensional"),
            (dict(lon=np.zeros(4)), r"lon has shape \(4,\), expected \(6,\)"),
            (dict(radar_lat=95.0), "radar_lat value 95.0 is not a latitude"),
            (dict(nyquist=0.0), "nyquist must be positive \\(or missing\\), not 0.0"),
            (dict(nyquist=-26.5), "nyquist must be positive \\(or missing\\), not -26.5"),
            (dict(elevation=95.0), "elevation 95.0 is not an elevation in degrees"),
            (dict(variance=-5.0), "variance must be positive, not -5.0"),
            (
                dict(kind="doppler_radial_velocity"),
                "they are upper case \\('DOPPLER_RADIAL_VELOCITY'\\)",
            ),
        ],
    )
    def test_bad_input_is_refused(self, tmp_path, over, message):
        vr, _ = dart_batches()
        with pytest.raises(ValueError, match=message):
            write_dart_obs_seq(tmp_path / "obs_seq.out", DartBatch(**{**vr.__dict__, **over}))

    def test_unknown_nyquist_is_dart_missing_value(self, tmp_path):
        vr, _ = dart_batches(2)
        write_dart_obs_seq(
            tmp_path / "obs_seq.out", DartBatch(**{**vr.__dict__, "nyquist": [np.nan, 20.0]})
        )
        df = read_dart(tmp_path / "obs_seq.out")
        assert [platform_of(m)[2] for m in df["metadata"]] == [-888888.0, 20.0]

    def test_pressure_levels_in_hectopascal_are_stored_in_pascal(self, tmp_path):
        pint = pytest.importorskip("pint")
        _, dbz = dart_batches(3)
        hpa = pint.get_application_registry().Quantity([850.0, 700.0, 500.0], "hPa")
        write_dart_obs_seq(
            tmp_path / "obs_seq.out",
            DartBatch(**{**dbz.__dict__, "height": hpa}),
            vertical="pressure",
        )
        df = read_dart(tmp_path / "obs_seq.out")
        assert list(df["vert_unit"]) == ["pressure (Pa)"] * 3
        np.testing.assert_array_equal(df["vertical"], [85000.0, 70000.0, 50000.0])

    def test_unknown_vertical_is_refused(self, tmp_path):
        with pytest.raises(ValueError, match="vertical must be one of"):
            write_dart_obs_seq(tmp_path / "obs_seq.out", dart_batches(), vertical="metres")

    def test_same_bytes_for_every_thread_count_and_batching(self, tmp_path):
        vr, dbz = dart_batches(3000, seed=3)
        halves = [
            DartBatch(
                **{
                    **vr.__dict__,
                    **{
                        k: np.asarray(getattr(vr, k))[s]
                        for k in (
                            "value",
                            "variance",
                            "lon",
                            "lat",
                            "height",
                            "azimuth",
                            "elevation",
                        )
                    },
                }
            )
            for s in (slice(0, 1000), slice(1000, None))
        ]
        texts = []
        for n, batches in ((1, [vr, dbz]), (2, [vr, dbz]), (7, [*halves, dbz])):
            write_dart_obs_seq(tmp_path / f"{n}.out", batches, n_threads=n)
            texts.append((tmp_path / f"{n}.out").read_bytes())
        assert texts[0] == texts[1] == texts[2]


class TestFieldWidthCheck:
    @settings(max_examples=300, deadline=None)
    @given(
        st.sampled_from([(12, 3), (8, 1), (12, 1), (8, 3)]),
        st.floats(allow_nan=False, allow_infinity=False)
        | st.sampled_from(
            [99999999.9995, -9999999.9995, 9999.9995, 999999.95, -99999.95, 99999999.99949999]
        ),
    )
    def test_refuses_exactly_the_values_the_native_writer_makes_too_wide(self, field, x):
        width, precision = field
        # The level line holds the height (f12.1) and the radial velocity (f12.3).
        centres, rv = (x, 0.0) if precision == 1 else (0.0, x)
        line = _tavolin.format_wrfda(
            [centres], [0.0], [0.0], [0.0], [[rv]], [[0]], [[0.0]], [[0.0]], [[0]], [[0.0]], ""
        ).split(b"\n")[1]
        native = (line[3:] if precision == 1 else line[15:]).split()[0].decode()
        try:
            obsfiles._check_fixed("f", "x", np.array([x]), width, precision)
            fits = True
        except ValueError:
            fits = False
        assert fits == (len("%.*f" % (precision, x)) <= width)
        assert "%.*f" % (precision, x) == native


class TestUnits:
    def test_quantities_are_converted(self, tmp_path):
        pint = pytest.importorskip("pint")
        ureg = pint.get_application_registry()
        vr, _ = dart_batches(3)
        plain = write_dart_obs_seq(tmp_path / "plain.out", vr)
        as_units = DartBatch(
            **{
                **vr.__dict__,
                "lon": ureg.Quantity(np.deg2rad(vr.lon), "radian"),
                "height": ureg.Quantity(vr.height / 1e3, "km"),
                "nyquist": ureg.Quantity(26.5 * 3.6, "km/h"),
            }
        )
        assert write_dart_obs_seq(tmp_path / "units.out", as_units) == plain
        a, b = read_dart(tmp_path / "plain.out"), read_dart(tmp_path / "units.out")
        np.testing.assert_allclose(b["longitude"], a["longitude"], rtol=1e-14)
        np.testing.assert_allclose(b["vertical"], a["vertical"], rtol=1e-14)

    def test_wrong_dimension_is_refused(self, tmp_path):
        pint = pytest.importorskip("pint")
        ureg = pint.get_application_registry()
        with pytest.raises(ValueError, match="centres is in s, which cannot be converted to m"):
            write_wrfda_radar(
                tmp_path / "ob.radar", radar(2, 2, centres=ureg.Quantity([1.0, 2.0], "s"))
            )

    def test_radial_velocities_need_heights(self, tmp_path):
        vr, _ = dart_batches(2)
        with pytest.raises(ValueError, match="radial velocities need vertical='height'"):
            write_dart_obs_seq(tmp_path / "obs_seq.out", vr, vertical="pressure")


def test_writers_are_public():
    import kestrum

    for name in (
        "write_wrfda_radar",
        "write_dart_obs_seq",
        "WrfdaRadar",
        "DartBatch",
        "WriteCounts",
    ):
        assert getattr(kestrum, name) is getattr(obsfiles, name) and name in kestrum.__all__


def test_examples_in_the_docstrings_run():
    import doctest

    result = doctest.testmod(obsfiles, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0
