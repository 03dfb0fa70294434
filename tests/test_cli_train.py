"""`selvane train` and `selvane_tools.train` against direct `Data.train` calls.

Direct training runs in a child process of its own directory, since it writes
"tokenizer" and "log.txt" there and prints to file descriptor 1.
"""

from __future__ import annotations

import os
import pathlib
import pickle
import signal
import struct
import subprocess
import sys
import time

import pytest

import selvane
from selvane_tools import EMPTY_MODEL, IdsExhaustedError, Model, SelvaneError
from selvane_tools.training import CHUNK_SIZE, TrainProgress, train

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "data" / "sample" / "tashkeela-msa-excerpt.txt"
SELVANE = pathlib.Path(sys.executable).parent / "selvane"

DIRECT = r"""
import sys, selvane
model = selvane.load_from_file(sys.argv[1])
for corpus in sys.argv[2:]:
    model.train(corpus, False, "direct.log")
"""


def direct_train(work: pathlib.Path, init: bytes, corpora: list[pathlib.Path]) -> tuple[bytes, bytes]:
    """The model file and console output of direct train calls, one per corpus."""
    work.mkdir()
    (work / "init.model").write_bytes(init)
    done = subprocess.run([sys.executable, "-c", DIRECT, "init.model", *map(str, corpora)],
                          cwd=work, capture_output=True, check=True)
    return (work / "tokenizer").read_bytes(), done.stdout


def cli(*args: object, cwd: pathlib.Path, **kwargs: object) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([str(SELVANE), *map(str, args)], cwd=cwd, capture_output=True, **kwargs)  # type: ignore[call-overload]


def multi_chunk_corpus(path: pathlib.Path, chunks: int) -> pathlib.Path:
    """More than `chunks` chunks from the sample, each copy varied (lines
    reversed, rotated) so that later chunks still learn merges."""
    lines = SAMPLE.read_bytes().split(b"\n")
    parts, size, turn = [], 0, 0
    while size <= chunks * CHUNK_SIZE:
        shift = (turn * 7919) % len(lines)
        variant = lines[shift:] + lines[:shift]
        if turn % 2:
            variant.reverse()
        part = b"\n".join(variant) + b"\n"
        parts.append(part)
        size += len(part)
        turn += 1
    path.write_bytes(b"".join(parts))
    return path


@pytest.mark.parametrize("files", [1, 2])
def test_cli_model_and_log_equal_direct_training(tmp_path: pathlib.Path, files: int) -> None:
    text = SAMPLE.read_bytes()
    if files == 1:
        corpora = [SAMPLE]
    else:
        # Cut inside a line and inside a UTF-8 sequence: each file is its own call.
        cut = len(text) // 2 + 1
        corpora = [tmp_path / "first.txt", tmp_path / "second.txt"]
        corpora[0].write_bytes(text[:cut])
        corpora[1].write_bytes(text[cut:])
    expected, console = direct_train(tmp_path / "direct", EMPTY_MODEL, corpora)

    caller = tmp_path / "caller"
    caller.mkdir()
    done = cli("train", *corpora, "-o", "out.model", "--log", "console.txt", "--print-logs", cwd=caller)
    assert done.returncode == 0, done.stderr
    assert (caller / "out.model").read_bytes() == expected
    assert (caller / "console.txt").read_bytes() == console
    assert done.stdout == console
    assert sorted(p.name for p in caller.iterdir()) == ["console.txt", "out.model"]
    assert b"trained %d chunk" % files in done.stderr

    # Quiet and without logs: nothing on either stream, and --init continues.
    again = cli("train", corpora[0], "--init", "out.model", "-o", "out.model", "-q", cwd=caller)
    assert (again.returncode, again.stdout, again.stderr) == (0, b"", b"")
    continued, _ = direct_train(tmp_path / "direct2", expected, corpora[:1])
    assert (caller / "out.model").read_bytes() == continued


def test_api_train_summary_progress_and_pickle(tmp_path: pathlib.Path) -> None:
    seen: list[tuple[int, int, int]] = []

    def progress(state: TrainProgress) -> None:
        seen.append((state.chunks_done, state.bytes_done, state.bytes_total))

    corpus = multi_chunk_corpus(tmp_path / "corpus.txt", 1)
    size = corpus.stat().st_size
    summary = train([corpus], tmp_path / "out.model", progress=progress)
    expected, console = direct_train(tmp_path / "direct", EMPTY_MODEL, [corpus])
    model = Model(tmp_path / "out.model")
    assert model.model_bytes == expected
    assert seen == [(0, 0, size), (1, CHUNK_SIZE, size), (2, size, size)]
    assert (summary.chunks, summary.bytes) == (2, size)
    assert summary.merges == model.num_merges == console.count(b"\nToken ")
    assert summary.ids == model.num_ids == len(model.vocab())

    clone = pickle.loads(pickle.dumps(model))
    text = SAMPLE.read_text(encoding="utf-8")[:5000]
    direct = selvane.load_from_file(str(tmp_path / "out.model"))
    assert clone.encode(text) == model.encode(text) == direct.encode(text)
    assert clone.sha256 == model.sha256
    assert clone.decode(clone.encode(text)) == direct.decode(direct.encode(text))


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_stopped_training_keeps_a_completed_chunk(tmp_path: pathlib.Path, signum: int, status: int) -> None:
    corpus = multi_chunk_corpus(tmp_path / "corpus.txt", 5)
    caller = tmp_path / "caller"
    caller.mkdir()
    child = subprocess.Popen([str(SELVANE), "train", str(corpus), "-o", "out.model"], cwd=caller,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 120
    while not (caller / "out.model").exists():
        assert child.poll() is None, child.communicate()
        assert time.monotonic() < deadline
        time.sleep(0.005)
    child.send_signal(signum)
    stdout, stderr = child.communicate(timeout=60)
    assert child.returncode == status, stderr
    assert stdout == b""
    message = stderr.decode().strip().splitlines()[-1]
    assert "chunks" in message and "holds the model of chunk" in message, message
    chunks = int(message.rsplit("chunk ", 1)[1])
    assert 1 <= chunks < 6

    # The model is whole and is the save of that chunk in a direct run:
    # the first `chunks` chunks of the corpus, trained alone.
    prefix = tmp_path / "prefix.txt"
    prefix.write_bytes(corpus.read_bytes()[: chunks * CHUNK_SIZE])
    expected, _ = direct_train(tmp_path / "direct", EMPTY_MODEL, [prefix])
    assert (caller / "out.model").read_bytes() == expected
    assert sorted(p.name for p in caller.iterdir()) == ["out.model"]


def _model_near_the_id_limit(free: int) -> bytes:
    """A model whose lookup holds all but `free` ids: private-use clusters
    that no corpus here contains."""
    count = 65_536 - free
    texts = [b""] + [chr(0xF0000 + i).encode() for i in range(1, count)]
    out = [struct.pack("<Q", count)]
    out += [struct.pack("<HQ", i, len(t)) + t for i, t in enumerate(texts)]
    out.append(struct.pack("<Q", 0))
    out.append(struct.pack("<Q", count))
    out.append(struct.pack("<Q", 3) + b"oov" + struct.pack("<H", 0))
    out += [struct.pack("<Q", len(t)) + t + struct.pack("<H", i) for i, t in enumerate(texts) if i]
    return b"".join(out)


def test_id_exhaustion_stops_with_the_last_complete_model(tmp_path: pathlib.Path) -> None:
    init = tmp_path / "near.model"
    init.write_bytes(_model_near_the_id_limit(3))
    first = tmp_path / "first.txt"
    first.write_text("ab" * 3)  # two new clusters, no merge: ids 65533 and 65534
    expected, _ = direct_train(tmp_path / "direct", init.read_bytes(), [first])
    assert Model.from_bytes(expected).num_ids == 65_535

    done = cli("train", first, SAMPLE, "--init", init, "-o", "out.model", cwd=tmp_path)
    assert done.returncode == 3, done.stderr
    message = done.stderr.decode().strip().splitlines()[-1]
    assert "65,536" in message and "holds the model of chunk 1" in message, message
    assert "Traceback" not in done.stderr.decode()
    assert (tmp_path / "out.model").read_bytes() == expected

    with pytest.raises(IdsExhaustedError) as caught:
        train([SAMPLE], tmp_path / "api.model", init=init, progress=False)
    assert type(caught.value.__cause__).__name__ == "PanicException"
    assert str(caught.value.__cause__).startswith("All 65,536 token ids are in use")
    assert not (tmp_path / "api.model").exists()


def test_train_user_errors(tmp_path: pathlib.Path) -> None:
    (tmp_path / "bad.model").write_bytes(b"not a model")
    (tmp_path / "empty.txt").write_bytes(b"")
    cases = [
        (["train", "missing.txt", "-o", "m"], "corpus not found: missing.txt"),
        (["train", ".", "-o", "m"], "is a directory"),
        (["train", SAMPLE, "--init", "bad.model", "-o", "m"], "bad.model is not a selvane model file"),
        (["train", SAMPLE, "-o", "no/such/dir/m"], "does not exist"),
        (["train", "empty.txt", "-o", "m"], "corpus is empty"),
    ]
    for args, expected in cases:
        done = cli(*args, cwd=tmp_path)
        lines = done.stderr.decode().strip().splitlines()
        assert done.returncode == 1 and len(lines) == 1, (args, done.stderr)
        assert lines[0].startswith("selvane: error: ") and expected in lines[0], lines
    assert not (tmp_path / "m").exists()
    with pytest.raises(SelvaneError, match="corpus not found"):
        train(["missing.txt"], tmp_path / "m", progress=False)
