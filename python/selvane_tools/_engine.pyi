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
    def encode(self, text: str, rule: str) -> list[int]:
        """The token ids of `text` under `rule` ("frequency" or "rank")."""
    @overload
    def encode_batch(self, texts: Sequence[str], rule: str, threads: int, flat: Literal[False]) -> list[list[int]]: ...
    @overload
    def encode_batch(self, texts: Sequence[str], rule: str, threads: int, flat: Literal[True]) -> tuple[bytes, bytes]: ...
    @overload
    def encode_batch(
        self, texts: Sequence[str], rule: str, threads: int, flat: bool
    ) -> list[list[int]] | tuple[bytes, bytes]: ...
    def encode_with_offsets(self, text: str, rule: str) -> list[tuple[int, int, int]]:
        """(id, start, end) for each token of `text`, in code points."""
