"""selvane_tools.dask on a LocalCluster of two worker processes: the same
files as the local run, and failures that come back as one error."""

from __future__ import annotations

import pathlib

import pytest

from corpus_support import SAMPLE, train_sample_model
from selvane_tools import Model, SelvaneError, encode_corpus

distributed = pytest.importorskip("distributed")
from selvane_tools import dask as selvane_dask  # noqa: E402



@pytest.fixture(scope="module")
def model(tmp_path_factory):
    return Model(train_sample_model(tmp_path_factory.mktemp("model")))


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, worker_dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


def files_of(directory: pathlib.Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir())}


def test_dask_writes_the_files_of_the_local_run(model, client, tmp_path):
    other = tmp_path / "other.txt"
    other.write_bytes(b"\n\n" + SAMPLE.read_bytes()[:50_000] + b"\r\n\xff")
    inputs = [SAMPLE, other]
    for unit in ("line", "paragraph"):
        local = tmp_path / f"local-{unit}"
        encode_corpus(model, inputs, local, unit=unit, workers=2, shard_bytes=120_000)
        remote = tmp_path / f"dask-{unit}"
        with distributed.get_task_stream(client) as stream:
            shards = selvane_dask.encode_corpus(model, inputs, remote, unit=unit, client=client,
                                                shard_bytes=120_000)
        assert files_of(remote) == files_of(local)
        assert len(shards) == shards.meta["units"] > 0
        # One task per shard, spread over both worker processes.
        ran = [task for task in stream.data if task["key"].startswith("selvane-shard-")]
        assert len(ran) == len(shards.meta["shards"])
        assert len({task["worker"] for task in ran}) == 2


def test_dask_failure_is_one_error_and_no_meta(model, client, tmp_path):
    bad = tmp_path / "bad.jsonl"
    bad.write_text('{"text": "كتب"}\n' * 200 + "[1, 2]\n")
    out = tmp_path / "out"
    with pytest.raises(SelvaneError, match=f"{bad}:201: not a JSON object"):
        selvane_dask.encode_corpus(model, [bad], out, unit="jsonl:text", client=client, shard_bytes=1000)
    assert not (out / "meta.json").exists()
