"""What the corpus tests share: the bundled sample and a model trained on it."""

from __future__ import annotations

import os
import pathlib

import selvane

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "data" / "sample" / "tashkeela-msa-excerpt.txt"


def train_sample_model(work: pathlib.Path) -> pathlib.Path:
    """Trains a model on the first 300 kB of the sample in `work` (training
    writes "tokenizer" into the current directory) and returns its path."""
    (work / "empty.model").write_bytes(bytes(24))
    (work / "train.txt").write_bytes(SAMPLE.read_bytes()[:300_000])
    here = os.getcwd()
    os.chdir(work)
    try:
        selvane.load_from_file("empty.model").train("train.txt", False, "train.log")
    finally:
        os.chdir(here)
    return work / "tokenizer"
