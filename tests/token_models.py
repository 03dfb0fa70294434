"""Models with special tokens and byte fallback for the tests, laid out as
the companion's writer lays them out: the special tokens after the model's
last id, then the 256 byte tokens."""

from __future__ import annotations

from modelfile import encode_model, read_model


def with_tokens(image: bytes, special: tuple[str, ...] = (), byte_fallback: bool = False) -> bytes:
    """The model file `image` with `special` appended after its last id, in
    order, then, with `byte_fallback`, the ids of the bytes 0x00 to 0xFF."""
    lookup, merges, unicode_lookup = read_model(image)
    next_id = max(lookup, default=0) + 1
    for token in special:
        lookup[next_id] = token.encode()
        next_id += 1
    if byte_fallback:
        for byte in range(256):
            lookup[next_id + byte] = bytes([byte])
    return encode_model(lookup, merges, dict(unicode_lookup))


def fresh_model(special: tuple[str, ...] = (), byte_fallback: bool = False) -> bytes:
    """A model that knows no cluster: id 0 for unknown clusters, then the
    special tokens, then the byte tokens."""
    return with_tokens(encode_model({0: b""}, {}, {"oov": 0}), special, byte_fallback)
