"""SHA-256 of every function's output on the benchmark inputs: a change to a kernel that
is meant to be faster only must leave every line of this output as it was.

    python benchmarks/hashes.py            # print the hashes
    python benchmarks/hashes.py --check    # compare with benchmarks/hashes.txt
    python benchmarks/hashes.py --write    # record them there

Every case runs at a tenth of its benchmark size and on the small input with missing
data that the harness checks the peers on, with one thread and with all threads.
"""

from __future__ import annotations

import argparse
import hashlib
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from common import all_threads  # noqa: E402
from run import cases  # noqa: E402

RECORD = HERE / "hashes.txt"
SCALE = 0.1


def digest(result) -> str:
    h = hashlib.sha256()
    parts = result if isinstance(result, tuple) else (result,)
    for part in parts:
        if isinstance(part, bytes):
            h.update(part)
        else:
            a = np.ascontiguousarray(part)
            h.update(str((a.dtype.str, a.shape)).encode())
            h.update(a.tobytes())
    return h.hexdigest()


def lines():
    for case in cases():
        builds = [("bench", lambda c=case: c.make(SCALE))]
        if case.small is not None:
            builds.append(("small", case.small))
        for kind, build in builds:
            setup = build()
            one = digest(setup.ours(1))
            many = digest(setup.ours(all_threads()))
            if one != many:
                raise SystemExit(f"{case.function} ({setup.size}): thread counts disagree")
            line = f"{case.function:<14}{kind:<7}{setup.size:<44}{one}"
            print(line, flush=True)
            yield line


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--check", action="store_true", help="compare with the record")
    group.add_argument("--write", action="store_true", help="write the record")
    args = parser.parse_args()
    got = list(lines())
    if args.write:
        RECORD.write_text("\n".join(got) + "\n")
    elif args.check:
        want = RECORD.read_text().splitlines()
        if got != want:
            for a, b in zip(want, got):
                if a != b:
                    print(f"changed:\n  was {a}\n  now {b}")
            raise SystemExit("outputs differ from the record")
        print("all outputs identical to the record")


if __name__ == "__main__":
    main()
