"""Gate quality control: textures and despeckling against NumPy and SciPy written here,
and the tests of gate_qc gate by gate."""

import warnings

import numpy as np
import pytest
from scipy import ndimage

import kestrum
from kestrum import QCFlag

nan = np.nan


def texture_numpy(field, window, nyquist=None, wrap=True, min_count=3):
    """Rolling standard deviation of one sweep: every shifted copy of the sweep stacked."""
    hr, hg = window[0] // 2, window[1] // 2
    rays, gates = field.shape
    padded = np.pad(field, ((0, 0), (hg, hg)), constant_values=nan)
    shifts = range(rays) if wrap and 2 * hr + 1 >= rays else range(-hr, hr + 1)
    stack = []
    for dr in shifts:
        if wrap:
            rows = np.roll(padded, -dr, axis=0)
        else:
            rows = np.full_like(padded, nan)
            lo, hi = max(0, -dr), min(rays, rays - dr)
            rows[lo:hi] = padded[lo + dr : hi + dr]
        stack += [rows[:, hg + dg : hg + dg + gates] for dg in range(-hg, hg + 1)]
    s = np.stack(stack)
    n = np.isfinite(s).sum(axis=0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # windows without a valid gate
        if nyquist is None:
            out = np.nanstd(s, axis=0)
        else:
            a = s * np.pi / nyquist
            length = np.minimum(np.hypot(np.nanmean(np.cos(a), 0), np.nanmean(np.sin(a), 0)), 1.0)
            out = nyquist / np.pi * np.sqrt(-2 * np.log(length))
    out[(n < min_count) | ~np.isfinite(field)] = nan
    return out


def holes(rng, a, fraction):
    a = np.array(a, dtype=np.float64)
    a[rng.random(a.shape) < fraction] = nan
    return a


def test_docstring_examples_run():
    import doctest

    import kestrum.qc

    result = doctest.testmod(kestrum.qc, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0


class TestTexture:
    @pytest.mark.parametrize("window", [(3, 7), (5, 3), (1, 1)])
    @pytest.mark.parametrize("wrap", [True, False])
    @pytest.mark.parametrize("circular", [False, True])
    def test_equals_numpy_on_a_volume_of_unequal_sweeps(self, window, wrap, circular):
        # Sweeps of 40, 3 and 1 rays (narrower than the window: the wrap must not count a
        # ray twice), cut from one (rays, gates) array as Py-ART holds a volume.
        rng = np.random.default_rng(7)
        sizes, nyq = [40, 3, 1], [8.0, 30.0, 12.0]
        sweeps = [holes(rng, 45 + 8 * rng.standard_normal((r, 23)), 0.25) for r in sizes]
        rays_nyq = np.repeat(nyq, sizes)
        got = kestrum.texture(
            np.vstack(sweeps),
            window=window,
            wrap=wrap,
            sweeps=[0, 40, 43],
            nyquist=rays_nyq if circular else None,
            min_count=2,
        )
        want = np.vstack(
            [
                texture_numpy(s, window, n if circular else None, wrap, 2)
                for s, n in zip(sweeps, nyq)
            ]
        )
        np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
        np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-7)

    def test_stacked_sweeps_and_masked_float32(self):
        rng = np.random.default_rng(3)
        field = holes(rng, rng.normal(0.9, 0.05, (2, 12, 30)), 0.2)
        # A fill value under the mask, far from the data: it must not be read.
        masked = np.ma.MaskedArray(np.nan_to_num(field, nan=-999.0), np.isnan(field))
        got = kestrum.texture(masked.astype(np.float32))
        want = np.stack([texture_numpy(s.astype(np.float32).astype(float), (3, 7)) for s in field])
        assert isinstance(got, np.ma.MaskedArray) and got.dtype == np.float32
        np.testing.assert_array_equal(got.mask, np.isnan(want))
        np.testing.assert_allclose(got.filled(nan), want, rtol=1e-5, atol=1e-6)
        xr = pytest.importorskip("xarray")
        da = kestrum.texture(xr.DataArray(field, dims=("sweep", "azimuth", "range")))
        assert da.dims == ("sweep", "azimuth", "range")
        np.testing.assert_array_equal(da.values, kestrum.texture(field))

    def test_circular_texture_of_a_smooth_folded_field_is_small(self):
        # A smooth wind of +-25 m/s seen with a nyquist of 10 m/s folds twice per ray.
        az = np.deg2rad(np.arange(360.0))[:, None]
        true = 25 * np.sin(az) * np.linspace(0.2, 1, 100)
        folded = (true + 10) % 20 - 10
        linear = kestrum.texture(folded)
        circular = kestrum.texture(folded, nyquist=10.0)
        near_folds = linear > 5
        assert near_folds.sum() > 500
        assert circular.max() < 0.5 and np.all(circular[near_folds] < 0.1 * linear[near_folds])
        # Away from the folds, as smooth as the unfolded field (to the circle's curvature).
        np.testing.assert_allclose(circular, kestrum.texture(true), rtol=1e-3)

    def test_arguments_are_checked(self):
        with pytest.raises(ValueError, match="window"):
            kestrum.texture(np.zeros((4, 4)), window=(2, 3))
        with pytest.raises(ValueError, match="nyquist"):
            kestrum.texture(np.zeros((4, 4)), nyquist=0.0)
        with pytest.raises(ValueError, match="sweeps"):
            kestrum.texture(np.zeros((4, 4)), sweeps=[1, 3])


def despeckle_scipy(valid, min_size, connectivity, wrap):
    labels, _ = ndimage.label(
        valid, ndimage.generate_binary_structure(2, 1 if connectivity == 4 else 2)
    )
    parent = list(range(labels.max() + 1))

    def root(i):
        while parent[i] != i:
            i = parent[i]
        return i

    if wrap and len(valid) > 2:
        reach = (0,) if connectivity == 4 else (-1, 0, 1)
        last, first = labels[-1], labels[0]
        for g in range(valid.shape[1]):
            for d in reach:
                if 0 <= g + d < valid.shape[1] and last[g] and first[g + d]:
                    parent[root(last[g])] = root(first[g + d])
    roots = np.array([root(i) for i in range(len(parent))])[labels]
    size = np.bincount(roots.ravel(), minlength=len(parent))
    return valid & (size[roots] >= min_size)


def test_native_texture_never_rounds_float64_to_float32():
    # Two native forms; a field that needs no conversion picks its own, and any other
    # argument list must fall to the float64 one, not round the field to float32.
    from kestrum import _radar

    f = np.random.default_rng(0).normal(size=(8, 20)) * (1 + 1e-9)
    no_mask, linear = np.empty(0, np.uint8), np.empty(0)
    want = texture_numpy(f, (3, 3), min_count=2)
    for field, bounds, dtype, rtol in (
        (f, [0, 8], np.float64, 1e-12),
        (f.astype(np.float32), np.array([0, 8]), np.float32, 1e-5),
    ):
        out = _radar.texture(field, no_mask, bounds, linear, 1, 1, True, 2)
        assert out.dtype == dtype and np.allclose(out, want, rtol=rtol)


class TestDespeckle:
    @pytest.mark.parametrize("connectivity", [4, 8])
    @pytest.mark.parametrize("wrap", [True, False])
    def test_equals_scipy_label_with_the_wrap_joined(self, connectivity, wrap):
        rng = np.random.default_rng(connectivity)
        for density in (0.3, 0.5, 0.6):
            sweeps = [rng.random((r, 50)) < density for r in (60, 2, 1, 17)]
            got = kestrum.despeckle(
                np.vstack(sweeps),
                min_size=6,
                connectivity=connectivity,
                wrap=wrap,
                sweeps=[0, 60, 62, 63],
            )
            want = np.vstack([despeckle_scipy(s, 6, connectivity, wrap) for s in sweeps])
            np.testing.assert_array_equal(got, want)

    def test_a_field_gives_its_valid_gates(self):
        field = np.ma.masked_invalid([[1.0, nan, 2.0, 3.0], [4.0, 5.0, nan, nan]])
        np.testing.assert_array_equal(
            kestrum.despeckle(field, min_size=2),
            [[True, False, True, True], [True, True, False, False]],
        )


def beam_height(r, el):
    ka = 4 / 3 * 6371000.0
    return np.sqrt(r**2 + ka**2 + 2 * r * ka * np.sin(np.deg2rad(el))) - ka


class TestGateQC:
    rng = np.random.default_rng(20)
    shape = (2, 36, 40)

    def fields(self):
        rng, s = self.rng, self.shape
        return dict(
            reflectivity=holes(rng, rng.uniform(0, 30, s), 0.1),
            rhohv=holes(rng, rng.uniform(0.5, 1.0, s), 0.1),
            zdr=holes(rng, rng.uniform(-1, 4, s), 0.1),
            spectrum_width=holes(rng, rng.uniform(0, 8, s), 0.1),
            phidp=holes(rng, rng.uniform(0, 90, s), 0.1),
        )

    def test_presets_reproduce_their_documented_thresholds(self):
        f = self.fields()
        f["reflectivity"][0, 0, :4] = [10.0, np.nextafter(10.0, 0), nan, nan]
        for name in f:
            f[name][1, 1, 1] = nan  # a gate without any data
        dbz, rho, zdr, sw, phi = f.values()
        with np.errstate(invalid="ignore"):
            minimal = np.where(dbz < 10, 2, 0)
            simple = (
                minimal
                | np.where(sw > 5, 16, 0)
                | np.where(rho < 0.9, 4, 0)
                | np.where(zdr > 2, 8, 0)
            )
            tex = lambda a: np.nan_to_num(texture_numpy(a, (1, 7)), nan=-1.0)  # noqa: E731
            textured = (
                np.where(rho < 0.6, 4, 0)
                | np.stack([np.where(tex(p) > 20, 512, 0) for p in phi])
                | np.stack([np.where(tex(p) > 0.3, 256, 0) for p in rho])
                | np.stack([np.where(tex(p) > 2.85, 128, 0) for p in zdr])
                | np.stack([np.where(tex(p) > 8, 64, 0) for p in dbz])
            )
        for preset, want in (("minimal", minimal), ("simple", simple), ("texture", textured)):
            want = want.copy()
            want[1, 1, 1] = QCFlag.MISSING
            qc = kestrum.gate_qc(**f, preset=preset)
            np.testing.assert_array_equal(qc.flags, want, err_msg=preset)
            np.testing.assert_array_equal(qc.keep, want == 0)
            # Masked fields with a fill value that fails every test under the mask.
            masked = {
                k: np.ma.MaskedArray(np.nan_to_num(v, nan=-999.0), np.isnan(v))
                for k, v in f.items()
            }
            np.testing.assert_array_equal(kestrum.gate_qc(**masked, preset=preset).flags, want)
        # A preset's test turned off, one added.
        qc = kestrum.gate_qc(**f, preset="simple", min_rhohv=nan, max_reflectivity=25)
        with np.errstate(invalid="ignore"):
            want = (simple & ~4) | np.where(dbz > 25, 2, 0)
        want[1, 1, 1] = 1
        np.testing.assert_array_equal(qc.flags, want)

    def test_bit_codes_name_every_failed_test(self):
        # Every test at once on one volume: clutter, the VAD leash, an SNR from
        # reflectivity, textures and speckle, each gate's code checked.
        rng, shape = self.rng, self.shape
        f = self.fields()
        rays, gates = shape[1:]
        r = 2000.0 + 250.0 * np.arange(gates)
        el = np.array([[0.5], [-0.3]])
        az = np.linspace(0, 360, rays, endpoint=False)
        u, v = 12.0, -5.0
        fit = (u * np.sin(np.deg2rad(az))[:, None] + v * np.cos(np.deg2rad(az))[:, None]) * np.cos(
            np.deg2rad(el)
        )[..., None]
        vr = holes(rng, fit + rng.normal(0, 3, shape), 0.1)
        vr[:, :, :4] = rng.normal(0, 1, (2, rays, 4))  # slow gates near the radar
        none = np.full(50, nan)
        profile = kestrum.VADProfile(
            np.full(50, u),
            np.full(50, v),
            *[none] * 7,
            height=np.linspace(0, 9000, 50),
            distance=none,
        )
        qc = kestrum.gate_qc(
            **f,
            velocity=vr,
            min_reflectivity=10,
            max_zdr=2,
            min_snr=15,
            noise_reflectivity=-20,
            max_texture_velocity=4,
            nyquist=30.0,
            range=r,
            elevation=el,
            azimuth=az,
            altitude=300.0,
            clutter_velocity=1.0,
            clutter_height=100.0,
            vad=profile,
            min_size=5,
        )
        dbz, rho, zdr = f["reflectivity"], f["rhohv"], f["zdr"]
        height = beam_height(r, el[..., None])
        with np.errstate(invalid="ignore"):
            want = (
                np.where(dbz < 10, 2, 0)
                | np.where(zdr > 2, 8, 0)
                | np.where(dbz + 20 - 20 * np.log10(r / 1000) < 15, 32, 0)
                | np.stack(
                    [
                        np.where(np.nan_to_num(texture_numpy(p, (3, 7), 30.0), nan=0) > 4, 1024, 0)
                        for p in vr
                    ]
                )
                | np.where((np.abs(vr) < 1) & (height < 100), 2048, 0)
                | np.where(np.abs(vr - fit) > max(0.3 * np.hypot(u, v), 1.0), 4096, 0)
            )
        missing = (
            np.isnan(dbz)
            & np.isnan(rho)
            & np.isnan(zdr)
            & np.isnan(vr)
            & np.isnan(f["phidp"])
            & np.isnan(f["spectrum_width"])
        )
        want[missing] |= 1
        passed = want == 0
        want[passed & ~np.stack([despeckle_scipy(p, 5, 4, True) for p in passed])] |= 8192
        for bit in (2, 8, 32, 1024, 2048, 4096, 8192):
            assert np.count_nonzero(want & bit) > 5, bit
        np.testing.assert_array_equal(qc.flags, want)
        assert qc.counts()["CLUTTER"] == np.count_nonzero(want & 2048)

    def test_gatefilter_and_xarray_round_trips_keep_every_gate(self):
        pyart = pytest.importorskip("pyart")
        radar = pyart.testing.make_empty_ppi_radar(40, 36, 2)
        radar.add_field(
            "reflectivity",
            {"data": np.ma.masked_invalid(self.fields()["reflectivity"].reshape(72, 40))},
        )
        gf = pyart.filters.GateFilter(radar)
        gf.exclude_below("reflectivity", 12.0)
        qc = kestrum.GateQC.from_gatefilter(gf)
        back = qc.to_gatefilter(radar)
        np.testing.assert_array_equal(back.gate_excluded, gf.gate_excluded)
        ours = kestrum.gate_qc(
            reflectivity=radar.fields["reflectivity"]["data"],
            min_reflectivity=12.0,
            exclude=gf,
            sweeps=radar.sweep_start_ray_index["data"],
        )
        np.testing.assert_array_equal(ours.to_gatefilter(radar).gate_excluded, gf.gate_excluded)
        pytest.importorskip("xarray")
        again = kestrum.GateQC.from_xarray(ours.to_xarray())
        np.testing.assert_array_equal(again.flags, ours.flags)
        np.testing.assert_array_equal(again.keep, ours.keep)
