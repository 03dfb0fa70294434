"""Helpers shared by the tests of the module surface (module, arguments,
panics)."""

from __future__ import annotations

import os
import struct
import subprocess
import sys

import pytest

import selvane

# What a body says while it is still a placeholder; tests that need a real
# body skip on it and start running once the body exists.
NOT_BUILT = "is not built yet"

# A model with three empty maps.
EMPTY_MODEL = bytes(24)


def model_image(lookup: dict[int, bytes], texts: dict[str, int] | None = None) -> bytes:
    """A model file holding `lookup` and `texts` as its unicode_lookup, with
    no merges."""
    texts = texts or {}
    out = struct.pack("<Q", len(lookup))
    for token_id, value in sorted(lookup.items()):
        out += struct.pack("<HQ", token_id, len(value)) + value
    out += struct.pack("<QQ", 0, len(texts))
    for text, token_id in sorted(texts.items()):
        data = text.encode()
        out += struct.pack("<Q", len(data)) + data + struct.pack("<H", token_id)
    return out


def skip_if_not_built(error: BaseException) -> None:
    if NOT_BUILT in str(error):
        pytest.skip(f"body still a placeholder: {error}")


def load(path) -> selvane.Data:
    """load_from_file(path), skipping the test while the loader is a
    placeholder."""
    try:
        return selvane.load_from_file(str(path))
    except BaseException as error:  # noqa: B036 - the panic type is a BaseException
        skip_if_not_built(error)
        raise


def write_and_load(tmp_path, image: bytes = EMPTY_MODEL, name: str = "model"):
    path = tmp_path / name
    path.write_bytes(image)
    return load(path)


def panic_exception_type() -> type[BaseException]:
    """The panic exception type, which the module does not export: taken from
    the failure of loading a path that cannot exist."""
    try:
        selvane.load_from_file("/nonexistent/selvane-binding-test/model")
    except BaseException as error:  # noqa: B036
        return type(error)
    raise AssertionError("loading a missing file succeeded")


def run_python(code: str, cwd=None) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter of the one running the tests."""
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        cwd=cwd,
        env={**os.environ, "PYTHONIOENCODING": "utf-8"},
        timeout=120,
    )
