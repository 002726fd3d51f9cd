"""Superobservations against a NumPy implementation written here from the definitions,
and on Py-ART's NEXRAD test volume written to DART and WRFDA files."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

import kestrum
from kestrum.superobs import superobs, superobs_pyart

KA = 4.0 / 3.0 * 6371000.0


# --- the oracle ------------------------------------------------------------------------


def gate_boxes(az, el, rng, grid=None, d_az=5.0, d_r=5000.0, sweep=None):
    """Box key of every gate (a tuple per gate, None outside), from the definitions."""
    a = np.mod(az, 360.0)
    a = np.where(a >= 360.0, 0.0, a)
    if grid is None:
        i = np.floor(a / d_az).astype(int)
        j = np.floor(rng / d_r).astype(int)
        return lambda r, g: (sweep[r], i[r], j[g])
    t = np.deg2rad(el)[:, None]
    h = np.sqrt(rng**2 + KA**2 + 2.0 * rng * KA * np.sin(t)) - KA
    s = KA * np.arcsin(rng * np.cos(t) / (KA + h))
    x, y = s * np.sin(np.deg2rad(a))[:, None], s * np.cos(np.deg2rad(a))[:, None]

    def cell(e, v):
        k = np.searchsorted(e, v, side="right") - 1
        return k if 0 <= k < len(e) - 1 else None

    def key(r, g):
        ix, iy = cell(grid[0], x[r, g]), cell(grid[1], y[r, g])
        iz = cell(grid[2], h[r, g]) if len(grid) == 3 else sweep[r]
        return None if None in (ix, iy, iz) else (iz, iy, ix)

    return key


def oracle(values, az, el, rng, t, nyq, quantity, **geometry):
    """Every field of every box with a valid gate, keyed by box, by plain NumPy."""
    rays, gates = values.shape
    key = gate_boxes(az, el, rng, **geometry)
    members: dict = {}
    for r in range(rays):
        for g in range(gates):
            if np.isfinite(values[r, g]):
                k = key(r, g)
                if k is not None:
                    members.setdefault(tuple(int(c) for c in k), []).append((r, g))
    out = {}
    for k, gs in members.items():
        r = np.array([p[0] for p in gs])
        g = np.array([p[1] for p in gs])
        v = values[r, g]
        f = {
            "count": v.size,
            "elevation": el[r].mean(),
            "range": rng[g].mean(),
            "time": t[r].mean(),
        }
        f["azimuth"] = (
            np.rad2deg(np.arctan2(np.sin(np.deg2rad(az[r])).sum(), np.cos(np.deg2rad(az[r])).sum()))
            % 360.0
        )
        if quantity == "velocity":
            V = nyq[r]
            z = np.exp(1j * np.pi * v / V).sum()
            f["value"] = V.mean() / np.pi * np.angle(z)
            f["coherence"] = abs(z) / v.size
            f["nyquist"] = V.mean()
            v = v + 2 * V * np.round((f["value"] - v) / (2 * V))
        elif quantity == "reflectivity":
            f["value"] = 10 * np.log10(np.mean(10 ** (v / 10)))
        else:
            f["value"] = v.mean()
        f.update(std=v.std(), min=v.min(), max=v.max())
        out[k] = f
    return out


def assert_matches(so, expected, fields):
    got = {tuple(b): i for i, b in enumerate(so.box.tolist())}
    assert set(got) == set(expected)
    for k, f in expected.items():
        i = got[k]
        for name in fields:
            np.testing.assert_allclose(
                getattr(so, name)[i], f[name], rtol=1e-9, atol=1e-9, err_msg=f"{name} of box {k}"
            )


def volume(seed=0, sweeps=2, rays=72, gates=48):
    """Rays starting west of north so that boxes straddle azimuth 0/360; holes; one box
    with every gate masked."""
    rng = np.random.default_rng(seed)
    az = np.arange(rays) * 360.0 / rays - 7.3 + rng.uniform(-0.2, 0.2, (sweeps, rays))
    el = np.array([0.5, 1.5])[:sweeps, None] + rng.uniform(-0.05, 0.05, (sweeps, rays))
    gate_range = 2125.0 + 250.0 * np.arange(gates)
    t = rng.uniform(0, 300, (sweeps, rays))
    values = rng.normal(0, 1, (sweeps, rays, gates))
    values[rng.random(values.shape) < 0.3] = np.nan
    values[0, 20:30, 12:32] = np.nan  # every gate of boxes (0, 18..27, 1)
    return values, az, el, gate_range, t


def flat(a, sweeps):
    return np.repeat(np.arange(sweeps), a.shape[-2]) if a is None else a.reshape(-1, *a.shape[2:])


KEEP_ALL = dict(min_count=1, max_std=np.inf, min_coherence=0.0)
FIELDS = ("count", "value", "std", "min", "max", "azimuth", "elevation", "range", "time")


# --- the statistics ----------------------------------------------------------------------


class TestAgainstNumpy:
    @pytest.mark.parametrize("quantity", ["velocity", "reflectivity", "other"])
    @pytest.mark.parametrize("form", ["polar", "grid-sweeps", "grid-heights", "grid-one-box"])
    def test_every_field_of_every_box(self, quantity, form):
        values, az, el, gate_range, t = volume()
        S, R, G = values.shape
        nyq = None
        if quantity == "velocity":
            # Per-ray Nyquist velocities; winds near the fold, so that boxes straddle it.
            nyq = np.where(np.arange(R) % 3 == 0, 12.0, 10.0)[None, :] * np.ones((S, 1))
            values = values * 2.0 + 9.5
            values = (values + nyq[..., None]) % (2 * nyq[..., None]) - nyq[..., None]
        elif quantity == "reflectivity":
            values = values * 8.0 + 25.0
        grid = {
            "polar": None,
            "grid-sweeps": (np.linspace(-12e3, 12e3, 6), np.linspace(-12e3, 12e3, 5)),
            "grid-heights": (
                np.linspace(-12e3, 12e3, 6),
                np.linspace(-12e3, 12e3, 5),
                np.array([0.0, 150.0, 300.0, 500.0]),
            ),
            # Every gate of a sweep in one box: more gates than a box is taken at once.
            "grid-one-box": (np.array([-15e3, 15e3]), np.array([-15e3, 15e3])),
        }[form]
        so = superobs(
            values,
            az,
            gate_range,
            el,
            quantity=quantity,
            time=t,
            nyquist=nyq,
            grid=grid,
            echo_threshold=-np.inf,
            n_threads=2,
            **KEEP_ALL,
        )
        geometry = {"grid": grid, "sweep": np.repeat(np.arange(S), R)}
        if grid is None:
            geometry.update(d_az=5.0, d_r=5000.0)
        expected = oracle(
            values.reshape(S * R, G),
            az.ravel(),
            el.ravel(),
            gate_range,
            t.ravel(),
            None if nyq is None else nyq.ravel(),
            quantity,
            **geometry,
        )
        fields = FIELDS + (("coherence", "nyquist") if quantity == "velocity" else ())
        assert_matches(so, expected, fields)
        # Gates in any order of range: the same boxes, to rounding.
        mixed = np.random.default_rng(1).permutation(G)
        back = superobs(
            values[..., mixed],
            az,
            gate_range[mixed],
            el,
            quantity=quantity,
            time=t,
            nyquist=nyq,
            grid=grid,
            echo_threshold=-np.inf,
            **KEEP_ALL,
        )
        assert_matches(back, expected, fields)
        if form == "polar":
            assert (0, 20, 1) not in expected and (0, 71, 0) in expected  # masked box; 360
        if quantity == "velocity" and form != "grid-one-box":
            # Boxes across the fold: a plain mean is off by about the Nyquist velocity.
            plain = superobs(values, az, gate_range, el, quantity="other", grid=grid, **KEEP_ALL)
            assert np.max(np.abs(plain.value - so.value)) > 5.0

    def test_error_quality_and_defaults(self):
        values, az, el, gate_range, _ = volume(rays=360, gates=200)
        v = values * 3.0
        loose = superobs(v, az, gate_range, el, quantity="velocity", nyquist=30.0, **KEEP_ALL)
        so = superobs(
            v,
            az,
            gate_range,
            el,
            quantity="velocity",
            nyquist=30.0,
            min_count=20,
            max_std=3.2,
            error_floor=2.9,
        )
        keep = (loose.count >= 20) & (loose.std <= 3.2) & (loose.coherence >= 0.5)
        np.testing.assert_array_equal(so.box, loose.box[keep])
        np.testing.assert_array_equal(so.error, np.maximum(loose.std[keep], 2.9))
        default = superobs(v, az, gate_range, el, quantity="velocity", nyquist=30.0)
        assert (default.count >= 50).all() and (default.std <= 6).all()
        assert (default.error >= 2.0).all() and default.value.size > 0

    def test_clear_air_thinning_and_halo(self):
        rng = np.random.default_rng(3)
        S, R, G = 1, 144, 160  # 72 x 8 boxes of 2 rays x 20 gates
        dbz = rng.uniform(-10, 15, (S, R, G))
        echo_boxes = [(0, 0), (71, 3), (30, 5)]  # the first two touch azimuth 0/360
        for i, j in echo_boxes:
            dbz[0, 2 * i : 2 * i + 2, 20 * j : 20 * j + 20] += 30.0
        az = np.arange(R) * 2.5 + 1.0
        gate_range = (np.arange(G) + 0.5) * 250.0
        so = superobs(
            dbz,
            az,
            gate_range,
            0.5,
            quantity="reflectivity",
            clear_air_thin=2,
            clear_air_halo=1,
            error_floor=4.0,
        )
        echo = np.zeros((72, 8), bool)
        for i, j in echo_boxes:
            echo[i, j] = True
        near = echo.copy()
        for di in (-1, 0, 1):
            for dj in (-1, 0, 1):
                shifted = np.roll(echo, di, axis=0)  # azimuth wraps around
                shifted = np.roll(shifted, dj, axis=1)
                if dj == 1:
                    shifted[:, 0] = False
                if dj == -1:
                    shifted[:, -1] = False
                near |= shifted
        ii, jj = np.meshgrid(np.arange(72), np.arange(8), indexing="ij")
        clear = ~near & (ii % 2 == 0) & (jj % 2 == 0)
        got_clear = {tuple(b[1:]) for b in so.box[so.clear_air].tolist()}
        assert got_clear == set(zip(*np.nonzero(clear)))
        assert {tuple(b[1:]) for b in so.box[~so.clear_air].tolist()} == set(echo_boxes)
        assert (so.value[so.clear_air] == 0.0).all() and (so.error[so.clear_air] == 4.0).all()
        assert (1, 0) not in got_clear and (70, 2) not in got_clear  # halo across 0/360

    def test_single_gate_boxes_give_back_their_gate_to_a_few_ulp(self):
        # The kernel's own linear Z and sine and cosine of the phase, over their whole
        # range: a box of one gate is that gate (reflectivity through 10 log10 of its
        # linear Z; velocity folded into [-V, V] through the angle of its sine and
        # cosine, with coherence 1).
        eps, n = np.finfo(float).eps, 4000
        rng = 500.0 * np.arange(n) + 250.0
        one = dict(d_range=500.0, echo_threshold=-np.inf, **KEEP_ALL)
        dbz = np.linspace(-300.0, 300.0, n)
        dbz[:6] = [0.0, -0.0, 1e-300, 2.5e-14, 10 / 3, 99.999]
        so = superobs(dbz[None], [0.5], rng, 0.5, quantity="reflectivity", **one)
        assert (np.abs(so.value - dbz) <= 4 * eps * (10 / np.log(10) + np.abs(dbz))).all()
        ny = 12.5
        v = np.linspace(-40 * ny, 40 * ny, n)
        v[:3] = [0.0, ny, -ny]
        so = superobs(v[None], [0.5], rng, 0.5, quantity="velocity", nyquist=ny, **one)
        x = v / ny
        miss = so.value - ny * (x - 2 * np.round(x / 2))
        miss -= 2 * ny * np.round(miss / (2 * ny))  # +V and -V are one point of the circle
        assert (np.abs(miss) <= 4 * eps * (ny + np.abs(v))).all()
        assert (np.abs(so.coherence - 1.0) <= 4 * eps).all()

    def test_same_bits_for_every_thread_count_and_sweep_chunking(self):
        values, az, el, gate_range, t = volume(gates=300)
        args = dict(quantity="velocity", nyquist=3.0, time=t, **KEEP_ALL)
        runs = [superobs(values, az, gate_range, el, n_threads=n, **args) for n in (1, 2, 3)]
        for run in runs[1:]:
            for a, b in zip(runs[0][:20], run[:20]):
                np.testing.assert_array_equal(a, b)
        one = superobs(
            values[1],
            az[1],
            gate_range,
            el[1],
            quantity="velocity",
            nyquist=3.0,
            time=t[1],
            **KEEP_ALL,
        )
        second = runs[0].box[:, 0] == 1
        np.testing.assert_array_equal(one.value, runs[0].value[second])
        np.testing.assert_array_equal(one.std, runs[0].std[second])

    @pytest.mark.parametrize(
        "over, message",
        [
            (dict(quantity="speed"), "quantity"),
            (dict(nyquist=-1.0), "nyquist must be positive"),
            (dict(d_range=0.0), "d_range"),
            (dict(grid=([0.0, 1.0], [1.0, 0.0])), "increasing"),
            (dict(elevation=np.zeros(5)), "elevation has shape"),
            (dict(latitude=10.0), "both latitude and longitude"),
        ],
    )
    def test_bad_arguments_are_named(self, over, message):
        values, az, el, gate_range, _ = volume()
        args = dict(values=values, azimuth=az, range=gate_range, elevation=el, quantity="velocity")
        args.update(over)
        with pytest.raises(ValueError, match=message):
            superobs(**args)

    def test_examples_in_the_docstrings_run(self):
        import doctest
        import sys

        module = sys.modules["kestrum.superobs"]  # the function of that name hides the module
        result = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
        assert result.attempted > 0 and result.failed == 0

    def test_site_at_0n_0e_altitude_0_warns(self):
        values, az, el, gate_range, _ = volume()
        with pytest.warns(UserWarning, match="0N 0E"):
            superobs(values, az, gate_range, el, quantity="other", latitude=0.0, longitude=0.0)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            superobs(
                values,
                az,
                gate_range,
                el,
                quantity="other",
                latitude=0.0,
                longitude=0.0,
                altitude=10.0,
            )


# --- a real volume, to files -------------------------------------------------------------


SITE = dict(latitude=35.333, longitude=-97.278, altitude=370.0)


@pytest.fixture(scope="session")
def nexrad():
    pyart = pytest.importorskip("pyart")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return pyart.io.read(pyart.testing.NEXRAD_ARCHIVE_MSG1_FILE)


class TestNexrad:
    def test_positions_agree_with_pyart(self, nexrad):
        import pyart

        with pytest.warns(UserWarning, match="0N 0E"):  # a message-1 file has no site
            superobs_pyart(nexrad, "velocity", min_count=10)
        so = superobs_pyart(nexrad, "velocity", min_count=10, **SITE)
        assert so.value.size > 50
        x, y, z = pyart.core.antenna_to_cartesian(so.range / 1000.0, so.azimuth, so.elevation)
        lon, lat = pyart.core.cartesian_to_geographic_aeqd(
            x, y, SITE["longitude"], SITE["latitude"]
        )
        metres = np.deg2rad(1.0) * 6371e3
        np.testing.assert_allclose(so.latitude, lat, atol=1.0 / metres, rtol=0)
        np.testing.assert_allclose(
            (so.longitude - lon) * np.cos(np.deg2rad(lat)), 0, atol=1.0 / metres
        )
        np.testing.assert_allclose(so.height, z + SITE["altitude"], atol=1.0)

    def test_dart_file_read_back_by_pydartdiags(self, nexrad, tmp_path):
        obs_sequence = pytest.importorskip("pydartdiags.obs_sequence.obs_sequence")
        vel = superobs_pyart(nexrad, "velocity", min_count=10, **SITE)
        dbz = superobs_pyart(nexrad, "reflectivity", sweeps=[0, 1], **SITE)
        assert dbz.clear_air.any() and (~dbz.clear_air).any()
        path = tmp_path / "obs_seq.out"
        counts = kestrum.write_dart_obs_seq(path, vel.to_dart() + dbz.to_dart())
        assert counts.written == vel.value.size + dbz.value.size
        df = obs_sequence.ObsSequence(str(path)).df
        kinds = df["type"].value_counts().to_dict()
        assert kinds == {
            "DOPPLER_RADIAL_VELOCITY": vel.value.size,
            **{
                k: v
                for k, v in (
                    ("RADAR_REFLECTIVITY", int((~dbz.clear_air).sum())),
                    ("RADAR_CLEARAIR_REFLECTIVITY", int(dbz.clear_air.sum())),
                )
                if v
            },
        }
        # Records are in time order: compare them box by box in that order.
        rv = df[df["type"] == "DOPPLER_RADIAL_VELOCITY"]
        seconds = (vel.time.astype("datetime64[ms]").astype(np.int64) + 500) // 1000
        order = np.argsort(seconds, kind="stable")
        for column, expected in (
            ("observation", vel.value),
            ("obs_err_var", vel.error**2),
            ("latitude", vel.latitude),
            ("vertical", vel.height),
        ):
            np.testing.assert_allclose(rv[column], expected[order], rtol=1e-12, atol=1e-9)

    def test_xradar_sweep_gives_what_pyart_gives(self, nexrad):
        xr = pytest.importorskip("xarray")
        sweep = 1
        rows = nexrad.get_slice(sweep)
        base = np.datetime64(nexrad.time["units"].split("since")[1].strip().rstrip("Z"), "ms")
        ds = xr.Dataset(
            {
                "VRADH": (
                    ("azimuth", "range"),
                    nexrad.fields["velocity"]["data"][rows].filled(np.nan),
                    {"units": "m/s"},
                ),
                "nyquist_velocity": (
                    "azimuth",
                    nexrad.instrument_parameters["nyquist_velocity"]["data"][rows],
                ),
            },
            coords={
                "azimuth": nexrad.azimuth["data"][rows],
                "range": nexrad.range["data"],
                "elevation": ("azimuth", nexrad.elevation["data"][rows]),
                "time": (
                    "azimuth",
                    base + np.rint(nexrad.time["data"][rows] * 1000).astype("m8[ms]"),
                ),
                **SITE,
            },
        )
        got = kestrum.superobs_xradar(ds, "VRADH", min_count=10)
        want = superobs_pyart(nexrad, "velocity", sweeps=[sweep], min_count=10, **SITE)
        assert got.value.size > 20
        np.testing.assert_array_equal(got.box[:, 1:], want.box[:, 1:])
        for name in ("value", "std", "count", "azimuth", "range", "latitude", "height", "nyquist"):
            np.testing.assert_array_equal(getattr(got, name), getattr(want, name), err_msg=name)
        np.testing.assert_array_equal(got.time, want.time)
        table = got.to_dataset()
        np.testing.assert_array_equal(table["value"].values, got.value)
        assert table.sizes["box"] == got.value.size and table.attrs["quantity"] == "velocity"

    def test_wrfda_file_read_back_with_its_formats(self, nexrad, tmp_path):
        from test_obsfiles import read_wrfda

        grid = (
            np.arange(-60e3, 60.1e3, 10e3),
            np.arange(-60e3, 60.1e3, 10e3),
            np.arange(0.0, 6001.0, 1000.0),
        )
        vel = superobs_pyart(nexrad, "velocity", grid=grid, min_count=5, max_std=10.0, **SITE)
        dbz = superobs_pyart(nexrad, "reflectivity", grid=grid, **SITE)
        radar = vel.to_wrfda("KTLX", dbz)
        path = tmp_path / "ob.radar"
        kestrum.write_wrfda_radar(path, radar)
        (got,) = read_wrfda(path)
        cols = np.unique(np.concatenate([s.box[:, 1] * 12 + s.box[:, 2] for s in (vel, dbz)]))
        assert got["columns"] == cols.size and got["levels"] == 6
        col_of = {int(k): i for i, k in enumerate(cols)}
        for so, at in ((vel, 1), (dbz, 4)):
            for k, b in enumerate(so.box.tolist()):
                _, levels = got["cols"][col_of[b[1] * 12 + b[2]]]
                row = levels[b[0]]
                assert row[0] == pytest.approx(500.0 + 1000.0 * b[0])
                assert row[at] == pytest.approx(so.value[k], abs=5e-4)
                assert row[at + 2] == pytest.approx(so.error[k], abs=5e-4)
