"""Memory-mappable shards of token ids: planning and writing.

An output directory holds, per shard, ``NAME.bin`` (the units' ids one after
another, little-endian uint16) and ``NAME.idx`` (units + 1 little-endian
uint64 offsets into the ``.bin``, in ids), and ``meta.json``, written last.
Shards are fixed by the inputs alone: shard k of input i holds the units that
start in bytes [k * shard_bytes, (k + 1) * shard_bytes) of that input. Any
number of workers, on one machine or on a cluster, therefore writes the same
files. ``encode_shard`` is the one function that every executor calls, inside
``claim_output``, which holds the directory for one writer at a time.

>>> from selvane_tools import Model, read_shards
>>> from selvane_tools.shards import claim_output, plan_shards, encode_shard, write_meta
>>> model = Model("tokenizer")                           # doctest: +SKIP
>>> tasks = plan_shards(["corpus.txt"], unit="line")      # doctest: +SKIP
>>> with claim_output("out"):                             # doctest: +SKIP
...     results = [encode_shard(model, t, "out") for t in tasks]
...     write_meta("out", model.sha256, "line", tasks, results)
>>> read_shards("out", model=model)[0]                    # doctest: +SKIP
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import re
import socket
import stat
import sys
from array import array
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, BinaryIO, Protocol

from ._files import atomic_output, check_input, open_input, remove_stale_temporaries, write_atomically
from .errors import OutputBusyError, SelvaneError
from .rules import check_rule
from .shard_set import FORMAT, META, VERSION, ShardSet, _numpy, load_meta, read_shards
from .units import Unit, iter_range_units, parse_unit

if TYPE_CHECKING:
    from .encoded_units import EncodedUnits

__all__ = [
    "DEFAULT_SHARD_BYTES",
    "LOCK",
    "ShardResult",
    "ShardSet",
    "ShardTask",
    "claim_output",
    "encode_shard",
    "plan_shards",
    "read_shards",
    "remove_shard_temporaries",
    "write_meta",
]

# 16 MiB of input per shard: about a second and a half of encoding, small
# enough that the last shards of a run even out between workers, large enough
# that a terabyte is some 65,000 shards rather than millions of files.
DEFAULT_SHARD_BYTES = 16 << 20
# The lock of an output directory, and the mark that the directory is (or
# was being made) an output: shard files without meta.json beside it are an
# unfinished run, not someone else's files.
LOCK = ".selvane-lock"
# Units handed to the engine at once: up to 256 Ki characters or 65,536
# units, whichever comes first, so that a worker's memory does not grow with
# its shard. Larger batches buy nothing: at 4 Mi characters a worker held
# twice the memory (the batch's strings, four bytes per character once one is
# outside the Basic Multilingual Plane) and ran no faster.
_BATCH_CHARS = 1 << 18
_BATCH_UNITS = 1 << 16
_READ_BUFFER = 1 << 20
# Input bytes between two progress reports of a worker.
_PROGRESS_BYTES = 1 << 20
# The names plan_shards gives: what an unfinished output may hold.
_SHARD_FILE = re.compile(r"^[0-9]{5,}-[0-9]{6,}\.(?:bin|idx)$")
# The file layer's temporaries: "." + the target's name + ".tmp-" + writer.
_TEMPORARY = re.compile(r"^\.(?P<name>.+)\.tmp-[0-9]+-[0-9a-f]+$", re.DOTALL)


class Encoder(Protocol):
    """What a shard worker needs of a model: its ``encode`` (to name a unit
    that fails) and its ``encode_units``."""

    def encode(self, text: str, *, rule: str = ...) -> list[int]: ...

    def encode_units(self, texts: Sequence[str], *, rule: str = ..., threads: int | None = ...,
                     eos: int | None = ...) -> EncodedUnits: ...


@dataclass(frozen=True)
class ShardTask:
    """One shard to encode: the units that start in bytes [start, end) of the
    input `path` (its `input`-th, of `size` bytes when planned), written as
    `name`.bin and `name`.idx with the encoding `rule`, each unit followed
    by the id `eos` when it is not None."""

    name: str
    input: int
    path: str
    size: int
    start: int
    end: int
    unit: Unit
    rule: str = "frequency"
    eos: int | None = None


@dataclass(frozen=True)
class ShardResult:
    """What a worker reports for a finished shard: counts only, with the
    clusters the model did not know and the units that held them."""

    name: str
    units: int
    ids: int
    unknown_clusters: int = 0
    units_with_unknown: int = 0


def plan_shards(
    inputs: Sequence[str | os.PathLike[str]],
    unit: Unit | str = "line",
    shard_bytes: int = DEFAULT_SHARD_BYTES,
    rule: str = "frequency",
    eos: int | None = None,
) -> list[ShardTask]:
    """Cuts every input into byte ranges of `shard_bytes`, in input order;
    every shard is to be encoded with `rule` ("frequency" or "rank"), each
    unit followed by the id `eos` unless it is None.

    Every input must be a regular file (a FIFO or a device has no size to
    cut and could block a reader for ever). With unit "file" each input is
    one shard. An empty input has one shard with no units, so that every
    input appears in the output.

    >>> plan_shards([], "jsonl:text")
    []
    """
    unit = unit if isinstance(unit, Unit) else parse_unit(unit)
    rule = check_rule(rule)
    if isinstance(shard_bytes, bool) or not isinstance(shard_bytes, int) or shard_bytes < 1:
        raise SelvaneError(f"shard size must be at least one byte, not {shard_bytes!r}")
    tasks = []
    for index, path in enumerate(inputs):
        path = os.fspath(path)
        size = check_input(path).st_size
        step = max(size, 1) if unit.kind == "file" else shard_bytes
        for k, start in enumerate(range(0, max(size, 1), step)):
            tasks.append(
                ShardTask(f"{index:05d}-{k:06d}", index, path, size, start, min(start + step, size), unit, rule,
                          eos)
            )
    return tasks


class _IdsWriter:
    """Writes one shard's ids and offsets a batch at a time, as the engine
    gives them: little-endian bytes that never become Python ints."""

    def __init__(self, bin_sink: BinaryIO, bin_path: str, idx_sink: BinaryIO, idx_path: str) -> None:
        self._bin = (bin_sink, bin_path)
        self._idx = (idx_sink, idx_path)
        self.units = 0
        self.total = 0
        self.unknown_clusters = 0
        self.units_with_unknown = 0
        self._write(self._idx, bytes(8))  # the first unit starts at 0

    def add_batch(self, ids: bytes, offsets: bytes) -> None:
        """Appends a batch's flat ids and its offsets (first 0, in ids of
        the batch), which are moved past the ids already written."""
        self._write(self._bin, ids)
        self._write(self._idx, _shifted(offsets[8:], self.total))
        self.total += len(ids) // 2
        self.units += len(offsets) // 8 - 1

    @staticmethod
    def _write(target: tuple[BinaryIO, str], data: bytes) -> None:
        # Both files are open at once: a failure must say which.
        sink, path = target
        try:
            sink.write(data)
        except OSError as error:
            raise SelvaneError(f"cannot write {path}: {error.strerror or error}") from None


def _shifted(offsets: bytes, by: int) -> bytes:
    """Little-endian uint64 `offsets` plus `by`, as bytes."""
    if not by or not offsets:
        return offsets
    numpy = _numpy()
    if numpy is not None:
        return bytes((numpy.frombuffer(offsets, "<u8") + numpy.uint64(by)).astype("<u8").tobytes())
    values = array("Q")
    values.frombytes(offsets)
    if sys.byteorder == "big":
        values.byteswap()
    values = array("Q", [value + by for value in values])
    if sys.byteorder == "big":
        values.byteswap()
    return values.tobytes()


def encode_shard(
    model: Encoder,
    task: ShardTask,
    out_dir: str | os.PathLike[str],
    progress: Callable[[int], None] | None = None,
) -> ShardResult:
    """Encodes the units of one shard with the task's rule and writes its
    .bin and .idx.

    Reads only its own byte range of the input (and the unit that crosses its
    end), so it runs anywhere the input and `out_dir` are reachable; the
    result carries counts only. The units go to the engine in batches of a
    few hundred KiB, on one thread (the executor runs one worker per core). Both
    files are written beside their final names and renamed once complete, so
    a stopped worker leaves a whole shard or only temporaries. `progress`, if
    given, receives input byte counts as they are consumed.
    """
    unit = task.unit if isinstance(task.unit, Unit) else parse_unit(task.unit)
    rule = check_rule(task.rule)
    base = os.path.join(os.fspath(out_dir), task.name)
    bin_path, idx_path = base + ".bin", base + ".idx"
    with open_input(task.path, buffering=_READ_BUFFER) as f:
        size = os.fstat(f.fileno()).st_size
        if size != task.size:
            raise SelvaneError(f"{task.path}: {size} bytes now, {task.size} when the shards were planned")
        with contextlib.ExitStack() as stack:
            bin_sink = stack.enter_context(atomic_output(bin_path, inputs=(task.path,)))
            idx_sink = stack.enter_context(atomic_output(idx_path, inputs=(task.path,)))
            writer = _IdsWriter(bin_sink, bin_path, idx_sink, idx_path)
            _encode_range(model, rule, task, unit, f, writer, progress)
    return ShardResult(task.name, writer.units, writer.total, writer.unknown_clusters, writer.units_with_unknown)


def _encode_range(
    model: Encoder,
    rule: str,
    task: ShardTask,
    unit: Unit,
    f: BinaryIO,
    writer: _IdsWriter,
    progress: Callable[[int], None] | None,
) -> None:
    texts: list[str] = []
    starts: list[int] = []
    chars = 0
    reported = task.start

    def flush() -> None:
        nonlocal chars, reported
        try:
            encoded = model.encode_units(texts, rule=rule, threads=1, eos=task.eos)
        except SelvaneError:
            # Only a model without the "oov" entry fails, on the first
            # cluster it does not know: name the unit that holds it.
            _name_failing_unit(model, rule, task, texts, starts)
            raise
        writer.add_batch(encoded.ids, encoded.offsets)
        writer.unknown_clusters += encoded.unknown_clusters
        writer.units_with_unknown += encoded.units_with_unknown
        if progress is not None and texts:
            done = min(starts[-1], task.end)
            if done > reported:
                progress(done - reported)
                reported = done
        texts.clear()
        starts.clear()
        chars = 0

    try:
        for pos, text in iter_range_units(f, task.size, task.start, task.end, unit, task.path):
            texts.append(text)
            starts.append(pos)
            chars += len(text)
            if chars >= _BATCH_CHARS or len(texts) >= _BATCH_UNITS:
                flush()
    except OSError as error:
        # Reading failed: name the input, not the shard being written.
        raise SelvaneError(f"cannot read {task.path}: {error.strerror or error}") from None
    flush()
    if progress is not None and task.end > reported:
        progress(task.end - reported)


def _name_failing_unit(model: Encoder, rule: str, task: ShardTask, texts: list[str], starts: list[int]) -> None:
    """Raises the error of the first unit of a failed batch that cannot be
    encoded alone, with its byte offset; returns if none fails alone."""
    for pos, text in zip(starts, texts):
        try:
            model.encode(text, rule=rule)
        except SelvaneError as error:
            raise SelvaneError(f"{task.path}: the unit at byte {pos} cannot be encoded: {error}") from error


def write_meta(
    out_dir: str | os.PathLike[str],
    model_sha256: str,
    unit: Unit | str,
    tasks: Sequence[ShardTask],
    results: Sequence[ShardResult],
    rule: str = "frequency",
) -> dict[str, Any]:
    """Writes meta.json, the mark of a finished output; returns its content.

    `rule` is the rule every task was encoded with, and is recorded, with
    the end-of-unit id of the tasks (`eos_id`, null for none) and the
    unknown clusters the shards met (`unknown_clusters`, and
    `units_with_unknown`, the units that held them).

    Call it only after every shard of `tasks` has been committed. Temporaries
    of the planned files left by writers that were stopped (a worker lost
    mid-shard whose shard was redone elsewhere) are removed first, so a
    finished output holds none. Holds no worker count, time or host, so
    equal runs give equal bytes.
    """
    rule = check_rule(rule)
    mixed = [task.name for task in tasks if task.rule != rule]
    if mixed:
        raise SelvaneError(f"shards not encoded with the rule {rule!r}: {', '.join(mixed[:5])}")
    eos_ids = {task.eos for task in tasks}
    if len(eos_ids) > 1:
        raise SelvaneError(f"shards encoded with different end-of-unit ids: {sorted(map(repr, eos_ids))}")
    eos_id = next(iter(eos_ids), None)
    by_name = {result.name: result for result in results}
    missing = [task.name for task in tasks if task.name not in by_name]
    if missing:
        raise SelvaneError(f"shards not written: {', '.join(missing[:5])}")
    out_dir = os.fspath(out_dir)
    remove_shard_temporaries(out_dir, [task.name for task in tasks])
    inputs: dict[int, dict[str, Any]] = {}
    for task in tasks:
        inputs.setdefault(task.input, {"path": task.path, "size": task.size})
    shards: list[dict[str, Any]] = [
        {
            "name": task.name,
            "input": task.input,
            "start": task.start,
            "end": task.end,
            "units": by_name[task.name].units,
            "ids": by_name[task.name].ids,
            "unknown_clusters": by_name[task.name].unknown_clusters,
            "units_with_unknown": by_name[task.name].units_with_unknown,
        }
        for task in tasks
    ]
    meta = {
        "format": FORMAT,
        "version": VERSION,
        "model_sha256": model_sha256,
        "unit": str(unit),
        "rule": rule,
        "inputs": [inputs[i] for i in sorted(inputs)],
        "shards": shards,
        "units": sum(int(s["units"]) for s in shards),
        "ids": sum(int(s["ids"]) for s in shards),
        "bytes": sum(entry["size"] for entry in inputs.values()),
        "eos_id": eos_id,
        "unknown_clusters": sum(int(s["unknown_clusters"]) for s in shards),
        "units_with_unknown": sum(int(s["units_with_unknown"]) for s in shards),
    }
    text = json.dumps(meta, indent=1, ensure_ascii=False) + "\n"
    write_atomically(os.path.join(out_dir, META), text.encode("utf-8"))
    return meta


def remove_shard_temporaries(out_dir: str | os.PathLike[str], names: Sequence[str]) -> None:
    """Removes every temporary of the shards `names` (and of meta.json) in
    `out_dir`, whoever wrote it: call it only while holding the directory,
    once no writer of the run is left."""
    targets = {META} | {name + ext for name in names for ext in (".bin", ".idx")}
    for entry in _list(os.fspath(out_dir)):
        match = _TEMPORARY.match(entry)
        if match is not None and match["name"] in targets:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(os.path.join(out_dir, entry))


def _list(directory: str) -> list[str]:
    try:
        return os.listdir(directory)
    except OSError as error:
        raise SelvaneError(f"cannot read the directory {directory}: {error.strerror}") from None


@contextlib.contextmanager
def claim_output(out_dir: str | os.PathLike[str], overwrite: bool = False) -> Iterator[str]:
    """Holds `out_dir` for one writer while the block runs, and prepares it.

    The directory is created if needed and locked: a second writer fails at
    once with an `OutputBusyError` naming the holder. Temporaries of dead
    runs are removed. The directory must then be empty, or hold a previous
    output and `overwrite` be true: a finished one (a valid meta.json; only
    the files it lists are removed, meta.json first) or an unfinished one
    (shard files beside the lock of the run that stopped). Anything else is
    named and nothing is removed. Yields the directory's path.
    """
    out_dir = os.fspath(out_dir)
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as error:
        raise SelvaneError(f"cannot create the directory {out_dir}: {error.strerror or error}") from None
    fd, created = _lock(out_dir)
    try:
        try:
            _prepare(out_dir, overwrite, marked=not created)
        except BaseException:
            if created:
                # Refused (or stopped) before anything was written: a
                # stranger's directory keeps no trace of the attempt.
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(out_dir, LOCK))
            raise
        yield out_dir
    finally:
        # The holder's name goes with the holder: equal runs leave equal
        # directories.
        with contextlib.suppress(OSError):
            os.ftruncate(fd, 0)
        os.close(fd)


def _lock(out_dir: str) -> tuple[int, bool]:
    """Opens and locks the lock file of `out_dir`; (descriptor, whether
    this call created the file)."""
    path = os.path.join(out_dir, LOCK)
    while True:
        created = True
        flags = os.O_RDWR | os.O_CLOEXEC | os.O_NOFOLLOW | os.O_NONBLOCK
        try:
            try:
                fd = os.open(path, flags | os.O_CREAT | os.O_EXCL, 0o644)
            except FileExistsError:
                created = False
                fd = os.open(path, flags)
        except FileNotFoundError:
            continue  # removed between the two opens: try again
        except OSError as error:
            raise SelvaneError(f"cannot lock {path}: {error.strerror or error}") from None
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise SelvaneError(f"cannot lock {path}: not a regular file")
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                holder = os.pread(fd, 200, 0).decode("utf-8", "replace").strip() or "a writer that has not said who"
                raise OutputBusyError(f"{out_dir} is being written by another encoder ({holder})") from None
            # The file may have been removed (a refused run cleaning up)
            # between the open and the lock: then the lock guards nothing.
            try:
                if not os.path.samestat(os.fstat(fd), os.lstat(path)):
                    os.close(fd)
                    continue
            except FileNotFoundError:
                os.close(fd)
                continue
            os.ftruncate(fd, 0)
            os.pwrite(fd, f"pid {os.getpid()} on {socket.gethostname()}\n".encode(), 0)
            return fd, created
        except OSError as error:
            os.close(fd)
            raise SelvaneError(f"cannot lock {path}: {error.strerror or error}") from None
        except BaseException:
            os.close(fd)
            raise


def _prepare(out_dir: str, overwrite: bool, marked: bool) -> None:
    names = sorted(set(_list(out_dir)) - {LOCK})
    if not names:
        return
    meta = None
    if META in names:
        try:
            meta = load_meta(out_dir)
        except SelvaneError as error:
            raise SelvaneError(f"{error}; not a previous output, nothing removed") from None
        ours = {META} | {shard["name"] + ext for shard in meta["shards"] for ext in (".bin", ".idx")}
    elif marked:
        ours = {name for name in names if _SHARD_FILE.match(name)}
    else:
        ours = set()
    owned = meta is not None or marked
    if owned:
        remove_stale_temporaries(out_dir)
        names = sorted(set(_list(out_dir)) - {LOCK})
    foreign = [name for name in names if name not in ours and not (owned and _is_temporary_of(name, ours))]
    if foreign:
        more = f" and {len(foreign) - 1} more" if len(foreign) > 1 else ""
        what = "holds files that no previous output wrote" if owned else "is not empty"
        raise SelvaneError(f"{out_dir} {what}: {foreign[0]}{more}; refused, nothing removed")
    if not names:
        return
    if not overwrite:
        kind = "a previous output" if meta is not None else "an unfinished output"
        raise SelvaneError(f"{out_dir} holds {kind} (--overwrite, or overwrite=True, replaces it)")
    # meta.json first: an interrupted clean-up must not leave a directory
    # that still looks finished.
    for name in sorted(names, key=lambda name: name != META):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(out_dir, name))


def _is_temporary_of(name: str, ours: set[str]) -> bool:
    match = _TEMPORARY.match(name)
    if match is None:
        return False
    return match["name"] in ours or match["name"] == META or bool(_SHARD_FILE.match(match["name"]))
