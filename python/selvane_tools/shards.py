"""Memory-mappable shards of token ids: planning, writing and reading.

An output directory holds, per shard, ``NAME.bin`` (the units' ids one after
another, little-endian uint16) and ``NAME.idx`` (units + 1 little-endian
uint64 offsets into the ``.bin``, in ids), and ``meta.json``, written last.
Shards are fixed by the inputs alone: shard k of input i holds the units that
start in bytes [k * shard_bytes, (k + 1) * shard_bytes) of that input. Any
number of workers, on one machine or on a cluster, therefore writes the same
files. ``encode_shard`` is the one function that every executor calls.

>>> from selvane_tools import Model, read_shards
>>> from selvane_tools.shards import plan_shards, encode_shard, write_meta
>>> model = Model("tokenizer")                           # doctest: +SKIP
>>> tasks = plan_shards(["corpus.txt"], unit="line")      # doctest: +SKIP
>>> results = [encode_shard(model, t, "out") for t in tasks]  # doctest: +SKIP
>>> write_meta("out", model, "line", tasks, results)      # doctest: +SKIP
>>> read_shards("out", model=model)[0]                    # doctest: +SKIP
"""

from __future__ import annotations

import bisect
import json
import mmap
import os
import sys
from array import array
from collections.abc import Callable, Iterator, Sequence
from dataclasses import asdict, dataclass
from typing import TYPE_CHECKING, Any, Protocol

from ._panic import panic_type
from .errors import SelvaneError
from .units import iter_range_units, parse_unit

if TYPE_CHECKING:
    import numpy

FORMAT = "selvane-shards"
VERSION = 1
META = "meta.json"
# 16 MiB of input per shard: about a second and a half of encoding, small
# enough that the last shards of a run even out between workers, large enough
# that a terabyte is some 65,000 shards rather than millions of files.
DEFAULT_SHARD_BYTES = 16 << 20
# Ids (and offsets) held before a write: 1 MiB of ids per worker.
_FLUSH_IDS = 1 << 19
_READ_BUFFER = 1 << 20
# Input bytes between two progress reports of a worker.
_PROGRESS_BYTES = 1 << 20
_TMP = ".tmp-"


class Encoder(Protocol):
    """What a shard worker needs of a model: its ``encode``."""

    def encode(self, text: str) -> list[int]: ...


@dataclass(frozen=True)
class ShardTask:
    """One shard to encode: the units that start in bytes [start, end) of the
    input `path` (its `input`-th), written as `name`.bin and `name`.idx."""

    name: str
    input: int
    path: str
    size: int
    start: int
    end: int
    unit: str


@dataclass(frozen=True)
class ShardResult:
    """What a worker reports for a finished shard: counts only."""

    name: str
    units: int
    ids: int


def plan_shards(
    inputs: Sequence[str | os.PathLike[str]],
    unit: str = "line",
    shard_bytes: int = DEFAULT_SHARD_BYTES,
) -> list[ShardTask]:
    """Cuts every input into byte ranges of `shard_bytes`, in input order.

    With unit "file" each input is one shard. An empty input has one shard
    with no units, so that every input appears in the output.
    """
    parse_unit(unit)
    if shard_bytes < 1:
        raise SelvaneError(f"shard size must be at least one byte, not {shard_bytes}")
    tasks = []
    for index, path in enumerate(inputs):
        path = os.fspath(path)
        try:
            size = os.stat(path).st_size
        except OSError as error:
            raise SelvaneError(f"{path}: {error.strerror}") from None
        step = max(size, 1) if unit == "file" else shard_bytes
        for k, start in enumerate(range(0, max(size, 1), step)):
            tasks.append(
                ShardTask(f"{index:05d}-{k:06d}", index, path, size, start, min(start + step, size), unit)
            )
    return tasks


class ShardWriter:
    """Writes one shard under temporary names and renames it into place.

    Ids and offsets go to disk in blocks, so a worker holds one block of each
    whatever the size of the shard.
    """

    def __init__(self, out_dir: str | os.PathLike[str], name: str) -> None:
        self._final = [os.path.join(out_dir, name + ext) for ext in (".bin", ".idx")]
        suffix = f"{_TMP}{os.getpid()}"
        self._temp = [path + suffix for path in self._final]
        self._bin = open(self._temp[0], "wb")
        self._idx = open(self._temp[1], "wb")
        self._ids = array("H")
        self._offsets = array("Q", [0])
        self.units = 0
        self.total = 0

    def add(self, ids: list[int]) -> None:
        """Appends the ids of the next unit."""
        # fromlist converts a list twice as fast as extend, which goes
        # through the generic iterator: it is most of the writing cost.
        self._ids.fromlist(ids)
        self.total += len(ids)
        self.units += 1
        self._offsets.append(self.total)
        if len(self._ids) >= _FLUSH_IDS or len(self._offsets) >= _FLUSH_IDS:
            self._flush()

    def _flush(self) -> None:
        for buffer, sink in ((self._ids, self._bin), (self._offsets, self._idx)):
            if sys.byteorder == "big":
                buffer.byteswap()
            buffer.tofile(sink)
            del buffer[:]

    def commit(self) -> ShardResult:
        """Completes both files on disk and gives them their final names."""
        self._flush()
        for sink in (self._bin, self._idx):
            sink.flush()
            # On disk before the rename, so that a crash leaves a complete
            # shard or none.
            os.fsync(sink.fileno())
            sink.close()
        for temp, final in zip(self._temp, self._final):
            os.replace(temp, final)
        return ShardResult(os.path.basename(self._final[0])[:-4], self.units, self.total)

    def abort(self) -> None:
        """Closes and removes the temporary files."""
        for sink in (self._bin, self._idx):
            sink.close()
        for temp in self._temp:
            try:
                os.unlink(temp)
            except FileNotFoundError:
                pass


def encode_shard(
    model: Encoder,
    task: ShardTask,
    out_dir: str | os.PathLike[str],
    progress: Callable[[int], None] | None = None,
) -> ShardResult:
    """Encodes the units of one shard and writes its .bin and .idx.

    Reads only its own byte range of the input (and the unit that crosses its
    end), so it runs anywhere the input and `out_dir` are reachable; the
    result carries counts only. `progress`, if given, receives input byte
    counts as they are consumed.
    """
    unit = parse_unit(task.unit)
    try:
        writer = ShardWriter(out_dir, task.name)
    except OSError as error:
        raise SelvaneError(f"{error.filename or out_dir}: {error.strerror or error}") from error
    try:
        with open(task.path, "rb", buffering=_READ_BUFFER) as f:
            reported = task.start
            # The extension's own method when there is one: a Model's wrapper
            # only turns a panic into SelvaneError, which is done below.
            encode = getattr(model, "data", model).encode
            add = writer.add
            pos = task.start
            try:
                for pos, text in iter_range_units(f, task.size, task.start, task.end, unit, task.path):
                    add(encode(text))
                    if progress is not None and pos - reported >= _PROGRESS_BYTES:
                        progress(min(pos, task.end) - reported)
                        reported = min(pos, task.end)
            except panic_type() as panic:
                # Only a model without the "oov" entry fails here, on the
                # first cluster it does not know.
                raise SelvaneError(f"{task.path}: the unit at byte {pos} cannot be encoded: {panic}") from panic
            if progress is not None:
                progress(task.end - reported)
        return writer.commit()
    except OSError as error:
        writer.abort()
        raise SelvaneError(f"{error.filename or task.path}: {error.strerror or error}") from error
    except BaseException:
        writer.abort()
        raise


def write_meta(
    out_dir: str | os.PathLike[str],
    model_sha256: str,
    unit: str,
    tasks: Sequence[ShardTask],
    results: Sequence[ShardResult],
) -> dict[str, Any]:
    """Writes meta.json, the mark of a finished output; returns its content.

    Call it only after every shard of `tasks` has been committed. Holds no
    worker count, time or host, so equal runs give equal bytes.
    """
    by_name = {result.name: result for result in results}
    missing = [task.name for task in tasks if task.name not in by_name]
    if missing:
        raise SelvaneError(f"shards not written: {', '.join(missing[:5])}")
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
        }
        for task in tasks
    ]
    meta = {
        "format": FORMAT,
        "version": VERSION,
        "model_sha256": model_sha256,
        "unit": unit,
        "inputs": [inputs[i] for i in sorted(inputs)],
        "shards": shards,
        "units": sum(int(s["units"]) for s in shards),
        "ids": sum(int(s["ids"]) for s in shards),
        "bytes": sum(entry["size"] for entry in inputs.values()),
    }
    path = os.path.join(out_dir, META)
    temp = path + f"{_TMP}{os.getpid()}"
    with open(temp, "w", encoding="utf-8") as sink:
        json.dump(meta, sink, indent=1, ensure_ascii=False)
        sink.write("\n")
        sink.flush()
        os.fsync(sink.fileno())
    os.replace(temp, path)
    return meta


def prepare_out_dir(out_dir: str | os.PathLike[str], overwrite: bool = False) -> None:
    """Creates `out_dir`, or empties a previous output there when `overwrite`.

    A directory holding anything else is refused, so that a mistyped path
    never loses files.
    """
    out_dir = os.fspath(out_dir)
    os.makedirs(out_dir, exist_ok=True)
    names = os.listdir(out_dir)
    if not names:
        return
    ours = [n for n in names if n == META or _is_shard_file(n)]
    if len(ours) != len(names) or not overwrite:
        raise SelvaneError(
            f"{out_dir}: directory is not empty"
            + ("" if len(ours) != len(names) else " (a previous output: --overwrite, or overwrite=True, replaces it)")
        )
    # meta.json first: an interrupted clean-up must not leave a directory
    # that still looks finished.
    if META in ours:
        os.unlink(os.path.join(out_dir, META))
    for name in ours:
        if name != META:
            os.unlink(os.path.join(out_dir, name))


def _is_shard_file(name: str) -> bool:
    base = name.split(_TMP, 1)[0]
    return base.endswith((".bin", ".idx")) or base == META


def remove_temporaries(out_dir: str | os.PathLike[str]) -> None:
    """Removes the temporary files of shards (and meta.json) left by workers
    that were stopped."""
    for name in os.listdir(out_dir):
        if _TMP in name:
            try:
                os.unlink(os.path.join(out_dir, name))
            except FileNotFoundError:
                pass


# ---------------------------------------------------------------- reading


def _numpy() -> Any:
    try:
        import numpy
    except ImportError:
        return None
    return numpy


def _map(path: str, code: str, count: int) -> Any:
    """A read-only little-endian view of `count` items of the file `path`:
    a numpy memmap when numpy is present, else a memoryview over mmap."""
    np = _numpy()
    if np is not None:
        dtype = "<u2" if code == "H" else "<u8"
        if count == 0:
            return np.zeros(0, dtype=dtype)
        return np.memmap(path, dtype=dtype, mode="r", shape=(count,))
    if count == 0:
        return memoryview(array(code))
    with open(path, "rb") as f:
        mapped = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    if sys.byteorder == "big":
        swapped = array(code, mapped)
        swapped.byteswap()
        return memoryview(swapped)
    return memoryview(mapped).cast("H" if code == "H" else "Q")


class FlatIds:
    """Every id of an output, in order, as one sequence over the shards'
    memory maps: ``len``, indexing and slicing (a slice gives a numpy array,
    or an ``array('H')`` without numpy), and ``numpy.asarray``.
    """

    def __init__(self, parts: list[Any]) -> None:
        self._parts = parts
        self._starts = [0]
        for part in parts:
            self._starts.append(self._starts[-1] + len(part))

    def __len__(self) -> int:
        return self._starts[-1]

    def __getitem__(self, key: int | slice) -> Any:
        if isinstance(key, slice):
            start, stop, step = key.indices(len(self))
            if step != 1:
                return self[start:stop][::step]
            return self._range(start, stop)
        index = key + len(self) if key < 0 else key
        if not 0 <= index < len(self):
            raise IndexError("id index out of range")
        part = bisect.bisect_right(self._starts, index) - 1
        return int(self._parts[part][index - self._starts[part]])

    def _range(self, start: int, stop: int) -> Any:
        pieces = []
        part = bisect.bisect_right(self._starts, start) - 1
        while start < stop and part < len(self._parts):
            base = self._starts[part]
            end = min(stop, self._starts[part + 1])
            if end > start:
                pieces.append(self._parts[part][start - base : end - base])
            start = end
            part += 1
        np = _numpy()
        if np is not None:
            if len(pieces) == 1:
                return pieces[0]
            return np.concatenate(pieces) if pieces else np.zeros(0, dtype="<u2")
        out = array("H")
        for piece in pieces:
            out.extend(piece)
        return out

    def __array__(self, dtype: Any = None, copy: Any = None) -> numpy.ndarray[Any, Any]:
        result: numpy.ndarray[Any, Any] = _numpy().asarray(self[:])
        return result if dtype is None else result.astype(dtype)


class ShardSet:
    """A finished output opened for reading: ``len`` is the number of units,
    ``shards[i]`` the ids of unit i, iteration goes over units in input
    order, and ``ids`` is every id as one flat sequence."""

    def __init__(self, out_dir: str, meta: dict[str, Any]) -> None:
        self.out_dir = out_dir
        self.meta = meta
        self._bins: list[Any] = []
        self._idxs: list[Any] = []
        self._starts = [0]
        for shard in meta["shards"]:
            base = os.path.join(out_dir, shard["name"])
            for ext, count in ((".bin", shard["ids"] * 2), (".idx", (shard["units"] + 1) * 8)):
                try:
                    actual = os.path.getsize(base + ext)
                except OSError:
                    raise SelvaneError(f"{base}{ext}: missing") from None
                if actual != count:
                    raise SelvaneError(f"{base}{ext}: {actual} bytes, meta.json says {count}")
            self._bins.append(_map(base + ".bin", "H", shard["ids"]))
            self._idxs.append(_map(base + ".idx", "Q", shard["units"] + 1))
            self._starts.append(self._starts[-1] + shard["units"])

    @property
    def model_sha256(self) -> str:
        """The sha256 of the model that wrote the output."""
        return str(self.meta["model_sha256"])

    @property
    def unit(self) -> str:
        """The unit the inputs were split into."""
        return str(self.meta["unit"])

    def __len__(self) -> int:
        return self._starts[-1]

    def __getitem__(self, index: int) -> Any:
        if index < 0:
            index += len(self)
        if not 0 <= index < len(self):
            raise IndexError("unit index out of range")
        part = bisect.bisect_right(self._starts, index) - 1
        local = index - self._starts[part]
        offsets = self._idxs[part]
        return self._bins[part][int(offsets[local]) : int(offsets[local + 1])]

    def __iter__(self) -> Iterator[Any]:
        for ids, offsets in zip(self._bins, self._idxs):
            for local in range(len(offsets) - 1):
                yield ids[int(offsets[local]) : int(offsets[local + 1])]

    @property
    def ids(self) -> FlatIds:
        """Every id of every unit, in order, without unit boundaries."""
        return FlatIds(self._bins)

    def shard_ids(self) -> list[Any]:
        """The memory-mapped .bin of each shard, in order."""
        return list(self._bins)


def read_shards(out_dir: str | os.PathLike[str], model: Any = None) -> ShardSet:
    """Opens a finished output. With `model` (a Model, or a sha256 hex
    string), refuses an output that another model wrote.

    >>> shards = read_shards("out")          # doctest: +SKIP
    >>> len(shards), list(shards[0])         # doctest: +SKIP
    """
    out_dir = os.fspath(out_dir)
    path = os.path.join(out_dir, META)
    try:
        with open(path, encoding="utf-8") as f:
            meta = json.load(f)
    except FileNotFoundError:
        raise SelvaneError(f"{out_dir}: no {META}: not a finished output") from None
    except (OSError, ValueError) as error:
        raise SelvaneError(f"{path}: {error}") from None
    if not isinstance(meta, dict) or meta.get("format") != FORMAT:
        raise SelvaneError(f"{path}: not a selvane shard index")
    if meta.get("version") != VERSION:
        raise SelvaneError(f"{path}: format version {meta.get('version')}, this reader knows {VERSION}")
    if model is not None:
        expected = model if isinstance(model, str) else model.sha256
        if meta["model_sha256"] != expected:
            raise SelvaneError(
                f"{out_dir}: encoded with the model of sha256 {meta['model_sha256']}, "
                f"not with this one ({expected})"
            )
    return ShardSet(out_dir, meta)


def task_dicts(tasks: Sequence[ShardTask]) -> list[dict[str, Any]]:
    """Plain dictionaries of `tasks`, for executors that move records."""
    return [asdict(task) for task in tasks]
