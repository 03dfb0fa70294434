"""A loaded tokenizer model: the extension's `Data` plus the model file bytes.

`Model` gives the extension's own results (`encode`, `decode`, `vocab`) and
adds what the extension does not expose: the token of an id, counts, the
file's hash, and pickling by value, so that a worker process or a cluster node
gets the model without a shared file system.
"""

from __future__ import annotations

import os
import struct

import selvane

from ._files import open_input, write_atomically
from ._panic import panic_type
from .errors import ModelFormatError, SelvaneError
from .model_file import (
    OOV_KEY,
    add_special_maps,
    cut_maps,
    initial_maps,
    read_maps,
    read_maps_and_size,
    write_maps,
)
from .rules import check_rule, check_threads, load_engine

# `typing` costs more to import than the whole training command's start-up
# budget; annotations are strings here, so the names are for the checker only.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Collection, Iterable, Sequence
    from typing import BinaryIO, Literal, SupportsIndex, overload

    from ._engine import Engine
    from .encoded_units import EncodedUnits
else:
    # Only the checker reads the overloads; at run time the last definition
    # stands.
    def overload(function: object) -> object:
        return function

__all__ = ["EMPTY_MODEL", "Model", "ModelContents", "ModelFormatError", "new_model", "parse_model", "read_model_file", "saved_counts"]

#: The smallest model file: three empty maps (24 zero bytes). Training from
#: scratch starts from it.
EMPTY_MODEL: bytes = bytes(24)

_MAX_SIZE = 0xFFFF_FFFF
_U64 = struct.Struct("<Q")


class ModelContents:
    """What a model file holds, as far as the companion needs it: `lookup`
    (token id -> the token's bytes), `merges` (number of distinct merge
    pairs), `unicode_entries` (distinct keys of the cluster table, "oov"
    included), `has_oov`, `size` (the bytes the decoder reads; anything
    after them is ignored) and `oov_id` (the id of unknown clusters, or
    None)."""

    __slots__ = ("lookup", "merges", "unicode_entries", "has_oov", "size", "oov_id")

    def __init__(self, lookup: dict[int, bytes], merges: int, unicode_entries: int, has_oov: bool, size: int,
                 oov_id: int | None = None) -> None:
        self.lookup = lookup
        self.merges = merges
        self.unicode_entries = unicode_entries
        self.has_oov = has_oov
        self.size = size
        self.oov_id = oov_id


def parse_model(data: bytes) -> ModelContents:
    """Decodes a model file the way the extension's loader does.

    It accepts exactly the files the loader accepts (later duplicate keys win,
    trailing bytes are ignored) and raises `ModelFormatError` naming the
    problem otherwise. Checking in Python first keeps the extension's panic
    report off standard error for the common mistake of a wrong file.
    """
    maps, size = read_maps_and_size(data)
    keys = maps.unicode_lookup
    return ModelContents(maps.lookup, len(maps.merges), len(keys), OOV_KEY in keys, size, keys.get(OOV_KEY))


def saved_counts(data: bytes) -> tuple[int, int] | None:
    """(ids, merges) of a model file as training writes it, or None when
    `data` is not a whole model file.

    Much cheaper than `parse_model`: it only walks the lengths, which is
    enough to tell a finished save from one still being written (a prefix
    of a model file never decodes). Counts are the file's, so a file with
    duplicate keys, which training never writes, counts them twice.
    """
    walked = _walk_lengths(data)
    return None if walked is None or walked[2] < 0 else walked[:2]


def _walk_lengths(data: bytes | bytearray) -> tuple[int, int, int] | None:
    """(ids, merges, size) of the model file that `data` starts with, by its
    lengths alone; None when `data` ends inside it; size -1 when a count or
    length is one no model file has, so no amount of further bytes helps."""
    end = len(data)
    if end < 24:
        return None
    u64 = _U64.unpack_from
    (ids,) = u64(data, 0)
    pos = 8
    try:
        if ids > _MAX_SIZE:
            return (0, 0, -1)
        for _ in range(ids):
            (length,) = u64(data, pos + 2)
            if length > _MAX_SIZE:
                return (0, 0, -1)
            pos += 10 + length
        (merges,) = u64(data, pos)
        pos += 8 + 6 * merges
        (clusters,) = u64(data, pos)
        if merges > _MAX_SIZE or clusters > _MAX_SIZE:
            return (0, 0, -1)
        pos += 8
        for _ in range(clusters):
            (length,) = u64(data, pos)
            if length > _MAX_SIZE:
                return (0, 0, -1)
            pos += 10 + length
    except struct.error:
        return None
    return (int(ids), int(merges), pos) if pos <= end else None


def read_model_file(source: BinaryIO) -> bytes:
    """The bytes of the model file that `source` starts with, read until the
    model ends (a little past it at most, never the rest of a large file),
    like the extension's loader. A source that ends first, or holds no
    model, gives what was read, for `parse_model` to say what is wrong."""
    data = bytearray()
    want = 1 << 16
    while True:
        chunk = source.read(want - len(data))
        if chunk:
            data += chunk
        walked = _walk_lengths(data)
        if walked is not None:
            size = walked[2]
            return bytes(data if size < 0 else data[:size])
        if not chunk:
            return bytes(data)
        if len(data) >= want:
            want *= 2


def _load_extension(data: bytes) -> selvane.Data:
    """Hands `data` to the extension's loader, which only reads named files.

    An anonymous memory file keeps the bytes off every file system; where
    there is none (no memfd_create or no /proc), a private temporary file
    serves.
    """
    try:
        fd = os.memfd_create("selvane-model", os.MFD_CLOEXEC)
    except (AttributeError, OSError):
        fd = -1
    if fd >= 0 and os.path.exists(f"/proc/self/fd/{fd}"):
        try:
            with open(fd, "wb", closefd=False) as sink:
                sink.write(data)
            return selvane.load_from_file(f"/proc/self/fd/{fd}")
        finally:
            os.close(fd)
    if fd >= 0:
        os.close(fd)
    import tempfile

    with tempfile.TemporaryDirectory(prefix="selvane-model-") as directory:
        path = os.path.join(directory, "model")
        with open(path, "wb") as sink:
            sink.write(data)
        return selvane.load_from_file(path)


class Model:
    """A tokenizer model loaded from a model file (`str` or `os.PathLike`).

    `encode`, `decode` and `vocab` return exactly what the extension returns.
    The object carries the model file's bytes: it pickles by them, and
    `model_bytes` and `sha256` describe the file it was loaded from.
    """

    __slots__ = ("_extension_model", "_file_bytes", "_contents", "_name", "_engine")

    _extension_model: selvane.Data
    _file_bytes: bytes
    _contents: ModelContents
    _name: str
    _engine: Engine | None

    def __init__(self, path: str | os.PathLike[str]) -> None:
        name = os.fsdecode(os.fspath(path))
        with open_input(path, "model") as source:
            try:
                data = read_model_file(source)
            except OSError as error:
                raise SelvaneError(f"cannot read model {name}: {error.strerror or error}") from None
            # The extension reads the very file that was read here (its open
            # descriptor, so a rename since makes no difference), which
            # spares writing a copy of the bytes anywhere.
            same_file = f"/proc/self/fd/{source.fileno()}"
            self._load(data, name, same_file if os.path.exists(same_file) else None)

    @classmethod
    def from_bytes(cls, data: bytes) -> Model:
        """Loads a model from the bytes of a model file."""
        model = cls.__new__(cls)
        model._load(bytes(data), "<bytes>")
        return model

    def _load(self, data: bytes, name: str, source: str | None = None) -> None:
        """Loads `data`, the bytes of a model file, into the extension, from
        `source` (a path to a file that starts with those bytes) when given."""
        try:
            contents = parse_model(data)
        except ModelFormatError as error:
            raise ModelFormatError(f"{name} is not a selvane model file: {error}") from error
        try:
            self._extension_model = selvane.load_from_file(source) if source else _load_extension(data)
        except panic_type() as panic:
            raise ModelFormatError(f"{name} is not a selvane model file: {panic}") from panic
        except OSError as error:
            raise SelvaneError(f"cannot load model {name}: {error.strerror or error}") from None
        self._file_bytes = data
        self._contents = contents
        self._name = name
        self._engine = None

    def __reduce__(self) -> tuple[object, tuple[bytes]]:
        return (Model.from_bytes, (self._file_bytes,))

    def __repr__(self) -> str:
        return f"<selvane_tools.Model {self.num_ids} ids, sha256 {self.sha256[:12]}>"

    @property
    def model_bytes(self) -> bytes:
        """The bytes of the model file, exactly as loaded (up to where the
        model ends); `data` is the loaded model, not bytes."""
        return self._file_bytes

    @property
    def sha256(self) -> str:
        """The SHA-256 of the model file bytes, in hexadecimal."""
        import hashlib

        return hashlib.sha256(self._file_bytes).hexdigest()

    @property
    def data(self) -> selvane.Data:
        """The extension's loaded model (`selvane.Data`), for code that wants
        it directly; the bytes of the file are `model_bytes`."""
        return self._extension_model

    @property
    def num_ids(self) -> int:
        """The number of token ids in the model (what `vocab()` lists)."""
        return len(self._contents.lookup)

    @property
    def num_merges(self) -> int:
        """The number of learned merges."""
        return self._contents.merges

    @property
    def num_clusters(self) -> int:
        """The number of grapheme clusters the model knows (not counting "oov")."""
        return self._contents.unicode_entries - self._contents.has_oov

    @property
    def has_oov(self) -> bool:
        """Whether the model has the entry for unknown clusters ("oov"), which
        training adds; without it only texts of known clusters encode."""
        return self._contents.has_oov

    @property
    def oov_id(self) -> int | None:
        """The id every unknown cluster encodes to (0 in a trained model), or
        None when the model has no entry for unknown clusters."""
        return self._contents.oov_id

    @property
    def special_tokens(self) -> dict[str, int]:
        """The special tokens of the model, text -> id, in ascending id order.

        A special token is an id that no cluster or merge produces, other than
        0 and the byte tokens, whose bytes are text; `encode` emits it only
        where `allowed_special` names it:

        >>> model.special_tokens  # doctest: +SKIP
        {'<|endoftext|>': 1, '<|pad|>': 2}
        """
        return dict(self._run(lambda engine: engine.special_tokens()))

    @property
    def has_byte_fallback(self) -> bool:
        """Whether the model holds the 256 byte tokens (ids whose bytes are
        the single bytes 0x00 to 0xFF, in order): then every unknown cluster
        encodes to the ids of its UTF-8 bytes instead of the oov id, and
        ``decode(encode(text)) == text`` for every text."""
        return self._run(lambda engine: engine.byte_base()) is not None

    def _allowed_ids(self, allowed_special: str | Collection[str]) -> Literal["all"] | tuple[int, ...]:
        """The special tokens that `allowed_special` names, as the engine
        takes them: ``"all"``, or the ids of a collection of their texts;
        `SelvaneError` for a text that is not a special token of the model."""
        if isinstance(allowed_special, str):
            if allowed_special == "all":
                return "all"
            raise SelvaneError(
                f"allowed_special must be 'all' or a collection of special tokens, not the str {allowed_special!r}"
            )
        if not allowed_special:
            return ()
        specials = self.special_tokens
        ids = []
        for token in allowed_special:
            if not isinstance(token, str) or token not in specials:
                raise SelvaneError(f"{token!r} is not a special token of the model")
            ids.append(specials[token])
        return tuple(sorted(set(ids)))

    def encode(self, text: str, *, rule: str = "frequency", allowed_special: str | Collection[str] = ()) -> list[int]:
        """The token ids of `text`; clusters the model never saw get id 0,
        or the ids of their UTF-8 bytes when the model has byte fallback.

        `rule` is ``"frequency"`` (exactly the extension's ``Data.encode``) or
        ``"rank"`` (the merges in the order they were learned; about half the
        tokens, and a line's ids do not depend on the text around it):

        >>> ids = model.encode("بسم الله", rule="rank")  # doctest: +SKIP
        >>> model.decode(ids) == "بسم الله"  # every cluster known  # doctest: +SKIP
        True

        `allowed_special` is ``"all"`` or a collection of special-token texts
        (see `special_tokens`). By default special texts are encoded as
        ordinary text; the allowed ones are emitted as their ids where they
        occur (leftmost, the longest first), and the text between them is
        encoded piece by piece, each piece alone:

        >>> model.encode("سلام<|endoftext|>", allowed_special="all")  # doctest: +SKIP
        [412, 87, 1]
        """
        allowed = self._allowed_ids(allowed_special)
        if check_rule(rule) == "frequency" and not allowed and not self.has_byte_fallback:
            try:
                return self._extension_model.encode(text)
            except panic_type() as panic:
                raise SelvaneError(
                    "the text has clusters the model does not know, and the model has no "
                    'entry for unknown clusters ("oov"): it was never trained'
                ) from panic
        return self._run(lambda engine: engine.encode(text, rule, allowed or None))

    @overload
    def encode_batch(
        self,
        texts: Sequence[str],
        *,
        rule: str = ...,
        threads: int | None = ...,
        flat: Literal[False] = ...,
        allowed_special: str | Collection[str] = ...,
    ) -> list[list[int]]: ...
    @overload
    def encode_batch(
        self,
        texts: Sequence[str],
        *,
        rule: str = ...,
        threads: int | None = ...,
        flat: Literal[True],
        allowed_special: str | Collection[str] = ...,
    ) -> tuple[bytes, bytes]: ...
    def encode_batch(
        self,
        texts: Sequence[str],
        *,
        rule: str = "frequency",
        threads: int | None = None,
        flat: bool = False,
        allowed_special: str | Collection[str] = (),
    ) -> list[list[int]] | tuple[bytes, bytes]:
        """The token ids of each text of `texts`, encoded on `threads` threads
        with the interpreter lock released; each text is encoded alone, exactly
        as `encode` would (`allowed_special` included), whatever the number of
        threads.

        `threads=None` uses every core the process may run on. With
        `flat=True` the result is a pair ``(ids, offsets)`` of bytes: the
        little-endian uint16 ids of all texts end to end, and ``len(texts) + 1``
        little-endian uint64 offsets, the first 0, so that the ids of text i
        are ``ids[offsets[i]:offsets[i + 1]]`` read without a copy:

        >>> ids, offsets = model.encode_batch(lines, rule="rank", flat=True)  # doctest: +SKIP
        >>> numpy.frombuffer(ids, "<u2"), memoryview(offsets).cast("Q")  # doctest: +SKIP
        """
        check_rule(rule)
        if isinstance(texts, str):
            # A str is a sequence too, of one-character texts: surely a mistake.
            raise SelvaneError("texts must be a sequence of str, not one str")
        workers = check_threads(threads)
        allowed = self._allowed_ids(allowed_special) or None
        return self._run(lambda engine: engine.encode_batch(texts, rule, workers, bool(flat), allowed))

    def encode_units(
        self,
        texts: Sequence[str],
        *,
        rule: str = "frequency",
        threads: int | None = None,
        allowed_special: str | Collection[str] = (),
        eos: int | None = None,
    ) -> EncodedUnits:
        """Encodes each text of `texts` as `encode_batch` with ``flat=True``
        does, and counts what the model did not know: an `EncodedUnits`
        ``(ids, offsets, unknown_clusters, units_with_unknown)``.

        With `eos` (a token id of the model) that id follows every unit and
        counts inside the unit's span. `unknown_clusters` counts the clusters
        the model does not know, with or without byte fallback, and
        `units_with_unknown` the texts that held at least one:

        >>> units = model.encode_units(["بسم", "😀"], rule="rank", eos=1)  # doctest: +SKIP
        >>> units.unknown_clusters, units.units_with_unknown  # doctest: +SKIP
        (1, 1)
        """
        from .encoded_units import EncodedUnits

        check_rule(rule)
        if isinstance(texts, str):
            raise SelvaneError("texts must be a sequence of str, not one str")
        workers = check_threads(threads)
        allowed = self._allowed_ids(allowed_special) or None
        if eos is not None and (
            isinstance(eos, bool) or not isinstance(eos, int) or eos not in self._contents.lookup
        ):
            raise SelvaneError(f"eos must be a token id of the model, not {eos!r}")
        ids, offsets, unknown, units = self._run(
            lambda engine: engine.encode_units(texts, rule, workers, allowed, eos)
        )
        return EncodedUnits(ids, offsets, unknown, units)

    def encode_with_offsets(
        self, text: str, *, rule: str = "frequency", allowed_special: str | Collection[str] = ()
    ) -> list[tuple[int, int, int]]:
        """``(id, start, end)`` for each token of `text`, with the ids of
        `encode` and the token's span in code points of `text`.

        The spans are contiguous from 0 to ``len(text)``; ``text[start:end]``
        is the token's text for every id the model knows, an unknown
        cluster's id spans that cluster, and an allowed special token spans
        its text. With byte fallback the first byte id of an unknown cluster
        spans the cluster and its other byte ids are empty at the cluster's
        end:

        >>> spans = model.encode_with_offsets(text, rule="rank")  # doctest: +SKIP
        >>> "".join(text[start:end] for _, start, end in spans) == text  # doctest: +SKIP
        True
        """
        check_rule(rule)
        allowed = self._allowed_ids(allowed_special) or None
        return self._run(lambda engine: engine.encode_with_offsets(text, rule, allowed))

    def _run[R](self, call: Callable[[Engine], R]) -> R:
        """Returns `call(engine)`, building the engine on first use, with the
        engine's failures as `SelvaneError`."""
        from ._engine import EngineError

        engine = self._engine
        if engine is None:
            # Two threads may both build one; either serves, as it never changes.
            engine = self._engine = load_engine(self._file_bytes)
        try:
            return call(engine)
        except EngineError as error:
            raise SelvaneError(str(error)) from error

    def decode(self, ids: Sequence[SupportsIndex]) -> str:
        """The text of a sequence of token ids, as ``Data.decode`` gives it:
        ids of unknown clusters vanish, special and byte tokens give their
        bytes."""
        try:
            return self._extension_model.decode(ids)
        except (panic_type(), OverflowError) as failure:
            # A negative or too large id fails the conversion to a token id
            # before the extension looks it up; to the caller it is the same
            # mistake.
            missing = next((int(i) for i in ids if int(i) not in self._contents.lookup), None)
            what = f"id {missing}" if missing is not None else "an id"
            raise SelvaneError(f"{what} is not in the model") from failure

    def vocab(self) -> list[int]:
        """Every token id of the model, each once, in the extension's order."""
        return self._extension_model.vocab()

    def token_bytes(self, token: int) -> bytes:
        """The bytes of one token; `SelvaneError` if the id is not in the model."""
        try:
            return self._contents.lookup[token]
        except KeyError:
            raise SelvaneError(f"id {token} is not in the model") from None

    def token_text(self, token: int) -> str:
        """The text of one token (invalid UTF-8 shown as U+FFFD)."""
        return self.token_bytes(token).decode("utf-8", "replace")

    def tokens(self, ids: Iterable[int]) -> list[str]:
        """The text of each id of `ids`, one string per id, for display."""
        return [self.token_text(token) for token in ids]

    def cut(self, n: int) -> Model:
        """This model without the ids from `n` on: the model as training
        had it when it first held `n` ids, which training can continue.

        Tokens below `n` stay, with the merges whose result is below `n` and
        the clusters below `n`; the file lists each map's entries sorted, so
        the same cut of the same model always gives the same bytes:

        >>> small = model.cut(8000)  # doctest: +SKIP
        >>> small.num_ids <= 8000  # doctest: +SKIP
        True
        """
        return Model.from_bytes(write_maps(cut_maps(read_maps(self._file_bytes), n)))

    def add_special(self, tokens: Sequence[str]) -> Model:
        """This model with `tokens` added as special tokens at the ids after
        its highest one, in the order given. No cluster or merge produces
        them, so they keep their ids when training continues the model.

        An empty token, one given twice or one that is a special token of
        the model already is a `SelvaneError`.
        """
        return Model.from_bytes(write_maps(add_special_maps(read_maps(self._file_bytes), tokens)))

    def save(self, path: str | os.PathLike[str], *, overwrite: bool = False) -> None:
        """Writes the model file to `path` atomically; an existing file is
        kept and reported as a `SelvaneError` unless `overwrite` is true."""
        write_atomically(path, self._file_bytes, overwrite=overwrite, remove_stale=True)

    def longest_tokens(self, count: int = 10) -> list[int]:
        """The ids of the `count` tokens with the most characters, longest first."""
        lengths = {token: len(raw.decode("utf-8", "replace")) for token, raw in self._contents.lookup.items()}
        return sorted(lengths, key=lambda token: (-lengths[token], token))[:count]


def new_model(path: str | os.PathLike[str], *, overwrite: bool = False, special: Sequence[str] = (),
              byte_fallback: bool = False) -> None:
    """Writes a model to train from to `path`, atomically.

    Plain, it is the empty model (`EMPTY_MODEL`). With `special` tokens or
    `byte_fallback`, it holds id 0 for unknown clusters, the special tokens
    at ids 1, 2, ... in the order given, then, with `byte_fallback`, one
    token for each of the 256 byte values; training hands out its own ids
    after them. An existing file is kept and reported as a `SelvaneError`
    unless `overwrite` is true.
    """
    if special or byte_fallback:
        data = write_maps(initial_maps(special, byte_fallback))
    else:
        data = EMPTY_MODEL
    write_atomically(path, data, overwrite=overwrite, remove_stale=True)
