"""The examples in the companion's docstrings run as written (those that
need files of their own are marked to be skipped)."""

from __future__ import annotations

import doctest
import importlib
import pkgutil

import pytest

import selvane_tools

MODULES = sorted(info.name for info in pkgutil.iter_modules(selvane_tools.__path__, "selvane_tools."))


@pytest.mark.parametrize("name", ["selvane_tools", *MODULES])
def test_docstring_examples(name):
    if name == "selvane_tools.dask":
        pytest.importorskip("distributed")
    if name == "selvane_tools.hf":
        pytest.importorskip("transformers")
    result = doctest.testmod(importlib.import_module(name), optionflags=doctest.ELLIPSIS)
    assert result.failed == 0
