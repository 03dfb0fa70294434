"""Wall time, throughput and peak memory of `train` with the installed module.

Trains an empty model on the first 3,067,833 bytes (one chunk) and on the
first 12 MB (12,000,000 bytes, four chunks) of the classical corpus. Every run
is a fresh child process, so that its peak resident set size (ru_maxrss, from
wait4) belongs to that run alone; the time is taken inside the child around
the `train` call only. Prints the median of several runs for each size.

    python bench/train_bench.py [--runs N] [--big-runs N] [--corpus FILE]
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
SIZES = [("1 chunk", CHUNK), ("12 MB", 12_000_000)]

# Runs in the child, in its own directory: times the train call alone and
# reports the seconds on stderr. Its progress lines go to fd 1, which the
# parent sends to /dev/null.
CHILD = r"""
import sys, time
import selvane
model = selvane.load_from_file("empty.model")
started = time.perf_counter()
model.train(sys.argv[1], False, "train.log")
sys.stderr.write("SECONDS %r\n" % (time.perf_counter() - started))
"""


def one_run(work: pathlib.Path, corpus: pathlib.Path) -> tuple[float, int]:
    """Returns the seconds of one train call and the child's peak RSS in KiB."""
    (work / "empty.model").write_bytes(bytes(24))
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, str(corpus)],
        cwd=work,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    )
    stderr = child.stderr.read().decode(errors="replace")
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.exit(f"training failed ({child.returncode}):\n{stderr}")
    seconds = next(
        float(line.split()[1]) for line in stderr.splitlines() if line.startswith("SECONDS ")
    )
    return seconds, usage.ru_maxrss  # KiB on Linux


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3, help="runs of the 1-chunk case")
    parser.add_argument("--big-runs", type=int, default=3, help="runs of the 12 MB case")
    parser.add_argument("--corpus", type=pathlib.Path, default=CORPUS)
    args = parser.parse_args()
    if not args.corpus.is_file():
        raise SystemExit(f"corpus not found: {args.corpus} (pass --corpus, or place ../shared/corpora beside the checkout)")

    rows = []
    with tempfile.TemporaryDirectory(prefix="selvane-train-bench-") as tmp:
        tmp = pathlib.Path(tmp)
        with open(args.corpus, "rb") as f:
            text = f.read(max(size for _, size in SIZES))
        for (label, size), runs in zip(SIZES, (args.runs, args.big_runs)):
            if runs <= 0:
                continue
            if len(text) < size:
                sys.exit(f"{args.corpus} holds fewer than {size:,} bytes")
            corpus = tmp / f"corpus-{size}.txt"
            corpus.write_bytes(text[:size])
            times, peaks = [], []
            for run in range(runs):
                work = tmp / f"run-{size}-{run}"
                work.mkdir()
                seconds, peak_kib = one_run(work, corpus)
                times.append(seconds)
                peaks.append(peak_kib)
                print(f"  {label}: run {run + 1}/{runs}: {seconds:.2f} s, "
                      f"peak RSS {peak_kib / 1024:.1f} MiB", file=sys.stderr)
            seconds = statistics.median(times)
            rows.append((label, size, runs, seconds, size / 1e6 / seconds,
                         statistics.median(peaks) / 1024))

    print(f"train on {args.corpus.name} (MB = 10^6 bytes; median of the runs)")
    print(f"{'input':<8} {'bytes':>12} {'runs':>5} {'wall s':>9} {'MB/s':>7} "
          f"{'peak RSS MiB':>13}")
    for label, size, runs, seconds, rate, peak in rows:
        print(f"{label:<8} {size:>12,} {runs:>5} {seconds:>9.2f} {rate:>7.3f} "
              f"{peak:>13.1f}")


if __name__ == "__main__":
    main()
