"""Leak tests: every method and failing path, called thousands of times,
leaves the interpreter's allocated blocks, traced memory and the process's
resident size flat. Rounds after a warm-up are compared, so caches and
free lists filled by the first round do not count."""

from __future__ import annotations

import gc
import os
import pathlib
import sys
import tracemalloc

import pytest

import selvane
from conftest import PanicException, SANITIZED, model_image

# Under AddressSanitizer freed memory sits in its quarantine, so the resident
# size grows whatever the module does, and every call is slower.
ROUNDS = 300 if SANITIZED else 2000

# Ids 1 and 2 spell "a" and "b", (1, 2) merges into 3; "oov" is 0.
IMAGE = model_image(
    {0: b"", 1: b"a", 2: b"b", 3: b"ab"}, {"oov": 0, "a": 1, "b": 2}, {(1, 2): 3}
)


def rss_kib() -> int:
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise AssertionError("no VmRSS")


def measure(work, rounds=ROUNDS):
    """Runs `work` for a warm-up round and two measured rounds; returns the
    growth of allocated blocks, traced bytes and RSS in the last round."""
    def one_round():
        for _ in range(rounds):
            work()
        gc.collect()

    one_round()
    tracemalloc.start()
    try:
        one_round()
        blocks, traced, rss = sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0], rss_kib()
        one_round()
        return (sys.getallocatedblocks() - blocks,
                tracemalloc.get_traced_memory()[0] - traced,
                rss_kib() - rss)
    finally:
        tracemalloc.stop()


def assert_flat(growth):
    blocks, traced, rss = growth
    # A leak of one block or a few bytes per call would show thousands.
    assert blocks < 50, growth
    assert traced < 20_000, growth
    if not SANITIZED:
        assert rss < 1024, growth  # KiB


@pytest.fixture
def model_path(tmp_path):
    path = tmp_path / "model"
    path.write_bytes(IMAGE)
    return str(path)


class Tokens:
    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise self.error

    def __getitem__(self, index):
        raise IndexError

    def __iter__(self):
        raise self.error


def test_successful_calls_do_not_leak(model_path):
    model = selvane.load_from_file(model_path)
    text = "ab" * 50 + "c"

    def work():
        assert model.encode(text)[:2] == [3, 3]
        assert model.decode([3, 1, 2, 0]) == "abab"
        assert model.decode(b"\x01\x02") == "ab"
        assert model.vocab() == [0, 1, 2, 3]
        selvane.load_from_file(model_path)

    assert_flat(measure(work))


def test_failing_calls_do_not_leak(model_path, tmp_path):
    model = selvane.load_from_file(model_path)
    panic = PanicException
    bad_model = tmp_path / "bad"
    bad_model.write_bytes(IMAGE[:-1])
    failures = [
        (lambda: selvane.load_from_file(str(tmp_path / "missing")), panic),
        (lambda: selvane.load_from_file(str(bad_model)), panic),
        (lambda: selvane.load_from_file("a\0b"), panic),
        (lambda: selvane.load_from_file(b"x"), TypeError),
        (lambda: model.decode([9]), panic),
        (lambda: model.decode([70000]), OverflowError),
        (lambda: model.decode([1.5]), TypeError),
        (lambda: model.decode("12"), TypeError),
        (lambda: model.decode({1: 2}), TypeError),
        (lambda: model.decode(Tokens(ValueError("no"))), ValueError),
        (lambda: model.encode("\ud800"), UnicodeEncodeError),
        (lambda: model.encode(5), TypeError),
        (lambda: model.encode(), TypeError),
        (lambda: model.encode("a", st="b"), TypeError),
        (lambda: model.train(str(tmp_path / "missing"), False, str(tmp_path / "log")), panic),
        (lambda: model.train("x", 1, "y"), TypeError),
    ]

    def work():
        for call, error in failures:
            with pytest.raises(error):
                call()

    assert_flat(measure(work, rounds=ROUNDS // 4))


def test_reentrant_borrow_errors_do_not_leak(model_path, tmp_path):
    model = selvane.load_from_file(model_path)

    class Inner:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            return 1

        def __iter__(self):
            with pytest.raises(RuntimeError, match="Already borrowed"):
                model.train(str(tmp_path / "missing"), False, str(tmp_path / "log"))
            model.vocab()
            return iter([1])

    tokens = Inner()
    assert_flat(measure(lambda: model.decode(tokens)))


def test_dropped_models_are_freed(model_path):
    assert_flat(measure(lambda: selvane.load_from_file(model_path).encode("ab")))
