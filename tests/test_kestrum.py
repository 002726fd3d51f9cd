"""_kestrum: the numerical kernels of radar winds and cold pools."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kestrum

THREAD_COUNTS = [1, 2, 3, 8, 0, -5]


def same(a, b):
    """Bit-identical, NaNs included."""
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


class TestModule:
    def test_docstring(self):
        assert _kestrum.__doc__ == "Cold-pool, wind-profile and baroclinity kernel (multithreaded)."

    def test_function_doc_is_its_signature(self):
        assert _kestrum.vad.__doc__.lstrip().startswith("vad(vr:")
        assert "n_threads: typing.SupportsInt | typing.SupportsIndex = 0" in _kestrum.vad.__doc__


def full_circle(gates=360, u=10.0, v=5.0, offset=2.0, cos_el=0.9):
    az = np.deg2rad(np.arange(gates) * 360.0 / gates)
    vr = u * np.sin(az) * cos_el + v * np.cos(az) * cos_el + offset
    return vr[None, :], az[None, :], np.array([cos_el])


def random_scan(rows, gates, seed=0, missing=0.1):
    rng = np.random.default_rng(seed)
    az = rng.uniform(0, 2 * np.pi, (rows, gates))
    vr = 8 * np.sin(az) - 3 * np.cos(az) + 1.5 + 0.7 * np.sin(2 * az) + rng.normal(0, 2, az.shape)
    vr[rng.random(vr.shape) < missing] = np.nan
    cos_el = np.cos(rng.uniform(0, 0.5, rows))
    return vr, az, cos_el


def lstsq_fit(vr, az, cos_el):
    """Both fits of one row by an independent least-squares solve."""
    ok = np.isfinite(vr) & np.isfinite(az)
    v, a = vr[ok], az[ok]
    X1 = np.column_stack([np.ones_like(a), np.sin(a), np.cos(a)])
    c1, *_ = np.linalg.lstsq(X1, v, rcond=None)
    rms = np.sqrt(np.mean((v - X1 @ c1) ** 2))
    X2 = np.column_stack([X1, np.sin(2 * a), np.cos(2 * a)])
    c2, *_ = np.linalg.lstsq(X2, v, rcond=None)
    return np.array([c1[1] / cos_el, c1[2] / cos_el, c1[0], rms, ok.sum(), c2[0], c2[3], c2[4]])


class TestVad:
    def test_full_circle_recovers_the_wind(self):
        out = _kestrum.vad(*full_circle(), 3, 0.1)
        assert out.shape == (8, 1) and out.dtype == np.float64
        np.testing.assert_allclose(out[:, 0], [10, 5, 2, 0, 360, 2, 0, 0], atol=1e-12)

    def test_four_gates_on_the_axes_give_no_second_order_fit(self):
        az = np.deg2rad([[0.0, 90.0, 180.0, 270.0]])
        out = _kestrum.vad(3 * np.sin(az) + 4 * np.cos(az), az, [1.0], 3, 1e-6)[:, 0]
        np.testing.assert_allclose(out[:5], [3, 4, 0, 0, 4], atol=1e-12)
        assert np.isnan(out[5:]).all()

    def test_one_azimuth_has_no_spread(self):
        out = _kestrum.vad(np.arange(10.0)[None], np.full((1, 10), 0.3), [1.0], 3, 1e-9)[:, 0]
        assert out[4] == 10 and np.isnan(np.delete(out, 4)).all()

    def test_nan_min_spread_accepts_no_fit(self):
        out = _kestrum.vad(*full_circle(), 3, np.nan)[:, 0]
        assert out[4] == 360 and np.isnan(np.delete(out, 4)).all()

    @pytest.mark.parametrize("min_gates, valid", [(10, 9), (0, 2), (-4, 2)])
    def test_too_few_gates(self, min_gates, valid):
        vr, az, cos_el = full_circle(gates=valid)
        out = _kestrum.vad(vr, az, cos_el, min_gates, 0.0)[:, 0]
        assert out[4] == valid and np.isnan(np.delete(out, 4)).all()

    def test_invalid_gates_are_left_out_exactly(self):
        vr, az, cos_el = random_scan(1, 40, missing=0.0)
        holed_vr, holed_az = vr.copy(), az.copy()
        holed_vr[0, [3, 17]] = [np.nan, np.inf]
        holed_az[0, [5, 30]] = [-np.inf, np.nan]
        keep = np.ones(40, bool)
        keep[[3, 5, 17, 30]] = False
        out = _kestrum.vad(holed_vr, holed_az, cos_el, 3, 0.0)
        assert out[4, 0] == 36
        assert same(out, _kestrum.vad(vr[:, keep], az[:, keep], cos_el, 3, 0.0))

    def test_zero_cos_el_touches_only_the_wind_planes(self):
        vr, az, _ = full_circle()
        out = _kestrum.vad(vr, az, [0.0], 3, 0.1)[:, 0]
        assert np.isinf(out[0]) and np.isinf(out[1])
        np.testing.assert_allclose(out[2:], [2, 0, 360, 2, 0, 0], atol=1e-12)

    @pytest.mark.parametrize("rows, gates", [(5, 0), (0, 7), (0, 0)])
    def test_empty(self, rows, gates):
        out = _kestrum.vad(np.zeros((rows, gates)), np.zeros((rows, gates)), np.ones(rows), 3, 0.1)
        assert out.shape == (8, rows)
        assert (out[4] == 0).all() and np.isnan(np.delete(out, 4, axis=0)).all()

    @pytest.mark.parametrize(
        "vr, az, cos_el, message",
        [
            (np.zeros(4), np.zeros(4), np.ones(1), "vr, az must be 2-D"),
            (np.zeros((2, 3)), np.zeros((1, 2, 3)), np.ones(2), "vr, az must be 2-D"),
            (np.zeros((3, 4)), np.zeros((4, 3)), np.ones(3), "shape mismatch"),
            (np.zeros((3, 4)), np.zeros((3, 5)), np.ones(3), "shape mismatch"),
            (np.zeros((3, 4)), np.zeros((3, 4)), np.ones(4), "shape mismatch"),
            (np.zeros((3, 4)), np.zeros((3, 4)), 1.0, "shape mismatch"),
        ],
    )
    def test_shape_errors(self, vr, az, cos_el, message):
        with pytest.raises(ValueError) as error:
            _kestrum.vad(vr, az, cos_el, 3, 0.1)
        assert str(error.value) == message

    def test_matches_least_squares(self):
        vr, az, cos_el = random_scan(50, 90, seed=3)
        out = _kestrum.vad(vr, az, cos_el, 3, 0.0)
        expected = np.column_stack([lstsq_fit(vr[r], az[r], cos_el[r]) for r in range(50)])
        np.testing.assert_allclose(out, expected, rtol=1e-9, atol=1e-9)

    @settings(max_examples=60, deadline=None)
    @given(
        gates=st.integers(5, 40),
        seed=st.integers(0, 2**32 - 1),
        missing=st.floats(0.0, 0.5),
    )
    def test_matches_least_squares_on_random_rows(self, gates, seed, missing):
        vr, az, cos_el = random_scan(1, gates, seed=seed, missing=missing)
        out = _kestrum.vad(vr, az, cos_el, 5, 0.01)[:, 0]
        expected = lstsq_fit(vr[0], az[0], cos_el[0])
        assert out[4] == expected[4]
        if np.isfinite(out[0]):
            np.testing.assert_allclose(out[:4], expected[:4], rtol=1e-7, atol=1e-7)
        if np.isfinite(out[5]):
            np.testing.assert_allclose(out[5:], expected[5:], rtol=1e-6, atol=1e-6)

    def test_identical_for_every_thread_count(self):
        vr, az, cos_el = random_scan(64 * 5 + 7, 60, seed=11, missing=0.3)
        first = _kestrum.vad(vr, az, cos_el, 42, 0.05, n_threads=1)
        assert np.isnan(first[0]).any() and np.isfinite(first[0]).any()
        for n_threads in THREAD_COUNTS:
            assert same(_kestrum.vad(vr, az, cos_el, 42, 0.05, n_threads=n_threads), first)


class TestArgumentConversion:
    """Conversion rules every function shares, exercised through vad."""

    def setup_method(self):
        self.vr, self.az, self.cos_el = random_scan(70, 24, seed=5, missing=0.0)
        self.expected = _kestrum.vad(self.vr, self.az, self.cos_el, 3, 0.0)

    def test_lists_and_integer_arrays(self):
        vr = np.round(self.vr).astype(np.int64)
        expected = _kestrum.vad(vr.astype(float), self.az, self.cos_el, 3, 0.0)
        assert same(_kestrum.vad(vr, self.az.tolist(), list(self.cos_el), 3, 0.0), expected)

    def test_fortran_and_strided_inputs_are_read_correctly_and_left_alone(self):
        vr_f = np.asfortranarray(self.vr)
        wide = np.zeros((70, 48))
        wide[:, ::2] = self.az
        az_strided = wide[:, ::2]
        before = (vr_f.copy(), wide.copy())
        assert same(_kestrum.vad(vr_f, az_strided, self.cos_el, 3, 0.0), self.expected)
        assert same(vr_f, before[0]) and same(wide, before[1])

    def test_keywords_and_default_threads(self):
        out = _kestrum.vad(min_spread=0.0, min_gates=3, cos_el=self.cos_el, az=self.az, vr=self.vr)
        assert same(out, self.expected)
        assert same(_kestrum.vad(self.vr, self.az, self.cos_el, np.int64(3), 0.0, np.int32(2)),
                    self.expected)

    @pytest.mark.parametrize("bad", [{"n_threads": 2.0}, {"min_gates": 3.0}, {"n_threads": np.float64(1)}])
    def test_float_for_an_integer_is_refused(self, bad):
        args = dict(vr=self.vr, az=self.az, cos_el=self.cos_el, min_gates=3, min_spread=0.0)
        with pytest.raises(TypeError):
            _kestrum.vad(**{**args, **bad})

    def test_unconvertible_array_is_a_type_error(self):
        with pytest.raises(TypeError):
            _kestrum.vad([[1.0, 2.0], [3.0]], self.az, self.cos_el, 3, 0.0)
        with pytest.raises(TypeError):
            _kestrum.vad("north", self.az, self.cos_el, 3, 0.0)
