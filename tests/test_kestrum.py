"""_kestrum: the numerical kernels of radar winds and cold pools."""

import math
from decimal import Decimal, localcontext

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kestrum

nan = np.nan
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


def spread_fits(vr, az, min_gates, min_spread):
    """Which rows must get each fit, from the covariance determinants of the regressors
    of every row, computed by NumPy: (first-order, second-order) as boolean rows."""
    first, second = [], []
    for v, a in zip(vr, az):
        a = a[np.isfinite(v) & np.isfinite(a)]
        if len(a) < max(min_gates, 3):
            first.append(False)
            second.append(False)
            continue
        wind = np.linalg.det(np.cov([np.sin(a), np.cos(a)], bias=True))
        both = np.linalg.det(
            np.cov([np.sin(a), np.cos(a), np.sin(2 * a), np.cos(2 * a)], bias=True)
        )
        # Keep away from the thresholds, where rounding decides (the boundary tests' job).
        assert abs(wind - min_spread) > 1e-9 and abs(both - 0.25 * min_spread) > 1e-9
        first.append(wind >= min_spread)
        second.append(wind >= min_spread and both >= 0.25 * min_spread)
    return np.array(first), np.array(second)


def kernel_spreads(vr, az):
    """The two spread ratios of one row exactly as the fit rounds them: sums over the
    valid gates in gate order, centred regressors, and the determinant of the
    second-order system as Gaussian elimination with partial pivoting leaves it.

    Python floats round every operation on its own, as the kernel (built without
    contraction into fused multiply-adds) does, and math.sin/cos are the C library's."""
    ok = np.isfinite(vr) & np.isfinite(az)
    az = [float(a) for a in az[ok]]
    n = float(len(az))
    cols = [
        [math.sin(a) for a in az],
        [math.cos(a) for a in az],
        [math.sin(2.0 * a) for a in az],
        [math.cos(2.0 * a) for a in az],
    ]
    means = []
    for col in cols:
        total = 0.0
        for x in col:
            total += x
        means.append(total / n)
    A = [[0.0] * 4 for _ in range(4)]
    for j in range(len(az)):
        d = [cols[k][j] - means[k] for k in range(4)]
        for k in range(4):
            for m in range(k, 4):
                A[k][m] += d[k] * d[m]
    for k in range(1, 4):
        for m in range(k):
            A[k][m] = A[m][k]
    first = (A[0][0] * A[1][1] - A[0][1] * A[0][1]) / (n * n)
    exchanges = 0
    for k in range(3):
        pivot = k  # the first of the largest magnitudes
        for i in range(k + 1, 4):
            if abs(A[i][k]) > abs(A[pivot][k]):
                pivot = i
        if pivot != k:
            A[k], A[pivot] = A[pivot], A[k]
            exchanges += 1
        for i in range(k + 1, 4):
            f = A[i][k] / A[k][k]
            for j in range(k, 4):
                A[i][j] -= f * A[k][j]
    det = A[0][0] * A[1][1] * A[2][2] * A[3][3]
    if exchanges % 2:
        det = -det
    return first, det / ((n * n) * (n * n))


def boundary_rows(count, seed):
    """Rows with good azimuthal coverage: random azimuths round the circle, a tenth of
    the gates missing."""
    rng = np.random.default_rng(seed)
    for _ in range(count):
        gates = int(rng.integers(12, 120))
        az = rng.uniform(0, 2 * np.pi, (1, gates))
        vr = 6 * np.sin(az) - 2 * np.cos(az) + 1 + rng.normal(0, 1.5, az.shape)
        vr[0, rng.random(gates) < 0.1] = np.nan
        yield vr, az, np.array([0.8])


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

    @pytest.mark.parametrize("min_spread", [0.0, -1.0, 1e-300])
    @pytest.mark.parametrize("gates", [4, 5_000])
    def test_two_azimuths_give_no_fit_whatever_min_spread(self, min_spread, gates):
        # Two distinct azimuths leave the 2x2 system singular; only rounding keeps its
        # determinant off zero, which a min_spread of 0 used to let through.
        az = np.resize([0.3, 1.2], gates)[None]
        vr = np.resize([1.0, 3.0], gates)[None] * 1e6
        out = _kestrum.vad(vr, az, [1.0], 3, min_spread)[:, 0]
        assert out[4] == gates and np.isnan(np.delete(out, 4)).all()

    @pytest.mark.parametrize("distinct, second_order", [(3, False), (4, False), (5, True)])
    def test_second_order_needs_five_azimuths_whatever_min_spread(self, distinct, second_order):
        az = np.resize(np.linspace(0.2, 5.0, distinct), 40)[None]
        vr = 4 * np.sin(az) - 2 * np.cos(az) + 1 + 0.5 * np.sin(2 * az)
        out = _kestrum.vad(vr, az, [1.0], 3, 0.0)[:, 0]
        assert np.isfinite(out[:4]).all()
        assert np.isfinite(out[5:]).all() == second_order

    def test_rows_passing_a_positive_min_spread_are_unchanged(self):
        # The singularity test only refuses systems that are singular up to rounding, so
        # a narrow sector that clears min_spread is fitted exactly as before.
        az = np.linspace(0.0, 0.6, 30)[None]
        vr = 5 * np.sin(az) + 2 * np.cos(az)
        spread = (
            np.var(np.sin(az)) * np.var(np.cos(az))
            - np.cov(np.sin(az), np.cos(az), bias=True)[0, 1] ** 2
        )
        out = _kestrum.vad(vr, az, [1.0], 3, 1e-10)[:, 0]
        assert spread < 1e-3
        np.testing.assert_allclose(out[:2], [5, 2], rtol=1e-6)

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
        # Rows to turn down or keep at the edges: rows 0-2 keep 7, 8 and 9 valid gates for
        # min_gates 8; rows 3-5 cover sectors of 2, 2.3 and 3.85 radians: too narrow for
        # both fits, wide enough for the first order only (its ratio about 15% above
        # min_spread), and for both (the second-order ratio 15% above its bound).
        for r, keep in enumerate([7, 8, 9]):
            vr[r, np.flatnonzero(np.isfinite(vr[r]))[keep:]] = np.nan
        for r, width in zip([3, 4, 5], [2.0, 2.3, 3.85]):
            az[r] = np.linspace(0.4, 0.4 + width, 90)
        out = _kestrum.vad(vr, az, cos_el, 8, 0.01)
        first, second = spread_fits(vr, az, 8, 0.01)
        assert first.tolist()[:6] == [False, True, True, False, True, True]
        assert second.tolist()[3:6] == [False, False, True] and second.sum() > 40
        assert (np.isfinite(out[:4]) == first).all() and (np.isfinite(out[5:]) == second).all()
        expected = np.column_stack([lstsq_fit(vr[r], az[r], cos_el[r]) for r in range(50)])
        expected[:4, ~first] = nan
        expected[5:, ~second] = nan
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
        first, second = spread_fits(vr, az, 5, 0.01)
        assert np.isfinite(out[0]) == first[0] and np.isfinite(out[5]) == second[0]
        if np.isfinite(out[0]):
            np.testing.assert_allclose(out[:4], expected[:4], rtol=1e-7, atol=1e-7)
        if np.isfinite(out[5]):
            np.testing.assert_allclose(out[5:], expected[5:], rtol=1e-6, atol=1e-6)

    def test_first_order_spread_is_tested_at_equality(self):
        for vr, az, cos_el in boundary_rows(12, seed=21):
            ratio, _ = kernel_spreads(vr[0], az[0])
            at = _kestrum.vad(vr, az, cos_el, 3, ratio)[:, 0]
            assert np.isfinite(at[:5]).all()
            above = _kestrum.vad(vr, az, cos_el, 3, np.nextafter(ratio, np.inf))[:, 0]
            assert np.isnan(np.delete(above, 4)).all()

    def test_second_order_spread_is_tested_at_equality(self):
        for vr, az, cos_el in boundary_rows(12, seed=22):
            first, ratio = kernel_spreads(vr[0], az[0])
            # The second-order test compares with a quarter of min_spread, so pass four
            # times the row's ratio (exact in binary); the first order passes with room.
            min_spread = 4 * ratio
            assert np.nextafter(min_spread, np.inf) < first
            at = _kestrum.vad(vr, az, cos_el, 3, min_spread)[:, 0]
            assert np.isfinite(at).all()
            above = _kestrum.vad(vr, az, cos_el, 3, np.nextafter(min_spread, np.inf))[:, 0]
            assert same(above[:5], at[:5]) and np.isnan(above[5:]).all()

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
        assert same(
            _kestrum.vad(self.vr, self.az, self.cos_el, np.int64(3), 0.0, np.int32(2)),
            self.expected,
        )

    @pytest.mark.parametrize(
        "bad", [{"n_threads": 2.0}, {"min_gates": 3.0}, {"n_threads": np.float64(1)}]
    )
    def test_float_for_an_integer_is_refused(self, bad):
        args = dict(vr=self.vr, az=self.az, cos_el=self.cos_el, min_gates=3, min_spread=0.0)
        with pytest.raises(TypeError):
            _kestrum.vad(**{**args, **bad})

    def test_unconvertible_array_is_a_type_error(self):
        with pytest.raises(TypeError):
            _kestrum.vad([[1.0, 2.0], [3.0]], self.az, self.cos_el, 3, 0.0)
        with pytest.raises(TypeError):
            _kestrum.vad("north", self.az, self.cos_el, 3, 0.0)


# ---- gradient, profile, cold_pool, thermo ----


def thread_invariant(call):
    one = call(1)
    for t in (2, 3, 0, -5):
        assert same(call(t), one)
    return one


def rule_table(v, c):
    """Derivative of a 1-D sequence by the neighbour rule, one point at a time."""
    out = np.full(len(v), nan)
    for k in range(len(v)):
        prev = k > 0 and np.isfinite(v[k - 1])
        nxt = k + 1 < len(v) and np.isfinite(v[k + 1])
        if not np.isfinite(v[k]) or not (prev or nxt):
            continue
        lo, hi = (k - 1 if prev else k), (k + 1 if nxt else k)
        out[k] = (v[hi] - v[lo]) / (c[hi] - c[lo])
    return out


class TestGradient:
    def test_linear_field_is_exact_on_uneven_grid(self):
        x, y = np.array([0.0, 1, 3, 7]), np.array([0.0, 2, 5])
        f = (3 * x[None, :] + 2 * y[:, None])[None]
        g = _kestrum.gradient(f, x, y)
        assert g.shape == (2, 1, 3, 4)
        assert (g[0] == 3).all() and (g[1] == 2).all()

    def test_centred_difference_spans_both_neighbours(self):
        x = np.array([0.0, 1, 3])
        g = _kestrum.gradient((x**2)[None, None, :], x, [0.0])
        assert g[0, 0, 0].tolist() == [1.0, 3.0, 4.0]
        assert np.isnan(g[1]).all()  # one row: no y-derivative

    def test_random_gaps_follow_the_rule_along_both_axes(self):
        rng = np.random.default_rng(7)
        f = rng.normal(size=(2, 6, 7))
        gaps = rng.random(f.shape) < 0.3
        f[gaps] = rng.choice([nan, np.inf, -np.inf], size=gaps.sum())
        x, y = np.cumsum(rng.uniform(0.5, 2, 7)), -np.cumsum(rng.uniform(0.5, 2, 6))
        g = _kestrum.gradient(f, x, y)
        for b in range(2):
            for j in range(6):
                np.testing.assert_array_equal(g[0, b, j], rule_table(f[b, j], x))
            for i in range(7):
                np.testing.assert_array_equal(g[1, b, :, i], rule_table(f[b, :, i], y))

    def test_matches_numpy_on_even_grid(self):
        f = np.random.default_rng(1).normal(size=(3, 20, 30))
        x, y = np.arange(30) * 0.5, np.arange(20) * 2.0
        gx, gy = np.gradient(f, 0.5, 2.0, axis=(2, 1), edge_order=1)
        g = _kestrum.gradient(f, x, y)
        np.testing.assert_allclose(g[0], gx, rtol=1e-13, atol=1e-13)
        np.testing.assert_allclose(g[1], gy, rtol=1e-13, atol=1e-13)

    @pytest.mark.parametrize("shape", [(0, 3, 4), (2, 0, 4), (2, 3, 0)])
    def test_empty(self, shape):
        g = _kestrum.gradient(np.zeros(shape), np.zeros(shape[2]), np.zeros(shape[1]))
        assert g.shape == (2, *shape)

    def test_single_column(self):
        g = _kestrum.gradient(np.ones((2, 3, 1)), [0.0], [0.0, 1, 2])
        assert np.isnan(g[0]).all() and (g[1] == 0).all()

    def test_errors(self):
        with pytest.raises(ValueError, match=r"^f must be 3-D \(batch, y, x\)$"):
            _kestrum.gradient(np.zeros((3, 4)), np.zeros(4), np.zeros(3))
        with pytest.raises(ValueError, match="^coordinate size$"):
            _kestrum.gradient(np.zeros((1, 3, 4)), np.zeros(5), np.zeros(3))
        with pytest.raises(ValueError, match="^coordinate size$"):
            _kestrum.gradient(np.zeros((1, 3, 4)), np.zeros(4), np.zeros(2))
        assert _kestrum.gradient(np.zeros((1, 3, 4)), np.zeros((4, 1)), [0, 1, 2]).shape == (
            2,
            1,
            3,
            4,
        )

    def test_thread_count_does_not_change_result(self):
        rng = np.random.default_rng(2)
        f = rng.normal(size=(3, 45, 17))  # 135 rows: 17 blocks
        f[rng.random(f.shape) < 0.1] = nan
        x, y = np.cumsum(rng.uniform(0.1, 1, 17)), np.cumsum(rng.uniform(0.1, 1, 45))
        thread_invariant(lambda t: _kestrum.gradient(f, x, y, n_threads=t))


Z = [[100.0, 600, 1100, 1600, 2100, 3100]]
U = [[0.0, 5, 10, 12, 14, 16]]
V = [[0.0, 5, 6, 6, 5, 3]]


def profile1(bottom, top, ground=100.0, cu=5.0, cv=2.0, z=Z, u=U, v=V):
    return _kestrum.profile(z, u, v, [ground], bottom, top, [cu], [cv])[:, 0].tolist()


class TestProfile:
    @pytest.mark.parametrize(
        "args, expected",
        [
            ((0, 1000), [0, 0, 10, 6, 30, 5, 4]),
            ((0, 1000, nan), [0, 0, 10, 6, 30, 5, 4]),
            ((250, 3000), [2.5, 2.5, 16, 3, 69.5, 11.522727272727273, 4.886363636363637]),
            ((500, 500), [5, 5, 5, 5, 0, 5, 5]),
        ],
    )
    def test_worked_examples(self, args, expected):
        assert profile1(*args) == expected

    def test_column_too_short_and_nan_motion(self):
        assert np.isnan(profile1(0, 6000)).all()
        got = profile1(0, 1000, cu=nan)
        assert np.isnan(got[4]) and got[:4] + got[5:] == [0, 0, 10, 6, 5, 4]
        assert np.isnan(profile1(0, 1000, cv=np.inf)[4])

    def test_height_tolerance_at_both_ends(self):
        assert profile1(-1e-6 * 0.9, 1000)[:2] == [0, 0]
        assert np.isnan(profile1(-2e-6, 1000)).all()
        assert profile1(0, 3000 + 0.9e-6)[2:4] == [16, 3]
        assert np.isnan(profile1(0, 3000 + 2e-6)).all()

    def test_invalid_levels_are_bridged(self):
        z = [[100.0, 350, 600, 850, 1100, 1600, 2100, 3100]]
        u = [[0.0, 99, 5, 99, nan, 12, 14, 16]]
        v = [[0.0, nan, 5, 99, 99, 6, 5, 3]]
        z[0][3] = np.inf
        # Without the level at 1100 the top wind comes from between 600 and 1600.
        got = profile1(0, 1000, z=z, u=u, v=v)
        assert got == profile1(0, 1000, z=[[100.0, 600, 1600]], u=[[0.0, 5, 12]], v=[[0.0, 5, 6]])
        assert got[2:4] == [8.5, 5.5]

    def test_layer_upside_down_keeps_bottom_wind_and_closing_term(self):
        got = profile1(1000, 0)
        assert got[5:] == got[:2] == [10, 6]
        assert got[4] == (0 - 5) * (6 - 2) - (0 - 2) * (10 - 5)

    def test_no_reference_or_no_layer(self):
        assert np.isnan(
            profile1(0, 1000, ground=nan, z=[[nan, 600]], u=[[0, 5]], v=[[0, nan]])
        ).all()
        assert np.isnan(profile1(nan, 1000)).all() and np.isnan(profile1(0, nan)).all()
        empty = _kestrum.profile(
            np.zeros((3, 0)), np.zeros((3, 0)), [], np.zeros(3), 0, 1, np.zeros(3), np.zeros(3)
        )
        assert empty.shape == (7, 3) and np.isnan(empty).all()
        assert _kestrum.profile([], np.zeros((0, 4)), [], [], 0, 1, [], []).shape == (7, 0)

    def test_errors_in_order(self):
        z, u, n = np.zeros(6), np.zeros((2, 3)), np.zeros(2)
        with pytest.raises(ValueError, match="^u must be 2-D$"):
            _kestrum.profile(np.zeros(7), np.zeros(6), z, n, 0, 1, n, n)
        for bad in range(5):
            args = [z, z, n, n, n]
            args[bad] = np.zeros(args[bad].size + 1)
            with pytest.raises(ValueError, match="^shape mismatch$"):
                _kestrum.profile(args[0], u, args[1], args[2], 0, 1, args[3], args[4])
        assert _kestrum.profile(z.reshape(3, 2), u, z, n, 0, 1, n, n).shape == (7, 2)

    def test_matches_independent_sums_on_rising_columns(self):
        rng = np.random.default_rng(3)
        n, levels = 200, 30
        z = np.cumsum(rng.uniform(50, 300, (n, levels)), axis=1)
        u, v = rng.normal(5, 5, (n, levels)), rng.normal(0, 5, (n, levels))
        cu, cv = rng.normal(5, 2, n), rng.normal(0, 2, n)
        bottom, top = 300.0, 2500.0
        got = thread_invariant(
            lambda t: _kestrum.profile(z, u, v, z[:, 0], bottom, top, cu, cv, n_threads=t)
        )
        for r in range(n):
            zb, zt = z[r, 0] + bottom, z[r, 0] + top
            inside = (z[r] > zb) & (z[r] < zt)
            ub, vb = np.interp(zb, z[r], u[r]), np.interp(zb, z[r], v[r])
            ut, vt = np.interp(zt, z[r], u[r]), np.interp(zt, z[r], v[r])
            zs = np.r_[zb, z[r, inside], zt]
            us, vs = np.r_[ub, u[r, inside], ut] - cu[r], np.r_[vb, v[r, inside], vt] - cv[r]
            srh = np.sum(us[1:] * vs[:-1] - us[:-1] * vs[1:])
            mean_u = np.trapezoid(np.r_[ub, u[r, inside], ut], zs) / (zt - zb)
            np.testing.assert_allclose(got[:4, r], [ub, vb, ut, vt], rtol=1e-12, atol=1e-12)
            np.testing.assert_allclose(got[4:6, r], [srh, mean_u], rtol=1e-10, atol=1e-9)


def cold1(bottom, threshold, top, z=((0.0, 100, 200, 300),), b=((-0.02, -0.01, 0.0, 0.01),)):
    return _kestrum.cold_pool(z, b, bottom, threshold, top)[:, 0].tolist()


class TestColdPool:
    @pytest.mark.parametrize(
        "args, expected",
        [
            ((nan, 0, nan), [2.0, 200.0, 0.0]),
            ((nan, 0, 150), [np.sqrt(3.75), 150.0, 0.0]),
            ((nan, 0.05, nan), [np.sqrt(3.0), 300.0, 1.0]),
            ((nan, -0.03, nan), [0.0, 0.0, 0.0]),
            ((50, 0, nan), [1.0, 100.0, 0.0]),
        ],
    )
    def test_worked_examples(self, args, expected):
        np.testing.assert_allclose(cold1(*args), expected, rtol=1e-15)

    def test_no_result(self):
        assert np.isnan(cold1(nan, 0, 500)).all()  # flag is NaN too, not 1
        assert np.isnan(cold1(400, 0, nan)).all()  # nothing at or above bottom
        assert np.isnan(cold1(nan, 0, nan, z=[[nan, 1.0]], b=[[0.0, np.inf]])).all()
        assert np.isnan(cold1(nan, 0, 10, z=[[0.0, 100]], b=[[-1.0, nan]])).all()
        empty = _kestrum.cold_pool(np.zeros((2, 0)), np.zeros((2, 0)), [0, 0], 0, [1, 1])
        assert empty.shape == (3, 2) and np.isnan(empty).all()
        assert _kestrum.cold_pool(np.zeros((0, 5)), np.zeros((0, 5)), [], 0, []).shape == (3, 0)

    def test_open_top_and_nan_threshold(self):
        assert cold1(nan, 0, nan, z=[[0.0, 100]], b=[[-1.0, nan]]) == [0.0, 0.0, 1.0]
        assert cold1(nan, nan, nan) == cold1(nan, 1.0, nan)
        assert cold1(nan, nan, nan)[2] == 1.0

    def test_net_positive_buoyancy_gives_zero(self):
        assert cold1(nan, 0, 300, b=[[0.01, -0.001, 0.02, 0.03]]) == [0.0, 300.0, 0.0]

    def test_zero_depth_on_a_repeated_height_stays_nan(self):
        # The interpolation divides 0 by 0; the clamp must not turn that NaN into 0.
        got = cold1(nan, 0, 0.0, z=[[0.0, 0, 100]], b=[[-0.01, -0.02, 0.0]])
        assert np.isnan(got[0]) and got[1:] == [0.0, 0.0]

    def test_gaps_are_bridged_and_modes_mix(self):
        z = [[0.0, 50, 100, 200, 300]] * 2
        b = [[-0.02, nan, -0.01, 0.0, 0.01]] * 2
        got = _kestrum.cold_pool(z, b, [[nan, nan]], 0.0, [[nan], [150]])
        np.testing.assert_allclose(
            got.T, [[2.0, 200.0, 0.0], [np.sqrt(3.75), 150.0, 0.0]], rtol=1e-15
        )

    def test_errors(self):
        z, n = np.zeros((2, 4)), np.zeros(2)
        with pytest.raises(ValueError, match="^z and b must be 2-D$"):
            _kestrum.cold_pool(np.zeros(8), z, n, 0, n)
        with pytest.raises(ValueError, match="^z and b must be 2-D$"):
            _kestrum.cold_pool(z, np.zeros(8), n, 0, n)
        with pytest.raises(ValueError, match="^shape mismatch$"):
            _kestrum.cold_pool(z, np.zeros((2, 5)), n, 0, n)
        with pytest.raises(ValueError, match="^shape mismatch$"):
            _kestrum.cold_pool(z, z, np.zeros(3), 0, n)
        with pytest.raises(ValueError, match="^shape mismatch$"):
            _kestrum.cold_pool(z, z, n, 0, np.zeros(3))
        assert _kestrum.cold_pool(z[:1], z[:1], 0.0, 0, 1.0).shape == (3, 1)

    def test_matches_trapezoid_when_no_threshold_is_crossed(self):
        rng = np.random.default_rng(4)
        n, levels = 300, 20
        z = np.cumsum(rng.uniform(10, 100, (n, levels)), axis=1)
        b = -rng.uniform(0.001, 0.05, (n, levels))
        got = thread_invariant(
            lambda t: _kestrum.cold_pool(z, b, np.full(n, nan), 0.0, np.full(n, nan), n_threads=t)
        )
        np.testing.assert_allclose(got[0], np.sqrt(2 * np.trapezoid(-b, z, axis=1)), rtol=1e-12)
        np.testing.assert_allclose(got[1], z[:, -1] - z[:, 0], rtol=1e-14)
        assert (got[2] == 1).all()
        # A fixed depth ending on a level integrates exactly up to that level.
        depth = z[:, 10] - z[:, 0]
        fixed = _kestrum.cold_pool(z, b, np.full(n, nan), 0.0, depth)
        np.testing.assert_allclose(
            fixed[0], np.sqrt(2 * np.trapezoid(-b[:, :11], z[:, :11], axis=1)), rtol=1e-12
        )


def bolton_decimal(t, p, td):
    """Mixing ratio, theta, theta-v and theta-e in 40-digit decimal arithmetic, from
    Bolton (1980) as published: pressure in hPa, vapour pressure by his eq. (10), TL by
    eq. (15), theta-e by eq. (43) with r in g/kg; kappa and epsilon from the gas
    constants of dry air and water vapour and the specific heat of dry air."""
    with localcontext() as ctx:
        ctx.prec = 40
        Rd, Rv, cp = Decimal("287.04749"), Decimal("461.52311"), Decimal("1005.7")
        kappa, eps = Rd / cp, Rd / Rv
        T, p_hpa, Td = Decimal(t), Decimal(p) / 100, min(Decimal(td), Decimal(t))
        x = 1000 / p_hpa
        theta = T * x**kappa
        tc = Td - Decimal("273.15")
        e = Decimal("6.112") * (Decimal("17.67") * tc / (tc + Decimal("243.5"))).exp()
        r = eps * e / (p_hpa - e)
        r_g = 1000 * r
        TL = 1 / (1 / (Td - 56) + (T / Td).ln() / 800) + 56
        theta_e = (
            T
            * x ** (Decimal("0.2854") * (1 - Decimal("0.28e-3") * r_g))
            * (
                (Decimal("3.376") / TL - Decimal("0.00254")) * r_g * (1 + Decimal("0.81e-3") * r_g)
            ).exp()
        )
        theta_v = theta * (1 + r / eps) / (1 + r)
        return [float(v) for v in (r, theta, theta_v, theta_e)]


class TestThermo:
    def test_reference_values(self):
        got = _kestrum.thermo([300.0, 300, 300], [100000.0, 85000, 100000], [290.0, 310, nan])
        assert got[:, 0].tolist() == [
            0.012162389136861164,
            300.0,
            302.191144154499,
            335.86502358904715,
        ]
        assert got[:, 1].tolist() == [
            0.026984668123949996,
            314.24367620831384,
            319.26248516648354,
            399.44681375656864,
        ]
        assert got[1, 2] == 300.0 and np.isnan(got[[0, 2, 3], 2]).all()

    def test_dew_point_clamped_and_nan_propagation(self):
        got = _kestrum.thermo(
            [280.0, 280, nan, 280], [90000.0, 90000, 90000, nan], [285.0, 280, 270, 270]
        )
        assert same(got[:, 0], got[:, 1])
        assert np.isnan(got[:, 2:]).all()

    def test_shapes_and_errors(self):
        assert _kestrum.thermo(
            np.full((2, 3), 300.0), np.full(6, 1e5), [[290.0] * 3] * 2
        ).shape == (4, 6)
        assert _kestrum.thermo([], [], []).shape == (4, 0)
        with pytest.raises(ValueError, match="^size mismatch$"):
            _kestrum.thermo([300.0], [1e5, 1e5], [290.0])
        with pytest.raises(ValueError, match="^size mismatch$"):
            _kestrum.thermo([300.0], [1e5], [])

    def test_bolton_in_high_precision(self):
        rng = np.random.default_rng(5)
        n = 10_000  # three blocks
        t = rng.uniform(220, 315, n)
        p = rng.uniform(2e4, 1.06e5, n)
        td = t - rng.uniform(-5, 40, n)  # an eighth above t, clamped
        t[:3], p[:3], td[:3] = 273.15, [1e5, 5e4, 1e5], [273.15, 273.15, 250.0]
        got = thread_invariant(lambda k: _kestrum.thermo(t, p, td, n_threads=k))
        pick = np.r_[0:3, 3:n:10]
        expected = np.array([bolton_decimal(*point) for point in zip(t[pick], p[pick], td[pick])]).T
        # Rounding of the double-precision steps stays below 1e-14 on these inputs; any
        # constant changed in one of its written digits moves a field by 1e-7 or more.
        np.testing.assert_allclose(got[:, pick], expected, rtol=5e-14, atol=0)

    def test_metpy(self):
        mpcalc = pytest.importorskip("metpy.calc")
        units = pytest.importorskip("metpy.units").units
        t = np.array([300.0, 290, 270, 250])
        p = np.array([100000.0, 85000, 70000, 50000])
        td = np.array([290.0, 285, 260, 230])
        got = _kestrum.thermo(t, p, td)
        T, P, Td = t * units.K, p * units.Pa, td * units.K
        r = mpcalc.mixing_ratio(mpcalc.saturation_vapor_pressure(Td), P).m_as("")
        theta = mpcalc.potential_temperature(P, T).m_as("K")
        # MetPy's vapour pressure is not Bolton's, and its kappa is 2/7.
        np.testing.assert_allclose(got[0], r, rtol=5e-3)
        np.testing.assert_allclose(got[1], theta, rtol=1e-3)
        np.testing.assert_allclose(
            got[2], mpcalc.virtual_potential_temperature(P, T, r).m_as("K"), rtol=1e-3
        )
        np.testing.assert_allclose(
            got[3], mpcalc.equivalent_potential_temperature(P, T, Td).m_as("K"), rtol=3e-3
        )
