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

import json
import os
import selectors
import signal
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import IO, Protocol

from ._files import write_atomically
from .errors import IdsExhaustedError, SelvaneError
from .model import EMPTY_MODEL, Model, ModelFormatError, parse_model

__all__ = ["CHUNK_SIZE", "TrainProgress", "TrainSummary", "train"]

#: Bytes of one training chunk: the extension reads the corpus this many at a time.
CHUNK_SIZE = 3_067_833

_START = b"Just Started\n"
_SAVED = b" Saved Successfully \n"
_MERGE = b"Token "
_PANIC_MARK = "\nselvane-training-panic "
_EXHAUSTED = "All 65,536 token ids are in use"

# Runs in the child, whose working directory is the private one. SIGINT is
# ignored there because the parent decides when to stop (and a terminal's
# Ctrl-C reaches the whole foreground group); PR_SET_PDEATHSIG ends the child
# if the parent dies without cleaning up.
_CHILD = r"""
import ctypes, json, os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_IGN)
try:
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)
except Exception:
    pass
if os.getppid() != int(sys.argv[2]):
    sys.exit(1)
import selvane
model = selvane.load_from_file("init.model")
for corpus in json.loads(sys.argv[1]):
    try:
        model.train(corpus, False, "train.log")
    except BaseException as error:
        sys.stderr.write(%r + json.dumps(str(error)) + "\n")
        sys.stderr.flush()
        os._exit(3)
""" % _PANIC_MARK


class _Writable(Protocol):
    def write(self, data: bytes, /) -> object: ...


@dataclass(slots=True)
class TrainProgress:
    """How far a training run has got; passed to a `progress` callback."""

    #: corpus bytes of the completed chunks
    bytes_done: int = 0
    #: bytes of all corpus files
    bytes_total: int = 0
    #: chunks completed and saved
    chunks_done: int = 0
    #: chunks of all corpus files
    chunks_total: int = 0
    #: merges learned so far in this run
    merges: int = 0
    #: token ids in the model so far
    ids: int = 0
    #: index of the corpus file being trained on
    file_index: int = 0
    #: the corpus files, as given
    files: list[str] = field(default_factory=list)


@dataclass(frozen=True, slots=True)
class TrainSummary:
    """The result of `train`."""

    #: chunks trained and saved
    chunks: int
    #: merges learned by this run (the saved model's merges less the initial model's)
    merges: int
    #: token ids in the saved model
    ids: int
    #: corpus bytes trained on
    bytes: int
    #: wall time of the run
    seconds: float
    #: where the model was written
    output: str


def _corpus_sizes(files: list[str]) -> list[int]:
    sizes = []
    for name in files:
        try:
            with open(name, "rb") as corpus:
                stat = os.fstat(corpus.fileno())
        except FileNotFoundError:
            raise SelvaneError(f"corpus not found: {name}") from None
        except IsADirectoryError:
            raise SelvaneError(f"corpus {name} is a directory") from None
        except OSError as error:
            raise SelvaneError(f"cannot read corpus {name}: {error.strerror or error}") from None
        if not os.path.isfile(name):
            # A pipe or device is read in short pieces, which would change
            # where the chunks end and so the model.
            raise SelvaneError(f"corpus {name} is not a regular file")
        sizes.append(stat.st_size)
    return sizes


class _Run:
    """The parent's side of one training run."""

    def __init__(self, work: str, output: str, sizes: list[int], progress: TrainProgress,
                 report: Callable[[TrainProgress], None] | None, log: _Writable | None) -> None:
        self.work = work
        self.output = output
        self.sizes = sizes
        self.progress = progress
        self.report = report
        self.log = log
        self.committed: bytes | None = None
        self.file_chunks = 0
        self.calls = 0
        self.stderr_tail = bytearray()

    def commit(self) -> bool:
        """Copies the child's latest complete save to the output.

        The child rewrites "tokenizer" in place, so a read can meet a save in
        progress; a model file decodes only when it is whole, which tells a
        finished save from a torn one. A torn one is skipped: the output keeps
        the previous chunk's model and the next save brings a newer one.
        """
        try:
            with open(os.path.join(self.work, "tokenizer"), "rb") as saved:
                data = saved.read()
            contents = parse_model(data)
        except (FileNotFoundError, ModelFormatError):
            return False
        if data == self.committed:
            return False
        write_atomically(self.output, data)
        self.committed = data
        self.progress.ids = len(contents.lookup)
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

    def pump(self, child: subprocess.Popen[bytes]) -> None:
        """Reads the child's standard output and error until both close."""
        assert child.stdout is not None and child.stderr is not None
        pending = b""
        with selectors.DefaultSelector() as selector:
            selector.register(child.stdout, selectors.EVENT_READ, "out")
            selector.register(child.stderr, selectors.EVENT_READ, "err")
            open_streams = 2
            while open_streams:
                for key, _ in selector.select():
                    stream: IO[bytes] = key.fileobj  # type: ignore[assignment]
                    data = os.read(stream.fileno(), 1 << 16)
                    if not data:
                        selector.unregister(stream)
                        open_streams -= 1
                        continue
                    if key.data == "err":
                        self.stderr_tail += data
                        del self.stderr_tail[:-65536]
                        continue
                    pending += data
                    lines = pending.split(b"\n")
                    pending = lines.pop()
                    for line in lines:
                        self.on_line(line + b"\n")
        if pending and self.log is not None:
            self.log.write(pending)

    def panic_message(self) -> str | None:
        text = self.stderr_tail.decode("utf-8", "replace")
        at = text.rfind(_PANIC_MARK)
        if at < 0:
            return None
        try:
            return str(json.loads(text[at + len(_PANIC_MARK) :].split("\n", 1)[0]))
        except ValueError:
            return None


def train(
    corpora: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    output: str | os.PathLike[str],
    *,
    init: str | os.PathLike[str] | None = None,
    log: str | os.PathLike[str] | _Writable | None = None,
    progress: bool | Callable[[TrainProgress], None] = True,
) -> TrainSummary:
    """Trains a model on one or more corpus files and writes it to `output`.

    Each file gets one `Data.train` call, in order, each continuing the model
    of the previous one, starting from the model file `init` (an empty model
    when None). The model is byte for byte what those direct calls would
    save. After every completed chunk `output` is replaced atomically, so when
    the run is interrupted (KeyboardInterrupt or any other exception in the
    caller) or fails, `output` holds the model of the last completed chunk.

    The extension's console lines go to `log` (a file name, or an object with
    a binary `write`), or nowhere. `progress` shows a progress bar on standard
    error when true, or is called with a `TrainProgress` after every chunk.

    Raises `IdsExhaustedError` when all 65,536 ids are in use and
    `SelvaneError` for other failures, with the panic message of the
    extension when it is one.
    """
    started_at = time.perf_counter()
    if isinstance(corpora, (str, os.PathLike)):
        corpora = [corpora]
    files = [os.fsdecode(os.fspath(name)) for name in corpora]
    if not files:
        raise SelvaneError("no corpus file given")
    sizes = _corpus_sizes(files)
    if not any(sizes):
        # Training on nothing saves nothing; say so rather than leave no output.
        raise SelvaneError(f"nothing to train on: the corpus {'is' if len(files) == 1 else 'files are'} empty")
    target = os.fsdecode(os.fspath(output))
    if os.path.isdir(target):
        raise SelvaneError(f"output {target} is a directory")
    if not os.path.isdir(os.path.dirname(os.path.abspath(target))):
        raise SelvaneError(f"the directory of output {target} does not exist")
    initial = EMPTY_MODEL if init is None else Model(init).model_bytes
    initial_merges = parse_model(initial).merges

    state = TrainProgress(
        bytes_total=sum(sizes),
        chunks_total=sum(-(-size // CHUNK_SIZE) for size in sizes),
        ids=len(parse_model(initial).lookup),
        files=files,
    )
    bar = None
    report: Callable[[TrainProgress], None] | None
    if progress is True:
        from ._progress import ProgressBar

        bar = ProgressBar()
        report = bar.update
    elif progress is False:
        report = None
    else:
        report = progress

    log_sink: _Writable | None
    close_log = None
    if log is None or hasattr(log, "write"):
        log_sink = log  # type: ignore[assignment]
    else:
        try:
            close_log = open(log, "wb")
        except OSError as error:
            raise SelvaneError(f"cannot write log {os.fsdecode(log)}: {error.strerror or error}") from None
        log_sink = close_log

    try:
        with tempfile.TemporaryDirectory(prefix="selvane-train-") as work:
            with open(os.path.join(work, "init.model"), "wb") as sink:
                sink.write(initial)
            names = []
            for index, name in enumerate(files):
                # A link under a plain name serves any path, including ones
                # that are not valid UTF-8 and so cannot be a `str` argument.
                link = f"corpus-{index}"
                os.symlink(os.path.abspath(name), os.path.join(work, link))
                names.append(link)
            run = _Run(work, target, sizes, state, report, log_sink)
            if report is not None:
                report(state)
            child = subprocess.Popen(
                [sys.executable, "-c", _CHILD, json.dumps(names), str(os.getpid())],
                cwd=work,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                start_new_session=True,
            )
            try:
                run.pump(child)
                status = child.wait()
            finally:
                if child.poll() is None:
                    child.send_signal(signal.SIGKILL)
                    child.wait()
                for stream in (child.stdout, child.stderr):
                    if stream is not None:
                        stream.close()
                # A kill can land after a save finished but before its line.
                if run.commit():
                    state.chunks_done += 1
                if bar is not None:
                    bar.close()
    finally:
        if close_log is not None:
            close_log.close()

    if status != 0:
        message = run.panic_message()
        kept = (f"{target} holds the model of chunk {state.chunks_done}" if state.chunks_done
                else f"{target} was not written")
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

    final = run.committed if run.committed is not None else initial
    contents = parse_model(final)
    return TrainSummary(
        chunks=state.chunks_done,
        merges=contents.merges - initial_merges,
        ids=len(contents.lookup),
        bytes=state.bytes_done,
        seconds=time.perf_counter() - started_at,
        output=target,
    )


def _panic(message: str) -> BaseException:
    """An instance of the extension's panic type carrying `message`, as the
    cause of the companion's error (the child's own instance cannot cross)."""
    from ._panic import panic_type

    return panic_type()(message)
