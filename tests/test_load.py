"""load_from_file through the installed module: operating-system and model
file failures with their exact messages, what a loaded model holds, and a
differential check of the decoder against the pure-Python reader."""

from __future__ import annotations

import os
import random
import struct

import pytest

import selvane
from conftest import EMPTY_MODEL
import modelfile
from modelfile import EOF, SHORT_TEXT, size_error, utf8_error, write_model

PREFIX = "Should work: "
BEH = "\u0628"
LAM = "\u0644"


def load_error(path) -> BaseException:
    """Loads `path`, which must fail, and returns the panic exception."""
    with pytest.raises(BaseException) as info:
        selvane.load_from_file(str(path))
    error = info.value
    assert type(error).__name__ == "PanicException"
    assert not isinstance(error, Exception)
    assert len(error.args) == 1 and error.args[0] == str(error)
    return error


def load_message(path) -> str:
    return str(load_error(path))


def file_with(tmp_path, data: bytes, name="model"):
    path = tmp_path / name
    path.write_bytes(data)
    return path


def trained_like():
    """A model shaped like a trained one."""
    lookup = {0: b"", 1: BEH.encode(), 2: LAM.encode(), 3: (BEH + LAM).encode()}
    merges = {(1, 2): 3}
    unicode_lookup = {"oov": 0, BEH: 1, LAM: 2}
    return lookup, merges, unicode_lookup


def lookup_seen_through(data, ids) -> dict[int, str]:
    return {i: data.decode([i]) for i in ids}


# ---------------------------------------------------------------------------
# Operating-system failures
# ---------------------------------------------------------------------------


def test_missing_path(tmp_path):
    assert load_message(tmp_path / "absent") == (
        PREFIX + 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
    )


def test_directory_opens_then_fails_at_read(tmp_path):
    assert load_message(tmp_path) == (
        PREFIX + 'Os { code: 21, kind: IsADirectory, message: "Is a directory" }'
    )


def test_path_through_a_file(tmp_path):
    model = file_with(tmp_path, EMPTY_MODEL)
    assert load_message(f"{model}/below") == (
        PREFIX + 'Os { code: 20, kind: NotADirectory, message: "Not a directory" }'
    )


def test_nul_in_path_is_refused_before_any_system_call(tmp_path):
    # The part before the NUL names a loadable model: it must not be opened.
    model = file_with(tmp_path, EMPTY_MODEL)
    assert load_message(f"{model}\0tail") == (
        PREFIX
        + 'Error { kind: InvalidInput, message: "file name contained an '
        'unexpected NUL byte" }'
    )


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file(tmp_path):
    model = file_with(tmp_path, EMPTY_MODEL)
    model.chmod(0)
    assert load_message(model) == (
        PREFIX + 'Os { code: 13, kind: PermissionDenied, message: "Permission denied" }'
    )


def test_failures_leave_no_descriptor_open(tmp_path):
    bad = file_with(tmp_path, b"\x01")
    good = file_with(tmp_path, EMPTY_MODEL, "good")
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(30):
        load_error(bad)
        load_error(tmp_path)
        selvane.load_from_file(str(good))
    assert len(os.listdir("/proc/self/fd")) == before


# ---------------------------------------------------------------------------
# Model file failures
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, description",
    [
        (b"", EOF),
        (bytes(23), EOF),
        (struct.pack("<Q", 2**32), size_error(2**32)),
        (bytes(8) + bytes(8) + struct.pack("<Q", 2**64 - 1), size_error(2**64 - 1)),
        # A lookup value cut short is end of data; a text cut short is not.
        (struct.pack("<QHQ", 1, 1, 5) + b"abc", EOF),
        (bytes(16) + struct.pack("<QQ", 1, 5) + b"abc", SHORT_TEXT),
        (bytes(16) + struct.pack("<QQ", 1, 2) + b"\xff\x41\x01\x00", utf8_error(0, 1)),
        (bytes(16) + struct.pack("<QQ", 1, 2) + b"\x41\xd8\x01\x00", utf8_error(1, None)),
        # A huge count with nothing behind it fails quickly, without
        # reserving room for the entries it announces.
        (struct.pack("<Q", 2**32 - 1), EOF),
        (bytes(8) + struct.pack("<Q", 2**32 - 1), EOF),
    ],
)
def test_decode_failures(tmp_path, data, description):
    assert load_message(file_with(tmp_path, data)) == PREFIX + description


def test_last_byte_removed(tmp_path):
    data = write_model(None, *trained_like())
    assert load_message(file_with(tmp_path, data[:-1])) == PREFIX + EOF


def test_corruptions_match_the_reference_reader(tmp_path):
    # Whatever a corrupted file holds, the module and the Python reader agree
    # on the first error, or on the lookup table when it decodes.
    lookup, merges, unicode_lookup = trained_like()
    clean = write_model(None, lookup, merges, unicode_lookup)
    rng = random.Random(1208)
    outcomes = set()
    for round_ in range(300):
        data = bytearray(clean)
        for _ in range(1 + round_ % 3):
            data[rng.randrange(len(data))] = rng.randrange(256)
        if round_ % 4 == 0:
            del data[rng.randrange(len(data)) :]
        path = file_with(tmp_path, bytes(data))
        try:
            expected = modelfile.read_model(bytes(data))
        except modelfile.ModelFileError as e:
            assert load_message(path) == PREFIX + str(e)
            outcomes.add(str(e)[:12])
            continue
        model = selvane.load_from_file(str(path))
        assert model.vocab() == sorted(expected[0])
        for token_id, value in expected[0].items():
            assert model.decode([token_id]) == value.decode("utf-8", "replace")
        outcomes.add("ok")
    assert "ok" in outcomes and len(outcomes) >= 3


# ---------------------------------------------------------------------------
# Successful loads
# ---------------------------------------------------------------------------


def test_empty_model(tmp_path):
    model = selvane.load_from_file(str(file_with(tmp_path, EMPTY_MODEL)))
    assert type(model).__name__ == "Data"
    assert model.vocab() == []
    assert model.decode([]) == ""


def test_loaded_model_serves_its_lookup(tmp_path):
    lookup, merges, unicode_lookup = trained_like()
    path = tmp_path / "model"
    write_model(path, lookup, merges, unicode_lookup)
    model = selvane.load_from_file(str(path))
    assert model.vocab() == [0, 1, 2, 3]
    assert lookup_seen_through(model, lookup) == {
        i: v.decode() for i, v in lookup.items()
    }
    assert model.encode(BEH + LAM + BEH + LAM) == [3, 3]


def test_trailing_bytes_are_ignored(tmp_path):
    lookup, merges, unicode_lookup = trained_like()
    data = write_model(None, lookup, merges, unicode_lookup)
    plain = selvane.load_from_file(str(file_with(tmp_path, data)))
    padded = selvane.load_from_file(
        str(file_with(tmp_path, data + b"\xff\x00 trailing", "padded"))
    )
    assert padded.vocab() == plain.vocab()
    assert lookup_seen_through(padded, lookup) == lookup_seen_through(plain, lookup)
    assert padded.encode(BEH + LAM + BEH) == plain.encode(BEH + LAM + BEH)


def test_later_duplicates_win(tmp_path):
    data = (
        struct.pack("<Q", 2)
        + struct.pack("<HQ", 1, 1) + b"a"
        + struct.pack("<HQ", 1, 1) + b"b"
        + struct.pack("<Q", 0)
        + struct.pack("<Q", 0)
    )
    model = selvane.load_from_file(str(file_with(tmp_path, data)))
    assert model.vocab() == [1]
    assert model.decode([1]) == "b"


def test_relative_path_uses_the_current_directory(tmp_path, monkeypatch):
    write_model(tmp_path / "rel", {5: b"x"}, {}, {})
    monkeypatch.chdir(tmp_path)
    assert selvane.load_from_file("rel").vocab() == [5]


def test_non_utf8_lookup_values_load_unchanged(tmp_path):
    path = tmp_path / "model"
    write_model(path, {1: b"\xff", 2: b"\xd8", 3: b"\xa8"}, {}, {})
    model = selvane.load_from_file(str(path))
    assert model.decode([1]) == "\ufffd"
    assert model.decode([2, 3]) == BEH


def test_two_loads_are_independent_objects(tmp_path, monkeypatch):
    path = tmp_path / "model"
    write_model(path, *trained_like())
    first = selvane.load_from_file(str(path))
    second = selvane.load_from_file(str(path))
    assert first is not second
    assert first.vocab() == second.vocab()
    # Growing one leaves the other as it was.
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("\u062a\u0645\u0631 " * 20, encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    first.train(str(corpus), False, str(tmp_path / "logs.txt"))
    assert len(first.vocab()) > 4
    assert second.vocab() == [0, 1, 2, 3]
    assert lookup_seen_through(second, range(4)) == {
        0: "", 1: BEH, 2: LAM, 3: BEH + LAM
    }


def test_filename_must_be_a_str(tmp_path):
    path = file_with(tmp_path, EMPTY_MODEL)
    for bad in (bytes(str(path), "utf-8"), path, None):
        with pytest.raises(TypeError, match="^argument 'filename': "):
            selvane.load_from_file(bad)
    with pytest.raises(TypeError):
        selvane.load_from_file()
    assert selvane.load_from_file(filename=str(path)).vocab() == []
