"""_kestrum cases and their NumPy peers."""

from __future__ import annotations

import numpy as np

import _kestrum
from common import Case


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
    ok = (n >= max(min_gates, 3)) & (np.linalg.det(XtX[:, 1:3, 1:3] / n[:, None, None]) >= min_spread)
    first = np.linalg.solve(XtX[ok][:, :3, :3], Xty[ok][:, :3, None])[..., 0]
    resid = v[ok] - np.einsum("rgk,rk->rg", X[ok][:, :, :3], first)
    out[0, ok] = first[:, 1] / cos_el[ok]
    out[1, ok] = first[:, 2] / cos_el[ok]
    out[2, ok] = first[:, 0]
    out[3, ok] = np.sqrt((resid**2 * w[ok]).sum(axis=1) / n[ok])
    second = np.linalg.solve(XtX[ok], Xty[ok][..., None])[..., 0]
    out[5, ok], out[6, ok], out[7, ok] = second[:, 0], second[:, 3], second[:, 4]
    return out


def vad_case():
    rng = np.random.default_rng(1)
    rows, gates = 14 * 1000, 360
    az = np.broadcast_to(np.deg2rad(np.arange(gates) + 0.5), (rows, gates)).copy()
    cos_el = np.cos(np.deg2rad(np.repeat(np.linspace(0.5, 19.5, 14), 1000)))
    u, v = rng.normal(10, 5, rows), rng.normal(0, 5, rows)
    vr = (u[:, None] * np.sin(az) + v[:, None] * np.cos(az)) * cos_el[:, None]
    vr += rng.normal(0, 1.5, vr.shape)
    vr[rng.random(vr.shape) < 0.05] = np.nan
    return (
        lambda t: _kestrum.vad(vr, az, cos_el, 10, 0.05, n_threads=t),
        lambda: vad_numpy(vr, az, cos_el, 10, 0.05),
    )


CASES = [
    Case("vad", "14,000 rows x 360 gates", vad_case),
]
