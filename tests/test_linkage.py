"""How the installed extension module links: a wheel built from it must load
on systems with an older C++ runtime than the compiler's, and must not leak
the runtime it carries into the process."""

from __future__ import annotations

import ctypes
import re
import shutil
import subprocess

import pytest

import selvane

READELF = shutil.which("readelf")
pytestmark = pytest.mark.skipif(READELF is None, reason="needs readelf from binutils")


def readelf(path: str, *options: str) -> str:
    assert READELF is not None
    return subprocess.run([READELF, "-W", *options, path], capture_output=True, text=True, check=True).stdout


def needed_libraries() -> list[str]:
    return re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf(selvane.__file__, "--dynamic"))


def exported_symbols(path: str) -> set[str]:
    """The names of the global and weak symbols that `path` defines for others."""
    exported = set()
    for line in readelf(path, "--dyn-syms").splitlines():
        fields = line.split()
        if len(fields) >= 8 and fields[4] in ("GLOBAL", "WEAK") and fields[6] != "UND":
            exported.add(fields[7].split("@")[0])
    return exported


def shared_cxx_runtime() -> str:
    """The path of the system's libstdc++, as the dynamic loader finds it."""
    try:
        ctypes.CDLL("libstdc++.so.6")
    except OSError:
        pytest.skip("no shared libstdc++ on this system to compare with")
    with open("/proc/self/maps") as maps:
        for line in maps:
            if line.rstrip().endswith("/libstdc++.so.6") or "/libstdc++.so.6." in line:
                return line.split()[-1]
    pytest.skip("libstdc++ loaded but not found in /proc/self/maps")


def test_module_needs_no_shared_cxx_runtime() -> None:
    needed = needed_libraries()
    assert "libc.so.6" in needed, needed
    if any(name.startswith("libasan") for name in needed):
        pytest.skip("a sanitized build keeps the shared runtime for the sanitizer")
    assert [name for name in needed if name.startswith("libstdc++")] == []


def test_linked_in_runtime_stays_private() -> None:
    # A symbol of the runtime exported by the module could interpose on the
    # system's libstdc++ for every library loaded after it.
    if any(name.startswith("libstdc++") for name in needed_libraries()):
        pytest.skip("the module uses the shared runtime: none of it is linked in")
    exported = exported_symbols(selvane.__file__)
    assert "PyInit_selvane" in exported
    assert sorted(exported & exported_symbols(shared_cxx_runtime())) == []
