"""Kernels compiled for several vector widths give the same bits on every width.

The widest path the processor supports is chosen when a module first runs such a
kernel; the environment variable KESTRUM_VECTOR selects a narrower one. Each path runs
in its own interpreter on the same inputs and the outputs are compared byte for byte.
"""

from __future__ import annotations

import os
import subprocess
import sys

PATHS = ["baseline", "avx2", "avx512"]

# Inputs that reach every branch of the vector loops: gaps, infinities, uneven and
# repeated coordinates, rows whose length leaves a remainder for every vector width; for
# profile, columns with gaps, infinities, missing ground and storm motion, heights in any
# order, layers of every kind; for mode, codes in and out of range, negative fractions,
# NaN, infinities, huge values, and members past one round of byte counters; for
# superobservations, gaps and infinities in rows of odd lengths, every quantity.
SCRIPT = r"""
import hashlib
import numpy as np
import _kestrum, _ensemble
from kestrum import _radar

rng = np.random.default_rng(12)
h = hashlib.sha256()
for shape in [(2, 7, 1), (1, 9, 2), (3, 17, 33), (2, 40, 61)]:
    f = rng.normal(size=shape)
    f[rng.random(shape) < 0.1] = np.nan
    f[rng.random(shape) < 0.03] = np.inf
    x = np.cumsum(rng.uniform(0.5, 2.0, shape[2]))
    y = np.cumsum(rng.uniform(0.5, 2.0, shape[1]))
    if shape[2] > 3:
        x[2] = x[1]  # a repeated coordinate: the IEEE quotient of a division by zero
    h.update(_kestrum.gradient(f, x, y, n_threads=1).tobytes())
ground = rng.uniform(0, 500, 300)
z = ground[:, None] + np.cumsum(rng.uniform(0, 300, (300, 30)), axis=1)
z[:40] = z[:40, ::-1]  # heights in any order
u, v = rng.normal(8, 5, z.shape), rng.normal(0, 5, z.shape)
for a in (z, u, v):
    a[rng.random(a.shape) < 0.05] = np.nan
u[rng.random(u.shape) < 0.01] = np.inf
ground[::7] = np.nan
cu, cv = rng.normal(8, 2, 300), rng.normal(2, 2, 300)
cu[::11] = np.nan
for bottom, top in [(0.0, 3000.0), (250.0, 1000.0), (500.0, 500.0), (1000.0, 0.0)]:
    h.update(_kestrum.profile(z, u, v, ground, bottom, top, cu, cv).tobytes())
for members, n, n_codes in [(1, 5, 3), (7, 300, 4), (50, 1001, 10), (600, 70, 17), (3, 2000, 256),
                            (300, 40, 300)]:
    v = rng.uniform(-2.0, n_codes + 2.0, (members, n)).astype(np.float32)
    v[rng.random(v.shape) < 0.05] = np.nan
    v[rng.random(v.shape) < 0.02] = np.inf
    v[rng.random(v.shape) < 0.02] = -np.inf
    v[rng.random(v.shape) < 0.02] = 3e38
    v[rng.random(v.shape) < 0.02] = -0.9
    for min_valid in (1, 3):
        for out in _ensemble.mode(v, n_codes, min_valid, n_threads=2):
            h.update(out.tobytes())
for dtype in (np.float64, np.float32):  # textures: window sums, linear and circular
    f = rng.normal(30.0, 5.0, (3 * 21, 37)).astype(dtype)
    f[rng.random(f.shape) < 0.2] = np.nan
    f[:, 33:] = np.nan
    m = (rng.random(f.shape) < 0.1).astype(np.uint8)
    for mask, nyq in ((np.empty(0, np.uint8), np.empty(0)), (m, np.full(63, 7.0))):
        out = _radar.texture(f, mask, [0, 21, 42, 63], nyq, 2, 3, True, 2, n_threads=1)
        h.update(out.tobytes())
for gates in (7, 61):  # superobservations: gate functions (linear Z, sine and cosine) and folds
    v = rng.normal(0.0, 30.0, (40, gates))
    v[rng.random(v.shape) < 0.2] = np.nan
    v[rng.random(v.shape) < 0.03] = np.inf
    az = np.sort(rng.uniform(0.0, 360.0, 40))
    ray = (np.sin(np.deg2rad(az)), np.cos(np.deg2rad(az)), np.full(40, 0.5), np.arange(40.0))
    nyq = rng.uniform(5.0, 30.0, 40)
    r = 100.0 + 500.0 * np.arange(gates)
    for code in (0, 1, 2):
        cell = (r // 2000).astype(np.int64)
        h.update(_radar.superobs_polar(v, (az // 30).astype(np.int64), 12, cell, cell[-1] + 1,
                                       *ray, nyq, r, code, 1).tobytes())
        edges = np.linspace(-40e3, 40e3, 9)
        h.update(_radar.superobs_grid(v, np.zeros(40, np.int64), 1, *ray, nyq, r, edges, edges,
                                      np.empty(0), 0.0, code, 1).tobytes())
print(h.hexdigest())
"""


def run(path: str | None) -> str:
    env = dict(os.environ)
    env.pop("KESTRUM_VECTOR", None)
    if path is not None:
        env["KESTRUM_VECTOR"] = path
    done = subprocess.run(
        [sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, check=True
    )
    return done.stdout.strip()


class TestVectorPaths:
    def test_every_path_gives_the_same_bits(self):
        widest = run(None)
        for path in PATHS:
            assert run(path) == widest, path

    def test_an_unknown_name_keeps_the_widest_path(self):
        assert run("sse9") == run(None)
