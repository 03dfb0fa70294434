"""The progress bar of `train` on standard error.

Written here rather than taken from a progress-bar library: importing one
costs a tenth of a second, which is more than a tenth of a 12 MB training
run, and it would run while the training child needs the CPU.
"""

from __future__ import annotations

import sys
import time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import TextIO

    from .training import TrainProgress

__all__ = ["ProgressBar"]


def _size(count: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if count < 1000 or unit == "GB":
            return f"{count:.1f} {unit}" if unit != "B" else f"{count:.0f} B"
        count /= 1000
    raise AssertionError("unreachable")


def _clock(seconds: float) -> str:
    seconds = int(seconds)
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}" if seconds >= 3600 else f"{seconds // 60:02d}:{seconds % 60:02d}"


class ProgressBar:
    """Corpus bytes done of the total, with chunks, merges and ids in use,
    rate and time left. On a terminal it redraws one line; elsewhere (a log
    file, a pipe) it writes one line per update."""

    def __init__(self, stream: TextIO | None = None) -> None:
        self._stream = stream if stream is not None else sys.stderr
        self._tty = self._stream.isatty()
        self._started = time.monotonic()
        self._drawn = False
        #: the last state seen, None before the first update
        self.state: TrainProgress | None = None

    def line(self, state: TrainProgress) -> str:
        """The text of the bar for `state`."""
        elapsed = time.monotonic() - self._started
        total = max(state.bytes_total, 1)
        share = state.bytes_done / total
        rate = state.bytes_done / elapsed if elapsed > 0 else 0.0
        left = (state.bytes_total - state.bytes_done) / rate if rate > 0 else None
        filled = int(share * 20)
        return (
            f"training {share:4.0%} |{'#' * filled}{'.' * (20 - filled)}| "
            f"{_size(state.bytes_done)}/{_size(state.bytes_total)}, "
            f"chunk {state.chunks_done}/{state.chunks_total}, {state.merges:,} merges, {state.ids:,} ids, "
            f"{_size(rate)}/s, {_clock(elapsed)} elapsed"
            + (f", {_clock(left)} left" if left is not None and state.bytes_done < state.bytes_total else "")
        )

    def update(self, state: TrainProgress) -> None:
        """Shows `state` (called at the start and after every saved chunk)."""
        self.state = state
        if self._tty:
            self._stream.write("\r" + self.line(state) + "\x1b[K")
        else:
            self._stream.write(self.line(state) + "\n")
        self._stream.flush()
        self._drawn = True

    def close(self) -> None:
        """Ends the bar's line, leaving it as it last stood."""
        if self._drawn and self._tty:
            self._stream.write("\n")
            self._stream.flush()
        self._drawn = False
