"""train through the installed module.

Every training call runs in a child process with a directory of its own: it
writes "tokenizer" and "log.txt" into the current directory and prints to
file descriptor 1, which the parent captures byte for byte.
"""

from __future__ import annotations

import json
import os
import pathlib
import stat
import subprocess
import sys

import pytest

from conftest import EMPTY_MODEL
from modelfile import encode_model, read_model, write_model

CHUNK_SIZE = 3_067_833

START = b"Just Started\n"
CHUNK = b"Finish converting new read chunk to tokens\n"
SAVED = (
    b"--------------------------------------------- \n Saved Successfully \n"
    b"---------------------------------------------\n"
)
SEP = b"\n" + b"-" * 83 + b"\n"
FOUND = b"Found a match between the max occur with already learned | Pair is "
FAILED = (
    b"Failed to find a match between the max occur with already learned | "
    b"Failed Count "
)
STARTED = b"Started \n "

NOT_FOUND = 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
IS_DIR = 'Os { code: 21, kind: IsADirectory, message: "Is a directory" }'
NO_SPACE = 'Os { code: 28, kind: StorageFull, message: "No space left on device" }'
TOO_LARGE = 'Os { code: 27, kind: FileTooLarge, message: "File too large" }'
NUL = (
    'Error { kind: InvalidInput, message: "file name contained an unexpected '
    'NUL byte" }'
)

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "data" / "sample"

BEH = "\u0628"
SHADDA_FATHA = "\u0651\u064e"

# Runs in the child: loads a model, makes the train calls in order on that
# one object, and reports how the last call ended on its last stderr line.
CHILD = r"""
import json, sys
args = json.loads(sys.argv[1])
if args["fsize_limit"] is not None:
    import resource, signal
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
    resource.setrlimit(resource.RLIMIT_FSIZE, (args["fsize_limit"], hard))
import selvane
model = selvane.load_from_file(args["model"])
outcome = {"panic": None}
for train_file, print_logs, logs_file in args["calls"]:
    try:
        result = model.train(train_file, print_logs, logs_file)
        assert result is None
    except BaseException as error:
        outcome = {"panic": str(error), "type": type(error).__name__}
        break
sys.stderr.write("\nOUTCOME " + json.dumps(outcome) + "\n")
"""


class Run:
    def __init__(self, cwd: pathlib.Path, completed: subprocess.CompletedProcess):
        assert completed.returncode == 0, completed.stderr.decode(errors="replace")
        self.cwd = cwd
        self.stdout: bytes = completed.stdout
        last = completed.stderr.decode(errors="replace").rstrip("\n").split("\n")[-1]
        assert last.startswith("OUTCOME "), completed.stderr
        outcome = json.loads(last[len("OUTCOME ") :])
        self.panic: str | None = outcome["panic"]
        if self.panic is not None:
            assert outcome["type"] == "PanicException"

    def file(self, name: str) -> bytes:
        return (self.cwd / name).read_bytes()

    def model(self):
        return read_model(self.file("tokenizer"))


def run(cwd, calls, model=None, fsize_limit=None) -> Run:
    """Trains in a child process whose current directory is `cwd`. `calls`
    holds (train_file, print_logs, logs_file) triples; `model` is the file
    the child loads first (by default an empty model)."""
    cwd = pathlib.Path(cwd)
    if model is None:
        model = "empty.model"
        (cwd / model).write_bytes(EMPTY_MODEL)
    args = {"model": str(model), "calls": calls, "fsize_limit": fsize_limit}
    completed = subprocess.run(
        [sys.executable, "-c", CHILD, json.dumps(args)],
        cwd=cwd,
        capture_output=True,
        timeout=300,
    )
    return Run(cwd, completed)


def train_text(tmp_path, corpus: bytes | str, print_logs=False, **kwargs) -> Run:
    if isinstance(corpus, str):
        corpus = corpus.encode()
    (tmp_path / "corpus.txt").write_bytes(corpus)
    return run(tmp_path, [["corpus.txt", print_logs, "train.log"]], **kwargs)


def merge_line(new_id, first, second, count, loop) -> bytes:
    return f"Token {new_id} | Merge ({first}, {second}) | {count} Times | Loop {loop}\n".encode()


# ---------------------------------------------------------------------------
# Console, log sink and model file on small corpora
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "corpus, merge_lines, merges",
    [
        # (a, a) occurs 19 times; then (X, X) only 9 times.
        ("a" * 20, merge_line(2, 1, 1, 19, 0), {(1, 1): 2}),
        # Exactly the minimum count.
        ("a" * 11, merge_line(2, 1, 1, 10, 0), {(1, 1): 2}),
        ("a" * 10, b"", {}),
        # c, d, a, b take ids 1 to 4. (1, 2), (2, 3) and (3, 4) tie at 10:
        # the smallest pair goes first, then (3, 4) ties with (5, 3).
        (
            "cdab" * 10,
            merge_line(5, 1, 2, 10, 0)
            + merge_line(6, 3, 4, 10, 1)
            + merge_line(7, 5, 6, 10, 2),
            {(1, 2): 5, (3, 4): 6, (5, 6): 7},
        ),
    ],
)
def test_console_log_and_model_are_exact(tmp_path, corpus, merge_lines, merges):
    result = train_text(tmp_path, corpus)
    assert result.panic is None
    assert result.stdout == START + CHUNK + merge_lines + SAVED
    assert result.file("train.log") == SEP
    assert not (tmp_path / "log.txt").exists()
    lookup, saved_merges, unicode_lookup = result.model()
    assert saved_merges == merges
    for (first, second), merged in merges.items():
        assert lookup[merged] == lookup[first] + lookup[second]


def test_saved_file_is_the_model_in_fixed_order(tmp_path):
    result = train_text(tmp_path, "ab" * 10)
    assert result.stdout == START + CHUNK + merge_line(3, 1, 2, 10, 0) + SAVED
    assert result.file("tokenizer") == encode_model(
        {0: b"", 1: b"a", 2: b"b", 3: b"ab"}, {(1, 2): 3}, {"oov": 0, "a": 1, "b": 2}
    )


def test_print_logs_moves_merge_lines_to_log_txt(tmp_path):
    (tmp_path / "log.txt").write_bytes(b"earlier\n")
    (tmp_path / "one.txt").write_text("ab" * 10)
    (tmp_path / "two.txt").write_text("cd" * 10)
    result = run(
        tmp_path, [["one.txt", True, "train.log"], ["two.txt", True, "train.log"]]
    )
    assert result.panic is None
    first, second = merge_line(3, 1, 2, 10, 0), merge_line(6, 4, 5, 10, 0)
    # The log and the console carry the same merge lines.
    assert result.stdout == (START + CHUNK + first + SAVED) + (
        START + CHUNK + second + SAVED
    )
    assert result.file("train.log") == STARTED
    assert result.file("log.txt") == b"earlier\n" + first + SEP + second + SEP


def test_without_print_logs_log_txt_is_untouched(tmp_path):
    (tmp_path / "log.txt").write_bytes(b"keep")
    (tmp_path / "train.log").write_bytes(b"stale content")
    result = train_text(tmp_path, "ab" * 10)
    assert result.file("log.txt") == b"keep"
    assert result.file("train.log") == SEP


@pytest.mark.parametrize("print_logs", [False, True])
def test_empty_training_file_saves_nothing(tmp_path, print_logs):
    (tmp_path / "log.txt").write_bytes(b"keep")
    (tmp_path / "train.log").write_bytes(b"stale")
    result = train_text(tmp_path, b"", print_logs)
    assert result.panic is None
    assert result.stdout == START
    assert result.file("train.log") == (STARTED if print_logs else b"")
    assert result.file("log.txt") == b"keep"
    assert not (tmp_path / "tokenizer").exists()


# ---------------------------------------------------------------------------
# Several chunks
# ---------------------------------------------------------------------------


def test_file_one_byte_longer_than_a_chunk_is_two_chunks(tmp_path):
    result = train_text(tmp_path, b"a" * CHUNK_SIZE + b"b")
    assert result.panic is None
    # The first read takes the whole buffer: 3,067,832 pairs (a, a).
    assert result.stdout.startswith(START + CHUNK + merge_line(2, 1, 1, 3067832, 0))
    # A chunk of one cluster learns nothing and is saved all the same.
    assert result.stdout.endswith(SAVED + CHUNK + SAVED)
    assert result.stdout.count(SAVED) == 2
    assert result.file("train.log") == SEP + SEP
    lookup, merges, unicode_lookup = result.model()
    assert unicode_lookup["b"] == len(lookup) - 1


def test_second_chunk_applies_known_merges_first(tmp_path):
    # Chunk 1: "ab" repeated, then "a"; chunk 2: "ababab".
    first = b"ab" * (CHUNK_SIZE // 2) + b"a"
    assert len(first) == CHUNK_SIZE
    result = train_text(tmp_path, first + b"ababab")
    assert result.panic is None
    lookup, merges, _ = result.model()
    # (1, 2) and (2, 1) tie in chunk 1; the smaller pair wins.
    assert merges[(1, 2)] == 3 and merges[(3, 3)] == 4
    chunk_two = result.stdout[result.stdout.index(SAVED) + len(SAVED) :]
    # (1, 2) and then (3, 3) are known; (4, 3) is not, and [4, 3] has no
    # other pair to try.
    assert chunk_two == (
        FOUND + b"(1, 2)\n" + FOUND + b"(3, 3)\n" + FAILED + b"1\n" + CHUNK + SAVED
    )


def test_marker_cut_by_a_chunk_boundary_stays_text(tmp_path):
    corpus = b"x" * (CHUNK_SIZE - 6) + b"<|im_s" + b"tart|>"
    result = train_text(tmp_path, corpus)
    assert result.panic is None
    _, _, unicode_lookup = result.model()
    assert "^" not in unicode_lookup
    assert {"<", "|", "i", "m", "_", "s", "t", "a", "r", ">"} <= set(unicode_lookup)


# ---------------------------------------------------------------------------
# Pre-tokenisation
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "corpus, clusters",
    [
        (b"<|im_start|>hi<|im_end|>", ["^", "h", "i"]),
        (b"\xff", ["\ufffd"]),
        # A cut sequence and a stray continuation byte: one U+FFFD each.
        (b"a\xd8 \xa8", ["a", "\ufffd", " "]),
        ((BEH + SHADDA_FATHA + BEH + SHADDA_FATHA + BEH).encode(), [BEH + SHADDA_FATHA, BEH]),
        (b"a\r\nb\n\r", ["a", "\r\n", "b", "\n", "\r"]),
        # "oov" is three clusters and never meets the reserved key.
        (b"oov", ["o", "v"]),
    ],
)
def test_clusters_take_ids_in_order_of_first_occurrence(tmp_path, corpus, clusters):
    result = train_text(tmp_path, corpus)
    assert result.panic is None
    lookup, merges, unicode_lookup = result.model()
    expected = {"oov": 0, **{text: i + 1 for i, text in enumerate(clusters)}}
    assert unicode_lookup == expected
    assert lookup == {i: text.encode() for text, i in expected.items() if i} | {0: b""}
    assert merges == {}


# ---------------------------------------------------------------------------
# Failures
# ---------------------------------------------------------------------------


def _dir(path):
    path.mkdir()


def _full(path):
    """Makes at `path` a device that fails every write with ENOSPC, like the
    system's "full" device, so that no test writes to a real device."""
    try:
        os.mknod(path, 0o600 | stat.S_IFCHR, os.makedev(1, 7))
    except OSError as error:
        pytest.skip(f"cannot make a device node here: {error}")


FAILURES = {
    "missing train file": (
        lambda d: None,
        ["missing.txt", False, "train.log"],
        "Train File Not Existed: " + NOT_FOUND,
    ),
    "NUL in train file": (
        lambda d: None,
        ["corpus\0.txt", False, "train.log"],
        "Train File Not Existed: " + NUL,
    ),
    "train file is a directory": (
        lambda d: _dir(d / "corpus"),
        ["corpus", False, "train.log"],
        "To Work: " + IS_DIR,
    ),
    "logs file cannot be created": (
        lambda d: None,
        ["corpus.txt", False, "missing/train.log"],
        "To Work: " + NOT_FOUND,
    ),
    "Started line cannot be written": (
        lambda d: _full(d / "full"),
        ["corpus.txt", True, "full"],
        "Logs File throws an error To Work: " + NO_SPACE,
    ),
    "log.txt cannot be opened": (
        lambda d: _dir(d / "log.txt"),
        ["corpus.txt", True, "train.log"],
        "To Work: " + IS_DIR,
    ),
    "merge line cannot be logged": (
        lambda d: (_full(d / "full"), (d / "log.txt").symlink_to("full")),
        ["corpus.txt", True, "train.log"],
        "To Work: " + NO_SPACE,
    ),
    "separator cannot be written": (
        lambda d: _full(d / "full"),
        ["corpus.txt", False, "full"],
        "To Work: " + NO_SPACE,
    ),
    "tokenizer cannot be replaced": (
        lambda d: _dir(d / "tokenizer"),
        ["corpus.txt", False, "train.log"],
        "Should work: " + IS_DIR,
    ),
}


@pytest.mark.parametrize("case", FAILURES, ids=list(FAILURES))
def test_failures_carry_their_prefix(tmp_path, case):
    setup, call, message = FAILURES[case]
    (tmp_path / "corpus.txt").write_text("ab" * 10)
    setup(tmp_path)
    result = run(tmp_path, [call])
    assert result.panic == message


def test_missing_train_file_fails_after_the_logs_file(tmp_path):
    (tmp_path / "train.log").write_bytes(b"stale")
    result = run(tmp_path, [["missing.txt", False, "train.log"]])
    assert result.panic.startswith("Train File Not Existed: ")
    assert result.stdout == b""
    assert result.file("train.log") == b""


def test_failed_merge_log_comes_before_the_console_line(tmp_path):
    _full(tmp_path / "full")
    (tmp_path / "log.txt").symlink_to("full")
    result = train_text(tmp_path, "ab" * 10, True)
    assert result.panic == "To Work: " + NO_SPACE
    assert result.stdout == START + CHUNK
    assert not (tmp_path / "tokenizer").exists()


def test_failed_separator_comes_after_the_save(tmp_path):
    (tmp_path / "corpus.txt").write_text("ab" * 10)
    _full(tmp_path / "full")
    result = run(tmp_path, [["corpus.txt", False, "full"]])
    assert result.panic == "To Work: " + NO_SPACE
    assert result.stdout == START + CHUNK + merge_line(3, 1, 2, 10, 0) + SAVED
    assert result.model()[1] == {(1, 2): 3}


def test_failed_save_keeps_the_previous_model_loadable(tmp_path):
    before = train_text(tmp_path, "ab" * 10)
    good = before.file("tokenizer")
    # A bigger corpus makes a bigger model than the file size limit allows;
    # the separator (85 bytes) still fits.
    (tmp_path / "bigger.txt").write_text("".join(chr(0x0621 + i) for i in range(40)) * 10)
    result = run(
        tmp_path,
        [["bigger.txt", False, "train.log"]],
        model="tokenizer",
        fsize_limit=len(good) + 50,
    )
    assert result.panic == "Should work: " + TOO_LARGE
    assert result.file("tokenizer") == good
    assert result.file("train.log") == b""
    # No temporary file is left behind.
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "bigger.txt",
        "corpus.txt",
        "empty.model",
        "tokenizer",
        "train.log",
    ]
    again = run(tmp_path, [["corpus.txt", False, "train.log"]], model="tokenizer")
    assert again.panic is None


# ---------------------------------------------------------------------------
# Continuing training, and determinism
# ---------------------------------------------------------------------------


def test_training_a_loaded_model_continues_from_it(tmp_path):
    first = train_text(tmp_path, "ab" * 10)
    saved = first.file("tokenizer")
    (tmp_path / "more.txt").write_text("ab" * 10 + "cd" * 10)
    again = run(tmp_path, [["more.txt", False, "train.log"]], model="tokenizer")
    assert again.panic is None
    # The known pair is a no-news iteration; new clusters follow the old ids.
    assert again.stdout == (
        START + CHUNK + b"No News Loop count is 3\n" + merge_line(6, 4, 5, 10, 1) + SAVED
    )
    lookup, merges, unicode_lookup = again.model()
    assert merges == {(1, 2): 3, (4, 5): 6}
    assert unicode_lookup == {"oov": 0, "a": 1, "b": 2, "c": 4, "d": 5}
    assert saved != again.file("tokenizer")


def test_reserved_entries_are_written_again(tmp_path):
    write_model(tmp_path / "odd.model", {0: b"junk", 1: b"a"}, {}, {"oov": 7, "a": 1})
    result = train_text(tmp_path, "b", model="odd.model")
    lookup, _, unicode_lookup = result.model()
    assert lookup == {0: b"", 1: b"a", 2: b"b"}
    assert unicode_lookup == {"oov": 0, "a": 1, "b": 2}


def test_id_space_exhausted_fails_without_overwriting(tmp_path):
    lookup = {i: b"x" for i in range(65536)}
    write_model(tmp_path / "full.model", lookup, {}, {"oov": 0, "a": 1})
    result = train_text(tmp_path, "ab", model="full.model")
    assert result.panic == (
        "All 65,536 token ids are in use: the model has no id left for a new token"
    )
    assert not (tmp_path / "tokenizer").exists()


def test_same_corpus_and_model_give_byte_identical_files(tmp_path):
    text = (SAMPLE / "tashkeela-msa-excerpt.txt").read_bytes()
    corpus = text[: text.index(b"\n", 150_000) + 1]
    images = []
    for name in ("one", "two"):
        work = tmp_path / name
        work.mkdir()
        result = train_text(work, corpus)
        assert result.panic is None
        images.append(result.file("tokenizer"))
    assert images[0] == images[1]
    assert len(read_model(images[0])[1]) == 700
