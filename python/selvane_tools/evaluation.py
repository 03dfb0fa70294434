"""How well a model compresses text: tokens per 1,000 characters and
unknown clusters, per file, under one encoding rule or several.

>>> stats = evaluate(model, ["a.txt"], rules=("frequency", "rank"))  # doctest: +SKIP
>>> stats[0].tokens["rank"] * 1000 / stats[0].characters              # doctest: +SKIP
"""

from __future__ import annotations

import os
import sys
from array import array
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

from ._files import open_input
from .model import Model
from .rules import check_rule
from .units import Unit, iter_batches, iter_numbered_units, parse_unit

__all__ = ["FileStats", "evaluate"]

@dataclass
class FileStats:
    """The counts of one file (or of several added up, `name` "total"):
    `units`, `characters` (code points), and per rule the `tokens` and the
    `unknown` clusters (tokens with the model's id for unknown clusters)."""

    name: str
    units: int = 0
    characters: int = 0
    tokens: dict[str, int] = field(default_factory=dict)
    unknown: dict[str, int] = field(default_factory=dict)

    def add(self, other: FileStats) -> None:
        """Adds the counts of `other` to these."""
        self.units += other.units
        self.characters += other.characters
        for rule, count in other.tokens.items():
            self.tokens[rule] = self.tokens.get(rule, 0) + count
        for rule, count in other.unknown.items():
            self.unknown[rule] = self.unknown.get(rule, 0) + count


def evaluate(
    model: Model,
    paths: Sequence[str | os.PathLike[str]],
    *,
    unit: Unit | str = "line",
    rules: Iterable[str] = ("frequency",),
    threads: int | None = None,
) -> list[FileStats]:
    """The counts of each file of `paths`, split into `unit`s and encoded
    with each of `rules` on `threads` threads (None: every core).

    An unknown cluster is counted by its id, the model's "oov" id: exact for
    a trained model, where no merge involves that id.
    """
    unit = unit if isinstance(unit, Unit) else parse_unit(unit)
    rules = tuple(check_rule(rule) for rule in rules)
    results = []
    for path in paths:
        stats = FileStats(os.fspath(path), tokens=dict.fromkeys(rules, 0), unknown=dict.fromkeys(rules, 0))
        with open_input(path) as source:
            for batch in iter_batches(text for _, text in iter_numbered_units(source, unit, os.fspath(path))):
                stats.units += len(batch)
                stats.characters += sum(map(len, batch))
                for rule in rules:
                    ids, _ = model.encode_batch(batch, rule=rule, threads=threads, flat=True)
                    stats.tokens[rule] += len(ids) // 2
                    stats.unknown[rule] += _count_id(ids, model.oov_id)
        results.append(stats)
    return results


def _count_id(ids: bytes, token: int | None) -> int:
    """How many of the little-endian uint16 `ids` are `token`."""
    if token is None or not ids:
        return 0
    values = array("H")
    values.frombytes(ids)
    if sys.byteorder == "big":
        values.byteswap()
    return values.count(token)
