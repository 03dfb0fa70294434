"""How the installed extension module links: a wheel built from it must load
on systems with an older C++ runtime than the compiler's, and must not leak
the runtime it carries into the process."""

from __future__ import annotations

import re
import shutil
import subprocess

import pytest

import selvane

READELF = shutil.which("readelf")
pytestmark = pytest.mark.skipif(READELF is None, reason="needs readelf from binutils")


def readelf(*options: str) -> str:
    assert READELF is not None
    return subprocess.run([READELF, "-W", *options, selvane.__file__], capture_output=True, text=True,
                          check=True).stdout


def test_module_needs_no_shared_cxx_runtime() -> None:
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf("--dynamic"))
    assert "libc.so.6" in needed, needed
    if any(name.startswith("libasan") for name in needed):
        pytest.skip("a sanitized build keeps the shared runtime for the sanitizer")
    assert [name for name in needed if name.startswith("libstdc++")] == []


def test_module_exports_only_its_init_function() -> None:
    # A defined global or weak symbol beyond PyInit_selvane would be a piece
    # of the linked-in runtime that could interpose on another module's.
    exported = []
    for line in readelf("--dyn-syms").splitlines():
        fields = line.split()
        if len(fields) >= 8 and fields[4] in ("GLOBAL", "WEAK") and fields[6] != "UND":
            exported.append(fields[7])
    assert exported == ["PyInit_selvane"]
