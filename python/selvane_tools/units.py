"""Splitting input bytes into the units that are encoded one at a time.

Encoding merges by the pair counts of the text it is given, so the ids of a
text depend on where it is cut: the unit is always explicit and a unit is
never cut. Every splitter reads a binary stream and keeps at most one unit in
memory (the whole file for the `file` unit).

- ``line``: the lines of the input, split on b"\\n", each without one trailing
  b"\\r". An empty line is a unit (no ids); a final line without a newline is
  a unit; an input that ends in b"\\n" has no empty unit after it.
- ``paragraph``: maximal runs of non-blank lines joined with "\\n"; a blank
  line (empty or only whitespace, as `str.isspace` sees it) only separates.
- ``file``: each input is one unit, its whole text.
- ``jsonl:FIELD``: each non-blank line is a JSON object and the unit is the
  string value of FIELD.

A unit's text is its bytes decoded as UTF-8 with invalid sequences replaced
by U+FFFD.
"""

from __future__ import annotations

import itertools

from .errors import SelvaneError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Iterator
    from typing import BinaryIO

__all__ = ["Unit", "UnitError", "parse_unit", "iter_units", "iter_numbered_units", "iter_range_units", "UNIT_HELP"]

UNIT_HELP = "line, paragraph, file or jsonl:FIELD"


class UnitError(SelvaneError):
    """A unit could not be taken from the input (for example a bad JSON line)."""


class Unit:
    """How an input is split: `kind` is line, paragraph, file or jsonl, and
    `field` the JSON field holding the text, for the jsonl kind only."""

    __slots__ = ("kind", "field")

    def __init__(self, kind: str, field: str | None = None) -> None:
        if kind not in ("line", "paragraph", "file", "jsonl") or (kind == "jsonl") != (field is not None):
            raise UnitError(f"unknown unit {kind!r}: expected {UNIT_HELP}")
        self.kind = kind
        self.field = field

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Unit) and (self.kind, self.field) == (other.kind, other.field)

    def __hash__(self) -> int:
        return hash((self.kind, self.field))

    def __repr__(self) -> str:
        return f"Unit({self.kind!r}, {self.field!r})"

    def __str__(self) -> str:
        return f"jsonl:{self.field}" if self.kind == "jsonl" else self.kind


def parse_unit(spec: str) -> Unit:
    """Reads a unit as written on the command line ("line", "jsonl:text", ...)."""
    if spec in ("line", "paragraph", "file"):
        return Unit(spec)
    if spec.startswith("jsonl:") and len(spec) > len("jsonl:"):
        return Unit("jsonl", spec[len("jsonl:") :])
    raise UnitError(f"unknown unit {spec!r}: expected {UNIT_HELP}")


def _text(raw: bytes) -> str:
    return raw.decode("utf-8", "replace")


def _lines(stream: BinaryIO) -> Iterator[bytes]:
    """The lines of `stream` without b"\\n" and one trailing b"\\r"."""
    for raw in stream:
        if raw.endswith(b"\n"):
            raw = raw[:-1]
        if raw.endswith(b"\r"):
            raw = raw[:-1]
        yield raw


def _is_blank(raw: bytes) -> bool:
    return not raw or _text(raw).isspace()


def iter_numbered_units(stream: BinaryIO, unit: Unit, name: str = "<stdin>", first_line: int = 1) -> Iterator[tuple[int, str]]:
    """Yields (line number, text) for each unit of `stream`, in order.

    The line number is that of the unit's first line (1 for the `file`
    unit), counted from `first_line`, so that a reader that starts in the
    middle of a file still reports true positions. `name` appears in errors.
    """
    if unit.kind == "file":
        yield first_line, _text(stream.read())
        return
    if unit.kind == "line":
        for number, raw in enumerate(_lines(stream), first_line):
            yield number, _text(raw)
        return
    if unit.kind == "paragraph":
        paragraph: list[bytes] = []
        start = first_line
        for number, raw in enumerate(_lines(stream), first_line):
            if _is_blank(raw):
                if paragraph:
                    yield start, _text(b"\n".join(paragraph))
                    paragraph = []
                continue
            if not paragraph:
                start = number
            paragraph.append(raw)
        if paragraph:
            yield start, _text(b"\n".join(paragraph))
        return
    assert unit.field is not None
    yield from _json_units(enumerate(_lines(stream), first_line), unit.field, lambda number: f"{name}:{number}")


def _json_units(lines: Iterable[tuple[int, bytes]], field: str, where: Callable[[int], str]) -> Iterator[tuple[int, str]]:
    """(key, text) of the non-blank JSON lines of (key, line) pairs;
    `where(key)` names the line in an error."""
    for key, raw in lines:
        if _is_blank(raw):
            continue
        try:
            value = _json_field(raw, field)
        except UnitError as error:
            raise UnitError(f"{where(key)}: {error}") from None
        yield key, value


def _json_field(raw: bytes, field: str) -> str:
    """The string under `field` of one JSON line; UnitError says why not."""
    import json  # only jsonl units pay for it; the command's start-up counts

    try:
        record = json.loads(_text(raw))
    except ValueError as error:
        raise UnitError(f"not JSON ({error.args[0] if error.args else error})") from None
    if not isinstance(record, dict):
        raise UnitError("not a JSON object")
    if field not in record:
        raise UnitError(f"no field {field!r}")
    value = record[field]
    if not isinstance(value, str):
        raise UnitError(f"field {field!r} is not a string")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        # JSON can spell lone surrogates ("\\ud800"), which no UTF-8 text holds.
        raise UnitError(f"field {field!r} holds a lone surrogate") from None
    return value


def iter_units(stream: BinaryIO, unit: Unit, name: str = "<stdin>") -> Iterator[str]:
    """Yields the text of each unit of `stream`, in order."""
    for _, text in iter_numbered_units(stream, unit, name):
        yield text


# ----------------------------------------------------- units of a byte range
#
# A corpus is cut into shards by byte ranges of each input, fixed by the input
# size alone; a shard holds the units whose first byte lies in its range. A
# unit that starts in the range is read to its end even when that lies beyond
# the range, and one that started before the range is skipped, so the shards
# of an input hold each unit exactly once, in input order, for any range size.

_BLOCK = 1 << 20
# The ASCII bytes that str.isspace() accepts, and every non-ASCII byte: what
# is left after deleting these from a line is text that no decoding makes
# blank.
_SPACE_OR_NON_ASCII = b" \t\r\x0b\x0c\x1c\x1d\x1e\x1f" + bytes(range(0x80, 0x100))


def _strip_newline(raw: bytes) -> bytes:
    if raw.endswith(b"\n"):
        raw = raw[:-1]
    if raw.endswith(b"\r"):
        raw = raw[:-1]
    return raw


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
        if not piece or piece.endswith(b"\n"):
            return pos


def _previous_line_blank(f: BinaryIO, line_start: int) -> bool:
    """Whether the line that ends with the b"\n" before `line_start` is blank."""
    pos = line_start - 1
    tail = b""
    while pos > 0:
        step = min(_BLOCK, pos)
        f.seek(pos - step)
        block = f.read(step)
        cut = block.rfind(b"\n")
        piece = block[cut + 1 :]
        # Any ASCII byte but whitespace settles it without reading the rest
        # of a long line.
        if piece.translate(None, _SPACE_OR_NON_ASCII):
            return False
        tail = piece + tail
        if cut >= 0:
            break
        pos -= step
    return _is_blank(_strip_newline(tail))


def _range_lines(f: BinaryIO, size: int, start: int) -> Iterator[tuple[int, bytes]]:
    """(offset, line without its newline) from the first line that starts at
    or after `start` to the end of the input."""
    pos = _first_line_start(f, start)
    f.seek(pos)
    while pos < size:
        raw = f.readline()
        if not raw:
            return
        yield pos, _strip_newline(raw)
        pos += len(raw)


def line_number(f: BinaryIO, offset: int) -> int:
    """1-based number of the line that starts at byte `offset` of `f`."""
    f.seek(0)
    count = 1
    left = offset
    while left > 0:
        block = f.read(min(_BLOCK, left))
        if not block:
            break
        count += block.count(b"\n")
        left -= len(block)
    return count


def iter_range_units(
    f: BinaryIO, size: int, start: int, end: int, unit: Unit, name: str
) -> Iterator[tuple[int, str]]:
    """Yields (byte offset, text) of the units of the seekable input `f`, of
    `size` bytes, that start in bytes [start, end), in order.

    The texts are those of `iter_units` over the whole input; the ranges
    [0, k), [k, 2k), ... together give every unit once. For the `file` unit
    the range that starts at 0 holds the file. Errors name `name` and the
    line number.
    """
    if unit.kind == "file":
        if start == 0:
            f.seek(0)
            yield 0, _text(f.read())
        return
    if unit.kind == "line":
        for pos, raw in _range_lines(f, size, start):
            if pos >= end:
                return
            yield pos, _text(raw)
        return
    if unit.kind == "paragraph":
        lines = _range_lines(f, size, start)
        first = _first_line_start(f, start)
        prev_blank = first == 0 or _previous_line_blank(f, first)
        paragraph: list[bytes] = []
        begin = 0
        for pos, raw in lines:
            if _is_blank(raw):
                if paragraph:
                    yield begin, _text(b"\n".join(paragraph))
                    paragraph = []
                elif pos >= end:
                    return
                prev_blank = True
                continue
            if prev_blank:
                if pos >= end:
                    return
                begin, paragraph = pos, [raw]
            elif paragraph:
                paragraph.append(raw)
            # else: the rest of a paragraph that began before the range
            prev_blank = False
        if paragraph:
            yield begin, _text(b"\n".join(paragraph))
        return
    assert unit.field is not None
    in_range = itertools.takewhile(lambda line: line[0] < end, _range_lines(f, size, start))
    yield from _json_units(in_range, unit.field, lambda pos: f"{name}:{line_number(f, pos)}")
