"""Encoding a whole corpus into shards: the one driver, and the local pool.

`run_corpus` is every executor's road: plan the shards, claim and prepare the
output directory, let the executor encode every shard, write meta.json, open
the output. `encode_corpus` drives it with worker processes on this machine;
`selvane_tools.dask` with a Dask cluster.

Every call into the extension holds the interpreter lock from start to end,
so threads cannot encode in parallel: the work runs in worker processes,
fresh interpreters that import only the companion (never the caller's
script) and die with their parent. Each loads the model once from its bytes,
then takes shard numbers one at a time from the parent, reads its own byte
range of the input and writes its own shard files. Only the model bytes,
shard numbers and counts cross between processes.
"""

from __future__ import annotations

import json
import os
import pickle
import selectors
import signal
import subprocess
import sys
from collections.abc import Callable, Sequence
from typing import Any

from ._progress import byte_bar
from .errors import SelvaneError, UnknownClustersError
from .model import Model
from .rules import check_rule, default_threads
from .shards import (
    DEFAULT_SHARD_BYTES,
    ShardResult,
    ShardSet,
    ShardTask,
    claim_output,
    plan_shards,
    read_shards,
    remove_shard_temporaries,
    write_meta,
)
from .units import Unit, parse_unit

#: An executor: encodes every task into the directory and returns the
#: results; `progress` as for `encode_corpus`.
Executor = Callable[[Model, list[ShardTask], str, "bool | None"], list[ShardResult]]


def run_corpus(
    execute: Executor,
    model: Model | str | os.PathLike[str],
    inputs: Sequence[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    *,
    unit: Unit | str = "line",
    rule: str = "frequency",
    shard_bytes: int = DEFAULT_SHARD_BYTES,
    overwrite: bool = False,
    progress: bool | None = None,
    eos: str | None = None,
    strict: bool = False,
) -> ShardSet:
    """The driver of every executor: plans the shards of `inputs`, holds
    and prepares `out_dir` (`claim_output`), runs `execute`, writes
    meta.json and returns the output opened with `read_shards`.

    `eos` is the text of a special token of the model, whose id ends every
    unit. With `strict`, units that held clusters the model does not know
    are an `UnknownClustersError` raised before meta.json is written, so
    the output is not a finished one.

    When `execute` fails or is interrupted, the executor has stopped its
    workers; the driver then removes their temporaries and writes no
    meta.json.
    """
    if not isinstance(model, Model):
        model = Model(model)
    unit = unit if isinstance(unit, Unit) else parse_unit(unit)
    out_dir = os.fspath(out_dir)
    rule = check_rule(rule)
    eos_id = None if eos is None else eos_token_id(model, eos)
    tasks = plan_shards(inputs, unit, shard_bytes, rule, eos_id)
    with claim_output(out_dir, overwrite):
        try:
            # Workers on other machines find the directory by this path.
            results = execute(model, tasks, os.path.abspath(out_dir), progress)
        except BaseException:
            remove_shard_temporaries(out_dir, [task.name for task in tasks])
            raise
        unknown = sum(result.unknown_clusters for result in results)
        if strict and unknown:
            raise UnknownClustersError(unknown, sum(result.units_with_unknown for result in results))
        write_meta(out_dir, model.sha256, unit, tasks, results, rule)
    return read_shards(out_dir)


def eos_token_id(model: Model, token: str) -> int:
    """The id of the special token `token` of `model`, to end units with;
    a `SelvaneError` naming the model's special tokens when it is not one."""
    specials = model.special_tokens
    if isinstance(token, str) and token in specials:
        return specials[token]
    known = ", ".join(map(repr, specials)) if specials else "none (selvane init --special or add-special adds them)"
    raise SelvaneError(f"the end-of-unit token {token!r} is not a special token of the model; its special tokens: "
                       f"{known}"[:400])


def encode_corpus(
    model: Model | str | os.PathLike[str],
    inputs: Sequence[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    *,
    unit: Unit | str = "line",
    rule: str = "frequency",
    workers: int | None = None,
    shard_bytes: int = DEFAULT_SHARD_BYTES,
    overwrite: bool = False,
    progress: bool | None = None,
    eos: str | None = None,
    strict: bool = False,
) -> ShardSet:
    """Encodes `inputs` into memory-mappable shards in `out_dir`.

    `unit` is "line", "paragraph", "file" or "jsonl:FIELD"; `rule` is
    "frequency" or "rank" (recorded in meta.json); `workers` defaults to
    every core. The files written do not depend on `workers`. `eos`, the
    text of a special token of the model, puts its id after every unit
    (meta.json's "eos_id", `ShardSet.eos_id`). meta.json records the
    clusters the model did not know ("unknown_clusters") and the units that
    held them ("units_with_unknown"); with `strict`, any is an
    `UnknownClustersError` and no meta.json is written.
    `meta.json` is written last: a directory without it is not a finished
    output. Returns the output opened with `read_shards`. Safe to call at the
    top of a script: the workers never run the script.

    >>> shards = encode_corpus("tokenizer", ["a.txt"], "out", workers=2)  # doctest: +SKIP
    >>> len(shards), shards[0]                                            # doctest: +SKIP
    """
    if workers is None:
        workers = default_threads()
    if workers < 1:
        raise SelvaneError(f"the number of workers must be at least 1, not {workers}")

    def execute(model: Model, tasks: list[ShardTask], out_dir: str, progress: bool | None) -> list[ShardResult]:
        return _WorkerPool(model, tasks, out_dir, workers).run(progress)

    return run_corpus(execute, model, inputs, out_dir, unit=unit, rule=rule, shard_bytes=shard_bytes,
                      overwrite=overwrite, progress=progress, eos=eos, strict=strict)


class _Worker:
    """One worker process and what the parent knows of it."""

    def __init__(self, command: list[str], env: dict[str, str], payload: bytes) -> None:
        # A process group of its own: Ctrl-C at the terminal reaches only the
        # parent, which kills the workers; one arriving while a worker still
        # starts up would otherwise print its traceback.
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
                                     close_fds=True, process_group=0)
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.stdin = self.proc.stdin
        self.fd = self.proc.stdout.fileno()
        self.pending = b""
        self.busy = False
        self._send(payload)

    def give(self, index: int | None) -> None:
        """Sends shard `index`, or the end of the work when None."""
        if index is None:
            self._send(None)
            return
        self.busy = True
        self._send(b"%d\n" % index)

    def _send(self, data: bytes | None) -> None:
        try:
            if data is None:
                self.stdin.close()
            else:
                self.stdin.write(data)
                self.stdin.flush()
        except BrokenPipeError:
            pass  # the worker is gone: its end of output says how it ended

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            if stream is not None:
                try:
                    stream.close()
                except OSError:
                    pass  # a pipe whose reader died: nothing left to say


class _WorkerPool:
    """Worker processes fed shard numbers one at a time by the parent."""

    def __init__(self, model: Model, tasks: list[ShardTask], out_dir: str, workers: int) -> None:
        self.tasks = tasks
        self.count = max(1, min(workers, len(tasks)))
        self.payload = pickle.dumps((model.model_bytes, tasks, out_dir))

    def _command(self) -> tuple[list[str], dict[str, str]]:
        # -P: no current directory on the path, so a file of the caller's
        # named like a module of ours is not imported; the package's own
        # location comes first instead.
        here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH", "")) if p)
        return [sys.executable, "-P", "-m", "selvane_tools._shard_worker", str(os.getpid())], env

    def run(self, progress: bool | None) -> list[ShardResult]:
        """Encodes every task; on any failure or interruption every worker is
        killed at once before the exception goes on."""
        command, env = self._command()
        bar = byte_bar(sum(t.end - t.start for t in self.tasks), "encode", progress)
        workers: list[_Worker] = []
        results: list[ShardResult] = []
        try:
            with selectors.DefaultSelector() as selector:
                for _ in range(self.count):
                    worker = _Worker(command, env, self.payload)
                    workers.append(worker)
                    selector.register(worker.fd, selectors.EVENT_READ, worker)
                following = iter(range(len(self.tasks)))
                for worker in workers:
                    worker.give(next(following, None))
                running = len(workers)
                while running:
                    for key, _ in selector.select():
                        worker = key.data
                        chunk = os.read(worker.fd, 1 << 16)
                        if not chunk:
                            selector.unregister(worker.fd)
                            running -= 1
                            status = worker.proc.wait()
                            if worker.busy or status != 0:
                                raise SelvaneError(f"a worker stopped with exit status {status}")
                            continue
                        worker.pending += chunk
                        *lines, worker.pending = worker.pending.split(b"\n")
                        for line in lines:
                            kind, *value = json.loads(line)
                            if kind == "progress":
                                if bar is not None:
                                    bar.update(value[0])
                            elif kind == "done":
                                results.append(ShardResult(*value))
                                worker.busy = False
                                worker.give(next(following, None))
                            else:
                                raise SelvaneError(value[0])
        except BaseException:
            for worker in workers:
                worker.kill()
            raise
        finally:
            if bar is not None:
                bar.close()
        for worker in workers:
            worker.kill()
        return results
