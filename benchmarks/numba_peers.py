"""Numba versions of the numerical kernels: the loops a power user writes instead.

Each is written the way a competent Numba user would write it: ``@njit(parallel=True)``
with ``prange`` over rows, columns or chunks of them, scratch allocated once per chunk,
the members of a chunk of columns read row by row (each row a contiguous run) or
transposed first where each column is worked on alone.
They compute the same outputs as the package, operation for operation, so that the
harness can check that both agree bit for bit before it times them. Numba compiles for
the host processor (its default), so these loops may use wider vectors than the
package's portable build.
"""

from __future__ import annotations

import math

import numpy as np
from numba import njit, prange, uint64

NAN = np.nan
CHUNK = 256


# ---------------------------------------------------------------------------------------
# vad


@njit(cache=False)
def _solve_second_order(A, y, n, min_spread, x):
    exchanges = 0
    for k in range(3):
        pivot = k
        for i in range(k + 1, 4):
            if abs(A[i, k]) > abs(A[pivot, k]):
                pivot = i
        if A[pivot, k] == 0.0:
            return False
        if pivot != k:
            for j in range(4):
                A[k, j], A[pivot, j] = A[pivot, j], A[k, j]
            y[k], y[pivot] = y[pivot], y[k]
            exchanges += 1
        for i in range(k + 1, 4):
            f = A[i, k] / A[k, k]
            for j in range(k, 4):
                A[i, j] -= f * A[k, j]
            y[i] -= f * y[k]
    if A[3, 3] == 0.0:
        return False
    x[3] = y[3] / A[3, 3]
    x[2] = (y[2] - A[2, 3] * x[3]) / A[2, 2]
    x[1] = (y[1] - A[1, 2] * x[2] - A[1, 3] * x[3]) / A[1, 1]
    x[0] = (y[0] - A[0, 1] * x[1] - A[0, 2] * x[2] - A[0, 3] * x[3]) / A[0, 0]
    det = A[0, 0] * A[1, 1] * A[2, 2] * A[3, 3]
    if exchanges % 2 == 1:
        det = -det
    return det != 0.0 and det / ((n * n) * (n * n)) >= 0.25 * min_spread


@njit(parallel=True)
def vad(vr, az, cos_el, min_gates, min_spread):
    R, G = vr.shape
    out = np.full((8, R), NAN)
    blocks = (R + 63) // 64
    for blk in prange(blocks):
        gv = np.empty(G)
        gs = np.empty(G)
        gc = np.empty(G)
        gs2 = np.empty(G)
        gc2 = np.empty(G)
        A = np.empty((4, 4))
        y = np.empty(4)
        x = np.empty(4)
        d = np.empty(4)
        for r in range(blk * 64, min(blk * 64 + 64, R)):
            count = 0
            sv = ss = sc = ss2 = sc2 = 0.0
            for j in range(G):
                v, a = vr[r, j], az[r, j]
                if not (np.isfinite(v) and np.isfinite(a)):
                    continue
                s, c = math.sin(a), math.cos(a)
                s2, c2 = math.sin(2.0 * a), math.cos(2.0 * a)
                gv[count], gs[count], gc[count], gs2[count], gc2[count] = v, s, c, s2, c2
                sv += v
                ss += s
                sc += c
                ss2 += s2
                sc2 += c2
                count += 1
            n = float(count)
            out[4, r] = n
            if n < min_gates or n < 3.0:
                continue
            mv, ms, mc, ms2, mc2 = sv / n, ss / n, sc / n, ss2 / n, sc2 / n
            A[:] = 0.0
            y[:] = 0.0
            for j in range(count):
                d[0] = gs[j] - ms
                d[1] = gc[j] - mc
                d[2] = gs2[j] - ms2
                d[3] = gc2[j] - mc2
                dv = gv[j] - mv
                for k in range(4):
                    for m in range(k, 4):
                        A[k, m] += d[k] * d[m]
                    y[k] += d[k] * dv
            for k in range(1, 4):
                for m in range(k):
                    A[k, m] = A[m, k]
            Sss, Scc, Ssc, Ssv, Scv = A[0, 0], A[1, 1], A[0, 1], y[0], y[1]
            D = Sss * Scc - Ssc * Ssc
            if not (D / (n * n) >= min_spread):
                continue
            a = (Scc * Ssv - Ssc * Scv) / D
            b = (Sss * Scv - Ssc * Ssv) / D
            a0 = mv - ms * a - mc * b
            ssr = 0.0
            for j in range(count):
                res = gv[j] - a0 - a * gs[j] - b * gc[j]
                ssr += res * res
            out[0, r] = a / cos_el[r]
            out[1, r] = b / cos_el[r]
            out[2, r] = a0
            out[3, r] = math.sqrt(ssr / n)
            if _solve_second_order(A, y, n, min_spread, x):
                out[5, r] = mv - x[0] * ms - x[1] * mc - x[2] * ms2 - x[3] * mc2
                out[6, r] = x[2]
                out[7, r] = x[3]
    return out


# ---------------------------------------------------------------------------------------
# gradient


@njit(inline="always")
def _slope(has_prev, has_next, prev, v, nxt, cp, c, cn):
    fv = np.isfinite(v)
    up = has_prev and fv and np.isfinite(prev)
    un = has_next and fv and np.isfinite(nxt)
    hi = nxt if un else v
    lo = prev if up else v
    c_hi = cn if un else c
    c_lo = cp if up else c
    return (hi - lo) / (c_hi - c_lo)


@njit(parallel=True)
def gradient(f, x, y):
    B, Y, X = f.shape
    out = np.empty((2, B, Y, X))
    for t in prange(B * Y):
        b, j = t // Y, t % Y
        row = f[b, j]
        dx = out[0, b, j]
        dy = out[1, b, j]
        if X == 1:
            dx[0] = NAN
        elif X > 1:
            dx[0] = _slope(False, True, 0.0, row[0], row[1], 0.0, x[0], x[1])
            for i in range(1, X - 1):
                dx[i] = _slope(True, True, row[i - 1], row[i], row[i + 1], x[i - 1], x[i], x[i + 1])
            dx[X - 1] = _slope(True, False, row[X - 2], row[X - 1], 0.0, x[X - 2], x[X - 1], 0.0)
        has_prev, has_next = j > 0, j + 1 < Y
        prev = f[b, j - 1] if has_prev else row
        nxt = f[b, j + 1] if has_next else row
        cp = y[j - 1] if has_prev else 0.0
        cn = y[j + 1] if has_next else 0.0
        c = y[j]
        for i in range(X):
            dy[i] = _slope(has_prev, has_next, prev[i], row[i], nxt[i], cp, c, cn)
    return out


# ---------------------------------------------------------------------------------------
# profile


@njit(inline="always")
def _valid3(z, u, v, i):
    return np.isfinite(z[i]) and np.isfinite(u[i]) and np.isfinite(v[i])


@njit
def _wind_at(z, u, v, target):
    """(ok, u, v) of the wind at `target`, scanning the valid levels in index order."""
    below = -1
    for i in range(z.shape[0]):
        if not _valid3(z, u, v, i):
            continue
        zi = z[i]
        if zi == target:
            return True, u[i], v[i]
        if zi > target:
            if below >= 0:
                zl, ul, vl = z[below], u[below], v[below]
                w = (target - zl) / (zi - zl)
                return True, (u[i] - ul) * w + ul, (v[i] - vl) * w + vl
            if zi - target <= 1e-6:
                return True, u[i], v[i]
            return False, NAN, NAN
        below = i
    if below >= 0 and target - z[below] <= 1e-6:
        return True, u[below], v[below]
    return False, NAN, NAN


@njit(parallel=True)
def profile(z, u, v, ground, bottom, top, cu, cv):
    """One pass per column: both layer limits and the integration from the same scan."""
    n, L = u.shape
    z = z.reshape(n, L)
    v = v.reshape(n, L)
    out = np.full((7, n), NAN)
    for r in prange(n):
        if L == 0:
            continue
        zr, ur, vr = z[r], u[r], v[r]
        ref = ground[r]
        if not np.isfinite(ref):
            i = 0
            while i < L and not _valid3(zr, ur, vr, i):
                i += 1
            if i == L:
                continue
            ref = zr[i]
        zb, zt = bottom + ref, top + ref
        c_u, c_v = cu[r], cv[r]
        # state of the bottom search, the top search and the integration
        b_below, b_done, b_ok, ub, vb = -1, False, False, NAN, NAN
        t_below, t_done, t_ok, ut, vt = -1, False, False, NAN, NAN
        zp, up, vp = zb, NAN, NAN
        su = sv = h = 0.0
        inside = True
        failed = False
        for i in range(L):
            if not _valid3(zr, ur, vr, i):
                continue
            zi, ui, vi = zr[i], ur[i], vr[i]
            if not b_done:
                if zi == zb:
                    b_done, b_ok, ub, vb = True, True, ui, vi
                elif zi > zb:
                    b_done = True
                    if b_below >= 0:
                        zl, ul, vl = zr[b_below], ur[b_below], vr[b_below]
                        w = (zb - zl) / (zi - zl)
                        b_ok, ub, vb = True, (ui - ul) * w + ul, (vi - vl) * w + vl
                    elif zi - zb <= 1e-6:
                        b_ok, ub, vb = True, ui, vi
                else:
                    b_below = i
                if b_done:
                    if not b_ok:
                        failed = True
                        break
                    up, vp = ub, vb
            if not t_done:
                if zi == zt:
                    t_done, t_ok, ut, vt = True, True, ui, vi
                elif zi > zt:
                    t_done = True
                    if t_below >= 0:
                        zl, ul, vl = zr[t_below], ur[t_below], vr[t_below]
                        w = (zt - zl) / (zi - zl)
                        t_ok, ut, vt = True, (ui - ul) * w + ul, (vi - vl) * w + vl
                    elif zi - zt <= 1e-6:
                        t_ok, ut, vt = True, ui, vi
                    if not t_ok:
                        failed = True
                        break
                else:
                    t_below = i
            if inside and not (zi <= zb):
                if zi >= zt:
                    inside = False
                else:
                    h = (vp - c_v) * (ui - c_u) - (up - c_u) * (vi - c_v) + h
                    su = (up + ui) * 0.5 * (zi - zp) + su
                    sv = (vp + vi) * 0.5 * (zi - zp) + sv
                    zp, up, vp = zi, ui, vi
            if b_done and t_done and not inside:
                break
        if failed:
            continue
        if not b_done:
            if b_below >= 0 and zb - zr[b_below] <= 1e-6:
                ub, vb = ur[b_below], vr[b_below]
                up, vp = ub, vb
            else:
                continue
        if not t_done:
            if t_below >= 0 and zt - zr[t_below] <= 1e-6:
                ut, vt = ur[t_below], vr[t_below]
            else:
                continue
        out[0, r], out[1, r], out[2, r], out[3, r] = ub, vb, ut, vt
        if np.isfinite(c_u) and np.isfinite(c_v):
            out[4, r] = (ut - c_u) * (vp - c_v) - (vt - c_v) * (up - c_u) + h
        if zt > zb:
            out[5, r] = ((up + ut) * 0.5 * (zt - zp) + su) / (zt - zb)
            out[6, r] = ((vp + vt) * 0.5 * (zt - zp) + sv) / (zt - zb)
        else:
            out[5, r] = ub
            out[6, r] = vb
    return out


# ---------------------------------------------------------------------------------------
# cold_pool


@njit(inline="always")
def _intensity(s):
    twice = s + s
    return math.sqrt(0.0 if twice < 0.0 else twice)


@njit(parallel=True)
def cold_pool(z, b, bottom, threshold, top):
    n, levels = z.shape
    out = np.full((3, n), NAN)
    for r in prange(n):
        zr, br = z[r], b[r]
        bot = bottom[r]
        from_bottom = np.isfinite(bot)
        s = 0
        while s < levels and not (
            np.isfinite(zr[s]) and np.isfinite(br[s]) and (not from_bottom or zr[s] >= bot)
        ):
            s += 1
        if s == levels:
            continue
        z0, b0 = zr[s], br[s]
        zp, bp, total = z0, b0, 0.0
        tp = top[r]
        if np.isfinite(tp):
            zt = tp + z0
            for i in range(s + 1, levels):
                zi, bi = zr[i], br[i]
                if not (np.isfinite(zi) and np.isfinite(bi)):
                    continue
                if zi >= zt:
                    bt = (bi - bp) * (zt - zp) / (zi - zp) + bp
                    total = ((-bp - bt) * 0.5) * (zt - zp) + total
                    out[0, r] = _intensity(total)
                    out[1, r] = tp
                    out[2, r] = 0.0
                    break
                total += (zi - zp) * ((-bp - bi) * 0.5)
                zp, bp = zi, bi
            continue
        t = threshold
        if b0 >= t:
            out[0, r] = out[1, r] = out[2, r] = 0.0
            continue
        crossed = False
        for i in range(s + 1, levels):
            zi, bi = zr[i], br[i]
            if not (np.isfinite(zi) and np.isfinite(bi)):
                continue
            if bi >= t:
                zc = (t - bp) * (zi - zp) / (bi - bp) + zp
                total = ((-bp - t) * 0.5) * (zc - zp) + total
                out[0, r] = _intensity(total)
                out[1, r] = zc - z0
                out[2, r] = 0.0
                crossed = True
                break
            total += ((-bp - bi) * 0.5) * (zi - zp)
            zp, bp = zi, bi
        if not crossed:
            out[0, r] = _intensity(total)
            out[1, r] = zp - z0
            out[2, r] = 1.0
    return out


# ---------------------------------------------------------------------------------------
# thermo

KAPPA = 0.28542059262205427
EPSILON = 0.6219569156569429


@njit(parallel=True)
def thermo(t, p, td):
    t, p, td = t.ravel(), p.ravel(), td.ravel()
    n = t.shape[0]
    out = np.empty((4, n))
    for k in prange(n):
        T, P_, Td = t[k], p[k], td[k]
        Tdc = NAN if np.isnan(Td) else (Td if Td < T else T)
        x = 100000.0 / P_
        theta = T * x**KAPPA
        c = Tdc - 273.15
        e = math.exp(17.67 * c / (c + 243.5)) * 611.2
        r = (EPSILON * e) / (P_ - e)
        L = math.log(T / Tdc)
        rg = 1000.0 * r
        Pw = x ** ((1 - 0.00028 * rg) * 0.2854)
        TL = 1 / (L / 800.0 + 1 / (Tdc - 56.0)) + 56.0
        M = math.exp((3.376 / TL - 0.00254) * rg * (rg * 0.00081 + 1))
        out[0, k] = r
        out[1, k] = theta
        out[2, k] = (1 + r / EPSILON) * theta / (r + 1)
        out[3, k] = (T * Pw) * M
    return out


# ---------------------------------------------------------------------------------------
# perturb: Philox4x64-10 in 64-bit words (the high half of each product from 32-bit parts)

M0 = np.uint64(0xD2E7470EE14C6C93)
M1 = np.uint64(0xCA5A826395121157)
W0 = np.uint64(0x9E3779B97F4A7C15)
W1 = np.uint64(0xBB67AE8584CAA73B)
LOW32 = np.uint64(0xFFFFFFFF)
S32 = np.uint64(32)
S11 = np.uint64(11)
ONE = np.uint64(1)


@njit(inline="always")
def _mulhilo(a, b):
    a_lo, a_hi = a & LOW32, a >> S32
    b_lo, b_hi = b & LOW32, b >> S32
    ll = a_lo * b_lo
    lh = a_lo * b_hi
    hl = a_hi * b_lo
    hh = a_hi * b_hi
    mid = (ll >> S32) + (lh & LOW32) + (hl & LOW32)
    hi = hh + (lh >> S32) + (hl >> S32) + (mid >> S32)
    return hi, a * b


@njit(inline="always")
def _philox(c0, c1, c2, c3, k0, k1):
    for _ in range(10):
        hi0, lo0 = _mulhilo(M0, c0)
        hi1, lo1 = _mulhilo(M1, c2)
        c0, c1, c2, c3 = hi1 ^ c1 ^ k0, lo1, hi0 ^ c3 ^ k1, lo0
        k0 = k0 + W0
        k1 = k1 + W1
    return c0, c1, c2, c3


@njit(inline="always")
def _pair(a, b):
    r = math.sqrt(math.log(float((a >> S11) + ONE) * 2.0**-53) * -2.0)
    theta = float(b >> S11) * 2.0**-53 * 6.283185307179586
    return r * math.cos(theta), r * math.sin(theta)


@njit(inline="always")
def _cos_dev(a, b):
    r = math.sqrt(math.log(float((a >> S11) + ONE) * 2.0**-53) * -2.0)
    return r * math.cos(float(b >> S11) * 2.0**-53 * 6.283185307179586)


@njit(parallel=True)
def perturb(dbz, zdr, phidp, rhohv, vel, fac, bias_dbz, bias_zdr, k0, k1, m0):
    """All five fields (flags 31)."""
    K = 4.342944819032518
    n = fac.shape[1]
    M = bias_dbz.shape[0]
    out = np.empty((M, 5, n))
    key0, key1 = uint64(k0), uint64(k1)
    zero = uint64(0)
    for g in prange(n):
        pos = uint64(g) + ONE
        for j in range(M):
            member = uint64(m0 + j)
            x0, x1, x2, x3 = _philox(pos, member, zero, zero, key0, key1)
            a, a_s = _pair(x0, x1)
            b, b_s = _pair(x2, x3)
            y0, y1, _, _ = _philox(pos, member, ONE, zero, key0, key1)
            c = _cos_dev(y0, y1)
            e_h = a * fac[0, g]
            out[j, 0, g] = (bias_dbz[j] + dbz[g]) + K * e_h
            out[j, 1, g] = K * (e_h - (a_s * fac[2, g] + fac[1, g] * a)) + (bias_zdr[j] + zdr[g])
            out[j, 2, g] = b * fac[3, g] + phidp[g]
            w = b_s * fac[4, g] + rhohv[g]
            out[j, 3, g] = 0.0 if w < 0.0 else (1.0 if w > 1.0 else w)
            out[j, 4, g] = c * fac[5, g] + vel[g]
    return out


# ---------------------------------------------------------------------------------------
# statistics: a chunk of columns is transposed first, so that each column's members are
# read contiguously instead of a whole row apart. mode: counts by member row instead.


@njit(parallel=True)
def statistics(values, pcts, min_valid):
    members, n = values.shape
    P = pcts.shape[0]
    mean = np.empty(n)
    sd = np.empty(n)
    pct = np.empty((P, n))
    chunks = (n + CHUNK - 1) // CHUNK
    for ch in prange(chunks):
        j0 = ch * CHUNK
        w = min(CHUNK, n - j0)
        block = np.empty((w, members), np.float32)
        for i in range(members):
            for q in range(w):
                block[q, i] = values[i, j0 + q]
        kept = np.empty(members, np.float32)
        for q in range(w):
            j = j0 + q
            c = 0
            for i in range(members):
                x = block[q, i]
                if np.isfinite(x):
                    kept[c] = x
                    c += 1
            if c == 0 or c < min_valid:
                mean[j] = sd[j] = NAN
                for k in range(P):
                    pct[k, j] = NAN
                continue
            s = 0.0
            for i in range(c):
                s += np.float64(kept[i])
            m = s / c
            mean[j] = m
            if c == 1:
                sd[j] = NAN
            else:
                ss = 0.0
                for i in range(c):
                    d = np.float64(kept[i]) - m
                    ss += d * d
                sd[j] = math.sqrt(ss / (c - 1))
            srt = kept[:c]
            srt.sort()  # in place: no array allocated per column
            for k in range(P):
                wk = (pcts[k] / 100.0) * (c - 1)
                i = int(math.floor(wk))
                lo = np.float64(srt[i])
                hi = np.float64(srt[min(i + 1, c - 1)])
                pct[k, j] = (hi - lo) * (wk - i) + lo
    return mean, sd, pct


@njit(parallel=True)
def mode(values, n_codes, min_valid):
    """A count table per chunk of columns, filled member row by member row: each row of
    the chunk is read contiguously, and the increments of one row go to as many columns,
    so none waits for the one before it."""
    members, n = values.shape
    mode_out = np.empty(n)
    frac = np.empty(n)
    limit = float(n_codes)
    chunks = (n + CHUNK - 1) // CHUNK
    for ch in prange(chunks):
        j0 = ch * CHUNK
        w = min(CHUNK, n - j0)
        counts = np.zeros((CHUNK, n_codes), np.int64)
        for i in range(members):
            row = values[i]
            for q in range(w):
                x = row[j0 + q]
                # NaN fails both comparisons; -1 < x truncates to code 0 for negatives
                if x > -1.0 and x < limit:
                    counts[q, int(x)] += 1
        for q in range(w):
            j = j0 + q
            best, top, t = 0, counts[q, 0], counts[q, 0]
            for k in range(1, n_codes):
                c = counts[q, k]
                t += c
                if c > top:
                    best, top = k, c
            if t == 0 or t < min_valid:
                mode_out[j] = frac[j] = NAN
            else:
                mode_out[j] = best
                frac[j] = top / t
    return mode_out, frac


# ---------------------------------------------------------------------------------------
# memory bandwidth: a large copy and a read-only sum (integer adds, so that the sum
# vectorises without reordering a floating-point sum)


@njit(parallel=True)
def copy(src, dst):
    n = src.shape[0]
    chunks = (n + 65535) // 65536
    for ch in prange(chunks):
        a = ch * 65536
        b = min(a + 65536, n)
        dst[a:b] = src[a:b]


@njit(parallel=True)
def read_sum(words):
    n = words.shape[0]
    total = uint64(0)
    for i in prange(n):
        total += words[i]
    return total
