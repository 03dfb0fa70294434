"""Typing of the native engine, the extension module `selvane_tools._engine`.

The companion's `Model` is the public way in; this module is its back end.
"""

from collections.abc import Buffer, Sequence
from typing import Literal, final, overload

class EngineError(Exception):
    """A failure of the native engine: a model file that does not decode, or
    a text the model cannot encode."""

@final
class Engine:
    """An immutable model built from the bytes of a model file; safe to share
    between threads."""

    def __init__(self, model_bytes: Buffer) -> None: ...
    def encode(self, text: str, rule: str, allowed: Literal["all"] | Sequence[int] | None = None) -> list[int]:
        """The token ids of `text` under `rule` ("frequency" or "rank"), with
        the special tokens `allowed` ("all" or a sequence of their ids)
        emitted where their text occurs."""
    @overload
    def encode_batch(
        self, texts: Sequence[str], rule: str, threads: int, flat: Literal[False], allowed: Literal["all"] | Sequence[int] | None = None
    ) -> list[list[int]]: ...
    @overload
    def encode_batch(
        self, texts: Sequence[str], rule: str, threads: int, flat: Literal[True], allowed: Literal["all"] | Sequence[int] | None = None
    ) -> tuple[bytes, bytes]: ...
    @overload
    def encode_batch(
        self, texts: Sequence[str], rule: str, threads: int, flat: bool, allowed: Literal["all"] | Sequence[int] | None = None
    ) -> list[list[int]] | tuple[bytes, bytes]: ...
    def encode_units(
        self,
        texts: Sequence[str],
        rule: str,
        threads: int,
        allowed: Literal["all"] | Sequence[int] | None = None,
        eos: int | None = None,
    ) -> tuple[bytes, bytes, int, int]:
        """(ids, offsets, unknown_clusters, units_with_unknown) of `texts`,
        with `eos` after every text."""
    def encode_with_offsets(
        self, text: str, rule: str, allowed: Literal["all"] | Sequence[int] | None = None
    ) -> list[tuple[int, int, int]]:
        """(id, start, end) for each token of `text`, in code points."""
    def special_tokens(self) -> list[tuple[str, int]]:
        """(text, id) of every special token of the model, by ascending id."""
    def byte_base(self) -> int | None:
        """The id of the byte 0x00 of the model's byte fallback, or None."""
