"""The rank rule beside the frequency rule, through the companion's engine.

Trains one model on about 28 MB of three corpora (the first 11 MB of
tashkeela-classical, 11 MB of tashkeela-msa and 6 MB of tweets-atsad, in that
order, as one training file), or loads it from --model, then prints:

1. tokens per 1,000 characters of held-out lines of each corpus (text after
   the training bytes, each line encoded alone) by both rules;
2. encoding speed of both rules on ~100-byte sentences and on 1 MB
   documents, through the same engine entry point;
3. `Model.encode_batch(flat=True)` on 1 and 2 threads beside a Python loop
   over the extension's `Data.encode`, on the same 12 MB of lines.

Timings are medians of --runs interleaved runs (at least 5); ratios are side
by side in the same run.

    python bench/rank_bench.py [--model FILE] [--runs N] [--batch-mb MB]
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
from collections.abc import Callable

from selvane_tools import Model
from selvane_tools._engine import Engine

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPORA = ROOT.parent / "shared" / "corpora"
CLASSICAL = CORPORA / "tashkeela-classical" / "classical.txt"
MSA = CORPORA / "tashkeela-msa" / "msa.txt"
TWEETS = CORPORA / "tweets-atsad" / "atsad-tweets-2019-04-13.txt"
MB = 1_000_000
# (name, file, bytes of its start that training reads).
TRAINING = [("classical", CLASSICAL, 11 * MB), ("msa", MSA, 11 * MB), ("tweets", TWEETS, 6 * MB)]
TRAIN = """
import selvane
selvane.load_from_file("empty.model").train("corpus.txt", False, "train.log")
"""


def train_model(path: pathlib.Path, training: list[tuple[str, pathlib.Path, int]] = TRAINING) -> None:
    """Trains the model on the training bytes, in a child process with a
    directory of its own (training writes "tokenizer" there and prints on
    file descriptor 1)."""
    with tempfile.TemporaryDirectory() as work_name:
        work = pathlib.Path(work_name)
        with open(work / "corpus.txt", "wb") as out:
            for _, source, size in training:
                with open(source, "rb") as f:
                    out.write(f.read(size))
        (work / "empty.model").write_bytes(bytes(24))
        started = time.perf_counter()
        subprocess.run([sys.executable, "-c", TRAIN], cwd=work, check=True, stdout=subprocess.DEVNULL)
        print(f"trained on {sum(s for _, _, s in training):,} bytes in {time.perf_counter() - started:.1f} s")
        path.write_bytes((work / "tokenizer").read_bytes())


def held_out(source: pathlib.Path, skip: int, size: int) -> list[str]:
    """The non-empty lines of `size` bytes of `source` after its first `skip`
    bytes (the first, partial line dropped)."""
    with open(source, "rb") as f:
        f.seek(skip)
        data = f.read(size)
    lines = data.decode("utf-8", "replace").split("\n")[1:-1]
    return [line.rstrip("\r") for line in lines if line.strip()]


def median_times(cases: dict[str, Callable[[], object]], runs: int,
                 clock: Callable[[], float] = time.perf_counter) -> dict[str, float]:
    """Median seconds of each case over `runs` rounds, the cases interleaved
    within each round and their order rotated from round to round, so that
    no case always runs first."""
    times: dict[str, list[float]] = {name: [] for name in cases}
    names = list(cases)
    for round_number in range(runs):
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            case = cases[name]
            started = clock()
            case()
            times[name].append(clock() - started)
    return {name: statistics.median(values) for name, values in times.items()}


def tokens_per_thousand(model: Model) -> None:
    print("\n## Tokens per 1,000 characters, held-out lines, each encoded alone\n")
    print("| corpus | lines | characters | frequency | rank | rank / frequency |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, source, skip in TRAINING:
        lines = held_out(source, skip, 1 * MB)
        characters = sum(len(line) for line in lines)
        counts = {}
        for rule in ("frequency", "rank"):
            ids, _ = model.encode_batch(lines, rule=rule, flat=True)
            counts[rule] = len(ids) // 2 / characters * 1000
        ratio = counts["rank"] / counts["frequency"]
        print(f"| {name} | {len(lines):,} | {characters:,} | {counts['frequency']:.0f} | {counts['rank']:.0f} | {ratio:.2f} |")


def speed(model: Model, runs: int) -> None:
    engine = Engine(model.model_bytes)
    lines = held_out(MSA, 11 * MB, 2 * MB)
    sentences = [line[:60] for line in lines if 60 <= len(line)][:5000]
    sentence_bytes = sum(len(s.encode()) for s in sentences)
    with open(MSA, "rb") as f:
        f.seek(11 * MB)
        raw = f.read(2 * MB)
    documents = [raw[: 1 * MB].decode("utf-8", "ignore"), raw[1 * MB :].decode("utf-8", "ignore")]
    print(f"\n## Encoding speed ({runs} interleaved runs, medians; msa text after the training bytes)\n")
    print(f"{len(sentences):,} sentences of {sentence_bytes / len(sentences):.0f} bytes on average, one call each;"
          f" 2 documents of 1 MB, one call each.\n")
    print("| input | frequency s | rank s | frequency MB/s | rank MB/s | rank speed / frequency |")
    print("|---|---:|---:|---:|---:|---:|")
    for label, texts, size in (("sentences", sentences, sentence_bytes), ("1 MB documents", documents, 2 * MB)):
        cases = {
            rule: (lambda rule=rule, texts=texts: [engine.encode(t, rule) for t in texts])
            for rule in ("frequency", "rank")
        }
        medians = median_times(cases, runs)
        f, r = medians["frequency"], medians["rank"]
        print(f"| {label} | {f:.3f} | {r:.3f} | {size / f / MB:.1f} | {size / r / MB:.1f} | {f / r:.2f}x |")


def batch(model: Model, runs: int, megabytes: int) -> None:
    lines: list[str] = []
    total = 0
    for line in held_out(CLASSICAL, 20 * MB, megabytes * MB + MB):
        if total >= megabytes * MB:
            break
        lines.append(line)
        total += len(line.encode()) + 1
    data = model.data
    print(f"\n## Batches: {len(lines):,} lines, {total:,} bytes of classical text after the training bytes"
          f" ({runs} interleaved runs, medians)\n")
    cases: dict[str, Callable[[], object]] = {
        "Python loop over Data.encode": lambda: [data.encode(line) for line in lines],
    }
    for rule in ("frequency", "rank"):
        for threads in (1, 2):
            cases[f"encode_batch {rule}, {threads} thread(s)"] = (
                lambda rule=rule, threads=threads: model.encode_batch(lines, rule=rule, threads=threads, flat=True)
            )
    medians = median_times(cases, runs)
    loop = medians["Python loop over Data.encode"]
    print("| encoder | s | MB/s | vs the loop | 2 threads vs 1 |")
    print("|---|---:|---:|---:|---:|")
    for name, seconds in medians.items():
        pair = ""
        if "2 thread" in name:
            pair = f"{medians[name.replace('2 thread', '1 thread')] / seconds:.2f}x"
        print(f"| {name} | {seconds:.2f} | {total / seconds / MB:.1f} | {loop / seconds:.2f}x | {pair} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--model", type=pathlib.Path, help="model file: loaded if it exists, else trained and saved there")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--batch-mb", type=int, default=12)
    args = parser.parse_args()
    if args.runs < 5:
        parser.error("--runs must be at least 5")
    for _, source, _ in TRAINING:
        if not source.is_file():
            raise SystemExit(f"corpus not found: {source}")
    with tempfile.TemporaryDirectory() as work:
        path = args.model or pathlib.Path(work) / "model"
        if not path.exists():
            train_model(path)
        model = Model(path)
    print(f"model: {model.num_ids:,} ids, {model.num_merges:,} merges; {os.cpu_count()} cores")
    tokens_per_thousand(model)
    speed(model, args.runs)
    batch(model, args.runs, args.batch_mb)


if __name__ == "__main__":
    main()
