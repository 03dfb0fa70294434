"""The exception types of the companion package."""

from __future__ import annotations

__all__ = ["SelvaneError", "IdsExhaustedError", "ModelFormatError", "OutputBusyError", "Terminated",
           "UnknownClustersError"]


class SelvaneError(Exception):
    """A failure that a person can act on: a missing or unreadable file, a
    file that is not a model, bad input, or a failure of the tokenizer itself.

    When the tokenizer failed, the original failure is the ``__cause__``.
    """


class IdsExhaustedError(SelvaneError):
    """Training stopped because all 65,536 token ids are in use.

    The model of the last completed chunk is kept at the output path.
    """


class ModelFormatError(SelvaneError):
    """The bytes are not a model file (they do not decode as one)."""


class Terminated(BaseException):
    """Raised in the main thread of the `selvane` command when SIGTERM
    arrives, so that clean-up runs as it does for Ctrl-C."""


class OutputBusyError(SelvaneError):
    """Another encoder holds the output directory; the message names it."""


class UnknownClustersError(SelvaneError):
    """Encoding met clusters the model does not know where they were refused
    (``--strict``): `unknown_clusters` of them, in `units_with_unknown`
    units. Nothing was declared finished."""

    def __init__(self, unknown_clusters: int, units_with_unknown: int) -> None:
        super().__init__(f"{unknown_clusters} unknown clusters in {units_with_unknown} units; "
                         "refused as strict, the output is not finished")
        self.unknown_clusters = unknown_clusters
        self.units_with_unknown = units_with_unknown
