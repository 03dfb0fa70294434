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

import json
from collections.abc import Iterator
from dataclasses import dataclass
from typing import BinaryIO, Literal

from .errors import SelvaneError

__all__ = ["Unit", "UnitError", "parse_unit", "iter_units", "iter_numbered_units", "UNIT_HELP"]

UNIT_HELP = "line, paragraph, file or jsonl:FIELD"


class UnitError(SelvaneError):
    """A unit could not be taken from the input (for example a bad JSON line)."""


@dataclass(frozen=True, slots=True)
class Unit:
    """How an input is split: `kind` is line, paragraph, file or jsonl."""

    kind: Literal["line", "paragraph", "file", "jsonl"]
    #: the JSON field holding the text, for the jsonl kind only
    field: str | None = None

    def __str__(self) -> str:
        return f"jsonl:{self.field}" if self.kind == "jsonl" else self.kind


def parse_unit(spec: str) -> Unit:
    """Reads a unit as written on the command line ("line", "jsonl:text", ...)."""
    if spec in ("line", "paragraph", "file"):
        return Unit(spec)  # type: ignore[arg-type]
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
    field = unit.field
    assert field is not None
    for number, raw in enumerate(_lines(stream), first_line):
        if _is_blank(raw):
            continue
        try:
            record = json.loads(_text(raw))
        except ValueError as error:
            raise UnitError(f"{name}:{number}: not JSON ({error.args[0] if error.args else error})") from None
        if not isinstance(record, dict):
            raise UnitError(f"{name}:{number}: not a JSON object")
        if field not in record:
            raise UnitError(f"{name}:{number}: no field {field!r}")
        value = record[field]
        if not isinstance(value, str):
            raise UnitError(f"{name}:{number}: field {field!r} is not a string")
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            # JSON can spell lone surrogates ("\\ud800"), which no UTF-8 text holds.
            raise UnitError(f"{name}:{number}: field {field!r} holds a lone surrogate") from None
        yield number, value


def iter_units(stream: BinaryIO, unit: Unit, name: str = "<stdin>") -> Iterator[str]:
    """Yields the text of each unit of `stream`, in order."""
    for _, text in iter_numbered_units(stream, unit, name):
        yield text
