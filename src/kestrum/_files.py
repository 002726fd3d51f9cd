"""Files written atomically: whole or not at all, whatever the format."""

from __future__ import annotations

import errno
import os
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import IO, Union

PathLike = Union[str, "os.PathLike[str]"]


def _umask() -> int:
    # Reading the umask through os.umask means setting it for a moment, which races with
    # other threads creating files; Linux shows it in /proc without that.
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except OSError:
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


@contextmanager
def atomic(path: PathLike) -> Iterator[IO[bytes]]:
    """A file in the target's folder that replaces the target only when complete."""
    target = Path(os.fspath(path))
    folder = target.parent
    if not folder.is_dir():
        # Said here, or the error would name the temporary file.
        raise FileNotFoundError(errno.ENOENT, "no such folder for the file", str(folder))
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=f".{target.name}.", suffix=".part")
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        # mkstemp makes the file private; give it the mode a plain open() would have.
        try:
            mode = target.stat().st_mode & 0o7777
        except FileNotFoundError:
            mode = 0o666 & ~_umask()
        os.chmod(tmp, mode)
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
