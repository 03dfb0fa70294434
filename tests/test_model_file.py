"""Model files as maps: reading and sorted writing, cut, special and byte
tokens, and the init, cut and add-special commands."""

from __future__ import annotations

import pathlib
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import selvane
from selvane_tools import Model, SelvaneError, new_model, train
from selvane_tools.model_file import (
    ModelMaps,
    add_special_maps,
    byte_fallback_start,
    initial_maps,
    read_maps,
    special_tokens,
    write_maps,
)

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "data" / "sample" / "tashkeela-msa-excerpt.txt"
SELVANE = pathlib.Path(sys.executable).parent / "selvane"
LINES = SAMPLE.read_text(encoding="utf-8").splitlines()[:200]


def cli(*args: object, cwd: pathlib.Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(SELVANE), *map(str, args)], cwd=cwd, capture_output=True, text=True)


def data_train(model_path: pathlib.Path, corpus: pathlib.Path, work: pathlib.Path) -> bytes:
    """The model that `Data.train` saves when it continues `model_path` on `corpus`."""
    work.mkdir(exist_ok=True)
    saved = subprocess.run(
        [sys.executable, "-c", "import selvane, sys; m = selvane.load_from_file(sys.argv[1]); "
         "m.train(sys.argv[2], False, 'log.txt')", str(model_path), str(corpus)],
        capture_output=True, cwd=work, timeout=300)
    assert saved.returncode == 0, saved.stderr
    return (work / "tokenizer").read_bytes()


@pytest.fixture(scope="module")
def trained(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """A model of three training calls on real text, the way training writes it."""
    work = tmp_path_factory.mktemp("trained")
    text = SAMPLE.read_bytes()
    parts = []
    for index, (start, end) in enumerate(((0, 330_000), (330_000, 660_000), (660_000, len(text)))):
        piece = text[start:end]
        # Cut at line ends, so no UTF-8 sequence is split.
        part = work / f"part{index}.txt"
        part.write_bytes(piece[: piece.rfind(b"\n") + 1] if end < len(text) else piece)
        parts.append(part)
    path = work / "sample.model"
    train(parts, path, progress=False)
    return path


# --- reading and writing ------------------------------------------------------


def test_sorted_rewrite_is_the_same_model(trained: pathlib.Path, tmp_path: pathlib.Path) -> None:
    raw = trained.read_bytes()
    maps = read_maps(raw)
    rewritten = write_maps(maps)
    assert len(rewritten) == len(raw) and read_maps(rewritten) == maps
    assert write_maps(read_maps(rewritten)) == rewritten
    (tmp_path / "sorted.model").write_bytes(rewritten)
    original, copy = selvane.load_from_file(str(trained)), selvane.load_from_file(str(tmp_path / "sorted.model"))
    assert sorted(copy.vocab()) == sorted(original.vocab())
    assert [copy.encode(line) for line in LINES] == [original.encode(line) for line in LINES]


def test_reader_refuses_broken_files_and_ignores_trailing_bytes() -> None:
    maps = ModelMaps({0: b"", 1: b"a"}, {(1, 1): 2}, {b"oov": 0, b"a": 1})
    data = write_maps(maps)
    assert read_maps(data + b"trailing") == maps
    for broken in (data[:-1], data[:30], bytes(23), data.replace(b"a\x01\x00", b"\xff\x01\x00")):
        with pytest.raises(SelvaneError):
            read_maps(broken)


# --- cut ------------------------------------------------------------------------


def test_cut_keeps_the_first_ids_and_training_continues_it(trained: pathlib.Path, tmp_path: pathlib.Path) -> None:
    model = Model(trained)
    n = model.num_ids - 500
    cut = model.cut(n)
    assert cut.num_ids == n and sorted(cut.vocab()) == list(range(n))
    maps = read_maps(cut.model_bytes)
    assert all(merged < n and first < n and second < n for (first, second), merged in maps.merges.items())
    assert all(token < n for token in maps.unicode_lookup.values())
    full = read_maps(model.model_bytes)
    assert {token: full.lookup[token] for token in range(n)} == maps.lookup
    # Deterministic, and a cut of a cut is the smaller cut.
    assert model.cut(n).model_bytes == cut.model_bytes
    assert cut.cut(n // 2).model_bytes == model.cut(n // 2).model_bytes
    assert model.cut(65536).num_ids == model.num_ids
    for impossible in (0, 65537):
        with pytest.raises(SelvaneError, match="between 1 and 65,536"):
            model.cut(impossible)
    for rule in ("frequency", "rank"):
        assert all(token < n for line in LINES for token in cut.encode(line, rule=rule))
    # Training continues it from id n on.
    cut.save(tmp_path / "cut.model")
    more = read_maps(data_train(tmp_path / "cut.model", SAMPLE, tmp_path / "work"))
    assert {token: more.lookup[token] for token in range(n)} == maps.lookup
    assert sorted(more.lookup) == list(range(len(more.lookup))) and len(more.lookup) > n


# --- special and byte tokens ----------------------------------------------------


def test_initial_model_layout_and_what_is_recognised() -> None:
    maps = initial_maps(["<|endoftext|>", "<pad>"], byte_fallback=True)
    assert maps.lookup[0] == b"" and maps.unicode_lookup == {b"oov": 0} and not maps.merges
    assert (maps.lookup[1], maps.lookup[2]) == (b"<|endoftext|>", b"<pad>")
    assert [maps.lookup[3 + value] for value in range(256)] == [bytes([value]) for value in range(256)]
    assert len(maps.lookup) == 259
    assert special_tokens(maps) == {"<|endoftext|>": 1, "<pad>": 2}
    assert byte_fallback_start(maps) == 3
    plain = initial_maps(["a"])
    assert byte_fallback_start(plain) is None and special_tokens(plain) == {"a": 1}
    # Bytes that a cluster produces are not byte tokens, nor special tokens.
    clusters = ModelMaps({0: b"", 1: b"x", **{2 + v: bytes([v]) for v in range(256)}}, {}, {b"oov": 0, b"\x00": 2})
    assert byte_fallback_start(clusters) is None and "x" in special_tokens(clusters) and "\x01" in special_tokens(clusters)
    trained_like = ModelMaps({0: b"", 1: b"a", 2: b"aa", 3: b"\xff"}, {(1, 1): 2}, {b"oov": 0, b"a": 1})
    assert special_tokens(trained_like) == {} and byte_fallback_start(trained_like) is None


@settings(max_examples=150, deadline=None)
@given(st.data())
def test_the_companion_and_the_engine_recognise_the_same_tokens(data: st.DataObject) -> None:
    # `add-special` and `info` classify in Python, encoding in the engine:
    # both must agree on which ids are special and where the bytes start.
    lookup: dict[int, bytes] = {0: b""}
    unicode_lookup = {b"oov": 0}
    merges: dict[tuple[int, int], int] = {}
    for _ in range(data.draw(st.integers(0, 6))):
        kind = data.draw(st.sampled_from(["special", "cluster", "merge", "bytes", "broken bytes", "raw"]))
        token = max(lookup) + 1 + data.draw(st.integers(0, 2))  # sometimes a gap
        if kind in ("bytes", "broken bytes"):
            values = [bytes([value]) for value in range(256)]
            if kind == "broken bytes":
                values[data.draw(st.integers(0, 255))] = b"?"
            lookup.update({token + value: raw for value, raw in enumerate(values)})
            if data.draw(st.booleans()):  # a cluster claims one of them
                value = data.draw(st.integers(0, 127))  # cluster keys are UTF-8
                unicode_lookup[values[value]] = token + value
        elif kind == "raw":
            lookup[token] = data.draw(st.binary(max_size=3))
        else:
            text = data.draw(st.text(alphabet="ab<|>\u0628", min_size=1, max_size=4)).encode()
            lookup[token] = text
            if kind == "cluster":
                unicode_lookup[text] = token
            elif kind == "merge":
                merges[(token - 1, token - 1)] = token
    maps = ModelMaps(lookup, merges, unicode_lookup)
    model = Model.from_bytes(write_maps(maps))
    assert model.special_tokens == special_tokens(maps)
    assert model.has_byte_fallback == (byte_fallback_start(maps) is not None)


def test_add_special_appends_and_refuses() -> None:
    maps = ModelMaps({0: b"", 1: b"a", 2: b"aa"}, {(1, 1): 2}, {b"oov": 0, b"a": 1})
    added = add_special_maps(maps, ["<eot>", "<pad>"])
    assert (added.lookup[3], added.lookup[4]) == (b"<eot>", b"<pad>") and special_tokens(added) == {"<eot>": 3, "<pad>": 4}
    assert len(maps.lookup) == 3  # the input is left as it was
    for tokens, message in ((["<eot>"], "already"), (["x", "x"], "twice"), ([""], "empty"),
                            ("<eot>", "not one string"), (["\ud800"], "not valid Unicode")):
        with pytest.raises(SelvaneError, match=message):
            add_special_maps(added, tokens)
    # An empty model gets the entry of unknown clusters first, as init gives it.
    assert add_special_maps(ModelMaps(), ["<eot>"]) == initial_maps(["<eot>"])
    full = ModelMaps({token: b"t%d" % token for token in range(65535)}, {}, {})
    with pytest.raises(SelvaneError, match="65,536 ids"):
        add_special_maps(full, ["a", "b"])


def test_special_tokens_keep_their_ids_through_training(tmp_path: pathlib.Path) -> None:
    new_model(tmp_path / "init.model", special=["<|endoftext|>", "<pad>"], byte_fallback=True)
    start = read_maps((tmp_path / "init.model").read_bytes())
    text = SAMPLE.read_bytes()
    (tmp_path / "a.txt").write_bytes(text[:400_000])
    (tmp_path / "b.txt").write_bytes(text[400_000:])
    train([tmp_path / "a.txt", tmp_path / "b.txt"], tmp_path / "out.model", init=tmp_path / "init.model",
          progress=False)
    after = read_maps((tmp_path / "out.model").read_bytes())
    assert {token: after.lookup[token] for token in start.lookup} == start.lookup
    assert special_tokens(after) == {"<|endoftext|>": 1, "<pad>": 2} and byte_fallback_start(after) == 3
    # Training's own ids come after them, with no gap.
    assert min(after.unicode_lookup[key] for key in after.unicode_lookup if key != b"oov") == 259
    assert sorted(after.lookup) == list(range(len(after.lookup)))


# --- the Model methods and the commands --------------------------------------------


def test_save_does_not_overwrite_unless_asked(trained: pathlib.Path, tmp_path: pathlib.Path) -> None:
    model = Model(trained).cut(300)
    (tmp_path / "m.model").write_bytes(b"keep")
    with pytest.raises(SelvaneError, match="exists already"):
        model.save(tmp_path / "m.model")
    assert (tmp_path / "m.model").read_bytes() == b"keep"
    model.save(tmp_path / "m.model", overwrite=True)
    assert Model(tmp_path / "m.model").model_bytes == model.model_bytes


def test_commands_init_cut_add_special(trained: pathlib.Path, tmp_path: pathlib.Path) -> None:
    done = cli("init", "lm.model", "--special", "<|endoftext|>", "<pad>", "--byte-fallback", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "lm.model").read_bytes() == write_maps(initial_maps(["<|endoftext|>", "<pad>"], True))
    info = cli("info", "lm.model", cwd=tmp_path).stdout
    assert "special  2: 1 <|endoftext|>, 2 <pad>\n" in info and "fallback 256 byte tokens, ids 3 to 258\n" in info
    assert cli("init", "empty.model", cwd=tmp_path).returncode == 0
    assert (tmp_path / "empty.model").read_bytes() == bytes(24)

    done = cli("cut", "-m", trained, "--ids", 400, "-o", "cut.model", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "cut.model").read_bytes() == Model(trained).cut(400).model_bytes

    done = cli("add-special", "-m", "cut.model", "<eot>", "<sep>", "-o", "cut.model", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    model = Model(tmp_path / "cut.model")
    assert model.num_ids == 402 and (model.token_bytes(400), model.token_bytes(401)) == (b"<eot>", b"<sep>")

    refused = cli("add-special", "-m", "cut.model", "<eot>", "-o", "other.model", cwd=tmp_path)
    assert refused.returncode == 1 and refused.stderr.count("\n") == 1 and "already" in refused.stderr
    for ids in (0, 65537):
        refused = cli("cut", "-m", "cut.model", "--ids", ids, "-o", "other.model", cwd=tmp_path)
        assert refused.returncode == 2 and "not a number of ids from 1 to 65,536" in refused.stderr
    assert not (tmp_path / "other.model").exists()
