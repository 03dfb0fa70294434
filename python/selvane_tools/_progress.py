"""The progress bar of `train` on standard error."""

from __future__ import annotations

import sys

from tqdm import tqdm  # type: ignore[import-untyped]

from .training import TrainProgress

__all__ = ["ProgressBar"]


class ProgressBar:
    """Corpus bytes done of the total, with chunks, merges and ids in use."""

    def __init__(self) -> None:
        self._done = 0
        self._bar: tqdm | None = None
        #: the last state seen, None before the first update
        self.state: TrainProgress | None = None

    def _open(self, state: TrainProgress) -> tqdm:
        return tqdm(
            total=state.bytes_total,
            unit="B",
            unit_scale=True,
            desc="training",
            file=sys.stderr,
            dynamic_ncols=True,
            smoothing=0.1,
        )

    def _describe(self, bar: tqdm, state: TrainProgress) -> None:
        bar.set_postfix_str(
            f"chunk {state.chunks_done}/{state.chunks_total}, "
            f"{state.merges:,} merges, {state.ids:,} ids",
            refresh=False,
        )

    def update(self, state: TrainProgress) -> None:
        """Moves the bar to `state` (called at the start and after every saved chunk)."""
        self.state = state
        if self._bar is None:
            self._bar = self._open(state)
        self._describe(self._bar, state)
        self._bar.update(state.bytes_done - self._done)
        self._done = state.bytes_done

    def close(self) -> None:
        """Leaves the bar as it last stood."""
        if self._bar is not None:
            self._bar.close()
