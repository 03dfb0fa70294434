"""The `selvane` command's encode, decode, vocab, info, show and init, run as
the installed console script, against the extension's own results."""

from __future__ import annotations

import importlib.metadata
import json
import pathlib
import subprocess
import sys

import pytest

import selvane
from selvane_tools import Model, train

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "data" / "sample" / "tashkeela-msa-excerpt.txt"
SELVANE = pathlib.Path(sys.executable).parent / "selvane"

BISMILLAH = "بِسْمِ اللَّهِ الرَّحْمَنِ الرَّحِيمِ"


def cli(*args: object, cwd: pathlib.Path, input: bytes | None = None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([str(SELVANE), *map(str, args)], cwd=cwd, input=input, capture_output=True)


@pytest.fixture(scope="module")
def model_path(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    path = tmp_path_factory.mktemp("model") / "sample.model"
    train([SAMPLE], path, progress=False)
    return path


# Input bytes and the units they hold, written out by hand.
RAW = (
    b"\xd8\xa8\xd9\x90\xd8\xb3\xd9\x92\xd9\x85\xd9\x90 one\r\n"  # CRLF line
    b"\n"  # empty line: a unit of its own for `line`
    b" \t\r\n"  # whitespace-only: blank for `paragraph`
    b"bad \xff byte\n"
    b"second line\n"
    b"\n"
    b"last without newline"
)
UNITS = {
    "line": ["بِسْمِ one", "", " \t", "bad \ufffd byte", "second line", "", "last without newline"],
    "paragraph": ["بِسْمِ one", "bad \ufffd byte\nsecond line", "last without newline"],
    "file": [RAW.decode("utf-8", "replace")],
}


@pytest.mark.parametrize("unit", sorted(UNITS))
def test_encode_units_equal_the_extension(tmp_path: pathlib.Path, model_path: pathlib.Path, unit: str) -> None:
    data = selvane.load_from_file(str(model_path))
    expected = b"".join(" ".join(map(str, data.encode(text))).encode() + b"\n" for text in UNITS[unit])
    (tmp_path / "in.txt").write_bytes(RAW)
    from_file = cli("encode", "-m", model_path, "--unit", unit, "in.txt", "-o", "out.ids", cwd=tmp_path)
    assert from_file.returncode == 0, from_file.stderr
    assert (tmp_path / "out.ids").read_bytes() == expected
    piped = cli("encode", "-m", model_path, "--unit", unit, cwd=tmp_path, input=RAW)
    assert piped.stdout == expected
    # Two inputs: units never run from one file into the next.
    twice = cli("encode", "-m", model_path, "--unit", unit, "in.txt", "-", cwd=tmp_path, input=RAW)
    assert twice.stdout == expected + expected


def test_encode_edges_of_line_units(tmp_path: pathlib.Path, model_path: pathlib.Path) -> None:
    for raw, lines in [(b"", 0), (b"\n", 1), (b"a\n", 1), (b"a", 1), (b"a\n\n", 2), (b"\r\n", 1)]:
        done = cli("encode", "-m", model_path, cwd=tmp_path, input=raw)
        assert done.stdout.count(b"\n") == lines, raw


def test_encode_jsonl(tmp_path: pathlib.Path, model_path: pathlib.Path) -> None:
    data = selvane.load_from_file(str(model_path))
    records = [{"text": BISMILLAH, "id": 1}, {"text": "a\nb"}]
    raw = b"\n".join(json.dumps(r, ensure_ascii=False).encode() for r in records[:1]) + b"\n  \n" + json.dumps(records[1]).encode()
    done = cli("encode", "-m", model_path, "--unit", "jsonl:text", cwd=tmp_path, input=raw)
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode().splitlines() == [" ".join(map(str, data.encode(r["text"]))) for r in records]

    for line, problem in [(b"[1]", "not a JSON object"), (b'{"other": 1}', "no field 'text'"),
                          (b'{"text": 5}', "is not a string"), (b"{oops", "not JSON"),
                          (b'{"text": "\\ud800"}', "lone surrogate")]:
        (tmp_path / "data.jsonl").write_bytes(b'{"text": "ok"}\n\n' + line + b"\n")
        done = cli("encode", "-m", model_path, "--unit", "jsonl:text", "data.jsonl", "-o", "out", cwd=tmp_path)
        assert done.returncode == 1
        message = done.stderr.decode().strip()
        assert message.startswith("selvane: error: data.jsonl:3: ") and problem in message, message
        assert not (tmp_path / "out").exists()  # a failed run leaves no partial output


def test_decode_round_trip_and_errors(tmp_path: pathlib.Path, model_path: pathlib.Path) -> None:
    data = selvane.load_from_file(str(model_path))
    texts = [BISMILLAH, "", "mixed نص 123"]
    ids = [data.encode(text) for text in texts]
    raw = b"".join(" ".join(map(str, line)).encode() + b"\n" for line in ids)
    done = cli("decode", "-m", model_path, cwd=tmp_path, input=raw)
    assert done.stdout.decode().split("\n")[:-1] == [data.decode(line) for line in ids]

    missing = max(data.vocab()) + 1
    for bad, problem in [(b"1 2 x\n", "not a line of token ids"), (b"1\n%d\n" % missing, f"id {missing} is not in the model")]:
        done = cli("decode", "-m", model_path, cwd=tmp_path, input=bad)
        assert done.returncode == 1
        assert done.stderr.decode().strip().splitlines()[-1].startswith("selvane: error: <stdin>:")
        assert problem in done.stderr.decode() and "panicked" not in done.stderr.decode()


def test_vocab_info_show(tmp_path: pathlib.Path, model_path: pathlib.Path) -> None:
    model = Model(model_path)
    lines = cli("vocab", "-m", model_path, cwd=tmp_path).stdout.decode().split("\n")[:-1]
    assert [int(line.split("\t")[0]) for line in lines] == sorted(model.vocab())
    shown = dict(line.split("\t", 1) for line in lines)
    assert shown["0"] == ""
    assert all("\n" not in text and "\u200c" not in text for text in shown.values())
    newline = next(i for i in model.vocab() if model.token_bytes(i) == b"\n")
    assert shown[str(newline)] == "\\n"

    info = cli("info", model_path, cwd=tmp_path).stdout.decode()
    assert f"sha256   {model.sha256}" in info and f"ids      {model.num_ids:,}" in info
    assert f"merges   {model.num_merges:,}" in info and "longest tokens:" in info

    show = cli("show", "-m", model_path, BISMILLAH, cwd=tmp_path).stdout.decode().splitlines()
    ids = model.encode(BISMILLAH)
    assert show[1] == "tokens  " + " | ".join(model.tokens(ids))
    assert show[2] == "ids     " + " ".join(map(str, ids))
    assert "".join(model.tokens(ids)) == model.decode(ids)


def test_init_and_user_errors(tmp_path: pathlib.Path, model_path: pathlib.Path) -> None:
    assert cli("init", "new.model", cwd=tmp_path).returncode == 0
    assert (tmp_path / "new.model").read_bytes() == bytes(24)
    (tmp_path / "new.model").write_bytes(b"keep")
    again = cli("init", "new.model", cwd=tmp_path)
    assert again.returncode == 1 and (tmp_path / "new.model").read_bytes() == b"keep"
    assert cli("init", "-f", "new.model", cwd=tmp_path).returncode == 0
    assert (tmp_path / "new.model").read_bytes() == bytes(24)

    (tmp_path / "text.txt").write_text("not a model")
    for args in (["encode", "-m", "missing.model"], ["info", "text.txt"], ["vocab", "-m", "."],
                 ["encode", "-m", model_path, "missing.txt"], ["show", "-m", "text.txt", "x"], ["show", "-m", "new.model", "x"]):
        done = cli(*args, cwd=tmp_path, input=b"")
        assert done.returncode == 1, args
        assert len(done.stderr.decode().strip().splitlines()) == 1, done.stderr
        assert done.stderr.startswith(b"selvane: error: ")
    for args in ([], ["encode"], ["encode", "-m", model_path, "--unit", "words"], ["frobnicate"]):
        done = cli(*args, cwd=tmp_path)
        assert done.returncode == 2 and b"usage:" in done.stderr, args
    # --version needs no subcommand and reports what is installed.
    version = cli("--version", cwd=tmp_path)
    assert version.returncode == 0
    assert version.stdout.decode() == f"selvane {importlib.metadata.version('selvane')}\n"
    help_text = cli("--help", cwd=tmp_path).stdout.decode()
    assert "130" in help_text and "65,536" in help_text
    for command in ("init", "train", "encode", "decode", "vocab", "info", "show"):
        assert "examples:" in cli(command, "--help", cwd=tmp_path).stdout.decode()
