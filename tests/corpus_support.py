"""What the corpus tests share: the bundled sample and a model trained on it."""

from __future__ import annotations

import os
import pathlib

import selvane

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "data" / "sample" / "tashkeela-msa-excerpt.txt"


def train_sample_model(work: pathlib.Path) -> pathlib.Path:
    """Trains a model on the first 300 kB of the sample in `work` (training
    writes "tokenizer" into the current directory) and returns its path."""
    (work / "empty.model").write_bytes(bytes(24))
    (work / "train.txt").write_bytes(SAMPLE.read_bytes()[:300_000])
    here = os.getcwd()
    os.chdir(work)
    try:
        selvane.load_from_file("empty.model").train("train.txt", False, "train.log")
    finally:
        os.chdir(here)
    return work / "tokenizer"


def write_tiny_shards(out: pathlib.Path, count: int) -> pathlib.Path:
    """A finished output of `count` shards of one unit of one id each (id k
    mod 65,536 in shard k), over an input of `count` bytes written beside
    `out`; meta.json by the writer's own `write_meta`. Returns `out`."""
    from selvane_tools.shards import ShardResult, ShardTask, write_meta
    from selvane_tools.units import parse_unit

    source = out.parent / (out.name + ".input")
    source.write_bytes(b"\n" * count)
    out.mkdir()
    unit = parse_unit("line")
    tasks, results = [], []
    for k in range(count):
        name = f"00000-{k:06d}"
        for ext, data in ((".bin", (k % 65536).to_bytes(2, "little")), (".idx", bytes(8) + (1).to_bytes(8, "little"))):
            fd = os.open(out / (name + ext), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            os.write(fd, data)
            os.close(fd)
        tasks.append(ShardTask(name, 0, str(source), count, k, k + 1, unit))
        results.append(ShardResult(name, 1, 1))
    write_meta(out, "0" * 64, unit, tasks, results)
    return out
