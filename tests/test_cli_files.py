"""What the `selvane` command does with the files it is given: never destroys
an input, never replaces what is not a regular file, keeps modes, never
blocks on a FIFO, and fails in one line that names the file."""

from __future__ import annotations

import os
import pathlib
import resource
import signal
import stat
import subprocess
import sys

import pytest

from conftest import SANITIZED
from selvane_tools import Model, SelvaneError, train

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "data" / "sample" / "tashkeela-msa-excerpt.txt"
SELVANE = pathlib.Path(sys.executable).parent / "selvane"
# Generous: a refusal takes a fraction of a second, a blocked open for ever.
TIMEOUT = 60


def cli(*args: object, cwd: pathlib.Path, preexec_fn=None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([str(SELVANE), *map(str, args)], cwd=cwd, capture_output=True,
                          timeout=TIMEOUT, stdin=subprocess.DEVNULL, preexec_fn=preexec_fn)


def one_line_error(done: subprocess.CompletedProcess[bytes], *expected: str) -> str:
    """The single error line of a command that failed with exit 1."""
    lines = done.stderr.decode().strip().splitlines()
    assert done.returncode == 1 and len(lines) == 1, (done.returncode, done.stderr)
    assert lines[0].startswith("selvane: error: "), lines
    for part in expected:
        assert part in lines[0], (part, lines[0])
    return lines[0]


def leftovers(directory: pathlib.Path) -> list[str]:
    return sorted(name for name in os.listdir(directory) if ".tmp-" in name)


@pytest.fixture(scope="module")
def trained(tmp_path_factory: pytest.TempPathFactory) -> bytes:
    path = tmp_path_factory.mktemp("model") / "sample.model"
    train([SAMPLE], path, progress=False)
    return path.read_bytes()


@pytest.fixture
def work(tmp_path: pathlib.Path, trained: bytes) -> pathlib.Path:
    """A directory with a corpus, a trained model, ids and a text."""
    (tmp_path / "a.txt").write_bytes(SAMPLE.read_bytes()[:20_000])
    (tmp_path / "b.txt").write_bytes(SAMPLE.read_bytes()[20_000:40_000])
    (tmp_path / "m.model").write_bytes(trained)
    (tmp_path / "ids.txt").write_bytes(b"1 2 3\n")
    (tmp_path / "in.txt").write_bytes("بسم الله\n".encode())
    return tmp_path


def snapshot(directory: pathlib.Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in directory.iterdir() if p.is_file()}


def test_an_output_or_log_that_is_an_input_is_refused_and_the_input_kept(work: pathlib.Path) -> None:
    (work / "a-link.txt").symlink_to("a.txt")
    os.link(work / "b.txt", work / "b-hard.txt")
    before = snapshot(work)
    cases = [
        (["train", "a.txt", "-o", "m2", "--log", "a.txt"], "a.txt is the same file as the input a.txt"),
        (["train", "a.txt", "--init", "m.model", "-o", "m2", "--log", "m.model"], "m.model is the same file"),
        (["train", "a.txt", "-o", "a.txt"], "a.txt is the same file as the input a.txt"),
        (["train", "a.txt", "b.txt", "-o", "b-hard.txt"], "b-hard.txt is the same file as the input b.txt"),
        (["train", "a.txt", "-o", "a-link.txt"], "is the same file as the input a.txt"),
        (["decode", "-m", "m.model", "ids.txt", "-o", "m.model"], "m.model is the same file"),
        (["decode", "-m", "m.model", "ids.txt", "-o", "ids.txt"], "ids.txt is the same file"),
        (["encode", "-m", "m.model", "in.txt", "-o", "in.txt"], "in.txt is the same file"),
        (["encode", "-m", "m.model", "in.txt", "-o", "m.model"], "m.model is the same file"),
    ]
    for args, expected in cases:
        one_line_error(cli(*args, cwd=work), expected, "refused before")
        assert snapshot(work) == before, args
    # The API refuses a log that is the corpus, rather than empty it and
    # report success.
    with pytest.raises(SelvaneError, match="is the same file as the input"):
        train([work / "a.txt"], work / "m3", log=work / "a.txt", progress=False)
    assert snapshot(work) == before
    # Continuing a model in place stays allowed: `--init` is read first.
    done = cli("train", "a.txt", "--init", "m.model", "-o", "m.model", "-q", cwd=work)
    assert done.returncode == 0, done.stderr
    assert Model(work / "m.model").num_merges >= Model.from_bytes(before["m.model"]).num_merges


def test_outputs_keep_their_mode_and_links_stay_links(work: pathlib.Path) -> None:
    for name in ("out.model", "out.ids", "empty.model", "real.model"):
        (work / name).write_bytes(b"old")
        os.chmod(work / name, 0o600)
    (work / "link.model").symlink_to("real.model")
    (work / "trained-link.model").symlink_to("out.model")
    (work / "ids-link").symlink_to("out.ids")
    runs = [
        ["train", "a.txt", "-o", "trained-link.model", "-q"],
        ["encode", "-m", "m.model", "in.txt", "-o", "ids-link"],
        ["init", "empty.model", "-f"],
        ["init", "link.model", "-f"],
    ]
    for args in runs:
        done = cli(*args, cwd=work)
        assert done.returncode == 0, (args, done.stderr)
    for name in ("out.model", "out.ids", "empty.model", "real.model"):
        assert stat.S_IMODE((work / name).stat().st_mode) == 0o600, name
        assert (work / name).read_bytes() != b"old", name
    for link in ("link.model", "trained-link.model", "ids-link"):
        assert (work / link).is_symlink(), link
    assert (work / "real.model").read_bytes() == bytes(24)
    assert leftovers(work) == []


def test_fifo_and_device_outputs_are_never_replaced(work: pathlib.Path) -> None:
    os.mkfifo(work / "fifo")
    one_line_error(cli("init", "fifo", "-f", cwd=work), "fifo", "nobody reads")
    one_line_error(cli("train", "a.txt", "-o", "fifo", cwd=work), "fifo is not a regular file")
    assert stat.S_ISFIFO(os.lstat(work / "fifo").st_mode)
    # A reader that is there gets the output through the FIFO itself.
    reader = os.open(work / "fifo", os.O_RDONLY | os.O_NONBLOCK)
    try:
        done = cli("encode", "-m", "m.model", "in.txt", "-o", "fifo", cwd=work)
        assert done.returncode == 0, done.stderr
        assert os.read(reader, 1 << 16).endswith(b"\n")
    finally:
        os.close(reader)
    assert stat.S_ISFIFO(os.lstat(work / "fifo").st_mode)
    try:
        os.mknod(work / "null", 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    except OSError as error:
        pytest.skip(f"cannot make a device node here: {error}")
    # As root, this replaced the device with a file.
    assert cli("init", "null", "-f", cwd=work).returncode == 0
    assert cli("encode", "-m", "m.model", "in.txt", "-o", "null", cwd=work).returncode == 0
    assert stat.S_ISCHR(os.lstat(work / "null").st_mode)
    assert leftovers(work) == []


def test_fifo_and_device_inputs_are_refused_without_blocking(work: pathlib.Path) -> None:
    os.mkfifo(work / "fifo")
    cases = [
        (["train", "fifo", "-o", "out.model"], "corpus fifo is not a regular file (a FIFO)"),
        (["train", "a.txt", "--init", "fifo", "-o", "out.model"], "model fifo is not a regular file"),
        (["encode", "-m", "fifo", "in.txt"], "model fifo is not a regular file"),
        (["info", "fifo"], "model fifo is not a regular file"),
        (["encode", "-m", "m.model", "fifo"], "input fifo is not a regular file"),
        (["decode", "-m", "m.model", "fifo"], "input fifo is not a regular file"),
    ]
    for args, expected in cases:
        one_line_error(cli(*args, cwd=work), expected)
    assert not (work / "out.model").exists()
    try:
        os.mknod(work / "zero", 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    except OSError:
        return
    one_line_error(cli("info", "zero", cwd=work), "model zero is not a regular file (a character device)")


def test_loading_a_model_stops_where_it_ends(work: pathlib.Path) -> None:
    # A model followed by 8 GiB of (sparse) zeros, read under a 1 GiB address
    # space limit (where the build allows one): reading the whole file cannot
    # even start. Loading writes
    # no copy of the model anywhere either, so a file size limit smaller than
    # the model does not matter.
    big = work / "big.model"
    big.write_bytes((work / "m.model").read_bytes())
    assert big.stat().st_size > 4096
    os.truncate(big, 8 << 30)

    def limit() -> None:
        if not SANITIZED:
            resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

    done = cli("info", "big.model", cwd=work, preexec_fn=limit)
    assert done.returncode == 0, done.stderr
    assert Model(big).model_bytes == (work / "m.model").read_bytes()


def test_a_write_that_fails_names_the_output_and_leaves_nothing(work: pathlib.Path) -> None:
    # A file size limit makes the write fail as a full disk would.
    (work / "long.txt").write_bytes(SAMPLE.read_bytes())

    def limit() -> None:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16))

    done = cli("encode", "-m", "m.model", "long.txt", "-o", "out.ids", cwd=work, preexec_fn=limit)
    one_line_error(done, "cannot write out.ids: File too large")
    assert not (work / "out.ids").exists() and leftovers(work) == []


def test_decoding_an_impossible_id_is_a_selvane_error(trained: bytes) -> None:
    model = Model.from_bytes(trained)
    for ids in ([-1], [1 << 16], [1, 70_000]):
        with pytest.raises(SelvaneError, match=r"^id -?\d+ is not in the model$"):
            model.decode(ids)
