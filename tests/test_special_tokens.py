"""Special tokens: which ids of a model are special, and `allowed_special`
on every encoding method, in both rules."""

from __future__ import annotations

import pytest

from conftest import model_image
from corpus_support import SAMPLE, train_sample_model
from selvane_tools import Model, SelvaneError
from token_models import fresh_model, with_tokens

SPECIALS = ("<|eot|>", "<|", "|>x", "♥")
RULES = ("frequency", "rank")


@pytest.fixture(scope="module")
def plain_image(tmp_path_factory) -> bytes:
    return train_sample_model(tmp_path_factory.mktemp("special-model")).read_bytes()


@pytest.fixture(scope="module")
def model(plain_image) -> Model:
    return Model.from_bytes(with_tokens(plain_image, SPECIALS))


@pytest.fixture(scope="module")
def lines() -> list[str]:
    text = SAMPLE.read_bytes()[:300_000].decode("utf-8", "ignore")
    return text.splitlines()[:-1][:200]


def split_by_hand(text: str, specials: dict[str, int]) -> list[str | int]:
    """The pieces and special ids of `text`: at each position the longest
    special that starts there, else one character of text."""
    parts: list[str | int] = []
    piece = ""
    at = 0
    while at < len(text):
        match = max((s for s in specials if text.startswith(s, at)), key=len, default=None)
        if match is None:
            piece += text[at]
            at += 1
            continue
        if piece:
            parts.append(piece)
        piece = ""
        parts.append(specials[match])
        at += len(match)
    if piece:
        parts.append(piece)
    return parts


def test_which_ids_are_special(plain_image, model):
    plain = Model.from_bytes(plain_image)
    assert plain.special_tokens == {} and not plain.has_byte_fallback
    first = plain.num_ids
    assert model.special_tokens == {text: first + k for k, text in enumerate(SPECIALS)}
    assert not model.has_byte_fallback
    # id 0, empty bytes, invalid UTF-8, a cluster's id and a merged id are
    # never special; of two equal texts the lower id is.
    image = model_image(
        {0: b"<s>", 1: b"a", 2: b"aa", 3: b"", 4: b"\xff", 5: b"<s>", 6: b"</s>", 7: b"<s>"},
        {"oov": 0, "a": 1},
        {(1, 1): 2},
    )
    assert Model.from_bytes(image).special_tokens == {"<s>": 5, "</s>": 6}
    both = Model.from_bytes(fresh_model(("<pad>", "<eos>"), byte_fallback=True))
    assert both.special_tokens == {"<pad>": 1, "<eos>": 2} and both.has_byte_fallback


@pytest.mark.parametrize("rule", RULES)
def test_allowed_specials_are_emitted_and_pieces_encode_alone(model, lines, rule):
    specials = model.special_tokens
    texts = [
        "<|eot|>".join(lines[:5]),
        lines[5] + "<|<|eot|>" + lines[6] + "|>x|>x♥",
        "<|eot|><|eot|>",
        "<|eot|",
        "",
    ]
    for text in texts:
        expected: list[int] = []
        for part in split_by_hand(text, specials):
            expected += [part] if isinstance(part, int) else model.encode(part, rule=rule)
        assert model.encode(text, rule=rule, allowed_special="all") == expected
        assert model.encode(text, rule=rule, allowed_special=set(specials)) == expected
    # Leftmost and longest: "<|" then "<|eot|>", never "<|" twice.
    assert model.encode("<|<|eot|>", rule=rule, allowed_special="all") == [specials["<|"], specials["<|eot|>"]]


@pytest.mark.parametrize("rule", RULES)
def test_without_allowance_special_text_is_ordinary_text(plain_image, model, lines, rule):
    plain = Model.from_bytes(plain_image)
    text = lines[0] + "<|eot|>♥" + lines[1]
    assert model.encode(text, rule=rule) == plain.encode(text, rule=rule)
    only_heart = model.encode(text, rule=rule, allowed_special={"♥"})
    heart = model.special_tokens["♥"]
    assert only_heart == model.encode(lines[0] + "<|eot|>", rule=rule) + [heart] + model.encode(lines[1], rule=rule)


@pytest.mark.parametrize("rule", RULES)
def test_batch_flat_and_offsets_agree_with_encode(model, lines, rule):
    texts = [f"{a}<|eot|>{b}♥" for a, b in zip(lines[:60], lines[60:120])] + ["", "<|eot|>"]
    each = [model.encode(t, rule=rule, allowed_special="all") for t in texts]
    for threads in (1, 2):
        assert model.encode_batch(texts, rule=rule, threads=threads, allowed_special="all") == each
        ids, offsets = model.encode_batch(texts, rule=rule, threads=threads, flat=True, allowed_special="all")
        bounds = memoryview(offsets).cast("Q").tolist()
        flat = memoryview(ids).cast("H").tolist()
        assert [flat[a:b] for a, b in zip(bounds, bounds[1:])] == each
    ids_by_text = {v: k for k, v in model.special_tokens.items()}
    for text, expected in zip(texts, each):
        spans = model.encode_with_offsets(text, rule=rule, allowed_special="all")
        assert [i for i, _, _ in spans] == expected
        assert [s for _, s, _ in spans] == [0, *(e for _, _, e in spans)][: len(spans)]
        assert (spans[-1][2] if spans else 0) == len(text)
        for token, start, end in spans:
            if token in ids_by_text:
                assert text[start:end] == ids_by_text[token]


def test_allowed_special_is_checked(model):
    for bad in ({"<|nope|>"}, ["<|eot|>", "<s>"], "<|eot|>", [7]):
        with pytest.raises(SelvaneError, match="special token"):
            model.encode("x", allowed_special=bad)  # type: ignore[arg-type]
        with pytest.raises(SelvaneError, match="special token"):
            model.encode_batch(["x"], rule="rank", allowed_special=bad)  # type: ignore[arg-type]
        with pytest.raises(SelvaneError, match="special token"):
            model.encode_with_offsets("x", allowed_special=bad)  # type: ignore[arg-type]
        with pytest.raises(SelvaneError, match="special token"):
            model.encode_units(["x"], allowed_special=bad)  # type: ignore[arg-type]
    # A model without special tokens allows "all" and nothing else.
    plain = Model.from_bytes(fresh_model())
    assert plain.encode("ab", rule="rank", allowed_special="all") == [0, 0]
    with pytest.raises(SelvaneError, match="not a special token"):
        plain.encode("ab", allowed_special=["a"])


def test_decode_renders_special_tokens(model, lines):
    text = lines[0] + "<|eot|>" + lines[1]
    for rule in RULES:
        assert model.decode(model.encode(text, rule=rule, allowed_special="all")) == text
