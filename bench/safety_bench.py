"""`train` and `load_from_file` of two builds of the module, side by side.

Each build is a directory that holds a built `selvane` module (for example
one made with `pip install --target DIR .` from each checkout). The runs
alternate between the two builds, each in a fresh child process that times
only the call, and the medians are printed with their ratio. Reads the
classical corpus from ../shared/corpora beside the checkout.

    python bench/safety_bench.py --base DIR --new DIR [--runs N] [--loads N]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "corpora" / "tashkeela-classical" / "classical.txt"
CHUNK = 3_067_833

TRAIN = r"""
import sys, time, selvane
model = selvane.load_from_file("empty.model")
started = time.perf_counter()
model.train(sys.argv[1], False, "train.log")
sys.stderr.write("SECONDS %r\n" % (time.perf_counter() - started))
"""

# The median of many loads of one model file, in one child.
LOAD = r"""
import statistics, sys, time, selvane
times = []
for _ in range(int(sys.argv[2])):
    started = time.perf_counter()
    selvane.load_from_file(sys.argv[1])
    times.append(time.perf_counter() - started)
sys.stderr.write("SECONDS %r\n" % statistics.median(times))
"""


def child_seconds(build: pathlib.Path, code: str, args: list[str], cwd: pathlib.Path) -> float:
    env = {**os.environ, "PYTHONPATH": str(build)}
    result = subprocess.run([sys.executable, "-c", code, *args], cwd=cwd, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        sys.exit(f"child failed with {build}:\n{result.stderr}")
    return next(float(line.split()[1]) for line in result.stderr.splitlines()
                if line.startswith("SECONDS "))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--base", type=pathlib.Path, required=True)
    parser.add_argument("--new", type=pathlib.Path, required=True)
    parser.add_argument("--runs", type=int, default=5, help="alternating runs per build")
    parser.add_argument("--loads", type=int, default=20, help="loads per load run")
    parser.add_argument("--chunks", type=int, default=2, help="chunks of corpus to train on")
    parser.add_argument("--corpus", type=pathlib.Path, default=CORPUS)
    args = parser.parse_args()
    if not args.corpus.is_file():
        raise SystemExit(f"corpus not found: {args.corpus} (pass --corpus, or place "
                         "../shared/corpora beside the checkout)")

    builds = {"base": args.base.resolve(), "new": args.new.resolve()}
    times: dict[tuple[str, str], list[float]] = {}
    with tempfile.TemporaryDirectory(prefix="selvane-safety-bench-") as tmp:
        tmp = pathlib.Path(tmp)
        corpus = tmp / "corpus.txt"
        with open(args.corpus, "rb") as source:
            corpus.write_bytes(source.read(CHUNK * args.chunks))
        for run in range(args.runs):
            # Alternate the order too, so that neither build always goes first.
            order = list(builds) if run % 2 == 0 else list(reversed(builds))
            for name in order:
                work = tmp / f"{name}-{run}"
                work.mkdir()
                (work / "empty.model").write_bytes(bytes(24))
                seconds = child_seconds(builds[name], TRAIN, [str(corpus)], work)
                times.setdefault(("train", name), []).append(seconds)
                model = str(work / "tokenizer")
                seconds = child_seconds(builds[name], LOAD, [model, str(args.loads)], work)
                times.setdefault(("load_from_file", name), []).append(seconds)
                print(f"  run {run + 1}/{args.runs} {name}: train "
                      f"{times[('train', name)][-1]:.3f} s, load "
                      f"{times[('load_from_file', name)][-1] * 1e3:.2f} ms", file=sys.stderr)
        size = os.path.getsize(tmp / "new-0" / "tokenizer")

    print(f"train on {args.chunks} chunks of {args.corpus.name}; load_from_file of the "
          f"resulting model ({size:,} bytes), median of {args.loads} loads per run; "
          f"medians of {args.runs} alternating runs")
    print(f"{'call':<16} {'base':>10} {'new':>10} {'new/base':>9}")
    for call, unit, scale in (("train", "s", 1.0), ("load_from_file", "ms", 1e3)):
        base = statistics.median(times[(call, "base")]) * scale
        new = statistics.median(times[(call, "new")]) * scale
        print(f"{call:<16} {base:>8.3f}{unit:>2} {new:>8.3f}{unit:>2} {new / base:>9.3f}")


if __name__ == "__main__":
    main()
