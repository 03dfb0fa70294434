"""`selvane train` stopped at random moments by SIGKILL, SIGINT and SIGTERM.

After every round the inputs are intact, the output is absent or the model
of a completed chunk, and no training process is left; after the next run,
no temporary is left either. SELVANE_KILL_ROUNDS sets the number of rounds
(default 40) and SELVANE_KILL_SEED the seed, for a longer campaign by hand.
"""

from __future__ import annotations

import hashlib
import os
import pathlib
import random
import re
import signal
import subprocess
import sys
import time

from test_cli_train import SAMPLE, multi_chunk_corpus

from selvane_tools import TrainProgress, train

SELVANE = pathlib.Path(sys.executable).parent / "selvane"
ROUNDS = int(os.environ.get("SELVANE_KILL_ROUNDS", "40"))
SEED = int(os.environ.get("SELVANE_KILL_SEED", str(time.time_ns() % 1_000_000)))
# Generous limits for a loaded machine: each is met in well under a second.
EXIT_TIMEOUT = 60
GONE_TIMEOUT = 30


def digest(path: pathlib.Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def processes_naming(text: str) -> list[int]:
    """Processes whose command line contains `text` (the training child's
    names its working directory)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    found.append(int(entry))
        except OSError:
            continue
    return found


def wait_until_gone(text: str) -> None:
    deadline = time.monotonic() + GONE_TIMEOUT
    while processes_naming(text):
        assert time.monotonic() < deadline, f"a training process outlived its parent: {processes_naming(text)}"
        time.sleep(0.01)


def temporaries(*directories: pathlib.Path) -> list[str]:
    """Names of the file layer's temporaries (the training's working
    directories among them) in `directories`."""
    return sorted(name for directory in directories for name in os.listdir(directory) if ".tmp-" in name)


def test_kill_campaign_on_selvane_train(tmp_path: pathlib.Path) -> None:
    work = tmp_path / "work"
    scratch = tmp_path / "tmpdir"
    work.mkdir()
    scratch.mkdir()
    corpus = multi_chunk_corpus(work / "corpus.txt", 3)
    init = work / "init.model"
    train([SAMPLE], init, progress=False)
    inputs = {path: digest(path) for path in (corpus, init)}

    # Every model the output may hold: the saves of an undisturbed run.
    saves: set[bytes] = set()
    reference = tmp_path / "reference.model"

    def keep(state: TrainProgress) -> None:
        if state.chunks_done:
            saves.add(reference.read_bytes())

    began = time.monotonic()
    train([corpus], reference, init=init, progress=keep)
    seconds = time.monotonic() - began
    final = reference.read_bytes()
    assert final in saves and len(saves) >= 3

    rng = random.Random(SEED)
    environment = {**os.environ, "TMPDIR": str(scratch)}
    output = work / "out.model"
    counts = {signal.SIGKILL: 0, signal.SIGINT: 0, signal.SIGTERM: 0}
    left_by_kills = 0
    for round_ in range(ROUNDS):
        signum = rng.choice(list(counts))
        counts[signum] += 1
        child = subprocess.Popen(
            [str(SELVANE), "train", str(corpus), "--init", str(init), "-o", str(output), "--log", "train.log", "-q"],
            cwd=work, env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        time.sleep(rng.uniform(0.0, seconds * 1.5))
        child.send_signal(signum)
        _, stderr = child.communicate(timeout=EXIT_TIMEOUT)
        context = f"seed {SEED}, round {round_}, signal {signum!r}, status {child.returncode}: {stderr.decode()}"
        expected = {signal.SIGKILL: -9, signal.SIGINT: 130, signal.SIGTERM: 143}[signum]
        # Before the command sets up its handlers, a signal ends the
        # interpreter as it would any process (or, for SIGINT, fails one of
        # its start-up steps, such as init_import_site or init_sys_streams);
        # nothing is written yet then.
        started = re.search(rb"Fatal Python error: init_\w+", stderr) is None
        assert child.returncode in (expected, 0, -signum) or (signum == signal.SIGINT and not started), context
        wait_until_gone(str(scratch))
        assert {path: digest(path) for path in inputs} == inputs, context
        assert not output.exists() or output.read_bytes() in saves, context
        if child.returncode == -9:
            left_by_kills += len([name for name in temporaries(work, scratch) if f".tmp-{child.pid}-" in name])
        if child.returncode in (0, 130, 143):
            # A run that could clean up after itself did (a run stopped before
            # it began may leave those of killed rounds to the next one).
            own = f".tmp-{child.pid}-"
            assert [name for name in temporaries(work, scratch) if own in name] == [], context
            if child.returncode:
                assert len(stderr.decode().strip().splitlines()) == 1, context

    # The next run removes what the killed ones left.
    done = subprocess.run([str(SELVANE), "train", str(corpus), "--init", str(init), "-o", str(output),
                           "--log", "train.log", "-q"], cwd=work, env=environment, capture_output=True,
                          timeout=EXIT_TIMEOUT)
    assert done.returncode == 0, done.stderr
    assert output.read_bytes() == final
    assert temporaries(work) == [] and os.listdir(scratch) == []
    # Most kills land while the run works, so the clean-up above had
    # something to do.
    assert counts[signal.SIGKILL] < 5 or left_by_kills, "no SIGKILL landed while training ran"
    print(f"{ROUNDS} rounds, seed {SEED}: {counts[signal.SIGKILL]} SIGKILL, {counts[signal.SIGINT]} SIGINT, "
          f"{counts[signal.SIGTERM]} SIGTERM; {left_by_kills} temporaries of killed runs removed by later runs")
