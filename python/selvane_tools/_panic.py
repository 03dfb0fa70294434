"""Access to the extension's panic exception type, which it does not export."""

from __future__ import annotations

import functools
import os
import sys

import selvane


@functools.cache
def panic_type() -> type[BaseException]:
    """Returns the type that the extension raises when its own logic fails.

    The type is only reachable through an instance, so this provokes the
    cheapest failure there is: loading a file name with a NUL byte fails
    before any file is opened and without a report on standard error.
    """
    # The extension reports every panic on file descriptor 2; this one is ours
    # and not the user's business, so it goes to /dev/null.
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 2)
        os.close(null)
        try:
            selvane.load_from_file("\0")
        except BaseException as error:  # the panic type derives from BaseException
            return type(error)
    finally:
        os.dup2(saved, 2)
        os.close(saved)
    raise RuntimeError("loading an impossible file name did not fail")
