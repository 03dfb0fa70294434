"""Writing files so that a reader never sees them half-written."""

from __future__ import annotations

import os

from .errors import SelvaneError

__all__ = ["create_temporary", "write_atomically"]


def create_temporary(directory: str) -> tuple[int, str]:
    """Creates a new file in `directory` under a random hidden name and
    returns its descriptor and path. It gets the mode of any new file
    (0o666 less the umask), as it is to take the place of one."""
    while True:
        path = os.path.join(directory, f".selvane-{os.urandom(6).hex()}.tmp")
        try:
            return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666), path
        except FileExistsError:
            continue


def write_atomically(path: str | os.PathLike[str], data: bytes, *, overwrite: bool = True,
                     durable: bool = True) -> None:
    """Writes `data` to `path` through a temporary file in the same directory.

    Another process sees either the old content or the new one, never a mix,
    and so does the disk after a crash when `durable` (the file is flushed
    to disk before it takes the name).
    Without `overwrite`, an existing `path` is a `SelvaneError` and is left
    alone: the temporary file is linked, which fails rather than replaces.
    """
    target = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(target))
    try:
        fd, temporary = create_temporary(directory)
    except OSError as error:
        raise SelvaneError(f"cannot write {target}: {error.strerror or error}") from error
    try:
        try:
            with os.fdopen(fd, "wb") as sink:
                sink.write(data)
                if durable:
                    sink.flush()
                    os.fsync(sink.fileno())
            if overwrite:
                os.replace(temporary, target)
            else:
                os.link(temporary, target)
        except FileExistsError as error:
            raise SelvaneError(f"{target} exists already; not overwriting it") from error
        except IsADirectoryError as error:
            raise SelvaneError(f"cannot write {target}: it is a directory") from error
        except OSError as error:
            raise SelvaneError(f"cannot write {target}: {error.strerror or error}") from error
    finally:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
