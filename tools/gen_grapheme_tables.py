#!/usr/bin/env python3
"""Writes the grapheme-break property tables of the segmenter.

Reads Grapheme_Cluster_Break from GraphemeBreakProperty.txt and
Extended_Pictographic from emoji-data.txt (third_party/unicode-<version>/) and
writes src/text/grapheme_break_tables_generated.{h,cc}: one byte per code
point, the break property in the low four bits and Extended_Pictographic in
bit 4, stored as a two-stage table of deduplicated 256-entry pages
(stage2[stage1[cp >> 8] * 256 + (cp & 0xFF)]).

Usage: gen_grapheme_tables.py          rewrite the two files
       gen_grapheme_tables.py --check  exit 1 if the checked-in files differ
"""

import argparse
import os
import re
import sys

# The one place that names the Unicode version; the generated header carries
# it to the C++ code as kUnicodeVersion.
UNICODE_VERSION = "15.0.0"

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA_DIR = os.path.join(ROOT, "third_party", "unicode-" + UNICODE_VERSION)
OUT_DIR = os.path.join(ROOT, "src", "text")
HEADER_NAME = "grapheme_break_tables_generated.h"
SOURCE_NAME = "grapheme_break_tables_generated.cc"

BANNER = ("// generated: edit tools/gen_grapheme_tables.py, rerun make generate; "
          "do not edit")

MAX_CODE_POINT = 0x10FFFF
PAGE_BITS = 8
PAGE_SIZE = 1 << PAGE_BITS
# The code points of one and two UTF-8 bytes get a table of their own, so the
# segmenter's common case (ASCII and Arabic) takes one load.
DIRECT_SIZE = 0x800

# Grapheme_Cluster_Break values in the order of their numbers in the table,
# with the C++ enumerator for each. Other must stay 0: code points the data
# file does not list are Other.
PROPERTIES = [
    ("Other", "kOther"),
    ("CR", "kCr"),
    ("LF", "kLf"),
    ("Control", "kControl"),
    ("Extend", "kExtend"),
    ("ZWJ", "kZwj"),
    ("Regional_Indicator", "kRegionalIndicator"),
    ("Prepend", "kPrepend"),
    ("SpacingMark", "kSpacingMark"),
    ("L", "kL"),
    ("V", "kV"),
    ("T", "kT"),
    ("LV", "kLv"),
    ("LVT", "kLvt"),
]
PROPERTY_NUMBER = {name: number for number, (name, _) in enumerate(PROPERTIES)}
PROPERTY_MASK = 0x0F
EXTENDED_PICTOGRAPHIC_BIT = 0x10

LINE = re.compile(
    r"^([0-9A-F]{4,6})(?:\.\.([0-9A-F]{4,6}))?\s*;\s*([A-Za-z_]+)\s*(?:#.*)?$")
TOTAL = re.compile(r"^# Total (?:code points|elements): (\d+)$")


class DataError(Exception):
    pass


def read_ranges(path, first_line):
    """Yields (first, last, value) for each data line of a UCD file, after
    checking the file's first line (which names the version) and each
    "# Total" line against the ranges above it."""
    with open(path, encoding="utf-8") as data:
        lines = data.read().split("\n")
    if lines[0] != first_line:
        raise DataError("%s: first line %r, expected %r" %
                        (path, lines[0], first_line))
    counted = {}
    last_value = None
    for number, line in enumerate(lines, 1):
        line = line.strip()
        total = TOTAL.match(line)
        if total and last_value is not None:
            if int(total.group(1)) != counted[last_value]:
                raise DataError("%s:%d: total %s, counted %d for %s" %
                                (path, number, total.group(1),
                                 counted[last_value], last_value))
            last_value = None
            continue
        if not line or line.startswith("#"):
            continue
        match = LINE.match(line)
        if not match:
            raise DataError("%s:%d: cannot parse %r" % (path, number, line))
        first = int(match.group(1), 16)
        last = int(match.group(2), 16) if match.group(2) else first
        if not first <= last <= MAX_CODE_POINT:
            raise DataError("%s:%d: bad range" % (path, number))
        value = match.group(3)
        if last_value not in (None, value):
            raise DataError("%s:%d: %s block without a total line" %
                            (path, number, last_value))
        last_value = value
        counted[value] = counted.get(value, 0) + last - first + 1
        yield first, last, value


def build_properties():
    """Returns one packed property byte per code point."""
    values = bytearray(MAX_CODE_POINT + 1)
    assigned = bytearray(MAX_CODE_POINT + 1)
    for first, last, name in read_ranges(
            os.path.join(DATA_DIR, "GraphemeBreakProperty.txt"),
            "# GraphemeBreakProperty-%s.txt" % UNICODE_VERSION):
        if name not in PROPERTY_NUMBER or name == "Other":
            raise DataError("unknown Grapheme_Cluster_Break value " + name)
        for cp in range(first, last + 1):
            if assigned[cp]:
                raise DataError("U+%04X has two break properties" % cp)
            assigned[cp] = 1
            values[cp] = PROPERTY_NUMBER[name]
    pictographic = 0
    for first, last, name in read_ranges(
            os.path.join(DATA_DIR, "emoji-data.txt"), "# emoji-data.txt"):
        if name != "Extended_Pictographic":
            continue
        for cp in range(first, last + 1):
            if values[cp] & PROPERTY_MASK != PROPERTY_NUMBER["Other"]:
                # The segmenter's state machine keeps no break property for
                # a pictographic code point.
                raise DataError("U+%04X is Extended_Pictographic but not "
                                "Other" % cp)
            values[cp] |= EXTENDED_PICTOGRAPHIC_BIT
            pictographic += 1
    if pictographic == 0:
        raise DataError("emoji-data.txt lists no Extended_Pictographic")
    return values


def build_stages(values):
    """Splits the values into pages and returns (stage1, stage2): stage1 holds
    a page number per page of code points, stage2 the distinct pages in order
    of first use."""
    page_numbers = {}
    stage1 = []
    stage2 = bytearray()
    for start in range(0, MAX_CODE_POINT + 1, PAGE_SIZE):
        page = bytes(values[start:start + PAGE_SIZE])
        if page not in page_numbers:
            page_numbers[page] = len(page_numbers)
            stage2 += page
        stage1.append(page_numbers[page])
    return stage1, stage2


def format_numbers(numbers, per_line):
    rows = []
    for start in range(0, len(numbers), per_line):
        row = ",".join(str(n) for n in numbers[start:start + per_line])
        rows.append("    " + row + ",")
    return "\n".join(rows)


def render(values):
    stage1, stage2 = build_stages(values)
    pages = len(stage2) // PAGE_SIZE
    stage1_type = "std::uint8_t" if pages <= 256 else "std::uint16_t"
    enumerators = "\n".join("  %s = %d,  // %s" % (cpp, number, name)
                            for number, (name, cpp) in enumerate(PROPERTIES))
    header = """{banner}
#ifndef SELVANE_TEXT_GRAPHEME_BREAK_TABLES_GENERATED_H_
#define SELVANE_TEXT_GRAPHEME_BREAK_TABLES_GENERATED_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace selvane::text {{

// Version of the Unicode data the tables come from.
inline constexpr std::string_view kUnicodeVersion = "{version}";

// Grapheme_Cluster_Break values, as stored in the low bits of a property byte.
enum class GraphemeBreak : std::uint8_t {{
{enumerators}
}};

// Number of GraphemeBreak values.
inline constexpr std::size_t kGraphemeBreakCount = {count};

// Bits of a property byte that hold its GraphemeBreak value.
inline constexpr std::uint8_t kGraphemeBreakMask = 0x{mask:02X};

// Bit of a property byte set for Extended_Pictographic code points.
inline constexpr std::uint8_t kExtendedPictographicBit = 0x{ext:02X};

// Highest code point in the tables.
inline constexpr char32_t kMaxCodePoint = 0x{max:X};

// Page number for each 256 code points (cp >> 8).
extern const {stage1_type} kGraphemeStage1[{stage1_size}];

// The {pages} distinct pages of property bytes, 256 each.
extern const std::uint8_t kGraphemeStage2[{stage2_size}];

// Property bytes of U+0000..U+{direct_max:04X} (the code points of one and two
// UTF-8 bytes), indexed by code point without the page lookup.
extern const std::uint8_t kGraphemeDirect[{direct_size}];

// Returns the property byte of `cp` (GraphemeBreak in the low bits,
// kExtendedPictographicBit); values above kMaxCodePoint read as Other.
inline std::uint8_t grapheme_properties(char32_t cp) {{
  if (cp > kMaxCodePoint) return 0;
  return kGraphemeStage2[(std::size_t{{kGraphemeStage1[cp >> {bits}]}} << {bits}) |
                         (cp & 0x{low:X})];
}}

}}  // namespace selvane::text

#endif  // SELVANE_TEXT_GRAPHEME_BREAK_TABLES_GENERATED_H_
""".format(banner=BANNER, version=UNICODE_VERSION, enumerators=enumerators,
           count=len(PROPERTIES), mask=PROPERTY_MASK,
           ext=EXTENDED_PICTOGRAPHIC_BIT, max=MAX_CODE_POINT,
           stage1_type=stage1_type, stage1_size=len(stage1), pages=pages,
           stage2_size=len(stage2), bits=PAGE_BITS, low=PAGE_SIZE - 1,
           direct_max=DIRECT_SIZE - 1, direct_size=DIRECT_SIZE)
    source = """{banner}
#include "text/{header_name}"

namespace selvane::text {{

const {stage1_type} kGraphemeStage1[{stage1_size}] = {{
{stage1}
}};

const std::uint8_t kGraphemeStage2[{stage2_size}] = {{
{stage2}
}};

const std::uint8_t kGraphemeDirect[{direct_size}] = {{
{direct}
}};

}}  // namespace selvane::text
""".format(banner=BANNER, header_name=HEADER_NAME, stage1_type=stage1_type,
           stage1_size=len(stage1), stage1=format_numbers(stage1, 32),
           stage2_size=len(stage2), stage2=format_numbers(stage2, 32),
           direct_size=DIRECT_SIZE,
           direct=format_numbers(values[:DIRECT_SIZE], 32))
    return {HEADER_NAME: header, SOURCE_NAME: source}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="compare with the checked-in files instead of "
                        "writing them")
    args = parser.parse_args()
    try:
        outputs = render(build_properties())
    except (DataError, OSError) as error:
        print("gen_grapheme_tables.py: %s" % error, file=sys.stderr)
        return 2
    stale = []
    for name, text in outputs.items():
        path = os.path.join(OUT_DIR, name)
        if args.check:
            try:
                with open(path, encoding="utf-8", newline="") as current:
                    same = current.read() == text
            except OSError:
                same = False
            if not same:
                stale.append(path)
        else:
            with open(path, "w", encoding="utf-8", newline="\n") as out:
                out.write(text)
    if stale:
        for path in stale:
            print("%s is not what tools/gen_grapheme_tables.py generates; "
                  "run make generate" % os.path.relpath(path, ROOT),
                  file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
