"""How well a model compresses text: tokens per 1,000 characters and
unknown clusters, per file, under one encoding rule or several.

>>> stats = evaluate(model, ["a.txt"], rules=("frequency", "rank"))  # doctest: +SKIP
>>> stats[0].tokens["rank"] * 1000 / stats[0].characters              # doctest: +SKIP
"""

from __future__ import annotations

import os
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
    `unknown` clusters (clusters the model does not know, whether they
    became its id for unknown clusters or byte tokens), and the
    `units_with_unknown` that held at least one."""

    name: str
    units: int = 0
    characters: int = 0
    tokens: dict[str, int] = field(default_factory=dict)
    unknown: dict[str, int] = field(default_factory=dict)
    units_with_unknown: int = 0

    def add(self, other: FileStats) -> None:
        """Adds the counts of `other` to these."""
        self.units += other.units
        self.characters += other.characters
        self.units_with_unknown += other.units_with_unknown
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

    Unknown clusters are counted by the engine as it meets them, so the
    count is exact with byte fallback and whatever merges the model has.
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
                    encoded = model.encode_units(batch, rule=rule, threads=threads)
                    stats.tokens[rule] += len(encoded.ids) // 2
                    stats.unknown[rule] += encoded.unknown_clusters
                    if rule == rules[0]:
                        # Which units hold unknown clusters does not depend on the rule.
                        stats.units_with_unknown += encoded.units_with_unknown
        results.append(stats)
    return results

