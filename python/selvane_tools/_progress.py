"""Progress on standard error for the companion's long jobs: training and
corpus encoding.

On a terminal the bars are tqdm's. Elsewhere (a log file, a pipe, a batch
job) a redrawn bar would only fill the file with carriage returns, so training
writes one plain line per completed chunk instead, and corpus encoding, which
has no chunks to speak of, stays silent.

tqdm is imported when the first bar is drawn, not when the command starts:
its import takes about a tenth of a second, which would count against every
short command, and by the time a training draws its first bar the training
process is already running on another core.
"""

from __future__ import annotations

import sys
import time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, TextIO

    from .training import TrainProgress

__all__ = ["ProgressBar", "byte_bar"]


def byte_bar(total: int, desc: str, enabled: bool | None = True, stream: TextIO | None = None) -> Any:
    """A tqdm bar over `total` bytes, with rate and time left, on `stream`
    (standard error by default); None when not `enabled`. With `enabled`
    None the bar is drawn only when the stream is a terminal."""
    stream = stream if stream is not None else sys.stderr
    if enabled is None:
        enabled = stream.isatty()
    if not enabled:
        return None
    from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

    return tqdm(total=total, desc=desc, unit="B", unit_scale=True, file=stream)


class ProgressBar:
    """Training progress: bytes of corpus done of the total, chunks, merges
    learned and ids in use, rate and time left. A tqdm bar on a terminal;
    elsewhere one line per update."""

    def __init__(self, stream: TextIO | None = None) -> None:
        self._stream = stream if stream is not None else sys.stderr
        self._tty = self._stream.isatty()
        self._started = time.monotonic()
        self._bar: Any = None
        #: the last state seen, None before the first update
        self.state: TrainProgress | None = None

    @staticmethod
    def counts(state: TrainProgress) -> str:
        """Chunks, merges and ids of `state`, as the bar shows them."""
        return f"chunk {state.chunks_done}/{state.chunks_total}, {state.merges:,} merges, {state.ids:,} ids"

    def line(self, state: TrainProgress) -> str:
        """The plain line written for `state` where there is no terminal."""
        elapsed = time.monotonic() - self._started
        rate = state.bytes_done / elapsed / 1e6 if elapsed > 0 else 0.0
        share = state.bytes_done / max(state.bytes_total, 1)
        return (f"training {share:4.0%}: {state.bytes_done:,} of {state.bytes_total:,} bytes, "
                f"{self.counts(state)}, {rate:.1f} MB/s, {elapsed:.1f} s")

    def update(self, state: TrainProgress) -> None:
        """Shows `state` (called at the start and after every saved chunk)."""
        self.state = state
        if not self._tty:
            self._stream.write(self.line(state) + "\n")
            self._stream.flush()
            return
        if self._bar is None:
            self._bar = byte_bar(state.bytes_total, "training", stream=self._stream)
        self._bar.set_postfix_str(self.counts(state), refresh=False)
        self._bar.update(state.bytes_done - self._bar.n)

    def close(self) -> None:
        """Ends the bar's line, leaving it as it last stood."""
        if self._bar is not None:
            self._bar.close()
            self._bar = None
