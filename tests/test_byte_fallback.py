"""Byte fallback, unknown cluster counts and the end-of-unit id: unknown
clusters spelled out as the ids of their bytes in both rules, batches and
offsets, and `encode_units`."""

from __future__ import annotations

import os
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import model_image
from modelfile import read_model
from corpus_support import SAMPLE, train_sample_model
from selvane_tools import Model, SelvaneError
from test_engine import random_models
from token_models import with_tokens

EXAMPLES = int(os.environ.get("SELVANE_HYPOTHESIS_EXAMPLES", "100"))
RULES = ("frequency", "rank")

# Emoji sequences of several code points each: ZWJ families, skin tones,
# flags, keycaps and a tag sequence.
EMOJI = [
    "👨\u200d👩\u200d👧\u200d👦",
    "👍🏽",
    "🇸🇦",
    "🇪🇬",
    "1\ufe0f\u20e3",
    "🏴\U000e0067\U000e0062\U000e0065\U000e006e\U000e0067\U000e007f",
    "❤️\u200d🔥",
]
# Scripts the sample model never saw.
FOREIGN = ["漢字", "ひらがな", "Ελληνικά", "देवनागरी", "ꦗꦮ", "𓀀𓁐", "\u0301", "\r\n", "\x00"]


@pytest.fixture(scope="module")
def plain(tmp_path_factory) -> Model:
    return Model(train_sample_model(tmp_path_factory.mktemp("fallback-model")))


@pytest.fixture(scope="module")
def model(plain) -> Model:
    return Model.from_bytes(with_tokens(plain.model_bytes, ("<|eot|>",), byte_fallback=True))


@pytest.fixture(scope="module")
def arabic() -> list[str]:
    text = SAMPLE.read_bytes()[:300_000].decode("utf-8", "ignore")
    return text.splitlines()[:-1][:300]


def byte_base(model: Model) -> int:
    return model.num_ids - 256


def expanded(plain: Model, fallback: Model, text: str, rule: str) -> list[int]:
    """The ids of `text` under `rule` in `plain`, with each unknown
    cluster's oov id replaced by the ids of its bytes in `fallback`."""
    base = byte_base(fallback)
    ids: list[int] = []
    for token, start, end in plain.encode_with_offsets(text, rule=rule):
        ids += [base + b for b in text[start:end].encode()] if token == 0 else [token]
    return ids


texts = st.lists(
    st.one_of(
        st.sampled_from(EMOJI),
        st.sampled_from(FOREIGN),
        st.sampled_from(["بِسْمِ", "اللَّهِ", " ", "الرحمن"]),
        st.text(max_size=8),
    ),
    max_size=12,
).map("".join)


@settings(max_examples=EXAMPLES, deadline=None)
@given(text=texts)
def test_any_text_round_trips_in_both_rules(plain, model, text):
    for rule in RULES:
        ids = model.encode(text, rule=rule)
        assert model.decode(ids) == text
        assert model.data.decode(ids) == text
        assert ids == expanded(plain, model, text, rule)
        spans = model.encode_with_offsets(text, rule=rule)
        assert [i for i, _, _ in spans] == ids
        assert [s for _, s, _ in spans] == [0, *(e for _, _, e in spans)][: len(spans)]
        assert (spans[-1][2] if spans else 0) == len(text)
        # Every token spans its own text, and the byte ids of a cluster
        # together give the cluster's bytes.
        joined = b"".join(model.token_bytes(i) for i, _, _ in spans)
        assert joined == text.encode()
    # The extension itself still maps unknown clusters to 0.
    assert model.data.encode(text) == plain.data.encode(text)


def test_real_text_with_strangers_in_batches_and_offsets(plain, model, arabic):
    rng = random.Random(22)
    lines = [line + rng.choice(EMOJI + FOREIGN) + rng.choice(arabic[:20]) for line in arabic[:150]]
    for rule in RULES:
        each = [model.encode(line, rule=rule) for line in lines]
        assert each == [expanded(plain, model, line, rule) for line in lines]
        assert [model.decode(ids) for ids in each] == lines
        for threads in (1, 2):
            assert model.encode_batch(lines, rule=rule, threads=threads) == each
            ids, offsets = model.encode_batch(lines, rule=rule, threads=threads, flat=True)
            flat, bounds = memoryview(ids).cast("H").tolist(), memoryview(offsets).cast("Q").tolist()
            assert [flat[a:b] for a, b in zip(bounds, bounds[1:])] == each
        # Byte fallback and special tokens together.
        text = lines[0] + "<|eot|>" + lines[1]
        eot = model.special_tokens["<|eot|>"]
        assert model.encode(text, rule=rule, allowed_special="all") == each[0] + [eot] + each[1]


@settings(max_examples=EXAMPLES, deadline=None)
@given(random_models(), st.data())
def test_hand_made_models_expand_the_oov_ids_left_standing(model, data):
    # Merges here may take or give the oov id, so an unknown cluster may be
    # merged away: only an oov id left standing on one unknown cluster becomes
    # bytes. `encode` takes a shortcut where the model allows it; the offsets
    # always place every token on its clusters.
    image, unicode_lookup, merges, oov = model
    if not oov:
        return
    lookup, _, _ = read_model(image)
    top = max([*lookup, *merges.values()]) + 1
    bytes_lookup = lookup | {top + b: bytes([b]) for b in range(256)}
    fallback = Model.from_bytes(model_image(bytes_lookup, {"oov": 0} | unicode_lookup, merges))
    without = Model.from_bytes(image)
    assert fallback.has_byte_fallback and not without.has_byte_fallback
    strangers = ["😀", "Z", "ß"]
    clusters = data.draw(st.lists(st.sampled_from(list(unicode_lookup) + strangers), max_size=40))
    text = "".join(clusters)
    # The pool's clusters never join, so the drawn list is the segmentation.
    bounds, at = {}, 0
    for cluster in clusters:
        bounds[(at, at + len(cluster))] = cluster
        at += len(cluster)
    for rule in RULES:
        expected: list[int] = []
        for token, start, end in without.encode_with_offsets(text, rule=rule):
            cluster = bounds.get((start, end))
            if token == 0 and cluster in strangers:
                expected += [top + b for b in cluster.encode()]
            else:
                expected.append(token)
        assert fallback.encode(text, rule=rule) == expected
        assert [i for i, _, _ in fallback.encode_with_offsets(text, rule=rule)] == expected
        assert fallback.encode_batch([text, text], rule=rule, threads=2) == [expected, expected]


@pytest.mark.parametrize("with_fallback", [False, True])
def test_encode_units_counts_unknown_clusters_and_places_eos(plain, model, arabic, with_fallback):
    used = model if with_fallback else plain
    eos = model.special_tokens["<|eot|>"] if with_fallback else 0
    lines = [arabic[0] + "😀漢" + arabic[1], "", arabic[2], "👍🏽x", arabic[3] + "<|eot|>"]
    for rule in RULES:
        for threads in (1, 2):
            units = used.encode_units(lines, rule=rule, threads=threads, eos=eos)
            flat, bounds = memoryview(units.ids).cast("H").tolist(), memoryview(units.offsets).cast("Q").tolist()
            assert len(bounds) == len(lines) + 1 and bounds[0] == 0
            for line, a, b in zip(lines, bounds, bounds[1:]):
                assert flat[a:b] == used.encode(line, rule=rule) + [eos]
            if with_fallback:
                # The eos id is a special token whose text is not allowed
                # here, so it occurs exactly once per unit, at its end.
                assert [k for k, i in enumerate(flat) if i == eos] == [b - 1 for b in bounds[1:]]
            # 😀, 漢, 👍🏽, x, "<", "|", "e"... of the last line: the clusters
            # the model does not know, counted per cluster.
            strangers = sum(
                1 for line in lines for token, _, _ in plain.encode_with_offsets(line, rule=rule) if token == 0
            )
            assert units.unknown_clusters == strangers > 4
            assert units.units_with_unknown == 3
        plain_ids = used.encode_units(lines, rule=rule)
        ids, offsets = used.encode_batch(lines, rule=rule, flat=True)
        assert (plain_ids.ids, plain_ids.offsets) == (ids, offsets)
    with pytest.raises(SelvaneError, match="eos"):
        used.encode_units(lines, eos=used.num_ids + 300)
    with pytest.raises(SelvaneError, match="one str"):
        used.encode_units("text")  # type: ignore[arg-type]
