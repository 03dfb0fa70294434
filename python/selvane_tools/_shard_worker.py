"""A worker process of `encode_corpus`: ``python -m selvane_tools._shard_worker PARENT``.

It is a fresh interpreter that imports only the companion, never the
caller's script (the multiprocessing start methods other than fork re-run an
unguarded script in every worker). From its parent it reads, on standard
input, one pickled (model bytes, tasks, output directory) and then shard
numbers, one a line; for each it writes JSON lines on its own copy of
standard output: ``["progress", bytes]`` while it reads, then ``["done",
name, units, ids, unknown clusters, units with unknown]`` or ``["error", message]``. It ends at the end of its
input, and with its parent.
"""

from __future__ import annotations

import json
import os
import pickle
import signal
import sys
from typing import BinaryIO

from ._lifetime import die_with_parent


def _send(channel: BinaryIO, *message: object) -> None:
    channel.write(json.dumps(message).encode() + b"\n")
    channel.flush()


def main() -> None:
    """Runs the worker until its input ends."""
    die_with_parent(int(sys.argv[1]))
    # The parent stops workers with SIGKILL; an interrupt sent to the
    # worker's own group is the parent's to act on.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # The replies get a descriptor of their own: whatever else writes to
    # standard output (a panic report) goes to standard error instead.
    channel = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    commands = sys.stdin.buffer
    from .errors import SelvaneError
    from .model import Model
    from .shards import encode_shard

    try:
        # Our own parent wrote it into our own pipe.
        model_bytes, tasks, out_dir = pickle.load(commands)
        model = Model.from_bytes(model_bytes)
        for line in commands:
            task = tasks[int(line)]
            result = encode_shard(model, task, out_dir, lambda count: _send(channel, "progress", count))
            _send(channel, "done", result.name, result.units, result.ids, result.unknown_clusters,
                  result.units_with_unknown)
    except SelvaneError as error:
        _send(channel, "error", str(error))
    except BaseException as error:  # PanicException derives from BaseException
        _send(channel, "error", f"{type(error).__name__}: {error}")


if __name__ == "__main__":
    main()
