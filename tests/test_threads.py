"""Every threaded function on inputs of several blocks, at several thread counts and from
several Python threads at once.

These are the calls .ci/sanitizers runs under ThreadSanitizer: each one hands blocks to
worker threads that read shared inputs and write disjoint parts of one result.
"""

import threading

import numpy as np
import pytest

import _ensemble
import _kestrum
import _tavolin
from kestrum import _radar

nan = np.nan


def holes(rng, a, fraction=0.1):
    a = np.array(a, dtype=np.float64)
    a[rng.random(a.shape) < fraction] = nan
    return a


# One call per threaded function, sized to a few blocks of that function plus a partial one.
def vad(rng):
    rows = 64 * 4 + 5
    az = rng.uniform(0, 2 * np.pi, (rows, 40))
    vr = holes(rng, 8 * np.sin(az) - 3 * np.cos(az) + rng.normal(0, 2, az.shape), 0.3)
    return _kestrum.vad, (vr, az, np.cos(rng.uniform(0, 0.5, rows)), 12, 0.05)


def vad_sweeps(rng):
    # 3 sweeps of 90 rings, read across the rays (the layout Py-ART holds).
    az = rng.uniform(0, 2 * np.pi, (3, 40))
    vr = holes(rng, 8 * np.sin(az)[..., None] + rng.normal(0, 2, (3, 40, 90)), 0.3)
    return _kestrum.vad_sweeps, (vr, az, np.cos(rng.uniform(0, 0.5, 3)), 12, 0.05)


def gradient(rng):
    f = holes(rng, rng.normal(size=(3, 11, 9)))  # 33 rows of the grid: 5 blocks of 8
    return _kestrum.gradient, (
        f,
        np.cumsum(rng.uniform(0.5, 1, 9)),
        np.cumsum(rng.uniform(0.5, 1, 11)),
    )


def profile(rng):
    n = 64 * 3 + 7
    z = np.sort(rng.uniform(0, 4000, (n, 12)), axis=1)
    u, v = holes(rng, rng.normal(0, 10, (n, 12))), rng.normal(0, 10, (n, 12))
    return _kestrum.profile, (z, u, v, z[:, 0], 0.0, 3000.0, np.full(n, 5.0), np.full(n, -2.0))


def profile_checked(rng):
    # Columns with decreasing heights in three blocks: the lowest must win on any thread.
    function, (z, *rest) = profile(rng)
    z = z.copy()
    z[[150, 70, 130]] = z[[150, 70, 130], ::-1]

    def checked(*args, n_threads):
        out, first = _kestrum.profile_checked(*args, n_threads=n_threads)
        return out, np.array(first)

    return checked, (z, *rest)


def cold_pool(rng):
    n = 64 * 3 + 7
    z = np.cumsum(rng.uniform(50, 150, (n, 20)), axis=1)
    b = holes(rng, rng.normal(-0.05, 0.05, (n, 20)))
    top = np.where(rng.random(n) < 0.5, 1000.0, nan)
    return _kestrum.cold_pool, (z, b, np.full(n, nan), 0.0, top)


def thermo(rng):
    n = 4096 * 3 + 11
    t = holes(rng, rng.uniform(250, 310, n))
    return _kestrum.thermo, (t, rng.uniform(5e4, 1.05e5, n), t - rng.uniform(0, 20, n))


def perturb(rng):
    n, members = 256 * 4 + 3, 3
    fields = [holes(rng, rng.uniform(0, 50, n)) for _ in range(5)]
    fac = rng.uniform(0.1, 1, (6, n))
    return _ensemble.perturb, (
        *fields,
        31,
        fac,
        rng.normal(0, 1, members),
        rng.normal(0, 0.2, members),
        7,
        8,
        2,
    )


def statistics(rng):
    return _ensemble.statistics, (holes(rng, rng.normal(size=(9, 256 * 4 + 3))), [10, 50, 90], 3)


def mode(rng):
    return _ensemble.mode, (holes(rng, rng.uniform(-1, 6, (9, 256 * 4 + 3))), 5, 3)


def format_wrfda(rng):
    columns, levels = 2048 * 2 + 3, 2
    shape = (columns, levels)
    return _tavolin.format_wrfda, (
        np.array([500.0, 1000.0]),
        rng.uniform(30, 40, columns),
        rng.uniform(-100, -90, columns),
        rng.uniform(0, 2000, columns),
        holes(rng, rng.normal(0, 15, shape)),
        rng.integers(-1, 3, shape),
        rng.uniform(1, 3, shape),
        rng.uniform(-10, 60, shape),
        rng.integers(-1, 3, shape),
        rng.uniform(1, 5, shape),
        "2024-05-01_12:00:00",
    )


def format_dart(rng):
    n = 2048 * 2 + 3
    u = lambda lo, hi: rng.uniform(lo, hi, n)  # noqa: E731
    return _tavolin.format_dart, (
        rng.integers(0, 3, n),
        holes(rng, rng.normal(0, 15, n)),
        u(1, 25),
        u(4.3, 4.6),
        u(0.55, 0.65),
        u(100, 15_000),
        rng.integers(150_000, 160_000, n),
        rng.integers(0, 86_400, n),
        u(4.3, 4.6),
        u(0.55, 0.65),
        u(0, 1000),
        rng.normal(0, 1, (n, 3)),
        u(10, 40),
        rng.integers(1, 1000, n),
        3,
    )


def _superobs_rays(rng, rays=16 * 5 + 3, gates=50):
    az = rng.uniform(0, 360, rays)
    a = np.deg2rad(az)
    return (
        holes(rng, rng.normal(0, 8, (rays, gates)), 0.3),
        np.sin(a),
        np.cos(a),
        rng.uniform(0.4, 1.6, rays),
        rng.uniform(0, 300, rays),
        np.full(rays, 10.0),
        np.arange(gates) * 250.0 + 2000.0,
    )


def superobs_polar(rng):
    values, sin_az, cos_az, el, t, nyq, gate_range = _superobs_rays(rng)
    # 4 * 3 + 1 groups (blocks of 4) of 5 range boxes.
    rays, gates = values.shape
    return _radar.superobs_polar, (
        values,
        rng.integers(-1, 13, rays),
        13,
        np.arange(gates) // 10,
        5,
        sin_az,
        cos_az,
        el,
        t,
        nyq,
        gate_range,
        1,
    )


def superobs_grid(rng):
    values, sin_az, cos_az, el, t, nyq, gate_range = _superobs_rays(rng)
    edges = np.linspace(-15e3, 15e3, 17)
    return _radar.superobs_grid, (
        values,
        np.zeros(values.shape[0], np.int64),
        1,
        sin_az,
        cos_az,
        el,
        t,
        nyq,
        gate_range,
        edges,
        edges,
        np.array([0.0, 200.0, 400.0]),
        0.0,
        2,
    )


def texture(rng):
    # Two sweeps of 16 * 3 + 5 rays (four items each of the runner) and a 2-ray sweep.
    field = holes(rng, rng.normal(30, 5, (16 * 6 + 12, 50)), 0.2)
    mask = (rng.random(field.shape) < 0.1).astype(np.uint8)
    return _radar.texture, (field, mask, [0, 53, 106, 108], np.empty(0), 1, 3, True, 3)


def texture_circular(rng):
    field = holes(rng, rng.uniform(-10, 10, (16 * 6 + 12, 50)), 0.2)
    return _radar.texture, (
        field.astype(np.float32),
        np.empty(0, np.uint8),
        [0, 53, 106, 108],
        np.full(108, 10.0),
        2,
        1,
        True,
        2,
    )


def despeckle(rng):
    return _radar.despeckle, (rng.random((100, 60)) < 0.5, [0, 30, 31, 70, 100], 5, 8, True)


def qc_flags(rng, textures=False):
    rows, gates = 8 * 5 + 3, 30
    planes = [holes(rng, rng.normal(size=(rows, gates)), 0.3) for _ in range(2)]
    u = rng.normal(size=(2, gates))
    # With textures the tests run per item of the texture pass (16 rays), in two sweeps.
    velocity = holes(rng, rng.uniform(-10, 10, (rows, gates)), 0.2)
    mask = (rng.random((rows, gates)) < 0.1).astype(np.uint8)
    texture = (
        ([planes[0], velocity], [mask, np.empty(0, np.uint8)], [np.empty(0), np.full(rows, 10.0)])
        if textures
        else ([], [], [])
    )
    limits = [0.8, 3.0][: len(texture[0])]
    return _radar.flags, (
        planes,
        [(rng.random((rows, gates)) < 0.2).astype(np.uint8), np.empty(0, np.uint8)],
        [np.empty(0), rng.normal(size=gates)],
        [-1.0, nan],
        [1.0, 0.5],
        [2, 4],
        1,
        holes(rng, rng.normal(size=(rows, gates)), 0.3),
        rng.integers(0, gates, rows),
        0.5,
        8,
        u,
        u[::-1],
        rng.integers(-1, 2, rows),
        *rng.uniform(-1, 1, (3, rows)),
        0.3,
        1.0,
        16,
        rows,
        gates,
        texture[0],
        texture[1],
        np.array([0, 20, rows]),
        texture[2],
        1,
        3,
        True,
        3,
        np.array(limits, float),
        np.array([32, 64][: len(limits)], np.int64),
    )


def qc_flags_textures(rng):
    return qc_flags(rng, textures=True)


def _aliased_volume(rng):
    sweeps, rays, gates = 5, 90, 40  # one sweep per item, of different ray counts
    az = np.tile(np.deg2rad(np.arange(rays) * 4.0), sweeps)
    true = (
        25 * np.sin(az)[:, None]
        + rng.normal(0, 1, (sweeps * rays, gates))
        + np.linspace(0, 10, gates)
    )
    vel = holes(rng, (true + 8) % 16 - 8, 0.2)
    start = np.array([0, 90, 180, 270, 400, 450], dtype=np.int64)
    return (
        vel,
        az,
        np.full(sweeps * rays, 0.99),
        np.full(sweeps * rays, 8.0),
        start,
        np.array([1, 1, 0, 1, 0], np.uint8),
    )


def dealias_fit(rng):
    vel, az, cos_el, nyq, start, wrap = _aliased_volume(rng)
    layer = np.tile(np.arange(40) // 4, (5, 1)).astype(np.int64)
    return _radar.dealias_fit, (vel, az, cos_el, nyq, start, wrap, layer, 10, 2, 0.05)


def dealias_unfold(rng):
    vel, az, cos_el, nyq, start, wrap = _aliased_volume(rng)
    uvw = np.zeros((5, 3, 40))
    uvw[:, 0] = 24.0
    return _radar.dealias_unfold, (vel, az, cos_el, nyq, start, wrap, uvw, None, 0.5, 3)


CALLS = [
    vad,
    vad_sweeps,
    gradient,
    profile,
    profile_checked,
    cold_pool,
    thermo,
    perturb,
    statistics,
    mode,
    format_wrfda,
    format_dart,
    superobs_polar,
    superobs_grid,
    texture,
    texture_circular,
    despeckle,
    qc_flags,
    qc_flags_textures,
    dealias_fit,
    dealias_unfold,
]


def identical(a, b):
    """Bit for bit, NaNs included, for an array, a tuple of arrays or bytes."""
    if isinstance(a, tuple):
        return len(a) == len(b) and all(map(identical, a, b))
    if isinstance(a, bytes):
        return a == b
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


@pytest.fixture(params=CALLS, ids=lambda call: call.__name__)
def call(request):
    function, args = request.param(np.random.default_rng(len(request.param.__name__)))
    return lambda n_threads: function(*args, n_threads=n_threads)


class TestThreadCounts:
    @pytest.mark.parametrize("n_threads", [2, 3, 8])
    def test_same_result_as_one_thread(self, call, n_threads):
        assert identical(call(n_threads), call(1))


class TestConcurrentCalls:
    def test_calls_from_several_python_threads_do_not_interfere(self, call):
        # The interpreter lock is released during a run, so these calls overlap, each
        # with its own team of workers.
        want = call(1)
        results = [None] * 4
        barrier = threading.Barrier(len(results))

        def work(k):
            barrier.wait()
            results[k] = call(2 if k % 2 else 3)

        threads = [threading.Thread(target=work, args=(k,)) for k in range(len(results))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert all(result is not None and identical(result, want) for result in results)
