"""How every array argument of every function is read: unaligned buffers and masked arrays."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _ensemble
import _kestrum
import _tavolin


def calls():
    """One valid call of every function with array arguments, by keyword, with small
    inputs that give finite results where the function has them."""
    rng = np.random.default_rng(7)
    rows, gates, n, levels, members = 3, 12, 5, 6, 4
    az = np.tile(np.linspace(0.0, 2 * np.pi, gates, endpoint=False), (rows, 1))
    z = np.cumsum(rng.uniform(100, 400, (n, levels)), axis=1)
    return {
        "vad": (
            _kestrum.vad,
            dict(
                vr=3.0 * np.sin(az) + rng.normal(0, 0.5, (rows, gates)),
                az=az,
                cos_el=np.full(rows, 0.9),
                min_gates=3,
                min_spread=0.1,
            ),
        ),
        "gradient": (
            _kestrum.gradient,
            dict(f=rng.normal(size=(2, 4, 5)), x=np.arange(5.0) * 1e3, y=np.arange(4.0) * 1e3),
        ),
        "profile": (
            _kestrum.profile,
            dict(
                z=z,
                u=rng.normal(10, 5, (n, levels)),
                v=rng.normal(5, 5, (n, levels)),
                ground=np.zeros(n),
                bottom=0.0,
                top=1000.0,
                cu=np.full(n, 3.0),
                cv=np.ones(n),
            ),
        ),
        "cold_pool": (
            _kestrum.cold_pool,
            dict(
                z=z,
                b=-rng.uniform(0.01, 0.1, (n, levels)),
                bottom=np.zeros(n),
                threshold=0.0,
                top=np.full(n, 600.0),
            ),
        ),
        "thermo": (
            _kestrum.thermo,
            dict(
                t=rng.uniform(270, 300, n), p=rng.uniform(7e4, 1e5, n), td=rng.uniform(260, 280, n)
            ),
        ),
        "perturb": (
            _ensemble.perturb,
            dict(
                dbz=rng.uniform(0, 50, n),
                zdr=rng.uniform(0, 3, n),
                phidp=rng.uniform(0, 90, n),
                rhohv=rng.uniform(0.9, 1, n),
                vel=rng.normal(0, 10, n),
                flags=31,
                fac=rng.uniform(0.5, 2, (6, n)),
                bias_dbz=rng.normal(size=members),
                bias_zdr=rng.normal(size=members),
                k0=1,
                k1=2,
                m0=0,
            ),
        ),
        "statistics": (
            _ensemble.statistics,
            dict(
                values=rng.normal(size=(members, n)).astype(np.float32),
                percentiles=np.array([10.0, 50.0, 90.0]),
                min_valid=2,
            ),
        ),
        "mode": (
            _ensemble.mode,
            dict(
                values=rng.integers(0, 3, (members, n)).astype(np.float32), n_codes=3, min_valid=2
            ),
        ),
        "format_wrfda": (
            _tavolin.format_wrfda,
            dict(
                centres=np.linspace(500.0, 5000.0, levels),
                col_lat=rng.uniform(30, 40, n),
                col_lon=rng.uniform(-100, -90, n),
                col_elv=rng.uniform(0, 500, n),
                rv=rng.normal(0, 15, (n, levels)),
                rv_qc=rng.integers(0, 3, (n, levels)),
                rv_err=np.full((n, levels), 2.0),
                rf=rng.uniform(0, 60, (n, levels)),
                rf_qc=rng.integers(0, 3, (n, levels)),
                rf_err=np.full((n, levels), 5.0),
                stamp="2024-05-01_12:00:00",
            ),
        ),
        "format_dart": (
            _tavolin.format_dart,
            dict(
                kind=np.array([0, 1, 0, 2, 0]),
                value=rng.normal(0, 15, n),
                variance=rng.uniform(1, 25, n),
                lon=rng.uniform(4.3, 4.6, n),
                lat=rng.uniform(0.55, 0.65, n),
                height=rng.uniform(100, 9000, n),
                days=np.full(n, 154_000),
                secs=rng.integers(0, 86_400, n),
                radar_lon=np.full(n, 4.4),
                radar_lat=np.full(n, 0.6),
                radar_height=np.full(n, 300.0),
                beam=rng.normal(size=(n, 3)),
                nyquist=np.full(n, 30.0),
                velkey=np.arange(n),
                vertical=3,
            ),
        ),
    }


CALLS = calls()
ARRAYS = [
    (name, arg)
    for name, (_, kw) in CALLS.items()
    for arg, value in kw.items()
    if isinstance(value, np.ndarray)
]


def run(name, **changes):
    function, kw = CALLS[name]
    return function(**{**kw, **changes}, n_threads=2)


def outcome(name, **changes):
    """The result of a call, or the text of the ValueError it raised."""
    try:
        return run(name, **changes)
    except ValueError as error:
        return f"ValueError: {error}"


def same(a, b):
    """Bit for bit: the same bytes, types and shapes, NaN signs and payloads included."""
    if isinstance(a, tuple):
        return isinstance(b, tuple) and len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, bytes):
        return a == b
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def unaligned(a):
    """A copy of `a` in a buffer that starts one byte past an aligned address."""
    buf = np.zeros(a.nbytes + 1, np.uint8)
    view = buf[1:].view(a.dtype).reshape(a.shape)
    view[...] = a
    assert not view.flags.aligned and view.flags.c_contiguous
    return view


@pytest.mark.parametrize("name, arg", ARRAYS)
class TestEveryArrayArgument:
    def test_unaligned_reads_like_aligned(self, name, arg):
        value = CALLS[name][1][arg]
        assert same(run(name, **{arg: unaligned(value)}), run(name))

    def test_masked_with_nothing_masked_is_its_data(self, name, arg):
        value = CALLS[name][1][arg]
        assert same(run(name, **{arg: np.ma.masked_array(value, mask=False)}), run(name))
        assert same(run(name, **{arg: np.ma.masked_array(value)}), run(name))

    def test_masked_elements_are_missing(self, name, arg):
        value = CALLS[name][1][arg]
        mask = np.zeros(value.shape, bool)
        mask.flat[::3] = True
        masked = np.ma.masked_array(value, mask=mask)
        if np.issubdtype(value.dtype, np.integer):
            with pytest.raises(
                ValueError,
                match=f"^{arg} is a masked integer array: fill the masked elements first$",
            ):
                run(name, **{arg: masked})
        else:
            # Read as missing, NaN leads wherever NaN does, errors included (a NaN
            # percentile is refused).
            expected = outcome(name, **{arg: np.where(mask, np.nan, value).astype(value.dtype)})
            got = outcome(name, **{arg: masked})
            assert got == expected if isinstance(got, str) else same(got, expected)


class TestMaskedArrays:
    def test_vad_fits_the_unmasked_gates_not_the_fill_values(self):
        az = np.linspace(0.0, 2 * np.pi, 36, endpoint=False)
        vr = 10.0 * np.sin(az) - 4.0 * np.cos(az)
        hole = np.zeros(36, bool)
        hole[5:12] = True
        masked = np.ma.masked_array(np.where(hole, -9999.0, vr), mask=hole)
        out = _kestrum.vad(masked[None], az[None], [1.0], 3, 0.1)
        np.testing.assert_allclose(out[:2, 0], [10.0, -4.0], atol=1e-9)
        assert out[4, 0] == 29

    def test_masked_integer_values_convert_for_a_floating_argument(self):
        counts = np.ma.masked_array([[1, 2], [3, 4], [5, 6]], mask=[[0, 1], [0, 0], [0, 0]])
        mean, _, _ = _ensemble.statistics(counts, [50.0], 1)
        np.testing.assert_array_equal(mean, [3.0, 5.0])

    def test_masked_arrays_made_after_the_first_call_are_seen(self):
        # The converter looks for numpy.ma only once something has imported it.
        script = textwrap.dedent(
            """
            import sys, numpy as np, _kestrum
            _kestrum.thermo([280.0], [1e5], [270.0])
            assert "numpy.ma" not in sys.modules
            t = np.ma.masked_array([280.0, 290.0], mask=[True, False])
            out = _kestrum.thermo(t, [1e5, 1e5], [270.0, 270.0])
            print(np.isnan(out[:, 0]).all(), np.isfinite(out[:, 1]).all())
            """
        )
        done = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
        )
        assert done.returncode == 0, done.stderr
        assert done.stdout.split() == ["True", "True"]

    def test_the_callers_masked_array_is_left_alone(self):
        t = np.ma.masked_array([280.0, 290.0], mask=[True, False])
        _kestrum.thermo(t, [1e5, 1e5], [270.0, 270.0])
        assert t.data[0] == 280.0 and t.mask[0]
