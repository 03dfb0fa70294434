"""selvane_tools.dask on a LocalCluster of two worker processes: the same
files as the local run, and failures that come back as one error."""

from __future__ import annotations

import os
import pathlib
import signal
import threading
import time

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
    # The rule travels with each task.
    local, remote = tmp_path / "local-rank", tmp_path / "dask-rank"
    encode_corpus(model, inputs, local, rule="rank", workers=2, shard_bytes=120_000)
    shards = selvane_dask.encode_corpus(model, inputs, remote, rule="rank", client=client, shard_bytes=120_000)
    assert files_of(remote) == files_of(local) != files_of(tmp_path / "local-line")
    assert shards.rule == "rank"


def test_dask_failure_is_one_error_and_no_meta(model, client, tmp_path):
    bad = tmp_path / "bad.jsonl"
    bad.write_text('{"text": "كتب"}\n' * 200 + "[1, 2]\n")
    out = tmp_path / "out"
    with pytest.raises(SelvaneError, match=f"{bad}:201: not a JSON object"):
        selvane_dask.encode_corpus(model, [bad], out, unit="jsonl:text", client=client, shard_bytes=1000)
    assert not (out / "meta.json").exists()


def test_a_worker_killed_mid_shard_leaves_no_temporary(model, tmp_path):
    # A cluster of its own: the test kills one of its workers.
    big = tmp_path / "big.txt"
    big.write_bytes(SAMPLE.read_bytes() * 12)
    local = tmp_path / "local"
    encode_corpus(model, [big], local, workers=1, shard_bytes=2 << 20)
    out = tmp_path / "out"
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  worker_dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        outcome: list[object] = []
        run = threading.Thread(target=lambda: outcome.append(
            selvane_dask.encode_corpus(model, [big], out, client=client, shard_bytes=2 << 20)))
        run.start()
        deadline = time.monotonic() + 60
        while True:
            writing = [n for n in (os.listdir(out) if out.exists() else []) if ".bin.tmp-" in n]
            if writing:
                break
            assert time.monotonic() < deadline and run.is_alive()
            time.sleep(0.005)
        victim = int(writing[0].split(".tmp-")[1].split("-")[0])
        os.kill(victim, signal.SIGKILL)
        run.join(timeout=120)
        assert not run.is_alive() and outcome
    assert not [n for n in os.listdir(out) if ".tmp-" in n]
    assert files_of(out) == files_of(local)


def test_dask_carries_the_end_of_unit_id_and_the_unknown_counts(model, client, tmp_path):
    with_eot = model.add_special(["<eot>"])
    inputs = [SAMPLE]
    local, remote = tmp_path / "local", tmp_path / "dask"
    encode_corpus(with_eot, inputs, local, workers=2, shard_bytes=200_000, eos="<eot>")
    shards = selvane_dask.encode_corpus(with_eot, inputs, remote, client=client, shard_bytes=200_000, eos="<eot>")
    assert files_of(remote) == files_of(local)
    assert shards.eos_id == with_eot.special_tokens["<eot>"] == model.num_ids
    assert all(int(unit[-1]) == shards.eos_id for unit in shards)
    # The model saw only the first 300 kB: the rest holds clusters it does not know.
    assert shards.meta["unknown_clusters"] > 0
