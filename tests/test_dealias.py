"""Dealiasing: folded winds of known truth on a real NEXRAD geometry, scored gate by gate
and side by side with Py-ART's region-based dealiasing on the same input."""

import doctest
import sys
import warnings

import numpy as np
import pytest

import kestrum
from kestrum import dealias

pyart = pytest.importorskip("pyart")


def fold(true, nyquist):
    return (true + nyquist) % (2 * nyquist) - nyquist


def right(out, true):
    """Gates given their true velocity (a masked or NaN gate is not right)."""
    return np.isfinite(np.ma.filled(out, np.nan)) & (
        np.abs(np.ma.filled(out, np.nan) - true) < 1e-6
    )


@pytest.fixture(scope="module")
def volume():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return pyart.io.read(pyart.testing.NEXRAD_ARCHIVE_MSG31_FILE)


class Sweep:
    """One Doppler sweep of the real volume: its geometry and where it had echo."""

    def __init__(self, radar):
        self.radar = radar.extract_sweeps([1])
        self.az = self.radar.azimuth["data"].astype(float)
        self.el = self.radar.elevation["data"].astype(float)
        self.range = self.radar.range["data"].astype(float)
        self.echo = ~np.ma.getmaskarray(self.radar.fields["velocity"]["data"])
        self.height = kestrum.beam_height(self.range, self.el.mean()).height

    def radial(self, u, v):
        """Radial velocity of the wind (u, v) at each gate's height (arrays over gates)."""
        a = np.deg2rad(self.az)[:, None]
        return np.cos(np.deg2rad(self.el))[:, None] * (u * np.sin(a) + v * np.cos(a))

    def wind(self, kind):
        h = self.height / 5000.0
        if kind == "uniform":
            return self.radial(np.full_like(h, 28.0), np.full_like(h, -18.0))
        if kind == "sheared":
            return self.radial(5 + 25 * h, 3 + 10 * h)
        speed, direction = 15 + 20 * h, np.deg2rad(180 + 90 * np.minimum(h, 1.5))  # veering
        return self.radial(-speed * np.sin(direction), -speed * np.cos(direction))

    def couplet(self, r0=45e3, az0=60.0, radius=1000.0, vmax=30.0):
        """A Rankine vortex (60 m/s across 2 km) and the gates within 3 core radii."""
        a = np.deg2rad(self.az)[:, None]
        dx = self.range * np.sin(a) - r0 * np.sin(np.deg2rad(az0))
        dy = self.range * np.cos(a) - r0 * np.cos(np.deg2rad(az0))
        r = np.hypot(dx, dy) + 1e-9
        vt = np.where(r < radius, vmax * r / radius, vmax * radius / r)
        radial = np.cos(np.deg2rad(self.el))[:, None] * vt * (-dy * np.sin(a) + dx * np.cos(a)) / r
        return radial, r < 3 * radius

    def pyart_score(self, aliased, valid, nyquist, true):
        field = {"data": np.ma.masked_array(aliased, ~valid), "units": "m/s"}
        self.radar.add_field("aliased", field, replace_existing=True)
        self.radar.instrument_parameters["nyquist_velocity"]["data"] = np.full(
            self.radar.nrays, nyquist
        )
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            out = pyart.correct.dealias_region_based(
                self.radar, vel_field="aliased", nyquist_vel=nyquist
            )
        return right(out["data"], true)[valid].mean()


@pytest.fixture(scope="module")
def sweep(volume):
    return Sweep(volume)


class TestAccuracy:
    @pytest.mark.parametrize(
        "kind, nyquist",
        [
            ("uniform", 8.0),
            ("uniform", 30.0),
            ("sheared", 8.0),
            ("sheared", 20.0),
            ("veering", 8.0),
            ("veering", 13.0),
        ],
    )
    def test_winds_of_up_to_three_folds(self, sweep, kind, nyquist):
        true = sweep.wind(kind)
        aliased = fold(true, nyquist)
        assert np.abs(np.round((true - aliased) / (2 * nyquist)))[sweep.echo].max() >= 1
        out = dealias(
            np.where(sweep.echo, aliased, np.nan), sweep.az, sweep.range, sweep.el, nyquist
        )
        ours = right(out.velocity, true)[sweep.echo].mean()
        assert ours >= 0.995
        assert ours >= sweep.pyart_score(aliased, sweep.echo, nyquist, true)
        moved = np.where(sweep.echo, out.folds, 0)
        assert np.array_equal(
            np.where(right(out.velocity, true), moved, 0) * 2 * nyquist,
            np.where(right(out.velocity, true), true - aliased, 0).round(6),
        )

    def test_couplet_in_shear_keeps_its_true_velocities(self, sweep):
        vortex, core = sweep.couplet()
        true = sweep.wind("sheared") + vortex
        nyquist = 16.0
        aliased = fold(true, nyquist)
        assert np.abs(true - aliased)[core & sweep.echo].max() >= 2 * nyquist  # two folds in it
        out = dealias(
            np.where(sweep.echo, aliased, np.nan), sweep.az, sweep.range, sweep.el, nyquist
        )
        ok = right(out.velocity, true)
        assert ok[core & sweep.echo].all()
        assert ok[sweep.echo].mean() >= sweep.pyart_score(aliased, sweep.echo, nyquist, true)

    def test_patchy_echo_and_isolated_gates(self, sweep):
        rng = np.random.default_rng(0)
        blocks = np.kron(rng.random((91, 115)) < 0.5, np.ones((8, 16), bool))[:720, :1832]
        patches = blocks & (sweep.range < 150e3)
        isolated = (rng.random(patches.shape) < 0.003) & ~patches
        # Only gates with no valid neighbour (along the ray or across rays) are isolated.
        grown = patches | isolated
        touching = np.zeros_like(grown)
        touching[:, 1:] |= grown[:, :-1]
        touching[:, :-1] |= grown[:, 1:]
        touching |= np.roll(grown, 1, 0) | np.roll(grown, -1, 0)
        isolated &= ~touching
        valid = patches | isolated
        true = sweep.wind("veering")
        out = dealias(
            np.where(valid, fold(true, 10.0), np.nan), sweep.az, sweep.range, sweep.el, 10.0
        )
        assert right(out.velocity, true)[patches].mean() >= 0.995
        assert np.isnan(out.velocity[isolated]).all() and (out.folds[isolated] == 0).all()
        # Nothing presented as data is wrong.
        shown = np.isfinite(out.velocity)
        assert right(out.velocity, true)[shown].all()

    def test_alternating_nyquist_per_ray(self, sweep):
        true = sweep.wind("sheared")
        nyquist = np.where(np.arange(sweep.az.size) % 2, 12.0, 16.0)
        aliased = fold(true, nyquist[:, None])
        out = dealias(
            np.where(sweep.echo, aliased, np.nan), sweep.az, sweep.range, sweep.el, nyquist
        )
        assert right(out.velocity, true)[sweep.echo].mean() >= 0.995

    def test_pyart_aliased_radar_every_gate(self):
        radar = pyart.testing.make_velocity_aliased_radar()
        true = pyart.testing.make_velocity_aliased_radar(alias=False).fields["velocity"]["data"]
        out = dealias(
            radar.fields["velocity"]["data"],
            radar.azimuth["data"],
            radar.range["data"],
            radar.elevation["data"],
            10.0,
        )
        assert right(out.velocity, true).all()
        assert out.folds.max() == 1 and out.folds.sum() == (true > 10).sum()

    def test_vad_of_dealiased_equals_vad_of_truth(self, sweep):
        true = sweep.wind("veering")
        out = dealias(
            np.where(sweep.echo, fold(true, 8.0), np.nan), sweep.az, sweep.range, sweep.el, 8.0
        )
        ours = kestrum.vad(out.velocity, sweep.az, sweep.el)
        truth = kestrum.vad(np.where(sweep.echo, true, np.nan), sweep.az, sweep.el)
        rings = (right(out.velocity, true) == sweep.echo).all(axis=0) & np.isfinite(truth.u)
        assert rings.sum() > 500
        np.testing.assert_allclose(ours.u[rings], truth.u[rings], rtol=0, atol=1e-9)
        np.testing.assert_allclose(ours.v[rings], truth.v[rings], rtol=0, atol=1e-9)


class TestReference:
    def test_sector_without_spread_needs_a_reference(self, sweep):
        # A 30-degree sector: the data alone cannot fit a VAD, so nothing is guessed;
        # a sounding, a VAD profile or a previous volume then resolve every gate.
        sector = sweep.echo & ((sweep.az > 100) & (sweep.az < 130))[:, None]
        true = sweep.wind("sheared")
        aliased = np.where(sector, fold(true, 9.0), np.nan)
        alone = dealias(aliased, sweep.az, sweep.range, sweep.el, 9.0)
        assert np.isnan(alone.velocity).all()
        z = np.linspace(0, 20e3, 81)
        sounding = (z, 5 + 25 * z / 5000, 3 + 10 * z / 5000)
        profile = kestrum.vad_pyart(_with_field(sweep.radar, "truth", true), "truth")
        previous = np.where(sweep.echo, true + 2.0, np.nan)
        for reference in (sounding, profile, previous):
            out = dealias(aliased, sweep.az, sweep.range, sweep.el, 9.0, reference=reference)
            assert right(out.velocity, true)[sector].mean() >= 0.995

    def test_previous_volume_gaps_fall_back_to_the_data(self, sweep):
        true = sweep.wind("uniform")
        previous = np.where(sweep.az[:, None] < 180, true, np.nan) + 0 * true
        out = dealias(
            np.where(sweep.echo, fold(true, 8.0), np.nan),
            sweep.az,
            sweep.range,
            sweep.el,
            8.0,
            reference=previous,
        )
        assert right(out.velocity, true)[sweep.echo].mean() >= 0.995


def _with_field(radar, name, data):
    radar.add_field(
        name, {"data": np.ma.masked_invalid(data), "units": "m/s"}, replace_existing=True
    )
    return radar


class TestLayout:
    def test_azimuth_wraps_around_north(self):
        # The same sweep started at another azimuth gives the same result: the last ray
        # neighbours the first. A wind blowing across the seam with Vn = 5 is aliased there.
        az = (np.arange(360) + 0.5) % 360
        rng = 2000.0 + 250.0 * np.arange(60)
        true = 14 * np.cos(np.deg2rad(az))[:, None] + 0 * rng
        vel = fold(true, 5.0)
        vel[10:350, 30:] = np.nan  # only a ring near the radar joins the rays around north
        base = dealias(vel, az, rng, 0.5, 5.0)
        for shift in (1, 180):
            out = dealias(np.roll(vel, shift, 0), np.roll(az, shift), rng, 0.5, 5.0)
            np.testing.assert_array_equal(np.roll(out.velocity, -shift, 0), base.velocity)

    def test_stacked_sweeps_equal_single_sweeps(self, volume):
        # Sweeps of 720 and 360 rays stacked with NaN-azimuth padding: each sweep is
        # unfolded on its own, the profile fitted over all of them.
        one = volume.extract_sweeps([1, 5])
        v720 = fold(
            np.where(np.ma.getmaskarray(one.fields["velocity"]["data"]), np.nan, 0)
            + 25 * np.sin(np.deg2rad(one.azimuth["data"]))[:, None],
            10.0,
        )
        stack = np.full((2, 720, one.ngates), np.nan)
        az = np.full((2, 720), np.nan)
        for k, (s, e) in enumerate(
            zip(one.sweep_start_ray_index["data"], one.sweep_end_ray_index["data"] + 1)
        ):
            stack[k, : e - s], az[k, : e - s] = v720[s:e], one.azimuth["data"][s:e]
        out = dealias(stack, az, one.range["data"], one.fixed_angle["data"], 10.0)
        pyart_out = kestrum.dealias_pyart(
            _with_field(one, "aliased", v720), "aliased", nyquist=10.0
        )
        assert np.isnan(out.velocity[1, 360:]).all()
        n = one.sweep_end_ray_index["data"][0] + 1
        np.testing.assert_array_equal(np.ma.filled(pyart_out["data"][:n], np.nan), out.velocity[0])
        truth = (
            25
            * np.sin(np.deg2rad(az))[..., None]
            * np.cos(np.deg2rad(one.fixed_angle["data"]))[:, None, None]
        )
        ok = np.isfinite(stack)
        assert (np.abs(out.velocity - np.where(ok, truth, np.nan))[ok] < 0.05).mean() >= 0.995

    def test_threads_same_result(self, sweep):
        vel = np.where(sweep.echo, fold(sweep.wind("veering"), 8.0), np.nan)
        stack = np.stack([vel, vel[::-1], vel])
        az = np.stack([sweep.az, sweep.az[::-1], sweep.az])
        one = dealias(stack, az, sweep.range, sweep.el.mean(), 8.0, n_threads=1)
        two = dealias(stack, az, sweep.range, sweep.el.mean(), 8.0, n_threads=2)
        assert (
            one.velocity.tobytes() == two.velocity.tobytes()
            and one.folds.tobytes() == two.folds.tobytes()
        )


class TestArguments:
    def test_docstring_examples_run(self):
        result = doctest.testmod(
            sys.modules["kestrum.dealias"], optionflags=doctest.NORMALIZE_WHITESPACE
        )
        assert result.attempted > 0 and result.failed == 0

    def test_masked_input_gives_masked_output(self):
        radar = pyart.testing.make_velocity_aliased_radar()
        vel = np.ma.masked_array(radar.fields["velocity"]["data"], mask=False)
        vel[5, 5] = np.ma.masked
        out = dealias(vel, radar.azimuth["data"], radar.range["data"], 0.75, 10.0)
        assert isinstance(out.velocity, np.ma.MaskedArray) and out.velocity.mask[5, 5]
        assert out.folds.dtype == np.int16 and out.folds.shape == vel.shape

    @pytest.mark.parametrize(
        "change, message",
        [
            ({"nyquist": 0.0}, "nyquist must be positive"),
            ({"nyquist": np.ones(7)}, "nyquist must be"),
            ({"azimuth": np.arange(10.0)}, "azimuth must have shape"),
            ({"range": np.arange(3.0)}, "range must have shape"),
            ({"velocity": np.zeros(5)}, "velocity must be"),
        ],
    )
    def test_errors_name_the_argument(self, change, message):
        args = {
            "velocity": np.zeros((36, 20)),
            "azimuth": np.arange(0, 360, 10.0),
            "range": np.arange(20.0) * 250,
            "elevation": 0.5,
            "nyquist": 10.0,
        }
        args.update(change)
        with pytest.raises(ValueError, match=message):
            dealias(**args)

    def test_xarray_sweep(self):
        xr = pytest.importorskip("xarray")
        radar = pyart.testing.make_velocity_aliased_radar()
        true = pyart.testing.make_velocity_aliased_radar(alias=False).fields["velocity"]["data"]
        az, rg = radar.azimuth["data"], radar.range["data"]
        vel = xr.DataArray(
            radar.fields["velocity"]["data"],
            dims=("azimuth", "range"),
            coords={"azimuth": az, "range": rg},
            attrs={"units": "m/s"},
        )
        ds = dealias(vel, vel.azimuth, vel.range, 0.75, 10.0)
        assert right(ds.velocity.values, true).all() and ds.folds.dtype == np.int16
        sweep = xr.Dataset(
            {"VRADH": vel, "nyquist_velocity": 10.0},
            coords={"elevation": ("azimuth", np.full(az.size, 0.75))},
        )
        assert right(kestrum.dealias_xradar(sweep).velocity.values, true).all()

    def test_dask_volumes_in_time(self):
        xr = pytest.importorskip("xarray")
        da = pytest.importorskip("dask.array")
        az, rg = np.arange(360.0) + 0.5, np.arange(100) * 250.0 + 2000
        true = 25 * np.sin(np.deg2rad(az))[:, None] * np.cos(np.deg2rad(0.5)) + 0 * rg
        scans = np.stack([true, 0.5 * true])
        vel = xr.DataArray(
            da.from_array(fold(scans, 10.0), chunks=(1, 360, 100)),
            dims=("time", "azimuth", "range"),
            coords={"azimuth": az, "range": rg},
        )
        ds = dealias(vel, vel.azimuth, vel.range, 0.5, 10.0)
        assert isinstance(ds.velocity.data, da.Array)
        assert right(ds.velocity.values, scans).all()


class TestPyart:
    def test_field_dict_added_to_the_radar(self, volume):
        radar = pyart.testing.make_velocity_aliased_radar()
        field, folds = kestrum.dealias_pyart(radar, "velocity", folds=True)
        radar.add_field("corrected_velocity", field)
        true = pyart.testing.make_velocity_aliased_radar(alias=False).fields["velocity"]["data"]
        assert right(radar.fields["corrected_velocity"]["data"], true).all()
        assert folds["data"].sum() == (true > 10).sum()
        gf = pyart.filters.GateFilter(radar)
        gf.exclude_below("velocity", -5.0)
        assert kestrum.dealias_pyart(radar, gatefilter=gf)["data"].mask[gf.gate_excluded].all()
