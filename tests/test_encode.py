"""encode through the installed module: hand-built models, and round trips
on random texts with hand-built and trained models."""

from __future__ import annotations

import collections
import os
import random
import tempfile

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import selvane
from conftest import EMPTY_MODEL
from conftest import load_model as load
from modelfile import read_model, write_model

EXAMPLES = int(os.environ.get("SELVANE_HYPOTHESIS_EXAMPLES", "100"))
UNWRAP = "called `Option::unwrap()` on a `None` value"


def reference_encode(base, merges):
    """The merge loop written out plainly: recount, take the highest count
    (the smallest pair among equal counts), stop at a pair without merge."""
    ids = list(base)
    while len(ids) >= 2 and merges:
        counts = collections.Counter(zip(ids, ids[1:]))
        best = min(counts, key=lambda pair: (-counts[pair], pair))
        if best not in merges:
            break
        out, i = [], 0
        while i < len(ids):
            if i + 1 < len(ids) and (ids[i], ids[i + 1]) == best:
                out.append(merges[best])
                i += 2
            else:
                out.append(ids[i])
                i += 1
        ids = out
    return ids


# ---------------------------------------------------------------------------
# Hand-built models
# ---------------------------------------------------------------------------

BEH = "\u0628"
BEH_FATHA = "\u0628\u064e"
BEH_SHADDA_FATHA = "\u0628\u0651\u064e"
WAW = "\u0648"


@pytest.fixture
def small(tmp_path):
    """oov 0, a 1, b 2, beh 3, beh+fatha 4, CR LF 5, waw 6; (a, a) -> 7,
    (7, a) -> 8, (a, b) -> 9."""
    clusters = {"a": 1, "b": 2, BEH: 3, BEH_FATHA: 4, "\r\n": 5, WAW: 6}
    lookup = {0: b""} | {i: c.encode() for c, i in clusters.items()}
    lookup |= {7: b"aa", 8: b"aaa", 9: b"ab"}
    merges = {(1, 1): 7, (7, 1): 8, (1, 2): 9}
    return load(tmp_path, lookup, merges, {"oov": 0} | clusters)


def test_hand_checked_results(small):
    assert small.encode("aaa") == [8]
    assert small.encode(st="aaaa") == [7, 7]
    # (0, 0) is the most frequent pair and has no merge: (a, b) stays.
    assert small.encode("ab\u4e2d\u4e2d\u4e2d") == [1, 2, 0, 0, 0]
    assert small.encode(BEH_FATHA + BEH) == [4, 3]
    assert small.encode(BEH_SHADDA_FATHA) == [0]
    assert small.encode("a\r\nb") == [1, 5, 2]
    ids = small.encode("ba")
    assert ids == [2, 1] and all(type(i) is int for i in ids)


def test_long_texts_match_the_plain_loop(small):
    # Past a million code points a non-ASCII text is converted into a copy
    # that is freed before the merging; the ids and the errors stay those of
    # short texts.
    unit = "ab" + BEH + "aaa" + WAW + BEH_FATHA + "\u4e2d"
    text = unit * (1_100_000 // len(unit) + 1)
    ids = {"a": 1, "b": 2, BEH: 3, BEH_FATHA: 4, WAW: 6}
    base = []
    for i, c in enumerate(text):
        if c == BEH and text[i + 1:i + 2] == "\u064e":
            continue
        base.append(ids.get(text[i - 1:i + 1] if c == "\u064e" else c, 0))
    assert small.encode(text) == reference_encode(base, {(1, 1): 7, (7, 1): 8, (1, 2): 9})
    assert small.encode("ab" * 600_000) == [9] * 600_000
    for bad in ("\ud800", "a" * 1_200_000 + "\ud800", BEH * 1_200_000 + "\udfff"):
        with pytest.raises(UnicodeEncodeError) as long_error:
            small.encode(bad)
        with pytest.raises(UnicodeEncodeError) as expected:
            bad.encode("utf-8")
        assert long_error.value.start == expected.value.start
        assert long_error.value.reason == expected.value.reason


def test_short_texts_need_no_pair(small):
    assert small.encode("") == []
    assert small.encode(WAW) == [6]
    assert small.encode("\u4e2d") == [0]
    assert small.encode("ab") == [9]
    assert small.decode(small.encode(WAW)) == WAW


def test_missing_oov_panics_and_leaves_the_model_usable(tmp_path):
    model = load(tmp_path, {1: b"a"}, {}, {"a": 1})
    for text in ["q", "aq", "a\u064e"]:
        with pytest.raises(BaseException) as info:
            model.encode(text)
        assert type(info.value).__name__ == "PanicException"
        assert not isinstance(info.value, Exception)
        assert info.value.args == (UNWRAP,)
    assert model.encode("aa") == [1, 1]


# ---------------------------------------------------------------------------
# Round trips on random texts
# ---------------------------------------------------------------------------

LETTERS = [chr(c) for c in (0x627, 0x628, 0x62A, 0x633, 0x644, 0x645, 0x646,
                            0x648, 0x64A, 0x647, 0x639, 0x631)]
MARKS = ["\u064e", "\u064f", "\u0650", "\u0652", "\u064b"]
SHADDA = "\u0651"

# Every entry is one grapheme cluster whatever its neighbours are: it starts
# with a base character and nothing in the pool joins onto a previous cluster
# (no lone marks, ZWJ, CR, Prepend, Hangul or regional indicators).
CLUSTERS = (
    LETTERS
    + [l + m for l in LETTERS[:6] for m in MARKS]
    + [l + SHADDA + m for l in LETTERS[:3] for m in MARKS[:3]]
    + [" ", ".", "1", "\n", "\r\n", "a", "e\u0301"]
)
# Never known to any model below.
STRANGERS = ["\u4e2d", "\U0001F600", "\u0436", "\u03a9\u0301", "#"]


def check_round_trip(model, unicode_lookup, merges, clusters):
    text = "".join(clusters)
    base = [unicode_lookup.get(c, 0) for c in clusters]
    ids = model.encode(text)
    assert ids == reference_encode(base, merges)
    known = "".join(c for c in clusters if c in unicode_lookup)
    assert model.decode(ids) == known


@st.composite
def hand_models(draw):
    """Models with the invariants of a trained one: oov -> 0, lookup[0] = b"",
    each cluster's bytes under its id, each merge the concatenation."""
    known = draw(st.lists(st.sampled_from(CLUSTERS), min_size=1, max_size=12,
                          unique=True))
    unicode_lookup = {c: i for i, c in enumerate(known, start=1)}
    lookup = {0: b""} | {i: c.encode() for c, i in unicode_lookup.items()}
    merges = {}
    for _ in range(draw(st.integers(0, 40))):
        first = draw(st.sampled_from(sorted(lookup)[1:]))
        second = draw(st.sampled_from(sorted(lookup)[1:]))
        if (first, second) in merges:
            continue
        merges[(first, second)] = len(lookup)
        lookup[len(lookup)] = lookup[first] + lookup[second]
    return lookup, merges, unicode_lookup


@settings(max_examples=EXAMPLES, deadline=None)
@given(hand_models(), st.data())
def test_round_trip_with_hand_built_models(model_maps, data):
    lookup, merges, unicode_lookup = model_maps
    pool = list(unicode_lookup) + STRANGERS
    # The length is drawn first, so that long texts, which take the other
    # merge sequence, come up as often as short ones.
    length = data.draw(st.integers(0, 300))
    clusters = data.draw(st.lists(st.sampled_from(pool), min_size=length,
                                  max_size=length))
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "model")
        write_model(path, lookup, merges, {"oov": 0} | unicode_lookup)
        model = selvane.load_from_file(path)
    check_round_trip(model, unicode_lookup, merges, clusters)


def training_corpus(seed):
    """Repetitive text of random words over part of the pool, so that
    training finds pairs that occur at least ten times. Returns the clusters
    in order."""
    rng = random.Random(seed)
    alphabet = rng.sample([c for c in CLUSTERS if c not in ("\n", " ")], 14)
    words = [rng.choices(alphabet, k=rng.randint(1, 5)) for _ in range(40)]
    clusters = []
    for _ in range(200):
        for word in rng.choices(words, k=12):
            clusters += word + [" "]
        clusters[-1] = "\n"
    return clusters


@pytest.fixture(scope="module", params=[1, 2])
def trained(request, tmp_path_factory):
    work = tmp_path_factory.mktemp(f"trained{request.param}")
    corpus = training_corpus(request.param)
    (work / "corpus.txt").write_text("".join(corpus), encoding="utf-8")
    (work / "empty.model").write_bytes(EMPTY_MODEL)
    with pytest.MonkeyPatch.context() as patch:
        patch.chdir(work)
        model = selvane.load_from_file("empty.model")
        model.train("corpus.txt", False, str(work / "train.log"))
    _, merges, unicode_lookup = read_model((work / "tokenizer").read_bytes())
    # The expectations below assume that training saw the pool entries as
    # the clusters, which holds only with the same segmentation.
    assert set(unicode_lookup) == set(corpus) | {"oov"}
    assert merges
    del unicode_lookup["oov"]
    return model, unicode_lookup, merges, corpus


@settings(max_examples=EXAMPLES, deadline=None)
@given(st.data())
def test_round_trip_with_trained_models(trained, data):
    model, unicode_lookup, merges, _ = trained
    pool = sorted(unicode_lookup) + STRANGERS + [
        c for c in CLUSTERS if c not in unicode_lookup]
    # The length is drawn first, so that long texts, which take the other
    # merge sequence, come up as often as short ones.
    length = data.draw(st.integers(0, 400))
    clusters = data.draw(st.lists(st.sampled_from(pool), min_size=length,
                                  max_size=length))
    check_round_trip(model, unicode_lookup, merges, clusters)


def test_trained_model_on_its_own_corpus(trained):
    model, unicode_lookup, merges, corpus = trained
    check_round_trip(model, unicode_lookup, merges, corpus[:600])
    # Its most frequent pairs are the corpus's, which training merged; the
    # loop may still stop early at a pair that training never saw ten times.
    assert len(model.encode("".join(corpus[:600]))) < 600


def test_long_random_texts_with_trained_models(trained):
    # Texts past 16 KiB look their clusters up through a per-call cache;
    # around that size and past it the ids are still the plain loop's.
    model, unicode_lookup, merges, _ = trained
    pool = sorted(unicode_lookup) + STRANGERS + [
        c for c in CLUSTERS if c not in unicode_lookup]
    rng = random.Random(31)
    for length in (3_000, 5_000, 8_000, 20_000):
        clusters = rng.choices(pool, k=length)
        check_round_trip(model, unicode_lookup, merges, clusters)
