"""Subword tokenizer for Arabic text whose base unit is the Unicode 15.0
extended grapheme cluster. Every token id is an integer from 0 to 65535.

Failures of the tokenizer's own logic raise a panic exception that derives
from `BaseException` (not `Exception`) and that the module does not export.
"""

from collections.abc import Sequence
from typing import SupportsIndex, final

__all__ = ["Data", "load_from_file"]

@final
class Data:
    """A tokenizer model. Obtain one with `load_from_file`; there is no
    constructor."""

    def train(self, train_file: str, print_logs: bool, logs_file: str) -> None:
        """Grows the model from the UTF-8 file `train_file`, read in chunks of
        3,067,833 bytes: each chunk adds its unseen grapheme clusters and up to
        700 merges of pairs seen at least 10 times.

        After every chunk the whole model is written to the file "tokenizer"
        in the current directory. Progress lines go to file descriptor 1 (not
        `sys.stdout`). `logs_file` is created and receives a separator per
        chunk; when `print_logs` is true it holds only "Started \\n " and
        every merge line is appended to "log.txt" in the current directory.
        """

    def encode(self, st: str) -> list[int]:
        """The token ids of `st`. Clusters the model does not know get the id
        of "oov" (0 in a trained model). Merges are applied by the pair counts
        of `st` itself, so the ids of a text depend on where it is cut."""

    def decode(self, tokens: Sequence[SupportsIndex]) -> str:
        """The text of the ids `tokens` (each 0 to 65535), their bytes joined
        and decoded as UTF-8 with invalid sequences replaced by U+FFFD. A `str`
        is refused; an id missing from the model raises the panic exception."""

    def vocab(self) -> list[int]:
        """Every token id of the model, each once."""

def load_from_file(filename: str) -> Data:
    """Reads the model file `filename` (at its smallest, 24 zero bytes: an
    empty model). A missing or malformed file raises the panic exception."""
