"""Telling a text corpus from a file that is not text, before training on it.

Training takes any bytes: invalid UTF-8 becomes U+FFFD and a compressed or
binary file trains into a model of noise, with no error. A look at the start
of the file is enough to tell: text has no NUL bytes, and real text in UTF-8
has almost no invalid sequences (a stray byte here and there in scraped
text), whereas compressed data is invalid at nearly every other byte.
"""

from __future__ import annotations

import codecs

from ._files import open_input

TYPE_CHECKING = False
if TYPE_CHECKING:
    import os

__all__ = ["SAMPLE_SIZE", "INVALID_SHARE", "not_text_reason", "file_not_text_reason"]

#: How much of the start of a file is looked at.
SAMPLE_SIZE = 1 << 20
#: The share of bytes in invalid UTF-8 sequences above which it is not text.
INVALID_SHARE = 0.01


def not_text_reason(sample: bytes, *, complete: bool = True) -> str | None:
    """Why `sample` is not UTF-8 text, or None when it is.

    `complete` says whether `sample` is the whole file; when it is not, a
    sequence cut by the sample's end is not held against it.
    """
    nul = sample.find(b"\x00")
    if nul >= 0:
        return f"a NUL byte at offset {nul:,}"
    view = memoryview(sample)
    limit = INVALID_SHARE * len(sample)
    invalid = 0
    pos = 0
    while pos < len(view):
        try:
            # The decoder stops at the first invalid sequence, so the whole
            # walk reads each byte once, however many errors there are.
            codecs.utf_8_decode(view[pos:], "strict", complete)
            break
        except UnicodeDecodeError as error:
            invalid += error.end - error.start
            pos += error.end
        if invalid > limit:
            break
    if invalid > limit:
        return f"{invalid * 100 / len(sample):.1f} % of its bytes are not valid UTF-8"
    return None


def file_not_text_reason(path: str | os.PathLike[str], what: str = "corpus") -> str | None:
    """Why the file `path` is not UTF-8 text, judged by its first
    `SAMPLE_SIZE` bytes, or None when it is text."""
    with open_input(path, what) as source:
        sample = source.read(SAMPLE_SIZE + 1)
    complete = len(sample) <= SAMPLE_SIZE
    return not_text_reason(sample[:SAMPLE_SIZE], complete=complete)
