"""Retrieve a wind profile from a synthetic radar scan with the VAD fit."""

import numpy as np

import _kestrum

rng = np.random.default_rng(42)
elevations = np.deg2rad(np.array([0.5, 1.5, 2.4, 3.4, 4.3, 6.0, 9.9, 14.6, 19.5]))
gates_per_ring, azimuths = 200, np.deg2rad(np.arange(360) + 0.5)
ranges = np.linspace(5e3, 60e3, gates_per_ring)

# One row per (elevation, range) ring; its height sets the true wind there.
el = np.repeat(elevations, gates_per_ring)
rng_m = np.tile(ranges, elevations.size)
height = rng_m * np.sin(el)
u_true = 5.0 + 3.0e-3 * height
v_true = -2.0 + 2.0e-3 * height
az = np.broadcast_to(azimuths, (el.size, azimuths.size)).copy()
vr = (u_true[:, None] * np.sin(az) + v_true[:, None] * np.cos(az)) * np.cos(el)[:, None]
vr += rng.normal(0.0, 1.0, vr.shape)
vr[rng.random(vr.shape) < 0.1] = np.nan  # gates lost to clutter filtering

fit = _kestrum.vad(vr, az, np.cos(el), min_gates=30, min_spread=0.1)
u, v, n = fit[0], fit[1], fit[4]

print(f"{vr.size:,} gates in {el.size:,} rings; {np.isfinite(u).sum():,} rings fitted")
print(f"{'height (m)':>10} {'u (m/s)':>8} {'true':>6} {'v (m/s)':>8} {'true':>6} {'gates':>6}")
for i in np.argsort(height)[:: el.size // 12]:
    print(
        f"{height[i]:10.0f} {u[i]:8.2f} {u_true[i]:6.2f} {v[i]:8.2f} {v_true[i]:6.2f} {n[i]:6.0f}"
    )
err = np.hypot(u - u_true, v - v_true)
print(f"vector wind error: mean {np.nanmean(err):.3f} m/s, max {np.nanmax(err):.3f} m/s")
