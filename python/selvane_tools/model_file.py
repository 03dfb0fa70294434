"""A model file as its three maps, read whole and written back.

`Model` only needs counts from a file; cutting a model, adding special tokens
or writing a new one needs every entry. The reader accepts what the
extension's loader accepts (a later duplicate key wins, trailing bytes are
ignored). The writer lists each map's entries sorted (`lookup` by id,
`merges` by pair, `unicode_lookup` by the cluster's UTF-8 bytes), so one
model always gives the same bytes, whatever order the maps were filled in.

Two kinds of token are recognised by what they are not:

- byte tokens: 256 consecutive ids whose bytes are the single bytes 0x00 to
  0xFF in that order, none of them a cluster's id or a merge's result; with
  them an unknown cluster can be spelled byte by byte;
- special tokens: every other id but 0 that no cluster and no merge
  produces, whose bytes are non-empty UTF-8 text.
"""

from __future__ import annotations

import struct

from .errors import ModelFormatError, SelvaneError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Sequence

__all__ = ["ModelMaps", "MAX_IDS", "OOV_KEY", "read_maps", "read_maps_and_size", "write_maps", "cut_maps", "add_special_maps",
           "initial_maps", "special_tokens", "byte_fallback_start"]

#: Token ids are 16-bit: a model holds at most this many.
MAX_IDS = 1 << 16
#: The key of `unicode_lookup` under which unknown clusters find their id.
OOV_KEY = b"oov"

_MAX_SIZE = 0xFFFF_FFFF
_U64 = struct.Struct("<Q")
_ID_LENGTH = struct.Struct("<HQ")
_U16 = struct.Struct("<H")
_MERGE = struct.Struct("<HHH")


class ModelMaps:
    """The three maps of a model: `lookup` (id -> bytes), `merges` ((first,
    second) -> merged id) and `unicode_lookup` (a cluster's UTF-8 bytes, or
    b"oov" -> id)."""

    __slots__ = ("lookup", "merges", "unicode_lookup")

    def __init__(self, lookup: dict[int, bytes] | None = None, merges: dict[tuple[int, int], int] | None = None,
                 unicode_lookup: dict[bytes, int] | None = None) -> None:
        self.lookup = {} if lookup is None else lookup
        self.merges = {} if merges is None else merges
        self.unicode_lookup = {} if unicode_lookup is None else unicode_lookup

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ModelMaps):
            return NotImplemented
        return (self.lookup, self.merges, self.unicode_lookup) == (other.lookup, other.merges, other.unicode_lookup)

    def __repr__(self) -> str:
        return (f"<ModelMaps {len(self.lookup)} ids, {len(self.merges)} merges, "
                f"{len(self.unicode_lookup)} clusters>")


def read_maps(data: bytes) -> ModelMaps:
    """The maps of the model file that `data` starts with; `ModelFormatError`
    naming the problem when it is not one."""
    return read_maps_and_size(data)[0]


def read_maps_and_size(data: bytes) -> tuple[ModelMaps, int]:
    """`read_maps`, and the number of bytes the model takes: anything after
    them is not part of it."""
    view = memoryview(data)
    pos = 0

    def count(what: str) -> int:
        nonlocal pos
        if len(view) - pos < 8:
            raise ModelFormatError(f"the file ends inside the {what} (byte {len(view)})")
        (value,) = _U64.unpack_from(view, pos)
        if value > _MAX_SIZE:
            raise ModelFormatError(f"impossible {what} {value} at byte {pos}")
        pos += 8
        return int(value)

    def take(length: int, what: str) -> memoryview:
        nonlocal pos
        if len(view) - pos < length:
            raise ModelFormatError(f"the file ends inside {what} (byte {len(view)})")
        pos += length
        return view[pos - length : pos]

    maps = ModelMaps()
    for _ in range(count("token count")):
        (token,) = _U16.unpack(take(2, "a token entry"))
        maps.lookup[token] = bytes(take(count("token length"), f"the bytes of token {token}"))
    merges = count("merge count")
    # Fixed-size entries: one block, unpacked in one pass.
    maps.merges = {(first, second): merged
                   for first, second, merged in _MERGE.iter_unpack(take(6 * merges, "the merges"))}
    for _ in range(count("cluster count")):
        at = pos
        text = bytes(take(count("cluster length"), "a cluster text"))
        try:
            text.decode("utf-8")
        except UnicodeDecodeError:
            raise ModelFormatError(f"a cluster text at byte {at + 8} is not UTF-8") from None
        (maps.unicode_lookup[text],) = _U16.unpack(take(2, "a cluster entry"))
    return maps, pos


def write_maps(maps: ModelMaps) -> bytes:
    """The model file of `maps`, each map's entries sorted."""
    out = bytearray(_U64.pack(len(maps.lookup)))
    for token in sorted(maps.lookup):
        value = maps.lookup[token]
        out += _ID_LENGTH.pack(token, len(value))
        out += value
    out += _U64.pack(len(maps.merges))
    for (first, second) in sorted(maps.merges):
        out += _MERGE.pack(first, second, maps.merges[(first, second)])
    out += _U64.pack(len(maps.unicode_lookup))
    for text in sorted(maps.unicode_lookup):
        out += _U64.pack(len(text))
        out += text
        out += _U16.pack(maps.unicode_lookup[text])
    return bytes(out)


def _check_id_count(n: int) -> None:
    if isinstance(n, bool) or not isinstance(n, int):
        raise SelvaneError(f"the number of ids must be an int, not {type(n).__name__}")
    if not 1 <= n <= MAX_IDS:
        raise SelvaneError(f"the number of ids must be between 1 and {MAX_IDS:,}, not {n:,}")


def cut_maps(maps: ModelMaps, n: int) -> ModelMaps:
    """`maps` without the ids from `n` on: the tokens below `n`, the merges
    whose result is below `n` (its parts are older, so below it too) and the
    clusters below `n`. Training hands out ids in sequence, so this is the
    model as it was when it first held `n` ids, and training continues it.

    A cut inside the 256 byte tokens is refused: the bytes left would read
    as special tokens, and a text's letters would then encode as them."""
    _check_id_count(n)
    start = byte_fallback_start(maps)
    if start is not None and start < n < start + 256:
        raise SelvaneError(f"{n:,} ids would cut the model's byte tokens (ids {start:,} to {start + 255:,}): "
                           f"keep at most {start:,} ids, or at least {start + 256:,}")
    return ModelMaps(
        {token: value for token, value in maps.lookup.items() if token < n},
        {pair: merged for pair, merged in maps.merges.items() if merged < n},
        {text: token for text, token in maps.unicode_lookup.items() if token < n},
    )


def _token_texts(tokens: Iterable[str], known: Iterable[str] = ()) -> list[bytes]:
    """The UTF-8 bytes of each special token; an empty, repeated or already
    known token, or one that is not text, is refused."""
    if isinstance(tokens, (str, bytes)):
        raise SelvaneError("special tokens must be a sequence of str, not one string")
    existing = set(known)
    seen: set[str] = set()
    texts = []
    for token in tokens:
        if not isinstance(token, str):
            raise SelvaneError(f"a special token must be a str, not {type(token).__name__}")
        if not token:
            raise SelvaneError("a special token cannot be empty")
        if token in existing:
            raise SelvaneError(f"{token!r} is a special token of the model already")
        if token in seen:
            raise SelvaneError(f"the special token {token!r} is given twice")
        try:
            texts.append(token.encode("utf-8"))
        except UnicodeEncodeError:
            raise SelvaneError(f"the special token {token!r} is not valid Unicode text") from None
        seen.add(token)
    return texts


def _new_ids(first: int, count: int) -> range:
    if first + count > MAX_IDS:
        raise SelvaneError(f"{count:,} more ids from id {first:,} would pass the {MAX_IDS:,} ids a model can hold")
    return range(first, first + count)


def initial_maps(special: Sequence[str] = (), byte_fallback: bool = False) -> ModelMaps:
    """A model to train from: id 0 for unknown clusters, then the special
    tokens from id 1 in the order given, then the 256 byte tokens. Training
    hands out its ids after them, so all of them keep theirs."""
    texts = _token_texts(special)
    maps = ModelMaps({0: b""}, {}, {OOV_KEY: 0})
    for token, text in zip(_new_ids(1, len(texts)), texts):
        maps.lookup[token] = text
    if byte_fallback:
        for value, token in enumerate(_new_ids(1 + len(texts), 256)):
            maps.lookup[token] = bytes([value])
    return maps


def add_special_maps(maps: ModelMaps, tokens: Sequence[str]) -> ModelMaps:
    """`maps` with `tokens` appended as special tokens after its highest id.

    A model with no ids at all first gets the entry for unknown clusters at
    id 0, as `initial_maps` gives it: training would otherwise put it there
    over the first special token.
    """
    texts = _token_texts(tokens, special_tokens(maps))
    result = ModelMaps(dict(maps.lookup), dict(maps.merges), dict(maps.unicode_lookup))
    if not result.lookup:
        result.lookup[0] = b""
        result.unicode_lookup.setdefault(OOV_KEY, 0)
    for token, text in zip(_new_ids(max(result.lookup) + 1, len(texts)), texts):
        result.lookup[token] = text
    return result


def _produced_ids(maps: ModelMaps) -> set[int]:
    """The ids that a cluster or a merge gives."""
    return set(maps.unicode_lookup.values()) | set(maps.merges.values())


def byte_fallback_start(maps: ModelMaps) -> int | None:
    """The first id of the model's byte tokens, or None when it has none."""
    return _byte_run(maps, _produced_ids(maps))


def _byte_run(maps: ModelMaps, produced: set[int]) -> int | None:
    lookup = maps.lookup
    for start in sorted(token for token, value in lookup.items() if value == b"\x00" and token not in produced):
        if all(lookup.get(start + value) == bytes([value]) and start + value not in produced for value in range(256)):
            return start
    return None


def special_tokens(maps: ModelMaps) -> dict[str, int]:
    """The text and id of each special token of the model, by ascending id."""
    produced = _produced_ids(maps)
    start = _byte_run(maps, produced)
    byte_ids = range(0) if start is None else range(start, start + 256)
    found: dict[str, int] = {}
    for token in sorted(maps.lookup):
        value = maps.lookup[token]
        if token == 0 or not value or token in produced or token in byte_ids:
            continue
        try:
            text = value.decode("utf-8")
        except UnicodeDecodeError:
            continue
        # Two ids with one text: the first is the one that encoding emits.
        found.setdefault(text, token)
    return found
