"""_ensemble cases and their NumPy/SciPy peers."""

from __future__ import annotations

import numpy as np
import scipy.stats

import _ensemble
from common import Case

K = 4.342944819032518


def philox_words(k0, k1, member, block, n):
    """The words of one stream from NumPy's own Philox4x64-10 (it starts at counter 1)."""
    counter = np.array([0, member % 2**64, block, 0], dtype=np.uint64)
    key = np.array([k0, k1], dtype=np.uint64)
    return np.random.Philox(counter=counter, key=key).random_raw(4 * n).reshape(n, 4)


def normal_pair(a, b):
    r = np.sqrt(np.log(((a >> 11) + 1) * 2.0**-53) * -2.0)
    theta = (b >> 11) * 2.0**-53 * 6.283185307179586
    return r * np.cos(theta), r * np.sin(theta)


def perturb_numpy(fields, fac, bias_dbz, bias_zdr, k0, k1, m0):
    """All five fields, member by member, on NumPy's Philox words."""
    dbz, zdr, phidp, rhohv, vel = fields
    n = fac.shape[1]
    out = np.empty((len(bias_dbz), 5, n))
    for j in range(len(bias_dbz)):
        x = philox_words(k0, k1, m0 + j, 0, n)
        y = philox_words(k0, k1, m0 + j, 1, n)
        a, a_s = normal_pair(x[:, 0], x[:, 1])
        b, b_s = normal_pair(x[:, 2], x[:, 3])
        c, _ = normal_pair(y[:, 0], y[:, 1])
        e_h = a * fac[0]
        out[j, 0] = (bias_dbz[j] + dbz) + K * e_h
        out[j, 1] = K * (e_h - (a_s * fac[2] + fac[1] * a)) + (bias_zdr[j] + zdr)
        out[j, 2] = b * fac[3] + phidp
        out[j, 3] = np.clip(b_s * fac[4] + rhohv, 0.0, 1.0)
        out[j, 4] = c * fac[5] + vel
    return out


def words_case():
    n = 25_000_000  # 100,000,000 words
    return (
        lambda t: _ensemble.words(12345, 67890, 3, 0, n),
        lambda: philox_words(12345, 67890, 3, 0, n),
    )


def perturb_case():
    rng = np.random.default_rng(2)
    members, n = 50, 1_000_000
    fields = [
        rng.uniform(0, 60, n),
        rng.uniform(-1, 4, n),
        rng.uniform(0, 180, n),
        rng.uniform(0.8, 1.0, n),
        rng.uniform(-30, 30, n),
    ]
    fac = np.abs(rng.normal(0.1, 0.05, (6, n)))
    bias_dbz, bias_zdr = rng.normal(0, 1, members), rng.normal(0, 0.2, members)
    return (
        lambda t: _ensemble.perturb(*fields, 31, fac, bias_dbz, bias_zdr, 7, 11, 0, n_threads=t),
        lambda: perturb_numpy(fields, fac, bias_dbz, bias_zdr, 7, 11, 0),
    )


def statistics_case():
    rng = np.random.default_rng(3)
    values = rng.normal(280, 5, (50, 1_000_000)).astype(np.float32)
    values[rng.random(values.shape) < 0.01] = np.nan
    pcts = np.array([5.0, 25.0, 50.0, 75.0, 95.0])

    def peer():
        wide = values.astype(np.float64)
        return (
            np.nanmean(wide, axis=0),
            np.nanstd(wide, axis=0, ddof=1),
            np.nanpercentile(wide, pcts, axis=0, method="linear"),
        )

    return lambda t: _ensemble.statistics(values, pcts, 1, n_threads=t), peer


def mode_case():
    rng = np.random.default_rng(4)
    values = rng.integers(0, 10, (50, 1_000_000)).astype(np.float32)
    return (
        lambda t: _ensemble.mode(values, 10, 1, n_threads=t),
        lambda: scipy.stats.mode(values, axis=0),
    )


CASES = [
    Case("words", "100,000,000 words", words_case, peer_repeat=3),
    Case("perturb", "50 members x 1,000,000 gates, 5 fields", perturb_case, repeat=2, peer_repeat=2),
    Case("statistics", "50 x 1,000,000, 5 pct, 1% NaN", statistics_case),
    Case("mode", "50 x 1,000,000, 10 codes", mode_case, peer_repeat=3),
]
