"""decode and vocab through the installed module, and a UTF-8 differential
check of both the lossy decoding of tokens and the validation of model file
texts against CPython's own UTF-8 codec."""

from __future__ import annotations

import os
import random

import pytest

import selvane
from conftest import PanicException
from conftest import load_model as load
from modelfile import utf8_error, write_model

EXAMPLES = int(os.environ.get("SELVANE_HYPOTHESIS_EXAMPLES", "100"))
MISSING = "This should not happend"
BEH = "\u0628"
BEH_UTF8 = BEH.encode()


def panic_message(call) -> str:
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is PanicException
    return str(info.value)


@pytest.fixture
def model(tmp_path):
    lookup = {
        0: b"",
        1: BEH_UTF8[:1],
        2: BEH_UTF8[1:],
        3: "\u0644".encode(),
        4: b"ab",
        65: b"A",
        66: b"B",
        9: b"\xff",
    }
    # Ids 40 and 41 live only in the other maps.
    return load(tmp_path, lookup, {(1, 2): 41}, {"x": 40, "oov": 0})


# ---------------------------------------------------------------------------
# decode
# ---------------------------------------------------------------------------


def test_empty_list_gives_empty_text(model, tmp_path):
    assert model.decode([]) == ""
    assert load(tmp_path, {}, name="empty").decode([]) == ""


def test_bytes_are_joined_before_decoding(model):
    assert model.decode([1, 2]) == BEH
    assert model.decode([1]) == "\ufffd"
    assert model.decode([2]) == "\ufffd"
    assert model.decode([2, 1]) == "\ufffd\ufffd"
    assert model.decode([1, 3]) == "\ufffd\u0644"
    assert model.decode([9, 4, 9]) == "\ufffdab\ufffd"


def test_repeats_and_empty_token(model):
    assert model.decode([4, 4, 4]) == "ababab"
    assert model.decode([0, 0]) == ""
    assert model.decode([0, 1, 0, 2, 0]) == BEH


def test_any_sequence_of_ints(model):
    assert model.decode((4, 65)) == "abA"
    assert model.decode(range(65, 67)) == "AB"
    assert model.decode(b"AB") == "AB"
    assert model.decode(bytearray(b"BA")) == "BA"
    assert model.decode(tokens=[66]) == "B"


def test_missing_id_fails(model, tmp_path):
    for ids in ([40], [41], [4, 65, 66, 40], [65535]):
        assert panic_message(lambda: model.decode(ids)) == MISSING
    empty = load(tmp_path, {}, name="empty")
    assert panic_message(lambda: empty.decode([0])) == MISSING
    # The object stays usable after the failure.
    assert model.decode([4]) == "ab"


def test_conversion_errors(model):
    with pytest.raises(TypeError, match=r"^argument 'tokens': Can't extract `str` to `Vec`$"):
        model.decode("12")
    # 2**30 is the first int that is not read in place.
    for bad in ([65536], [-1], [4, 70000], [2**30 - 1], [2**30]):
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            model.decode(bad)


def test_lists_and_tuples_read_like_their_iterators(model):
    # Exact lists and tuples are read by index; an element whose conversion
    # changes the list must see what the list's own iterator would see.
    ids = []

    class Shrinks:
        def __index__(self):
            ids.clear()
            return 65

    class Grows:
        def __index__(self):
            ids.append(66)
            return 65

    ids[:] = [Shrinks(), 66, 66]
    assert model.decode(ids) == "A"
    ids[:] = [Grows(), 4]
    assert model.decode(ids) == "AabB"

    class Fails:
        def __index__(self):
            raise ZeroDivisionError("index")

    for container in (list, tuple):
        with pytest.raises(ZeroDivisionError):
            model.decode(container([4, Fails()]))
        with pytest.raises(TypeError, match="^argument 'tokens': "):
            model.decode(container([4, 1.5]))
        assert model.decode(container([4, True, 65])) == "ab" + model.decode([1]) + "A"

    class MyList(list):
        def __iter__(self):
            return iter([65])

    # A subclass keeps its own iteration.
    assert model.decode(MyList([4, 4])) == "A"


VALID_TOKENS = [
    b"", b"\x00", b"a", b"ab ", "\u00e9".encode(), "\u00ffz".encode(), BEH_UTF8,
    "\u0628\u064e\u0644".encode(), "\u20ac".encode(), "\uffff".encode(),
    "\U0001f600".encode(), "\U0010ffff".encode(), "x\u0628y".encode(),
    b"abcdef", "\u0628\u064e\u0644\u064e\u0645".encode(), "\u00e9".encode() * 5,
]


def test_valid_tokens_decode_to_canonical_strings(tmp_path):
    # With every token valid UTF-8 the string is written straight in the
    # width its largest character needs. Equality with CPython's own decoding
    # also checks that width: strings of different widths never compare equal.
    lookup = {i: token for i, token in enumerate(VALID_TOKENS)}
    model = load(tmp_path, lookup)
    rng = random.Random(11)
    for trial in range(EXAMPLES * 10):
        # The first tokens alone are ASCII, then Latin-1, then wider; the
        # last ones are longer than four characters.
        choices = (4, 6, 10, len(VALID_TOKENS))[trial % 4]
        ids = [rng.randrange(choices) for _ in range(rng.randrange(0, 12))]
        if trial % 3 == 0:
            ids.append(rng.randrange(len(VALID_TOKENS) - 3, len(VALID_TOKENS)))
        expected = b"".join(lookup[i] for i in ids).decode()
        decoded = model.decode(ids)
        assert decoded == expected, ids
        assert hash(decoded) == hash(expected)
        assert decoded.isascii() == expected.isascii()
    long_ids = [rng.randrange(len(VALID_TOKENS)) for _ in range(100_000)]
    assert model.decode(long_ids) == b"".join(lookup[i] for i in long_ids).decode()


# ---------------------------------------------------------------------------
# vocab
# ---------------------------------------------------------------------------


def test_vocab_lists_lookup_ids_ascending(model, tmp_path):
    assert model.vocab() == [0, 1, 2, 3, 4, 9, 65, 66]
    assert model.vocab() == model.vocab()
    assert load(tmp_path, {}, name="empty").vocab() == []
    with pytest.raises(TypeError):
        model.vocab(1)


def test_vocab_equals_lookup_keys(tmp_path):
    rng = random.Random(5)
    ids = rng.sample(range(65536), 3000) + [0, 65535]
    lookup = {i: bytes([65 + i % 26]) * (i % 4) for i in ids}
    merges = {(rng.randrange(65536), rng.randrange(65536)): rng.randrange(65536) for _ in range(200)}
    model = load(tmp_path, lookup, merges, {"oov": 0, "z": 12345})
    listed = model.vocab()
    assert listed == sorted(set(ids))
    assert model.decode(listed) == b"".join(lookup[i] for i in listed).decode()


# ---------------------------------------------------------------------------
# UTF-8 differential: decoding with replacement, and text validation
# ---------------------------------------------------------------------------

PIECES = [
    b"A", b"z", BEH_UTF8, "\u20ac".encode(), "\U0001f600".encode(),
    b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xed\x9f\xbf",   # surrogates, last valid
    b"\xc0\x80", b"\xc1\xbf", b"\xe0\x80\x80", b"\xe0\x9f\xbf",  # overlong
    b"\xf0\x80\x80\x80", b"\xf0\x8f\xbf\xbf",
    b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xff", b"\xfe", b"\x80", b"\xbf",
    b"\xd8", b"\xe2\x82", b"\xf0\x9f\x98", b"\xf0\x9f", b"\xe0\xa0",  # truncated
    b"\xc2", b"\xf4\x8f\xbf\xbf", b"\x00",
]


def random_byte_strings(count: int, seed: int) -> list[bytes]:
    rng = random.Random(seed)
    out = [bytes([b]) for b in range(256)]  # every single byte
    out += [bytes([a, b]) for a in (0xC2, 0xDF, 0xE0, 0xED, 0xF0, 0xF4) for b in range(0x70, 0xD0, 7)]
    out += PIECES
    while len(out) < count:
        if rng.random() < 0.3:
            out.append(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 9))))
        else:
            out.append(b"".join(rng.choice(PIECES) for _ in range(rng.randrange(1, 5))))
    return out


def python_utf8_error(data: bytes):
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            return e.start, None
        return e.start, e.end - e.start
    return None


def test_decode_matches_python_replace(tmp_path):
    strings = random_byte_strings(300 + 10 * EXAMPLES, seed=8)[:65535]
    lookup = {i + 1: s for i, s in enumerate(strings)}
    model = load(tmp_path, lookup)
    for token_id, s in lookup.items():
        assert model.decode([token_id]) == s.decode("utf-8", "replace"), s
    # Whole runs of tokens, joined before decoding.
    rng = random.Random(9)
    for _ in range(EXAMPLES * 5):
        ids = [rng.randrange(1, len(strings) + 1) for _ in range(rng.randrange(1, 12))]
        joined = b"".join(lookup[i] for i in ids)
        assert model.decode(ids) == joined.decode("utf-8", "replace"), joined


def test_text_validation_matches_python_strict(tmp_path):
    strings = random_byte_strings(300 + 2 * EXAMPLES, seed=10)
    seen_none = seen_some = 0
    for n, s in enumerate(strings):
        path = tmp_path / f"m{n}"
        write_model(path, {}, {}, {s: 1})
        expected = python_utf8_error(s)
        if expected is None:
            model = selvane.load_from_file(str(path))
            assert model.vocab() == []
            continue
        valid_up_to, error_len = expected
        seen_none += error_len is None
        seen_some += error_len is not None
        assert panic_message(lambda: selvane.load_from_file(str(path))) == (
            "Should work: " + utf8_error(valid_up_to, error_len)
        ), s
    assert seen_none and seen_some
