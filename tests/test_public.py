"""kestrum: the public API over the native modules.

Every wrapper is checked against its native function called on input prepared by hand
(layout, units, NaN for missing data), bit for bit.
"""

import doctest
import importlib.metadata
import inspect
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _ensemble
import _kestrum
import kestrum
import kestrum.ensemble
import kestrum.fields
import kestrum.radar

nan = np.nan
ROOT = Path(__file__).resolve().parent.parent


def same(a, b):
    """Bit-identical, NaNs included."""
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def masked_scan(rays=360, gates=40, seed=3, fill=-9999.0):
    """A sweep as Py-ART holds it: (rays, gates) masked velocity with fill values under the mask."""
    rng = np.random.default_rng(seed)
    az = (np.arange(rays) + 0.5) * 360.0 / rays
    a = np.deg2rad(az)[:, None]
    u, v = np.linspace(2, 20, gates), np.linspace(-5, 5, gates)
    vr = (u * np.sin(a) + v * np.cos(a)) * np.cos(np.deg2rad(1.5)) + rng.normal(0, 1, (rays, gates))
    mask = rng.random(vr.shape) < 0.2
    return np.ma.masked_array(np.where(mask, fill, vr), mask=mask), az, u, v


class TestPackage:
    def test_version_comes_from_the_package_metadata(self):
        assert kestrum.__version__ == importlib.metadata.version("kestrum")

    def test_main_reports_version_modules_threads_and_extras(self):
        out = subprocess.run(
            [sys.executable, "-m", "kestrum"],
            capture_output=True,
            text=True,
            check=True,
            timeout=120,
        ).stdout
        assert out.startswith(f"kestrum {kestrum.__version__}\n")
        assert f"_kestrum: {_kestrum.__file__}" in out and f"_ensemble: {_ensemble.__file__}" in out
        assert "hardware threads: " in out
        for name in ("xarray", "dask", "pint", "pyart", "xradar", "tqdm"):
            assert f"  {name}: " in out

    @pytest.mark.parametrize("module", [kestrum.radar, kestrum.fields, kestrum.ensemble])
    def test_examples_in_the_docstrings_run(self, module):
        result = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
        assert result.attempted > 0 and result.failed == 0

    @pytest.mark.parametrize(
        "name", [n for n in kestrum.__all__ if n[0].islower() and n != "__version__"]
    )
    def test_every_function_documents_its_sections(self, name):
        # Python 3.13 strips the indentation from docstrings when it compiles them.
        doc = inspect.cleandoc(getattr(kestrum, name).__doc__)
        for section in ("Parameters", "Returns", "Raises", "Notes", "Examples"):
            assert f"\n{section}\n{'-' * len(section)}\n" in doc, section

    def test_typed_user_script_passes_mypy_strict(self):
        pytest.importorskip("mypy")
        done = subprocess.run(
            [
                sys.executable,
                "-m",
                "mypy",
                "--strict",
                "--cache-dir=/dev/null",
                "src/kestrum",
                "tests/typed_user.py",
            ],
            capture_output=True,
            text=True,
            timeout=600,
            cwd=ROOT,
        )
        assert done.returncode == 0, done.stdout + done.stderr


class TestUnits:
    pint = pytest.importorskip("pint")

    def test_celsius_and_hectopascal_are_converted(self):
        ureg = self.pint.get_application_registry()
        t = ureg.Quantity(np.array([25.0, 10.0]), "degC")
        out = kestrum.thermo(
            t, ureg.Quantity(850.0, "hPa"), ureg.Quantity(np.array([12.0, 5.0]), "degC")
        )
        expected = _kestrum.thermo(
            t.to("K").magnitude,
            np.full(2, 85000.0),
            ureg.Quantity(np.array([12.0, 5.0]), "degC").to("K").magnitude,
        )
        assert same(np.stack(out), expected)
        assert 0 < out.mixing_ratio.min() < 0.02

    def test_metpy_units_are_pint_units(self):
        units = pytest.importorskip("metpy.units").units
        out = kestrum.thermo(20 * units.degC, 1000 * units.hPa, 10 * units.degC)
        assert same(np.stack(out).ravel(), _kestrum.thermo(293.15, 100000.0, 283.15).ravel())

    def test_wrong_dimensionality_names_the_argument(self):
        ureg = self.pint.get_application_registry()
        with pytest.raises(
            ValueError, match=r"^thermo: p is in m, which cannot be converted to Pa"
        ):
            kestrum.thermo(300.0, ureg.Quantity(5.0, "m"), 290.0)
        with pytest.raises(ValueError, match="vad: velocity"):
            kestrum.vad(ureg.Quantity(np.ones((4, 2)), "K"), np.arange(4.0), 0.5)

    def test_velocity_in_knots_and_azimuth_in_radians(self):
        ureg = self.pint.get_application_registry()
        vr, az, *_ = masked_scan()
        vr = vr.filled(nan)
        fit = kestrum.vad(
            ureg.Quantity(vr, "m/s").to("knot"), ureg.Quantity(np.deg2rad(az), "rad"), 1.5
        )
        ref = kestrum.vad(vr, az, 1.5)
        np.testing.assert_allclose(fit.u, ref.u, rtol=1e-12)

    @pytest.mark.parametrize("units", ["1", "", "degrees_north", "degrees clockwise"])
    def test_units_attribute_that_says_nothing_is_left_alone(self, units):
        xr = pytest.importorskip("xarray")
        az = xr.DataArray(np.arange(360.0), dims="azimuth", attrs={"units": units})
        vr = xr.DataArray(
            np.sin(np.deg2rad(az.values))[:, None] * np.ones(3), dims=("azimuth", "range")
        )
        assert same(kestrum.vad(vr, az, 0.0).u.values, kestrum.vad(vr.values, az.values, 0.0).u)

    def test_units_attribute_of_a_dataarray(self):
        xr = pytest.importorskip("xarray")
        t = xr.DataArray([20.0, 30.0], dims="x", attrs={"units": "degC"})
        p = xr.DataArray([1000.0, 900.0], dims="x", attrs={"units": "hPa"})
        out = kestrum.thermo(t, p, 283.15)
        np.testing.assert_array_equal(
            out.theta.values,
            _kestrum.thermo([293.15, 303.15], [100000.0, 90000.0], [283.15] * 2)[1],
        )


class TestMasked:
    """Masked elements are missing: never their fill values."""

    def test_vad_ignores_fill_values(self):
        vr, az, u, v = masked_scan()
        fit = kestrum.vad(vr, az, 1.5)
        ref = _kestrum.vad(
            vr.filled(nan).T,
            np.broadcast_to(np.deg2rad(az), (40, 360)),
            np.full(40, np.cos(np.deg2rad(1.5))),
            30,
            0.05,
        )
        assert same(np.stack(fit), ref)
        np.testing.assert_allclose(fit.u, u, atol=0.5)

    def test_statistics_ignores_fill_values(self):
        values = np.ma.masked_array([[1.0, 2.0], [-9999.0, 4.0]], mask=[[0, 0], [1, 0]])
        out = kestrum.statistics(values, [50.0])
        ref = _ensemble.statistics([[1.0, 2.0], [nan, 4.0]], [50.0], 1)
        assert all(same(a, b.reshape(a.shape)) for a, b in zip(out, ref))

    def test_mode_of_masked_integer_codes(self):
        codes = np.ma.masked_array([[1, 2], [3, 2], [3, 0]], mask=[[0, 0], [1, 0], [1, 1]])
        out = kestrum.mode(codes, 4)
        ref = _ensemble.mode([[1, 2], [-1, 2], [-1, -1]], 4, 1)
        assert same(out.mode, ref[0]) and same(out.fraction, ref[1])

    def test_masked_integers_without_a_missing_code_are_refused(self):
        ints = np.ma.masked_array(np.arange(8).reshape(4, 2), mask=[[0, 1]] + [[0, 0]] * 3)
        with pytest.raises(
            ValueError,
            match=r"^vad: velocity is a masked integer array: fill the masked elements first$",
        ):
            kestrum.vad(ints, np.arange(4.0), 0.5)
        unmasked = np.ma.masked_array(np.arange(8).reshape(4, 2))
        assert same(
            np.stack(kestrum.vad(unmasked, np.arange(4.0) * 90, 0.5, min_gates=3)),
            np.stack(kestrum.vad(unmasked.data, np.arange(4.0) * 90, 0.5, min_gates=3)),
        )

    def test_thermo_masked_dew_point(self):
        td = np.ma.masked_array([280.0, -9999.0], mask=[0, 1])
        out = kestrum.thermo(290.0, 90000.0, td)
        assert np.isnan(out.mixing_ratio[1]) and np.isfinite(out.theta).all()


class TestVad:
    def test_equals_the_native_fit_of_the_transposed_sweep(self):
        rng = np.random.default_rng(0)
        vr = rng.normal(0, 10, (72, 15))
        vr[rng.random(vr.shape) < 0.1] = nan
        az = rng.uniform(0, 360, 72)
        fit = kestrum.vad(vr, az, 2.5, min_gates=5, min_spread=0.01, n_threads=2)
        ref = _kestrum.vad(
            np.ascontiguousarray(vr.T),
            np.broadcast_to(np.deg2rad(az), (15, 72)),
            np.full(15, np.cos(np.deg2rad(2.5))),
            5,
            0.01,
        )
        assert same(np.stack(fit), ref) and fit._fields == (
            "u",
            "v",
            "offset",
            "rms",
            "n",
            "offset2",
            "sin2",
            "cos2",
        )

    def test_radians_option(self):
        vr, az, *_ = masked_scan()
        vr = vr.filled(nan)
        assert same(
            np.stack(kestrum.vad(vr, np.deg2rad(az), np.deg2rad(1.5), radians=True)),
            np.stack(kestrum.vad(vr, az, 1.5)),
        )

    def test_per_ray_elevation_is_averaged_and_a_ray_without_one_is_missing(self):
        vr, az, *_ = masked_scan()
        vr = vr.filled(nan)
        el = np.full(360, 1.5)
        el[::2] = 1.4
        el[7] = nan
        fit = kestrum.vad(vr, az, el)
        a = np.deg2rad(az)
        a[7] = nan
        cos_el = np.cos(np.nanmean(np.deg2rad(el)))
        ref = _kestrum.vad(vr.T, np.broadcast_to(a, (40, 360)), np.full(40, cos_el), 30, 0.05)
        assert same(np.stack(fit), ref) and fit.n.max() < 360

    def test_several_sweeps_at_once(self):
        vr, az, *_ = masked_scan()
        vr = vr.filled(nan)
        both = kestrum.vad(
            np.stack([vr, vr[::-1]]), np.stack([az, az[::-1]]), np.array([[1.5], [2.5]])
        )
        one = kestrum.vad(vr[::-1], az[::-1], 2.5)
        assert both.u.shape == (2, 40) and same(both.u[1], one.u) and same(both.rms[1], one.rms)

    def test_shape_errors_come_before_the_native_call(self):
        with pytest.raises(
            ValueError, match=r"^vad: velocity has shape \(360, 920\) but azimuth has 359 values$"
        ):
            kestrum.vad(np.zeros((360, 920)), np.zeros(359), 0.5)
        with pytest.raises(
            ValueError, match=r"vad: velocity has shape \(360, 920\) but elevation has 920 values"
        ):
            kestrum.vad(np.zeros((360, 920)), np.zeros(360), np.zeros(920))
        with pytest.raises(ValueError, match=r"vad: velocity must be \(rays, gates\)"):
            kestrum.vad(np.zeros(360), np.zeros(360), 0.5)
        with pytest.raises(TypeError, match="min_gates must be an integer"):
            kestrum.vad(np.zeros((4, 3)), np.zeros(4), 0.5, min_gates=3.0)

    def test_dataarray_gives_a_dataset_on_the_range_dimension(self):
        xr = pytest.importorskip("xarray")
        vr, az, *_ = masked_scan()
        rng_m = np.arange(40) * 250.0 + 2000
        da = xr.DataArray(
            vr.filled(nan),
            dims=("azimuth", "range"),
            coords={"azimuth": az, "range": rng_m, "elevation": ("azimuth", np.full(360, 1.5))},
        )
        ds = kestrum.vad(da, da.azimuth, da.elevation)
        assert isinstance(ds, kestrum.VAD) and isinstance(ds.u, xr.DataArray)
        assert set(ds.to_dataset().data_vars) == set(kestrum.VAD._fields)
        assert ds.u.dims == ("range",) and same(ds.u.range.values, rng_m)
        assert same(ds.u.values, kestrum.vad(vr.filled(nan), az, np.full(360, 1.5)).u)

    def test_dask_chunks_along_rays_and_gates(self):
        xr = pytest.importorskip("xarray")
        pytest.importorskip("dask.array")
        vr, az, *_ = masked_scan()
        da = xr.DataArray(vr.filled(nan), dims=("azimuth", "range"), coords={"azimuth": az})
        lazy = kestrum.vad(da.chunk({"azimuth": 100, "range": 15}), da.azimuth, 1.5)
        eager = kestrum.vad(vr, az, 1.5)
        for name in kestrum.VAD._fields:
            assert same(getattr(lazy, name).values, getattr(eager, name))


class TestBeamHeight:
    def test_agrees_with_pyart(self):
        pyart = pytest.importorskip("pyart")
        r = np.linspace(0, 230e3, 50)[:, None]
        el = np.array([0.5, 4.0, 19.5])
        x, y, z = pyart.core.antenna_to_cartesian(r / 1000.0, 30.0, el)
        pos = kestrum.beam_height(r, el, altitude=195.0)
        np.testing.assert_allclose(pos.height, z + 195.0, rtol=1e-12, atol=1e-6)
        np.testing.assert_allclose(pos.distance, np.hypot(x, y), rtol=1e-12, atol=1e-6)

    def test_broadcast_error_names_the_arguments(self):
        with pytest.raises(
            ValueError, match=r"beam_height: range has shape \(3,\), elevation has shape \(2,\)"
        ):
            kestrum.beam_height(np.zeros(3), np.zeros(2))


def synthetic_radar(pyart, rays=360, gates=60, sweeps=2, fill=-9999.0):
    radar = pyart.testing.make_empty_ppi_radar(gates, rays, sweeps)
    radar.range["data"] = 2125.0 + 250.0 * np.arange(gates)
    radar.altitude["data"] = np.array([370.0])
    radar.azimuth["data"] = np.tile((np.arange(rays) + 0.3) * 360.0 / rays, sweeps)
    radar.elevation["data"] = np.repeat(np.array([0.5, 2.4])[:sweeps], rays) + np.tile(
        np.linspace(-0.05, 0.05, rays), sweeps
    )
    height = kestrum.beam_height(
        radar.range["data"], radar.elevation["data"][:, None], 370.0
    ).height
    u, v = 5 + height / 200.0, 10 - height / 300.0
    a = np.deg2rad(radar.azimuth["data"])[:, None]
    vr = (u * np.sin(a) + v * np.cos(a)) * np.cos(np.deg2rad(radar.elevation["data"]))[:, None]
    vr += np.random.default_rng(5).normal(0, 0.5, vr.shape)
    mask = np.random.default_rng(6).random(vr.shape) < 0.15
    radar.add_field(
        "velocity",
        {
            "data": np.ma.masked_array(np.where(mask, fill, vr), mask=mask),
            "units": "meters_per_second",
        },
    )
    return radar


def xradar_sweep(xr, radar, sweep):
    """The same sweep in xradar's layout: (azimuth, range) with NaN for missing gates."""
    rays = radar.get_slice(sweep)
    return xr.Dataset(
        {
            "VRADH": (
                ("azimuth", "range"),
                radar.fields["velocity"]["data"][rays].filled(nan),
                {"units": "m/s"},
            )
        },
        coords={
            "azimuth": ("azimuth", radar.azimuth["data"][rays], {"units": "degrees"}),
            "elevation": ("azimuth", radar.elevation["data"][rays], {"units": "degrees"}),
            "range": ("range", radar.range["data"], {"units": "m"}),
            "altitude": radar.altitude["data"][0],
        },
    )


class TestAdapters:
    def test_pyart_and_xradar_give_the_same_profile(self):
        pyart = pytest.importorskip("pyart")
        xr = pytest.importorskip("xarray")
        radar = synthetic_radar(pyart)
        for sweep in (0, 1):
            prof = kestrum.vad_pyart(radar, "velocity", sweep, min_gates=100)
            ds = kestrum.vad_xradar(xradar_sweep(xr, radar, sweep), "VRADH", min_gates=100)
            for name in kestrum.VAD._fields:
                assert same(getattr(prof, name), getattr(ds, name).values), name
            assert same(prof.height, ds.height.values) and same(prof.distance, ds.distance.values)
            u = 5 + prof.height / 200.0
            np.testing.assert_allclose(prof.u, u, atol=0.3)
            assert prof.height[0] > 370.0 and np.all(np.diff(prof.height) > 0)

    @pytest.mark.filterwarnings("ignore:Py-ART's CfRadial module is deprecated")
    def test_one_file_read_by_pyart_and_by_xradar(self):
        # The CfRadial sweep that ships with Py-ART has only reflectivity: relabelled as a
        # velocity it still checks that both readers' layouts, masks and angles agree.
        pyart = pytest.importorskip("pyart")
        xradar = pytest.importorskip("xradar")
        path = pyart.testing.CFRADIAL_PPI_FILE
        radar = pyart.io.read_cfradial(path)
        tree = (  # xradar 0.13 opens every format through open_datatree
            xradar.open_datatree(path, engine="cfradial1")
            if hasattr(xradar, "open_datatree")
            else xradar.io.open_cfradial1_datatree(path)
        )
        sweep = tree["sweep_0"].to_dataset()
        field = "reflectivity_horizontal"
        with pytest.raises(
            ValueError, match=f"vad_pyart: {field} is in dBZ, which cannot be converted to m/s"
        ):
            kestrum.vad_pyart(radar, field, min_gates=10)
        with pytest.raises(
            ValueError, match=f"vad_xradar: {field} is in dBZ, which cannot be converted to m/s"
        ):
            kestrum.vad_xradar(sweep, field, min_gates=10)
        radar.fields[field]["units"] = "m/s"
        sweep[field].attrs["units"] = "m/s"
        prof = kestrum.vad_pyart(radar, field, min_gates=10, min_spread=0.01)
        ds = kestrum.vad_xradar(
            sweep, field, altitude=tree["altitude"].values, min_gates=10, min_spread=0.01
        )
        assert np.isfinite(prof.u).sum() > 10
        # xradar sorts the rays by azimuth, so the sums run in another order: equal to rounding.
        for name in kestrum.VAD._fields:
            np.testing.assert_allclose(
                getattr(prof, name), getattr(ds, name).values, rtol=1e-9, atol=1e-9, err_msg=name
            )
        np.testing.assert_allclose(prof.height, ds.height.values, rtol=1e-12)
        assert prof.height[0] == radar.altitude["data"][0]

    def test_pyart_errors(self):
        pyart = pytest.importorskip("pyart")
        radar = synthetic_radar(pyart, rays=36, gates=4)
        with pytest.raises(KeyError, match="no field 'VEL'"):
            kestrum.vad_pyart(radar, "VEL")
        with pytest.raises(ValueError, match="sweep 2 does not exist: the radar has 2"):
            kestrum.vad_pyart(radar, "velocity", 2)


class TestThermo:
    def test_scalars_broadcast_and_the_shape_is_kept(self):
        t = np.linspace(260, 310, 12).reshape(3, 4)
        out = kestrum.thermo(t, 85000.0, t[:, :1] - 5)
        ref = _kestrum.thermo(t, np.full(t.shape, 85000.0), np.repeat(t[:, :1] - 5, 4, axis=1))
        assert out.theta_e.shape == (3, 4) and same(np.stack(out), ref.reshape(4, 3, 4))

    def test_shapes_that_do_not_broadcast(self):
        with pytest.raises(
            ValueError,
            match=r"thermo: t has shape \(3,\), p has shape \(4,\), td has shape \(\): "
            "they do not broadcast together",
        ):
            kestrum.thermo(np.zeros(3), np.zeros(4), 1.0)

    def test_dask_chunks_equal_one_call(self):
        xr = pytest.importorskip("xarray")
        pytest.importorskip("dask.array")
        rng = np.random.default_rng(1)
        t = xr.DataArray(
            rng.uniform(250, 310, (30, 41)), dims=("y", "x"), coords={"x": np.arange(41)}
        )
        p = xr.DataArray(rng.uniform(5e4, 1e5, (30, 41)), dims=("y", "x"))
        lazy = kestrum.thermo(t.chunk({"y": 7, "x": 10}), p.chunk({"y": 7, "x": 10}), t - 3)
        assert lazy.theta.chunks is not None
        eager = kestrum.thermo(t, p, t - 3)
        for name in kestrum.Thermo._fields:
            assert same(getattr(lazy, name).values, getattr(eager, name).values)
        assert same(eager.theta.values, kestrum.thermo(t.values, p.values, t.values - 3).theta)
        assert eager.theta.dims == ("y", "x") and same(eager.theta.x.values, np.arange(41))


class TestGradient:
    def test_single_field_and_stack(self):
        rng = np.random.default_rng(2)
        f = rng.normal(size=(2, 3, 5, 6))
        x, y = np.cumsum(rng.uniform(1, 2, 6)), np.arange(5.0) * 100
        out = kestrum.gradient(f, x, y)
        ref = _kestrum.gradient(f.reshape(6, 5, 6), x, y)
        assert same(out.dx, ref[0].reshape(f.shape)) and same(out.dy, ref[1].reshape(f.shape))
        assert same(kestrum.gradient(f[1, 2], x, y).dy, out.dy[1, 2])

    def test_coordinate_length_error(self):
        with pytest.raises(
            ValueError, match=r"gradient: field has shape \(5, 6\) but x has shape \(5,\)"
        ):
            kestrum.gradient(np.zeros((5, 6)), np.arange(5.0), np.arange(5.0))

    def test_dataarray_keeps_dims_and_coords(self):
        xr = pytest.importorskip("xarray")
        f = xr.DataArray(
            np.arange(20.0).reshape(4, 5) ** 2,
            dims=("lat", "lon"),
            coords={"lat": np.arange(4.0) * 1e3, "lon": np.arange(5.0) * 2e3},
        )
        ds = kestrum.gradient(f, f.lon, f.lat)
        assert ds.dx.dims == ("lat", "lon") and same(ds.dx.lat.values, f.lat.values)
        assert same(ds.dy.values, kestrum.gradient(f.values, f.lon.values, f.lat.values).dy)


class TestProfile:
    z = np.array([0.0, 500.0, 1000.0, 2000.0, 3000.0])

    def test_shared_heights_broadcast_to_every_column(self):
        rng = np.random.default_rng(3)
        u, v = rng.normal(10, 5, (2, 3, 5)), rng.normal(0, 5, (2, 3, 5))
        out = kestrum.profile(self.z, u, v, 0.0, 0.0, 3000.0, 5.0, 2.0)
        ref = _kestrum.profile(
            np.broadcast_to(self.z, (6, 5)),
            u.reshape(6, 5),
            v.reshape(6, 5),
            np.zeros(6),
            0.0,
            3000.0,
            np.full(6, 5.0),
            np.full(6, 2.0),
        )
        assert out.helicity.shape == (2, 3) and same(np.stack(out), ref.reshape(7, 2, 3))

    def test_decreasing_heights_are_refused_with_the_fix(self):
        u = np.ones((3, 5))
        z = np.tile(self.z, (3, 1))
        z[1] = z[1, ::-1]
        with pytest.raises(
            ValueError,
            match=r"profile: the valid heights of column \(1,\) decrease at level 1.*"
            r"reverse the level axis",
        ):
            kestrum.profile(z, u, u, 0.0, 0.0, 3000.0, 0.0, 0.0)
        # Missing levels do not count; decreasing heights at missing levels are fine.
        z[1] = self.z
        z[2, 2] = -5.0
        u[2, 2] = nan
        assert np.isfinite(kestrum.profile(z, u, u, 0.0, 0.0, 3000.0, 0.0, 0.0).u_mean).all()

    def test_a_decrease_hidden_behind_a_missing_height(self):
        z = np.ma.masked_array([[0.0, 1000.0, 2000.0, 500.0, 3000.0]], mask=[[0, 0, 1, 0, 0]])
        with pytest.raises(
            ValueError,
            match=r"column \(0,\) decrease at level 3 \(z = 500.0 below a level at 1000.0\)",
        ):
            kestrum.profile(z, np.ones(5), np.ones(5), 0.0, 0.0, 3000.0, 0.0, 0.0)
        z[0, 2] = nan
        with pytest.raises(ValueError, match=r"column \(0,\) decrease at level 3"):
            kestrum.profile(z.filled(nan), np.ones(5), np.ones(5), 0.0, 0.0, 3000.0, 0.0, 0.0)

    def test_a_decrease_in_a_later_block_of_columns(self):
        z = np.tile(self.z, (40000, 1))
        z[33333, 3] = 400.0
        with pytest.raises(ValueError, match=r"column \(33333,\) decrease at level 3"):
            kestrum.profile(z, 1.0, 1.0, 0.0, 0.0, 3000.0, 0.0, 0.0)

    @settings(max_examples=200, deadline=None)
    @given(
        st.lists(
            st.lists(st.sampled_from([0.0, 100.0, 200.0, 300.0, nan]), min_size=4, max_size=4),
            min_size=1,
            max_size=6,
        ),
        st.lists(st.booleans(), min_size=24, max_size=24),
    )
    def test_refused_only_where_valid_heights_decrease_and_never_mis_integrated(
        self, rows, wind_missing
    ):
        # Only the levels up to the layer's top are read, so a decrease above it may
        # pass; what passes must be what the column's levels up to the top give.
        z = np.array(rows)
        u = np.where(
            np.array(wind_missing[: z.size]).reshape(z.shape),
            nan,
            np.arange(z.size).reshape(z.shape),
        )
        valid = np.isfinite(z) & np.isfinite(u)

        def decreases(zc, ok):
            return bool((np.diff(zc[ok]) < 0).any())

        try:
            out = kestrum.profile(z, u, 1.0, 0.0, 0.0, 100.0, 0.0, 0.0)
        except ValueError as error:
            assert "decrease" in str(error)
            assert any(decreases(zc, ok) for zc, ok in zip(z, valid))
            return
        for r, (zc, ok) in enumerate(zip(z, valid)):
            if not decreases(zc, ok):
                continue
            # Cut the column after its first valid level at or above the top (100 m above
            # the ground at 0): the rest is not read.
            tops = np.flatnonzero(ok & (zc >= 100.0))
            cut = tops[0] + 1 if tops.size else zc.size
            assert not decreases(zc[:cut], ok[:cut])
            ref = _kestrum.profile(
                zc[:cut][None], u[r, :cut][None], np.ones((1, cut)), [0.0], 0.0, 100.0, [0.0], [0.0]
            )
            assert same(np.stack(out)[:, r], ref[:, 0])

    def test_dataarray_columns_on_dask(self):
        xr = pytest.importorskip("xarray")
        pytest.importorskip("dask.array")
        rng = np.random.default_rng(11)
        u = xr.DataArray(
            rng.normal(10, 5, (6, 7, 5)), dims=("y", "x", "level"), coords={"x": np.arange(7)}
        )
        z = xr.DataArray(self.z, dims="level")
        lazy = kestrum.profile(
            z, u.chunk({"y": 2, "level": 2}), u * 0.5, 0.0, 0.0, 3000.0, 5.0, 2.0
        )
        eager = kestrum.profile(self.z, u.values, u.values * 0.5, 0.0, 0.0, 3000.0, 5.0, 2.0)
        assert lazy.helicity.dims == ("y", "x") and same(lazy.helicity.x.values, np.arange(7))
        for name in kestrum.Profile._fields:
            assert same(getattr(lazy, name).values, getattr(eager, name))

    def test_columns_of_ground_must_match(self):
        with pytest.raises(
            ValueError,
            match=r"profile: ground has shape \(4,\) but a column of z, u, v has shape \(3,\)",
        ):
            kestrum.profile(
                self.z, np.ones((3, 5)), np.ones((3, 5)), np.zeros(4), 0.0, 3000.0, 0.0, 0.0
            )


class TestColdPool:
    def test_broadcast_bottom_and_top(self):
        rng = np.random.default_rng(4)
        z = np.arange(10.0) * 200
        b = rng.normal(-0.05, 0.05, (4, 10))
        top = np.array([nan, 1000.0, nan, 500.0])
        out = kestrum.cold_pool(z, b, 0.0, -0.01, top)
        ref = _kestrum.cold_pool(np.broadcast_to(z, (4, 10)), b, np.zeros(4), -0.01, top)
        assert same(np.stack(out), ref) and out._fields == ("intensity", "depth", "open_top")


class TestPerturb:
    fac = np.array([0.2, 0.8, 0.4, 3.0, 0.02, 1.5])

    def test_named_fields_keep_the_shape(self):
        dbz = np.linspace(0, 60, 12).reshape(3, 4)
        out = kestrum.perturb(
            dbz, 1.0, None, 0.98, None, 1 | 2 | 8, self.fac, [0.0, 1.0], [0.0, -0.2], 7, 9, 100
        )
        ref = _ensemble.perturb(
            dbz.ravel(),
            np.ones(12),
            [],
            np.full(12, 0.98),
            [],
            11,
            np.repeat(self.fac[:, None], 12, axis=1),
            [0.0, 1.0],
            [0.0, -0.2],
            7,
            9,
            100,
        )
        assert out.phidp is None and out.vel is None and out.dbz.shape == (2, 3, 4)
        assert same(out.dbz, ref[:, 0].reshape(2, 3, 4)) and same(
            out.rhohv, ref[:, 2].reshape(2, 3, 4)
        )

    def test_progress_chunks_equal_one_call(self, monkeypatch):
        pytest.importorskip("tqdm")
        monkeypatch.setattr(kestrum.ensemble, "_CHUNK_VALUES", 50)
        vel = np.linspace(-20, 20, 25)
        bias = np.linspace(-1, 1, 9)
        one = kestrum.perturb(vel, None, None, None, vel, 1 | 16, self.fac, bias, 0.0, 1, 2, 3)
        chunked = kestrum.perturb(
            vel, None, None, None, vel, 1 | 16, self.fac, bias, 0.0, 1, 2, 3, progress=True
        )
        assert same(one.vel, chunked.vel) and same(one.dbz, chunked.dbz)

    def test_fac_planes_broadcast_over_the_gates(self):
        dbz = np.linspace(0, 60, 12).reshape(3, 4)
        per_column = np.repeat(self.fac[:, None], 4, axis=1) * np.arange(1, 5)
        out = kestrum.perturb(dbz, None, None, None, None, 1, per_column, [0.0], [0.0], 7, 9, 0)
        full = kestrum.perturb(
            dbz,
            None,
            None,
            None,
            None,
            1,
            np.broadcast_to(per_column[:, None], (6, 3, 4)),
            [0.0],
            [0.0],
            7,
            9,
            0,
        )
        assert same(out.dbz, full.dbz)
        with pytest.raises(
            ValueError, match=r"perturb: fac has shape \(5, 4\) but it must be \(6, \*\(3, 4\)\)"
        ):
            kestrum.perturb(dbz, None, None, None, None, 1, np.ones((5, 4)), [0.0], [0.0], 7, 9, 0)

    def test_dataarrays_give_a_dataset_with_a_member_dimension(self):
        xr = pytest.importorskip("xarray")
        dbz = xr.DataArray(
            np.linspace(0, 60, 12).reshape(3, 4),
            dims=("azimuth", "range"),
            coords={"range": np.arange(4) * 250.0},
        )
        vel = xr.DataArray(np.linspace(-9, 9, 4), dims="range", attrs={"units": "km h-1"})
        ds = kestrum.perturb(dbz, None, None, None, vel, 17, self.fac, [0.0, 1.0], 0.0, 7, 9, 0)
        ref = kestrum.perturb(
            dbz.values,
            None,
            None,
            None,
            np.linspace(-9, 9, 4) / 3.6,
            17,
            self.fac,
            [0.0, 1.0],
            0.0,
            7,
            9,
            0,
        )
        assert ds.dbz.dims == ("member", "azimuth", "range") and set(ds.to_dataset().data_vars) == {
            "dbz",
            "vel",
        }
        assert same(ds.dbz.values, ref.dbz) and same(ds.dbz.range.values, dbz.range.values)
        np.testing.assert_allclose(ds.vel.values, ref.vel, rtol=1e-14)

    def test_selected_field_missing(self):
        with pytest.raises(
            ValueError, match=r"perturb: flags selects zdr \(bit 2\) but zdr is None"
        ):
            kestrum.perturb(np.zeros(3), None, None, None, None, 3, self.fac, [0.0], [0.0], 1, 2, 3)


class TestStatistics:
    def test_axis_and_shape(self):
        rng = np.random.default_rng(7)
        values = rng.normal(size=(3, 20, 4))
        out = kestrum.statistics(values, [10, 90], axis=1, min_valid=3)
        ref = _ensemble.statistics(np.moveaxis(values, 1, 0).reshape(20, 12), [10, 90], 3)
        assert out.mean.shape == (3, 4) and out.percentiles.shape == (2, 3, 4)
        assert same(out.std, ref[1].reshape(3, 4)) and same(
            out.percentiles, ref[2].reshape(2, 3, 4)
        )

    def test_bad_percentile_and_axis(self):
        with pytest.raises(
            ValueError, match=r"statistics: percentiles must be in \[0, 100\], not \[50.0, nan\]"
        ):
            kestrum.statistics(np.zeros((3, 2)), [50, nan])
        with pytest.raises(
            ValueError, match=r"statistics: axis 2 is out of range for values of shape \(3, 2\)"
        ):
            kestrum.statistics(np.zeros((3, 2)), [50], axis=2)

    def test_dask_over_a_member_dimension_equals_one_call(self):
        xr = pytest.importorskip("xarray")
        pytest.importorskip("dask.array")
        rng = np.random.default_rng(8)
        data = rng.normal(size=(50, 7, 30)).astype(np.float32)
        data[rng.random(data.shape) < 0.05] = nan
        da = xr.DataArray(data, dims=("y", "member", "x"), coords={"x": np.arange(30)})
        lazy = kestrum.statistics(
            da.chunk({"y": 9, "member": 3, "x": 11}), [10, 50, 90], dim="member"
        )
        eager = kestrum.statistics(da, [10, 50, 90], dim="member")
        numpy = kestrum.statistics(data, [10, 50, 90], axis=1)
        assert lazy.percentiles.dims == ("percentile", "y", "x")
        for name in kestrum.Statistics._fields:
            assert same(getattr(lazy, name).values, getattr(eager, name).values) and same(
                getattr(eager, name).values, getattr(numpy, name)
            )
        assert same(eager.percentiles.percentile.values, np.array([10.0, 50.0, 90.0]))


class TestMode:
    def test_axis_and_xarray_dim(self):
        xr = pytest.importorskip("xarray")
        codes = np.random.default_rng(9).integers(0, 4, (5, 11))
        ref = _ensemble.mode(codes.T, 4, 2)
        out = kestrum.mode(codes, 4, axis=1, min_valid=2)
        assert same(out.mode, ref[0]) and same(out.fraction, ref[1])
        ds = kestrum.mode(
            xr.DataArray(codes, dims=("gate", "member")), 4, dim="member", min_valid=2
        )
        assert same(ds.mode.values, ref[0]) and ds.mode.dims == ("gate",)

    def test_n_codes_must_be_positive(self):
        with pytest.raises(ValueError, match="mode: n_codes must be positive, not 0"):
            kestrum.mode(np.zeros((2, 2)), 0)


def sweep_of(u=10.0, v=5.0, el=0.5, rays=360, gates=3):
    """A sweep of a uniform wind seen at elevation ``el``: (velocity, azimuth)."""
    az = np.arange(rays) * 360.0 / rays
    a = np.deg2rad(az)[:, None]
    return (u * np.sin(a) + v * np.cos(a)) * np.cos(np.deg2rad(el)) + np.zeros(gates), az


class TestImpossibleAngles:
    @pytest.mark.parametrize("el", [95.0, -91.0, 180.0])
    def test_elevations_beyond_the_vertical_are_refused(self, el):
        vr, az = sweep_of()
        with pytest.raises(ValueError, match=f"vad: elevation {el} is not an elevation in degrees"):
            kestrum.vad(vr, az, el)
        with pytest.raises(ValueError, match=f"beam_height: elevation {el} is not an elevation"):
            kestrum.beam_height(1e4, el)
        with pytest.raises(ValueError, match="elevation .* is not an elevation in degrees"):
            kestrum.vad(vr, np.deg2rad(az), np.deg2rad(el), radians=True)

    def test_a_beam_too_steep_for_a_wind_gives_nan_wind_but_keeps_the_offset(self):
        # A birdbath scan sees only the fall speed: offset = w, and no horizontal wind.
        for el, finite in ((90.0, False), (85.0, False), (75.0, True)):
            vr, az = sweep_of(el=el)
            fit = kestrum.vad(vr - 3.0, az, el)
            assert np.isfinite(fit.u).all() == finite and np.isfinite(fit.v).all() == finite
            np.testing.assert_allclose(fit.offset, -3.0, atol=1e-9)
        both = kestrum.vad(np.stack([sweep_of(el=0.5)[0], sweep_of(el=90.0)[0]]), az, [0.5, 90.0])
        np.testing.assert_allclose(both.u[0], 10.0) and np.isnan(both.u[1]).all()

    def test_radians_must_be_a_bool_and_mean_radians(self):
        vr, az = sweep_of()
        with pytest.raises(TypeError, match="vad: radians must be True or False, not 'no'"):
            kestrum.vad(vr, az, 0.5, radians="no")
        with pytest.raises(ValueError, match="vad: azimuth 359.0 is beyond 2 pi"):
            kestrum.vad(vr, az, 0.5, radians=True)
        with pytest.warns(UserWarning, match="they look like radians"):
            fit = kestrum.vad(vr, np.deg2rad(az), 0.5)
        assert np.isnan(fit.u).all()

    def test_a_dimensionless_quantity_is_not_an_angle(self):
        ureg = pytest.importorskip("pint").get_application_registry()
        vr, az = sweep_of()
        with pytest.raises(ValueError, match="vad: elevation is a dimensionless quantity"):
            kestrum.vad(vr, az, ureg.Quantity(0.99, ""))
        with pytest.raises(ValueError, match="beam_height: elevation is a dimensionless quantity"):
            kestrum.beam_height(1e4, ureg.Quantity(0.5, "dimensionless"))

    def test_radar_functions_refuse_them_and_decibel_velocities(self):
        xr = pytest.importorskip("xarray")
        ureg = pytest.importorskip("pint").get_application_registry()
        vr, az = sweep_of(gates=20)
        rng = 2000.0 + 250.0 * np.arange(20)
        calls = {
            "superobs": lambda v, el: kestrum.superobs(v, az, rng, el, quantity="velocity"),
            "dealias": lambda v, el: kestrum.dealias(v, az, rng, el, 10.0),
            "gate_qc": lambda v, el: kestrum.gate_qc(
                velocity=v, range=rng, elevation=el, clutter_velocity=1.0
            ),
        }
        dbz = xr.DataArray(vr, dims=("azimuth", "range"), attrs={"units": "dBZ"})
        for name, call in calls.items():
            with pytest.raises(ValueError, match=f"^{name}: elevation 95.0 is not an elevation"):
                call(vr, np.full(az.size, 95.0))
            with pytest.raises(ValueError, match=f"^{name}: elevation is a dimensionless quantity"):
                call(vr, ureg.Quantity(0.5, ""))
            with pytest.raises(
                ValueError, match=f"^{name}: (values|velocity) is in dBZ, which cannot be"
            ):
                call(dbz, 0.5)


def test_decibels_are_never_a_velocity_height_or_angle_without_pint():
    # Run where pint cannot be imported at all: the names must be known by the package.
    code = """if True:
        import sys; sys.modules["pint"] = None
        import numpy as np, xarray as xr, kestrum
        vr = xr.DataArray(np.ones((20, 3)), dims=("azimuth", "range"), attrs={"units": "dBZ"})
        az = xr.DataArray(np.arange(20.0) * 18, dims="azimuth")
        for call in (lambda: kestrum.vad(vr, az, 0.5),
                     lambda: kestrum.vad(vr.rename("VRADH").assign_coords(azimuth=az, elevation=0.5)
                                         .to_dataset().pipe(kestrum.vad_xradar)),
                     lambda: kestrum.profile(vr.rename(azimuth="y", range="level"), 1.0, 1.0, 0.0,
                                             0.0, 1.0, 0.0, 0.0),
                     lambda: kestrum.beam_height(1e3, az.assign_attrs(units="dB"))):
            try:
                call()
            except ValueError as error:
                print(error)
    """
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.splitlines() == [
        "vad: velocity is in dBZ, which cannot be converted to m/s",
        "vad_xradar: VRADH is in dBZ, which cannot be converted to m/s",
        "profile: z is in dBZ, which cannot be converted to m",
        "beam_height: elevation is in dB, which cannot be converted to degree",
    ], out.stderr


class TestIntegerArguments:
    def test_refused_with_the_public_name(self):
        values = np.zeros((3, 4), np.float32)
        with pytest.raises(TypeError, match="statistics: n_threads must be an integer, not float"):
            kestrum.statistics(values, [50], n_threads=2.0)
        with pytest.raises(
            ValueError,
            match=r"mode: n_codes must be at most 9223372036854775807, not 2\*\*63|"
            "mode: n_codes must be at most 9223372036854775807, not 9223372036854775808",
        ):
            kestrum.mode(values, 2**63)
        with pytest.raises(ValueError, match="perturb: k0 must be at least 0, not -1"):
            kestrum.perturb(values[0], None, None, None, None, 1, np.ones(6), [0.0], 0.0, -1, 0, 0)

    def test_thread_counts_beyond_the_hardware_are_capped(self):
        values = np.random.default_rng(1).normal(size=(5, 70)).astype(np.float32)
        one = kestrum.statistics(values, [50], n_threads=1)
        for n in (2**31, 10**6, -3):
            assert same(
                np.stack(kestrum.statistics(values, [50], n_threads=n)[:2]), np.stack(one[:2])
            )


def radar_calls():
    """A call of every radar function (n_threads and the argument changed given by keyword),
    and the result array to compare, on one folded sweep of 36 rays and 20 gates."""
    xr = pytest.importorskip("xarray")
    az, rng = np.arange(5.0, 360.0, 10.0), 2000.0 + 250.0 * np.arange(20)
    vel = (15.0 * np.sin(np.deg2rad(az))[:, None] + 0 * rng + 10.0) % 20.0 - 10.0
    sweep = xr.Dataset(
        {"VRADH": (("azimuth", "range"), vel, {"units": "m/s"}), "nyquist_velocity": 10.0},
        coords={"azimuth": az, "range": rng, "elevation": ("azimuth", np.full(36, 0.5))},
    )
    pyart = pytest.importorskip("pyart")
    radar = pyart.testing.make_velocity_aliased_radar()
    so = dict(quantity="velocity", min_count=1)
    return {
        "superobs": (
            lambda **k: kestrum.superobs(vel, az, rng, 0.5, nyquist=10.0, **{**so, **k}).value,
            "min_count",
        ),
        "superobs_pyart": (
            lambda **k: kestrum.superobs_pyart(radar, "velocity", **{**so, **k}).value,
            "clear_air_thin",
        ),
        "superobs_xradar": (
            lambda **k: kestrum.superobs_xradar(sweep, "VRADH", **{**so, **k}).value,
            "min_count",
        ),
        "dealias": (
            lambda **k: kestrum.dealias(vel, az, rng, 0.5, 10.0, **k).velocity,
            "min_region",
        ),
        "dealias_pyart": (lambda **k: kestrum.dealias_pyart(radar, **k)["data"], "min_region"),
        "dealias_xradar": (
            lambda **k: kestrum.dealias_xradar(sweep, **k).velocity.values,
            "min_region",
        ),
        "texture": (lambda **k: kestrum.texture(vel, **k), "min_count"),
        "despeckle": (lambda **k: kestrum.despeckle(vel > 0, **k), "min_size"),
        "gate_qc": (
            lambda **k: kestrum.gate_qc(velocity=vel, max_texture_velocity=5.0, **k).flags,
            "min_size",
        ),
    }


@pytest.mark.parametrize(
    "name",
    [
        "superobs",
        "superobs_pyart",
        "superobs_xradar",
        "dealias",
        "dealias_pyart",
        "dealias_xradar",
        "texture",
        "despeckle",
        "gate_qc",
    ],
)
def test_radar_functions_check_threads_and_integers_under_their_public_names(name):
    call, count = radar_calls()[name]
    for bad in (2.0, True, "2"):
        with pytest.raises(TypeError, match=f"^{name}: n_threads must be an integer, not "):
            call(n_threads=bad)
    one = call(n_threads=1)
    for n in (10**6, 2**31, -3):  # capped to the hardware, or all of it
        np.testing.assert_array_equal(call(n_threads=n), one)
    least = -1 if count == "min_size" else 0
    with pytest.raises(
        ValueError, match=f"^{name}: {count} must be (positive|at least 0), not {least}$"
    ):
        call(**{count: least})
    with pytest.raises(TypeError, match=f"^{name}: {count} must be an integer, not float"):
        call(**{count: 3.0})


class TestEmptyAxes:
    def test_empty_levels_members_and_grids_give_empty_or_nan_results(self):
        out = kestrum.profile(
            np.zeros((3, 0)), np.zeros((3, 0)), np.zeros((3, 0)), 0.0, 0.0, 1.0, 0.0, 0.0
        )
        assert out.helicity.shape == (3,) and np.isnan(np.stack(out)).all()
        out = kestrum.cold_pool(np.zeros((2, 0)), np.zeros((2, 0)), 0.0, 0.0, np.nan)
        assert out.intensity.shape == (2,) and np.isnan(out.intensity).all()
        stats = kestrum.statistics(np.zeros((0, 4)), [50])
        assert stats.percentiles.shape == (1, 4) and np.isnan(np.stack(stats[:2])).all()
        assert np.isnan(np.stack(kestrum.mode(np.zeros((0, 4)), 3))).all()
        assert kestrum.gradient(np.zeros((0, 0)), [], []).dx.shape == (0, 0)
        assert kestrum.vad(np.zeros((0, 5)), [], 0.5).n.tolist() == [0.0] * 5


class TestDimensionsByName:
    xr = pytest.importorskip("xarray")

    def test_transposed_sweeps_and_grids_are_matched_by_dimension_name(self):
        vr, az = sweep_of(gates=4)
        da = self.xr.DataArray(vr, dims=("azimuth", "range"))
        azimuth = self.xr.DataArray(az, dims="azimuth")
        fit = kestrum.vad(da.T, azimuth, 0.5)
        assert fit.u.dims == ("range",) and same(fit.u.values, kestrum.vad(vr, az, 0.5).u)
        f = self.xr.DataArray(np.random.default_rng(2).normal(size=(4, 6)), dims=("y", "x"))
        x, y = (
            self.xr.DataArray(np.arange(6.0), dims="x"),
            self.xr.DataArray(np.arange(4.0) * 2, dims="y"),
        )
        assert same(
            kestrum.gradient(f.T, x, y).dx.transpose("y", "x").values,
            kestrum.gradient(f.values, x.values, y.values).dx,
        )

    def test_one_elevation_per_stacked_sweep(self):
        vr, az = sweep_of()
        stack = np.stack([vr, sweep_of(el=10.0)[0]])
        per_sweep = kestrum.vad(stack, az, [0.5, 10.0])
        np.testing.assert_allclose(per_sweep.u, 10.0)
        da = self.xr.DataArray(stack, dims=("sweep", "azimuth", "range"))
        el = self.xr.DataArray([0.5, 10.0], dims="sweep")
        assert same(kestrum.vad(da, az, el).u.values, per_sweep.u)

    def test_results_are_fields_of_dataarrays(self):
        values = self.xr.DataArray(np.arange(12.0).reshape(3, 4), dims=("member", "gate"))
        stats = kestrum.statistics(values, [50], dim="member")
        assert isinstance(stats.mean, self.xr.DataArray) and stats.mean.values.tolist() == [
            4.0,
            5.0,
            6.0,
            7.0,
        ]
        assert set(stats.to_dataset().data_vars) == {"mean", "std", "percentiles"}
        pos = kestrum.beam_height(self.xr.DataArray([0.0, 5e4], dims="range"), 0.5)
        assert pos.height.dims == ("range",) and same(
            pos.height.values, kestrum.beam_height([0.0, 5e4], 0.5).height
        )

    def test_only_a_per_column_argument_as_a_dataarray(self):
        z, u = np.array([0.0, 1000.0, 2000.0]), np.array([0.0, 1.0, 2.0])
        out = kestrum.profile(
            z, u, u, self.xr.DataArray([0.0, 500.0], dims="y"), 0.0, 1000.0, 0.0, 0.0
        )
        assert out.u_top.dims == ("y",) and out.u_top.values.tolist() == [1.0, 1.5]
        pool = kestrum.cold_pool(z, -u - 1, 0.0, 0.0, self.xr.DataArray([1000.0, 2000.0], dims="y"))
        assert same(
            pool.intensity.values,
            kestrum.cold_pool(z, np.tile(-u - 1, (2, 1)), 0.0, 0.0, [1000.0, 2000.0]).intensity,
        )
        ground = self.xr.DataArray(np.zeros(3), dims="y")
        with pytest.raises(
            ValueError, match="profile: z must be an xarray.DataArray or have dimensions"
        ):
            kestrum.profile(
                np.zeros((3, 4)), np.ones((3, 4)), np.ones((3, 4)), ground, 0.0, 1.0, 0.0, 0.0
            )

    def test_vad_xradar_takes_a_tree_node_or_the_velocity_and_converts_units(self):
        vr, az = sweep_of()
        sweep = self.xr.Dataset(
            {"VRADH": (("azimuth", "range"), vr, {"units": "m/s"})},
            coords={
                "azimuth": az,
                "range": ("range", [5.0, 50.0, 100.0], {"units": "km"}),
                "elevation": ("azimuth", np.full(360, 0.5)),
                "altitude": ((), 0.37, {"units": "km"}),
            },
        )
        ref = kestrum.vad_xradar(sweep.assign_coords(range=[5e3, 5e4, 1e5], altitude=370.0))
        for held in (sweep, sweep["VRADH"], self.xr.DataTree(sweep)):
            prof = kestrum.vad_xradar(held)
            assert same(prof.height.values, ref.height.values) and same(prof.u.values, ref.u.values)
        with pytest.raises(KeyError, match=r"give one sweep, e.g. tree\['sweep_0'\]"):
            kestrum.vad_xradar(self.xr.DataTree.from_dict({"/sweep_0": sweep}))


class TestProfileOrder:
    def test_one_reversed_column_is_refused_with_the_fix(self):
        z = np.array([3000.0, 2000.0, 1000.0, 0.0])
        with pytest.raises(
            ValueError, match=r"column \(\) decrease at level 1 .*reverse the level axis"
        ):
            kestrum.profile(z, np.ones(4), np.ones(4), 0.0, 0.0, 3000.0, 0.0, 0.0)
        out = kestrum.profile(z[::-1], np.ones(4), np.ones(4), 0.0, 0.0, 3000.0, 0.0, 0.0)
        assert float(out.u_mean) == 1.0

    def test_checked_native_call_equals_the_plain_one_where_heights_increase(self):
        rng = np.random.default_rng(5)
        z = np.sort(rng.uniform(0, 6000, (300, 20)), axis=1)
        u, v = rng.normal(10, 5, z.shape), rng.normal(0, 5, z.shape)
        u[rng.random(z.shape) < 0.1] = nan
        args = (
            z,
            u,
            v,
            np.where(rng.random(300) < 0.2, nan, 0.0),
            100.0,
            3000.0,
            np.ones(300),
            np.ones(300),
        )
        out, bad = _kestrum.profile_checked(*args, 2)
        assert bad == -1 and same(out, _kestrum.profile(*args, 1))


class TestVadSweeps:
    """The sweep form of the native VAD that the wrapper calls is the plain one on the
    rings laid out as rows, bit for bit, whatever the velocities' layout."""

    def test_equals_vad_on_rings_in_every_layout(self):
        rng = np.random.default_rng(8)
        sweeps, rays, gates = 3, 40, 70
        vr = rng.normal(0, 10, (sweeps, rays, gates))
        vr[rng.random(vr.shape) < 0.1] = nan
        az = rng.uniform(0, 2 * np.pi, (sweeps, rays))
        az[1, 3] = nan
        cos_el = np.cos(rng.uniform(0, 0.3, sweeps))
        rings = np.ascontiguousarray(vr.transpose(0, 2, 1)).reshape(-1, rays)
        expect = _kestrum.vad(
            rings, np.repeat(az, gates, axis=0), np.repeat(cos_el, gates), 5, 0.05, 1
        ).reshape(8, sweeps, gates)
        transposed = np.ascontiguousarray(vr.transpose(0, 2, 1)).transpose(0, 2, 1)
        reversed_rays = np.ascontiguousarray(vr[:, ::-1])[:, ::-1]
        masked = np.ma.masked_invalid(vr)
        for layout in (vr, transposed, reversed_rays, masked):
            assert same(_kestrum.vad_sweeps(layout, az, cos_el, 5, 0.05, 2), expect)

    def test_shapes_are_checked(self):
        vr, az = np.zeros((2, 4, 3)), np.zeros((2, 4))
        with pytest.raises(ValueError, match="vr must be 3-D, az 2-D"):
            _kestrum.vad_sweeps(vr[0], az, np.ones(2), 3, 0.1)
        with pytest.raises(ValueError, match="shape mismatch"):
            _kestrum.vad_sweeps(vr, az[:, :3], np.ones(2), 3, 0.1)
        with pytest.raises(ValueError, match="shape mismatch"):
            _kestrum.vad_sweeps(vr, az, np.ones(3), 3, 0.1)
