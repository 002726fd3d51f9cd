"""_ensemble cases and their NumPy/SciPy peers."""

from __future__ import annotations

import numpy as np
import scipy.stats
from common import Case, Peer, Setup, numba_peers, scaled, with_threads

import _ensemble

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


def words_setup(scale):
    n = scaled(25_000_000, scale)  # four words a position
    return Setup(
        f"{4 * n:,} words",
        lambda t: _ensemble.words(12345, 67890, 3, 0, n),
        [
            Peer(
                "NumPy Philox.random_raw",
                lambda t: philox_words(12345, 67890, 3, 0, n),
                threaded=False,
            )
        ],
    )


def perturb_setup(scale):
    rng = np.random.default_rng(2)
    members, n = scaled(50, scale, 2), scaled(1_000_000, scale)
    fields = [
        rng.uniform(0, 60, n),
        rng.uniform(-1, 4, n),
        rng.uniform(0, 180, n),
        rng.uniform(0.8, 1.0, n),
        rng.uniform(-30, 30, n),
    ]
    fac = np.abs(rng.normal(0.1, 0.05, (6, n)))
    bias_dbz, bias_zdr = rng.normal(0, 1, members), rng.normal(0, 0.2, members)
    if scale < 0.05:
        for f in fields:
            f[::7] = np.nan
    key = (7, 11, 0)
    peers = [
        Peer(
            "NumPy on Philox words",
            lambda t: perturb_numpy(fields, fac, bias_dbz, bias_zdr, *key),
            threaded=False,
            repeat=1,
        )
    ]
    nb = numba_peers()
    if nb:
        peers.append(
            Peer("Numba", with_threads(lambda: nb.perturb(*fields, fac, bias_dbz, bias_zdr, *key)))
        )
    return Setup(
        f"{members} members x {n:,} gates, 5 fields",
        lambda t: _ensemble.perturb(*fields, 31, fac, bias_dbz, bias_zdr, *key, n_threads=t),
        peers,
    )


def statistics_setup(scale, pcts=(5.0, 25.0, 50.0, 75.0, 95.0)):
    rng = np.random.default_rng(3)
    values = rng.normal(280, 5, (50, scaled(1_000_000, scale))).astype(np.float32)
    values[rng.random(values.shape) < 0.01] = np.nan
    if scale < 0.05:
        values[:45, ::9] = np.nan  # columns of five members
        values[:, ::31] = np.nan  # columns with none
    pcts = np.array(pcts)
    n = values.shape[1]

    def numpy_peer(t):
        wide = values.astype(np.float64)
        return (
            np.nanmean(wide, axis=0),
            np.nanstd(wide, axis=0, ddof=1),
            np.nanpercentile(wide, pcts, axis=0, method="linear"),
        )

    # The NumPy peer takes tens of seconds; it is timed once, on the row with all five.
    peers = (
        [
            Peer(
                "nanmean + nanstd + nanpercentile",
                numpy_peer,
                threaded=False,
                exact=False,
                repeat=1,
            )
        ]
        if len(pcts) > 1
        else []
    )
    nb = numba_peers()
    if nb:
        import numbagg

        peers.append(Peer("Numba", with_threads(lambda: nb.statistics(values, pcts, 1))))

        # numbagg on the same float32 values, as one calls it; it sums in other orders,
        # so it is compared to a tolerance.
        def numbagg_peer():
            return (
                numbagg.nanmean(values, axis=0),
                numbagg.nanstd(values, axis=0, ddof=1),
                numbagg.nanquantile(values, pcts / 100.0, axis=0),
            )

        peers.append(Peer("numbagg", with_threads(numbagg_peer), exact=False))
    try:
        import bottleneck
    except ImportError:
        bottleneck = None
    if bottleneck is not None and len(pcts) == 1 and pcts[0] == 50.0:
        # bottleneck has no percentiles but the median: the row with the median only.
        peers.append(
            Peer(
                "bottleneck",
                lambda t: (
                    bottleneck.nanmean(values, axis=0),
                    bottleneck.nanstd(values, axis=0, ddof=1),
                    bottleneck.nanmedian(values, axis=0)[None, :],
                ),
                threaded=False,
                exact=False,
            )
        )
    return Setup(
        f"50 x {n:,}, {len(pcts)} pct, 1% NaN",
        lambda t: _ensemble.statistics(values, pcts, 1, n_threads=t),
        peers,
        moved=values.nbytes + (2 + len(pcts)) * 8 * n,
    )


def mode_setup(scale, n_codes=10):
    rng = np.random.default_rng(4)
    values = rng.integers(0, n_codes, (50, scaled(1_000_000, scale))).astype(np.float32)
    if scale < 0.05:
        values[rng.random(values.shape) < 0.05] = np.nan
        values[rng.random(values.shape) < 0.05] = n_codes + 2.0  # out of range
        values[rng.random(values.shape) < 0.05] = -0.5  # truncates to 0
        values[:, ::13] = np.nan
    n = values.shape[1]
    peers = [
        Peer(
            "scipy.stats.mode",
            lambda t: scipy.stats.mode(values, axis=0),
            threaded=False,
            exact=False,
            repeat=2,
        )
    ]
    nb = numba_peers()
    if nb:
        peers.append(Peer("Numba", with_threads(lambda: nb.mode(values, n_codes, 1))))
    return Setup(
        f"50 x {n:,}, {n_codes} codes",
        lambda t: _ensemble.mode(values, n_codes, 1, n_threads=t),
        peers,
        moved=values.nbytes + 2 * 8 * n,
    )


def small(setup, **kwargs):
    return lambda: setup(0.002, **kwargs)


CASES = [
    Case("words", words_setup),
    Case("perturb", perturb_setup, small(perturb_setup)),
    Case("statistics", statistics_setup, small(statistics_setup)),
    Case(
        "statistics",
        lambda s: statistics_setup(s, pcts=(50.0,)),
        small(statistics_setup, pcts=(50.0,)),
    ),
    Case("mode", mode_setup, small(mode_setup)),
    # few classes, such as hydrometeor types
    Case("mode", lambda s: mode_setup(s, n_codes=4), small(mode_setup, n_codes=4)),
    Case("mode", lambda s: mode_setup(s, n_codes=16), small(mode_setup, n_codes=16)),
]
