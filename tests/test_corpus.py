"""encode_corpus and `selvane encode --format bin` with worker processes:
the same files for any number of workers, failures, and interruption."""

from __future__ import annotations

import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

import selvane
from corpus_support import SAMPLE, train_sample_model
from selvane_tools import Model, SelvaneError, encode_corpus, read_shards
from selvane_tools.units import iter_units, parse_unit



@pytest.fixture(scope="module")
def model_path(tmp_path_factory):
    return train_sample_model(tmp_path_factory.mktemp("model"))


def files_of(directory: pathlib.Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir())}


def cli(*args: str, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "selvane_tools.cli", *args],
                          capture_output=True, text=True, **kwargs)


def test_same_files_for_one_two_and_three_workers(model_path, tmp_path):
    edge = tmp_path / "edge.txt"
    edge.write_bytes(b"\r\n" + "كتب ".encode() * 20_000 + b"\n\xff\n\nlast")
    inputs = [SAMPLE, edge, SAMPLE]
    outputs = []
    for workers in (1, 2, 3):
        out = tmp_path / f"out{workers}"
        shards = encode_corpus(Model(model_path), inputs, out, workers=workers, shard_bytes=150_000)
        outputs.append(files_of(out))
    assert outputs[0] == outputs[1] == outputs[2]
    assert len([n for n in outputs[0] if n.endswith(".bin")]) == 7 + 1 + 7
    model = selvane.load_from_file(str(model_path))
    lines = [text for path in inputs for text in iter_units(open(path, "rb"), parse_unit("line"))]
    assert [list(ids) for ids in shards] == [model.encode(line) for line in lines]


def test_command_line_writes_what_the_api_writes(model_path, tmp_path):
    api = tmp_path / "api"
    encode_corpus(model_path, [SAMPLE], api, unit="paragraph", workers=1, shard_bytes=300_000)
    out = tmp_path / "cli"
    done = cli("encode", "-m", str(model_path), str(SAMPLE), "--unit", "paragraph",
               "--format", "bin", "-o", str(out), "-j", "2", "--shard-size", "300000")
    assert done.returncode == 0, done.stderr
    assert files_of(out) == files_of(api)
    assert "units" in done.stderr
    again = cli("encode", "-m", str(model_path), str(SAMPLE), "--format", "bin", "-o", str(out))
    assert again.returncode == 1 and again.stderr.count("\n") == 1 and "--overwrite" in again.stderr
    again = cli("encode", "-m", str(model_path), str(SAMPLE), "--format", "bin", "-o", str(out),
                "--overwrite", "-q")
    assert again.returncode == 0 and again.stderr == ""
    assert read_shards(out).unit == "line"


def test_worker_failure_is_one_error_and_no_meta(model_path, tmp_path):
    good = tmp_path / "good.jsonl"
    good.write_text('{"text": "كتب"}\n' * 5000)
    bad = tmp_path / "bad.jsonl"
    bad.write_text('{"text": "كتب"}\n' * 3000 + '{"txt": "x"}\n')
    out = tmp_path / "out"
    with pytest.raises(SelvaneError, match=f"^{bad}:3001: no field 'text'"):
        encode_corpus(model_path, [good, bad], out, unit="jsonl:text", workers=2, shard_bytes=10_000)
    assert not (out / "meta.json").exists()
    assert not [n for n in os.listdir(out) if ".tmp-" in n]
    done = cli("encode", "-m", str(model_path), str(bad), "--unit", "jsonl:text", "--format", "bin",
               "-o", str(tmp_path / "cli"))
    assert done.returncode == 1 and done.stderr.strip().endswith("no field 'text'")


def test_a_killed_worker_fails_the_run(model_path, tmp_path):
    # A worker that dies without reporting (out of memory, a crash) must not
    # leave the parent waiting for it.
    big = tmp_path / "big.txt"
    big.write_bytes(SAMPLE.read_bytes() * 20)
    out = tmp_path / "out"
    proc = start_api_run(model_path, big, out)
    try:
        workers = wait_for_workers(proc, out)
        os.kill(workers[0], signal.SIGKILL)
        _, stderr = proc.communicate(timeout=20)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
    assert "SelvaneError: a worker stopped with exit status -9" in stderr
    assert not (out / "meta.json").exists()
    assert not [n for n in os.listdir(out) if ".tmp-" in n]


def start_api_run(model_path, big, out) -> subprocess.Popen:
    return subprocess.Popen(
        [sys.executable, "-c",
         f"from selvane_tools import encode_corpus\n"
         f"encode_corpus({str(model_path)!r}, [{str(big)!r}], {str(out)!r}, workers=2,"
         f" shard_bytes=4_000_000)"],
        stderr=subprocess.PIPE, text=True, start_new_session=True, preexec_fn=default_sigint)


def default_sigint() -> None:
    """A suite started in the background (`cmd &`) inherits an ignored
    SIGINT, which Python then leaves ignored: give the child the default."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def wait_for_workers(proc: subprocess.Popen, out: pathlib.Path) -> list[int]:
    """The pids of the workers, once both are writing their first shard:
    a shard's temporary name ends in its writer's pid."""
    deadline = time.monotonic() + 30
    while True:
        names = os.listdir(out) if out.exists() else []
        workers = sorted({int(n.split(".tmp-")[1].split("-")[0]) for n in names if ".bin.tmp-" in n})
        if len(workers) == 2:
            return workers
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.02)


@pytest.mark.parametrize("how", ["api-sigint", "cli-sigint", "cli-sigterm"])
def test_interrupt_stops_every_worker_and_writes_no_meta(model_path, tmp_path, how):
    big = tmp_path / "big.txt"
    big.write_bytes(SAMPLE.read_bytes() * 40)  # 40 MB: several seconds of work
    out = tmp_path / "out"
    if how == "api-sigint":
        proc = start_api_run(model_path, big, out)
    else:
        proc = subprocess.Popen(
            [sys.executable, "-m", "selvane_tools.cli", "encode", "-m", str(model_path), str(big),
             "--format", "bin", "-o", str(out), "-j", "2", "--shard-size", "4M"],
            stderr=subprocess.PIPE, text=True, start_new_session=True, preexec_fn=default_sigint)
    try:
        workers = wait_for_workers(proc, out)
        # Ctrl-C at a terminal reaches the whole process group.
        os.killpg(proc.pid, signal.SIGINT if "sigint" in how else signal.SIGTERM)
        status = proc.wait(timeout=60)
        _, stderr = proc.communicate()
        # The workers are killed, not left to finish: they end long before
        # the minutes of work left (a generous bound for a loaded machine).
        deadline = time.monotonic() + 30
        while any(alive(pid) for pid in workers):
            assert time.monotonic() < deadline, "workers still running"
            time.sleep(0.01)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
    if how == "cli-sigint":
        assert status == 130 and stderr.strip().endswith("interrupted")
    elif how == "cli-sigterm":
        assert status == 143
    assert not (out / "meta.json").exists()
    assert not [n for n in os.listdir(out) if ".tmp-" in n]


def alive(pid: int) -> bool:
    try:
        state = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError:
        return False
    return state != "Z"
