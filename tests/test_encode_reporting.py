"""What `selvane encode` says about text the model does not know (the count
on standard error, --strict, meta.json), and the end-of-unit id of shards."""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys

import pytest

import selvane
from corpus_support import SAMPLE
from selvane_tools import Model, SelvaneError, UnknownClustersError, encode_corpus, new_model, read_shards, train

EOT = "<|endoftext|>"
# Units with clusters an Arabic model never saw (snowmen, an emoji with a
# skin tone, Devanagari), one without, an empty one, and the end-of-text
# token written out as text, which is ordinary text unless allowed.
UNKNOWN_TEXT = ("كتب \u2603\u2603\n"
                "قرأ الكتاب\n"
                "\n"
                "\U0001f44b\U0001f3fd مرحبا नमस्ते\n"
                f"النص {EOT} انتهى\n")


def cli(*args: object, cwd: pathlib.Path | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "selvane_tools.cli", *map(str, args)], capture_output=True,
                          text=True, cwd=cwd)


def files_of(directory: pathlib.Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir())}


@pytest.fixture(scope="module")
def eot_model(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """A model trained on part of the sample, with the end-of-text token at id 1."""
    work = tmp_path_factory.mktemp("eot")
    new_model(work / "init.model", special=[EOT])
    (work / "train.txt").write_bytes(SAMPLE.read_bytes()[:300_000])
    train([work / "train.txt"], work / "eot.model", init=work / "init.model", progress=False)
    return work / "eot.model"


@pytest.fixture()
def inputs(tmp_path: pathlib.Path) -> list[pathlib.Path]:
    first, second = tmp_path / "unknown.txt", tmp_path / "sample.txt"
    first.write_text(UNKNOWN_TEXT, encoding="utf-8")
    second.write_bytes(SAMPLE.read_bytes()[300_000:400_000])
    return [first, second]


def lines_of(paths: list[pathlib.Path]) -> list[str]:
    """The line units of `paths`, the last one without its newline too."""
    units = []
    for path in paths:
        parts = path.read_text(encoding="utf-8").split("\n")
        units += [part.removesuffix("\r") for part in (parts[:-1] if parts[-1] == "" else parts)]
    return units


def expected_counts(model_path: pathlib.Path, paths: list[pathlib.Path]) -> tuple[int, int]:
    """(unknown clusters, units holding one), from the extension's own ids:
    in a trained model only an unknown cluster gets id 0."""
    data = selvane.load_from_file(str(model_path))
    per_unit = [data.encode(line).count(0) for line in lines_of(paths)]
    return sum(per_unit), sum(1 for count in per_unit if count)


# --- end-of-unit ids ------------------------------------------------------------


def test_eos_ends_every_unit_once_whatever_the_workers(eot_model: pathlib.Path, inputs: list[pathlib.Path],
                                                       tmp_path: pathlib.Path) -> None:
    model = Model(eot_model)
    assert model.special_tokens == {EOT: 1}
    for rule in ("frequency", "rank"):
        plain = encode_corpus(model, inputs, tmp_path / f"plain-{rule}", rule=rule, workers=1, shard_bytes=30_000)
        one = encode_corpus(model, inputs, tmp_path / f"one-{rule}", rule=rule, workers=1, shard_bytes=30_000, eos=EOT)
        done = cli("encode", "-m", eot_model, *inputs, "--format", "bin", "-o", tmp_path / f"two-{rule}", "-j", 2,
                   "--shard-size", 30_000, "--eos", EOT, "--rule", rule, "-q")
        assert done.returncode == 0, done.stderr
        assert files_of(tmp_path / f"two-{rule}") == files_of(tmp_path / f"one-{rule}")
        assert one.eos_id == 1 == one.meta["eos_id"] and plain.eos_id is None and plain.meta["eos_id"] is None
        assert len(one) == len(plain) == plain.meta["units"] and len(one.meta["shards"]) > 2
        for with_eos, without in zip(one, plain):
            with_eos, without = list(map(int, with_eos)), list(map(int, without))
            # Exactly once, at the end: the token's text in the corpus is ordinary text.
            assert with_eos == [*without, 1] and 1 not in without
        assert one.meta["ids"] == plain.meta["ids"] + plain.meta["units"]


def test_eos_must_be_a_special_token_of_the_model(eot_model: pathlib.Path, inputs: list[pathlib.Path],
                                                  tmp_path: pathlib.Path) -> None:
    done = cli("encode", "-m", eot_model, *inputs, "--format", "bin", "-o", tmp_path / "out", "--eos", "<nope>")
    assert done.returncode == 1 and done.stderr.count("\n") == 1 and "'<nope>' is not a special token" in done.stderr
    assert EOT in done.stderr and not (tmp_path / "out").exists()
    with pytest.raises(SelvaneError, match="not a special token"):
        encode_corpus(eot_model, inputs, tmp_path / "out", eos="كتب")
    text = cli("encode", "-m", eot_model, inputs[0], "--eos", EOT)
    assert text.returncode == 1 and "--format bin" in text.stderr and text.stdout == ""


# --- unknown clusters ---------------------------------------------------------------


def test_unknown_clusters_are_counted_in_text_and_bin(eot_model: pathlib.Path, inputs: list[pathlib.Path],
                                                      tmp_path: pathlib.Path) -> None:
    unknown, units = expected_counts(eot_model, inputs)
    assert unknown >= 6 and units >= 2  # the snowmen, the emoji, the Devanagari at least
    line = f"selvane: {unknown} unknown clusters in {units} units"
    data = selvane.load_from_file(str(eot_model))
    lines = lines_of(inputs)
    for jobs in ((), ("-j", 2)):
        done = cli("encode", "-m", eot_model, *inputs, "-o", tmp_path / "ids.txt", *jobs)
        assert done.returncode == 0 and done.stderr.startswith(line) and done.stderr.count("\n") == 1
        assert (tmp_path / "ids.txt").read_text().splitlines() == [" ".join(map(str, data.encode(t))) for t in lines]
    done = cli("encode", "-m", eot_model, *inputs, "--format", "bin", "-o", tmp_path / "bin", "-j", 2,
               "--shard-size", 30_000)
    assert done.returncode == 0 and line in done.stderr
    meta = json.loads((tmp_path / "bin" / "meta.json").read_text())
    assert (meta["unknown_clusters"], meta["units_with_unknown"]) == (unknown, units)
    assert sum(shard["unknown_clusters"] for shard in meta["shards"]) == unknown
    # Known text (some of what the model was trained on): no line at all.
    (tmp_path / "known.txt").write_bytes(SAMPLE.read_bytes()[:50_000])
    quiet = cli("encode", "-m", eot_model, tmp_path / "known.txt", "-o", tmp_path / "known.ids")
    assert quiet.returncode == 0 and quiet.stderr == ""


def test_strict_fails_before_the_output_is_finished(eot_model: pathlib.Path, inputs: list[pathlib.Path],
                                                    tmp_path: pathlib.Path) -> None:
    unknown, units = expected_counts(eot_model, inputs)
    done = cli("encode", "-m", eot_model, *inputs, "-o", tmp_path / "ids.txt", "--strict")
    assert done.returncode == 1 and done.stderr.count("\n") == 1
    assert f"{unknown} unknown clusters in {units} units" in done.stderr and not (tmp_path / "ids.txt").exists()
    to_stdout = cli("encode", "-m", eot_model, *inputs, "--strict")
    assert to_stdout.returncode == 1 and to_stdout.stdout.count("\n") == len(lines_of(inputs))
    done = cli("encode", "-m", eot_model, *inputs, "--format", "bin", "-o", tmp_path / "bin", "--strict", "-q")
    assert done.returncode == 1 and f"{unknown} unknown clusters in {units} units" in done.stderr
    assert not (tmp_path / "bin" / "meta.json").exists()
    with pytest.raises(UnknownClustersError) as caught:
        encode_corpus(eot_model, inputs, tmp_path / "api", strict=True, workers=1)
    assert (caught.value.unknown_clusters, caught.value.units_with_unknown) == (unknown, units)
    assert not (tmp_path / "api" / "meta.json").exists()
    # Nothing unknown: --strict changes nothing.
    (tmp_path / "known.txt").write_bytes(SAMPLE.read_bytes()[:50_000])
    known = cli("encode", "-m", eot_model, tmp_path / "known.txt", "--format", "bin", "-o", tmp_path / "known",
                "--strict", "-q")
    assert known.returncode == 0 and read_shards(tmp_path / "known").meta["unknown_clusters"] == 0


def test_outputs_without_the_new_keys_still_read(eot_model: pathlib.Path, inputs: list[pathlib.Path],
                                                 tmp_path: pathlib.Path) -> None:
    out = tmp_path / "out"
    encode_corpus(eot_model, inputs, out, workers=1, eos=EOT)
    meta_path = out / "meta.json"
    meta = json.loads(meta_path.read_text())
    for key in ("eos_id", "unknown_clusters", "units_with_unknown"):
        del meta[key]
    meta_path.write_text(json.dumps(meta))
    old = read_shards(out)
    assert old.eos_id is None and len(old) == meta["units"]
    for bad in ({"eos_id": 70000}, {"eos_id": "1"}, {"unknown_clusters": -1}, {"units_with_unknown": True}):
        meta_path.write_text(json.dumps({**meta, **bad}))
        with pytest.raises(SelvaneError, match=next(iter(bad))):
            read_shards(out)


def test_eval_counts_unknown_clusters_exactly_with_byte_fallback(tmp_path: pathlib.Path,
                                                                 inputs: list[pathlib.Path]) -> None:
    new_model(tmp_path / "init.model", byte_fallback=True)
    (tmp_path / "train.txt").write_bytes(SAMPLE.read_bytes()[:200_000])
    train([tmp_path / "train.txt"], tmp_path / "bytes.model", init=tmp_path / "init.model", progress=False)
    model = Model(tmp_path / "bytes.model")
    assert model.has_byte_fallback
    expected = model.encode_units(lines_of(inputs[:1])).unknown_clusters
    # No id 0 is left to count: the unknown clusters became byte ids.
    assert expected >= 6 and all(0 not in model.encode(t) for t in UNKNOWN_TEXT.splitlines())
    done = cli("eval", "-m", tmp_path / "bytes.model", inputs[0])
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[1].split()[-2] == str(expected)
    encoded = cli("encode", "-m", tmp_path / "bytes.model", inputs[0])
    assert f"{expected} unknown clusters" in encoded.stderr and "byte tokens" in encoded.stderr
    shown = cli("show", "-m", tmp_path / "bytes.model", "كتب \u2603\u2603")
    assert "2 cluster(s) unknown to the model (spelled out as byte tokens)" in shown.stdout
