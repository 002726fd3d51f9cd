import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest
import scipy.stats

import _ensemble

U64 = 2**64 - 1
K = 4.342944819032518


def numpy_words(k0, k1, member, block, n):
    counter = np.array([0, member % 2**64, block % 2**64, 0], dtype=np.uint64)
    key = np.array([k0, k1], dtype=np.uint64)
    return np.random.Philox(counter=counter, key=key).random_raw(4 * n).reshape(n, 4)


def same_arrays(got, expected):
    """Tuples of arrays equal element for element, NaNs included."""
    return len(got) == len(expected) and all(
        np.array_equal(a, b, equal_nan=True) for a, b in zip(got, expected)
    )


def normal_pair(a, b):
    """The Box-Muller pair rebuilt in NumPy from a radius word and an angle word."""
    r = np.sqrt(np.log(((a >> np.uint64(11)) + np.uint64(1)) * 2.0**-53) * -2.0)
    theta = (b >> np.uint64(11)) * 2.0**-53 * 6.283185307179586
    return r * np.cos(theta), r * np.sin(theta)


class TestWords:
    def test_known_rows(self):
        expected = [
            [0x02F4BA6408E4D89B, 0x3DD62B0B9CA8C5B2, 0x1C8667A55D902E79, 0x907D7A052FD5B4DC],
            [0x809BF322883987C3, 0x471128B9E807F7DD, 0xF250BA0DBEC065B7, 0xFC6ED66767A457BC],
            [0x40FA86F0F781945D, 0x31EED5A366689E12, 0xB6329ED9F2A1CEBA, 0x219A8FA4C23828E2],
        ]
        w = _ensemble.words(0, 0, 0, 0, 3)
        assert w.dtype == np.uint64 and w.shape == (3, 4) and w.flags.c_contiguous
        assert w.tolist() == expected

    def test_numpy_philox_is_the_published_block_function(self):
        # NumPy advances its 256-bit counter before each block: starting from all ones wraps
        # to the all-zero counter, the published known answer. This anchors the oracle below.
        raw = np.random.Philox(
            counter=np.full(4, U64, dtype=np.uint64), key=np.zeros(2, dtype=np.uint64)
        )
        assert raw.random_raw(4).tolist() == [
            0x16554D9ECA36314C,
            0xDB20FE9D672D0FDC,
            0xD7E772CEE186176B,
            0x7E68B68AEC7BA23B,
        ]

    @pytest.mark.parametrize(
        "k0, k1, member, block",
        [(0, 0, 0, 1), (U64, U64, -1, -1), (12345, 2**63, 2**63 - 1, 7), (1, 2, -(2**63), 0)],
    )
    def test_equals_numpy_philox(self, k0, k1, member, block):
        ours = _ensemble.words(k0, k1, member, block, 300)
        assert np.array_equal(ours, numpy_words(k0, k1, member, block, 300))

    def test_prefix_and_empty(self):
        long = _ensemble.words(5, 6, 7, 8, 50)
        assert np.array_equal(_ensemble.words(5, 6, 7, 8, 17), long[:17])
        assert _ensemble.words(5, 6, 7, 8, 0).shape == (0, 4)

    def test_bad_arguments(self):
        with pytest.raises(ValueError):
            _ensemble.words(0, 0, 0, 0, -1)
        for bad in (2**64, -1):
            with pytest.raises(TypeError):
                _ensemble.words(bad, 0, 0, 0, 1)
        with pytest.raises(TypeError):
            _ensemble.words(0, 0, 0, 0, 1.0)


def perturb_args(n=600, members=4, seed=0):
    rng = np.random.default_rng(seed)
    fields = [
        rng.uniform(0, 60, n),
        rng.uniform(-1, 4, n),
        rng.uniform(0, 180, n),
        rng.uniform(0.5, 1.0, n),
        rng.uniform(-30, 30, n),
    ]
    fac = rng.uniform(0, 0.5, (6, n))
    return fields, fac, rng.normal(0, 1, members), rng.normal(0, 0.3, members)


class TestPerturb:
    def test_reference_gate(self):
        fac = np.array([1, 0, 1, 1, 0.1, 1.0])[:, None]
        out = _ensemble.perturb([30], [1], [50], [0.95], [5], 31, fac, [0], [0], 0, 0, 0)
        assert out.shape == (1, 5, 1)
        expected = [
            30.68850369526,
            -11.26597643098,
            48.07430801808,
            0.8675074454724,
            5.864948567076,
        ]
        np.testing.assert_allclose(out[0, :, 0], expected, rtol=1e-11)

    def test_rebuilt_from_words(self):
        fields, fac, bias_dbz, bias_zdr = perturb_args()
        k0, k1, m0 = U64, 99, 2**63 - 2  # member words run past 2**63 - 1
        out = _ensemble.perturb(*fields, 31, fac, bias_dbz, bias_zdr, k0, k1, m0)
        dbz, zdr, phidp, rhohv, vel = fields
        n = fac.shape[1]
        for j in range(len(bias_dbz)):
            member = m0 + j - (2**64 if m0 + j >= 2**63 else 0)
            x = _ensemble.words(k0, k1, member, 0, n)
            y = numpy_words(k0, k1, m0 + j, 1, n)
            a, a_s = normal_pair(x[:, 0], x[:, 1])
            b, b_s = normal_pair(x[:, 2], x[:, 3])
            c, _ = normal_pair(y[:, 0], y[:, 1])
            e_h = a * fac[0]
            expected = [
                (bias_dbz[j] + dbz) + K * e_h,
                K * (e_h - (a_s * fac[2] + fac[1] * a)) + (bias_zdr[j] + zdr),
                b * fac[3] + phidp,
                np.clip(b_s * fac[4] + rhohv, 0.0, 1.0),
                c * fac[5] + vel,
            ]
            np.testing.assert_allclose(out[j], expected, rtol=1e-13, atol=1e-13)

    def test_slots_follow_active_fields(self):
        fields, fac, bias_dbz, bias_zdr = perturb_args(n=300)
        full = _ensemble.perturb(*fields, 31, fac, bias_dbz, bias_zdr, 3, 4, 0)
        some = _ensemble.perturb(*fields, 8 | 16 | 1, fac, bias_dbz, bias_zdr, 3, 4, 0)
        assert np.array_equal(some, full[:, [0, 3, 4]])
        # A field's value does not depend on which other fields are active.
        only = _ensemble.perturb(*fields, 4 | 64, fac, bias_dbz, bias_zdr, 3, 4, 0)
        assert np.array_equal(only, full[:, [2]])

    def test_member_splitting_and_threads(self):
        fields, fac, bias_dbz, bias_zdr = perturb_args(n=1000, members=7)
        whole = _ensemble.perturb(*fields, 31, fac, bias_dbz, bias_zdr, 1, 2, 0, n_threads=1)
        part = _ensemble.perturb(*fields, 31, fac, bias_dbz[5:], bias_zdr[5:], 1, 2, 5, n_threads=3)
        assert np.array_equal(part, whole[5:])
        assert np.array_equal(
            _ensemble.perturb(*fields, 31, fac, bias_dbz, bias_zdr, 1, 2, 0, n_threads=4), whole
        )

    def test_rhohv_clamp_and_nan(self):
        n = 20
        fac = np.zeros((6, n))
        fac[4] = 1e6
        rhohv = np.full(n, 0.999)
        rhohv[-3:] = [np.nan, np.inf, -np.inf]
        out = _ensemble.perturb([], [], [], rhohv, [], 8, fac, [0.0], [0.0], 0, 0, 0)[0, 0]
        x = _ensemble.words(0, 0, 0, 0, n)
        _, b_s = normal_pair(x[:, 2], x[:, 3])
        expected = np.where(b_s > 0, 1.0, 0.0)[:-3]
        assert set(expected) == {0.0, 1.0}
        assert out[:-3].tolist() == expected.tolist()
        assert np.isnan(out[-3]) and out[-2] == 1.0 and out[-1] == 0.0

    def test_checks_in_order(self):
        fields, fac, bias_dbz, bias_zdr = perturb_args(n=10)
        with pytest.raises(ValueError, match=r"^fac must be \(6, n\)$"):
            _ensemble.perturb(*fields, 31, fac[:5], bias_dbz, bias_zdr[:1], 0, 0, 0)
        with pytest.raises(ValueError, match=r"^fac must be \(6, n\)$"):
            _ensemble.perturb(*fields, 31, np.zeros(6), bias_dbz, bias_zdr, 0, 0, 0)
        with pytest.raises(ValueError, match="^bias arrays differ in length$"):
            _ensemble.perturb([1.0], *fields[1:], 31, fac, bias_dbz, bias_zdr[:3], 0, 0, 0)
        with pytest.raises(ValueError, match="^a field differs in size from fac$"):
            _ensemble.perturb(*fields[:4], np.zeros(11), 31, fac, bias_dbz, bias_zdr, 0, 0, 0)

    def test_shapes(self):
        fields, fac, bias_dbz, bias_zdr = perturb_args(n=10, members=3)
        # Only sizes are compared; inactive fields are never looked at.
        out = _ensemble.perturb(
            [], fields[1].reshape(2, 5), [], [], [], 2, fac, bias_dbz, bias_zdr, 0, 0, 0
        )
        assert out.shape == (3, 1, 10)
        for flags in (0, 32):
            assert _ensemble.perturb(*fields, flags, fac, bias_dbz, bias_zdr, 0, 0, 0).shape == (
                3,
                0,
                10,
            )
        assert _ensemble.perturb(*fields, 31, fac, [], [], 0, 0, 0).shape == (0, 5, 10)
        assert _ensemble.perturb(
            [], [], [], [], [], 31, np.zeros((6, 0)), bias_dbz, bias_zdr, 0, 0, 0
        ).shape == (3, 5, 0)


class TestStatistics:
    @pytest.mark.parametrize("members", [1, 2, 7, 50, 200])
    def test_against_numpy(self, members):
        rng = np.random.default_rng(members)
        values = rng.normal(10, 3, (members, 700)).astype(np.float32)
        values[:, ::5] = np.round(values[:, ::5])  # ties
        values[rng.random(values.shape) < 0.2] = np.nan
        values[rng.random(values.shape) < 0.02] = -np.inf
        pcts = np.array([0, 2.5, 25, 50, 90, 100])
        mean, sd, pct = _ensemble.statistics(values, pcts, 1)
        wide = np.where(np.isfinite(values), values, np.nan).astype(np.float64)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN and single-member columns
            np.testing.assert_allclose(mean, np.nanmean(wide, axis=0), rtol=1e-13)
            np.testing.assert_allclose(sd, np.nanstd(wide, axis=0, ddof=1), rtol=1e-10)
            np.testing.assert_allclose(
                pct, np.nanpercentile(wide, pcts, axis=0, method="linear"), rtol=1e-13
            )

    def test_worked_column(self):
        col = np.array([[1.0], [np.nan], [3.0], [np.inf]])
        mean, sd, pct = _ensemble.statistics(col, [50, 0, 100], 2)
        assert mean.tolist() == [2.0] and sd[0] == pytest.approx(np.sqrt(2), rel=1e-15)
        assert pct[:, 0].tolist() == [2.0, 1.0, 3.0]
        mean, sd, pct = _ensemble.statistics(col, [50, 0, 100], 3)
        assert np.isnan(mean).all() and np.isnan(sd).all() and np.isnan(pct).all()
        _, _, pct = _ensemble.statistics([[1], [2], [3], [4]], [[25, 50], [75, 100]], 0)
        assert pct.shape == (4, 1) and pct[:, 0].tolist() == [1.75, 2.5, 3.25, 4.0]

    def test_single_and_missing_members(self):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # 1e39 overflows float32 to inf
            mean, sd, pct = _ensemble.statistics([[np.nan, 5.0], [1e39, np.nan]], [10], -3)
        assert np.isnan(mean[0]) and mean[1] == 5.0 and np.isnan(sd).all()
        assert np.isnan(pct[0, 0]) and pct[0, 1] == 5.0
        mean, sd, pct = _ensemble.statistics(np.zeros((0, 3)), [50], 0)
        assert np.isnan(mean).all() and np.isnan(sd).all() and pct.shape == (1, 3)
        shapes = [a.shape for a in _ensemble.statistics(np.zeros((4, 0)), [1, 2], 1)]
        assert shapes == [(0,), (0,), (2, 0)]

    def test_threads(self):
        values = np.random.default_rng(1).normal(size=(30, 3000))
        one = _ensemble.statistics(values, [5, 95], 1, n_threads=1)
        many = _ensemble.statistics(values, [5, 95], 1, n_threads=3)
        assert all(np.array_equal(a, b) for a, b in zip(one, many))

    def test_errors(self):
        with pytest.raises(ValueError, match=r"^values must be \(members, n\)$"):
            _ensemble.statistics(np.zeros(4), [50, 200], 1)
        with pytest.raises(ValueError, match=r"^values must be \(members, n\)$"):
            _ensemble.statistics(np.zeros((2, 2, 2)), [50], 1)
        for bad in ([-0.5], [50, 100.0001], [np.nan], [np.inf]):
            with pytest.raises(ValueError, match=r"^percentiles must be in \[0, 100\]$"):
                _ensemble.statistics(np.zeros((3, 4)), bad, 1)


class TestMode:
    # mode counts up to COMPARE_LIMIT codes by vector compares in byte counters widened
    # every 255 members, then with a table of n_codes counters while n_codes <=
    # max(members, 256), and by sorting each column beyond that. The path tests below take
    # the switch-over points from these constants alone: follow them if the rules change.
    COMPARE_LIMIT = 64
    TABLE_FLOOR = 256

    @classmethod
    def table_limit(cls, members):
        """The largest n_codes still counted by the table for this many members."""
        return max(members, cls.TABLE_FLOOR)

    def test_worked_columns(self):
        values = np.array(
            [[2, 0.9, 5], [2, -0.5, 5], [1, 1.2, 0], [1, np.nan, np.nan], [np.nan, np.nan, np.nan]]
        )
        mode, frac = _ensemble.mode(values, 3, 1)
        assert mode.tolist() == [1.0, 0.0, 0.0] and frac.tolist() == [0.5, 2 / 3, 1.0]
        mode, frac = _ensemble.mode(values[:, 1:], 2, 2)
        assert mode[0] == 0.0 and np.isnan(mode[1]) and np.isnan(frac[1])
        mode, frac = _ensemble.mode(np.full((3, 2), np.nan), 1, 0)
        assert np.isnan(mode).all() and np.isnan(frac).all()
        mode, frac = _ensemble.mode(np.zeros((0, 2)), 4, 0)
        assert np.isnan(mode).all() and np.isnan(frac).all()

    def test_against_bincount(self):
        rng = np.random.default_rng(5)
        # 603 columns: the last chunk ends in a group of fewer than four columns.
        values = rng.uniform(-2, 9, (40, 603)).astype(np.float32)
        values[rng.random(values.shape) < 0.1] = np.nan
        mode, frac = _ensemble.mode(values, 7, 5, n_threads=3)
        for n_threads in (1, 2, 8):
            again = _ensemble.mode(values, 7, 5, n_threads=n_threads)
            assert np.array_equal(again[0], mode, equal_nan=True)
            assert np.array_equal(again[1], frac, equal_nan=True)
        for j in range(values.shape[1]):
            col = values[:, j]
            codes = np.trunc(col[np.isfinite(col)]).astype(np.int64)
            codes = codes[(codes >= 0) & (codes < 7)]
            if len(codes) < 5:
                assert np.isnan(mode[j]) and np.isnan(frac[j])
                continue
            counts = np.bincount(codes, minlength=7)
            assert mode[j] == np.argmax(counts) and frac[j] == counts.max() / len(codes)
        valid = ~np.isnan(mode)
        ref = scipy.stats.mode(
            np.where((values > -1) & (values < 7), np.trunc(values), np.nan),
            axis=0,
            nan_policy="omit",
        )
        assert np.array_equal(mode[valid], ref.mode[valid])

    def test_compare_path_counts_like_bincount_across_byte_rounds(self):
        # 600 members: the byte counters are widened twice and once more for the last 90.
        # Every column is one to four codes repeated equally often, so most columns tie.
        rng = np.random.default_rng(9)
        members, n = 600, 300
        values = np.empty((members, n), dtype=np.float32)
        for j in range(n):
            codes = rng.choice(self.COMPARE_LIMIT, rng.integers(1, 5), replace=False)
            values[:, j] = rng.permutation(np.resize(codes, members))
        values[:, ::5][rng.random(values[:, ::5].shape) < 0.02] = np.nan  # ties broken
        values[:255, ::29] = -0.5  # a whole first round of code 0
        got = _ensemble.mode(values, self.COMPARE_LIMIT, 1, n_threads=2)
        counts = np.stack([(np.trunc(values) == k).sum(axis=0) for k in range(self.COMPARE_LIMIT)])
        assert np.array_equal(got[0], np.argmax(counts, axis=0))
        assert np.array_equal(got[1], counts.max(axis=0) / counts.sum(axis=0))
        assert (np.sort(counts, axis=0)[-1] == np.sort(counts, axis=0)[-2]).sum() > n // 3
        assert same_arrays(_ensemble.mode(values, self.COMPARE_LIMIT + 1, 1), got)  # table

    @pytest.mark.parametrize("members", [20, 300])  # limit set by the floor, by members
    def test_sort_path_counts_like_the_table_on_ties(self, members):
        limit = self.table_limit(members)
        rng = np.random.default_rng(members)
        n = 1500
        # Every column is a few codes repeated equally often, shuffled: most columns end in
        # a tie between two or more codes, which both paths must break toward the lowest
        # code. Every fifth column loses a few members, which mostly breaks its tie.
        kinds = rng.integers(1, 5, n)
        values = np.empty((members, n), dtype=np.float32)
        for j in range(n):
            codes = rng.choice(limit, kinds[j], replace=False)
            values[:, j] = rng.permutation(np.resize(codes, members))
        values[:, ::5][rng.random(values[:, ::5].shape) < 0.05] = np.nan
        values[:, :50] = np.trunc(values[:, :50]) + np.float32(0.75)  # fractions truncate
        table = _ensemble.mode(values, limit, 1, n_threads=2)
        ties = 0
        for j in range(n):
            col = values[:, j]
            counts = np.bincount(np.trunc(col[np.isfinite(col)]).astype(np.int64), minlength=limit)
            assert table[0][j] == np.argmax(counts) and table[1][j] == counts.max() / counts.sum()
            ties += (counts == counts.max()).sum() > 1
        assert ties > n // 2
        for n_codes in (limit + 1, limit + 2, 2**62, 2**63 - 1):
            got = _ensemble.mode(values, n_codes, 1, n_threads=2)
            assert same_arrays(got, table), n_codes

    @pytest.mark.parametrize("members", [20, 300])
    def test_two_member_tie_goes_to_the_lower_code_on_both_paths(self, members):
        limit = self.table_limit(members)
        values = np.full((members, 3), np.nan, dtype=np.float32)
        values[:2] = [[3, 0, 1.5], [1, 3, 1.25]]  # the others are missing
        for n_codes in (limit, limit + 1):
            mode, frac = _ensemble.mode(values, n_codes, 1)
            assert mode.tolist() == [1.0, 0.0, 1.0] and frac.tolist() == [0.5, 0.5, 1.0], n_codes
        # The codes from the far end of the table, where a tie broken the wrong way shows.
        high = np.full((members, 1), np.nan, dtype=np.float32)
        high[:2, 0] = [limit - 1, limit - 2]
        for n_codes in (limit, limit + 1):
            assert _ensemble.mode(high, n_codes, 1)[0][0] == limit - 2, n_codes

    def test_huge_n_codes_counts_like_the_table(self):
        limit = self.table_limit(20)
        rng = np.random.default_rng(6)
        values = rng.integers(0, limit, (20, 2000)).astype(np.float32)
        values[rng.random(values.shape) < 0.1] = np.nan
        table = _ensemble.mode(values, limit, 1)
        for n_codes in (limit + 1, 2**62, 2**63 - 1):
            assert same_arrays(_ensemble.mode(values, n_codes, 1), table), n_codes

    def test_magnitudes_beyond_int64(self):
        below = np.float32(2.0**63) - np.float32(2.0**39)  # largest float32 below 2**63
        values = np.array(
            [[below], [below], [2.0**63], [1e30], [-1e30], [-(2.0**63)], [1]], dtype=np.float32
        )
        mode, frac = _ensemble.mode(values, 2**63 - 1, 1)
        assert mode[0] == float(below) and frac[0] == 2 / 3
        mode, frac = _ensemble.mode(values, 5, 1)
        assert mode[0] == 1.0 and frac[0] == 1.0

    def test_errors(self):
        with pytest.raises(ValueError, match=r"^values must be \(members, n\)$"):
            _ensemble.mode(np.zeros(3), 0, 1)
        with pytest.raises(ValueError, match="^n_codes must be positive$"):
            _ensemble.mode(np.zeros((3, 2)), 0, 1)
        with pytest.raises(ValueError, match="^n_codes must be positive$"):
            _ensemble.mode(np.zeros((3, 2)), -4, 1)


@pytest.mark.memory_limit
def test_scratch_allocation_failure_is_memory_error():
    # One column of 40 million members: the per-chunk scratch (8 bytes a member) cannot be
    # had under the address-space limit, and must come back as MemoryError.
    script = textwrap.dedent("""
        import resource, numpy as np, _ensemble
        values = np.zeros((40_000_000, 1), dtype=np.float32)
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 150_000_000, resource.RLIM_INFINITY))
        for call in (lambda: _ensemble.statistics(values, [50], 1, n_threads=1),
                     lambda: _ensemble.mode(values, 2**62, 1, n_threads=1)):
            try:
                call()
                print("no error")
            except MemoryError:
                print("MemoryError")
        small = np.zeros((5, 10), dtype=np.float32)
        print(_ensemble.mode(small, 2**62, 1, n_threads=1)[1].tolist() == [1.0] * 10)
    """)
    run = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["MemoryError", "MemoryError", "True"]
