"""Crash and fault tests: a killed or starved training run never leaves a
broken "tokenizer", re-entrant calls give the borrow errors without touching
the model, and threads sharing objects do not crash."""

from __future__ import annotations

import os
import pathlib
import random
import resource
import signal
import subprocess
import sys
import threading
import time

import pytest

import selvane
from conftest import EMPTY_MODEL, PanicException, SANITIZED, model_image

# Under AddressSanitizer training is several times slower: fewer kills.
SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "data/sample/tashkeela-msa-excerpt.txt"

TRAIN = """
import selvane
model = selvane.load_from_file("start.model")
model.train("corpus.txt", False, "train.log")
"""


def prepare(work: pathlib.Path, chunks: int = 2, tail: int = 20_000) -> None:
    (work / "start.model").write_bytes(EMPTY_MODEL)
    # Whole chunks and then `tail` bytes, so that several saves happen.
    text = SAMPLE.read_bytes()
    size = 3_067_833 * (chunks - 1) + tail
    (work / "corpus.txt").write_bytes((text * (size // len(text) + 1))[:size])


# ---------------------------------------------------------------------------
# SIGKILL during training
# ---------------------------------------------------------------------------


def test_killed_training_leaves_a_loadable_model(tmp_path):
    # One small chunk: each run loads, learns, saves and ends within a moment,
    # so kills at random moments of a run land before, during and after its
    # save. A first run to the end leaves the model the kills must not break.
    prepare(tmp_path, chunks=1)
    began = time.monotonic()
    subprocess.run([sys.executable, "-c", TRAIN], cwd=tmp_path, check=True,
                   stdout=subprocess.DEVNULL, timeout=120)
    duration = time.monotonic() - began
    rng = random.Random(8)
    for _ in range(4 if SANITIZED else 10):
        process = subprocess.Popen([sys.executable, "-c", TRAIN], cwd=tmp_path,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(rng.uniform(0.0, duration * 1.2))
        process.send_signal(signal.SIGKILL)
        process.wait()
        model = selvane.load_from_file(str(tmp_path / "tokenizer"))
        assert len(model.vocab()) > 1


# ---------------------------------------------------------------------------
# A full disk
# ---------------------------------------------------------------------------

FULL_DISK = """
import resource, signal, selvane
model = selvane.load_from_file("start.model")
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (@LIMIT@, @LIMIT@))
try:
    model.train("corpus.txt", False, "train.log")
except BaseException as error:
    print("FAILED", error)
"""


def test_full_disk_fails_as_documented_and_keeps_the_old_model(tmp_path):
    prepare(tmp_path, chunks=1)
    good = EMPTY_MODEL
    (tmp_path / "tokenizer").write_bytes(good)
    # The corpus makes a model of several kilobytes; the old one is 24 bytes.
    code = FULL_DISK.replace("@LIMIT@", "2048")
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert "FAILED Should work: Os { code: 27, kind: FileTooLarge," in result.stdout
    assert (tmp_path / "tokenizer").read_bytes() == good
    selvane.load_from_file(str(tmp_path / "tokenizer"))


# ---------------------------------------------------------------------------
# Re-entrant calls from tokens objects
# ---------------------------------------------------------------------------


def small_model(tmp_path):
    image = model_image({0: b"", 1: b"a"}, {"a": 1})
    path = tmp_path / "small.model"
    path.write_bytes(image)
    return selvane.load_from_file(str(path))


class Reentrant:
    """A sequence whose __len__, __iter__ and elements' __index__ call other
    methods of the model, recording what each call gives."""

    def __init__(self, model, tmp_path):
        self.model, self.tmp_path, self.outcomes = model, tmp_path, []

    def _calls(self):
        for call in (lambda: self.model.train(str(self.tmp_path / "none"), False,
                                              str(self.tmp_path / "log")),
                     lambda: self.model.decode([1]), lambda: self.model.encode("a"),
                     self.model.vocab):
            try:
                self.outcomes.append(("ok", call()))
            except BaseException as error:  # noqa: B036
                self.outcomes.append((type(error).__name__, str(error)))

    def __len__(self):
        self._calls()
        return 2

    def __getitem__(self, index):
        return [1, 1][index]

    def __iter__(self):
        self._calls()
        outer = self

        class Index:
            def __index__(self):
                outer._calls()
                return 1

        return iter([Index(), 1])


def test_reentrant_tokens_give_borrow_errors_and_keep_the_model(tmp_path):
    model = small_model(tmp_path)
    before = (model.vocab(), model.encode("aa"), model.decode([1, 1]))
    tokens = Reentrant(model, tmp_path)
    for _ in range(3):
        assert model.decode(tokens) == "aa"
    kinds = tokens.outcomes
    # __len__, __iter__ and two __index__ calls per decode, four calls each.
    assert len(kinds) >= 3 * 4 * 3
    # Inside a shared borrow train is refused, the reads nest.
    assert ("RuntimeError", "Already borrowed") in kinds
    assert ("ok", "a") in kinds and ("ok", [1]) in kinds
    assert all(kind in ("ok", "RuntimeError") for kind, _ in tokens.outcomes)
    assert (model.vocab(), model.encode("aa"), model.decode([1, 1])) == before
    # The borrow is free again: train gets as far as its missing file.
    with pytest.raises(PanicException):
        model.train(str(tmp_path / "none"), False, str(tmp_path / "log"))


# ---------------------------------------------------------------------------
# Threads
# ---------------------------------------------------------------------------


def test_threads_share_objects_while_models_load(tmp_path):
    prepare(tmp_path, chunks=1)
    subprocess.run([sys.executable, "-c", TRAIN], cwd=tmp_path, check=True,
                   stdout=subprocess.DEVNULL, timeout=120)
    path = str(tmp_path / "tokenizer")
    model = selvane.load_from_file(path)
    text = SAMPLE.read_text(encoding="utf-8")[:2000]
    expected = model.encode(text)
    errors, stop = [], threading.Event()

    def codec():
        try:
            while not stop.is_set():
                ids = model.encode(text)
                assert ids == expected
                model.decode(ids)
        except BaseException as error:  # noqa: B036
            errors.append(error)

    def loader():
        try:
            for _ in range(30):
                selvane.load_from_file(path).vocab()
        except BaseException as error:  # noqa: B036
            errors.append(error)

    threads = [threading.Thread(target=codec) for _ in range(3)]
    for thread in threads:
        thread.start()
    load = threading.Thread(target=loader)
    load.start()
    load.join()
    stop.set()
    for thread in threads:
        thread.join()
    assert not errors
