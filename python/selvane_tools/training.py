"""Training through the extension in a child process.

`Data.train` writes "tokenizer" and "log.txt" into the current directory,
prints every merge on file descriptor 1 and holds the interpreter lock until
the whole corpus is done, so Ctrl-C waits for it. Running it in a child whose
working directory is private keeps the caller's directory and standard output
clean, lets the parent read the console lines through a pipe for progress,
and lets the parent stop the child at once. After each " Saved Successfully "
line the parent copies the child's "tokenizer" to the output atomically, so
the output always holds the model of a completed chunk.

The child makes the same `train` calls on the same files in the same order as
a direct use of the extension would, so the model is byte for byte the same.
"""

from __future__ import annotations

import os
import select
import signal
import stat
import sys
import time

import selvane

from ._files import (
    atomic_output,
    open_input,
    private_directory,
    refuse_same_as_inputs,
    remove_private_directory,
    remove_stale_temporaries,
    write_atomically,
)
from ._lifetime import stop_signals_deferred
from .errors import IdsExhaustedError, SelvaneError, Terminated
from .model import EMPTY_MODEL, Model, saved_counts

# The command's start-up time is training overhead: `typing`, `dataclasses`,
# `tempfile`, `json` and `subprocess` would cost more than the rest together,
# so none of them is imported when the module runs; the child is started with
# `os.posix_spawn` and read with `select.poll`.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable
    from typing import NoReturn, Protocol

    from ._progress import ProgressBar

    class _Writable(Protocol):
        def write(self, data: bytes, /) -> object: ...


__all__ = ["CHUNK_SIZE", "TrainProgress", "TrainSummary", "train"]

#: Bytes of one training chunk: the extension reads the corpus this many at a time.
CHUNK_SIZE = 3_067_833

_START = b"Just Started\n"
_SAVED = b" Saved Successfully \n"
_MERGE = b"Token "
_PANIC_MARK = "\nselvane-training-panic "
_EXHAUSTED = "All 65,536 token ids are in use"
# Seconds between reads of the child's output: short beside a chunk (a
# quarter of a second and more), long beside a console line.
_NAP = 0.005
_PIPE_SIZE = 1 << 20
# The working directories of runs are temporaries of this name in $TMPDIR.
_WORK_NAME = "selvane-train"

# Runs in the child, whose working directory is the private one, as
# `python -S -c CHILD EXTENSION_DIR COMPANION_DIR PARENT_PID WORK_DIR CORPUS...`:
# without the site module it starts faster, and it finds the extension and
# the companion where the parent found them. SIGINT is ignored because the
# parent decides when to stop. The child dies with the parent, even by
# SIGKILL, so a killed run leaves no training behind; its working directory
# is removed by the next run. A panic goes back as hex, which survives any
# text.
_CHILD = """
import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_IGN)
sys.path[:0] = [sys.argv[1], sys.argv[2]]
from selvane_tools._lifetime import die_with_parent
die_with_parent(int(sys.argv[3]))
os.chdir(sys.argv[4])
import selvane
model = selvane.load_from_file("init.model")
for corpus in sys.argv[5:]:
    try:
        model.train(corpus, False, "train.log")
    except BaseException as error:
        os.write(2, (%r + str(error).encode("utf-8", "replace").hex() + "\\n").encode())
        os._exit(3)
""" % _PANIC_MARK


class TrainProgress:
    """How far a training run has got; passed to a `progress` callback:
    `bytes_done` (corpus bytes of the completed chunks) of `bytes_total`,
    `chunks_done` of `chunks_total`, `merges` learned so far, `ids` in the
    model so far, `file_index` (the corpus file being trained on) of `files`."""

    __slots__ = ("bytes_done", "bytes_total", "chunks_done", "chunks_total", "merges", "ids",
                 "file_index", "files")

    def __init__(self, bytes_total: int, chunks_total: int, ids: int, files: list[str]) -> None:
        self.bytes_done = 0
        self.bytes_total = bytes_total
        self.chunks_done = 0
        self.chunks_total = chunks_total
        self.merges = 0
        self.ids = ids
        self.file_index = 0
        self.files = files


class TrainSummary:
    """The result of `train`: `chunks` trained and saved, `merges` learned by
    this run, `ids` in the saved model, corpus `bytes` trained on, wall
    `seconds`, and the `output` path."""

    __slots__ = ("chunks", "merges", "ids", "bytes", "seconds", "output")

    def __init__(self, chunks: int, merges: int, ids: int, bytes: int, seconds: float, output: str) -> None:
        self.chunks = chunks
        self.merges = merges
        self.ids = ids
        self.bytes = bytes
        self.seconds = seconds
        self.output = output

    def __repr__(self) -> str:
        fields = ", ".join(f"{name}={getattr(self, name)!r}" for name in self.__slots__)
        return f"TrainSummary({fields})"


def _corpus_files(corpora: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    if isinstance(corpora, (str, os.PathLike)):
        corpora = [corpora]
    files = [os.fsdecode(os.fspath(name)) for name in corpora]
    if not files:
        raise SelvaneError("no corpus file given")
    return files


def _corpus_sizes(files: list[str]) -> list[int]:
    """The size of every corpus file, each checked to be a readable regular
    file first: a pipe or device is read in short pieces, which would change
    where the chunks end and so the model, and the open of a FIFO would wait
    for a writer."""
    sizes = []
    for name in files:
        with open_input(name, "corpus") as corpus:
            sizes.append(os.fstat(corpus.fileno()).st_size)
    if not any(sizes):
        # Training on nothing saves nothing; say so rather than leave no output.
        raise SelvaneError(f"nothing to train on: the corpus {'is' if len(files) == 1 else 'files are'} empty")
    return sizes


def _check_outputs(target: str, log_path: str | None, corpora: list[str], inputs: list[str]) -> None:
    """Refuses, before anything is written, an output that is a corpus, a log
    that is one of the `inputs` (corpora and `init`) or the output, and an
    output that cannot take a model after every chunk."""
    # The output may be `init`: it is read whole before anything is written,
    # and continuing a model in place is what `--init M -o M` asks for.
    refuse_same_as_inputs(target, corpora, "training")
    if log_path is not None:
        refuse_same_as_inputs(log_path, [*inputs, target], "training")
        if os.path.realpath(log_path) == os.path.realpath(target):
            raise SelvaneError(f"the log {log_path} and the output {target} are one file; refused before training")
    try:
        status = os.stat(target)
    except FileNotFoundError:
        status = None
    except OSError as error:
        raise SelvaneError(f"cannot write output {target}: {error.strerror or error}") from None
    if status is not None and stat.S_ISDIR(status.st_mode):
        raise SelvaneError(f"output {target} is a directory")
    if status is not None and not stat.S_ISREG(status.st_mode):
        raise SelvaneError(f"output {target} is not a regular file; training replaces it after every chunk")
    if not os.path.isdir(os.path.dirname(os.path.realpath(target))):
        raise SelvaneError(f"the directory of output {target} does not exist")


def _reporter(progress: bool | Callable[[TrainProgress], None]) -> tuple[Callable[[TrainProgress], None] | None, ProgressBar | None]:
    """The callback for every completed chunk, and the bar it draws, if any."""
    if progress is True:
        from ._progress import ProgressBar

        bar = ProgressBar()
        return bar.update, bar
    if progress is False:
        return None, None
    return progress, None


class _Tee:
    """Writes the console lines to each of its sinks."""

    def __init__(self, sinks: list[_Writable]) -> None:
        self.sinks = sinks

    def write(self, data: bytes) -> None:
        for sink in self.sinks:
            sink.write(data)


def _kept(state: TrainProgress, target: str) -> str:
    """What the output holds after a run that did not finish."""
    if not state.chunks_done:
        return f"{target} was not written"
    return f"{target} holds the model of chunk {state.chunks_done}"


def _stop_note(state: TrainProgress, target: str) -> str:
    """How far a stopped run got and what the output holds, as the note that
    `train` adds to the exception that stopped it."""
    if not state.chunks_done:
        return f"before the first chunk was complete; {_kept(state, target)}"
    return (f"after {state.chunks_done} of {state.chunks_total} chunks "
            f"({state.bytes_done:,} of {state.bytes_total:,} bytes); {_kept(state, target)}")


class _Run:
    """The parent's side of one training run."""

    def __init__(self, work: str, output: str, sizes: list[int], progress: TrainProgress,
                 report: Callable[[TrainProgress], None] | None, log: _Writable | None,
                 max_ids: int | None = None) -> None:
        self.work = work
        self.max_ids = max_ids
        # Set once a committed model holds `max_ids` ids: the run is done.
        self.reached = False
        self.output = output
        self.sizes = sizes
        self.progress = progress
        self.report = report
        self.log = log
        self.committed: bytes | None = None
        self.committed_counts = (0, 0)
        self.file_chunks = 0
        self.calls = 0
        self.stderr_tail = bytearray()

    def commit(self) -> bool:
        """Copies the child's latest complete save to the output.

        The child renames each save over "tokenizer", so a read sees a whole
        model; the length walk still guards against a partial file (a kill
        during a save, or a build that writes in place): one that does not
        decode is skipped, the output keeps the previous chunk's model, and
        the next save brings a newer one. By the time a save's line is read,
        the child may have saved again; the output then gets that newer
        model, which is still one of a completed chunk.
        """
        try:
            with open(os.path.join(self.work, "tokenizer"), "rb") as saved:
                data = saved.read()
        except FileNotFoundError:
            return False
        counts = saved_counts(data)
        if counts is None or data == self.committed:
            return False
        written = data
        if self.max_ids is not None:
            # Every save is written cut, so whichever chunk the run ends
            # after, the output is the cut of the model training had then;
            # ids are handed out in sequence, so once a save holds max_ids
            # ids, its cut is the cut of every later one.
            from .model_file import cut_maps, read_maps, write_maps

            written = write_maps(cut_maps(read_maps(data), self.max_ids))
            self.reached = counts[0] >= self.max_ids
            counts = saved_counts(written) or counts
        # Not flushed to disk: the name only ever moves from one whole model
        # to the next, which is what an interruption needs; the end of the
        # run flushes the final model once.
        write_atomically(self.output, written, durable=False)
        self.committed = data
        self.committed_counts = counts
        self.progress.ids = counts[0]
        return True

    def on_line(self, line: bytes) -> None:
        progress = self.progress
        if line.startswith(_MERGE):
            progress.merges += 1
            number = line[len(_MERGE) : line.find(b" ", len(_MERGE))]
            if number.isdigit():
                progress.ids = max(progress.ids, int(number) + 1)
        elif line == _SAVED:
            self.file_chunks += 1
            progress.chunks_done += 1
            index = progress.file_index
            progress.bytes_done = sum(self.sizes[:index]) + min(self.sizes[index], self.file_chunks * CHUNK_SIZE)
            self.commit()
            if self.report is not None:
                self.report(progress)
        elif line == _START:
            # One start line per train call, that is per corpus file.
            self.calls += 1
            progress.file_index = self.calls - 1
            self.file_chunks = 0
        if self.log is not None:
            self.log.write(line)

    def pump(self, out: int, err: int, started: Callable[[], None]) -> None:
        """Reads the child's standard output and error until both close."""
        pending = b""
        poller = select.poll()
        poller.register(out, select.POLLIN)
        poller.register(err, select.POLLIN)
        open_streams = 2
        # The first report comes once the child is on its way.
        started()
        while open_streams and not self.reached:
            # The child writes one console line at a time. Waking for each
            # would cost both processes a switch per line (some 700 per
            # chunk); a short nap lets lines gather in the pipe, and its
            # wider buffer keeps the child from ever waiting on a full one.
            time.sleep(_NAP)
            for fd, _ in poller.poll():
                data = os.read(fd, 1 << 16)
                if not data:
                    poller.unregister(fd)
                    open_streams -= 1
                    continue
                if fd == err:
                    self.stderr_tail += data
                    del self.stderr_tail[:-65536]
                    continue
                pending += data
                lines = pending.split(b"\n")
                pending = lines.pop()
                for line in lines:
                    if self.reached:
                        break
                    self.on_line(line + b"\n")
        if pending and self.log is not None and not self.reached:
            self.log.write(pending)

    def panic_message(self) -> str | None:
        text = self.stderr_tail.decode("utf-8", "replace")
        at = text.rfind(_PANIC_MARK)
        if at < 0:
            return None
        try:
            return bytes.fromhex(text[at + len(_PANIC_MARK) :].split("\n", 1)[0]).decode("utf-8", "replace")
        except ValueError:
            return None


def train(
    corpora: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    output: str | os.PathLike[str],
    *,
    init: str | os.PathLike[str] | None = None,
    log: str | os.PathLike[str] | _Writable | None = None,
    progress: bool | Callable[[TrainProgress], None] = True,
    print_logs: bool = False,
    max_ids: int | None = None,
    allow_binary: bool = False,
) -> TrainSummary:
    """Trains a model on one or more corpus files and writes it to `output`.

    Each file gets one `Data.train` call, in order, each continuing the model
    of the previous one, starting from the model file `init` (an empty model
    when None). The model is byte for byte what those direct calls would
    save. After every completed chunk `output` is replaced atomically, so when
    the run is interrupted (KeyboardInterrupt or any other exception in the
    caller) or fails, `output` holds the model of the last completed chunk;
    the exception that stopped the run carries a note saying how far it got.

    The extension's console lines go to `log` (a file name, written whole
    when the run ends, however it ends; or an object with a binary `write`),
    and also to standard output with `print_logs`. `progress` shows a
    progress bar on standard error when true, or is called with a
    `TrainProgress` after every chunk.

    An output that is one of the corpora, or a log that is a corpus, `init`
    or the output, is refused before anything is written (`output` may be
    `init`: it is read whole first, and the model then continues in place).

    With `max_ids`, training stops after the first chunk whose model holds
    `max_ids` ids, and every model written is cut to the ids below
    `max_ids` (`Model.cut`): byte for byte the cut of the model that
    training on all of the corpora would give, and one that training can
    continue.

    A corpus whose first MiB holds a NUL byte or more than 1 % of bytes in
    invalid UTF-8 sequences (a compressed or binary file) is refused before
    anything is written, unless `allow_binary` is true.

    Raises `IdsExhaustedError` when all 65,536 ids are in use and
    `SelvaneError` for other failures, with the panic message of the
    extension when it is one.
    """
    started_at = time.perf_counter()
    files = _corpus_files(corpora)
    target = os.fsdecode(os.fspath(output))
    log_path = os.fsdecode(os.fspath(log)) if isinstance(log, (str, os.PathLike)) else None
    inputs = files if init is None else [*files, os.fsdecode(os.fspath(init))]
    if max_ids is not None:
        _check_max_ids(max_ids)
    sizes = _corpus_sizes(files)
    if not allow_binary:
        _refuse_non_text(files)
    _check_outputs(target, log_path, files, inputs)
    initial = EMPTY_MODEL if init is None else Model(init).model_bytes
    if max_ids is not None:
        from .model_file import cut_maps, read_maps

        cut_maps(read_maps(initial), max_ids)  # a cut that would fail fails now, before anything is written
    initial_counts = saved_counts(initial) or (0, 0)
    state = TrainProgress(
        bytes_total=sum(sizes),
        chunks_total=sum(-(-size // CHUNK_SIZE) for size in sizes),
        ids=initial_counts[0],
        files=files,
    )
    # Temporaries of a killed earlier run into the same output.
    remove_stale_temporaries(os.path.dirname(os.path.realpath(target)), os.path.realpath(target))

    report, bar = _reporter(progress)
    sinks: list[_Writable] = [sys.stdout.buffer] if print_logs else []
    if log is not None and not isinstance(log, (str, os.PathLike)):
        sinks.append(log)
    try:
        if log_path is None:
            run, status = _run(files, sizes, initial, target, state, report, _Tee(sinks) if sinks else None,
                               max_ids)
        else:
            run, status = _run_with_log_file(log_path, inputs, target, files, sizes, initial, state, report, sinks,
                                             max_ids)
    except BaseException as stop:
        stop.add_note(_stop_note(state, target))
        raise
    finally:
        if bar is not None:
            bar.close()
    if status != 0:
        _raise_failure(run, status, state, target)
    if run.committed is not None:
        _flush(target)
    ids, merges = run.committed_counts if run.committed is not None else initial_counts
    return TrainSummary(
        chunks=state.chunks_done,
        # A cut can leave fewer merges than the model started with.
        merges=max(0, merges - initial_counts[1]),
        ids=ids,
        bytes=state.bytes_done,
        seconds=time.perf_counter() - started_at,
        output=target,
    )


def _run_with_log_file(log_path: str, inputs: list[str], target: str, files: list[str], sizes: list[int],
                       initial: bytes, state: TrainProgress, report: Callable[[TrainProgress], None] | None,
                       sinks: list[_Writable], max_ids: int | None = None) -> tuple[_Run, int]:
    """`_run` with the console lines also written to the file `log_path`,
    which takes its name when the run ends, whether it succeeded or not: the
    log of a failed or stopped run is the one most worth reading."""
    stopped: BaseException | None = None
    with atomic_output(log_path, inputs=[*inputs, target], action="training", remove_stale=True) as log_file:
        try:
            result = _run(files, sizes, initial, target, state, report, _Tee([*sinks, log_file]), max_ids)
        except (KeyboardInterrupt, Terminated, SelvaneError) as error:
            stopped = error
    if stopped is not None:
        raise stopped
    return result


def _run(files: list[str], sizes: list[int], initial: bytes, target: str, state: TrainProgress,
         report: Callable[[TrainProgress], None] | None, log: _Writable | None,
         max_ids: int | None = None) -> tuple[_Run, int]:
    """Trains in a child process and returns the parent's record of the run
    and the child's exit status (0 when the run stopped because it reached
    `max_ids`). The child is gone when this returns or raises, and so is its
    working directory."""
    work = private_directory(os.environ.get("TMPDIR") or "/tmp", _WORK_NAME)
    try:
        names = _stage(work, initial, files)
        run = _Run(work, target, sizes, state, report, log, max_ids)
        pid, out, err = _spawn(work, names)
        status = None
        try:
            run.pump(out, err, lambda: report(state) if report is not None else None)
            if not run.reached:
                status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        finally:
            if status is None:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            os.close(out)
            os.close(err)
            # A kill can land after a save finished but before its line;
            # once max_ids is reached, later saves cut to the same model.
            if not run.reached and run.commit():
                state.chunks_done += 1
    finally:
        with stop_signals_deferred():
            remove_private_directory(work)
    # Stopped on reaching max_ids: the child was killed, the run succeeded.
    return run, 0 if status is None else status


def _stage(work: str, initial: bytes, files: list[str]) -> list[str]:
    """Puts the initial model and a link to each corpus into the working
    directory; returns the names the child trains on."""
    write_atomically(os.path.join(work, "init.model"), initial, durable=False)
    names = []
    for index, name in enumerate(files):
        # A link under a plain name serves any path, including ones that
        # are not valid UTF-8 and so cannot be a `str` argument.
        link = f"corpus-{index}"
        os.symlink(os.path.abspath(name), os.path.join(work, link))
        names.append(link)
    return names


def _raise_failure(run: _Run, status: int, state: TrainProgress, target: str) -> NoReturn:
    """Raises the error of a child that ended with `status`."""
    message = run.panic_message()
    kept = _kept(state, target)
    if message is not None and message.startswith(_EXHAUSTED):
        raise IdsExhaustedError(
            f"all 65,536 token ids are in use after {state.chunks_done} of "
            f"{state.chunks_total} chunks; training stopped and {kept}"
        ) from _panic(message)
    if message is not None:
        raise SelvaneError(f"training failed: {message}; {kept}") from _panic(message)
    detail = run.stderr_tail.decode("utf-8", "replace").strip().splitlines()[-1:]
    raise SelvaneError(f"the training process ended with status {status}"
                       + (f" ({detail[0]})" if detail else "") + f"; {kept}")


def _check_max_ids(max_ids: int) -> None:
    from .model_file import MAX_IDS

    if isinstance(max_ids, bool) or not isinstance(max_ids, int) or not 1 <= max_ids <= MAX_IDS:
        raise SelvaneError(f"max_ids must be a number of ids from 1 to {MAX_IDS:,}, not {max_ids!r}")


def _refuse_non_text(files: list[str]) -> None:
    """Refuses a corpus that is not UTF-8 text, before anything is written."""
    from .text_check import file_not_text_reason

    for name in files:
        reason = file_not_text_reason(name)
        if reason is not None:
            raise SelvaneError(f"not UTF-8 text: {name} ({reason} in its first MiB); refused before training; "
                               "--allow-binary (allow_binary=True) trains on it anyway")


def _flush(target: str) -> None:
    """Flushes the final model to disk once; the saves of the chunks before
    it were not, as only the last one has to survive a crash."""
    try:
        with open_input(target, "output") as written:
            os.fsync(written.fileno())
    except OSError as error:
        raise SelvaneError(f"cannot flush {target} to disk: {error.strerror or error}") from None


def _spawn(work: str, names: list[str]) -> tuple[int, int, int]:
    """Starts the child in `work` in a session of its own, so that a
    terminal's Ctrl-C reaches only the parent; returns its pid and the read
    ends of its standard output and error."""
    out_read, out_write = os.pipe2(os.O_CLOEXEC)
    err_read, err_write = os.pipe2(os.O_CLOEXEC)
    try:
        import fcntl

        fcntl.fcntl(out_read, fcntl.F_SETPIPE_SZ, _PIPE_SIZE)
    except OSError:
        pass  # the system's limit is lower: the default size serves, a little slower
    companion = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    extension = os.path.dirname(os.path.abspath(selvane.__file__))
    try:
        pid = os.posix_spawn(
            sys.executable,
            [sys.executable, "-S", "-c", _CHILD, extension, companion, str(os.getpid()), work, *names],
            os.environ,
            file_actions=[
                (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                (os.POSIX_SPAWN_DUP2, out_write, 1),
                (os.POSIX_SPAWN_DUP2, err_write, 2),
            ],
            setsid=True,
        )
    except OSError:
        for fd in (out_read, err_read):
            os.close(fd)
        raise
    finally:
        os.close(out_write)
        os.close(err_write)
    return pid, out_read, err_read


def _panic(message: str) -> BaseException:
    """An instance of the extension's panic type carrying `message`, as the
    cause of the companion's error (the child's own instance cannot cross)."""
    from ._panic import panic_type

    return panic_type()(message)
