"""Encoding a whole corpus into shards with every core of one machine.

Every call into the extension holds the interpreter lock from start to end,
so threads cannot encode in parallel: the work runs in worker processes. Each
worker loads the model once from its bytes, then takes shards one at a time
from a shared counter, reads its own byte range of the input and writes its
own shard files. Only the model bytes, shard numbers and counts cross between
processes.
"""

from __future__ import annotations

import multiprocessing
import os
import queue
import signal
from collections.abc import Sequence
from typing import Any

from ._progress import byte_bar
from .errors import SelvaneError
from .model import Model
from .shards import (
    DEFAULT_SHARD_BYTES,
    ShardResult,
    ShardSet,
    ShardTask,
    encode_shard,
    plan_shards,
    prepare_out_dir,
    read_shards,
    remove_temporaries,
    write_meta,
)

# A worker that exits without reporting (killed, out of memory, crashed in
# the extension) is noticed within this many seconds.
_POLL = 0.1


def default_workers() -> int:
    """The number of cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _start_method() -> str:
    """fork when this process has a single thread: the quickest start, and
    it needs no `if __name__ == "__main__"` guard in the caller's script.
    With more threads (a Dask client, a progress bar, a thread pool) a fork
    could copy a lock that another thread holds, so the workers come from a
    fresh fork server instead."""
    try:
        with open("/proc/self/stat", "rb") as f:
            threads = int(f.read().rsplit(b")", 1)[1].split()[17])
    except (OSError, ValueError, IndexError):
        return "forkserver"
    return "fork" if threads == 1 else "forkserver"


def _worker(
    model_bytes: bytes,
    tasks: list[ShardTask],
    out_dir: str,
    next_task: Any,
    done_bytes: Any,
    results: Any,
) -> None:
    # The parent stops workers with SIGTERM, which must end the process at
    # once even inside a long encode call; Ctrl-C at the terminal reaches the
    # whole process group, but only the parent decides what happens.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)

    def progress(count: int) -> None:
        with done_bytes.get_lock():
            done_bytes.value += count

    try:
        model = Model.from_bytes(model_bytes)
        while True:
            with next_task.get_lock():
                index = next_task.value
                next_task.value += 1
            if index >= len(tasks):
                break
            results.put(("done", encode_shard(model, tasks[index], out_dir, progress)))
    except SelvaneError as error:
        results.put(("error", str(error)))
    except BaseException as error:  # PanicException derives from BaseException
        results.put(("error", f"{type(error).__name__}: {error}"))
    results.put(("exit", None))


class _Progress:
    """The byte bar of a local run: drawn only when asked, or by default
    when standard error is a terminal; fed the workers' shared byte count."""

    def __init__(self, total: int, enabled: bool | None) -> None:
        self._bar = byte_bar(total, "encode", enabled)

    def update_to(self, count: int) -> None:
        if self._bar is not None and count != self._bar.n:
            self._bar.update(count - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def run_tasks(
    model: Model,
    tasks: Sequence[ShardTask],
    out_dir: str,
    workers: int,
    progress: bool | None = None,
) -> list[ShardResult]:
    """Encodes `tasks` in `workers` processes; returns their results.

    On any failure or interruption (KeyboardInterrupt, or an exception
    raised by a signal handler) every worker is killed at once, temporary
    files are removed, and the exception is raised again.
    """
    tasks = list(tasks)
    count = max(1, min(workers, len(tasks)))
    context: Any = multiprocessing.get_context(_start_method())
    next_task = context.Value("q", 0)
    done_bytes = context.Value("q", 0)
    results = context.Queue()
    procs = [
        context.Process(
            target=_worker,
            args=(model.model_bytes, tasks, out_dir, next_task, done_bytes, results),
            daemon=True,
        )
        for _ in range(count)
    ]
    bar = _Progress(sum(t.end - t.start for t in tasks), progress)
    finished: list[ShardResult] = []
    try:
        for proc in procs:
            proc.start()
        running = count
        while running:
            try:
                kind, value = results.get(timeout=_POLL)
            except queue.Empty:
                bar.update_to(done_bytes.value)
                if any(p.exitcode not in (None, 0) for p in procs):
                    dead = next(p for p in procs if p.exitcode not in (None, 0))
                    raise SelvaneError(f"a worker stopped with exit status {dead.exitcode}") from None
                continue
            if kind == "done":
                finished.append(value)
            elif kind == "error":
                raise SelvaneError(value)
            else:
                running -= 1
            bar.update_to(done_bytes.value)
    except BaseException:
        started = [proc for proc in procs if proc.pid is not None]
        for proc in started:
            if proc.is_alive():
                proc.kill()
        for proc in started:
            proc.join()
        remove_temporaries(out_dir)
        raise
    finally:
        bar.close()
    for proc in procs:
        proc.join()
    return finished


def encode_corpus(
    model: Model | str | os.PathLike[str],
    inputs: Sequence[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    *,
    unit: str = "line",
    workers: int | None = None,
    shard_bytes: int = DEFAULT_SHARD_BYTES,
    overwrite: bool = False,
    progress: bool | None = None,
) -> ShardSet:
    """Encodes `inputs` into memory-mappable shards in `out_dir`.

    `unit` is "line", "paragraph", "file" or "jsonl:FIELD"; `workers`
    defaults to every core. The files written do not depend on `workers`.
    `meta.json` is written last: a directory without it is not a finished
    output. Returns the output opened with `read_shards`.

    >>> shards = encode_corpus("tokenizer", ["a.txt"], "out", workers=2)  # doctest: +SKIP
    >>> len(shards), shards[0]                                            # doctest: +SKIP
    """
    if not isinstance(model, Model):
        model = Model(model)
    if workers is None:
        workers = default_workers()
    if workers < 1:
        raise SelvaneError(f"the number of workers must be at least 1, not {workers}")
    out_dir = os.fspath(out_dir)
    tasks = plan_shards(inputs, unit, shard_bytes)
    prepare_out_dir(out_dir, overwrite)
    results = run_tasks(model, tasks, out_dir, workers, progress)
    write_meta(out_dir, model.sha256, unit, tasks, results)
    return read_shards(out_dir)
