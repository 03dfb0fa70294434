"""Training on 300 MB, two builds side by side: pace by thirds, peak memory.

Trains an empty model on the six corpus texts concatenated, the whole three
times (about 300 MB), with interpreter A, then B, then A again and so on
(A B A B ...), each run a fresh child. The parent reads the child's console
from a pipe and stamps every " Saved Successfully " line, so the time of
each chunk is known; it prints, per build, the median MB/s of the whole call
and of the first, middle and last third of the chunks after the first, and
the median peak resident set size (ru_maxrss, from wait4).

The corpus file is built once under /tmp (never in the checkout) from the
corpora in ../shared/corpora beside the checkout.

    python bench/train300_bench.py A_PYTHON B_PYTHON [--rounds N] [--copies N]
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
CORPORA = ROOT.parent / "shared" / "corpora"
TEXTS = [
    "saudinewsnet/saudinewsnet-2015-07-21_to_24.txt",
    "saudinewsnet/saudinewsnet-2015-08-11.txt",
    "tashkeela-classical/classical.txt",
    "tashkeela-msa/msa.txt",
    "tweets-astd/astd-tweets.txt",
    "tweets-atsad/atsad-tweets-2019-04-13.txt",
]
CHUNK = 3_067_833
SAVED = b" Saved Successfully "

CHILD = r"""
import sys, time
import selvane
model = selvane.load_from_file("empty.model")
started = time.perf_counter()
model.train(sys.argv[1], False, "train.log")
sys.stderr.write("SECONDS %r\n" % (time.perf_counter() - started))
"""


def build_corpus(copies: int) -> pathlib.Path:
    """The texts concatenated, `copies` times, under /tmp (made once)."""
    path = pathlib.Path(tempfile.gettempdir()) / f"selvane-train-corpus-x{copies}.txt"
    parts = [CORPORA / t for t in TEXTS]
    expected = copies * sum(p.stat().st_size for p in parts)
    if path.exists() and path.stat().st_size == expected:
        return path
    partial = path.with_suffix(".partial")
    with open(partial, "wb") as out:
        for _ in range(copies):
            for part in parts:
                out.write(part.read_bytes())
    partial.rename(path)
    return path


def one_run(python: str, corpus: pathlib.Path, size: int) -> dict:
    with tempfile.TemporaryDirectory(prefix="selvane-train300-") as work:
        (pathlib.Path(work) / "empty.model").write_bytes(bytes(24))
        child = subprocess.Popen([python, "-c", CHILD, str(corpus)], cwd=work,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        stamps, tail = [], b""
        while True:
            block = os.read(child.stdout.fileno(), 1 << 20)
            if not block:
                break
            now = time.monotonic()
            # A line may be cut between two reads: keep the unfinished end.
            block = tail + block
            stamps.extend([now] * block.count(SAVED))
            tail = block[-len(SAVED):]
            if SAVED in tail:
                tail = b""
        stderr = child.stderr.read().decode(errors="replace")
        _, status, usage = os.wait4(child.pid, 0)
        if status != 0:
            sys.exit(f"training failed ({python}):\n{stderr}")
    seconds = next(float(line.split()[1]) for line in stderr.splitlines()
                   if line.startswith("SECONDS "))
    # The chunks after the first, each timed from the save before it.
    chunk_times = [b - a for a, b in zip(stamps, stamps[1:])]
    third = len(chunk_times) // 3
    spans = [chunk_times[:third], chunk_times[third:2 * third], chunk_times[2 * third:]]
    # Every chunk but the last one is full.
    pace = [len(s) * CHUNK / sum(s) / 1e6 if s and sum(s) > 0 else float("nan")
            for s in spans]
    return {"mbps": size / seconds / 1e6, "thirds": pace,
            "rss_mb": usage.ru_maxrss / 1024, "chunks": len(stamps)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("a")
    parser.add_argument("b")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--copies", type=int, default=3)
    args = parser.parse_args()
    args.a, args.b = os.path.abspath(args.a), os.path.abspath(args.b)
    missing = [t for t in TEXTS if not (CORPORA / t).exists()]
    if missing:
        sys.exit(f"the corpora are missing under {CORPORA}: {', '.join(missing)}")
    corpus = build_corpus(args.copies)
    size = corpus.stat().st_size
    print(f"corpus {corpus} ({size / 1e6:.1f} MB), {args.rounds} rounds, A B A B ...")
    runs = {"a": [], "b": []}
    for round_index in range(args.rounds):
        for side in ("a", "b"):
            run = one_run(getattr(args, side), corpus, size)
            runs[side].append(run)
            print(f"  round {round_index} {side.upper()}: {run['mbps']:.2f} MB/s, thirds "
                  + " / ".join(f"{p:.2f}" for p in run["thirds"])
                  + f" MB/s, peak {run['rss_mb']:.0f} MB, {run['chunks']} chunks",
                  flush=True)
    print(f"{'build':<6}{'MB/s':>8}{'1st 3rd':>9}{'2nd 3rd':>9}{'3rd 3rd':>9}{'peak MB':>9}")
    medians = {}
    for side in ("a", "b"):
        r = runs[side]
        m = [statistics.median(x["mbps"] for x in r)]
        m += [statistics.median(x["thirds"][k] for x in r) for k in range(3)]
        m.append(statistics.median(x["rss_mb"] for x in r))
        medians[side] = m
        print(f"{side.upper():<6}" + "".join(f"{v:>9.2f}" for v in m))
    print(f"B/A   {medians['b'][0] / medians['a'][0]:>8.2f}x MB/s "
          f"(A: {args.a}, B: {args.b})")


if __name__ == "__main__":
    main()
