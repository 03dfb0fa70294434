"""Training with a vocabulary size (--max-ids) and the refusal of corpora
that are not text."""

from __future__ import annotations

import gzip
import os
import pathlib
import subprocess
import sys

import pytest

import selvane
from selvane_tools import Model, SelvaneError, new_model, train
from selvane_tools.model_file import read_maps, write_maps
from selvane_tools.text_check import not_text_reason

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "data" / "sample" / "tashkeela-msa-excerpt.txt"
SELVANE = pathlib.Path(sys.executable).parent / "selvane"


def cli(*args: object, cwd: pathlib.Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(SELVANE), *map(str, args)], cwd=cwd, capture_output=True, text=True)


@pytest.fixture(scope="module")
def parts(tmp_path_factory: pytest.TempPathFactory) -> list[pathlib.Path]:
    """The sample corpus as three files: three training calls, a chunk each."""
    work = tmp_path_factory.mktemp("parts")
    text = SAMPLE.read_bytes()
    cuts = [0]
    for approximate in (330_000, 660_000):
        cuts.append(text.index(b"\n", approximate) + 1)
    cuts.append(len(text))
    files = []
    for index in range(3):
        path = work / f"part{index}.txt"
        path.write_bytes(text[cuts[index] : cuts[index + 1]])
        files.append(path)
    return files


@pytest.fixture(scope="module")
def unlimited(parts: list[pathlib.Path], tmp_path_factory: pytest.TempPathFactory) -> tuple[pathlib.Path, list[int]]:
    """The model of all three files, and its number of ids after each file
    (one chunk each), from trainings on the first files alone."""
    work = tmp_path_factory.mktemp("unlimited")
    counts = []
    for end in range(1, 4):
        path = work / f"first{end}.model"
        counts.append(train(parts[:end], path, progress=False).ids)
    return path, counts


# --- --max-ids ------------------------------------------------------------------


def test_max_ids_is_the_cut_of_the_unlimited_model(parts: list[pathlib.Path], unlimited: tuple[pathlib.Path, list[int]],
                                                   tmp_path: pathlib.Path) -> None:
    full, counts = unlimited
    assert len(counts) == 3 and counts[0] < counts[1] < counts[2]
    # Reached inside the second chunk: training stops after it.
    n = counts[0] + (counts[1] - counts[0]) // 2
    done = cli("train", *parts, "-o", "limited.model", "--max-ids", n, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "2 chunks" in done.stderr and f"{n:,} ids (--max-ids reached)" in done.stderr
    limited = (tmp_path / "limited.model").read_bytes()
    assert limited == Model(full).cut(n).model_bytes
    summary = train(parts, tmp_path / "api.model", progress=False, max_ids=n)
    assert (tmp_path / "api.model").read_bytes() == limited and (summary.chunks, summary.ids) == (2, n)

    data = selvane.load_from_file(str(tmp_path / "limited.model"))
    assert sorted(data.vocab()) == list(range(n))
    model = Model(tmp_path / "limited.model")
    lines = parts[2].read_text(encoding="utf-8").splitlines()[:300]
    for rule in ("frequency", "rank"):
        assert all(token < n for line in lines for token in model.encode(line, rule=rule))

    # Data.train continues it, handing out ids from n on.
    saved = subprocess.run(
        [sys.executable, "-c", "import selvane, sys; m = selvane.load_from_file(sys.argv[1]); "
         "m.train(sys.argv[2], False, 'log.txt')", str(tmp_path / "limited.model"), str(parts[2])],
        cwd=tmp_path, capture_output=True, timeout=300)
    assert saved.returncode == 0, saved.stderr
    more = read_maps((tmp_path / "tokenizer").read_bytes())
    before = read_maps(limited)
    assert {token: more.lookup[token] for token in before.lookup} == before.lookup
    assert sorted(more.lookup) == list(range(len(more.lookup))) and len(more.lookup) > n


def test_max_ids_beyond_the_corpus_keeps_everything(parts: list[pathlib.Path],
                                                    unlimited: tuple[pathlib.Path, list[int]],
                                                    tmp_path: pathlib.Path) -> None:
    full, counts = unlimited
    summary = train(parts, tmp_path / "big.model", progress=False, max_ids=65536)
    written = (tmp_path / "big.model").read_bytes()
    # The whole model, its entries sorted.
    assert written == write_maps(read_maps(full.read_bytes())) and summary.ids == counts[-1] and summary.chunks == 3


@pytest.mark.parametrize("value", [0, 65537, -5])
def test_max_ids_out_of_range_is_refused_before_anything(parts: list[pathlib.Path], tmp_path: pathlib.Path,
                                                         value: int) -> None:
    with pytest.raises(SelvaneError, match="max_ids"):
        train(parts, tmp_path / "m.model", progress=False, max_ids=value)
    assert os.listdir(tmp_path) == []


def test_a_cut_inside_the_byte_tokens_is_refused(parts: list[pathlib.Path], tmp_path: pathlib.Path) -> None:
    # ids 1-2 special, 3-258 bytes: a cut among the bytes would leave some of
    # them to read as special tokens ("a" emitted for every letter a).
    new_model(tmp_path / "init.model", special=["<s>", "</s>"], byte_fallback=True)
    init = Model(tmp_path / "init.model")
    for n in (4, 100, 258):
        with pytest.raises(SelvaneError, match="byte tokens"):
            init.cut(n)
    assert init.cut(3).special_tokens == {"<s>": 1, "</s>": 2} and not init.cut(3).has_byte_fallback
    assert init.cut(259).has_byte_fallback
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(SelvaneError, match="byte tokens"):
        train(parts, tmp_path / "m.model", init=tmp_path / "init.model", progress=False, max_ids=200)
    assert sorted(os.listdir(tmp_path)) == before


# --- non-text corpora ------------------------------------------------------------


def test_text_check_counts_invalid_bytes_and_nul() -> None:
    arabic = SAMPLE.read_bytes()[:50_000]
    assert not_text_reason(arabic) is None
    assert "NUL byte at offset 3" in (not_text_reason(b"abc\x00def") or "")
    # A stray invalid byte in real text passes; Latin-1 text does not.
    assert not_text_reason(arabic[:20_000] + b"\xff" + arabic[20_000:]) is None
    assert "not valid UTF-8" in (not_text_reason("café au lait ".encode("latin-1") * 100) or "")
    # Just above and just below the 1 % line.
    assert not_text_reason(b"a" * 989 + b"\xff" * 11) is not None
    assert not_text_reason(b"a" * 990 + b"\xff" * 10) is None
    # A sequence cut by the end of the sample counts only when the file ends there.
    cut = b"ab" + "ب".encode()[:1]
    assert not_text_reason(cut, complete=False) is None and not_text_reason(cut) is not None


def test_gzip_corpus_refused_with_nothing_written_unless_insisted(tmp_path: pathlib.Path) -> None:
    (tmp_path / "corpus.txt.gz").write_bytes(gzip.compress(SAMPLE.read_bytes()))
    # Text first, so the refusal is of the second file, still before anything.
    (tmp_path / "a.txt").write_bytes(SAMPLE.read_bytes()[:10_000])
    before = sorted(os.listdir(tmp_path))
    done = cli("train", "a.txt", "corpus.txt.gz", "-o", "m.model", "--log", "train.log", cwd=tmp_path)
    assert done.returncode == 1 and done.stderr.count("\n") == 1
    assert done.stderr.startswith("selvane: error: not UTF-8 text: corpus.txt.gz (")
    assert sorted(os.listdir(tmp_path)) == before
    with pytest.raises(SelvaneError, match="not UTF-8 text"):
        train([tmp_path / "corpus.txt.gz"], tmp_path / "m.model", progress=False)
    assert sorted(os.listdir(tmp_path)) == before

    insisted = cli("train", "corpus.txt.gz", "-o", "m.model", "--allow-binary", "-q", cwd=tmp_path)
    assert insisted.returncode == 0, insisted.stderr
    assert Model(tmp_path / "m.model").num_ids > 0
