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

__all__ = ["Unit", "UnitError", "parse_unit", "iter_units", "iter_numbered_units", "iter_range_units", "UNIT_HELP",
           "MAX_UNIT_BYTES", "iter_batches"]

UNIT_HELP = "line, paragraph, file or jsonl:FIELD"
# The longest unit taken, in bytes: a line (or file, or paragraph) beyond it
# is refused with its position instead of being read into memory whole.
MAX_UNIT_BYTES = 1 << 28


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


def _lines(stream: BinaryIO, name: str, first_line: int = 1) -> Iterator[bytes]:
    """The lines of `stream` without their newline (`_strip_newline`); a line
    longer than `MAX_UNIT_BYTES` is a `UnitError` naming `name` and the line
    (counted from `first_line`), found without reading the line whole."""
    number = first_line
    while True:
        raw = stream.readline(MAX_UNIT_BYTES + 1)
        if not raw:
            return
        if len(raw) > MAX_UNIT_BYTES and not raw.endswith(b"\n"):
            raise _too_long(f"{name}:{number}")
        yield _strip_newline(raw)
        number += 1


def _strip_newline(raw: bytes) -> bytes:
    """The one newline rule: b"\n" ends a line, and one b"\r" before it (or
    before the end of the input) is not part of the line."""
    if raw.endswith(b"\n"):
        raw = raw[:-1]
    if raw.endswith(b"\r"):
        raw = raw[:-1]
    return raw


def _too_long(where: str) -> UnitError:
    return UnitError(f"{where}: a unit longer than {MAX_UNIT_BYTES:,} bytes; refused rather than held in memory")


def _is_blank(raw: bytes) -> bool:
    return not raw or _text(raw).isspace()


def iter_numbered_units(stream: BinaryIO, unit: Unit, name: str = "<stdin>", first_line: int = 1) -> Iterator[tuple[int, str]]:
    """Yields (line number, text) for each unit of `stream`, in order.

    The line number is that of the unit's first line (1 for the `file`
    unit), counted from `first_line`, so that a reader that starts in the
    middle of a file still reports true positions. `name` appears in errors.

    >>> import io
    >>> list(iter_numbered_units(io.BytesIO(b"a\\r\\nb\\n\\n \\nc\\n"), parse_unit("paragraph")))
    [(1, 'a\\nb'), (5, 'c')]
    """
    if unit.kind == "file":
        yield first_line, _text(_read_whole(stream, name))
        return
    lines = enumerate(_lines(stream, name, first_line), first_line)
    if unit.kind == "line":
        for number, raw in lines:
            yield number, _text(raw)
        return
    if unit.kind == "paragraph":
        for number, raw in _paragraphs(lines, lambda number: f"{name}:{number}"):
            yield number, _text(raw)
        return
    assert unit.field is not None
    yield from _json_units(lines, unit.field, lambda number: f"{name}:{number}")


def _read_whole(stream: BinaryIO, name: str) -> bytes:
    data = stream.read(MAX_UNIT_BYTES + 1)
    if len(data) > MAX_UNIT_BYTES:
        raise _too_long(name)
    return data


def _paragraphs(
    lines: Iterable[tuple[int, bytes]],
    where: Callable[[int], str],
    continues: bool = False,
    end: float = float("inf"),
) -> Iterator[tuple[int, bytes]]:
    """The one paragraph splitter: (key of its first line, its lines joined
    with b"\\n") for each maximal run of non-blank lines of the (key, line)
    pairs `lines`, keys increasing.

    When `continues`, the first lines given (up to a blank one) end a
    paragraph that began earlier and are skipped; a paragraph whose first key
    is `end` or more is not taken, and nothing after it. `where(key)` names
    a paragraph that grows past `MAX_UNIT_BYTES`.
    """
    paragraph: list[bytes] = []
    begin = 0
    size = 0
    skipping = continues
    for key, raw in lines:
        if _is_blank(raw):
            if paragraph:
                yield begin, b"\n".join(paragraph)
                paragraph = []
            elif key >= end:
                return
            skipping = False
            continue
        if skipping:
            continue
        if not paragraph:
            if key >= end:
                return
            begin, size = key, -1
        size += len(raw) + 1
        if size > MAX_UNIT_BYTES:
            raise _too_long(where(begin))
        paragraph.append(raw)
    if paragraph:
        yield begin, b"\n".join(paragraph)


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
    except RecursionError:
        # The parser recurses once per level: a line of 100,000 brackets
        # would otherwise end the run with a traceback.
        raise UnitError("JSON nested too deeply") from None
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


def _range_lines(f: BinaryIO, size: int, start: int, name: str) -> Iterator[tuple[int, bytes]]:
    """(offset, line without its newline) from the first line that starts at
    or after `start` to the end of the input; a line longer than
    `MAX_UNIT_BYTES` is refused with its line number."""
    pos = _first_line_start(f, start)
    f.seek(pos)
    while pos < size:
        raw = f.readline(MAX_UNIT_BYTES + 1)
        if not raw:
            return
        if len(raw) > MAX_UNIT_BYTES and not raw.endswith(b"\n"):
            raise _too_long(f"{name}:{line_number(f, pos)}")
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
            yield 0, _text(_read_whole(f, name))
        return
    lines = _range_lines(f, size, start, name)
    if unit.kind == "line":
        for pos, raw in lines:
            if pos >= end:
                return
            yield pos, _text(raw)
        return
    if unit.kind == "paragraph":
        first = _first_line_start(f, start)
        continues = first != 0 and not _previous_line_blank(f, first)
        where = lambda pos: f"{name}:{line_number(f, pos)}"  # noqa: E731
        for pos, raw in _paragraphs(lines, where, continues, end):
            yield pos, _text(raw)
        return
    assert unit.field is not None
    in_range = itertools.takewhile(lambda line: line[0] < end, lines)
    yield from _json_units(in_range, unit.field, lambda pos: f"{name}:{line_number(f, pos)}")


def iter_batches(texts: Iterable[str], max_chars: int = 4 << 20, max_units: int = 1 << 16) -> Iterator[list[str]]:
    """`texts` in lists of about `max_chars` characters and at most
    `max_units` texts: what one call of the engine takes, so that memory
    does not grow with the input.

    >>> list(iter_batches(["ab", "c", "", "de"], max_chars=3))
    [['ab', 'c'], ['', 'de']]
    """
    batch: list[str] = []
    chars = 0
    for text in texts:
        batch.append(text)
        chars += len(text)
        if chars >= max_chars or len(batch) >= max_units:
            yield batch
            batch, chars = [], 0
    if batch:
        yield batch
