"""The block runner: thread-count rule, hand-out, ordering and failure handling."""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
SRC = HERE.parent / "src"
CXX = shutil.which(os.environ.get("CXX", "c++")) or shutil.which("g++")
CC = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")


def build(tmp_path_factory, compiler, source, name, *flags):
    """Compiles one of the native test programs into a fresh folder."""
    out = tmp_path_factory.mktemp(name) / name
    subprocess.run(
        [compiler, "-O1", str(HERE / "native" / source), "-o", str(out), *flags], check=True
    )
    return out


@pytest.fixture(scope="module")
def driver(tmp_path_factory, sanitizer_flags):
    if CXX is None:
        pytest.skip("no C++ compiler to build the runner driver")
    exe = build(
        tmp_path_factory,
        CXX,
        "runner_driver.cpp",
        "runner_driver",
        "-std=c++20",
        "-pthread",
        "-Wall",
        "-Wextra",
        "-Werror",
        f"-I{SRC}",
        *sanitizer_flags,
    )

    def run(*args):
        done = subprocess.run(
            [str(exe), *map(str, args)], capture_output=True, text=True, timeout=60
        )
        assert done.returncode == 0, done.stderr
        return done.stdout.strip()

    return run


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    if CC is None:
        pytest.skip("no C compiler to build the pthread_create shim")
    return build(
        tmp_path_factory,
        CC,
        "fail_pthread_create.c",
        "libfailthread.so",
        "-shared",
        "-fPIC",
        "-ldl",
    )


class TestThreadCount:
    @pytest.mark.parametrize(
        "blocks, n_threads, team",
        [
            (16, 8, 8),  # enough blocks: the request holds
            (2, 32, 2),  # 100 items of 64: one thread besides the caller
            (1, 32, 1),  # a single block never starts a thread
            (1000, 1, 1),
            (3, 5, 3),
        ],
    )
    def test_team_is_the_request_capped_by_blocks(self, driver, blocks, n_threads, team):
        assert driver("team", blocks, n_threads) == str(team)

    @pytest.mark.parametrize("n_threads", [0, -5])
    def test_zero_or_negative_asks_the_hardware(self, driver, n_threads):
        hw = os.cpu_count()
        assert driver("team", 10_000, n_threads) == str(min(hw, 10_000))


class TestHandOut:
    @pytest.mark.parametrize(
        "n, block, n_threads",
        [
            (0, 64, 4),
            (1, 64, 4),
            (64, 64, 8),
            (65, 64, 8),
            (130, 64, 3),
            (1000, 8, 4),
            (1000, 4096, 0),
        ],
    )
    def test_every_item_exactly_once(self, driver, n, block, n_threads):
        out = driver("items", n, block, n_threads).split()
        calls, threads = (int(out[1]), int(out[2])), int(out[4])
        if n == 0:
            assert (calls, threads) == ((0, 0), 0)
        else:
            assert calls == (1, 1)
            assert 1 <= threads <= min(n_threads or os.cpu_count(), -(-n // block))

    def test_single_block_stays_on_the_calling_thread(self, driver):
        assert driver("items", 64, 64, 32).split()[4] == "1"

    def test_ranges_of_256_cut_at_n(self, driver):
        assert driver("ranges", 600, 4).splitlines() == ["0 256", "256 512", "512 600"]
        assert driver("ranges", 0, 4) == ""


class TestFailures:
    @pytest.mark.parametrize("n_threads", [1, 2, 4])
    def test_exception_in_a_body_reaches_the_caller_after_the_join(self, driver, n_threads):
        assert driver("throw", 20_000, n_threads, 70) == "caught item 70; stopped early"

    @pytest.mark.parametrize("k", [1, 3])
    def test_thread_that_cannot_start_raises_and_the_interpreter_survives(self, shim, k):
        script = textwrap.dedent(
            f"""
            import ctypes, threading, numpy as np, _kestrum
            # ThreadSanitizer starts a helper thread at the first thread start of a process:
            # have that happen before the countdown is armed.
            first = threading.Thread(target=int)
            first.start()
            first.join()
            vr = np.random.default_rng(0).normal(size=(64 * 16, 50))
            az = np.tile(np.linspace(0, 6, 50), (64 * 16, 1))
            good = _kestrum.vad(vr, az, np.ones(64 * 16), 3, 0.0, n_threads=1)
            ctypes.CDLL({str(shim)!r}).fail_nth_thread({k})
            try:
                _kestrum.vad(vr, az, np.ones(64 * 16), 3, 0.0, n_threads=8)
            except RuntimeError as error:
                print("RuntimeError:", error)
            again = _kestrum.vad(vr, az, np.ones(64 * 16), 3, 0.0, n_threads=8)
            print("same" if np.array_equal(good, again, equal_nan=True) else "different")
            """
        )
        # A sanitizer runtime already preloaded must stay first in the list.
        preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
        env = dict(os.environ, LD_PRELOAD=preload, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
        done = subprocess.run(
            [sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120
        )
        assert done.returncode == 0, done.stderr
        assert done.stdout.splitlines() == ["RuntimeError: " + os.strerror(11), "same"]


class TestInterrupt:
    # A perturbation that takes seconds on one thread; the signal arrives well inside it.
    SCRIPT = textwrap.dedent(
        """
        import os, signal, threading, time
        import numpy as np, _ensemble
        n, members = 1_000_000, 60
        fields = [np.full(n, v) for v in (30.0, 1.0, 50.0, 0.95, 5.0)]
        fac, bias = np.ones((6, n)), np.zeros(members)
        # Reflectivity only: seconds of work with a result of a few hundred megabytes.
        flags = 1
        sent = []
        def interrupt():
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)
        threading.Timer(0.3, interrupt).start()
        try:
            _ensemble.perturb(*fields, flags, fac, bias, bias, 1, 2, 0, n_threads={n_threads})
            print("finished")
        except KeyboardInterrupt:
            print("interrupted %.3f" % (time.perf_counter() - sent[0]))
        small = _ensemble.perturb(*[f[:5] for f in fields], 31, fac[:, :5], bias, bias, 1, 2, 0)
        print("works" if small.shape == (members, 5, 5) else "broken")
        """
    )

    @pytest.mark.parametrize("n_threads", [1, 2])
    def test_ctrl_c_stops_a_threaded_call(self, n_threads):
        done = subprocess.run(
            [sys.executable, "-c", self.SCRIPT.format(n_threads=n_threads)],
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert done.returncode == 0, done.stderr
        first, second = done.stdout.split("\n")[:2]
        assert first.startswith("interrupted") and second == "works"
        # The runner asks every 50 ms; the rest is slack for a loaded machine.
        assert float(first.split()[1]) < 1.0


class TestModules:
    MODULES = {
        "_kestrum": (
            "Cold-pool, wind-profile and baroclinity kernel (multithreaded).",
            ["thermo", "cold_pool", "profile", "profile_checked", "gradient", "vad", "vad_sweeps"],
        ),
        "_ensemble": (
            "Random measurement errors and ensemble statistics",
            ["perturb", "statistics", "mode", "words"],
        ),
        "_tavolin": (
            "Threaded text formatter of the WRFDA and DART observation writers",
            ["format_dart", "format_wrfda"],
        ),
    }

    @pytest.mark.parametrize("name", MODULES)
    def test_docstring_and_functions_in_registration_order(self, name):
        module = __import__(name)
        doc, functions = self.MODULES[name]
        assert module.__doc__ == doc
        assert [k for k, v in vars(module).items() if callable(v)] == functions
        for function in functions:
            signature = getattr(module, function).__doc__.strip()
            assert signature.startswith(function + "(") and "\n" not in signature
