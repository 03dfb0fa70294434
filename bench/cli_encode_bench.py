"""`selvane encode --format bin` of two installs side by side, and its memory.

A and B are two virtual environments, each with its own build of the module
and the companion installed (for instance an older commit and the work tree).
Builds a corpus from ../shared/corpora (the corpora in a fixed order, cut at
a line end) and measures, with one model (--model, or one trained on the
first 3 MB of the corpus):

1. in interleaved rounds (A -j 1, B -j 1, B -j 2, round after round; medians
   of --rounds, at least 5): the wall time of the whole command, from process
   start to the last file written;
2. whether the shard files of all three are the same bytes (meta.json and
   hidden files aside, which differ between versions);
3. the peak resident memory (VmHWM) of each shard worker of B -j 1 on 10 MB
   and on 100 MB of the same corpora.

    python bench/cli_encode_bench.py A_VENV B_VENV [--model FILE] [--mb 40]
                                     [--rounds 5] [--rule frequency]
                                     [--shard-size 16M]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# Run as a script, this directory is on the path.
from encode_corpus_bench import vm_hwm_kib

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPORA = ROOT.parent / "shared" / "corpora"
ORDER = ["tashkeela-classical", "tashkeela-msa", "saudinewsnet", "tweets-atsad", "tweets-astd"]
MB = 1_000_000


def build_corpus(path: pathlib.Path, size: int) -> pathlib.Path:
    """Writes the first `size` bytes of the corpora in ORDER (repeated when
    they are shorter) to `path`, cut after the last complete line."""
    sources = [s for name in ORDER for s in sorted((CORPORA / name).glob("*.txt"))]
    if not sources:
        sys.exit(f"the corpora are missing: {CORPORA}")
    left = size
    with open(path, "wb") as sink:
        while left > 0:
            for source in sources:
                with open(source, "rb") as f:
                    while left > 0 and (block := f.read(min(left, 1 << 22))):
                        if len(block) == left and b"\n" in block:
                            block = block[: block.rindex(b"\n") + 1]
                            left = len(block)
                        sink.write(block)
                        left -= len(block)
                if left <= 0:
                    break
    return path


def train_model(venv: pathlib.Path, corpus: pathlib.Path, work: pathlib.Path) -> pathlib.Path:
    """Trains a model on the first 3 MB of `corpus` with `Data.train`."""
    train_dir = work / "train"
    train_dir.mkdir()
    with open(corpus, "rb") as f:
        (train_dir / "train.txt").write_bytes(f.read(3 * MB))
    (train_dir / "empty.model").write_bytes(bytes(24))
    subprocess.run([str(venv / "bin" / "python"), "-c",
                    "import selvane; selvane.load_from_file('empty.model').train('train.txt', False, 'log')"],
                   cwd=train_dir, check=True, stdout=subprocess.DEVNULL)
    return train_dir / "tokenizer"


def descendants(pid: int) -> list[int]:
    """The processes below `pid`, from /proc."""
    found, todo = [], [pid]
    while todo:
        current = todo.pop()
        try:
            children = pathlib.Path(f"/proc/{current}/task/{current}/children").read_text().split()
        except OSError:
            continue
        for child in map(int, children):
            found.append(child)
            todo.append(child)
    return found


def run_encode(venv: pathlib.Path, model: pathlib.Path, corpus: pathlib.Path, out: pathlib.Path,
               jobs: int, rule: str | None, shard_size: str, sample: bool = False) -> tuple[float, list[int]]:
    """Runs `selvane encode --format bin` of `venv`; returns its wall time
    and, when `sample`, the peak memory in KiB of each worker process."""
    shutil.rmtree(out, ignore_errors=True)
    command = [str(venv / "bin" / "selvane"), "encode", "-m", str(model), "--format", "bin",
               "-j", str(jobs), "--shard-size", shard_size, "-q", "-o", str(out), str(corpus)]
    if rule is not None:
        command += ["--rule", rule]
    started = time.perf_counter()
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL)
    peaks: dict[int, int] = {}
    while proc.poll() is None:
        if sample:
            for pid in descendants(proc.pid):
                peaks[pid] = max(peaks.get(pid, 0), vm_hwm_kib(pid))
            time.sleep(0.01)
        else:
            time.sleep(0.002)
    seconds = time.perf_counter() - started
    if proc.returncode != 0:
        sys.exit(f"{command} failed with status {proc.returncode}")
    return seconds, sorted(p for p in peaks.values() if p)


def shard_names(out: pathlib.Path) -> list[str]:
    """The shard files of an output: meta.json and hidden files (a newer
    version keeps its lock file there) aside."""
    return sorted(n for n in os.listdir(out) if n != "meta.json" and not n.startswith("."))


def same_shards(first: pathlib.Path, second: pathlib.Path) -> bool:
    """Whether both outputs hold the same shard files with the same bytes."""
    names = shard_names(first)
    return bool(names) and names == shard_names(second) and all(
        (first / n).read_bytes() == (second / n).read_bytes() for n in names)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("a", type=pathlib.Path, help="virtual environment A")
    parser.add_argument("b", type=pathlib.Path, help="virtual environment B")
    parser.add_argument("--model", type=pathlib.Path)
    parser.add_argument("--mb", type=int, default=40)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--rule", help="B's --rule (A runs without the option)")
    parser.add_argument("--shard-size", default="16M",
                        help="--shard-size of every command: with 16M, 40 MB are three shards, "
                             "which two workers cannot share evenly")
    args = parser.parse_args()
    if args.rounds < 5:
        parser.error("--rounds must be at least 5")
    work = pathlib.Path(tempfile.mkdtemp(prefix="selvane-cli-bench-"))
    try:
        corpus = build_corpus(work / "corpus.txt", args.mb * MB)
        model = args.model or train_model(args.b, corpus, work)
        size = corpus.stat().st_size
        print(f"corpus {size:,} bytes; model {model} ({model.stat().st_size:,} bytes)")
        cases = {
            "A -j 1": (args.a, 1, None),
            "B -j 1": (args.b, 1, args.rule),
            "B -j 2": (args.b, 2, args.rule),
        }
        times: dict[str, list[float]] = {name: [] for name in cases}
        for round_ in range(args.rounds):
            for name, (venv, jobs, rule) in cases.items():
                seconds, _ = run_encode(venv, model, corpus, work / name.replace(" ", ""), jobs, rule,
                                        args.shard_size)
                times[name].append(seconds)
            print(f"round {round_ + 1}: " + ", ".join(f"{k} {v[-1]:.2f} s" for k, v in times.items()),
                  flush=True)
        identical = {name: same_shards(work / "A-j1", work / name.replace(" ", ""))
                     for name in ("B -j 1", "B -j 2")}
        shards = len(shard_names(work / "A-j1")) // 2
        peaks = {}
        for mb in (10, 100):
            path = build_corpus(work / f"corpus-{mb}.txt", mb * MB)
            _, peaks[mb] = run_encode(args.b, model, path, work / f"mem-{mb}", 1, args.rule,
                                     args.shard_size, sample=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    med = {name: statistics.median(values) for name, values in times.items()}
    print(f"\nmedians of {args.rounds} interleaved rounds on {size:,} bytes, --shard-size "
          f"{args.shard_size} ({os.cpu_count()} cores):")
    print("| command | s | MB/s |")
    print("|---|---:|---:|")
    for name, seconds in med.items():
        print(f"| {name} | {seconds:.2f} | {size / MB / seconds:.1f} |")
    print(f"B -j 1 vs A -j 1: {med['A -j 1'] / med['B -j 1']:.2f}x; "
          f"B -j 2 vs B -j 1: {med['B -j 1'] / med['B -j 2']:.2f}x")
    for name, same in identical.items():
        print(f"the {shards} shards (.bin and .idx) of {name} identical to A -j 1's: {same}")
    for mb, values in peaks.items():
        print(f"peak RSS of the processes under B -j 1 on {mb} MB (KiB, each): {values}")


if __name__ == "__main__":
    main()
