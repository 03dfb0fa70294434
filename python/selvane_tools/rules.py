"""The encoding rules of the native engine, and the glue between `Model` and it.

Two rules turn a text's grapheme clusters into tokens with the same merges:

- ``"frequency"``: exactly the ids of the `selvane` extension's
  ``Data.encode``, which merges the text's own most frequent pair for as long
  as the model has a merge for it;
- ``"rank"``: the merges applied in the order they were learned (the pair
  with the smallest merged id first) for as long as any neighbouring pair has
  one. It gives about half the tokens, and the ids of a line do not depend on
  the text around it, so it is the rule for language-model training.

>>> RULES
('frequency', 'rank')
>>> check_rule("rank")
'rank'
"""

from __future__ import annotations

import os

from .errors import SelvaneError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._engine import Engine

__all__ = ["RULES", "check_rule", "default_threads", "load_engine"]

#: The names of the rules, the default first.
RULES: tuple[str, ...] = ("frequency", "rank")


def check_rule(rule: object) -> str:
    """Returns `rule` if it names a rule; `SelvaneError` otherwise.

    >>> check_rule("bpe")
    Traceback (most recent call last):
    ...
    selvane_tools.errors.SelvaneError: unknown rule 'bpe': the rules are 'frequency' and 'rank'
    """
    if isinstance(rule, str) and rule in RULES:
        return rule
    shown = repr(rule) if isinstance(rule, str) else f"of type {type(rule).__name__}"
    raise SelvaneError(f"unknown rule {shown}: the rules are 'frequency' and 'rank'")


def default_threads() -> int:
    """The number of cores this process may run on (its CPU affinity)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def check_threads(threads: int | None) -> int:
    """`threads` as the engine takes it: None means every core the process may
    run on; anything but an int of at least 1 is a `SelvaneError`."""
    if threads is None:
        return default_threads()
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise SelvaneError(f"threads must be None or an int of at least 1, not {threads!r}")
    return threads


def load_engine(model_bytes: bytes) -> Engine:
    """Builds the engine's model from the bytes of a model file."""
    from ._engine import Engine, EngineError

    try:
        return Engine(model_bytes)
    except EngineError as error:
        raise SelvaneError(f"the engine cannot load the model: {error}") from error
