"""Data safety and interruptibility: no argument mix-up destroys a file, the
save keeps what the user set on "tokenizer", Ctrl-C ends a training or a
blocked load, loading stops where the model ends, and a closed standard
stream never lets console lines into a data file. Anything involving signals
or descriptors runs in a fresh interpreter."""

from __future__ import annotations

import os
import pathlib
import random
import signal
import stat
import subprocess
import sys
import time

import pytest

import selvane
from conftest import EMPTY_MODEL, PanicException, SANITIZED, run_python
SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "data/sample/tashkeela-msa-excerpt.txt"
CHUNK = 3_067_833
TRAIN_FILES = {"start.model", "corpus.txt", "train.log", "tokenizer"}


def corpus_chunks() -> list[bytes]:
    """Two chunks that train quickly and leave two different models: a whole
    chunk of two repeated letters (it collapses within a few merges) and a
    tail of real Arabic text."""
    return [(b"ab" * CHUNK)[:CHUNK], SAMPLE.read_bytes()[:60_000]]


TRAIN = """
import selvane
model = selvane.load_from_file("start.model")
model.train("corpus.txt", False, "train.log")
"""


def train_in(work: pathlib.Path, corpus: bytes) -> bytes:
    (work / "start.model").write_bytes(EMPTY_MODEL)
    (work / "corpus.txt").write_bytes(corpus)
    subprocess.run([sys.executable, "-c", TRAIN], cwd=work, check=True,
                   stdout=subprocess.DEVNULL, timeout=120)
    return (work / "tokenizer").read_bytes()


def per_chunk_saves(tmp_path) -> tuple[list[bytes], list[float]]:
    """The model file after each chunk of the corpus, from trainings on its
    prefixes (chunks are independent), and the seconds of each of those
    runs: the last is the whole run."""
    chunks = corpus_chunks()
    saves, seconds = [], []
    for count in range(1, len(chunks) + 1):
        work = tmp_path / f"prefix-{count}"
        work.mkdir()
        began = time.monotonic()
        saves.append(train_in(work, b"".join(chunks[:count])))
        seconds.append(time.monotonic() - began)
    assert len(set(saves)) == len(saves)
    return saves, seconds


# ---------------------------------------------------------------------------
# No self-destruction
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("link", ["same name", "hard link", "symlink"])
def test_logs_file_that_is_the_corpus_or_the_model_is_refused(tmp_path, link):
    corpus = SAMPLE.read_bytes()[:5000]
    (tmp_path / "corpus.txt").write_bytes(corpus)
    (tmp_path / "tokenizer").write_bytes(EMPTY_MODEL)
    model = selvane.load_from_file(str(tmp_path / "tokenizer"))
    for target, what in (("corpus.txt", "train_file"),
                         ("tokenizer", 'the model file "tokenizer"')):
        logs = tmp_path / target
        if link == "hard link":
            logs = tmp_path / "logs"
            os.link(tmp_path / target, logs)
        elif link == "symlink":
            logs = tmp_path / "logs"
            logs.symlink_to(target)
        old = os.getcwd()
        os.chdir(tmp_path)
        try:
            with pytest.raises(PanicException) as error:
                model.train("corpus.txt", False, str(logs))
        finally:
            os.chdir(old)
        assert str(error.value) == (
            f"To Work: logs_file is the same file as {what}; refused before truncating it")
        if link != "same name":
            logs.unlink()
        assert (tmp_path / "corpus.txt").read_bytes() == corpus
        assert (tmp_path / "tokenizer").read_bytes() == EMPTY_MODEL
        assert not (tmp_path / "log.txt").exists()


def test_a_missing_corpus_no_longer_truncates_the_model_first(tmp_path):
    (tmp_path / "tokenizer").write_bytes(EMPTY_MODEL)
    result = run_python("import selvane\n"
                        "m = selvane.load_from_file('tokenizer')\n"
                        "m.train('typo.txt', False, 'tokenizer')\n", cwd=tmp_path)
    assert "same file as the model file" in result.stderr
    assert (tmp_path / "tokenizer").read_bytes() == EMPTY_MODEL


# ---------------------------------------------------------------------------
# The save keeps what the user set
# ---------------------------------------------------------------------------

SAVE = """
import os, selvane
os.umask(0o027)
model = selvane.load_from_file("start.model")
model.train("corpus.txt", False, "train.log")
"""


def test_save_replaces_a_symlinks_target_and_keeps_mode_and_owner(tmp_path):
    (tmp_path / "start.model").write_bytes(EMPTY_MODEL)
    (tmp_path / "corpus.txt").write_bytes(SAMPLE.read_bytes()[:20_000])
    models = tmp_path / "models"
    models.mkdir()
    (models / "mine").write_bytes(b"old")
    (models / "mine").chmod(0o600)
    if os.geteuid() == 0:
        os.chown(models / "mine", 4321, 8765)
    (tmp_path / "tokenizer").symlink_to("models/mine")
    result = run_python(SAVE, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "tokenizer").is_symlink()
    info = os.stat(models / "mine")
    assert stat.S_IMODE(info.st_mode) == 0o600
    if os.geteuid() == 0:
        assert (info.st_uid, info.st_gid) == (4321, 8765)
    selvane.load_from_file(str(models / "mine"))
    assert sorted(os.listdir(models)) == ["mine"]
    # A new file gets 0o666 less the umask, as an in-place creation would.
    (tmp_path / "tokenizer").unlink()
    assert run_python(SAVE, cwd=tmp_path).returncode == 0
    assert stat.S_IMODE(os.stat(tmp_path / "tokenizer").st_mode) == 0o640
    assert set(os.listdir(tmp_path)) == TRAIN_FILES | {"models"}


NOT_WRITABLE = """
import os, selvane
if os.geteuid() == 0:
    os.setgid(65534)
    os.setuid(65534)
model = selvane.load_from_file("start.model")
try:
    model.train("corpus.txt", False, "train.log")
except BaseException as error:
    print(error)
"""


def test_save_over_a_file_without_write_permission_is_refused(tmp_path):
    tmp_path.chmod(0o777)
    (tmp_path / "start.model").write_bytes(EMPTY_MODEL)
    (tmp_path / "corpus.txt").write_bytes(b"ab" * 20)
    (tmp_path / "tokenizer").write_bytes(b"keep me")
    (tmp_path / "tokenizer").chmod(0o444)
    result = run_python(NOT_WRITABLE, cwd=tmp_path)
    assert result.stdout.splitlines()[-1] == (
        'Should work: Os { code: 13, kind: PermissionDenied, message: "Permission denied" }'
    ), result.stderr
    assert (tmp_path / "tokenizer").read_bytes() == b"keep me"
    assert not [name for name in os.listdir(tmp_path) if ".tmp-" in name]


# ---------------------------------------------------------------------------
# SIGKILL and SIGINT during a multi-chunk training
# ---------------------------------------------------------------------------


def test_killed_training_leaves_one_of_the_saves_and_no_temporary_file(tmp_path):
    saves, seconds = per_chunk_saves(tmp_path)
    # Two runs at a time, each in its own directory, killed at independent
    # random moments of the whole run.
    lanes = [tmp_path / "kills-a", tmp_path / "kills-b"]
    for work in lanes:
        work.mkdir()
        (work / "start.model").write_bytes(EMPTY_MODEL)
        (work / "corpus.txt").write_bytes(b"".join(corpus_chunks()))
    # The length of a run with both lanes busy, from one that runs to the end.
    began = time.monotonic()
    for process in [subprocess.Popen([sys.executable, "-c", TRAIN], cwd=work,
                                     stdout=subprocess.DEVNULL) for work in lanes]:
        assert process.wait() == 0
    duration = time.monotonic() - began
    for work in lanes:
        assert (work / "tokenizer").read_bytes() == saves[-1]
        (work / "tokenizer").unlink()
    # Half of the rounds kill at moments drawn over the whole run. In a
    # sanitized build the collapsing first chunk takes nearly all of it, so
    # such moments mostly fall before the first save, and on a loaded machine
    # a run's length varies too much from one to the next to aim at a share
    # of it. So the other rounds wait until the run has saved once and kill at
    # a moment drawn over the rest of it.
    rest = duration * max(1.1 - seconds[0] / seconds[-1], 0.1)
    rng = random.Random(13)
    seen = set()
    killed: dict[str, set[int]] = {str(work): set() for work in lanes}
    for round_number in range((30 if SANITIZED else 100) // len(lanes)):
        after_a_save = bool(round_number % 2)
        for work in lanes:
            (work / "tokenizer").unlink(missing_ok=True)
        began = time.monotonic()
        # Each run: when its clock starts, the delay after it, its directory.
        runs = [[None if after_a_save else began,
                 rng.uniform(0.0, rest if after_a_save else duration * 1.1), str(work),
                 subprocess.Popen([sys.executable, "-c", TRAIN], cwd=work,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
                for work in lanes]
        waiting = list(runs)
        while waiting:
            now = time.monotonic()
            for run in list(waiting):
                start, delay, work, process = run
                if start is None and (os.path.exists(os.path.join(work, "tokenizer"))
                                      or process.poll() is not None):
                    run[0] = start = now
                if start is not None and now >= start + delay:
                    process.send_signal(signal.SIGKILL)
                    process.wait()
                    waiting.remove(run)
            time.sleep(0.001)
        for _, _, work, process in runs:
            killed[work].add(process.pid)
            # A kill between the link and the rename of a save can leave its
            # name (the moment is microseconds long); the next save removes
            # it, but a run killed before its first save leaves it in place.
            left = set(os.listdir(work)) - TRAIN_FILES
            assert all(name.startswith("tokenizer.tmp-")
                       and int(name.split("-")[1]) in killed[work]
                       for name in left), left
            if os.path.exists(os.path.join(work, "tokenizer")):
                with open(os.path.join(work, "tokenizer"), "rb") as model:
                    image = model.read()
                assert image in saves
                seen.add(saves.index(image))
    # The kills landed at different moments of the run, not all before it.
    assert seen
    for work in lanes:
        subprocess.run([sys.executable, "-c", TRAIN], cwd=work, check=True,
                       stdout=subprocess.DEVNULL, timeout=120)
        assert set(os.listdir(work)) == TRAIN_FILES


# A shell starts background jobs with SIGINT ignored, and Python keeps that;
# the children below need Ctrl-C's usual KeyboardInterrupt whatever started
# the test run.
INTERRUPTED = """
import os, signal, sys, time, selvane
signal.signal(signal.SIGINT, signal.default_int_handler)
model = selvane.load_from_file("start.model")
open_fds = len(os.listdir("/proc/self/fd"))
print("READY", flush=True)
try:
    try:
        model.train("corpus.txt", False, "train.log")
        outcome = ("FINISHED",)
    finally:
        # The one signal may come after training has ended: it must not cut
        # the checks below short.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
except KeyboardInterrupt:
    outcome = ("INTERRUPTED", time.monotonic())
print(*outcome, flush=True)
# The borrow is free and no file stayed open.
assert len(os.listdir("/proc/self/fd")) == open_fds
assert model.vocab() == selvane.load_from_file("tokenizer").vocab()
print("CHECKED", flush=True)
"""


def save_index(path: pathlib.Path, saves: list[bytes]) -> int:
    """Which of `saves` the file at `path` holds; -1 before the first.
    Saves are renamed into place, so a read sees a whole one."""
    try:
        return saves.index(path.read_bytes())
    except FileNotFoundError:
        return -1


def test_ctrl_c_ends_training_within_a_chunk_with_the_last_save(tmp_path):
    saves, seconds = per_chunk_saves(tmp_path)
    work = tmp_path / "sigint"
    work.mkdir()
    (work / "start.model").write_bytes(EMPTY_MODEL)
    (work / "corpus.txt").write_bytes(b"".join(corpus_chunks()))
    rng = random.Random(2)
    for _ in range(5):
        (work / "tokenizer").unlink(missing_ok=True)
        process = subprocess.Popen([sys.executable, "-c", INTERRUPTED], cwd=work,
                                   stdout=subprocess.PIPE, text=True)
        assert process.stdout.readline() == "READY\n"
        time.sleep(rng.uniform(0.0, seconds[-1] * 0.8))
        process.send_signal(signal.SIGINT)
        # Read after the signal: any save seen here came at the latest from
        # the chunk under way when it arrived.
        at_signal = save_index(work / "tokenizer", saves)
        out, _ = process.communicate(timeout=120)
        assert out.endswith("CHECKED\n"), out
        if out.startswith("INTERRUPTED"):
            # Within a chunk: no save after that of the chunk under way.
            assert save_index(work / "tokenizer", saves) <= at_signal + 1


# ---------------------------------------------------------------------------
# Interrupted and endless sources
# ---------------------------------------------------------------------------

BLOCKED = """
import os, signal, sys, time, selvane
signal.signal(signal.SIGINT, signal.default_int_handler)
calls = []
signal.signal(signal.SIGUSR1, lambda *_: calls.append("usr1"))
print("READY", flush=True)
try:
    if sys.argv[1] == "load":
        model = selvane.load_from_file("fifo")
        print("LOADED", calls, len(model.vocab()))
    else:
        model = selvane.load_from_file("start.model")
        model.train("fifo", False, "train.log")
        print("TRAINED", calls)
except KeyboardInterrupt:
    print("INTERRUPTED", calls, time.monotonic())
"""


# Where the kernel parks a process that opens a FIFO until its partner comes.
FIFO_WAITS = {"fifo_open", "wait_for_partner"}


def wait_until_blocked_on_a_fifo(process: subprocess.Popen) -> None:
    """Waits until `process` sleeps in the open of a FIFO, so that a signal
    sent next meets it there."""
    deadline = time.monotonic() + 60
    while pathlib.Path(f"/proc/{process.pid}/wchan").read_text() not in FIFO_WAITS:
        assert process.poll() is None and time.monotonic() < deadline
        time.sleep(0.001)


def signal_pending(process: subprocess.Popen, signum: int) -> bool:
    """Whether `signum` waits to be delivered to `process`."""
    for line in pathlib.Path(f"/proc/{process.pid}/status").read_text().splitlines():
        if line.startswith(("SigPnd:", "ShdPnd:")) and int(line.split()[1], 16) & (1 << (signum - 1)):
            return True
    return False


def finish(process: subprocess.Popen) -> str:
    """The output of `process`, which must end within 20 s; a child left
    blocked is killed rather than left behind."""
    try:
        return process.communicate(timeout=20)[0]
    finally:
        process.kill()


@pytest.mark.parametrize("call", ["load", "train"])
def test_ctrl_c_ends_an_open_blocked_on_a_fifo(tmp_path, call):
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "start.model").write_bytes(EMPTY_MODEL)
    process = subprocess.Popen([sys.executable, "-c", BLOCKED, call], cwd=tmp_path,
                               stdout=subprocess.PIPE, text=True)
    assert process.stdout.readline() == "READY\n"
    wait_until_blocked_on_a_fifo(process)
    process.send_signal(signal.SIGINT)
    # Nobody ever opens the other end: only the signal can end the open.
    out = finish(process)
    assert out.startswith("INTERRUPTED [] "), out


def test_a_handler_that_does_not_raise_lets_the_open_go_on(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    process = subprocess.Popen([sys.executable, "-c", BLOCKED, "load"], cwd=tmp_path,
                               stdout=subprocess.PIPE, text=True)
    assert process.stdout.readline() == "READY\n"
    wait_until_blocked_on_a_fifo(process)
    process.send_signal(signal.SIGUSR1)
    deadline = time.monotonic() + 60
    while signal_pending(process, signal.SIGUSR1):
        assert time.monotonic() < deadline
        time.sleep(0.001)
    # Delivered: the handler ran and the open waits again.
    wait_until_blocked_on_a_fifo(process)
    with open(tmp_path / "fifo", "wb") as fifo:
        fifo.write(EMPTY_MODEL)
    assert finish(process) == "LOADED ['usr1'] 0\n"


ENDLESS = """
import sys, selvane
assert selvane.load_from_file("zero").vocab() == []
try:
    selvane.load_from_file("urandom")
except BaseException as error:
    print(error)
"""


def test_endless_sources_load_at_once(tmp_path):
    # Devices of their own, with the numbers of the endless ones.
    try:
        os.mknod(tmp_path / "zero", 0o600 | stat.S_IFCHR, os.makedev(1, 5))
        os.mknod(tmp_path / "urandom", 0o600 | stat.S_IFCHR, os.makedev(1, 9))
    except OSError as error:
        pytest.skip(f"cannot make a device node here: {error}")
    # A loader that read to the end would never return; the limit is only
    # there to turn that into a failure.
    done = subprocess.run([sys.executable, "-c", ENDLESS], cwd=tmp_path, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith('Should work: Custom("Invalid size '), done.stdout


ALLOCATION = """
import resource, selvane
resource.setrlimit(resource.RLIMIT_AS, (600 << 20, 600 << 20))
try:
    selvane.load_from_file("huge.model")
except MemoryError as error:
    print(error)
"""


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer needs more address space")
def test_a_failed_allocation_says_what_was_allocated(tmp_path):
    # One lookup token of 2^32 - 1 bytes, present as a sparse file: the
    # token's bytes are read, and grown into, until memory runs out.
    length = 2**32 - 1
    with open(tmp_path / "huge.model", "wb") as model:
        model.write((1).to_bytes(8, "little") + (7).to_bytes(2, "little")
                    + length.to_bytes(8, "little"))
        model.truncate(18 + length)
    result = run_python(ALLOCATION, cwd=tmp_path)
    assert result.stdout.startswith(
        "memory allocation failed while loading a model: the 4294967295 bytes "
        "of a lookup token (entry 1 of 1)"), result.stdout + result.stderr


# ---------------------------------------------------------------------------
# Closed standard streams
# ---------------------------------------------------------------------------

CLOSED = """
import os, selvane
model = selvane.load_from_file("start.model")
os.close(@FD@)
try:
    model.train(@TRAIN@, False, "train.log")
except BaseException as error:
    with open("report", "w") as report:
        report.write(str(error))
"""


@pytest.mark.parametrize("fd, train_file, message", [
    # The console line cannot be printed: the logs file did not take fd 1.
    (1, "corpus.txt", "failed printing to stdout: Os { code: 9,"),
    # The panic report goes nowhere rather than into the logs file.
    (2, "missing.txt", "Train File Not Existed: Os { code: 2,"),
])
def test_files_never_take_a_standard_streams_descriptor(tmp_path, fd, train_file, message):
    (tmp_path / "start.model").write_bytes(EMPTY_MODEL)
    (tmp_path / "corpus.txt").write_bytes(b"ab" * 20)
    code = CLOSED.replace("@FD@", str(fd)).replace("@TRAIN@", repr(train_file))
    run_python(code, cwd=tmp_path)
    assert (tmp_path / "report").read_text().startswith(message)
    assert (tmp_path / "train.log").read_bytes() == b""
