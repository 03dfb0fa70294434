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

from .errors import IdsExhaustedError, SelvaneError
from .model import EMPTY_MODEL, Model, ModelFormatError, new_model
from .training import CHUNK_SIZE, TrainProgress, TrainSummary, train
from .corpus import encode_corpus
from .shards import ShardSet, read_shards

__all__ = [
    "CHUNK_SIZE",
    "EMPTY_MODEL",
    "IdsExhaustedError",
    "Model",
    "ModelFormatError",
    "SelvaneError",
    "ShardSet",
    "TrainProgress",
    "TrainSummary",
    "encode_corpus",
    "new_model",
    "read_shards",
    "train",
]
