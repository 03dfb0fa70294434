"""Reading a finished shard output: meta.json checked, shards mapped lazily.

Nothing in an output directory is trusted: meta.json has a size cap and every
key is checked for its type and range, shard names must be plain names of
files inside the directory, and each shard's files are checked against
meta.json (sizes, offsets that start at 0, never decrease and end at the
number of ids) when the shard is first read. Shards are opened on demand and
at most `OPEN_SHARDS` stay mapped, so an output of 60,000 shards reads with
a bounded number of maps and descriptors whatever its size.
"""

from __future__ import annotations

import bisect
import collections
import json
import mmap
import operator
import os
import stat
import sys
from array import array
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any, overload

from ._files import open_input
from .errors import SelvaneError
from .rules import RULES
from .units import UnitError, parse_unit

if TYPE_CHECKING:
    import numpy

__all__ = ["FORMAT", "META", "META_LIMIT", "OPEN_SHARDS", "VERSION", "FlatIds", "ShardSet", "load_meta", "read_shards"]

FORMAT = "selvane-shards"
VERSION = 1
META = "meta.json"
# 60,000 shards take some 8 MB of meta.json; a file far beyond that is not
# one of ours and is not read into memory.
META_LIMIT = 64 << 20
# Shards kept mapped at once: two maps each, and before Python 3.13 two
# descriptors (a map keeps a duplicate of its file's descriptor there).
OPEN_SHARDS = 32
# From Python 3.13 a map need not keep a descriptor of its own.
_UNTRACKED: dict[str, Any] = {"trackfd": False} if sys.version_info >= (3, 13) else {}


def _numpy() -> Any:
    try:
        import numpy
    except ImportError:
        return None
    return numpy


# ------------------------------------------------------------- meta.json


def load_meta(out_dir: str | os.PathLike[str]) -> dict[str, Any]:
    """The content of `out_dir`/meta.json, checked: every key present with
    its type, counts that add up, each shard named once by a plain name. Any
    fault is a one-line `SelvaneError` naming the file."""
    out_dir = os.fspath(out_dir)
    path = os.path.join(out_dir, META)
    if not os.path.lexists(path):
        raise SelvaneError(f"{out_dir}: no {META}: not a finished output")
    with open_input(path, "shard index") as f:
        try:
            data = f.read(META_LIMIT + 1)
        except OSError as error:
            raise SelvaneError(f"cannot read {path}: {error.strerror or error}") from None
    if len(data) > META_LIMIT:
        raise SelvaneError(f"{path}: larger than {META_LIMIT:,} bytes: not a selvane shard index")
    try:
        meta = json.loads(data.decode("utf-8"))
    except (ValueError, RecursionError) as error:
        reason = "nested too deeply" if isinstance(error, RecursionError) else str(error)
        raise SelvaneError(f"{path}: not JSON ({reason})") from None
    _check_meta(meta, path)
    return meta  # type: ignore[no-any-return]


def _need(ok: bool, path: str, what: str) -> None:
    if not ok:
        raise SelvaneError(f"{path}: {what}")


def _count(record: dict[str, Any], key: str, path: str, where: str) -> int:
    value = record.get(key)
    # bool is an int to Python, not to a reader of the format.
    _need(type(value) is int and value >= 0, path, f"{where}{key!r} is not a count: {value!r}"[:200])
    return int(value)  # type: ignore[arg-type]


def _check_meta(meta: Any, path: str) -> None:
    _need(isinstance(meta, dict) and meta.get("format") == FORMAT, path, "not a selvane shard index")
    _need(meta.get("version") == VERSION, path, f"format version {meta.get('version')!r}, this reader knows {VERSION}"[:200])
    _need(isinstance(meta.get("model_sha256"), str), path, "'model_sha256' is not a string")
    _need(isinstance(meta.get("unit"), str), path, "'unit' is not a string")
    try:
        parse_unit(meta["unit"])
    except UnitError as error:
        raise SelvaneError(f"{path}: {error}") from None
    # Outputs written before the rule was recorded were all "frequency".
    rule = meta.setdefault("rule", "frequency")
    _need(isinstance(rule, str) and rule in RULES, path,
          f"'rule' is {rule!r}, not one of {', '.join(map(repr, RULES))}"[:200])
    # Outputs written before these were recorded have none of them.
    eos_id = meta.get("eos_id")
    _need(eos_id is None or (type(eos_id) is int and 0 <= eos_id <= 0xFFFF), path,
          f"'eos_id' is not a token id: {eos_id!r}"[:200])
    for key in ("unknown_clusters", "units_with_unknown"):
        if key in meta:
            _count(meta, key, path, "")
    inputs, shards = meta.get("inputs"), meta.get("shards")
    _need(isinstance(inputs, list), path, "'inputs' is not a list")
    _need(isinstance(shards, list), path, "'shards' is not a list")
    sizes = []
    for number, entry in enumerate(inputs):
        where = f"input {number}: "
        _need(isinstance(entry, dict) and isinstance(entry.get("path"), str), path, f"{where}no path")
        sizes.append(_count(entry, "size", path, where))
    seen: set[str] = set()
    for number, shard in enumerate(shards):
        _need(isinstance(shard, dict), path, f"shard {number} is not an object")
        name = shard.get("name")
        _need(isinstance(name, str) and _plain_name(name), path, f"shard {number}: {name!r} is not a plain file name"[:200])
        _need(name not in seen, path, f"shard {name}: listed more than once")
        seen.add(name)
        where = f"shard {name}: "
        source = shard.get("input")
        _need(type(source) is int and 0 <= source < len(sizes), path, f"{where}no input {source!r}"[:200])
        start, end = _count(shard, "start", path, where), _count(shard, "end", path, where)
        _need(start <= end <= sizes[source], path, f"{where}bytes [{start}, {end}) are not in its input")
        _count(shard, "units", path, where)
        _count(shard, "ids", path, where)
    for key, total in (
        ("units", sum(s["units"] for s in shards)),
        ("ids", sum(s["ids"] for s in shards)),
        ("bytes", sum(sizes)),
    ):
        _need(_count(meta, key, path, "") == total, path, f"{key!r} is {meta[key]}, the entries add up to {total}")


def _plain_name(name: str) -> bool:
    """A name of a file inside the directory: no separator, no way up or
    out, none of the hidden names that the writer's own files use."""
    return bool(name) and "/" not in name and "\0" not in name and not name.startswith(".") and len(name) < 200


# ---------------------------------------------------------- shard files


def _map(path: str, code: str, count: int) -> Any:
    """A read-only little-endian view of the `count` items of the file
    `path`, which must be a regular file of exactly that size (a symlink is
    refused: a shard is a file of the directory, not a way to another
    file). A numpy array over the map when numpy is present, else a
    memoryview; the descriptor is closed before returning."""
    itemsize = 2 if code == "H" else 8
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
    except FileNotFoundError:
        raise SelvaneError(f"{path}: missing") from None
    except OSError as error:
        raise SelvaneError(f"cannot read {path}: {error.strerror or error}") from None
    with open(fd, "rb", buffering=0) as f:
        _check_status(os.fstat(fd), path, count * itemsize)
        np = _numpy()
        if count == 0:
            return np.zeros(0, dtype="<u2" if code == "H" else "<u8") if np is not None else memoryview(array(code))
        mapped = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ, **_UNTRACKED)
    if np is not None:
        return np.frombuffer(mapped, dtype="<u2" if code == "H" else "<u8")
    if sys.byteorder == "big":
        swapped = array(code, mapped)
        swapped.byteswap()
        return memoryview(swapped)
    return memoryview(mapped).cast("H" if code == "H" else "Q")


def _check_status(status: os.stat_result, path: str, size: int) -> None:
    if not stat.S_ISREG(status.st_mode):
        raise SelvaneError(f"{path}: not a regular file")
    if status.st_size != size:
        raise SelvaneError(f"{path}: {status.st_size} bytes, meta.json says {size}")


def _check_sizes(out_dir: str, meta: dict[str, Any]) -> None:
    """Every shard file present, a regular file of the size meta.json gives
    it: a copy cut short is named when the output is opened. One status per
    file and no descriptor."""
    for shard in meta["shards"]:
        base = os.path.join(out_dir, shard["name"])
        for ext, size in ((".bin", shard["ids"] * 2), (".idx", (shard["units"] + 1) * 8)):
            try:
                status = os.lstat(base + ext)
            except FileNotFoundError:
                raise SelvaneError(f"{base}{ext}: missing") from None
            except OSError as error:
                raise SelvaneError(f"cannot read {base}{ext}: {error.strerror or error}") from None
            _check_status(status, base + ext, size)


def _check_offsets(offsets: Any, ids: int, path: str) -> None:
    """Offsets of a shard: first 0, never decreasing, last `ids`."""
    if int(offsets[0]) != 0 or int(offsets[-1]) != ids:
        raise SelvaneError(f"{path}: offsets run from {int(offsets[0])} to {int(offsets[-1])}, not from 0 to {ids}")
    np = _numpy()
    # Compared, not subtracted: a difference of unsigned offsets wraps.
    if np is not None:
        ordered = bool((offsets[:-1] <= offsets[1:]).all())
    else:
        ordered = all(map(operator.le, offsets[:-1], offsets[1:]))
    if not ordered:
        raise SelvaneError(f"{path}: offsets decrease")


class ShardSet:
    """A finished output opened for reading: ``len`` is the number of units,
    ``units[i]`` (also ``shard_set[i]``) the ids of unit i, iteration goes
    over units in input order, ``ids`` is every id as one flat sequence and
    ``ids_by_shard()`` the ids of each shard.

    Shards are mapped when first read and at most `OPEN_SHARDS` of them stay
    mapped (a view handed out keeps its own shard alive)."""

    def __init__(self, out_dir: str, meta: dict[str, Any]) -> None:
        self.out_dir = out_dir
        self.meta = meta
        shards = meta["shards"]
        self._names: list[str] = [shard["name"] for shard in shards]
        self._units: list[int] = [shard["units"] for shard in shards]
        self._ids: list[int] = [shard["ids"] for shard in shards]
        self._unit_starts = [0]
        self._id_starts = [0]
        for units, ids in zip(self._units, self._ids):
            self._unit_starts.append(self._unit_starts[-1] + units)
            self._id_starts.append(self._id_starts[-1] + ids)
        self._open: collections.OrderedDict[int, tuple[Any, Any]] = collections.OrderedDict()

    @property
    def model_sha256(self) -> str:
        """The sha256 of the model that wrote the output."""
        return str(self.meta["model_sha256"])

    @property
    def unit(self) -> str:
        """The unit the inputs were split into."""
        return str(self.meta["unit"])

    @property
    def rule(self) -> str:
        """The rule the units were encoded with: "frequency" or "rank"."""
        return str(self.meta.get("rule", "frequency"))

    @property
    def eos_id(self) -> int | None:
        """The id that ends every unit (``--eos``), or None when the units
        have none."""
        value = self.meta.get("eos_id")
        return None if value is None else int(value)

    @property
    def num_shards(self) -> int:
        """The number of shards (file pairs) of the output."""
        return len(self._names)

    def _shard(self, k: int) -> tuple[Any, Any]:
        """(ids, offsets) of shard k, mapped and checked on first use."""
        opened = self._open.get(k)
        if opened is not None:
            self._open.move_to_end(k)
            return opened
        base = os.path.join(self.out_dir, self._names[k])
        ids = _map(base + ".bin", "H", self._ids[k])
        offsets = _map(base + ".idx", "Q", self._units[k] + 1)
        _check_offsets(offsets, self._ids[k], base + ".idx")
        self._open[k] = (ids, offsets)
        if len(self._open) > OPEN_SHARDS:
            self._open.popitem(last=False)
        return ids, offsets

    def __len__(self) -> int:
        return self._unit_starts[-1]

    def __getitem__(self, index: int) -> Any:
        if index < 0:
            index += len(self)
        if not 0 <= index < len(self):
            raise IndexError("unit index out of range")
        k = bisect.bisect_right(self._unit_starts, index) - 1
        local = index - self._unit_starts[k]
        ids, offsets = self._shard(k)
        return ids[int(offsets[local]) : int(offsets[local + 1])]

    def __iter__(self) -> Iterator[Any]:
        for k in range(len(self._names)):
            ids, offsets = self._shard(k)
            for local in range(self._units[k]):
                yield ids[int(offsets[local]) : int(offsets[local + 1])]

    @property
    def ids(self) -> FlatIds:
        """Every id of every unit, in order, without unit boundaries."""
        return FlatIds(self)

    def ids_by_shard(self) -> ShardIds:
        """The ids of each shard (its whole .bin), in order, mapped when
        indexed."""
        return ShardIds(self)

    def _shard_ids(self, k: int) -> Any:
        return self._shard(k)[0]


class ShardIds(Sequence[Any]):
    """The ids of each shard of a `ShardSet`, in order: ``len`` shards,
    item k the ids of shard k."""

    def __init__(self, shard_set: ShardSet) -> None:
        self._set = shard_set

    def __len__(self) -> int:
        return self._set.num_shards

    @overload
    def __getitem__(self, k: int) -> Any: ...
    @overload
    def __getitem__(self, k: slice) -> list[Any]: ...
    def __getitem__(self, k: int | slice) -> Any:
        if isinstance(k, slice):
            return [self[i] for i in range(*k.indices(len(self)))]
        if k < 0:
            k += len(self)
        if not 0 <= k < len(self):
            raise IndexError("shard index out of range")
        return self._set._shard_ids(k)


class FlatIds:
    """Every id of an output, in order, as one sequence over the shards'
    memory maps: ``len``, indexing and slicing (a slice gives a numpy array,
    or an ``array('H')`` without numpy), and ``numpy.asarray``.
    """

    def __init__(self, shard_set: ShardSet) -> None:
        self._set = shard_set
        self._starts = shard_set._id_starts

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
        k = bisect.bisect_right(self._starts, index) - 1
        return int(self._set._shard_ids(k)[index - self._starts[k]])

    def _range(self, start: int, stop: int) -> Any:
        pieces = []
        k = bisect.bisect_right(self._starts, start) - 1
        while start < stop and k < self._set.num_shards:
            base = self._starts[k]
            end = min(stop, self._starts[k + 1])
            if end > start:
                pieces.append(self._set._shard_ids(k)[start - base : end - base])
            start = end
            k += 1
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


def read_shards(out_dir: str | os.PathLike[str], model: Any = None) -> ShardSet:
    """Opens a finished output. With `model` (a Model, or a sha256 hex
    string), refuses an output that another model wrote.

    >>> shards = read_shards("out")          # doctest: +SKIP
    >>> len(shards), list(shards[0])         # doctest: +SKIP
    """
    out_dir = os.fspath(out_dir)
    meta = load_meta(out_dir)
    if model is not None:
        expected = model if isinstance(model, str) else model.sha256
        if meta["model_sha256"] != expected:
            raise SelvaneError(
                f"{out_dir}: encoded with the model of sha256 {meta['model_sha256']}, not with this one ({expected})"
            )
    _check_sizes(out_dir, meta)
    return ShardSet(out_dir, meta)
