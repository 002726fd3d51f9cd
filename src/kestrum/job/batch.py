"""Many volumes to one DART file and one WRFDA file, on this machine or a Dask cluster.

Each volume is read and processed whole by one worker process, which sends back only
its observations (a few thousand numbers), so memory stays bounded by the volumes in
flight. The results are put in time order (then by radar name and file name) before
anything is written, so the files do not depend on which worker finished first, and
each file is written once, atomically, at the end: an interrupted run leaves none.
"""

from __future__ import annotations

import os
import signal
import time
import traceback
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from ..obsfiles import WriteCounts, write_dart_obs_seq, write_wrfda_radar
from .config import Config
from .pipeline import STEPS, VolumeObservations, observations
from .volume import from_object, open_volume, reader_module

__all__ = ["Failure", "JobResult", "process_file", "run", "summary"]


@dataclass
class Failure:
    """A volume that gave no observations, and why."""

    source: str
    stage: str
    """``"read"`` (the file could not be read), ``"process"`` or ``"window"`` (outside
    the time window: not an error)."""
    message: str

    @property
    def error(self) -> bool:
        return self.stage != "window"


@dataclass
class JobResult:
    volumes: list[VolumeObservations] = field(default_factory=list)
    """Volumes with observations, in file order (time, radar, file name)."""
    failures: list[Failure] = field(default_factory=list)
    dart: WriteCounts | None = None
    wrfda: WriteCounts | None = None

    @property
    def ok(self) -> bool:
        return bool(self.volumes) and not any(f.error for f in self.failures)


def process_file(
    path: str,
    reader: str,
    config: Config,
    window: tuple[Any, Any] | None = None,
    wrfda: bool = True,
    n_threads: int = 0,
) -> VolumeObservations | Failure:
    """Read and process one file; every error comes back as a :class:`Failure` naming it."""
    reader_module(reader)  # imported once per process, outside the volume's time
    start = time.perf_counter()
    try:
        obj = open_volume(path, reader)
    except KeyboardInterrupt:
        raise
    except Exception as e:  # noqa: BLE001  (any reader error: the file is reported and skipped)
        return Failure(path, "read", f"{type(e).__name__}: {e}")
    decode = time.perf_counter() - start
    try:
        volume = from_object(obj, config.fields)
        del obj
        if window is not None and not (window[0] <= volume.start <= window[1]):
            return Failure(
                path, "window", f"volume time {volume.start} is outside {window[0]} .. {window[1]}"
            )
        obs = observations(volume, config, wrfda=wrfda, n_threads=n_threads)
    except KeyboardInterrupt:
        raise
    except Exception as e:  # noqa: BLE001  (named in the summary and the exit status)
        detail = traceback.format_exception_only(type(e), e)[-1].strip()
        return Failure(path, "process", detail)
    obs.seconds["read"] += decode
    obs.source = path
    return obs


def _ignore_sigint() -> None:
    # The parent decides when to stop; a worker that took Ctrl-C itself would die
    # mid-volume with a traceback of its own.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _call(args: tuple[Any, ...]) -> VolumeObservations | Failure:
    return process_file(*args)


def _local(tasks: list[tuple[Any, ...]], workers: int) -> Iterator[VolumeObservations | Failure]:
    if workers <= 1 or len(tasks) <= 1:
        for t in tasks:
            yield _call(t)
        return
    import multiprocessing

    # Workers start from a clean server process, not a fork of this one, which may hold
    # threads (a Dask client, a progress bar) that a fork would copy mid-lock.
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    pool = multiprocessing.get_context(method).Pool(
        min(workers, len(tasks)), initializer=_ignore_sigint
    )
    try:
        yield from pool.imap_unordered(_call, tasks, chunksize=1)
        pool.close()
    except BaseException:
        # Ctrl-C or an error: the workers stop now, their volumes are dropped.
        pool.terminate()
        raise
    finally:
        pool.join()


def _dask(tasks: list[tuple[Any, ...]], address: str) -> Iterator[VolumeObservations | Failure]:
    try:
        import importlib

        distributed = importlib.import_module("distributed")
        Client, as_completed = distributed.Client, distributed.as_completed
    except ImportError:
        raise ImportError(
            "--scheduler needs Dask distributed: pip install 'dask[distributed]'"
        ) from None
    with Client(address) as client:
        futures = [
            client.submit(
                _call, t, pure=False, key=f"kestrum-obs-{i}-{os.getpid()}-{time.time_ns()}"
            )
            for i, t in enumerate(tasks)
        ]
        source = {f.key: t[0] for f, t in zip(futures, tasks)}
        try:
            for future in as_completed(futures):
                try:
                    yield future.result()
                except Exception as e:  # noqa: BLE001  (a worker lost with its volume: named, not fatal)
                    yield Failure(
                        source[future.key], "process", f"{type(e).__name__} on the cluster: {e}"
                    )
                future.release()
        except BaseException:
            client.cancel(futures)
            raise


def _order(v: VolumeObservations) -> tuple[Any, ...]:
    return (v.time, v.name, v.source)


def run(
    paths: Sequence[str | os.PathLike[str]],
    *,
    dart: str | os.PathLike[str] | None = None,
    wrfda: str | os.PathLike[str] | None = None,
    config: Config | None = None,
    reader: str = "pyart",
    window: tuple[Any, Any] | None = None,
    workers: int = 0,
    threads: int = 0,
    scheduler: str | None = None,
    progress: Callable[[Iterable[Any], int], Iterable[Any]] | None = None,
) -> JobResult:
    """Observations of many volumes into one DART file and/or one WRFDA file.

    Parameters
    ----------
    paths : sequence of path
        Volume files, any format the reader knows.
    dart, wrfda : path, optional
        Files to write (each only if given).
    config : Config, optional
        Settings of every step (defaults when not given).
    reader : {"pyart", "xradar"}
        Library that reads the files.
    window : (numpy.datetime64, numpy.datetime64), optional
        Only volumes whose first ray is within [start, end] (both included).
    workers : int, optional
        Worker processes on this machine (0: one per core); 1 runs in this process.
    threads : int, optional
        Threads of the native steps in each worker (0: the cores divided among the
        workers).
    scheduler : str, optional
        Address of a Dask distributed scheduler: the volumes go to its workers.
    progress : callable, optional
        ``progress(iterable, total)`` wrapping the results as they arrive (a bar).

    Returns
    -------
    JobResult
        The volumes' observations in file order, the failures, and what each writer
        wrote. Nothing is written when no volume gave observations.
    """
    config = config if config is not None else Config()
    cores = os.cpu_count() or 1
    workers = workers or cores
    if not threads:
        threads = 1 if scheduler else max(1, cores // max(1, min(workers, len(paths))))
    tasks = [(os.fspath(p), reader, config, window, wrfda is not None, threads) for p in paths]
    results: Iterable[VolumeObservations | Failure] = (
        _dask(tasks, scheduler) if scheduler else _local(tasks, workers)
    )
    if progress is not None:
        results = progress(results, len(tasks))
    job = JobResult()
    for r in results:
        if isinstance(r, Failure):
            job.failures.append(r)
        else:
            job.volumes.append(r)
    job.volumes.sort(key=_order)
    job.failures.sort(key=lambda f: f.source)
    if job.volumes:
        if dart is not None:
            job.dart = write_dart_obs_seq(dart, [b for v in job.volumes for b in v.dart])
        if wrfda is not None:
            job.wrfda = write_wrfda_radar(
                wrfda, [v.wrfda for v in job.volumes if v.wrfda is not None]
            )
    return job


def summary(job: JobResult) -> str:
    """The per-volume, per-step table the command prints."""
    tests = sorted(
        {t for v in job.volumes for f in v.fates.values() for t, n in f.by_test.items() if n}
    )
    head = (
        ["volume", "time", "moment", "gates"]
        + [f"qc:{t}" for t in tests]
        + ["folds", "unres", "kept", "dropped", "obs"]
        + [f"s:{s}" for s in STEPS]
        + ["s:all"]
    )
    rows = []
    total: dict[str, float] = {}
    for v in job.volumes:
        for m, f in v.fates.items():
            first = m == "velocity"
            row = [
                Path(v.source).name if first else "",
                str(v.time.astype("datetime64[s]")) if first else "",
                m,
                f.read,
                *[f.by_test.get(t, 0) for t in tests],
                f.folds_moved,
                f.unresolved,
                f.in_kept_box,
                f.in_dropped_box,
                f.boxes,
            ]
            secs = [v.seconds.get(s, 0.0) for s in STEPS]
            row += [f"{x:.3f}" for x in secs + [sum(secs)]] if first else [""] * (len(STEPS) + 1)
            rows.append([str(x) for x in row])
        for s in STEPS:
            total[s] = total.get(s, 0.0) + v.seconds.get(s, 0.0)
    if job.volumes:
        n = len(job.volumes)
        mean = [total[s] / n for s in STEPS]
        rows.append(
            [
                "mean per volume",
                "",
                "",
                "",
                *[""] * (len(head) - 4 - len(STEPS) - 1),
                *[f"{x:.3f}" for x in mean + [sum(mean)]],
            ]
        )
    widths = [
        max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(head)
    ]
    lines = [
        "  ".join(h.ljust(w) if i < 3 else h.rjust(w) for i, (h, w) in enumerate(zip(head, widths)))
    ]
    lines += [
        "  ".join(c.ljust(w) if i < 3 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
        for r in rows
    ]
    for failure in job.failures:
        lines.append(
            f"{'FAILED' if failure.error else 'skipped'} {failure.source}: "
            f"{'unreadable: ' if failure.stage == 'read' else ''}{failure.message}"
        )
    for name, counts in (("DART", job.dart), ("WRFDA", job.wrfda)):
        if counts is not None:
            lines.append(f"{name}: {counts.written} observations written, {counts.missing} missing")
    return "\n".join(lines)


def as_datetime(text: str) -> np.datetime64:
    """An ISO 8601 time (``2024-05-01T22:00``, a trailing ``Z`` allowed) as UTC."""
    try:
        return np.datetime64(text.strip().rstrip("Z").replace(" ", "T"), "ms")
    except ValueError:
        raise ValueError(f"{text!r} is not an ISO 8601 time such as 2024-05-01T22:00:00") from None
