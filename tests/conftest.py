"""What every test module shares: the one way to write and load a model, the
panic exception type, and a fresh interpreter for tests that watch a whole
process."""

from __future__ import annotations

import os
import subprocess
import sys

import selvane
from modelfile import encode_model

# A model with three empty maps.
EMPTY_MODEL = encode_model({}, {}, {})

# Whether the suite runs against a build with AddressSanitizer (make asan
# preloads its runtime): slower, with more memory and address space in use.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def model_image(
    lookup: dict[int, bytes],
    unicode_lookup: dict[str | bytes, int] | None = None,
    merges: dict[tuple[int, int], int] | None = None,
) -> bytes:
    """The bytes of a model file holding the three maps, as the module writes
    them."""
    return encode_model(lookup, merges or {}, unicode_lookup or {})


def load(path) -> selvane.Data:
    """load_from_file(path) with the path as a str."""
    return selvane.load_from_file(str(path))


def write_and_load(tmp_path, image: bytes = EMPTY_MODEL, name: str = "model") -> selvane.Data:
    """Writes `image` to `tmp_path / name` and loads it."""
    path = tmp_path / name
    path.write_bytes(image)
    return load(path)


def load_model(tmp_path, lookup, merges=None, unicode_lookup=None, name="model") -> selvane.Data:
    """Writes a model of the three maps to `tmp_path / name` and loads it."""
    return write_and_load(tmp_path, model_image(lookup, unicode_lookup, merges), name)


def panic_exception_type() -> type[BaseException]:
    """The panic exception type, which the module does not export: taken from
    the failure of loading a path that cannot exist."""
    try:
        selvane.load_from_file("/nonexistent/selvane-test/model")
    except BaseException as error:  # noqa: B036 - the panic type is a BaseException
        return type(error)
    raise AssertionError("loading a missing file succeeded")


PanicException = panic_exception_type()


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
