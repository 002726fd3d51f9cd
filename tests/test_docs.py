"""The documentation site: Sphinx builds it without a warning and a browser renders it."""

from __future__ import annotations

import inspect
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import kestrum

ROOT = Path(__file__).resolve().parent.parent
FUNCTIONS = [n for n in kestrum.__all__ if inspect.isfunction(getattr(kestrum, n))]


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    pytest.importorskip("sphinx", reason="the docs extra is not installed")
    pytest.importorskip("myst_parser", reason="the docs extra is not installed")
    out = tmp_path_factory.mktemp("html")
    done = subprocess.run(
        [sys.executable, "-m", "sphinx", "-E", "-W", "--keep-going", "-q", "-b", "html",
         str(ROOT / "docs"), str(out)],
        capture_output=True, text=True, timeout=600,
    )
    return out, done


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if path := shutil.which(name):
            return path
    pytest.skip("no chromium on this machine (Debian: apt-get install chromium)")


def rendered(page, tmp_path):
    """The page's DOM after the browser has loaded and laid it out."""
    done = subprocess.run(
        [chromium(), "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={tmp_path}",
         "--dump-dom", page.as_uri()],
        capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


class TestSite:
    def test_builds_without_warnings(self, site):
        _, done = site
        assert done.returncode == 0 and "WARNING" not in done.stderr, done.stderr[-5000:]

    def test_native_contracts_and_benchmarks_come_from_the_readme(self, site):
        out, done = site
        assert done.returncode == 0
        native = (out / "_generated" / "native.html").read_text()
        for name in ("format_wrfda", "format_dart", "cos_el", "min_valid", "n_threads"):
            assert name in native
        assert "peer/ours" in (out / "_generated" / "benchmarks.html").read_text()

    def test_index_and_api_pages_render_the_function_list(self, site, tmp_path):
        out, done = site
        assert done.returncode == 0
        assert len(FUNCTIONS) >= 13
        index = rendered(out / "index.html", tmp_path)
        for name in FUNCTIONS:
            assert re.search(rf'href="api\.html#kestrum\.{name}"', index), name
        api = rendered(out / "api.html", tmp_path)
        for name in FUNCTIONS:
            assert f'id="kestrum.{name}"' in api, name
        assert api.count('class="sig-name descname"') >= len(FUNCTIONS)
        assert "Parameters" in api and "Returns" in api
