"""Showing token texts so that every character can be seen."""

from __future__ import annotations

import unicodedata

__all__ = ["escape", "escape_bytes"]

_NAMED = {"\\": "\\\\", "\n": "\\n", "\t": "\\t", "\r": "\\r"}
# Control, format (ZWJ, ZWNJ, bidi marks), separators, private use,
# unassigned and surrogates: none of them shows as itself on a terminal.
_HIDDEN = {"Cc", "Cf", "Zl", "Zp", "Co", "Cn", "Cs"}


def escape(text: str) -> str:
    """`text` with backslash, control and invisible characters escaped
    (\\n, \\t, \\r, \\\\, \\xNN for bytes that were not UTF-8, \\uXXXX
    otherwise); an ordinary blank stays a blank."""
    out = []
    for char in text:
        if char in _NAMED:
            out.append(_NAMED[char])
            continue
        code = ord(char)
        if 0xDC80 <= code <= 0xDCFF:  # an undecodable byte, from surrogateescape
            out.append(f"\\x{code - 0xDC00:02x}")
            continue
        category = unicodedata.category(char)
        if category in _HIDDEN or (category == "Zs" and char != " "):
            out.append(f"\\u{code:04x}" if code <= 0xFFFF else f"\\U{code:08x}")
        else:
            out.append(char)
    return "".join(out)


def escape_bytes(raw: bytes) -> str:
    """The bytes of a token shown as text with `escape`; bytes that are not
    UTF-8 appear as \\xNN."""
    return escape(raw.decode("utf-8", "surrogateescape"))
