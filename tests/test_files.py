"""The companion's file layer: what an output may replace, what an input may
be, and that nothing is left behind."""

from __future__ import annotations

import os
import pathlib
import stat
import subprocess
import sys
import time

import pytest

from selvane_tools import SelvaneError
from selvane_tools._files import (
    atomic_output,
    check_input,
    open_input,
    remove_stale_temporaries,
    temporary_name,
    write_atomically,
)


def leftovers(directory: pathlib.Path) -> list[str]:
    return sorted(name for name in os.listdir(directory) if ".tmp-" in name)


def make_char_device(path: pathlib.Path) -> None:
    """A character device of its own (the null device's number), or a skip
    where nodes cannot be made."""
    try:
        os.mknod(path, 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    except (PermissionError, OSError) as error:
        pytest.skip(f"cannot make a device node here: {error}")


def test_output_that_is_an_input_is_refused_before_anything_is_created(tmp_path: pathlib.Path) -> None:
    corpus = tmp_path / "corpus.txt"
    corpus.write_bytes(b"text")
    link = tmp_path / "link"
    link.symlink_to(corpus)
    hard = tmp_path / "hard"
    os.link(corpus, hard)
    for output in (corpus, link, hard):
        with pytest.raises(SelvaneError, match=rf"^{output} is the same file as the input {corpus}; refused before training$"):
            write_atomically(output, b"model", inputs=[corpus], action="training")
    assert corpus.read_bytes() == b"text"
    assert leftovers(tmp_path) == []


def test_a_link_stays_a_link_and_modes_and_group_are_kept(tmp_path: pathlib.Path) -> None:
    target = tmp_path / "real.model"
    target.write_bytes(b"old")
    os.chmod(target, 0o640)
    link = tmp_path / "link.model"
    link.symlink_to("real.model")
    write_atomically(link, b"new")
    assert link.is_symlink() and os.readlink(link) == "real.model"
    assert target.read_bytes() == b"new"
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    # A new file gets the mode of any new file: 0o666 less the umask.
    mask = os.umask(0o027)
    try:
        write_atomically(tmp_path / "fresh", b"x")
    finally:
        os.umask(mask)
    assert stat.S_IMODE((tmp_path / "fresh").stat().st_mode) == 0o640
    assert leftovers(tmp_path) == []


def test_no_overwrite_refuses_an_existing_target(tmp_path: pathlib.Path) -> None:
    target = tmp_path / "m"
    target.write_bytes(b"keep")
    with pytest.raises(SelvaneError, match=rf"^{target} exists already; not overwriting it$"):
        write_atomically(target, b"new", overwrite=False)
    assert target.read_bytes() == b"keep"
    write_atomically(tmp_path / "n", b"new", overwrite=False)
    assert (tmp_path / "n").read_bytes() == b"new"
    assert leftovers(tmp_path) == []


def test_a_fifo_output_is_written_in_place_never_replaced(tmp_path: pathlib.Path) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    # Nobody reads: refused at once rather than waited for.
    with pytest.raises(SelvaneError, match=rf"^cannot write {fifo}: it is a FIFO that nobody reads$"):
        write_atomically(fifo, b"x")
    reader_fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        # The pipe holds the few bytes until they are read.
        write_atomically(fifo, b"model bytes")
        assert os.read(reader_fd, 100) == b"model bytes"
    finally:
        os.close(reader_fd)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert leftovers(tmp_path) == []


def test_a_device_output_is_written_in_place_and_a_directory_refused(tmp_path: pathlib.Path) -> None:
    (tmp_path / "dir").mkdir()
    with pytest.raises(SelvaneError, match=rf"^cannot write {tmp_path / 'dir'}: it is a directory$"):
        write_atomically(tmp_path / "dir", b"x")
    device = tmp_path / "null"
    make_char_device(device)
    write_atomically(device, b"into the void")
    assert stat.S_ISCHR(os.lstat(device).st_mode)
    assert leftovers(tmp_path) == []


def test_the_temporary_goes_on_every_failure(tmp_path: pathlib.Path) -> None:
    target = tmp_path / "out"
    target.write_bytes(b"old")
    with pytest.raises(KeyboardInterrupt):
        with atomic_output(target) as sink:
            sink.write(b"half")
            raise KeyboardInterrupt
    # A failure of the block concerns something else (an input) and passes
    # unchanged; a failed write names the output.
    with pytest.raises(OSError, match="Input/output error"):
        with atomic_output(target) as sink:
            raise OSError(5, "Input/output error")
    assert target.read_bytes() == b"old"
    assert leftovers(tmp_path) == []
    done = subprocess.run([sys.executable, "-c", FULL_DISK, str(target)], capture_output=True, text=True)
    assert done.stdout == f"cannot write {target}: File too large\n", done.stderr
    assert target.read_bytes() == b"old"
    assert leftovers(tmp_path) == []


# A file size limit makes writes fail as a full disk would.
FULL_DISK = """
import resource, signal, sys
from selvane_tools import SelvaneError
from selvane_tools._files import write_atomically
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16))
try:
    write_atomically(sys.argv[1], bytes(1 << 21))
except SelvaneError as error:
    print(error)
"""


def test_stale_temporaries_of_dead_writers_are_removed(tmp_path: pathlib.Path) -> None:
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True, check=True)
    dead_pid = int(dead.stdout)
    stale = tmp_path / f".out.tmp-{dead_pid}-{'0' * 12}"
    stale.write_bytes(b"")
    stale_dir = tmp_path / f".selvane-train.tmp-{dead_pid}-{'1' * 12}"
    stale_dir.mkdir()
    (stale_dir / "tokenizer").write_bytes(b"")
    live = tmp_path / temporary_name("out")
    live.write_bytes(b"")
    foreign = tmp_path / ".out.tmp-notours"
    foreign.write_bytes(b"")
    others = tmp_path / f".out.tmp-{dead_pid}-{'2' * 12}"
    others.write_bytes(b"")
    if os.geteuid() == 0:
        os.chown(others, 65534, 65534)  # another user's, in a shared directory
    else:
        others.unlink()
    assert remove_stale_temporaries(tmp_path, "other") == []
    removed = remove_stale_temporaries(tmp_path)
    assert sorted(removed) == sorted([str(stale), str(stale_dir)])
    assert live.exists() and foreign.exists()


def test_inputs_must_be_regular_files_and_are_never_opened_otherwise(tmp_path: pathlib.Path) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    # Opening a FIFO with no writer would block for ever: the check comes first.
    with pytest.raises(SelvaneError, match=rf"^corpus {fifo} is not a regular file \(a FIFO\)$"):
        open_input(fifo, "corpus")
    with pytest.raises(SelvaneError, match=rf"^input not found: {tmp_path / 'none'}$"):
        check_input(tmp_path / "none")
    with pytest.raises(SelvaneError, match=rf"^input {tmp_path} is a directory$"):
        check_input(tmp_path)
    device = tmp_path / "zero"
    make_char_device(device)
    with pytest.raises(SelvaneError, match=r"is not a regular file \(a character device\)$"):
        open_input(device)
    regular = tmp_path / "text"
    regular.write_bytes(b"abc")
    with open_input(regular) as source:
        assert source.read() == b"abc"
        assert os.get_blocking(source.fileno())


PARENT = """
import os, subprocess, sys
child = subprocess.Popen([sys.executable, "-c", sys.argv[1], str(os.getpid())], stdout=subprocess.PIPE)
print(child.pid, child.stdout.readline().decode().strip(), flush=True)
child.wait()
"""
CHILD = """
import sys, time
from selvane_tools._files import die_with_parent
die_with_parent(int(sys.argv[1]))
print("ready", flush=True)
time.sleep(3600)
"""


def test_a_child_dies_with_its_parent() -> None:
    parent = subprocess.Popen([sys.executable, "-c", PARENT, CHILD], stdout=subprocess.PIPE, text=True)
    assert parent.stdout is not None
    pid, state = parent.stdout.readline().split()
    assert state == "ready"
    parent.kill()
    parent.wait()
    deadline = time.monotonic() + 30
    while os.path.exists(f"/proc/{pid}") and "Z" not in _state(int(pid)):
        assert time.monotonic() < deadline, "the child outlived its parent"
        time.sleep(0.01)
    # A parent already gone when the child asks ends the child at once.
    done = subprocess.run([sys.executable, "-c", "from selvane_tools._files import die_with_parent; "
                           "die_with_parent(1 << 22); print('alive')"], capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (1, "")


def _state(pid: int) -> str:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return "Z"


DEFERRED = """
import os, signal
from selvane_tools._lifetime import stop_signals_deferred
# A suite started in the background (`cmd &`) passes on an ignored SIGINT,
# which Python keeps: the block must meet the interrupt it defers.
signal.signal(signal.SIGINT, signal.default_int_handler)
with stop_signals_deferred():
    os.kill(os.getpid(), signal.SIGINT)
    for _ in range(1000):
        pass  # the interpreter checks for signals here: none may be raised
    print("block finished", flush=True)
print("not reached", flush=True)
"""


def test_a_stop_signal_waits_for_the_end_of_a_clean_up() -> None:
    done = subprocess.run([sys.executable, "-c", DEFERRED], capture_output=True, text=True, timeout=60)
    assert done.stdout == "block finished\n", done.stdout
    # An uncaught KeyboardInterrupt ends the interpreter by SIGINT itself.
    assert "KeyboardInterrupt" in done.stderr and done.returncode == -2
