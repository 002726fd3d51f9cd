"""_tavolin: WRFDA radar observation text and DART observation-sequence records."""

from __future__ import annotations

import math
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _tavolin

STAMP = "2024-05-01_12:00:00"


def c_fixed(x: float, p: int) -> str:
    """The C conversion "%.*f"; Python matches it except for the sign of a NaN."""
    if math.isnan(x):
        return "-nan" if math.copysign(1.0, x) < 0 else "nan"
    return "%.*f" % (p, x)


def c_exp(x: float) -> str:
    """The C conversion "%.16E"."""
    if math.isnan(x):
        return "-NAN" if math.copysign(1.0, x) < 0 else "NAN"
    return "%.16E" % x


def wrfda(centres, lat, lon, elv, rv, rv_qc, rv_err, rf, rf_qc, rf_err, stamp=STAMP, **kw):
    return _tavolin.format_wrfda(
        centres, lat, lon, elv, rv, rv_qc, rv_err, rf, rf_qc, rf_err, stamp, **kw
    )


def wrfda_args(columns, levels, seed=0):
    rng = np.random.default_rng(seed)
    shape = (columns, levels)
    return dict(
        centres=np.linspace(250.0, 10_000.0, levels),
        lat=rng.uniform(30, 40, columns),
        lon=rng.uniform(-100, -90, columns),
        elv=rng.uniform(0, 2000, columns),
        rv=rng.normal(0, 15, shape),
        rv_qc=rng.integers(-1, 3, shape),
        rv_err=rng.uniform(1, 3, shape),
        rf=rng.uniform(-10, 60, shape),
        rf_qc=rng.integers(-1, 3, shape),
        rf_err=rng.uniform(1, 5, shape),
    )


def dart_args(n, seed=0, kind=None):
    rng = np.random.default_rng(seed)
    return dict(
        kind=rng.integers(0, 3, n) if kind is None else kind,
        value=rng.normal(0, 15, n),
        variance=rng.uniform(1, 25, n),
        lon=rng.uniform(4.3, 4.6, n),
        lat=rng.uniform(0.55, 0.65, n),
        height=rng.uniform(100, 15_000, n),
        days=rng.integers(150_000, 160_000, n),
        secs=rng.integers(0, 86_400, n),
        radar_lon=rng.uniform(4.3, 4.6, n),
        radar_lat=rng.uniform(0.55, 0.65, n),
        radar_height=rng.uniform(0, 1000, n),
        beam=rng.normal(0, 1, (n, 3)),
        nyquist=rng.uniform(10, 40, n),
        velkey=rng.integers(1, 1000, n),
        vertical=3,
    )


def dart_values(values):
    """put_e of each value, read back from the value line of kind-1 records."""
    n = len(values)
    args = dart_args(n, kind=np.ones(n, dtype=np.int64))
    args["value"] = values
    return _tavolin.format_dart(**args).split(b"\n")[1::11]


def sample_doubles(n, seed=7):
    """Doubles of every exponent range, subnormals, ties at 1 and 3 decimals, signed zeros."""
    rng = np.random.default_rng(seed)
    bits = rng.integers(0, 2**64, n, dtype=np.uint64).view(np.float64)
    return np.concatenate(
        [
            bits[np.isfinite(bits)],
            rng.normal(0, 30, n),
            10.0 ** rng.uniform(-30, 30, n) * rng.choice([-1.0, 1.0], n),
            (2 * rng.integers(-(10**6), 10**6, n) + 1) / 16,  # exact ties at 3 decimals
            (2 * rng.integers(-(10**6), 10**6, n) + 1) / 4,  # exact ties at 1 decimal
            np.nextafter(rng.integers(-(10**6), 10**6, n) / 2000, np.inf),
            np.array(
                [
                    0.0,
                    -0.0,
                    5e-324,
                    -5e-324,
                    2.2250738585072014e-308,
                    1.7976931348623157e308,
                    -1.7976931348623157e308,
                    2.0**-19,
                    np.nextafter(2.0**-19, 0),
                    1e16,
                    np.nextafter(1e16, 0),
                    1e15,
                    np.nextafter(1e15, 0),
                    0.0005,
                    -0.0004,
                    0.0015,
                    2.5,
                    9.9999999999999999e22,
                    2.0**63,
                    1e-99,
                    1e-100,
                ]
            ),
        ]
    )


class TestFields:
    def test_worked_fields(self):
        station = wrfda(
            [],
            [31.2],
            [1234567890.123],
            [1500.0],
            np.zeros((1, 0)),
            np.zeros((1, 0), dtype=np.int64),
            np.zeros((1, 0)),
            np.zeros((1, 0)),
            np.zeros((1, 0), dtype=np.int64),
            np.zeros((1, 0)),
        )
        assert station[34:] == b"        31.200  1234567890.123    1500.0       0\n"
        wide = wrfda(
            [],
            [0.0],
            [0.0],
            [-888888.0],
            np.zeros((1, 0)),
            np.zeros((1, 0), dtype=np.int64),
            np.zeros((1, 0)),
            np.zeros((1, 0)),
            np.zeros((1, 0), dtype=np.int64),
            np.zeros((1, 0)),
        )
        assert wide.endswith(b"  -888888.0       0\n") and len(wide) == 82
        assert dart_values([8.5, -8.5, 1e-300, 0.0]) == [
            b"   8.5000000000000000E+00",
            b"  -8.5000000000000000E+00",
            b"  1.0000000000000000E-300",
            b"   0.0000000000000000E+00",
        ]
        level = wrfda(
            [500.0], [0.0], [0.0], [0.0], [[0.0]], [[1234567]], [[0.0]], [[0.0]], [[-1]], [[0.0]]
        ).split(b"\n")[1]
        assert (
            level
            == b"          500.0       0.0001234567       0.000         0.000  -1       0.000  "
        )

    def test_identical_to_c_conversions_on_random_sample(self):
        x = sample_doubles(40_000)
        assert dart_values(x) == [("%25s" % c_exp(v)).encode() for v in x.tolist()]
        # one station line per value: latitude at 3 decimals, elevation at 1
        m = len(x)
        z = np.zeros((m, 0))
        lines = wrfda([], x, x, x, z, z, z, z, z, z).split(b"\n")[:-1]
        assert [ln.split()[3::2] for ln in lines] == [
            [c_fixed(v, 3).encode(), c_fixed(v, 1).encode()] for v in x.tolist()
        ]

    def test_non_finite_and_signed_zero(self):
        neg_nan = np.copysign(np.nan, -1.0)
        values = [np.nan, neg_nan, np.inf, -np.inf, -0.0, -0.0004]
        assert dart_values(values) == [
            b"                      NAN",
            b"                     -NAN",
            b"                      INF",
            b"                     -INF",
            b"  -0.0000000000000000E+00",
            b"  -4.0000000000000002E-04",
        ]
        out = wrfda(
            [0.0],
            [0.0],
            [0.0],
            [0.0],
            [values[:1]],
            [[0]],
            [values[1:2]],
            [values[2:3]],
            [[0]],
            [values[5:6]],
        ).split(b"\n")[1]
        assert out == b"   " + b"%12s%12s%4d%12s  %12s%4d%12s  " % (
            b"0.0",
            b"nan",
            0,
            b"-nan",
            b"inf",
            0,
            b"-0.000",
        )

    def test_extreme_integers_and_kind(self):
        big = np.iinfo(np.int64)
        args = dart_args(2, kind=np.array([big.max, big.min]))
        args["secs"] = np.array([big.min, 5])
        records = _tavolin.format_dart(**args).split(b"\n")
        assert records[8] == b"9223372036854775808"  # kind + 1 without overflow
        assert records[9] == b"-9223372036854775808 " + b"%10d" % args["days"][0]
        assert records[19] == b"-9223372036854775807"

    @pytest.mark.skipif(shutil.which("localedef") is None, reason="localedef is not installed")
    def test_comma_locale_keeps_point(self, tmp_path):
        build = subprocess.run(
            ["localedef", "-i", "de_DE", "-f", "UTF-8", str(tmp_path / "de_DE.UTF-8")],
            capture_output=True,
        )
        if not (tmp_path / "de_DE.UTF-8").exists():
            pytest.skip(f"no de_DE locale source to compile: {build.stderr.decode()[:200]}")
        code = textwrap.dedent("""
            import locale, _tavolin, numpy as np
            locale.setlocale(locale.LC_NUMERIC, "de_DE.UTF-8")
            assert locale.format_string("%.1f", 1.5) == "1,5"
            z = np.zeros((1, 2))
            w = _tavolin.format_wrfda([1.5, 2e20], [12.25], [3e300], [1.5], z, z, z, z, z, z, "s")
            d = _tavolin.format_dart([1, 1], [1.5, 1e-300], [1, 1], [1, 1], [1, 1], [1, 1], [1, 1],
                                     [1, 1], [1, 1], [1, 1], [1, 1], np.zeros((2, 3)), [1, 1],
                                     [1, 1], 3)
            print(w.decode() + d.decode())
        """)
        env = {"LOCPATH": str(tmp_path), "PATH": "/usr/bin:/bin"}
        run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        assert "," not in run.stdout
        assert "12.250" in run.stdout and "200000000000000000000.0" in run.stdout
        assert "1.5000000000000000E+00" in run.stdout and "1.0000000000000000E-300" in run.stdout


def wrfda_worked():
    return wrfda(
        [500.0, 1000.0],
        [35.123],
        [-97.4567],
        [370.0],
        [[12.5, -3.75]],
        [[0, 1]],
        [[2.0, 2.0]],
        [[35.25, 20.0]],
        [[0, 0]],
        [[3.0, 3.0]],
    )


class TestFormatWrfda:
    def test_worked_block(self):
        assert wrfda_worked().decode() == (
            "FM-128 RADAR   2024-05-01_12:00:00        35.123       -97.457     370.0       2\n"
            "          500.0      12.500   0       2.000        35.250   0       3.000  \n"
            "         1000.0      -3.750   1       2.000        20.000   0       3.000  \n"
        )

    def test_read_back_with_wrfda_fortran_formats(self):
        ff = pytest.importorskip("fortranformat")
        station = ff.FortranRecordReader("(a12,3x,a19,2x,2(f12.3,2x),f8.1,2x,i6)")
        level = ff.FortranRecordReader("(3x,f12.1,2(f12.3,i4,f12.3,2x))")
        a = wrfda_args(5, 7)
        lines = wrfda(**a).decode().splitlines()
        assert len(lines) == 5 * 8
        for c in range(5):
            name, stamp, lat, lon, elv, n = station.read(lines[c * 8])
            assert (name, stamp, n) == ("FM-128 RADAR", STAMP, 7)
            assert (lat, lon, elv) == (
                round(a["lat"][c], 3),
                round(a["lon"][c], 3),
                round(a["elv"][c], 1),
            )
            for k in range(7):
                got = level.read(lines[c * 8 + 1 + k])
                want = [round(a["centres"][k], 1)] + [
                    round(a[f][c, k], 3) if f.endswith(("v", "f", "err")) else a[f][c, k]
                    for f in ("rv", "rv_qc", "rv_err", "rf", "rf_qc", "rf_err")
                ]
                assert got == pytest.approx(want, abs=1e-9)

    def test_same_bytes_for_every_thread_count_across_blocks(self):
        a = wrfda_args(2049, 3)
        one = wrfda(**a, n_threads=1)
        assert len(one.split(b"\n")) == 2049 * 4 + 1
        for t in (0, 2, 3, 64, -5):
            assert wrfda(**a, n_threads=t) == one
        # the lone column of the second block is the last station block
        last = wrfda(**{k: (v if k == "centres" else v[2048:]) for k, v in a.items()})
        assert one.endswith(last)

    @pytest.mark.parametrize("stamp", [STAMP, "2024-05-01_12:00:00.250"])
    def test_over_wide_fields_in_some_blocks(self, stamp):
        # Most columns have the usual line lengths; a few have a field wider than its
        # width (the last column of the first block, one in the third block, a quality
        # flag in the last column), and one level's height is over-wide in every column.
        a = wrfda_args(5000, 4, seed=3)
        a["centres"][2] = 1.5e12
        a["rv"][2047, 1] = -123456789.25
        a["rf_err"][4100, 3] = 1e15
        a["rv_qc"][4999, 0] = -123456
        a["elv"][3000] = 12345678.0
        lines = []
        for c in range(5000):
            lines.append(
                "FM-128 RADAR   %-19s  %12.3f  %12.3f  %8.1f  %6d\n"
                % (stamp, a["lat"][c], a["lon"][c], a["elv"][c], 4)
            )
            for k in range(4):
                lines.append(
                    "   %12.1f%12.3f%4d%12.3f  %12.3f%4d%12.3f  \n"
                    % (
                        a["centres"][k],
                        a["rv"][c, k],
                        a["rv_qc"][c, k],
                        a["rv_err"][c, k],
                        a["rf"][c, k],
                        a["rf_qc"][c, k],
                        a["rf_err"][c, k],
                    )
                )
        want = "".join(lines).encode()
        for t in (1, 2, 3):
            assert wrfda(**a, stamp=stamp, n_threads=t) == want

    def test_stamp_widths_and_bytes(self):
        line = lambda s: wrfda(
            [],
            [1.0],
            [2.0],
            [3.0],
            np.zeros((1, 0)),  # noqa: E731
            np.zeros((1, 0), dtype=np.int64),
            np.zeros((1, 0)),
            np.zeros((1, 0)),
            np.zeros((1, 0), dtype=np.int64),
            np.zeros((1, 0)),
            stamp=s,
        )
        assert line("")[:36] == b"FM-128 RADAR   " + b" " * 21
        assert line("x" * 20)[15:38] == b"x" * 20 + b"   " and len(line("x" * 20)) == 82
        assert line(b"\xff\x00ab")[15:19] == b"\xff\x00ab"
        assert line(bytearray(b"ab")) == line("ab")
        assert line("é")[15:17] == "é".encode()

    def test_empty_inputs(self):
        assert (
            wrfda(
                [1.0],
                [],
                [],
                [],
                np.zeros((0, 1)),
                np.zeros((0, 1)),
                np.zeros((0, 1)),
                np.zeros((0, 1)),
                np.zeros((0, 1)),
                np.zeros((0, 1)),
            )
            == b""
        )
        z = np.zeros((2, 0))
        assert wrfda([], [1.0, 2.0], [0.0, 0.0], [0.0, 0.0], z, z, z, z, z, z).count(b"\n") == 2

    def test_errors_in_order(self):
        a = wrfda_args(3, 2)
        cases = [
            (dict(rv=a["rv"].T), "level arrays must be (columns, levels)"),
            (dict(rf_qc=a["rf_qc"].ravel()), "level arrays must be (columns, levels)"),
            (dict(rf_err=5.0), "level arrays must be (columns, levels)"),
            (dict(col_elv=[1.0, 2.0]), "column arrays must have the same length"),
            (dict(rv=a["rv"].T, col_elv=[1.0]), "level arrays must be (columns, levels)"),
            (
                dict(centres=np.zeros((2, 0))),
                "an array has fewer elements than its first dimension",
            ),
            (
                dict(col_lon=np.zeros((3, 0))),
                "an array has fewer elements than its first dimension",
            ),
        ]
        names = {"col_elv": "elv", "col_lon": "lon"}
        for change, message in cases:
            b = dict(a, **{names.get(k, k): v for k, v in change.items()})
            with pytest.raises(ValueError) as error:
                wrfda(**b)
            assert str(error.value) == message
        for name in ("centres", "lat", "lon", "elv"):
            with pytest.raises(IndexError, match=r"invalid axis: 0 \(ndim = 0\)"):
                wrfda(**dict(a, **{name: 1.0}))
        # extra trailing elements are accepted; the first values are used
        b = dict(a, lat=np.concatenate([a["lat"], a["lat"] + 50]).reshape(3, 2))
        assert wrfda(**b) == wrfda(**a)


DART_WORKED = """\
 OBS            1
  -8.5000000000000000E+00
           0
          -1           2          -1
obdef
loc3d
    4.4504552744578918E+00    6.0850001084595362E-01    3.0000000000000000E+03  3
kind
           1
platform
loc3d
    4.4500000000000002E+00    6.0799999999999998E-01    3.7000000000000000E+02  3
dir3d
    5.0000000000000000E-01   -2.5000000000000000E-01    2.9999999999999999E-02
    2.6500000000000000E+01
           1
 43200     154000
   4.0000000000000000E+00
 OBS            2
   3.5250000000000000E+01
           0
           1          -1          -1
obdef
loc3d
    4.4504552744578918E+00    6.0850001084595362E-01    3.0000000000000000E+03  3
kind
           2
 43200     154000
   2.5000000000000000E+01
"""


def dart_worked_args():
    return dict(
        kind=[0, 1],
        value=[-8.5, 35.25],
        variance=[4.0, 25.0],
        lon=[4.4504552744578914] * 2,
        lat=[0.6085000108459536] * 2,
        height=[3000.0] * 2,
        days=[154000] * 2,
        secs=[43200] * 2,
        radar_lon=[4.45, 0],
        radar_lat=[0.608, 0],
        radar_height=[370.0, 0],
        beam=[[0.5, -0.25, 0.03], [0, 0, 0]],
        nyquist=[26.5, 0],
        velkey=[1, 0],
        vertical=3,
    )


def dart_header(n, names):
    types = "".join(f"{i + 1:12d} {name}\n" for i, name in enumerate(names))
    return (
        f" obs_sequence\nobs_type_definitions\n{len(names):12d}\n{types}"
        f"  num_copies: {1:12d}  num_qc: {1:12d}\n  num_obs: {n:12d}  max_num_obs: {n:12d}\n"
        f"observation\nDART quality control\n  first: {1:12d}  last: {n:12d}\n"
    ).encode()


class TestFormatDart:
    def test_worked_block(self):
        assert _tavolin.format_dart(**dart_worked_args()).decode() == DART_WORKED

    def test_read_back_with_pydartdiags(self, tmp_path):
        obs_sequence = pytest.importorskip("pydartdiags.obs_sequence.obs_sequence")
        names = ["DOPPLER_RADIAL_VELOCITY", "RADAR_REFLECTIVITY", "RADIOSONDE_TEMPERATURE"]
        a = dart_args(50, seed=3)
        path = tmp_path / "obs_seq.out"
        path.write_bytes(dart_header(50, names) + _tavolin.format_dart(**a))
        df = obs_sequence.ObsSequence(str(path)).df
        assert df["obs_num"].tolist() == list(range(1, 51))
        assert df["type"].tolist() == [names[k] for k in a["kind"]]
        assert df["observation"].tolist() == a["value"].tolist()
        assert df["obs_err_var"].tolist() == a["variance"].tolist()
        assert df["longitude"].to_numpy() == pytest.approx(np.rad2deg(a["lon"]), rel=1e-15)
        assert df["latitude"].to_numpy() == pytest.approx(np.rad2deg(a["lat"]), rel=1e-15)
        assert df["vertical"].tolist() == a["height"].tolist()
        assert df["days"].tolist() == a["days"].tolist()
        assert df["seconds"].tolist() == a["secs"].tolist()
        epoch = np.datetime64("1601-01-01")
        want = epoch + a["days"].astype("timedelta64[D]") + a["secs"].astype("timedelta64[s]")
        assert (df["time"].to_numpy() == want).all()

    def test_links_across_blocks_and_thread_counts(self):
        a = dart_args(2049, seed=4)
        one = _tavolin.format_dart(**a, n_threads=1)
        for t in (0, 2, 7, -1):
            assert _tavolin.format_dart(**a, n_threads=t) == one
        records = one.split(b" OBS ")[1:]
        assert len(records) == 2049
        links = [r.split(b"\n")[3] for r in records]
        assert links[0] == b"          -1           2          -1"
        assert links[2047] == b"        2047        2049          -1"
        assert links[2048] == b"        2048          -1          -1"
        assert records[2048].startswith(b"        2049\n")
        for r, k in zip(records, a["kind"]):
            assert r.count(b"\n") == (18 if k == 0 else 11)
            assert (b"platform\n" in r) == (k == 0)

    def test_single_and_empty(self):
        one = {k: (v if k == "vertical" else v[:1]) for k, v in dart_worked_args().items()}
        assert _tavolin.format_dart(**one).split(b"\n")[3] == b"          -1" * 3
        empty = {
            k: (v if k == "vertical" else np.zeros((0, 3) if k == "beam" else 0))
            for k, v in dart_worked_args().items()
        }
        assert _tavolin.format_dart(**empty) == b""

    def test_wide_fields_shift_the_line(self):
        a = dart_worked_args()
        a.update(kind=[1, 1], secs=[1234567, 0], days=[12345678901, 0], vertical=-10)
        lines = _tavolin.format_dart(**a).split(b"\n")
        assert lines[6].endswith(b"E+03 -10") and len(lines[6]) == 82
        assert lines[9] == b"1234567 12345678901"

    def test_wide_fields_in_some_blocks_match_python_formatting(self):
        # A few records of a long call have a number wider than its field (a 13-digit
        # day in the first block, a huge velocity key at the end of the second); the rest
        # keep their usual length. Non-finite values are left out: Python spells them
        # differently.
        n = 5000
        a = dart_args(n, seed=9)
        a["days"][100] = 1234567890123
        a["velkey"][4095] = -(2**62)
        a["kind"][4095] = 0
        a["value"][3000] = -1e300
        out = _tavolin.format_dart(**a, n_threads=1)
        lines = []
        for i in range(n):
            lines.append(
                " OBS %12d\n%25.16E\n%12d\n%12d%12d%12d\nobdef\nloc3d\n"
                " %25.16E %25.16E %25.16E %2d\nkind\n%12d\n"
                % (
                    i + 1,
                    a["value"][i],
                    0,
                    i if i else -1,
                    i + 2 if i < n - 1 else -1,
                    -1,
                    a["lon"][i],
                    a["lat"][i],
                    a["height"][i],
                    3,
                    a["kind"][i] + 1,
                )
            )
            if a["kind"][i] == 0:
                b = a["beam"][i]
                lines.append(
                    "platform\nloc3d\n %25.16E %25.16E %25.16E %2d\ndir3d\n"
                    " %25.16E %25.16E %25.16E\n %25.16E\n%12d\n"
                    % (
                        a["radar_lon"][i],
                        a["radar_lat"][i],
                        a["radar_height"][i],
                        3,
                        b[0],
                        b[1],
                        b[2],
                        a["nyquist"][i],
                        a["velkey"][i],
                    )
                )
            lines.append("%6d %10d\n%25.16E\n" % (a["secs"][i], a["days"][i], a["variance"][i]))
        assert out == "".join(lines).encode()
        for t in (2, 3):
            assert _tavolin.format_dart(**a, n_threads=t) == out

    def test_errors_in_order(self):
        a = dart_worked_args()
        cases = [
            (dict(beam=[0.5, 0.5]), "beam must be (n, 3)"),
            (dict(beam=np.zeros((3, 3))), "all record arrays must have the same length"),
            (dict(velkey=[1, 2, 3], beam=[1, 2]), "all record arrays must have the same length"),
            (dict(beam=np.zeros((2, 3, 1))), "beam must be (n, 3)"),
            (dict(height=np.zeros((2, 0))), "an array has fewer elements than its first dimension"),
            (dict(kind=np.zeros((2, 0))), "an array has fewer elements than its first dimension"),
        ]
        for change, message in cases:
            with pytest.raises(ValueError) as error:
                _tavolin.format_dart(**dict(a, **change))
            assert str(error.value) == message
        for name in ("kind", "velkey", "beam"):
            with pytest.raises(IndexError, match=r"invalid axis: 0 \(ndim = 0\)"):
                _tavolin.format_dart(**dict(a, **{name: 1, "value": [1.0, 2.0, 3.0]}))
        with pytest.raises(TypeError):
            _tavolin.format_dart(**dict(a, vertical=3.0))
        b = dict(a, value=np.array([[-8.5, 35.25], [99.0, 99.0]]))
        assert _tavolin.format_dart(**b).decode() == DART_WORKED


@pytest.mark.memory_limit
class TestMemoryExhaustion:
    @pytest.mark.parametrize("n_threads", [1, 2])
    def test_block_growth_raises_memory_error(self, n_threads):
        code = textwrap.dedent(f"""
            import resource, numpy as np, _tavolin
            vm = int([l for l in open("/proc/self/status") if l.startswith("VmSize")][0].split()[1])
            resource.setrlimit(resource.RLIMIT_AS, ((vm + 400 * 1024) * 1024,) * 2)
            n = 4096
            z = np.zeros((n, 0))
            try:
                _tavolin.format_wrfda([], np.zeros(n), np.zeros(n), np.zeros(n), z, z, z, z, z, z,
                                      "x" * 1_000_000, n_threads={n_threads})
            except MemoryError:
                print("memory error")
            out = _tavolin.format_wrfda([], [1.0], [1.0], [1.0], z[:1], z[:1], z[:1], z[:1],
                                        z[:1], z[:1], "after")
            print(out.decode().split()[2])
        """)
        run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        assert run.stdout.split() == ["memory", "error", "after"]
