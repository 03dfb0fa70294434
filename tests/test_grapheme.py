"""Grapheme clusters through the installed module: every line of the
vendored conformance file goes through encode and through train, the two
callers of the segmenter."""

from __future__ import annotations

import pathlib
import re
import subprocess
import sys

import selvane
from conftest import EMPTY_MODEL
from modelfile import read_model, write_model

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The Unicode version is named once, by the table generator, and read here
# from the header it writes.
VERSION = re.search(
    r'kUnicodeVersion = "([0-9.]+)"',
    (ROOT / "src/text/grapheme_break_tables_generated.h").read_text(),
).group(1)
CONFORMANCE = ROOT / "third_party" / f"unicode-{VERSION}" / "GraphemeBreakTest.txt"
DIVIDE, MULTIPLY = "\u00f7", "\u00d7"
# Joins the lines of a training file: a Control code point breaks on both
# sides (GB4, GB5), so it never changes the clusters of the lines it joins.
SEPARATOR = "\x01"


def conformance_lines() -> list[list[str]]:
    """Each test line of the file as its expected clusters."""
    lines = []
    for line in CONFORMANCE.read_text(encoding="utf-8").splitlines():
        body = line.split("#", 1)[0].split()
        if not body:
            continue
        clusters, current = [], ""
        for word in body:
            if word == DIVIDE:
                if current:
                    clusters.append(current)
                current = ""
            elif word != MULTIPLY:
                current += chr(int(word, 16))
        lines.append(clusters)
    return lines


LINES = conformance_lines()


def test_the_file_has_all_its_lines():
    assert len(LINES) == 602


def test_encode_splits_every_line_like_the_file(tmp_path):
    ids: dict[str, int] = {}
    for clusters in LINES:
        for cluster in clusters:
            ids.setdefault(cluster, len(ids) + 1)
    path = tmp_path / "model"
    write_model(path, {i: c.encode() for c, i in ids.items()}, {}, ids)
    model = selvane.load_from_file(str(path))
    for clusters in LINES:
        assert model.encode("".join(clusters)) == [ids[c] for c in clusters], (
            clusters
        )


def test_train_adds_exactly_the_clusters_of_the_file(tmp_path):
    (tmp_path / "empty").write_bytes(EMPTY_MODEL)
    corpus = SEPARATOR.join("".join(clusters) for clusters in LINES)
    (tmp_path / "corpus.txt").write_text(corpus, encoding="utf-8")
    code = (
        "import selvane\n"
        "selvane.load_from_file('empty').train('corpus.txt', False, 'logs')\n"
    )
    completed = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True
    )
    assert completed.returncode == 0, completed.stderr.decode(errors="replace")
    _, _, unicode_lookup = read_model((tmp_path / "tokenizer").read_bytes())
    expected = {c for clusters in LINES for c in clusters}
    assert set(unicode_lookup) == expected | {SEPARATOR, "oov"}
