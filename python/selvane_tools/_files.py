"""Writing files so that a reader never sees them half-written."""

from __future__ import annotations

import os
import tempfile

from .errors import SelvaneError

__all__ = ["write_atomically"]


def write_atomically(path: str | os.PathLike[str], data: bytes, *, overwrite: bool = True) -> None:
    """Writes `data` to `path` through a temporary file in the same directory.

    The file is flushed to disk before it takes the name, so after a crash or
    a kill the name holds either the old content or the new one, never a mix.
    Without `overwrite`, an existing `path` is a `SelvaneError` and is left
    alone: the temporary file is linked, which fails rather than replaces.
    """
    target = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(target))
    try:
        fd, temporary = tempfile.mkstemp(prefix=".selvane-", suffix=".tmp", dir=directory)
    except OSError as error:
        raise SelvaneError(f"cannot write {target}: {error.strerror or error}") from error
    try:
        try:
            with os.fdopen(fd, "wb") as sink:
                sink.write(data)
                sink.flush()
                os.fsync(sink.fileno())
            # mkstemp makes the file private (0600); a model is an ordinary
            # file, readable as the umask allows.
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)
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
