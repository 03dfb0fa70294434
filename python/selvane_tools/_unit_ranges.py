"""Units that start in a byte range of an input file.

A corpus is cut into shards by byte ranges of each input, fixed by the input
size alone; a shard holds the units whose first byte lies in its range. A
unit that starts in the range is read to its end even when that lies beyond
the range, and a unit that started before the range is skipped, so the shards
of one input together hold each unit exactly once, in input order, for any
range size.
"""

from __future__ import annotations

import json
from collections.abc import Iterator
from typing import BinaryIO

_BLOCK = 1 << 20
_NL = b"\n"
# The ASCII bytes that str.strip() removes, and every non-ASCII byte: what is
# left after deleting these from a line is text that no decoding makes blank.
_SPACE_OR_NON_ASCII = b" \t\r\x0b\x0c\x1c\x1d\x1e\x1f" + bytes(range(0x80, 0x100))


def _line_bytes(raw: bytes) -> bytes:
    """The bytes of a line as read, without its b"\\n" and one b"\\r"."""
    if raw.endswith(_NL):
        raw = raw[:-1]
    if raw.endswith(b"\r"):
        raw = raw[:-1]
    return raw


def _is_blank(line: bytes) -> bool:
    return not line.decode("utf-8", "replace").strip()


def _first_line_start(f: BinaryIO, start: int) -> int:
    """Offset of the first line that starts at or after `start`."""
    if start == 0:
        return 0
    # A line starts at `start` exactly when the byte before it is b"\n", so
    # the search begins one byte early. readline() with a limit keeps a huge
    # line that began before the range from being read whole.
    pos = start - 1
    f.seek(pos)
    while True:
        piece = f.readline(_BLOCK)
        pos += len(piece)
        if not piece or piece.endswith(_NL):
            return pos


def _previous_line_blank(f: BinaryIO, line_start: int) -> bool:
    """Whether the line that ends just before `line_start` is blank."""
    end = line_start - 1  # the b"\n" that ends the previous line
    pos = end
    tail = b""
    while pos > 0:
        step = min(_BLOCK, pos)
        f.seek(pos - step)
        block = f.read(step)
        cut = block.rfind(_NL)
        piece = block[cut + 1 :] if cut >= 0 else block
        # Any ASCII byte other than whitespace settles the question without
        # reading the rest of a long line.
        if piece.translate(None, _SPACE_OR_NON_ASCII):
            return False
        tail = piece + tail
        if cut >= 0:
            break
        pos -= step
    return _is_blank(_line_bytes(tail))


def iter_lines(f: BinaryIO, size: int, start: int, end: int) -> Iterator[tuple[int, bytes]]:
    """Yields (offset, line bytes without b"\\r\\n"/b"\\n") of the lines that
    start in [start, end) of the open file `f` of `size` bytes."""
    pos = _first_line_start(f, start)
    f.seek(pos)
    while pos < end and pos < size:
        raw = f.readline()
        if not raw:
            break
        yield pos, _line_bytes(raw)
        pos += len(raw)


def iter_paragraphs(f: BinaryIO, size: int, start: int, end: int) -> Iterator[tuple[int, bytes]]:
    """Yields (offset, bytes) of the paragraphs that start in [start, end):
    maximal runs of non-blank lines, joined with b"\\n"."""
    pos = _first_line_start(f, start)
    prev_blank = pos == 0 or _previous_line_blank(f, pos)
    f.seek(pos)
    lines: list[bytes] = []
    first = 0
    while pos < size:
        raw = f.readline()
        if not raw:
            break
        line = _line_bytes(raw)
        if _is_blank(line):
            if lines:
                yield first, b"\n".join(lines)
                lines = []
            elif pos >= end:
                return
            prev_blank = True
        else:
            if prev_blank:
                if pos >= end:
                    return
                first = pos
                lines = [line]
            elif lines:
                lines.append(line)
            # else: the rest of a paragraph that began before the range.
            prev_blank = False
        pos += len(raw)
    if lines:
        yield first, b"\n".join(lines)


def line_number(f: BinaryIO, offset: int) -> int:
    """1-based number of the line that starts at `offset`."""
    f.seek(0)
    count = 1
    left = offset
    while left > 0:
        block = f.read(min(_BLOCK, left))
        if not block:
            break
        count += block.count(_NL)
        left -= len(block)
    return count


def jsonl_text(line: bytes, field: str) -> str | None:
    """The string under `field` of one JSON line, or None when the line is
    not an object holding a string there."""
    try:
        value = json.loads(line.decode("utf-8", "replace"))
    except ValueError:
        return None
    if not isinstance(value, dict):
        return None
    text = value.get(field)
    return text if isinstance(text, str) else None
