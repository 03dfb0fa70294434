"""The measuring parts of bench/peers.py that its figures depend on: the peak
memory of a child, the cut of the training input for the peers and the
encoding texts. The peers themselves are not needed."""

import importlib.util
import json
import pathlib

import pytest

PEERS_PY = pathlib.Path(__file__).resolve().parent.parent / "bench" / "peers.py"


@pytest.fixture(scope="module")
def peers():
    spec = importlib.util.spec_from_file_location("bench_peers", PEERS_PY)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_child_peak_memory_is_its_own(peers, tmp_path):
    # A child forked straight from a parent holding 300 MiB would report at
    # least that much; the launcher keeps the figure to the child's own.
    ballast = bytearray(300 * 1024 * 1024)
    ballast[:: 4096] = b"x" * len(ballast[:: 4096])
    result, peak_kib, _ = peers.run_child(tmp_path / "child", ["baseline", "selvane"], 1)
    assert 4 * 1024 < peak_kib < 100 * 1024
    assert abs(peak_kib - result["vm_hwm_kib"]) < 4 * 1024
    del ballast


def test_child_in_own_directory_with_console_captured(peers, tmp_path):
    # selvane writes "tokenizer" into its current directory and prints on
    # fd 1: both must stay in the child's directory.
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("كتب الكاتب كتابا " * 400, encoding="utf-8")
    out = tmp_path / "models"
    out.mkdir()
    trainer = peers.Trainer(tmp_path, 1)
    result = trainer.once("selvane", corpus, 0, out)
    assert result["merges"] > 0
    assert (out / "selvane.model").stat().st_size > 0
    console = (tmp_path / "train-1" / "console.txt").read_text(encoding="utf-8")
    assert console.startswith("Just Started\n")
    assert console.count("Token ") == result["merges"]
    assert (tmp_path / "train-1" / "tokenizer").exists()
    assert not (tmp_path / "tokenizer").exists()


def test_peer_input_drops_only_a_cut_last_character(peers, tmp_path):
    whole = "سلام عليكم".encode("utf-8")
    exact, for_peers, dropped = peers.peer_input(tmp_path, "cut", whole[:-1])
    assert exact.read_bytes() == whole[:-1]
    assert for_peers.read_bytes() == whole[:-2]
    assert dropped == 1
    exact, for_peers, dropped = peers.peer_input(tmp_path, "whole", whole)
    assert for_peers.read_bytes() == whole and dropped == 0


def test_encode_texts(peers):
    text = ("قصير. " + "هذه جملة طويلة بما يكفي للقياس؟ وهذه أخرى مثلها تماما!\n") * 40000
    texts = peers.encode_texts(text, 50, 2)
    assert len(texts["sentences"]) == 50
    assert all(20 <= len(s) <= 2000 and s == s.strip() for s in texts["sentences"])
    assert "قصير." not in texts["sentences"]
    docs = texts["documents"]
    assert len(docs) == 2
    for doc in docs:
        size = len(doc.encode("utf-8"))
        assert 999_000 < size <= 1_000_000 and doc.endswith(" ")
    # Consecutive pieces, nothing lost between them.
    assert text.startswith(docs[0] + docs[1])


def test_training_runs_interleave_the_tokenizers(peers, tmp_path):
    # Round after round every tokenizer once, selvane first: a slow spell of
    # a shared machine then falls on all of them alike.
    calls = []

    class Recorder:
        def once(self, peer, corpus, vocab, out):
            calls.append(peer)
            return {"seconds": 1.0 + len(calls), "peak_kib": 1024, "merges": 7, "vocab": 9}

        def matching(self, peer, corpus, merges, vocab, out):
            calls.append(peer)
            assert merges == 7
            return {"seconds": 2.0, "peak_kib": 2048, "merges": merges}, vocab + 1

    names = ["selvane", "tokenizers", "sentencepiece"]
    section, _ = peers.train_section(Recorder(), tmp_path, "tiny", "نص قصير".encode(), 5, names)
    assert calls == names * 5
    assert section["merges"] == 7
    assert {name: r["runs"] for name, r in section["results"].items()} == dict.fromkeys(names, 5)
    # The vocabulary size found in one round carries over to the next.
    assert section["results"]["tokenizers"]["vocab_size"] == (
        peers.vocab_guess("tokenizers", "نص قصير", 7) + 5)
    assert section["results"]["selvane"]["seconds"] == 8.0


def test_all_corpora_cuts_the_concatenation(peers, tmp_path, monkeypatch):
    for name, text in (("b", b"BBBB"), ("a", b"AA")):
        (tmp_path / name).mkdir()
        (tmp_path / name / f"{name}.txt").write_bytes(text)
    (tmp_path / "a" / "README.md").write_bytes(b"not text")
    monkeypatch.setattr(peers, "CORPORA", tmp_path)
    assert peers.all_corpora(5) == b"AABBB"
    assert peers.all_corpora(8) == b"AABBBBAA"


def test_encoding_children_of_both_rules_share_the_model(peers, tmp_path):
    # The rank row encodes with the model the frequency row trained: same
    # texts, the ids of Model.encode(rule="rank"), every known sentence
    # decoding back whole.
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("كتب الكاتب كتابا جميلا في المكتبة. " * 600, encoding="utf-8")
    models = tmp_path / "models"
    models.mkdir()
    peers.Trainer(tmp_path, 1).once("selvane", corpus, 0, models)
    sentences = ["كتب الكاتب كتابا جميلا", "في المكتبة كتب الكاتب"]
    texts = tmp_path / "texts.json"
    texts.write_text(json.dumps({"sentences": sentences, "documents": [" ".join(sentences * 50)]},
                                ensure_ascii=False), encoding="utf-8")
    counts = {}
    for row in ("selvane", peers.RANK):
        result, _, _ = peers.run_child(tmp_path / row.replace(" ", "-"),
                                       ["encode", row, str(models), str(texts), "1"], 1)
        assert result["round_trip_failures"] == 0
        counts[row] = (result["sentences"]["tokens"], result["documents"]["tokens"])
    from selvane_tools import Model

    model = Model(models / "selvane.model")
    assert counts[peers.RANK] == (
        sum(len(model.encode(s, rule="rank")) for s in sentences),
        len(model.encode(" ".join(sentences * 50), rule="rank")))
    assert counts[peers.RANK][1] < counts["selvane"][1]
    assert peers.encoding_rows(["selvane", "tokenizers"]) == ["selvane", peers.RANK, "tokenizers"]
