"""The companion's one way to read and write files.

Every output of the companion (models, `init`, text outputs, logs, shard
files, meta.json) is written through `atomic_output`, and every input is
checked with `check_input` or opened with `open_input`. The rules are the
extension's own:

- an output that is the same file as an input of the command (device and
  inode, links followed) is refused before anything is created;
- an output is written to a private temporary beside its target, flushed to
  disk and renamed over it, so a reader sees the old content or the new,
  never a mix; only a regular file is ever renamed over: a character device
  or a FIFO is written in place, a directory or anything else is refused;
- a symlink is written at its target and stays a link;
- the target's permission bits (and owner and group, where permitted) are
  kept; a new file gets 0o666 less the umask;
- the temporary is removed on every failure, and one left by a killed run
  (its name carries the writer's pid) is removed by the next run;
- an input is never opened unless it is a regular file, so no open blocks
  on a FIFO;
- every failure is a `SelvaneError` of one line that names the file.
"""

from __future__ import annotations

import contextlib
import errno
import io
import os
import re
import stat

from ._lifetime import die_with_parent
from .errors import SelvaneError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Iterator
    from typing import BinaryIO

    from _typeshed import ReadableBuffer

__all__ = [
    "atomic_output",
    "check_input",
    "die_with_parent",
    "open_input",
    "private_directory",
    "refuse_same_as_inputs",
    "remove_private_directory",
    "remove_stale_temporaries",
    "same_file",
    "temporary_name",
    "write_atomically",
]

# The base name in a temporary's name is cut so that the whole stays within
# the 255 bytes a name may have.
_NAME_ROOM = 160
_TEMPORARY = re.compile(r"^\.(?P<name>.*)\.tmp-(?P<pid>[0-9]+)-[0-9a-f]{12}$", re.DOTALL)
_WRITE_BUFFER = 1 << 20


def _name(path: str | os.PathLike[str]) -> str:
    return os.fsdecode(os.fspath(path))


def _reason(error: OSError) -> str:
    return error.strerror or str(error)


def same_file(a: str | os.PathLike[str], b: str | os.PathLike[str]) -> bool:
    """Whether `a` and `b` are one file (device and inode, links followed);
    False when either does not exist or cannot be looked at."""
    try:
        return os.path.samestat(os.stat(a), os.stat(b))
    except (OSError, ValueError):
        return False


def refuse_same_as_inputs(output: str | os.PathLike[str], inputs: Iterable[str | os.PathLike[str]],
                          action: str) -> None:
    """Raises `SelvaneError` when `output` is the same file as one of
    `inputs`, before anything is created: writing it would destroy the input
    before (or while) it is read."""
    for source in inputs:
        if same_file(output, source):
            raise SelvaneError(f"{_name(output)} is the same file as the input {_name(source)}; "
                               f"refused before {action}")


def check_input(path: str | os.PathLike[str], what: str = "input") -> os.stat_result:
    """The status of the regular file `path` (links followed), without
    opening it: a missing path, a directory, a FIFO or a device is a
    `SelvaneError` that names it (`what` says what the file is for)."""
    name = _name(path)
    try:
        status = os.stat(path)
    except FileNotFoundError:
        raise SelvaneError(f"{what} not found: {name}") from None
    except (OSError, ValueError) as error:
        reason = _reason(error) if isinstance(error, OSError) else str(error)
        raise SelvaneError(f"cannot read {what} {name}: {reason}") from None
    if stat.S_ISDIR(status.st_mode):
        raise SelvaneError(f"{what} {name} is a directory")
    if not stat.S_ISREG(status.st_mode):
        raise SelvaneError(f"{what} {name} is not a regular file ({_kind(status.st_mode)})")
    return status


def _kind(mode: int) -> str:
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISCHR(mode):
        return "a character device"
    if stat.S_ISBLK(mode):
        return "a block device"
    if stat.S_ISSOCK(mode):
        return "a socket"
    if stat.S_ISDIR(mode):
        return "a directory"
    return "not a plain file"


def open_input(path: str | os.PathLike[str], what: str = "input", buffering: int = -1) -> BinaryIO:
    """Opens the regular file `path` for reading.

    The path is checked first, and opened without waiting (a FIFO put in its
    place between the check and the open cannot block), then the open file
    is checked to be the regular file that was looked at.
    """
    name = _name(path)
    status = check_input(path, what)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
    except OSError as error:
        raise SelvaneError(f"cannot read {what} {name}: {_reason(error)}") from None
    try:
        opened = os.fstat(fd)
        if not stat.S_ISREG(opened.st_mode) or not os.path.samestat(opened, status):
            raise SelvaneError(f"{what} {name} changed while it was opened")
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb", buffering=buffering)
    except BaseException:
        os.close(fd)
        raise


def temporary_name(name: str) -> str:
    """A fresh name for a temporary of the file called `name`, which
    `remove_stale_temporaries` recognises once this process is gone."""
    base = os.fsencode(os.path.basename(name))[:_NAME_ROOM]
    return f".{os.fsdecode(base)}.tmp-{os.getpid()}-{os.urandom(6).hex()}"


def _pid_alive(pid: int) -> bool:
    if pid <= 0:
        return True  # not a name this layer made; leave it
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def remove_stale_temporaries(directory: str | os.PathLike[str], name: str | None = None) -> list[str]:
    """Removes the temporaries of this layer in `directory` (of the file
    `name` only, when given) whose writing process is no longer alive, and
    returns their paths. A temporary directory is removed with what it holds."""
    prefix = None if name is None else os.fsdecode(os.fsencode(os.path.basename(name))[:_NAME_ROOM])
    removed: list[str] = []
    try:
        entries = list(os.scandir(directory))
    except OSError:
        return removed
    for entry in entries:
        match = _TEMPORARY.match(entry.name)
        if match is None or (prefix is not None and match["name"] != prefix):
            continue
        try:
            # Only this user's: in a shared directory such as /tmp, another
            # user's name is no reason to touch what it holds.
            if entry.stat(follow_symlinks=False).st_uid != os.geteuid() or _pid_alive(int(match["pid"])):
                continue
            if entry.is_dir(follow_symlinks=False):
                _remove_tree(entry.path)
            else:
                os.unlink(entry.path)
            removed.append(entry.path)
        except OSError:
            pass  # gone already (another run cleaned it first) or not ours to remove
    return removed


def _remove_tree(path: str) -> None:
    # Only ever a directory of this user's, which nobody else can enter, so
    # nothing changes under the walk; a link inside is removed, not followed.
    for entry in os.scandir(path):
        if entry.is_dir(follow_symlinks=False):
            _remove_tree(entry.path)
        else:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(entry.path)
    os.rmdir(path)


def private_directory(base: str, name: str) -> str:
    """Creates a directory that only this user can enter in `base`, named as a
    temporary of `name` (so the next run removes it if this one is killed),
    after removing such directories of dead runs."""
    remove_stale_temporaries(base, name)
    while True:
        path = os.path.join(base, temporary_name(name))
        try:
            os.mkdir(path, 0o700)
            return path
        except FileExistsError:
            continue
        except OSError as error:
            raise SelvaneError(f"cannot create a working directory in {base}: {_reason(error)}") from None


def remove_private_directory(path: str) -> None:
    """Removes a directory made by `private_directory` with what it holds."""
    with contextlib.suppress(FileNotFoundError):
        _remove_tree(path)


def _fsync_directory(directory: str) -> None:
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass  # some file systems cannot flush a directory; the file itself is on disk
    finally:
        os.close(fd)


@contextlib.contextmanager
def atomic_output(path: str | os.PathLike[str], *, inputs: Iterable[str | os.PathLike[str]] = (),
                  overwrite: bool = True, durable: bool = True, action: str = "writing it",
                  remove_stale: bool = False) -> Iterator[BinaryIO]:
    """Yields a binary file whose content becomes `path` when the block ends
    without an exception; on any exception `path` is untouched.

    `inputs` are the files the command reads: `path` being one of them is
    refused before anything is created (`action` says what would have
    happened, for the message). Without `overwrite`, an existing `path` is
    refused. When `durable`, the file is flushed to disk before it takes the
    name. A character device or FIFO at `path` is written in place (a FIFO
    without a reader is refused rather than waited for); a directory or a
    socket is refused. With `remove_stale`, temporaries of `path` left by
    writers that died are removed first (worth a look at the directory for a
    command's one output, not for each of many files in one directory).
    """
    name = _name(path)
    refuse_same_as_inputs(path, inputs, action)
    target = os.path.realpath(path)
    try:
        # The path itself, links followed: /dev/stdout names a pipe or a
        # terminal through a link that has no real path.
        status: os.stat_result | None = os.stat(path)
    except FileNotFoundError:
        status = None
    except OSError as error:
        raise SelvaneError(f"cannot write {name}: {_reason(error)}") from None
    if status is not None and not overwrite:
        raise SelvaneError(f"{name} exists already; not overwriting it")
    if status is not None and not stat.S_ISREG(status.st_mode):
        if stat.S_ISCHR(status.st_mode) or stat.S_ISFIFO(status.st_mode):
            with _in_place(name, name) as device:
                yield device
            return
        raise SelvaneError(f"cannot write {name}: it is {_kind(status.st_mode)}")

    directory = os.path.dirname(target)
    if remove_stale:
        remove_stale_temporaries(directory, target)
    temporary = os.path.join(directory, temporary_name(target))
    try:
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC,
                     0o600 if status is not None else 0o666)
    except OSError as error:
        raise SelvaneError(f"cannot write {name}: {_reason(error)}") from None
    sink: _NamedSink | None = None
    try:
        with _naming(name):
            if status is not None:
                _copy_owner_and_mode(fd, status)
        sink = _NamedSink(fd, name)
        # What the block raises passes unchanged (it may concern another
        # file); the sink's own writes name this one.
        yield sink
        with _naming(name):
            sink.flush()
            if durable:
                os.fsync(sink.fileno())
            sink.close()
            if overwrite:
                _check_still_replaceable(target, name)
                os.replace(temporary, target)
            else:
                try:
                    os.link(temporary, target)
                except FileExistsError:
                    raise SelvaneError(f"{name} exists already; not overwriting it") from None
                os.unlink(temporary)
            if durable:
                _fsync_directory(directory)
    except BaseException:
        with contextlib.suppress(OSError, SelvaneError):
            if sink is None:
                os.close(fd)
            else:
                sink.close()
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


class _NamedSink(io.BufferedWriter):
    """A buffered binary file whose failed writes are a `SelvaneError`
    naming the file being written (a full disk, a file size limit)."""

    def __init__(self, fd: int, name: str) -> None:
        super().__init__(io.FileIO(fd, "wb"), _WRITE_BUFFER)
        self.target_name = name

    def write(self, data: ReadableBuffer, /) -> int:
        try:
            return super().write(data)
        except OSError as error:
            raise SelvaneError(f"cannot write {self.target_name}: {_reason(error)}") from None

    def flush(self) -> None:
        try:
            super().flush()
        except OSError as error:
            raise SelvaneError(f"cannot write {self.target_name}: {_reason(error)}") from None


@contextlib.contextmanager
def _naming(name: str) -> Iterator[None]:
    """Turns an operating system error of the layer's own steps (flush,
    rename) into a one-line `SelvaneError` naming the file being written."""
    try:
        yield
    except OSError as error:
        raise SelvaneError(f"cannot write {name}: {_reason(error)}") from None


def _copy_owner_and_mode(fd: int, status: os.stat_result) -> None:
    # Owner first: a change of owner clears the set-id bits that the mode
    # then restores. Only root may give a file away; anyone may keep its group
    # when they belong to it. Neither is worth failing the write for.
    for uid, gid in ((status.st_uid, status.st_gid), (-1, status.st_gid)):
        try:
            os.fchown(fd, uid, gid)
            break
        except OSError:
            continue
    os.fchmod(fd, stat.S_IMODE(status.st_mode))


def _check_still_replaceable(target: str, name: str) -> None:
    """Refuses to rename over a target that stopped being a regular file
    since the write began."""
    try:
        status = os.lstat(target)
    except FileNotFoundError:
        return
    if not stat.S_ISREG(status.st_mode):
        raise SelvaneError(f"cannot write {name}: it became {_kind(status.st_mode)} while it was written")


@contextlib.contextmanager
def _in_place(target: str, name: str) -> Iterator[BinaryIO]:
    try:
        fd = os.open(target, os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
    except OSError as error:
        if error.errno == errno.ENXIO:
            raise SelvaneError(f"cannot write {name}: it is a FIFO that nobody reads") from None
        raise SelvaneError(f"cannot write {name}: {_reason(error)}") from None
    try:
        os.set_blocking(fd, True)
        device = _NamedSink(fd, name)
    except BaseException:
        os.close(fd)
        raise
    with device:
        yield device


def write_atomically(path: str | os.PathLike[str], data: bytes, *, inputs: Iterable[str | os.PathLike[str]] = (),
                     overwrite: bool = True, durable: bool = True, action: str = "writing it",
                     remove_stale: bool = False) -> None:
    """Writes `data` to `path` by `atomic_output` (same options)."""
    with atomic_output(path, inputs=inputs, overwrite=overwrite, durable=durable, action=action,
                       remove_stale=remove_stale) as sink:
        sink.write(data)
