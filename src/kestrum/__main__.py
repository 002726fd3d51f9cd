"""The ``kestrum`` command (also ``python -m kestrum``).

``kestrum`` or ``kestrum info``: the version, where the native modules are, and what is
installed. ``kestrum obs VOLUME... --dart obs_seq.out --wrfda ob.radar``: radar volumes
to observation files (``kestrum obs --help``).
"""

from __future__ import annotations

import argparse
import importlib.metadata
import importlib.util
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import _ensemble
import _kestrum
import _tavolin
import kestrum

#: Optional dependencies: import name and distribution name.
OPTIONAL = [
    ("xarray", "xarray"),
    ("dask", "dask"),
    ("pint", "pint"),
    ("pyart", "arm_pyart"),
    ("xradar", "xradar"),
    ("tqdm", "tqdm"),
    ("matplotlib", "matplotlib"),
]


def report() -> str:
    lines = [f"kestrum {kestrum.__version__}", f"  package: {os.path.dirname(kestrum.__file__)}"]
    for module in (_kestrum, _ensemble, _tavolin):
        lines.append(f"  {module.__name__}: {module.__file__}")
    # The native runner sizes n_threads=0 by the processors the system has online.
    lines.append(f"hardware threads: {os.cpu_count()}")
    lines.append("optional dependencies:")
    for name, dist in OPTIONAL:
        # Looked up without importing: Py-ART in particular is slow to import.
        if importlib.util.find_spec(name) is None:
            found = "not installed"
        else:
            try:
                found = importlib.metadata.version(dist)
            except importlib.metadata.PackageNotFoundError:
                found = "installed"
        lines.append(f"  {name}: {found}")
    return "\n".join(lines)


OBS_HELP = """\
Radar volumes in, observation files out: each volume is read, quality-controlled,
dealiased and averaged into superobservations, and all volumes' observations go into one
DART obs_seq file and/or one WRFDA radar file, in time order with one numbering.

exit status: 0 every volume gave observations; 1 a volume could not be read or processed
(it is named, and the files hold the others) or none gave any; 2 a wrong argument or
configuration; 130 interrupted (no file written).
"""


def _obs_parser(sub: Any) -> argparse.ArgumentParser:
    p: argparse.ArgumentParser = sub.add_parser(
        "obs",
        help="radar volumes to DART and WRFDA observation files",
        description=OBS_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument(
        "volumes", nargs="*", metavar="VOLUME", help="volume files (NEXRAD, CfRadial, ...)"
    )
    p.add_argument("--dart", metavar="FILE", help="DART obs_seq file to write")
    p.add_argument("--wrfda", metavar="FILE", help="WRFDA radar observation file to write")
    p.add_argument("--config", metavar="TOML", help="settings (see --print-config for every key)")
    p.add_argument(
        "--window",
        nargs=2,
        metavar=("START", "END"),
        help="only volumes whose first ray is in [START, END] (ISO 8601, UTC)",
    )
    p.add_argument(
        "--reader",
        choices=("pyart", "xradar"),
        help="library that reads the files (default: Py-ART where installed, else xradar)",
    )
    p.add_argument(
        "--workers", type=int, default=0, help="processes on this machine (default: one per core)"
    )
    p.add_argument(
        "--threads",
        type=int,
        default=0,
        help="native threads per volume (default: the cores "
        "shared among the workers; 1 on a Dask cluster)",
    )
    p.add_argument(
        "--scheduler", metavar="ADDRESS", help="Dask distributed scheduler to send the volumes to"
    )
    bar = p.add_mutually_exclusive_group()
    bar.add_argument(
        "--progress",
        dest="progress",
        action="store_true",
        default=None,
        help="show a progress bar (default: when the terminal is interactive)",
    )
    bar.add_argument("--no-progress", dest="progress", action="store_false")
    p.add_argument(
        "--print-config", action="store_true", help="print the settings as TOML and exit"
    )
    return p


def _progress(enabled: bool | None) -> Any:
    if enabled is None:
        enabled = sys.stderr.isatty()
    if not enabled or importlib.util.find_spec("tqdm") is None:
        return None
    tqdm = importlib.import_module("tqdm").tqdm

    def bar(results: Any, total: int) -> Any:
        return tqdm(results, total=total, unit="volume", file=sys.stderr)

    return bar


def obs(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from . import job

    try:
        config = job.load_config(args.config)
    except (OSError, job.ConfigError) as e:
        parser.error(str(e))
    if args.print_config:
        print(config.to_toml(), end="")
        return 0
    if not args.volumes:
        parser.error("no VOLUME given")
    if args.dart is None and args.wrfda is None:
        parser.error("give --dart FILE and/or --wrfda FILE")
    for out in (args.dart, args.wrfda):
        # Said now, not after an hour of processing.
        if out is not None and not Path(out).resolve().parent.is_dir():
            parser.error(f"no folder for {out}")
    if args.workers < 0 or args.threads < 0:
        parser.error("--workers and --threads must not be negative")
    window = None
    if args.window:
        try:
            window = (job.as_datetime(args.window[0]), job.as_datetime(args.window[1]))
        except ValueError as e:
            parser.error(f"--window: {e}")
        if window[1] < window[0]:
            parser.error("--window: END is before START")
    try:
        reader = args.reader or job.default_reader()
    except ImportError as e:
        parser.error(str(e))
    try:
        result = job.run(
            args.volumes,
            dart=args.dart,
            wrfda=args.wrfda,
            config=config,
            reader=reader,
            window=window,
            workers=args.workers,
            threads=args.threads,
            scheduler=args.scheduler,
            progress=_progress(args.progress),
        )
    except KeyboardInterrupt:
        print("kestrum obs: interrupted; no file written", file=sys.stderr)
        return 130
    print(job.summary(result))
    if not result.volumes:
        print("kestrum obs: no volume gave observations; no file written", file=sys.stderr)
        return 1
    failed = [f for f in result.failures if f.error]
    if failed:
        print(
            f"kestrum obs: {len(failed)} of {len(args.volumes)} volumes failed: "
            + ", ".join(f.source for f in failed),
            file=sys.stderr,
        )
        return 1
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with ``argv`` (default: the process's arguments); returns the exit status."""
    parser = argparse.ArgumentParser(
        prog="kestrum", description="kestrum: radar data assimilation tools"
    )
    sub = parser.add_subparsers(dest="command")
    sub.add_parser("info", help="version, native modules and optional dependencies")
    obs_parser = _obs_parser(sub)
    args = parser.parse_args(argv)
    if args.command == "obs":
        return obs(args, obs_parser)
    print(report())
    return 0


if __name__ == "__main__":
    sys.exit(main())
