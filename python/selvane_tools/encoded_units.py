"""`EncodedUnits`: many units encoded end to end, as `Model.encode_units`
returns them for the command line and the shard writer."""

from __future__ import annotations

from typing import NamedTuple

__all__ = ["EncodedUnits"]


class EncodedUnits(NamedTuple):
    """The ids of many units end to end and what the model did not know.

    `ids` holds little-endian uint16 ids; `offsets` holds ``len(texts) + 1``
    little-endian uint64 offsets, the first 0, so that the ids of unit i are
    ``ids[2 * offsets[i]:2 * offsets[i + 1]]`` (an end-of-unit id, when one
    was asked for, is the last id of each unit). `unknown_clusters` counts
    the clusters the model does not know, whether byte fallback spelled them
    out or they became the oov id; `units_with_unknown` counts the units that
    held at least one.

    >>> units = EncodedUnits(b"\\x05\\x00\\x01\\x00", bytes(8) + (2).to_bytes(8, "little"), 0, 0)
    >>> memoryview(units.ids).cast("H").tolist(), memoryview(units.offsets).cast("Q").tolist()
    ([5, 1], [0, 2])
    """

    ids: bytes
    offsets: bytes
    unknown_clusters: int
    units_with_unknown: int
