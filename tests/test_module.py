"""The module as Python sees it: its attributes, the class Data and its
methods, object lifetime, re-import and subinterpreters."""

from __future__ import annotations

import gc
import importlib
import inspect
import sys
import textwrap
import weakref

import pytest

import selvane
from conftest import EMPTY_MODEL, model_image, run_python, write_and_load

Data = selvane.Data


# ---------------------------------------------------------------------------
# Module attributes
# ---------------------------------------------------------------------------


def test_module_attributes():
    assert type(selvane.__all__) is list
    assert selvane.__all__ == ["Data", "load_from_file"]
    assert selvane.__doc__ == ""
    for name in selvane.__all__:
        assert hasattr(selvane, name)
    # The panic exception is reachable only through a failure, never by name.
    assert not hasattr(selvane, "PanicException")


def test_load_from_file_function():
    function = selvane.load_from_file
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == "load_from_file"
    assert function.__self__ is selvane
    assert function.__module__ == "selvane"
    assert function.__text_signature__ == "(filename)"
    assert function.__doc__ is None
    assert list(inspect.signature(function).parameters) == ["filename"]


# ---------------------------------------------------------------------------
# The class Data
# ---------------------------------------------------------------------------


def test_class_names_and_doc():
    assert Data.__name__ == "Data"
    assert Data.__qualname__ == "Data"
    assert Data.__module__ == "builtins"
    assert Data.__doc__ is None
    assert repr(Data) == "<class 'builtins.Data'>"
    assert Data.__bases__ == (object,)


@pytest.mark.parametrize(
    "name, signature",
    [
        ("train", "($self, train_file, print_logs, logs_file)"),
        ("encode", "($self, st)"),
        ("decode", "($self, tokens)"),
        ("vocab", "($self)"),
    ],
)
def test_method_signatures(name, signature):
    method = getattr(Data, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None
    expected = ["self"] + [
        p.strip() for p in signature[len("($self") : -1].split(",") if p.strip()
    ]
    assert list(inspect.signature(method).parameters) == expected


def test_class_has_only_its_four_methods():
    own = {name for name in vars(Data) if not name.startswith("__")}
    assert own == {"train", "encode", "decode", "vocab"}


@pytest.mark.parametrize(
    "call",
    [
        lambda: Data(),
        lambda: Data(1, 2),
        lambda: Data("model", key="value"),
        lambda: Data.__new__(Data),
    ],
)
def test_no_constructor(call):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == "No constructor defined"
    assert type(info.value) is TypeError


def test_not_a_base_type():
    with pytest.raises(TypeError):

        class Sub(Data):  # noqa: F841
            pass


# ---------------------------------------------------------------------------
# Instances
# ---------------------------------------------------------------------------


def test_instance_has_no_dict_or_weakref(tmp_path):
    model = write_and_load(tmp_path)
    assert type(model) is Data
    assert repr(model).startswith("<builtins.Data object at 0x")
    assert not hasattr(model, "__dict__")
    with pytest.raises(AttributeError):
        model.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(model)
    assert not gc.is_tracked(model)


def test_vocab_refuses_arguments(tmp_path):
    model = write_and_load(tmp_path)
    with pytest.raises(TypeError, match="takes no arguments"):
        model.vocab(1)
    with pytest.raises(TypeError):
        model.vocab(x=1)


def test_loads_are_independent_objects(tmp_path):
    first = write_and_load(tmp_path)
    second = write_and_load(tmp_path)
    assert first is not second
    assert type(first) is type(second) is Data


def test_instances_release_their_references(tmp_path):
    """Creating and dropping objects leaves the class's reference count (each
    instance holds one) where it was, so the destructor gives it back."""
    path = tmp_path / "model"
    path.write_bytes(EMPTY_MODEL)
    write_and_load(tmp_path)
    gc.collect()
    before = sys.getrefcount(Data)
    models = [selvane.load_from_file(str(path)) for _ in range(200)]
    assert sys.getrefcount(Data) == before + 200
    del models
    gc.collect()
    assert sys.getrefcount(Data) == before


def test_destroyed_objects_free_their_model(tmp_path):
    """Each object owns a model with a 4 MiB token; dropping the objects must
    return that memory, so loading 200 of them one after the other keeps the
    resident size well below the 800 MiB that they would hold together (the
    bound leaves room for AddressSanitizer's 256 MiB quarantine of freed
    memory)."""
    token = 4 << 20
    path = tmp_path / "big"
    path.write_bytes(model_image({1: b"x" * token}))
    write_and_load(tmp_path)
    result = run_python(
        textwrap.dedent(
            f"""
            import os, selvane
            def resident():
                with open("/proc/self/statm") as f:
                    return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
            selvane.load_from_file({str(path)!r})
            before = resident()
            for _ in range(200):
                model = selvane.load_from_file({str(path)!r})
                del model
            print((resident() - before) >> 20)
            """
        )
    )
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 400


# ---------------------------------------------------------------------------
# Import
# ---------------------------------------------------------------------------


def test_reimport_returns_the_same_module():
    saved = sys.modules.pop("selvane")
    try:
        again = importlib.import_module("selvane")
        assert again is saved
        assert again.Data is Data
        assert again.__all__ == ["Data", "load_from_file"]
    finally:
        sys.modules["selvane"] = saved


def test_fresh_process_reimport():
    result = run_python(
        textwrap.dedent(
            """
            import sys
            import selvane
            first, cls = selvane, selvane.Data
            del sys.modules["selvane"]
            import selvane
            assert selvane is first and selvane.Data is cls
            assert selvane.__all__ == ["Data", "load_from_file"], selvane.__all__
            print("ok")
            """
        )
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def test_subinterpreter_import_is_refused(tmp_path):
    """A legacy-configured subinterpreter gets as far as the module's entry
    function, which refuses it; the main interpreter keeps working."""
    if sys.version_info >= (3, 13):
        create = "import _interpreters as interpreters\nid = interpreters.create('legacy')"
    else:
        create = (
            "import _xxsubinterpreters as interpreters\n"
            "id = interpreters.create(isolated=False)"
        )
    out = tmp_path / "result.txt"
    inner = textwrap.dedent(
        f"""
        try:
            import selvane
        except ImportError as error:
            result = "ImportError: " + str(error)
        else:
            result = "imported"
        with open({str(out)!r}, "w") as f:
            f.write(result)
        """
    )
    code = textwrap.dedent(
        """
        import selvane
        {create}
        interpreters.run_string(id, {inner!r})
        interpreters.destroy(id)
        assert selvane.Data.__name__ == "Data"
        print("main ok")
        """
    ).format(create=create, inner=inner)
    try:
        __import__("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    except ImportError:
        pytest.skip("no subinterpreter module in this interpreter")
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "main ok\n"
    text = out.read_text()
    assert text.startswith("ImportError: ")
    assert "selvane does not support subinterpreters" in text
