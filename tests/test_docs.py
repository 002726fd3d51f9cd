"""The documentation: Sphinx builds the site without a warning, a browser renders it whole,
every docstring example runs, and the README's commands and example are the real ones."""

from __future__ import annotations

import doctest
import html
import inspect
import json
import os
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
        [
            sys.executable,
            "-m",
            "sphinx",
            "-E",
            "-W",
            "--keep-going",
            "-q",
            "-b",
            "html",
            str(ROOT / "docs"),
            str(out),
        ],
        capture_output=True,
        text=True,
        timeout=600,
    )
    return out, done


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if path := shutil.which(name):
            return path
    pytest.skip("no chromium on this machine (Debian: apt-get install chromium)")


def rendered(page, tmp_path):
    """The page's DOM after the browser has loaded and laid it out in a 1280-pixel window."""
    # The browser is not under test: a sanitizer runtime preloaded for the native modules
    # (.ci/sanitizers) is not handed on to it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run(
        [
            chromium(),
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            f"--user-data-dir={tmp_path}",
            "--window-size=1280,1024",
            "--dump-dom",
            page.as_uri(),
        ],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


class TestSite:
    def test_builds_without_warnings(self, site):
        _, done = site
        assert done.returncode == 0 and "WARNING" not in done.stderr, done.stderr[-5000:]

    def test_native_contracts_and_benchmarks_have_pages(self, site):
        out, done = site
        assert done.returncode == 0
        native = (out / "native.html").read_text()
        for name in ("format_wrfda", "format_dart", "cos_el", "min_valid", "n_threads"):
            assert name in native
        assert "peer/ours" in (out / "benchmarks.html").read_text()

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

    def test_no_code_block_or_table_is_cut_off(self, site, tmp_path):
        # A script at the end of each page's body (after its style sheets) lists the code
        # blocks and tables that are wider than their box or reach past the text column.
        out, done = site
        assert done.returncode == 0
        probe = """<script>
        const column = document.querySelector("div.body").getBoundingClientRect().right;
        const cut = [...document.querySelectorAll("div.body pre, div.body table")]
            .filter(e => e.scrollWidth > e.clientWidth + 1
                         || e.getBoundingClientRect().right > column + 1)
            .map(e => e.textContent.split("\\n")
                 .reduce((a, b) => b.length > a.length ? b : a).trim().slice(0, 80));
        document.body.setAttribute("data-cut", JSON.stringify(cut));
        </script></body>"""
        pages = [
            p
            for p in out.rglob("*.html")
            if p.parent != out / "_modules" and p.name not in ("genindex.html", "search.html")
        ]
        assert len(pages) >= 12
        cut = {}
        for page in pages:
            probed = page.with_name(f"probe-{page.name}")
            probed.write_text(page.read_text().replace("</body>", probe, 1))
            found = re.search(r'data-cut="([^"]*)"', rendered(probed, tmp_path))
            assert found, page
            if lines := json.loads(html.unescape(found.group(1))):
                cut[str(page.relative_to(out))] = lines
        assert not cut, cut


def docstring_examples(obj):
    module = inspect.getmodule(obj)
    return doctest.DocTestFinder().find(obj, obj.__name__, module=module, globs=vars(module).copy())


@pytest.mark.parametrize("name", FUNCTIONS)
def test_every_public_docstring_example_runs_none_skipped(name):
    obj = getattr(kestrum, name)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    run = 0
    for test in docstring_examples(obj):
        assert not any(e.options.get(doctest.SKIP) for e in test.examples), test.name
        run += runner.run(test, clear_globs=True).attempted
    assert run > 0 and runner.failures == 0


def test_readme_quick_start_and_example_are_the_real_ones():
    readme = (ROOT / "README.md").read_text()
    assert len(readme.splitlines()) <= 250
    blocks = re.findall(r"```(\w+)\n(.*?)```", readme, re.DOTALL)
    commands = [code.strip() for lang, code in blocks if lang == "bash"]
    # CI runs the Quick start's test command as it is written.
    assert commands[1].endswith("python -m pytest -q")
    assert commands[1] in (ROOT / ".ci" / "run").read_text().splitlines()
    (example,) = [code for lang, code in blocks if lang == "python"]
    (shown,) = [code for lang, code in blocks if lang == "text"]
    done = subprocess.run(
        [sys.executable, "-c", example], capture_output=True, text=True, check=True, timeout=120
    )
    assert done.stdout == shown
