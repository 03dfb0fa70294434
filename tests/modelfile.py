"""Pure-Python reader and writer of selvane model files, for tests.

Layout (all integers little-endian, no header, no padding):

    u64 N1, then N1 x (u16 id, u64 L, L bytes)           -- lookup
    u64 N2, then N2 x (u16 first, u16 second, u16 merged) -- merges
    u64 N3, then N3 x (u64 L, L bytes of UTF-8, u16 id)   -- unicode_lookup

`write_model` emits entries in the same fixed order as the extension's
encoder (lookup by id; merges by (merged, first, second); unicode_lookup by
(id, text bytes)), so byte-for-byte comparisons with files the module writes
are meaningful. `read_model` raises `ModelFileError` whose text is the
description the extension puts after "Should work: ".
"""

from __future__ import annotations

import os
import struct

__all__ = [
    "ModelFileError",
    "encode_model",
    "write_model",
    "read_model",
    "EOF",
    "SHORT_TEXT",
    "size_error",
    "utf8_error",
]

_MAX_SIZE = 0xFFFFFFFF

# Descriptions of decoding failures, as the extension reports them.
EOF = "Io(Kind(UnexpectedEof))"
SHORT_TEXT = 'Io(Custom { kind: UnexpectedEof, error: "" })'


def size_error(n: int) -> str:
    """Description of a count or byte length above 2**32 - 1."""
    return (
        f'Custom("Invalid size {n}: sizes must fit in a usize '
        f'(0 to 4294967295)")'
    )


def utf8_error(valid_up_to: int, error_len: int | None) -> str:
    """Description of an invalid unicode_lookup text."""
    length = "None" if error_len is None else f"Some({error_len})"
    return (
        f"InvalidUtf8Encoding(Utf8Error {{ valid_up_to: {valid_up_to}, "
        f"error_len: {length} }})"
    )


class ModelFileError(ValueError):
    """A model file that does not decode; str() is the description."""


def _as_bytes(key: str | bytes) -> bytes:
    return key.encode("utf-8") if isinstance(key, str) else bytes(key)


def encode_model(
    lookup: dict[int, bytes],
    merges: dict[tuple[int, int], int],
    unicode_lookup: dict[str | bytes, int],
) -> bytes:
    """Returns the model file image. Text keys may be bytes (even invalid
    UTF-8) so that tests can build files the decoder must refuse."""
    out = bytearray()
    out += struct.pack("<Q", len(lookup))
    for token_id in sorted(lookup):
        value = bytes(lookup[token_id])
        out += struct.pack("<HQ", token_id, len(value)) + value
    out += struct.pack("<Q", len(merges))
    for (first, second), merged in sorted(
        merges.items(), key=lambda item: (item[1], item[0][0], item[0][1])
    ):
        out += struct.pack("<HHH", first, second, merged)
    texts = sorted(
        ((token_id, _as_bytes(key)) for key, token_id in unicode_lookup.items())
    )
    out += struct.pack("<Q", len(texts))
    for token_id, text in texts:
        out += struct.pack("<Q", len(text)) + text + struct.pack("<H", token_id)
    return bytes(out)


def write_model(
    path: str | os.PathLike[str] | None,
    lookup: dict[int, bytes],
    merges: dict[tuple[int, int], int],
    unicode_lookup: dict[str | bytes, int],
) -> bytes:
    """Writes the model file image to `path` (unless None) and returns it."""
    data = encode_model(lookup, merges, unicode_lookup)
    if path is not None:
        with open(path, "wb") as f:
            f.write(data)
    return data


class _Cursor:
    def __init__(self, data: bytes) -> None:
        self.data = memoryview(bytes(data))
        self.pos = 0

    def left(self) -> int:
        return len(self.data) - self.pos

    def take(self, n: int) -> bytes:
        if self.left() < n:
            raise ModelFileError(EOF)
        chunk = bytes(self.data[self.pos : self.pos + n])
        self.pos += n
        return chunk

    def u16(self) -> int:
        return struct.unpack("<H", self.take(2))[0]

    def size(self) -> int:
        n = struct.unpack("<Q", self.take(8))[0]
        if n > _MAX_SIZE:
            raise ModelFileError(size_error(n))
        return n


def read_model(
    data: bytes,
) -> tuple[dict[int, bytes], dict[tuple[int, int], int], dict[str, int]]:
    """Decodes a model file image the way the extension does: later
    duplicates win, trailing bytes are ignored, errors carry the extension's
    description texts."""
    cur = _Cursor(data)
    lookup: dict[int, bytes] = {}
    for _ in range(cur.size()):
        token_id = cur.u16()
        length = cur.size()
        lookup[token_id] = cur.take(length)
    merges: dict[tuple[int, int], int] = {}
    for _ in range(cur.size()):
        first = cur.u16()
        second = cur.u16()
        merges[(first, second)] = cur.u16()
    unicode_lookup: dict[str, int] = {}
    for _ in range(cur.size()):
        length = cur.size()
        if cur.left() < length:
            raise ModelFileError(SHORT_TEXT)
        raw = cur.take(length)
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as e:
            incomplete = e.reason == "unexpected end of data"
            raise ModelFileError(
                utf8_error(e.start, None if incomplete else e.end - e.start)
            ) from None
        unicode_lookup[text] = cur.u16()
    return lookup, merges, unicode_lookup
