"""Wall time of `selvane train` beside a direct `Data.train` call, on 12 MB.

Both sides run as fresh processes from an empty model, side by side and
interleaved (the order alternates every round), and each time is the whole
process from start to exit, so the command's extra interpreter, its child
process, the pipe it reads and its atomic saves are all counted. The direct
side sends its console lines to /dev/null. Prints the median of each side and
the overhead of the command; checks that both wrote the same model bytes.

The corpus is the first 12,000,000 bytes of
../shared/corpora/tashkeela-classical/classical.txt; when that file is
missing, 12 MB built from data/sample/ are used instead, and the output says so.

    python bench/cli_train_bench.py [--runs N] [--corpus FILE]
"""

from __future__ import annotations

import argparse
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "corpora" / "tashkeela-classical" / "classical.txt"
SAMPLE = ROOT / "data" / "sample" / "tashkeela-msa-excerpt.txt"
SIZE = 12_000_000
SELVANE = pathlib.Path(sys.executable).parent / "selvane"

DIRECT = r"""
import sys, selvane
model = selvane.load_from_file(sys.argv[1])
model.train(sys.argv[2], False, "train.log")
"""


def corpus_bytes(path: pathlib.Path) -> tuple[bytes, str]:
    if path.is_file():
        with open(path, "rb") as source:
            data = source.read(SIZE)
        if len(data) == SIZE:
            return data, f"{path} (first {SIZE:,} bytes)"
        print(f"note: {path} holds fewer than {SIZE:,} bytes", file=sys.stderr)
    else:
        print(f"note: {path} is missing; using 12 MB built from {SAMPLE.relative_to(ROOT)}",
              file=sys.stderr)
    lines = SAMPLE.read_bytes().split(b"\n")
    parts, size, turn = [], 0, 0
    while size < SIZE:
        shift = (turn * 7919) % len(lines)
        part = b"\n".join(lines[shift:] + lines[:shift]) + b"\n"
        parts.append(part)
        size += len(part)
        turn += 1
    return b"".join(parts)[:SIZE], f"{SAMPLE.relative_to(ROOT)}, rotated copies to {SIZE:,} bytes"


def timed(command: list[str], cwd: pathlib.Path) -> float:
    started = time.perf_counter()
    subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7, help="runs of each side (at least 5)")
    parser.add_argument("--corpus", type=pathlib.Path, default=CORPUS)
    args = parser.parse_args()
    if args.runs < 5:
        parser.error("--runs must be at least 5")

    with tempfile.TemporaryDirectory(prefix="selvane-cli-bench-") as tmp:
        work = pathlib.Path(tmp)
        data, described = corpus_bytes(args.corpus)
        corpus = work / "corpus.txt"
        corpus.write_bytes(data)
        (work / "empty.model").write_bytes(bytes(24))
        direct_dir, cli_dir = work / "direct", work / "cli"
        direct_dir.mkdir()
        cli_dir.mkdir()
        sides = {
            "direct Data.train": ([sys.executable, "-c", DIRECT, str(work / "empty.model"), str(corpus)], direct_dir),
            "selvane train": ([str(SELVANE), "train", str(corpus), "-o", "out.model", "-q"], cli_dir),
        }
        times: dict[str, list[float]] = {name: [] for name in sides}
        names = list(sides)
        for round_ in range(args.runs):
            for name in names if round_ % 2 == 0 else names[::-1]:
                command, cwd = sides[name]
                times[name].append(timed(command, cwd))
        same = (direct_dir / "tokenizer").read_bytes() == (cli_dir / "out.model").read_bytes()

    print(f"corpus: {described}")
    print(f"python: {sys.version.split()[0]}, {args.runs} interleaved runs per side, wall time per process")
    for name in names:
        values = times[name]
        print(f"  {name:<18} median {statistics.median(values):7.3f} s  "
              f"(min {min(values):.3f}, max {max(values):.3f})")
    direct, cli = (statistics.median(times[name]) for name in names)
    print(f"overhead of selvane train: {100 * (cli - direct) / direct:+.1f}% of the direct median")
    print(f"model bytes identical: {'yes' if same else 'NO'}")
    if not same:
        sys.exit(1)


if __name__ == "__main__":
    main()
