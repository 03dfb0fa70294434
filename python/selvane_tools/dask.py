"""Encoding a corpus into shards on a Dask cluster (``pip install selvane[dask]``).

One task per shard, each calling the same ``encode_shard`` as the local
workers, through the same driver (`selvane_tools.corpus.run_corpus`), so the
files are byte for byte those of ``selvane encode -j N``. The model travels
as its bytes, once per worker; the inputs and the output directory must be
reachable by every worker under the same paths (a shared or network file
system), and the client must see the inputs to plan the shards.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

from ._progress import byte_bar
from .corpus import run_corpus
from .errors import SelvaneError
from .model import Model
from .shards import DEFAULT_SHARD_BYTES, ShardResult, ShardSet, ShardTask, encode_shard
from .units import Unit


def encode_corpus(
    model: Model | str | os.PathLike[str],
    inputs: Sequence[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    *,
    unit: Unit | str = "line",
    rule: str = "frequency",
    client: Any = None,
    shard_bytes: int = DEFAULT_SHARD_BYTES,
    overwrite: bool = False,
    progress: bool | None = None,
    eos: str | None = None,
    strict: bool = False,
) -> ShardSet:
    """Encodes `inputs` into shards in `out_dir` with one Dask task per shard.

    `rule` is "frequency" or "rank", carried by every task, as is the id of
    `eos` (a special token's text) that ends every unit; `strict` as for
    the local `encode_corpus`. `client` is a
    ``distributed.Client``; by default the current one. The
    result is the output opened with ``read_shards``; ``meta.json`` is written
    by the caller's process once every task has finished. A task whose worker
    is lost is run again by Dask; what the lost worker left half written is
    removed before meta.json is written.

    >>> from distributed import Client                      # doctest: +SKIP
    >>> from selvane_tools.dask import encode_corpus        # doctest: +SKIP
    >>> encode_corpus("tokenizer", ["a.txt"], "out", client=Client("tcp://scheduler:8786"))  # doctest: +SKIP
    """
    try:
        import distributed
    except ImportError:
        raise SelvaneError("selvane_tools.dask needs Dask's distributed: pip install 'selvane[dask]'") from None
    if client is None:
        try:
            client = distributed.get_client()
        except ValueError:
            raise SelvaneError("no Dask client: pass client= or create a distributed.Client first") from None

    def execute(model: Model, tasks: list[ShardTask], out_dir: str, progress: bool | None) -> list[ShardResult]:
        # Scattered once to every worker and kept there deserialized: each
        # worker loads the model a single time, however many shards it encodes.
        shipped = client.scatter(model, broadcast=True, hash=False)
        run = os.urandom(4).hex()
        futures = [client.submit(encode_shard, shipped, task, out_dir, key=f"selvane-shard-{task.name}-{run}")
                   for task in tasks]
        sizes = {future.key: task.end - task.start for future, task in zip(futures, tasks)}
        bar = byte_bar(sum(sizes.values()), "encode", progress)
        results: list[ShardResult] = []
        try:
            for future in distributed.as_completed(futures):  # type: ignore[no-untyped-call]
                results.append(future.result())
                if bar is not None:
                    bar.update(sizes[future.key])
        except BaseException as error:
            client.cancel(futures)
            if isinstance(error, SelvaneError) or not isinstance(error, Exception):
                raise
            raise SelvaneError(f"a shard failed: {type(error).__name__}: {error}") from error
        finally:
            if bar is not None:
                bar.close()
        return results

    return run_corpus(execute, model, inputs, out_dir, unit=unit, rule=rule, shard_bytes=shard_bytes,
                      overwrite=overwrite, progress=progress, eos=eos, strict=strict)
