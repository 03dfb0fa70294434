"""The encoding rule through corpus encoding and the command line: shards
written through the engine in batches, the rule in meta.json, `selvane eval`."""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys
from array import array

import pytest

import selvane
from corpus_support import SAMPLE, train_sample_model
from selvane_tools import Model, SelvaneError, encode_corpus, read_shards
from selvane_tools import shards as shards_module
from selvane_tools.shards import claim_output, encode_shard, plan_shards
from selvane_tools.units import iter_units, parse_unit


@pytest.fixture(scope="module")
def model_path(tmp_path_factory):
    return train_sample_model(tmp_path_factory.mktemp("model"))


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """The sample, a JSON-lines copy of its first lines, and a file of awkward
    units (empty lines, \\r\\n, an unknown cluster, no final newline)."""
    work = tmp_path_factory.mktemp("inputs")
    lines = SAMPLE.read_text(encoding="utf-8").splitlines()[:400]
    jsonl = work / "sample.jsonl"
    jsonl.write_text("".join(json.dumps({"text": line}, ensure_ascii=False) + "\n" for line in lines),
                     encoding="utf-8")
    edge = work / "edge.txt"
    edge.write_bytes(b"\r\n\n" + "كتب \u2603 ".encode() * 3000 + b"\n\n\nlast")
    return SAMPLE, jsonl, edge


def cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "selvane_tools.cli", *args], capture_output=True, text=True)


def expected_files(units: list[list[int]]) -> tuple[bytes, bytes]:
    """The .bin and .idx of one shard holding `units`, built by hand."""
    ids, offsets = array("H"), array("Q", [0])
    for unit in units:
        ids.extend(unit)
        offsets.append(len(ids))
    if sys.byteorder == "big":
        ids.byteswap()
        offsets.byteswap()
    return ids.tobytes(), offsets.tobytes()


@pytest.mark.parametrize("unit", ["line", "paragraph", "file", "jsonl:text"])
def test_shards_hold_exactly_each_rules_per_unit_ids(model_path, inputs, tmp_path, unit):
    # One shard per input, so that each file can be rebuilt from the units:
    # frequency from the extension itself, rank from Model.encode.
    paths = [inputs[1]] if unit.startswith("jsonl") else [inputs[0], inputs[2]]
    data = selvane.load_from_file(str(model_path))
    model = Model(model_path)
    for rule in ("frequency", "rank"):
        out = tmp_path / rule
        shards = encode_corpus(model, paths, out, unit=unit, rule=rule, workers=1, shard_bytes=1 << 30,
                               progress=False)
        assert shards.rule == rule and json.loads((out / "meta.json").read_text())["rule"] == rule
        for index, path in enumerate(paths):
            with open(path, "rb") as f:
                texts = list(iter_units(f, parse_unit(unit)))
            encode = data.encode if rule == "frequency" else (lambda text: model.encode(text, rule="rank"))
            bin_bytes, idx_bytes = expected_files([encode(text) for text in texts])
            assert (out / f"{index:05d}-000000.bin").read_bytes() == bin_bytes
            assert (out / f"{index:05d}-000000.idx").read_bytes() == idx_bytes


def test_batch_boundaries_do_not_change_a_shard(model_path, inputs, tmp_path, monkeypatch):
    # Many small batches must give the files of one: the offsets of each
    # batch are moved past the ids already written.
    model = Model(model_path)
    tasks = plan_shards([inputs[2], inputs[0]], "line", 200_000, "rank")
    written = {}
    for label, units, chars in (("whole", 1 << 30, 1 << 30), ("units", 7, 1 << 30), ("chars", 1 << 30, 500)):
        monkeypatch.setattr(shards_module, "_BATCH_UNITS", units)
        monkeypatch.setattr(shards_module, "_BATCH_CHARS", chars)
        out = tmp_path / label
        with claim_output(out):
            reported = []
            results = [encode_shard(model, task, out, reported.append) for task in tasks]
        assert sum(reported) == sum(task.end - task.start for task in tasks)
        written[label] = ({p.name: p.read_bytes() for p in out.glob("*-*")}, results)
    assert written["whole"] == written["units"] == written["chars"]


def test_rank_shards_do_not_depend_on_the_number_of_workers(model_path, inputs, tmp_path):
    outputs = []
    for workers in (1, 2):
        out = tmp_path / f"j{workers}"
        done = cli("encode", "-m", str(model_path), str(inputs[0]), str(inputs[2]), "--format", "bin",
                   "-o", str(out), "-j", str(workers), "--shard-size", "100000", "--rule", "rank", "-q")
        assert done.returncode == 0, done.stderr
        outputs.append({p.name: p.read_bytes() for p in sorted(out.iterdir())})
    assert outputs[0] == outputs[1]
    assert len([name for name in outputs[0] if name.endswith(".bin")]) > 2


def test_meta_rule_defaults_and_is_checked(model_path, inputs, tmp_path):
    out = tmp_path / "out"
    encode_corpus(model_path, [inputs[2]], out, workers=1, progress=False)
    meta = json.loads((out / "meta.json").read_text())
    assert meta["rule"] == "frequency"
    # An output written before the rule was recorded.
    del meta["rule"]
    (out / "meta.json").write_text(json.dumps(meta))
    assert read_shards(out).rule == "frequency"
    for bad in ("bpe", 1, None):
        meta["rule"] = bad
        (out / "meta.json").write_text(json.dumps(meta))
        with pytest.raises(SelvaneError, match="'rule' is"):
            read_shards(out)
    with pytest.raises(SelvaneError, match="unknown rule 'bpe'"):
        encode_corpus(model_path, [inputs[2]], tmp_path / "bad", rule="bpe", workers=1)
    assert not (tmp_path / "bad").exists()


def test_text_encode_and_show_follow_the_rule(model_path, inputs):
    model = Model(model_path)
    with open(inputs[2], "rb") as f:
        texts = list(iter_units(f, parse_unit("line")))
    for rule in ("frequency", "rank"):
        expected = "".join(" ".join(map(str, model.encode(t, rule=rule))) + "\n" for t in texts)
        # One unit at a time, and in batches on the engine's threads.
        for jobs in ([], ["-j", "1"], ["-j", "2"]):
            done = cli("encode", "-m", str(model_path), str(inputs[2]), str(inputs[2]), "--rule", rule, *jobs)
            assert done.returncode == 0, done.stderr
            assert done.stdout == expected * 2
    bad_jobs = cli("encode", "-m", str(model_path), str(inputs[2]), "-j", "0")
    assert bad_jobs.returncode == 1 and "-j must be at least 1" in bad_jobs.stderr
    text = "بِسْمِ اللَّهِ الرَّحْمَنِ الرَّحِيمِ بسم الله"
    shown = cli("show", "-m", str(model_path), "--rule", "rank", text)
    assert shown.returncode == 0 and f"ids     {' '.join(map(str, model.encode(text, rule='rank')))}\n" in shown.stdout
    for command in (["encode", str(inputs[2])], ["show", "x"], ["eval", str(inputs[2])]):
        bad = cli(command[0], "-m", str(model_path), *command[1:], "--rule", "bpe")
        assert bad.returncode == 2 and "invalid choice: 'bpe'" in bad.stderr


def test_eval_counts_units_characters_tokens_and_unknown_clusters(model_path, inputs, tmp_path):
    model = Model(model_path)
    small = tmp_path / "small.txt"
    small.write_text("كتب \u2603\u2603\nقرأ\n", encoding="utf-8")
    done = cli("eval", "-m", str(model_path), str(small), str(inputs[2]), "--rule", "both", "-j", "2")
    assert done.returncode == 0, done.stderr
    header, first, second, total = [line.split() for line in done.stdout.splitlines()]
    assert header == ["file", "units", "characters", "frequency", "tokens/1k", "rank", "tokens/1k", "unknown",
                      "unknown/1k"]

    def row(paths: list[pathlib.Path], name: str) -> list[str]:
        texts = [t for p in paths for t in iter_units(open(p, "rb"), parse_unit("line"))]
        chars = sum(map(len, texts))
        counts = [sum(len(model.encode(t, rule=rule)) for t in texts) for rule in ("frequency", "rank")]
        unknown = sum(model.encode(t).count(0) for t in texts)
        return [name, f"{len(texts):,}", f"{chars:,}", *(f"{c * 1000 / chars:.1f}" for c in counts),
                f"{unknown:,}", f"{unknown * 1000 / chars:.1f}"]

    assert first == row([small], str(small))
    assert first[-2] == "2"  # the two snowmen, unknown to an Arabic model
    assert second == row([inputs[2]], str(inputs[2]))
    assert total == row([small, inputs[2]], "total")
    one = cli("eval", "-m", str(model_path), str(small), "--rule", "rank")
    assert one.returncode == 0 and len(one.stdout.splitlines()) == 2 and "frequency" not in one.stdout
