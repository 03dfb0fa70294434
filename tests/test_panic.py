"""Panics: the panic exception type, the report on standard error, and panic
exceptions that come back from Python code called during a conversion."""

from __future__ import annotations

import textwrap

import pytest

import selvane
from conftest import PanicException, model_image, run_python, write_and_load

MISSING = "Should work: Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"

FIXED_DOC_END = (
    "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def panic_from_missing_file(tmp_path) -> BaseException:
    try:
        selvane.load_from_file(str(tmp_path / "no-such-model"))
    except BaseException as error:  # noqa: B036
        return error
    raise AssertionError("loading a missing file succeeded")


# ---------------------------------------------------------------------------
# The type
# ---------------------------------------------------------------------------


def test_panic_exception_type():
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__qualname__ == "PanicException"
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__mro__ == (PanicException, BaseException, object)
    assert not issubclass(PanicException, Exception)
    doc = PanicException.__doc__
    assert doc.startswith("\n") and doc.endswith(FIXED_DOC_END)
    first_sentence = doc[1 : -len(FIXED_DOC_END)]
    assert "\n" not in first_sentence and "panic" in first_sentence


def test_one_type_for_every_panic(tmp_path):
    assert type(panic_from_missing_file(tmp_path)) is PanicException
    model = write_and_load(tmp_path, model_image({0: b""}))
    with pytest.raises(BaseException) as info:  # noqa: B017
        model.decode([7])
    assert type(info.value) is PanicException


def test_not_caught_as_exception(tmp_path):
    with pytest.raises(PanicException) as info:
        try:
            selvane.load_from_file(str(tmp_path / "missing"))
        except Exception:  # noqa: BLE001 - must not catch the panic
            pytest.fail("except Exception caught a panic exception")
    error = info.value
    assert len(error.args) == 1 and type(error.args[0]) is str
    assert str(error) == error.args[0]
    assert error.args == (MISSING,)


def test_body_panic_leaves_the_object_usable(tmp_path):
    model = write_and_load(tmp_path, model_image({0: b"", 1: b"x"}))
    for _ in range(3):
        with pytest.raises(PanicException) as info:
            model.decode([1, 2])
        assert str(info.value) == "This should not happend"
    assert model.decode([1, 1]) == "xx"
    assert model.vocab() == [0, 1]


# ---------------------------------------------------------------------------
# Report on standard error
# ---------------------------------------------------------------------------


def test_panic_report_on_stderr(tmp_path):
    result = run_python(
        textwrap.dedent(
            f"""
            import selvane
            try:
                selvane.load_from_file({str(tmp_path / "missing")!r})
            except BaseException as error:
                print("raised", type(error).__name__)
            """
        )
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "raised PanicException\n"
    lines = result.stderr.splitlines()
    assert len(lines) == 2, result.stderr
    assert lines[0].startswith("thread 'main' panicked at src/")
    assert lines[1] == MISSING


def test_uncaught_panic_ends_the_program(tmp_path):
    result = run_python(
        f"import selvane\nselvane.load_from_file({str(tmp_path / 'missing')!r})\n"
        "print('not reached')\n"
    )
    assert result.returncode == 1
    assert result.stdout == ""
    assert "pyo3_runtime.PanicException: " in result.stderr


# ---------------------------------------------------------------------------
# Panic exceptions fetched back from Python
# ---------------------------------------------------------------------------


class RaisingTokens:
    """A sequence whose iteration raises `error`."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise self.error

    def __iter__(self):
        raise self.error


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


def test_fetched_panic_is_raised_anew(tmp_path):
    model = write_and_load(tmp_path, model_image({0: b""}))
    original = panic_from_missing_file(tmp_path)
    for tokens in (RaisingTokens(original), [RaisingIndex(original)]):
        with pytest.raises(PanicException) as info:
            model.decode(tokens)
        assert info.value is not original
        assert info.value.args == original.args
    # The borrow was given back on the way out.
    assert model.vocab() == [0]


def test_fetched_panic_that_cannot_be_printed(tmp_path):
    class BadStr:
        def __str__(self):
            raise ValueError("no text")

    model = write_and_load(tmp_path, model_image({0: b""}))
    with pytest.raises(PanicException) as info:
        model.decode(RaisingTokens(PanicException(BadStr())))
    assert info.value.args == ("Unwrapped panic from Python code",)


def test_fetched_panic_report(tmp_path):
    (tmp_path / "model").write_bytes(model_image({0: b""}))
    code = textwrap.dedent(
        f"""
        import selvane
        try:
            selvane.load_from_file({str(tmp_path / "missing")!r})
        except BaseException as error:
            original = error

        class Tokens:
            def __len__(self):
                return 1
            def __getitem__(self, index):
                return 0
            def __iter__(self):
                raise original

        model = selvane.load_from_file({str(tmp_path / "model")!r})
        try:
            model.decode(Tokens())
        except BaseException as error:
            print("raised", type(error).__name__, error.args == original.args)
        """
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "raised PanicException True\n"
    stderr = result.stderr
    # The first panic's report, then the announcement, the Python traceback
    # of the fetched exception, and the report of the new panic.
    first = stderr.index(MISSING)
    announce = stderr.index("resuming a panic after fetching a PanicException from Python")
    stack = stderr.index("Python stack trace below:\n")
    traceback = stderr.index("Traceback (most recent call last):")
    in_iter = stderr.index("in __iter__")
    final = stderr.rindex(MISSING)
    assert first < announce < stack < traceback < in_iter < final
    assert "pyo3_runtime.PanicException: " + MISSING in stderr[traceback:final]
    assert stderr.count("panicked at") == 2
