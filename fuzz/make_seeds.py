"""Writes the fuzzers' seed corpora: model files trained by the module on
short excerpts of the sample corpus, and short Arabic texts.

    python fuzz/make_seeds.py   (with selvane installed in that interpreter)
"""

from __future__ import annotations

import os
import pathlib
import struct
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent
SAMPLE = ROOT.parent / "data" / "sample" / "tashkeela-msa-excerpt.txt"
TRAIN = """
import selvane, sys
model = selvane.load_from_file("empty.model")
model.train("corpus.txt", False, "train.log")
"""


def texts() -> list[bytes]:
    lines = [line for line in SAMPLE.read_bytes().splitlines() if line.strip()]
    return [line[:300] for line in lines[:6]]


def trained_model(corpus: bytes) -> bytes:
    # Training writes "tokenizer" and prints to fd 1: its own process and cwd.
    with tempfile.TemporaryDirectory() as work:
        pathlib.Path(work, "empty.model").write_bytes(bytes(24))
        pathlib.Path(work, "corpus.txt").write_bytes(corpus)
        subprocess.run([sys.executable, "-c", TRAIN], cwd=work, check=True,
                       stdout=subprocess.DEVNULL)
        return pathlib.Path(work, "tokenizer").read_bytes()


def main() -> None:
    corpus = ROOT / "corpus"
    samples = texts()
    for name in ("utf8", "grapheme", "round_trip"):
        (corpus / name).mkdir(parents=True, exist_ok=True)
    for k, text in enumerate(samples):
        (corpus / "utf8" / f"arabic-{k}").write_bytes(text)
        (corpus / "grapheme" / f"arabic-{k}").write_bytes(b"\x07" + text)
        # Two training chunks (the text twice, so that merges reach their
        # minimum count), then a text to encode.
        chunk = text * 4
        (corpus / "round_trip" / f"arabic-{k}").write_bytes(
            struct.pack("<H", len(chunk)) + chunk
            + struct.pack("<H", len(text)) + text + samples[(k + 1) % len(samples)])
    (corpus / "utf8" / "ill-formed").write_bytes(
        b"a\xd8\xa8\xc0\x80\xed\xa0\x80\xf4\x90\x80\x80\xe0\x80\xff\xd8")
    models = corpus / "model_file"
    models.mkdir(parents=True, exist_ok=True)
    (models / "empty").write_bytes(bytes(24))
    for k in (0, 2, 4):
        (models / f"trained-{k}").write_bytes(trained_model(samples[k] * 12))


if __name__ == "__main__":
    main()
