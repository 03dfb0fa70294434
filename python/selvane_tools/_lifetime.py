"""Child processes that end with their parent.

Kept apart from the file layer, which re-exports it, because the training
child imports it first thing: it needs nothing beyond `os` and `ctypes`.
"""

from __future__ import annotations

import os

__all__ = ["die_with_parent"]


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
