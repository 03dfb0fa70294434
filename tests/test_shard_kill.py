"""Kill campaigns on the shard encoders: `selvane encode --format bin -j 2`
and the Dask encoder on a LocalCluster of processes, stopped by SIGKILL,
SIGINT or SIGTERM at a random moment, round after round.

After every round: the input is intact, a meta.json exists only for a
complete output, no worker is left running, and the next run (with
--overwrite) leaves no temporary and writes the reference output. Rounds per
campaign: SELVANE_KILL_ROUNDS (default 5; run 40 or more by hand).
"""

from __future__ import annotations

import hashlib
import os
import pathlib
import random
import signal
import subprocess
import sys
import time

import pytest

from corpus_support import SAMPLE, train_sample_model
from selvane_tools import encode_corpus, read_shards

ROUNDS = int(os.environ.get("SELVANE_KILL_ROUNDS", "5"))
SIGNALS = (signal.SIGKILL, signal.SIGINT, signal.SIGTERM)
PATIENCE = 60


@pytest.fixture(scope="module")
def setup(tmp_path_factory):
    work = tmp_path_factory.mktemp("kill")
    model = train_sample_model(work)
    corpus = work / "corpus.txt"
    corpus.write_bytes(SAMPLE.read_bytes() * 24)
    reference = work / "reference"
    encode_corpus(model, [corpus], reference, workers=1, shard_bytes=1 << 20)
    return model, corpus, reference


def files_of(directory: pathlib.Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir())}


def descendants(root: int) -> set[int]:
    """The live descendants of `root`, from /proc."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                fields = pathlib.Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if fields[0] != "Z":
                children.setdefault(int(fields[1]), []).append(int(entry))
    found: set[int] = set()
    todo = [root]
    while todo:
        for child in children.get(todo.pop(), []):
            found.add(child)
            todo.append(child)
    return found


def alive(pid: int) -> bool:
    try:
        return pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def default_sigint() -> None:
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def campaign(command, setup, tmp_path, started, one_line_errors=True) -> dict[str, int]:
    """Runs ROUNDS rounds of `command(out)`, each stopped after a random
    delay once `started(out)` holds; returns the count of each outcome.
    With `one_line_errors`, a stopped run may say why but never with a
    traceback (a script of the caller's may)."""
    model, corpus, reference = setup
    digest = hashlib.sha256(corpus.read_bytes()).hexdigest()
    expected = files_of(reference)
    rng = random.Random(int(os.environ.get("SELVANE_KILL_SEED", "20")))
    outcomes: dict[str, int] = {}
    for number in range(ROUNDS):
        out = tmp_path / f"out{number}"
        how = SIGNALS[number % len(SIGNALS)]
        proc = subprocess.Popen(command(out, overwrite=False), stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, start_new_session=True, preexec_fn=default_sigint)
        try:
            deadline = time.monotonic() + PATIENCE
            while not started(out) and proc.poll() is None:
                assert time.monotonic() < deadline, "the run never started"
                time.sleep(0.01)
            time.sleep(rng.uniform(0, 1.0))
            family = descendants(proc.pid)
            if how == signal.SIGINT:
                os.killpg(proc.pid, how)  # as Ctrl-C at a terminal
            else:
                os.kill(proc.pid, how)
            status = proc.wait(timeout=PATIENCE)
            stderr = proc.stderr.read().decode() if proc.stderr else ""
            deadline = time.monotonic() + PATIENCE
            while any(alive(pid) for pid in family):
                assert time.monotonic() < deadline, f"round {number}: processes left: {[p for p in family if alive(p)]}"
                time.sleep(0.05)
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
            if proc.stderr:
                proc.stderr.close()
        assert not one_line_errors or "Traceback" not in stderr, stderr
        assert hashlib.sha256(corpus.read_bytes()).hexdigest() == digest
        finished = (out / "meta.json").exists()
        if finished:
            # A meta.json is only ever the mark of a complete output.
            assert files_of(out) == expected
        outcome = f"{how.name} {'finished' if finished else 'stopped'} exit {status}"
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
        again = subprocess.run(command(out, overwrite=True), capture_output=True, text=True, timeout=PATIENCE * 3)
        assert again.returncode == 0, again.stderr
        assert files_of(out) == expected
    return outcomes


def test_kill_campaign_on_encode_bin(setup, tmp_path):
    model, corpus, _ = setup

    def command(out, overwrite):
        return [sys.executable, "-m", "selvane_tools.cli", "encode", "-m", str(model), str(corpus), "--format",
                "bin", "-o", str(out), "-j", "2", "--shard-size", "1M", "-q"] + (["--overwrite"] if overwrite else [])

    outcomes = campaign(command, setup, tmp_path, lambda out: out.exists())
    print(f"\nencode --format bin -j 2, {ROUNDS} rounds: {outcomes}")


DASK_SCRIPT = """
import sys
import distributed
from selvane_tools.dask import encode_corpus
model, corpus, out, overwrite = sys.argv[1:5]
if __name__ == "__main__":
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  worker_dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        encode_corpus(model, [corpus], out, client=client, shard_bytes=1 << 20, overwrite=overwrite == "1")
"""


def test_kill_campaign_on_dask(setup, tmp_path):
    pytest.importorskip("distributed")
    model, corpus, _ = setup
    script = tmp_path / "dask_encode.py"
    script.write_text(DASK_SCRIPT)

    def command(out, overwrite):
        return [sys.executable, str(script), str(model), str(corpus), str(out), "1" if overwrite else "0"]

    # Started once the cluster is up and the directory claimed.
    outcomes = campaign(command, setup, tmp_path, lambda out: out.exists(), one_line_errors=False)
    print(f"\nDask LocalCluster, {ROUNDS} rounds: {outcomes}")
