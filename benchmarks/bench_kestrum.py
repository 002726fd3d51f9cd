"""_kestrum cases and their NumPy peers."""

from __future__ import annotations

import numpy as np
from common import Case, Peer, Setup, numba_peers, scaled, with_threads

import _kestrum


def vad_numpy(vr, az, cos_el, min_gates, min_spread):
    """Both VAD fits as batched normal equations, the way one writes it in NumPy."""
    valid = np.isfinite(vr) & np.isfinite(az)
    w = valid.astype(np.float64)
    a = np.where(valid, az, 0.0)
    v = np.where(valid, vr, 0.0)
    X = np.stack([w, np.sin(a) * w, np.cos(a) * w, np.sin(2 * a) * w, np.cos(2 * a) * w], axis=-1)
    XtX = np.matmul(X.transpose(0, 2, 1), X)
    Xty = np.matmul(X.transpose(0, 2, 1), v[..., None])[..., 0]
    n = w.sum(axis=1)
    out = np.full((8, vr.shape[0]), np.nan)
    out[4] = n
    ok = (n >= max(min_gates, 3)) & (
        np.linalg.det(XtX[:, 1:3, 1:3] / n[:, None, None]) >= min_spread
    )
    first = np.linalg.solve(XtX[ok][:, :3, :3], Xty[ok][:, :3, None])[..., 0]
    resid = v[ok] - np.einsum("rgk,rk->rg", X[ok][:, :, :3], first)
    out[0, ok] = first[:, 1] / cos_el[ok]
    out[1, ok] = first[:, 2] / cos_el[ok]
    out[2, ok] = first[:, 0]
    out[3, ok] = np.sqrt((resid**2 * w[ok]).sum(axis=1) / n[ok])
    second = np.linalg.solve(XtX[ok], Xty[ok][..., None])[..., 0]
    out[5, ok], out[6, ok], out[7, ok] = second[:, 0], second[:, 3], second[:, 4]
    return out


def vad_setup(scale, shared=True):
    """Rows of 360 gates, 14 elevations. ``shared``: the layout of a real sweep, every
    row (range ring) with the azimuths of the row before it; otherwise every row has
    azimuths of its own."""
    rng = np.random.default_rng(1)
    per_elevation = scaled(1000, scale, 2)
    rows, gates = 14 * per_elevation, 360
    az = np.broadcast_to(np.deg2rad(np.arange(gates) + 0.5), (rows, gates)).copy()
    if not shared:
        az += rng.uniform(-0.004, 0.004, (rows, 1))
    cos_el = np.cos(np.deg2rad(np.repeat(np.linspace(0.5, 19.5, 14), per_elevation)))
    u, v = rng.normal(10, 5, rows), rng.normal(0, 5, rows)
    vr = (u[:, None] * np.sin(az) + v[:, None] * np.cos(az)) * cos_el[:, None]
    vr += rng.normal(0, 1.5, vr.shape)
    vr[rng.random(vr.shape) < 0.05] = np.nan
    if scale < 0.05:
        az[rng.random(az.shape) < 0.01] = np.nan  # the agreement check: missing azimuths too
    nb = numba_peers()
    peers = [
        Peer(
            "NumPy normal equations",
            lambda t: vad_numpy(vr, az, cos_el, 10, 0.05),
            threaded=False,
            exact=False,
            repeat=2,
        )
    ]
    if nb:
        peers.append(Peer("Numba", with_threads(lambda: nb.vad(vr, az, cos_el, 10, 0.05))))
    layout = "shared az" if shared else "az per row"
    return Setup(
        f"{rows:,} rows x {gates} gates, {layout}",
        lambda t: _kestrum.vad(vr, az, cos_el, 10, 0.05, n_threads=t),
        peers,
    )


def gradient_setup(scale, gaps=False):
    # An evenly spaced grid without missing values: the case numpy.gradient handles.
    rng = np.random.default_rng(2)
    side = 1000 if scale >= 0.05 else 40
    fields = scaled(50, scale)
    f = rng.normal(size=(fields, side, side))
    x = np.arange(side) * 250.0
    y = np.arange(side) * 250.0
    peers = []
    if gaps:
        f[rng.random(f.shape) < 0.05] = np.nan
        f[0, :, 3] = np.nan
    else:
        peers.append(
            Peer(
                "numpy.gradient, even grid, no gaps",
                lambda t: np.gradient(f, 250.0, 250.0, axis=(2, 1), edge_order=1),
                threaded=False,
                exact=False,
                repeat=2,
            )
        )
    nb = numba_peers()
    if nb:
        peers.append(Peer("Numba", with_threads(lambda: nb.gradient(f, x, y))))
    return Setup(
        f"{fields} fields x {side} x {side}",
        lambda t: _kestrum.gradient(f, x, y, n_threads=t),
        peers,
        moved=3 * f.nbytes,
    )


def _previous_included(mask):
    """Index of the previous True entry of each row before each position (-1: none)."""
    idx = np.where(mask, np.arange(mask.shape[1]), -1)
    acc = np.maximum.accumulate(idx, axis=1)
    return np.concatenate([np.full((mask.shape[0], 1), -1), acc[:, :-1]], axis=1), acc[:, -1]


def _take(a, idx):
    return np.take_along_axis(a, np.clip(idx, 0, None), axis=1)


def _wind_at(z, u, v, valid, target):
    """Wind at target heights on columns whose heights increase, as NumPy code does it."""
    n, levels = z.shape
    rows = np.arange(n)
    above = valid & (z >= target[:, None])
    hi = np.argmax(above, axis=1)
    has_hi = above[rows, hi]
    below = valid & (z < target[:, None])
    lo = levels - 1 - np.argmax(below[:, ::-1], axis=1)
    has_lo = below[rows, lo]
    zl, zh = z[rows, lo], z[rows, hi]
    with np.errstate(invalid="ignore", divide="ignore"):
        w = np.where(zh == target, 1.0, (target - zl) / (zh - zl))
    ub = np.where(has_lo, (u[rows, hi] - u[rows, lo]) * w + u[rows, lo], u[rows, hi])
    vb = np.where(has_lo, (v[rows, hi] - v[rows, lo]) * w + v[rows, lo], v[rows, hi])
    ok = has_hi & (has_lo | (zh - target <= 1e-6))
    tail = ~has_hi & has_lo & (target - zl <= 1e-6)
    ub = np.where(tail, u[rows, lo], np.where(ok, ub, np.nan))
    vb = np.where(tail, v[rows, lo], np.where(ok, vb, np.nan))
    return ub, vb


def profile_numpy(z, u, v, ground, bottom, top, cu, cv, chunk=100_000):
    """Layer winds, helicity and mean wind with masks, in chunks of columns."""
    out = np.empty((7, u.shape[0]))
    for a in range(0, u.shape[0], chunk):
        s = slice(a, a + chunk)
        zc, uc, vc, g, cuc, cvc = z[s], u[s], v[s], ground[s], cu[s], cv[s]
        valid = np.isfinite(zc) & np.isfinite(uc) & np.isfinite(vc)
        first = zc[np.arange(zc.shape[0]), np.argmax(valid, axis=1)]
        ref = np.where(np.isfinite(g), g, first)
        zb, zt = ref + bottom, ref + top
        ub, vb = _wind_at(zc, uc, vc, valid, zb)
        ut, vt = _wind_at(zc, uc, vc, valid, zt)
        inside = valid & (zc > zb[:, None]) & (zc < zt[:, None])
        prev, last = _previous_included(inside)
        zp = np.where(prev >= 0, _take(zc, prev), zb[:, None])
        up = np.where(prev >= 0, _take(uc, prev), ub[:, None])
        vp = np.where(prev >= 0, _take(vc, prev), vb[:, None])
        du, dv = cuc[:, None], cvc[:, None]
        h = np.where(inside, (vp - dv) * (uc - du) - (up - du) * (vc - dv), 0.0).sum(axis=1)
        su = np.where(inside, (up + uc) * 0.5 * (zc - zp), 0.0).sum(axis=1)
        sv = np.where(inside, (vp + vc) * 0.5 * (zc - zp), 0.0).sum(axis=1)
        zl = np.where(last >= 0, _take(zc, last[:, None])[:, 0], zb)
        ul = np.where(last >= 0, _take(uc, last[:, None])[:, 0], ub)
        vl = np.where(last >= 0, _take(vc, last[:, None])[:, 0], vb)
        out[0, s], out[1, s], out[2, s], out[3, s] = ub, vb, ut, vt
        out[4, s] = (ut - cuc) * (vl - cvc) - (vt - cvc) * (ul - cuc) + h
        out[5, s] = ((ul + ut) * 0.5 * (zt - zl) + su) / (zt - zb)
        out[6, s] = ((vl + vt) * 0.5 * (zt - zl) + sv) / (zt - zb)
    return out


def columns(rng, n, levels):
    """Heights from a ground near 0-500 m, rising by 100-300 m a level."""
    ground = rng.uniform(0.0, 500.0, n)
    rise = rng.uniform(100.0, 300.0, (n, levels))
    rise[:, 0] = 0.0
    return ground, ground[:, None] + np.cumsum(rise, axis=1)


def profile_setup(scale):
    rng = np.random.default_rng(3)
    n, levels = scaled(1_000_000, scale), 50
    ground, z = columns(rng, n, levels)
    u = 5.0 + 2e-3 * (z - ground[:, None]) + rng.normal(0, 1, (n, levels))
    v = rng.normal(0, 3, (n, levels))
    u[:, 1:][rng.random((n, levels - 1)) < 0.05] = np.nan  # gaps above the ground level
    cu, cv = rng.normal(8, 2, n), rng.normal(2, 2, n)
    if scale < 0.05:
        ground[::7] = np.nan
        z[::11, 0] = np.nan
        cu[::13] = np.nan
    args = (z, u, v, ground, 0.0, 3000.0, cu, cv)
    nb = numba_peers()
    peers = [
        Peer(
            "vectorised NumPy with masks",
            lambda t: profile_numpy(*args),
            threaded=False,
            exact=False,
            repeat=1,
        )
    ]
    if nb:
        peers.append(Peer("Numba", with_threads(lambda: nb.profile(*args))))
    moved = z.nbytes + u.nbytes + v.nbytes + 3 * ground.nbytes + 7 * 8 * n
    return Setup(
        f"{n:,} columns x {levels} levels",
        lambda t: _kestrum.profile(*args, n_threads=t),
        peers,
        moved,
    )


def cold_pool_numpy(z, b, bottom, threshold, top, chunk=100_000):
    """Both modes with masks, in chunks of columns."""
    out = np.empty((3, z.shape[0]))
    for a in range(0, z.shape[0], chunk):
        s = slice(a, a + chunk)
        zc, bc, bot, tp = z[s], b[s], bottom[s], top[s]
        n, levels = zc.shape
        rows = np.arange(n)
        valid = np.isfinite(zc) & np.isfinite(bc)
        can_start = valid & (~np.isfinite(bot)[:, None] | (zc >= bot[:, None]))
        start = np.argmax(can_start, axis=1)
        has_start = can_start[rows, start]
        z0, b0 = zc[rows, start], bc[rows, start]
        fixed = np.isfinite(tp)
        zt = tp + z0
        after = valid & (np.arange(levels) > start[:, None])
        stop = after & np.where(fixed[:, None], zc >= zt[:, None], bc >= threshold)
        end = np.argmax(stop, axis=1)
        crossed = stop[rows, end]
        inside = after & (~crossed[:, None] | (np.arange(levels) < end[:, None]))
        prev, last = _previous_included(inside)
        zp = np.where(prev >= 0, _take(zc, prev), z0[:, None])
        bp = np.where(prev >= 0, _take(bc, prev), b0[:, None])
        total = np.where(inside, ((-bp - bc) * 0.5) * (zc - zp), 0.0).sum(axis=1)
        zl = np.where(last >= 0, _take(zc, last[:, None])[:, 0], z0)
        bl = np.where(last >= 0, _take(bc, last[:, None])[:, 0], b0)
        ze, be = zc[rows, end], bc[rows, end]
        with np.errstate(invalid="ignore", divide="ignore"):
            zc_ = (threshold - bl) * (ze - zl) / (be - bl) + zl
            bt = (be - bl) * (zt - zl) / (ze - zl) + bl
        z_end = np.where(fixed, zt, np.where(crossed, zc_, zl))
        b_end = np.where(fixed, bt, np.where(crossed, threshold, bl))
        total += ((-bl - b_end) * 0.5) * (z_end - zl)
        c = np.sqrt(np.clip(total + total, 0.0, None))
        depth = np.where(fixed, tp, z_end - z0)
        flag = np.where(fixed | crossed, 0.0, 1.0)
        first_warm = ~fixed & (b0 >= threshold)
        c, depth, flag = (np.where(first_warm, 0.0, q) for q in (c, depth, flag))
        ok = has_start & (crossed | ~fixed)
        out[0, s], out[1, s], out[2, s] = (np.where(ok, q, np.nan) for q in (c, depth, flag))
    return out


def cold_pool_setup(scale):
    rng = np.random.default_rng(4)
    n, levels = scaled(1_000_000, scale), 50
    ground, z = columns(rng, n, levels)
    depth = rng.uniform(500.0, 3000.0, n)
    b = -0.05 * (1.0 - (z - ground[:, None]) / depth[:, None]) + rng.normal(0, 0.002, z.shape)
    b[rng.random(b.shape) < 0.05] = np.nan
    top = np.where(rng.random(n) < 0.5, 1500.0, np.nan)  # half fixed depth, half threshold
    bottom = np.full(n, np.nan)
    if scale < 0.05:
        bottom[::3] = 300.0
    args = (z, b, bottom, 0.0, top)
    nb = numba_peers()
    peers = [
        Peer(
            "vectorised NumPy with masks",
            lambda t: cold_pool_numpy(*args),
            threaded=False,
            exact=False,
            repeat=1,
        )
    ]
    if nb:
        peers.append(Peer("Numba", with_threads(lambda: nb.cold_pool(*args))))
    moved = z.nbytes + b.nbytes + bottom.nbytes + top.nbytes + 3 * 8 * n
    return Setup(
        f"{n:,} columns x {levels} levels",
        lambda t: _kestrum.cold_pool(*args, n_threads=t),
        peers,
        moved,
    )


def thermo_numpy(t, p, td):
    """Mixing ratio, theta, theta-v and theta-e (Bolton 1980) as NumPy expressions."""
    tdc = np.minimum(td, t)
    x = 100000.0 / p
    theta = t * x**0.28542059262205427
    c = tdc - 273.15
    e = np.exp(17.67 * c / (c + 243.5)) * 611.2
    r = 0.6219569156569429 * e / (p - e)
    rg = 1000.0 * r
    tl = 1 / (np.log(t / tdc) / 800.0 + 1 / (tdc - 56.0)) + 56.0
    theta_e = (
        t
        * x ** ((1 - 0.00028 * rg) * 0.2854)
        * np.exp((3.376 / tl - 0.00254) * rg * (rg * 0.00081 + 1))
    )
    theta_v = (1 + r / 0.6219569156569429) * theta / (r + 1)
    return np.stack([r, theta, theta_v, theta_e])


def thermo_data(n=10_000_000, seed=5):
    rng = np.random.default_rng(seed)
    t = rng.uniform(230.0, 310.0, n)
    p = rng.uniform(20000.0, 105000.0, n)
    td = t - rng.uniform(0.0, 30.0, n)
    return t, p, td


def thermo_setup(scale):
    t, p, td = thermo_data(scaled(10_000_000, scale))
    if scale < 0.05:
        td[::17] = np.nan
        t[::29] = np.nan
    nb = numba_peers()
    peers = [
        Peer(
            "NumPy expressions",
            lambda n: thermo_numpy(t, p, td),
            threaded=False,
            exact=False,
            repeat=2,
        )
    ]
    if nb:
        peers.append(Peer("Numba", with_threads(lambda: nb.thermo(t, p, td))))
    return Setup(
        f"{t.size:,} points",
        lambda n: _kestrum.thermo(t, p, td, n_threads=n),
        peers,
        moved=7 * t.nbytes,
    )


def small(setup, **kwargs):
    return lambda: setup(0.002, **kwargs)


CASES = [
    Case("vad", vad_setup, small(vad_setup)),
    Case("vad", lambda s: vad_setup(s, shared=False), small(vad_setup, shared=False)),
    Case("gradient", gradient_setup, small(gradient_setup, gaps=True)),
    Case("profile", profile_setup, small(profile_setup)),
    Case("cold_pool", cold_pool_setup, small(cold_pool_setup)),
    Case("thermo", thermo_setup, small(thermo_setup)),
]
