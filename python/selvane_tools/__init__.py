"""Companion of the `selvane` tokenizer: a picklable `Model`, training in a
child process with progress and atomic saves, input units, and the `selvane`
command.

>>> from selvane_tools import Model, new_model, train
>>> new_model("empty.model")                                     # doctest: +SKIP
>>> train(["corpus.txt"], "arabic.model", init="empty.model")  # doctest: +SKIP
>>> Model("arabic.model").encode("بسم الله")                     # doctest: +SKIP
>>> encode_corpus("arabic.model", ["corpus.txt"], "ids/")        # doctest: +SKIP
"""

from __future__ import annotations

from .errors import IdsExhaustedError, ModelFormatError, SelvaneError, UnknownClustersError

# The names below are imported on first use: the `selvane` command imports
# this package first, and its start-up time counts against every command.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from .model import EMPTY_MODEL, Model, new_model
    from .encoded_units import EncodedUnits
    from .training import CHUNK_SIZE, TrainProgress, TrainSummary, train
    from .corpus import encode_corpus
    from .shards import ShardSet, read_shards

_LAZY = {
    "EMPTY_MODEL": "model",
    "Model": "model",
    "new_model": "model",
    "EncodedUnits": "encoded_units",
    "CHUNK_SIZE": "training",
    "TrainProgress": "training",
    "TrainSummary": "training",
    "train": "training",
    "encode_corpus": "corpus",
    "ShardSet": "shards",
    "read_shards": "shards",
}


def __getattr__(name: str) -> object:
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "CHUNK_SIZE",
    "EMPTY_MODEL",
    "EncodedUnits",
    "IdsExhaustedError",
    "Model",
    "ModelFormatError",
    "SelvaneError",
    "ShardSet",
    "TrainProgress",
    "TrainSummary",
    "UnknownClustersError",
    "encode_corpus",
    "new_model",
    "read_shards",
    "train",
]
