"""`selvane_tools.hf.SelvaneTokenizer`: the ids of the engine through the
transformers interface, the batch path against the base class's per-text
loop, token strings, decoding and the saved directory."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

transformers = pytest.importorskip("transformers")

import selvane  # noqa: E402
from conftest import model_image  # noqa: E402
from corpus_support import SAMPLE, train_sample_model  # noqa: E402
from selvane_tools import Model, SelvaneError  # noqa: E402
from selvane_tools.hf import SelvaneTokenizer, token_strings  # noqa: E402

EXAMPLES = int(os.environ.get("SELVANE_HYPOTHESIS_EXAMPLES", "100"))


@pytest.fixture(scope="module")
def model_path(tmp_path_factory):
    return train_sample_model(tmp_path_factory.mktemp("hf-model"))


@pytest.fixture(scope="module")
def lines() -> list[str]:
    text = SAMPLE.read_bytes()[:300_000].decode("utf-8", "ignore")
    return [line for line in text.splitlines()[:-1] if line.strip()][:200]


def base_class_call(tokenizer, texts, **options):
    """What the base class's per-text loop gives for `tokenizer(texts, ...)`:
    the oracle of the batch path."""
    padding, truncation, max_length, _ = tokenizer._get_padding_truncation_strategies(
        padding=options.pop("padding", False), truncation=options.pop("truncation", None),
        max_length=options.pop("max_length", None),
    )
    return transformers.PreTrainedTokenizer._encode_plus(
        tokenizer, texts, padding_strategy=padding, truncation_strategy=truncation, max_length=max_length, **options
    )


# -- the package without transformers ------------------------------------------


def test_the_package_and_command_do_not_import_transformers():
    code = (
        "import sys, selvane_tools, selvane_tools.cli\n"
        "from selvane_tools import Model, encode_corpus, train\n"
        "assert 'transformers' not in sys.modules, 'transformers imported'\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_without_transformers_the_import_says_what_to_install():
    code = (
        "import sys\n"
        "sys.modules['transformers'] = None\n"
        "try:\n"
        "    import selvane_tools.hf\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "selvane_tools.hf needs transformers" in done.stdout and "selvane[hf]" in done.stdout


# -- ids -------------------------------------------------------------------------


@pytest.mark.parametrize("rule", ["rank", "frequency"])
def test_input_ids_are_the_models_ids_single_and_batched(model_path, lines, rule):
    model = Model(model_path)
    tokenizer = SelvaneTokenizer(model_file=model_path, rule=rule)
    texts = lines[:60] + ["", "ضض ﷺ 😀"]  # an empty text and clusters the model never saw
    expected = [model.encode(text, rule=rule) for text in texts]
    assert [tokenizer(text)["input_ids"] for text in texts] == expected
    assert tokenizer(texts)["input_ids"] == expected
    assert tokenizer.encode(texts[0]) == expected[0]
    assert tokenizer.convert_tokens_to_ids(tokenizer.tokenize(texts[1])) == expected[1]


@pytest.mark.parametrize(
    "options",
    [
        {},
        {"truncation": True, "max_length": 7},
        {"padding": "longest", "pad_to_multiple_of": 8, "return_attention_mask": True},
        {"return_special_tokens_mask": True, "return_length": True, "return_token_type_ids": True},
    ],
)
def test_batch_path_equals_the_base_class_loop(model_path, lines, options, monkeypatch):
    tokenizer = SelvaneTokenizer(model_file=model_path)
    tokenizer.pad_token = tokenizer.convert_ids_to_tokens(3)
    texts = lines[:40] + [""]
    theirs = base_class_call(tokenizer, texts, **options)

    def one_text_at_a_time(*args, **kwargs):
        raise AssertionError("a batch of texts went through the per-text loop")

    # The batch path encodes all texts in one engine call, never one by one.
    monkeypatch.setattr(SelvaneTokenizer, "tokenize", one_text_at_a_time)
    ours = tokenizer(texts, **options)
    assert dict(ours) == dict(theirs)


def test_padding_truncation_masks_and_numpy(model_path, lines):
    numpy = pytest.importorskip("numpy")
    tokenizer = SelvaneTokenizer(model_file=model_path)
    # No pad token: padding must fail loudly, not pad with some id.
    with pytest.raises(ValueError, match="pad"):
        tokenizer(lines[:3], padding=True)

    # A model's own id can serve as padding for this check: the attention
    # mask is what tells pad from text.
    tokenizer.pad_token = tokenizer.convert_ids_to_tokens(3)
    texts = lines[:5]
    plain = [Model(model_path).encode(text, rule="rank") for text in texts]
    batch = tokenizer(texts, padding="max_length", truncation=True, max_length=12, return_tensors="np")
    assert batch["input_ids"].shape == (5, 12) and batch["input_ids"].dtype == numpy.int64
    for row, mask, ids in zip(batch["input_ids"].tolist(), batch["attention_mask"].tolist(), plain):
        kept = ids[:12]
        assert row[: len(kept)] == kept and mask == [1] * len(kept) + [0] * (12 - len(kept))
        assert row[len(kept):] == [3] * (12 - len(kept))


# -- token strings and decoding --------------------------------------------------


def test_token_strings_are_distinct_and_readable():
    lookup = {
        0: b"",          # the unknown clusters' id
        1: "ب".encode(),
        2: b"\n",        # not printable
        3: "ab".encode(),
        4: "ab".encode(),  # the same text as id 3
        5: "\\n".encode(),  # what id 2 would be escaped to
        6: b"",          # empty, but not the oov id
        7: "<oov>".encode(),  # what id 0 is shown as
        8: "\u200c".encode(),  # invisible
        9: "<eos>".encode(),  # an ordinary token with a special's text
        10: "<eos>".encode(),
    }
    strings = token_strings(lookup, {"<eos>": 10}, 0)
    assert len(set(strings.values())) == len(lookup)
    assert strings[1] == "ب" and strings[10] == "<eos>"
    assert strings[3] == "ab<id 3>" and strings[4] == "ab<id 4>"
    assert strings[5] == "\\n" and strings[2] == "<\\n>"  # the literal text keeps its name
    assert strings[7] == "<oov>" and strings[0] == "<<oov>>"
    assert strings[6] == "<id 6>" and strings[8] == "\\u200c" and strings[9] == "<eos><id 9>"
    assert token_strings(lookup, {"<eos>": 10}, 0) == strings

    with_bytes = {0: b"", 1: "a".encode()} | {2 + value: bytes((value,)) for value in range(256)}
    strings = token_strings(with_bytes, {}, 0)
    assert strings[1] == "a" and strings[2 + ord("a")] == "<0x61>" and strings[2 + 0xFF] == "<0xFF>"
    assert len(set(strings.values())) == len(with_bytes)


def test_decode_is_the_models_decode(model_path, lines):
    tokenizer = SelvaneTokenizer(model_file=model_path)
    everything = list(range(len(tokenizer)))
    assert sorted(tokenizer.get_vocab().values()) == Model(model_path).vocab() == everything
    assert tokenizer.convert_tokens_to_ids(tokenizer.convert_ids_to_tokens(everything)) == everything
    batch = tokenizer(lines[:20])["input_ids"]
    assert tokenizer.batch_decode(batch) == lines[:20]
    assert tokenizer.convert_tokens_to_string(tokenizer.convert_ids_to_tokens(batch[7])) == lines[7]
    # No clean-up of blanks before punctuation: the text comes back as it was.
    assert tokenizer.decode(tokenizer("قال : نعم ، لا .")["input_ids"]) == "قال : نعم ، لا ."
    with pytest.raises(SelvaneError, match="id 60000 is not in the model"):
        tokenizer.decode([1, 60000])


def test_tokens_added_past_the_model(model_path, lines):
    tokenizer = SelvaneTokenizer(model_file=model_path)
    size = len(tokenizer)
    assert tokenizer.add_tokens(["<sep>"]) == 1
    ids = tokenizer(lines[0] + "<sep>" + lines[1])["input_ids"]
    model = Model(model_path)
    assert ids == model.encode(lines[0], rule="rank") + [size] + model.encode(lines[1], rule="rank")
    assert tokenizer.decode(ids) == lines[0] + "<sep>" + lines[1]
    assert tokenizer([lines[0], "<sep>"])["input_ids"] == [model.encode(lines[0], rule="rank"), [size]]


def test_a_pickled_tokenizer_gives_the_same_ids(special_model_path, lines, tmp_path):
    # Worker pools (datasets.map with num_proc, DataLoader workers) pickle
    # the tokenizer; the copy must not need the model file any more.
    import pickle
    import shutil

    shutil.copy(special_model_path, tmp_path / "model")
    tokenizer = special_tokenizer(tmp_path / "model")
    (tmp_path / "model").unlink()
    copy = pickle.loads(pickle.dumps(tokenizer))
    texts = [lines[0] + "<|endoftext|>", "😀" + lines[1]]
    assert copy(texts)["input_ids"] == tokenizer(texts)["input_ids"]
    assert copy.decode(copy(texts[1])["input_ids"]) == texts[1]


# -- saving ----------------------------------------------------------------------


def test_save_and_load_keep_the_model_and_the_rule(model_path, lines, tmp_path):
    tokenizer = SelvaneTokenizer(model_file=model_path, rule="frequency")
    tokenizer.add_tokens(["<sep>"])
    saved = tokenizer.save_pretrained(tmp_path / "saved")
    assert (tmp_path / "saved" / "selvane.model").read_bytes() == model_path.read_bytes()
    config = json.loads((tmp_path / "saved" / "tokenizer_config.json").read_text())
    assert config["rule"] == "frequency" and config["tokenizer_class"] == "SelvaneTokenizer"
    assert "model_file" not in config and str(tmp_path / "saved" / "selvane.model") in saved

    again = SelvaneTokenizer.from_pretrained(tmp_path / "saved")
    assert again.rule == "frequency"
    texts = [*lines[:10], lines[0] + "<sep>"]
    assert again(texts)["input_ids"] == tokenizer(texts)["input_ids"]
    assert again.get_vocab() == tokenizer.get_vocab()


def test_bad_arguments_are_refused(model_path, tmp_path):
    with pytest.raises(SelvaneError, match="unknown rule 'bpe'"):
        SelvaneTokenizer(model_file=model_path, rule="bpe")
    with pytest.raises(SelvaneError, match="eos_token '<eos>' is not a special token of the model"):
        SelvaneTokenizer(model_file=model_path, eos_token="<eos>")
    with pytest.raises(SelvaneError, match="mask_token"):
        SelvaneTokenizer(model_file=model_path, mask_token="ب")
    (tmp_path / "junk").write_bytes(b"not a model")
    with pytest.raises(SelvaneError, match="not a selvane model file"):
        SelvaneTokenizer(model_file=tmp_path / "junk")


def test_an_untrained_model_refuses_unknown_token_strings(tmp_path):
    (tmp_path / "m").write_bytes(model_image({1: "ب".encode()}, {"ب": 1}))
    tokenizer = SelvaneTokenizer(model_file=tmp_path / "m")
    assert tokenizer("بب")["input_ids"] == [1, 1]
    with pytest.raises(SelvaneError, match="'x' is not a token of the model"):
        tokenizer.convert_tokens_to_ids(["x"])


# -- special tokens and byte fallback --------------------------------------------

SPECIALS = ["<|endoftext|>", "<|pad|>", "<|bos|>", "<|end|>"]


@pytest.fixture(scope="module")
def special_model_path(tmp_path_factory):
    """A model trained on the sample from `init --special ... --byte-fallback`."""
    from selvane_tools import new_model

    work = tmp_path_factory.mktemp("hf-special-model")
    new_model(work / "init.model", special=SPECIALS, byte_fallback=True)
    (work / "train.txt").write_bytes(SAMPLE.read_bytes()[:150_000])
    here = os.getcwd()
    os.chdir(work)
    try:
        selvane.load_from_file("init.model").train("train.txt", False, "train.log")
    finally:
        os.chdir(here)
    return work / "tokenizer"


@pytest.fixture(scope="module")
def shared_tokenizer(special_model_path):
    return special_tokenizer(special_model_path)


def special_tokenizer(path, **options):
    return SelvaneTokenizer(model_file=path, eos_token="<|endoftext|>", pad_token="<|pad|>", bos_token="<|bos|>",
                            **options)


@pytest.mark.parametrize("rule", ["rank", "frequency"])
def test_special_tokens_in_the_text_are_the_engines_and_the_base_classes(special_model_path, lines, rule):
    model = Model(special_model_path)
    tokenizer = special_tokenizer(special_model_path, rule=rule)
    texts = [
        lines[0] + "<|endoftext|>" + lines[1],
        "<|bos|>" + lines[2] + "<|end|><|endoftext|>",
        "<|endoftext|<|pad|>>",  # a special inside something that looks like one
        lines[3],
    ]
    expected = [model.encode(text, rule=rule, allowed_special="all") for text in texts]
    assert [tokenizer(text)["input_ids"] for text in texts] == expected
    assert tokenizer(texts)["input_ids"] == expected
    # The base class's own splitting on its added tokens, then each piece alone.
    base = [tokenizer.convert_tokens_to_ids(transformers.PreTrainedTokenizer.tokenize(tokenizer, t)) for t in texts]
    assert base == expected
    plain = [model.encode(text, rule=rule) for text in texts]
    assert tokenizer(texts, split_special_tokens=True)["input_ids"] == plain
    assert [tokenizer(text, split_special_tokens=True)["input_ids"] for text in texts] == plain
    assert model.special_tokens["<|endoftext|>"] in expected[0] and expected[0] != plain[0]


def test_named_special_tokens_take_the_models_ids(special_model_path, lines, tmp_path):
    model = Model(special_model_path)
    tokenizer = special_tokenizer(special_model_path)
    assert (tokenizer.eos_token_id, tokenizer.pad_token_id, tokenizer.bos_token_id) == (1, 2, 3)
    assert tokenizer.convert_ids_to_tokens([1, 2, 3, 4]) == SPECIALS
    assert sorted(tokenizer.all_special_ids) == [1, 2, 3, 4]
    assert len(tokenizer) == model.num_ids  # no token appended past the model

    batch = tokenizer([lines[0], "و"], padding=True)
    short = model.encode("و", rule="rank")
    assert batch["input_ids"][1] == short + [2] * (len(batch["input_ids"][0]) - len(short))

    ids = tokenizer("<|bos|>" + lines[0] + "<|end|><|endoftext|>")["input_ids"]
    assert tokenizer.decode(ids) == "<|bos|>" + lines[0] + "<|end|><|endoftext|>"
    assert tokenizer.decode(ids, skip_special_tokens=True) == lines[0]

    # Asked for, the end-of-text id follows every text, and a saved
    # tokenizer keeps doing so.
    closing = special_tokenizer(special_model_path, special_tokens_pattern="eos")
    assert closing([lines[0], ""])["input_ids"] == [model.encode(lines[0], rule="rank") + [1], [1]]
    closing.save_pretrained(tmp_path / "saved")
    assert SelvaneTokenizer.from_pretrained(tmp_path / "saved")("")["input_ids"] == [1]
    assert closing("", add_special_tokens=False)["input_ids"] == []

    with pytest.raises(SelvaneError, match=r"eos_token '</s>' is not a special token of the model \(its special"):
        SelvaneTokenizer(model_file=special_model_path, eos_token="</s>")


@settings(max_examples=EXAMPLES, deadline=None)
@given(text=st.text(max_size=40))
@example(text="👩‍👩‍👧 🇸🇦 Zürich 東京 नमस्ते")  # clusters the model never saw
@example(text="\x00\ufeff\U0010fffd سلام 😀<|endoftext|>")
def test_byte_fallback_gives_back_any_text(special_model_path, shared_tokenizer, text):
    tokenizer = shared_tokenizer
    ids = tokenizer(text)["input_ids"]
    assert ids == Model(special_model_path).encode(text, rule="rank", allowed_special="all")
    assert tokenizer.decode(ids) == text
    assert tokenizer.convert_tokens_to_string(tokenizer.convert_ids_to_tokens(ids)) == text


def test_save_and_load_keep_the_special_tokens(special_model_path, lines, tmp_path):
    tokenizer = special_tokenizer(special_model_path)
    tokenizer.save_pretrained(tmp_path / "saved")
    config = json.loads((tmp_path / "saved" / "tokenizer_config.json").read_text())
    assert (config["eos_token"], config["pad_token"], config["rule"]) == ("<|endoftext|>", "<|pad|>", "rank")
    again = SelvaneTokenizer.from_pretrained(tmp_path / "saved")
    assert (again.eos_token_id, again.pad_token_id, again.bos_token_id) == (1, 2, 3)
    text = lines[0] + "<|end|>"
    assert again(text)["input_ids"] == tokenizer(text)["input_ids"]
    assert again.get_vocab() == tokenizer.get_vocab() and len(again) == len(tokenizer)


def test_a_special_token_added_to_a_trained_model(model_path, lines, tmp_path):
    Model(model_path).add_special(["<|endoftext|>"]).save(tmp_path / "with-eos.model")
    tokenizer = SelvaneTokenizer(model_file=tmp_path / "with-eos.model", eos_token="<|endoftext|>")
    eos = Model(model_path).num_ids
    assert tokenizer.eos_token_id == eos
    ids = tokenizer(lines[0] + "<|endoftext|>")["input_ids"]
    assert ids == Model(model_path).encode(lines[0], rule="rank") + [eos]
