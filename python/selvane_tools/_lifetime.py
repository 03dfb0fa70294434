"""Child processes that end with their parent, and clean-ups that a stop
signal cannot cut short.

Kept apart from the file layer, which re-exports it, because the training
child imports it first thing: it needs nothing beyond `os` and `ctypes`.
"""

from __future__ import annotations

import contextlib
import os
import signal
from collections.abc import Iterator

__all__ = ["die_with_parent", "stop_signals_deferred"]

_STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}


@contextlib.contextmanager
def stop_signals_deferred() -> Iterator[None]:
    """Holds SIGINT and SIGTERM back while the block runs; one that arrived
    meanwhile is delivered when it ends, so the stop still happens, after the
    block. For clean-ups: Ctrl-C in the middle of removing a working
    directory would otherwise leave half of it behind."""
    try:
        held = signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
    except (AttributeError, OSError, ValueError):
        yield  # no signal masks here: the clean-up stays as interruptible as before
        return
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


def die_with_parent(parent: int | None = None) -> None:
    """Makes the calling process end with SIGKILL when its parent does, on
    Linux. `parent`, the pid the parent had, closes the race of a parent
    that died before the request was made: the process then ends at once."""
    try:
        import ctypes
        import signal

        libc = ctypes.CDLL(None, use_errno=True)
        pr_set_pdeathsig = 1
        libc.prctl(pr_set_pdeathsig, int(signal.SIGKILL), 0, 0, 0)
    except (OSError, AttributeError):
        pass  # not Linux: a training child ends on the broken pipe of its next line
    if parent is not None and os.getppid() != parent:
        os._exit(1)
