"""Argument parsing and conversion of every callable, the argument-name rule
for conversion errors, and the borrow of the model object across re-entrant
calls."""

from __future__ import annotations

import sys

import numpy
import pytest

import selvane
from conftest import EMPTY_MODEL, PanicException, model_image, write_and_load

# Ids 1, 2 and 3 spell "a", "b" and "c"; 97 is "A" so that bytes(b"a") is a
# known id too; 65535 is the largest id.
LOOKUP = {0: b"", 1: b"a", 2: b"b", 3: b"c", 97: b"A", 65535: b"z"}
TEXTS = {"oov": 0, "a": 1, "b": 2, "c": 3}


@pytest.fixture
def model(tmp_path):
    return write_and_load(tmp_path, model_image(LOOKUP, TEXTS))


def reaches_body(call):
    """Asserts that the arguments of `call` pass parsing and conversion: the
    call either returns or fails inside its body with a panic exception."""
    try:
        call()
    except PanicException:
        pass


def train_kwargs(tmp_path, **overrides):
    """Arguments that reach the body of train() and fail there quickly: the
    training file does not exist."""
    arguments = {
        "train_file": str(tmp_path / "missing-corpus.txt"),
        "print_logs": False,
        "logs_file": str(tmp_path / "logs.txt"),
    }
    arguments.update(overrides)
    return arguments


@pytest.fixture(autouse=True)
def own_directory(tmp_path, monkeypatch):
    # train() writes "log.txt" and "tokenizer" into the current directory.
    monkeypatch.chdir(tmp_path)


# ---------------------------------------------------------------------------
# Parsing
# ---------------------------------------------------------------------------


class ShownAs(str):
    """A keyword name whose str() differs from its text."""

    def __str__(self):
        return "shown"


PARSE_CASES = [
    (
        "train",
        (),
        {},
        "Data.train() missing 3 required positional arguments: "
        "'train_file', 'print_logs', and 'logs_file'",
    ),
    (
        "train",
        ("corpus",),
        {},
        "Data.train() missing 2 required positional arguments: "
        "'print_logs' and 'logs_file'",
    ),
    (
        "train",
        (),
        {"train_file": "corpus", "logs_file": "logs"},
        "Data.train() missing 1 required positional argument: 'print_logs'",
    ),
    (
        "train",
        ("a", True, "b", "c"),
        {},
        "Data.train() takes 3 positional arguments but 4 were given",
    ),
    (
        "encode",
        ("a", "b"),
        {},
        "Data.encode() takes 1 positional arguments but 2 were given",
    ),
    ("encode", ("a",), {"st": "b"}, "Data.encode() got multiple values for argument 'st'"),
    ("encode", (), {}, "Data.encode() missing 1 required positional argument: 'st'"),
    (
        "decode",
        (),
        {"token": [1]},
        "Data.decode() got an unexpected keyword argument 'token'",
    ),
    (
        "decode",
        ([1],),
        {"tokens": [1]},
        "Data.decode() got multiple values for argument 'tokens'",
    ),
    # An excess of positional arguments is reported before a bad keyword, and
    # a bad keyword before a missing argument.
    (
        "encode",
        ("a", "b"),
        {"bogus": 1},
        "Data.encode() takes 1 positional arguments but 2 were given",
    ),
    (
        "train",
        (),
        {"bogus": 1},
        "Data.train() got an unexpected keyword argument 'bogus'",
    ),
    # The first failing keyword, in call order, is the one reported.
    (
        "train",
        ("corpus",),
        {"zzz": 1, "train_file": "again"},
        "Data.train() got an unexpected keyword argument 'zzz'",
    ),
    (
        "train",
        ("corpus",),
        {"train_file": "again", "zzz": 1},
        "Data.train() got multiple values for argument 'train_file'",
    ),
    # A keyword name that UTF-8 cannot hold matches nothing and is shown with
    # a replacement character.
    (
        "encode",
        (),
        {"\udcff": "x"},
        "Data.encode() got an unexpected keyword argument '\ufffd'",
    ),
    # Matching uses the name's own text, the message its str().
    (
        "encode",
        (),
        {ShownAs("stx"): "x"},
        "Data.encode() got an unexpected keyword argument 'shown'",
    ),
    (
        "encode",
        (),
        {"St": "x"},
        "Data.encode() got an unexpected keyword argument 'St'",
    ),
]


@pytest.mark.parametrize("method, args, kwargs, message", PARSE_CASES)
def test_parse_errors(model, method, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(model, method)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "load_from_file() missing 1 required positional argument: 'filename'"),
        (("a", "b"), {}, "load_from_file() takes 1 positional arguments but 2 were given"),
        ((), {"file": "a"}, "load_from_file() got an unexpected keyword argument 'file'"),
        (("a",), {"filename": "a"}, "load_from_file() got multiple values for argument 'filename'"),
    ],
)
def test_load_from_file_parse_errors(tmp_path, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        selvane.load_from_file(*args, **kwargs)
    assert str(info.value) == message
    # Nothing was touched: no file named "a" or "b" got created.
    assert sorted(p.name for p in tmp_path.iterdir()) == []


def test_train_keywords_in_any_order(model, tmp_path):
    arguments = train_kwargs(tmp_path)
    for order in (
        ["train_file", "print_logs", "logs_file"],
        ["logs_file", "train_file", "print_logs"],
        ["print_logs", "logs_file", "train_file"],
    ):
        with pytest.raises(PanicException):
            model.train(**{name: arguments[name] for name in order})
    with pytest.raises(PanicException):
        model.train(arguments["train_file"], logs_file=arguments["logs_file"], print_logs=True)


def test_load_from_file_by_keyword(tmp_path):
    (tmp_path / "model").write_bytes(EMPTY_MODEL)
    loaded = selvane.load_from_file(filename=str(tmp_path / "model"))
    assert type(loaded) is selvane.Data


# ---------------------------------------------------------------------------
# Text arguments
# ---------------------------------------------------------------------------


class Text(str):
    pass


def test_text_arguments_refuse_other_types(model, tmp_path):
    class Local:
        pass

    cases = [
        (lambda v: model.encode(v), "st"),
        (lambda v: model.train(**train_kwargs(tmp_path, train_file=v)), "train_file"),
        (lambda v: model.train(**train_kwargs(tmp_path, logs_file=v)), "logs_file"),
        (lambda v: selvane.load_from_file(v), "filename"),
    ]
    values = [
        (5, "int"),
        (b"bytes", "bytes"),
        (None, "NoneType"),
        (tmp_path, type(tmp_path).__qualname__),
        (Local(), Local.__qualname__),
    ]
    for call, parameter in cases:
        for value, type_name in values:
            with pytest.raises(TypeError) as info:
                call(value)
            assert str(info.value) == (
                f"argument '{parameter}': '{type_name}' object cannot be "
                "converted to 'PyString'"
            )


def test_text_arguments_refuse_lone_surrogates(model, tmp_path):
    for call in (
        lambda: model.encode("a\udc80"),
        lambda: model.train(**train_kwargs(tmp_path, train_file="\ud800")),
        lambda: model.train(**train_kwargs(tmp_path, logs_file="\ud800")),
        lambda: selvane.load_from_file("model\udcff"),
    ):
        with pytest.raises(UnicodeEncodeError) as info:
            call()
        assert not str(info.value).startswith("argument")


def test_text_subclass_accepted(model, tmp_path):
    assert model.encode(Text("abc")) == [1, 2, 3]
    assert model.encode(st="cab") == [3, 1, 2]
    (tmp_path / "model").write_bytes(EMPTY_MODEL)
    assert type(selvane.load_from_file(Text(str(tmp_path / "model")))) is selvane.Data
    with pytest.raises(PanicException):
        model.train(**train_kwargs(tmp_path, train_file=Text("missing"), logs_file=Text("logs")))


# ---------------------------------------------------------------------------
# print_logs
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, type_name",
    [(1, "int"), (0, "int"), (None, "NoneType"), ("True", "str"), (1.0, "float")],
)
def test_print_logs_refuses_non_bools(model, tmp_path, value, type_name):
    with pytest.raises(TypeError) as info:
        model.train(**train_kwargs(tmp_path, print_logs=value))
    assert str(info.value) == (
        f"argument 'print_logs': '{type_name}' object cannot be converted to 'PyBool'"
    )


@pytest.mark.parametrize(
    "value, expected",
    [(True, True), (False, False), (numpy.True_, True), (numpy.False_, False)],
)
def test_print_logs_value_reaches_the_body(model, tmp_path, monkeypatch, value, expected):
    """With print_logs true, train() opens "log.txt" in the current directory
    before it finds that the training file is missing."""
    workdir = tmp_path / "work"
    workdir.mkdir()
    monkeypatch.chdir(workdir)
    with pytest.raises(PanicException) as info:
        model.train(**train_kwargs(tmp_path, print_logs=value))
    assert (workdir / "log.txt").exists() == expected


def numpy_named_type(**namespace):
    """A type whose tp_name is "numpy.bool_", like numpy's boolean scalar."""
    return type("numpy.bool_", (), namespace)


def test_numpy_named_type_without_truth_slot(model, tmp_path):
    fake = numpy_named_type()
    with pytest.raises(TypeError) as info:
        model.train(**train_kwargs(tmp_path, print_logs=fake()))
    assert str(info.value) == (
        "argument 'print_logs': object of type "
        f"'{fake}' does not define a '__bool__' conversion"
    )


def test_numpy_named_type_truth_slot_errors_pass_unchanged(model, tmp_path):
    def fail(self):
        raise ValueError("no truth here")

    with pytest.raises(ValueError, match="^no truth here$"):
        model.train(**train_kwargs(tmp_path, print_logs=numpy_named_type(__bool__=fail)()))


def test_numpy_named_type_truth_is_used(model, tmp_path):
    calls = []

    def truth(self):
        calls.append(self)
        return False

    with pytest.raises(PanicException):
        model.train(**train_kwargs(tmp_path, print_logs=numpy_named_type(__bool__=truth)()))
    assert len(calls) == 1


# ---------------------------------------------------------------------------
# tokens
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("value", ["12", "", Text("1")])
def test_tokens_refuses_str(model, value):
    with pytest.raises(TypeError) as info:
        model.decode(value)
    assert str(info.value) == "argument 'tokens': Can't extract `str` to `Vec`"


@pytest.mark.parametrize(
    "value, type_name",
    [({1: 2}, "dict"), ({1}, "set"), ((i for i in [1]), "generator"), (5, "int"), (None, "NoneType")],
)
def test_tokens_refuses_non_sequences(model, value, type_name):
    with pytest.raises(TypeError) as info:
        model.decode(value)
    assert str(info.value) == (
        f"argument 'tokens': '{type_name}' object cannot be converted to 'Sequence'"
    )


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "tokens, text",
    [
        ([1, 2, 3], "abc"),
        ((3, 2, 1), "cba"),
        (range(1, 4), "abc"),
        (b"a\x01", "Aa"),
        (bytearray(b"\x02"), "b"),
        ([], ""),
        ([True, 0, Index(2)], "ab"),
        ([65535], "z"),
    ],
)
def test_tokens_accepted(model, tokens, text):
    assert model.decode(tokens) == text


def test_tokens_by_keyword(model):
    assert model.decode(tokens=[1]) == "a"


@pytest.mark.parametrize("value", [65536, -1, -(2**40), 2**40, Index(70000)])
def test_tokens_out_of_range(model, value):
    with pytest.raises(OverflowError) as info:
        model.decode([1, value])
    assert str(info.value) == "out of range integral type conversion attempted"


def test_tokens_beyond_machine_long(model):
    with pytest.raises(OverflowError) as info:
        model.decode([2**70])
    assert not str(info.value).startswith("argument")
    assert str(info.value) != "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    "value, message",
    [
        (1.0, "'float' object cannot be interpreted as an integer"),
        ("1", "'str' object cannot be interpreted as an integer"),
        (None, "'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_tokens_element_not_an_integer(model, value, message):
    with pytest.raises(TypeError) as info:
        model.decode([1, value])
    assert str(info.value) == "argument 'tokens': " + message


class Claims:
    """A sequence whose __len__ says something other than its iteration."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("length", [ValueError("no length"), sys.maxsize, 0])
def test_tokens_length_is_only_a_hint(model, length):
    # A failing or absurd length must neither fail the call nor make it try
    # to reserve that much memory.
    assert model.decode(Claims(length, [1, 2])) == "ab"


# ---------------------------------------------------------------------------
# The argument-name rule
# ---------------------------------------------------------------------------


class Raises:
    """An element whose __index__ raises `error`."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


def test_argument_name_keeps_the_cause(model):
    root = ValueError("root")
    error = TypeError("boom")
    error.__cause__ = root
    with pytest.raises(TypeError) as info:
        model.decode([Raises(error)])
    renamed = info.value
    assert str(renamed) == "argument 'tokens': boom"
    assert renamed is not error
    assert renamed.__cause__ is root
    assert renamed.__context__ is not error


def test_argument_name_without_cause(model):
    with pytest.raises(TypeError) as info:
        model.decode([Raises(TypeError("plain"))])
    assert str(info.value) == "argument 'tokens': plain"
    assert info.value.__cause__ is None


def test_type_error_subclasses_pass_unchanged(model):
    class Special(TypeError):
        pass

    error = Special("special")
    with pytest.raises(Special) as info:
        model.decode([Raises(error)])
    assert info.value is error


@pytest.mark.parametrize("error", [KeyError("k"), RuntimeError("r"), OverflowError("o")])
def test_other_errors_pass_unchanged(model, error):
    class Iterates:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            return 1

        def __iter__(self):
            raise error

    with pytest.raises(type(error)) as info:
        model.decode(Iterates())
    assert info.value is error
    with pytest.raises(type(error)) as info:
        model.decode([Raises(error)])
    assert info.value is error


def test_unprintable_type_error(model, monkeypatch):
    class BadStr:
        def __str__(self):
            raise ValueError("cannot print")

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    with pytest.raises(TypeError) as info:
        model.decode([Raises(TypeError(BadStr()))])
    assert str(info.value) == "argument 'tokens': <unprintable TypeError object>"
    assert len(seen) == 1
    assert type(seen[0].exc_value) is ValueError


# ---------------------------------------------------------------------------
# Borrowing the model
# ---------------------------------------------------------------------------


class ReentrantTokens:
    """A sequence whose __iter__ first runs `inside`, recording its outcome."""

    def __init__(self, inside, propagate=False):
        self.inside, self.propagate, self.outcome = inside, propagate, None

    def __len__(self):
        return 1

    def __getitem__(self, index):
        return [1][index]

    def __iter__(self):
        try:
            self.outcome = ("returned", self.inside())
        except BaseException as error:  # noqa: B036
            if self.propagate:
                raise
            self.outcome = ("raised", error)
        return iter([1])


def test_train_inside_decode_is_already_borrowed(model, tmp_path):
    tokens = ReentrantTokens(lambda: model.train(**train_kwargs(tmp_path)))
    assert model.decode(tokens) == "a"
    kind, error = tokens.outcome
    assert kind == "raised" and type(error) is RuntimeError
    assert str(error) == "Already borrowed"


def test_borrow_error_propagates_without_prefix(model, tmp_path):
    tokens = ReentrantTokens(lambda: model.train(**train_kwargs(tmp_path)), propagate=True)
    with pytest.raises(RuntimeError) as info:
        model.decode(tokens)
    assert str(info.value) == "Already borrowed"
    # Both borrows were given back: train() gets past its borrow now.
    with pytest.raises(PanicException):
        model.train(**train_kwargs(tmp_path))


def test_shared_borrows_nest(model):
    tokens = ReentrantTokens(lambda: (model.vocab(), model.decode([2, 3]), model.encode("ab")))
    assert model.decode(tokens) == "a"
    kind, (ids, text, encoded) = tokens.outcome
    assert kind == "returned"
    assert ids == sorted(LOOKUP) and text == "bc" and encoded == [1, 2]


def test_other_objects_are_not_borrowed(model, tmp_path):
    other = write_and_load(tmp_path, model_image(LOOKUP, TEXTS), name="other")
    tokens = ReentrantTokens(lambda: other.train(**train_kwargs(tmp_path)))
    model.decode(tokens)
    kind, error = tokens.outcome
    assert kind == "raised" and type(error) is PanicException


def test_reads_inside_train_are_mutably_borrowed(model, tmp_path):
    outcomes = []

    def truth(self):
        for read in (model.vocab, lambda: model.encode("a"), lambda: model.decode([1])):
            try:
                read()
            except RuntimeError as error:
                outcomes.append(str(error))
        return False

    with pytest.raises(PanicException):
        model.train(**train_kwargs(tmp_path, print_logs=numpy_named_type(__bool__=truth)()))
    assert outcomes == ["Already mutably borrowed"] * 3
    # Released after the failed train(): reads work again.
    assert model.vocab() is not None


def test_borrow_released_after_conversion_failures(model, tmp_path):
    for bad in ("12", [1.0], [70000], {1: 1}):
        with pytest.raises((TypeError, OverflowError)):
            model.decode(bad)
    with pytest.raises(TypeError):
        model.train(**train_kwargs(tmp_path, print_logs=1))
    with pytest.raises(TypeError):
        model.train(**train_kwargs(tmp_path, logs_file=5))
    # Free again: the exclusive borrow succeeds and so do reads.
    with pytest.raises(PanicException):
        model.train(**train_kwargs(tmp_path))
    assert model.decode([1]) == "a"


# ---------------------------------------------------------------------------
# References
# ---------------------------------------------------------------------------


def test_calls_do_not_leak_references(model, tmp_path):
    tokens = [1, 2, 3]
    bad = [1, 2.5]
    text = "abc"
    model_refs = sys.getrefcount(model)
    counts = [sys.getrefcount(o) for o in (tokens, bad, text)]
    for _ in range(300):
        model.decode(tokens)
        model.encode(text)
        model.vocab()
        with pytest.raises(TypeError):
            model.decode(bad)
        with pytest.raises(TypeError):
            model.encode(tokens)
        with pytest.raises(PanicException):
            model.decode([4])  # an id the model lacks
    assert sys.getrefcount(model) == model_refs
    assert [sys.getrefcount(o) for o in (tokens, bad, text)] == counts
