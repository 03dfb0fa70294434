"""How long a new user waits: installing a wheel, and `pip install .` from a
fresh clone of two commits, side by side.

Every run starts from nothing: a fresh virtual environment, and for the
source installs a fresh clone and no pip cache (`--no-cache-dir`), so build
isolation downloads its build requirements as a new user's would. The source
installs of the two commits alternate, and each one's `pip install -v` lines
are timestamped to split its time into build isolation (up to the build
backend's first line: the isolated environment and its requirements),
configure, compile, and the rest (the wheel, and installing it with its
dependencies). The wheel installs run with only the venv's programs on PATH,
so no compiler could take part. After each source install the clone's
`git status --ignored` is printed when it is not clean.

    python bench/install_bench.py --base 119a343 --new HEAD --wheel dist/selvane-...whl [--runs 3]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Lines of scikit-build-core's verbose output that start each phase.
MARKS = {
    "configure": "*** Configuring CMake",
    "compile": "*** Building project",
    "rest": "*** Installing project",
}
PHASES = ["isolation", "configure", "compile", "rest"]


def fresh_venv(where: pathlib.Path) -> pathlib.Path:
    """Creates a virtual environment at `where` and returns its python."""
    subprocess.run([sys.executable, "-m", "venv", str(where)], check=True)
    return where / "bin" / "python"


def timed_lines(command: list[str], cwd: pathlib.Path, env: dict[str, str]) -> tuple[float, list[tuple[float, str]]]:
    """Runs `command`, returning its wall time and each output line with the
    seconds since the start at which it arrived."""
    started = time.perf_counter()
    lines: list[tuple[float, str]] = []
    with subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, errors="replace") as child:
        assert child.stdout is not None
        for line in child.stdout:
            lines.append((time.perf_counter() - started, line.rstrip("\n")))
        if child.wait() != 0:
            sys.stderr.write("\n".join(text for _, text in lines[-40:]) + "\n")
            raise SystemExit(f"{' '.join(command)} failed")
    return time.perf_counter() - started, lines


def source_install(commit: str, scratch: pathlib.Path) -> dict[str, float]:
    """Clones `commit` afresh and times `pip install -v --no-cache-dir .`
    into a fresh venv; returns the total and each phase in seconds."""
    clone = scratch / "clone"
    subprocess.run(["git", "clone", "-q", str(ROOT), str(clone)], check=True)
    subprocess.run(["git", "-C", str(clone), "checkout", "-q", commit], check=True)
    python = fresh_venv(scratch / "venv")
    total, lines = timed_lines(
        [str(python), "-m", "pip", "install", "-v", "--no-cache-dir", "--disable-pip-version-check", "."],
        clone, dict(os.environ))
    starts = {"isolation": 0.0}
    for phase, mark in MARKS.items():
        starts[phase] = next((at for at, text in lines if mark in text), float("nan"))
    starts["end"] = total
    # The isolation phase ends where the backend starts its own work.
    backend = next((at for at, text in lines if text.startswith("*** scikit-build-core")), starts["configure"])
    times = {
        "total": total,
        "isolation": backend,
        "configure": starts["compile"] - starts["configure"],
        "compile": starts["rest"] - starts["compile"],
        "rest": total - starts["rest"],
    }
    # Whatever is neither isolation nor backend phase (the backend's set-up
    # before configuring) counts with configure.
    times["configure"] += starts["configure"] - backend
    status = subprocess.run(["git", "-C", str(clone), "status", "--ignored", "--porcelain"],
                            capture_output=True, text=True, check=True).stdout
    if status:
        print(f"  {commit}: git status --ignored after the install: {' '.join(status.split())}")
    return times


def wheel_install(wheel: pathlib.Path, scratch: pathlib.Path) -> float:
    """Seconds to create a fresh venv and install `wheel` (and its
    dependencies) from binaries only, with no compiler on PATH."""
    started = time.perf_counter()
    python = fresh_venv(scratch / "venv")
    env = dict(os.environ, PATH=str(python.parent), CC="/nonexistent/cc", CXX="/nonexistent/c++")
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    "--only-binary=:all:", str(wheel)], env=env, check=True)
    subprocess.run([str(python.parent / "selvane"), "--version"], env=env, check=True, capture_output=True)
    return time.perf_counter() - started


def main() -> None:
    """Runs the installs in turn and prints the medians side by side."""
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--base", required=True, help="commit of the base")
    parser.add_argument("--new", required=True, help="commit of the new version")
    parser.add_argument("--wheel", type=pathlib.Path, required=True, help="the wheel to install")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    commits = {"base": args.base, "new": args.new}
    results: dict[str, list[dict[str, float]]] = {name: [] for name in commits}
    wheel_times: list[float] = []
    for run in range(args.runs):
        for name, commit in commits.items():
            with tempfile.TemporaryDirectory(prefix="install-bench-") as scratch:
                results[name].append(source_install(commit, pathlib.Path(scratch)))
            print(f"run {run + 1} {name:4}: " + "  ".join(
                f"{key} {value:6.1f} s" for key, value in results[name][-1].items()), flush=True)
        with tempfile.TemporaryDirectory(prefix="install-bench-") as scratch:
            wheel_times.append(wheel_install(args.wheel.resolve(), pathlib.Path(scratch)))
        print(f"run {run + 1} wheel: {wheel_times[-1]:6.1f} s", flush=True)

    print(f"\nmedians of {args.runs} runs, pip install . from a fresh clone, no cache (seconds)")
    print(f"{'phase':10} {'base':>8} {'new':>8} {'new/base':>9}")
    for key in ["total", *PHASES]:
        base = statistics.median(times[key] for times in results["base"])
        new = statistics.median(times[key] for times in results["new"])
        print(f"{key:10} {base:8.1f} {new:8.1f} {new / base if base else float('nan'):9.2f}")
    print(f"\nwheel into a fresh venv, no compiler on PATH: median {statistics.median(wheel_times):.1f} s "
          f"(runs: {', '.join(f'{t:.1f}' for t in wheel_times)})")


if __name__ == "__main__":
    main()
