"""Shards of token ids: byte-range units against the whole-input splitter,
the files written, and reading them back."""

from __future__ import annotations

import io
import json
import os
import pathlib

import numpy
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corpus_support import SAMPLE, train_sample_model
from selvane_tools import Model, SelvaneError, read_shards
from selvane_tools.shards import claim_output, encode_shard, plan_shards, write_meta
from selvane_tools.units import iter_range_units, iter_units, parse_unit

EXAMPLES = int(os.environ.get("SELVANE_HYPOTHESIS_EXAMPLES", "100"))


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    return Model(train_sample_model(tmp_path_factory.mktemp("model")))


def range_units(data: bytes, unit: str, step: int) -> list[str]:
    """The units of `data` taken range by range, `step` bytes each."""
    f = io.BytesIO(data)
    texts = []
    for start in range(0, max(len(data), 1), step):
        end = min(start + step, len(data))
        texts += [text for _, text in iter_range_units(f, len(data), start, end, parse_unit(unit), "in")]
    return texts


def whole_units(data: bytes, unit: str) -> list[str]:
    return list(iter_units(io.BytesIO(data), parse_unit(unit)))


# ---------------------------------------------------------------------------
# Byte ranges give the units of the whole input, once each, in order

PIECES = [b"a", b"b ", b"\n", b"\r", b"\r\n", b" ", b"\t", b"\xd9\x85", b"\xd9", b"\xff", b"\xc2\xa0", b"\n\n", b"\xe2\x80\xa8"]


@settings(max_examples=EXAMPLES * 3, deadline=None)
@given(st.lists(st.sampled_from(PIECES), max_size=40), st.integers(1, 12), st.sampled_from(["line", "paragraph"]))
def test_ranges_give_the_units_of_the_whole_input(pieces, step, unit):
    data = b"".join(pieces)
    assert range_units(data, unit, step) == whole_units(data, unit)


@pytest.mark.parametrize("unit", ["line", "paragraph", "file", "jsonl:text"])
def test_ranges_on_edge_cases(unit):
    cases = [
        b"",
        b"\n",
        b"\n\n\n",
        b"one\r\ntwo\r\n\r\nthree",
        b"no newline at the end",
        b"  \n\t\n" + "\u00a0\u2028".encode() + b"\npara\n",
        b"x" * 50 + b"\n" + b"y" * 3 + b"\n\n" + b"z" * 40,
        b"\xff\xfe bad \xd9\n\xd9\x85\xd9",
    ]
    if unit.startswith("jsonl"):
        cases = [b"", b'{"text": "a"}\n\n  \n{"text": "' + b"b" * 40 + b'", "n": 1}\r\n{"text": ""}']
    for data in cases:
        for step in (1, 2, 5, 17, 64, 1000):
            assert range_units(data, unit, step) == whole_units(data, unit), (data, step)


def test_jsonl_error_names_input_and_line_in_a_later_range():
    data = b'{"text": "a"}\n{"text": "b"}\n\n{"text": 3}\n'
    f = io.BytesIO(data)
    with pytest.raises(SelvaneError, match=r"^corpus.jsonl:4: field 'text' is not a string"):
        list(iter_range_units(f, len(data), 20, len(data), parse_unit("jsonl:text"), "corpus.jsonl"))


# ---------------------------------------------------------------------------
# Files written by encode_shard and read by read_shards


def encode_in_process(model, inputs, out, unit="line", shard_bytes=1 << 20):
    tasks = plan_shards(inputs, unit, shard_bytes)
    with claim_output(out):
        results = [encode_shard(model, task, out) for task in tasks]
        write_meta(out, model.sha256, unit, tasks, results)
    return tasks


def test_every_unit_is_the_extension_encode_of_it(model, tmp_path):
    edge = tmp_path / "edge.txt"
    edge.write_bytes(
        b"\n\xd9\x83\xd8\xaa\xd8\xa8\r\n\r\n" + "كتب الكاتب ".encode() * 300 + b"\n\xff\xd9\n last"
    )
    empty = tmp_path / "empty.txt"
    empty.write_bytes(b"")
    inputs = [SAMPLE, empty, edge]
    for unit in ("line", "paragraph", "file"):
        out = tmp_path / f"out-{unit}"
        # 2,000-byte ranges: the long line of edge.txt spans two of them.
        tasks = encode_in_process(model, inputs, out, unit, 2000)
        shards = read_shards(out, model=model)
        expected = [t for path in inputs for t in whole_units(pathlib.Path(path).read_bytes(), unit)]
        assert len(shards) == len(expected) == shards.meta["units"]
        assert [list(ids) for ids in shards] == [model.data.encode(t) for t in expected]
        assert shards.meta["bytes"] == sum(os.path.getsize(p) for p in inputs)
        assert len(shards.meta["shards"]) == len(tasks)
        # The files are plain little-endian arrays: uint16 ids, uint64 offsets.
        first = out / (tasks[0].name + ".bin")
        raw = numpy.fromfile(first, dtype="<u2")
        offsets = numpy.fromfile(out / (tasks[0].name + ".idx"), dtype="<u8")
        assert offsets[0] == 0 and offsets[-1] == len(raw)
        assert list(raw[offsets[0] : offsets[1]]) == list(shards[0])


def test_read_shards_views(model, tmp_path):
    out = tmp_path / "out"
    encode_in_process(model, [SAMPLE], out, "line", 100_000)
    shards = read_shards(out)
    assert len(shards.ids_by_shard()) == shards.num_shards == 10
    units = [numpy.asarray(ids) for ids in shards]
    flat = numpy.concatenate(units)
    assert shards.ids[:].dtype == numpy.dtype("<u2")
    assert numpy.array_equal(numpy.asarray(shards.ids), flat)
    assert len(shards.ids) == shards.meta["ids"] == len(flat)
    # Slices and indexes across shard boundaries, from both ends.
    bounds = numpy.cumsum([len(b) for b in shards.ids_by_shard()])
    for cut in bounds[:3]:
        assert numpy.array_equal(shards.ids[cut - 5 : cut + 5], flat[cut - 5 : cut + 5])
        assert shards.ids[int(cut)] == flat[cut]
    assert shards.ids[-1] == flat[-1] and numpy.array_equal(shards.ids[-7:], flat[-7:])
    assert numpy.array_equal(shards[-1], units[-1])
    with pytest.raises(IndexError):
        shards[len(shards)]


def test_read_shards_refuses_what_it_cannot_trust(model, tmp_path):
    out = tmp_path / "out"
    tasks = encode_in_process(model, [SAMPLE], out, "line", 400_000)
    assert read_shards(out, model=model.sha256).model_sha256 == model.sha256
    other = Model.from_bytes(bytes(24))
    with pytest.raises(SelvaneError, match="encoded with the model of sha256 " + model.sha256):
        read_shards(out, model=other)
    # A shard cut short (a copy that stopped half way) is named.
    bin_path = out / (tasks[1].name + ".bin")
    bin_path.write_bytes(bin_path.read_bytes()[:-2])
    with pytest.raises(SelvaneError, match=tasks[1].name + r".bin: \d+ bytes, meta.json says"):
        read_shards(out)
    (out / "meta.json").unlink()
    with pytest.raises(SelvaneError, match="no meta.json: not a finished output"):
        read_shards(out)


def test_meta_json_describes_the_run(model, tmp_path):
    out = tmp_path / "out"
    encode_in_process(model, [SAMPLE, SAMPLE], out, "line", 600_000)
    meta = json.loads((out / "meta.json").read_text())
    size = SAMPLE.stat().st_size
    assert meta["inputs"] == [{"path": str(SAMPLE), "size": size}] * 2
    assert [(s["input"], s["start"], s["end"]) for s in meta["shards"]] == [
        (0, 0, 600_000), (0, 600_000, size), (1, 0, 600_000), (1, 600_000, size)
    ]
    assert meta["units"] == 2 * len(whole_units(SAMPLE.read_bytes(), "line"))
    assert meta["model_sha256"] == model.sha256 and meta["unit"] == "line"
