"""selvane_tools as a library: units, model file checks, the stubs under mypy."""

from __future__ import annotations

import io
import os
import pathlib
import struct
import subprocess
import sys

import pytest

import selvane
from selvane_tools import EMPTY_MODEL, Model, ModelFormatError, SelvaneError, new_model
from selvane_tools.units import Unit, UnitError, iter_numbered_units, iter_units, parse_unit


def units(raw: bytes, spec: str) -> list[str]:
    return list(iter_units(io.BytesIO(raw), parse_unit(spec)))


def test_line_and_paragraph_units() -> None:
    assert units(b"", "line") == []
    assert units(b"a\r\n\r\nb", "line") == ["a", "", "b"]
    assert units(b"a\n", "line") == units(b"a", "line") == ["a"]
    assert units(b"a\r\r\n", "line") == ["a\r"]  # only one "\r" goes
    assert units(b"\n\n", "line") == ["", ""]
    assert units(b"\n \r\na\r\nb\n\t\n\nc\r", "paragraph") == ["a\nb", "c"]
    assert units(b" \n\n", "paragraph") == []
    assert units(b"x\r\n\xff", "file") == ["x\r\n\ufffd"]
    assert units(b"", "file") == [""]
    numbered = list(iter_numbered_units(io.BytesIO(b"\na\nb\n\nc"), Unit("paragraph"), first_line=10))
    assert numbered == [(11, "a\nb"), (14, "c")]
    for bad in ("words", "jsonl:", "Line"):
        with pytest.raises(UnitError):
            parse_unit(bad)
    with pytest.raises(UnitError, match=r"^in.jsonl:2: no field 't'$"):
        list(iter_units(io.BytesIO(b'{"t": "a"}\n{"u": "b"}\n'), parse_unit("jsonl:t"), "in.jsonl"))


def _entry(token: int, raw: bytes) -> bytes:
    return struct.pack("<HQ", token, len(raw)) + raw


@pytest.mark.parametrize(
    "data",
    [
        EMPTY_MODEL,
        EMPTY_MODEL + b"trailing bytes",
        struct.pack("<Q", 2) + _entry(1, b"\xd8\xa8") + _entry(1, b"x") + bytes(16),  # duplicate id
        bytes(23),
        struct.pack("<Q", 1) + _entry(1, b"ab")[:-1],
        bytes(16) + struct.pack("<Q", 1) + struct.pack("<Q", 1) + b"\xff" + b"\x00\x00",
        bytes(16) + struct.pack("<Q", 1) + struct.pack("<Q", 5) + b"abc",
        struct.pack("<Q", 1 << 32) + bytes(16),
    ],
)
def test_model_check_accepts_what_the_loader_accepts(tmp_path: pathlib.Path, data: bytes) -> None:
    path = tmp_path / "model"
    path.write_bytes(data)
    try:
        direct = selvane.load_from_file(str(path))
    except BaseException:
        with pytest.raises(ModelFormatError, match="is not a selvane model file"):
            Model(path)
        return
    model = Model(path)
    assert sorted(model.vocab()) == sorted(direct.vocab())
    # The bytes kept are the model's: loading stops where it ends, as the
    # extension's loader does.
    assert model.model_bytes == data.removesuffix(b"trailing bytes") and model.num_ids == len(direct.vocab())


def test_new_model_and_pathlike(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "empty.model"
    new_model(path)
    assert path.read_bytes() == EMPTY_MODEL
    with pytest.raises(SelvaneError, match="exists already"):
        new_model(path)
    model = Model(path)
    assert (model.num_ids, model.num_merges, model.num_clusters) == (0, 0, 0)
    assert model.encode("") == [] and not model.has_oov
    with pytest.raises(SelvaneError, match="never trained") as caught:
        model.encode("abc")
    assert type(caught.value.__cause__).__name__ == "PanicException"
    assert os.listdir(tmp_path) == ["empty.model"]


GOOD = '''
import selvane
from selvane_tools import Model, SelvaneError, TrainSummary, train

data: selvane.Data = selvane.load_from_file("m")
ids: list[int] = data.encode("text")
text: str = data.decode(ids) + data.decode((1, 2)) + data.decode(b"ab")
vocab: list[int] = data.vocab()
data.train("corpus.txt", False, "log.txt")
model = Model("m")
summary: TrainSummary = train(["a.txt"], "out.model", init=None, progress=False)
back: str = model.decode(model.encode("x"))
digest: str = model.sha256
'''

BAD = '''
import selvane
data = selvane.load_from_file("m")
data.decode("text")
data.train("corpus.txt", 1, "log.txt")
selvane.load_from_file(b"m")
n: str = data.vocab()
'''


def test_mypy_checks_calls_against_the_stubs(tmp_path: pathlib.Path) -> None:
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), "good.py", "bad.py"],
        cwd=tmp_path, capture_output=True, text=True,
    )
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert not [line for line in errors if line.startswith("good.py")], done.stdout
    assert sorted({int(line.split(":")[1]) for line in errors}) == [4, 5, 6, 7], done.stdout
    assert done.returncode == 1


@pytest.mark.parametrize(
    "text, shown",
    [
        ("بِسْمِ one", "بِسْمِ one"),  # letters, marks and a plain blank show as themselves
        ("a\\b\n\t\r", "a\\\\b\\n\\t\\r"),
        ("\u200d\u200c\u200f", "\\u200d\\u200c\\u200f"),  # joiners and a bidi mark
        ("\u00a0\u3000\u2028", "\\u00a0\\u3000\\u2028"),  # blanks that are not a space, a line separator
        ("\x00\x7f\U000f0000\U0010ffff", "\\u0000\\u007f\\U000f0000\\U0010ffff"),  # controls, private use
        ("\U000e01f0", "\\U000e01f0"),  # unassigned
        ("x\udcff", "x\\xff"),  # a byte that was not UTF-8
    ],
)
def test_escape_shows_every_character(text: str, shown: str) -> None:
    from selvane_tools.display import escape

    assert escape(text) == shown


def test_escape_bytes_marks_what_is_not_utf8() -> None:
    from selvane_tools.display import escape_bytes

    assert escape_bytes("ب".encode() + b"\xd8 \xff\n") == "ب\\xd8 \\xff\\n"


class _Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


def test_progress_bar_draws_on_a_terminal_and_writes_lines_elsewhere() -> None:
    from selvane_tools._progress import ProgressBar
    from selvane_tools.training import TrainProgress

    state = TrainProgress(bytes_total=3_000_000, chunks_total=2, ids=10, files=["c.txt"])
    plain = io.StringIO()
    bar = ProgressBar(plain)
    bar.update(state)
    state.bytes_done, state.chunks_done, state.merges, state.ids = 1_500_000, 1, 1_234, 1_300
    bar.update(state)
    bar.close()
    lines = plain.getvalue().splitlines()
    assert len(lines) == 2 and bar.state is state
    assert lines[0].startswith("training   0%: 0 of 3,000,000 bytes, chunk 0/2, 0 merges, 10 ids, ")
    assert lines[1].startswith("training  50%: 1,500,000 of 3,000,000 bytes, chunk 1/2, 1,234 merges, 1,300 ids, ")
    assert "\r" not in plain.getvalue()

    terminal = _Terminal()
    bar = ProgressBar(terminal)
    bar.update(state)
    state.bytes_done, state.chunks_done = 3_000_000, 2
    bar.update(state)
    bar.close()
    bar.close()  # a second close is harmless
    drawn = terminal.getvalue()
    assert "\r" in drawn and "chunk 2/2, 1,234 merges, 1,300 ids" in drawn and "100%" in drawn
