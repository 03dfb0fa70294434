"""Encoding a corpus into shards: worker counts, Dask and a peer, side by side.

Builds a corpus of 100 MB (and its first 10 MB) from ../shared/corpora,
trains a selvane model on its first 3 MB with `Data.train`, and measures, in
interleaved rounds (medians of --rounds, at least 5):

- loop:  a plain loop over the extension's `encode` per line, in a child
         process (reading, splitting and encoding; nothing written);
- j1/j2: `encode_corpus(..., workers=1 / 2)`, end to end (worker start,
         shard files with fsync, meta.json);
- dask:  `selvane_tools.dask.encode_corpus` on a LocalCluster of two worker
         processes started once before the rounds;
- hf:    HF `tokenizers` `encode_batch` with 2 threads (RAYON_NUM_THREADS)
         on the same lines, a BPE with a Metaspace pre-tokenizer trained on
         the same 3 MB to the same vocabulary size, in a child process, ids
         kept as uint16 arrays.

It also reports the peak resident memory (VmHWM) of each `-j 2` worker on
10 MB and on 100 MB. Run it in a venv with selvane, distributed and
tokenizers (`.venv-bench`), under the machine's heavy-work lock.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPORA = ROOT.parent / "shared" / "corpora"
ORDER = ["tashkeela-classical", "tashkeela-msa", "saudinewsnet", "tweets-atsad", "tweets-astd"]
MB = 1_000_000

LOOP_CHILD = """
import sys, time, selvane
from selvane_tools.units import iter_units, parse_unit
model = selvane.load_from_file(sys.argv[1])
started = time.perf_counter()
ids = 0
with open(sys.argv[2], "rb") as f:
    for text in iter_units(f, parse_unit("line")):
        ids += len(model.encode(text))
print(time.perf_counter() - started, ids)
"""

HF_CHILD = """
import sys, time, numpy
from tokenizers import Tokenizer
tok = Tokenizer.from_file(sys.argv[1])
with open(sys.argv[2], "rb") as f:
    lines = [line.rstrip(b"\\n").removesuffix(b"\\r").decode("utf-8", "replace") for line in f]
started = time.perf_counter()
ids = 0
for i in range(0, len(lines), 20000):
    for enc in tok.encode_batch(lines[i:i + 20000], add_special_tokens=False):
        ids += len(numpy.asarray(enc.ids, dtype=numpy.uint16))
print(time.perf_counter() - started, ids)
"""

HF_TRAIN = """
import sys
from tokenizers import Tokenizer, models, pre_tokenizers, trainers
tok = Tokenizer(models.BPE(unk_token="<unk>"))
tok.pre_tokenizer = pre_tokenizers.Metaspace()
trainer = trainers.BpeTrainer(vocab_size=int(sys.argv[3]), special_tokens=["<unk>"], show_progress=False)
tok.train([sys.argv[1]], trainer)
tok.save(sys.argv[2])
"""

JOBS_CHILD = """
import sys
from selvane_tools import encode_corpus
encode_corpus(sys.argv[1], [sys.argv[2]], sys.argv[3], workers=int(sys.argv[4]), progress=False)
"""


def build_corpus(work: pathlib.Path, size: int) -> pathlib.Path:
    path = work / f"corpus-{size // MB}mb.txt"
    left = size
    with open(path, "wb") as sink:
        while left > 0:
            for name in ORDER:
                for source in sorted((CORPORA / name).glob("*.txt")):
                    with open(source, "rb") as f:
                        while left > 0:
                            block = f.read(min(left, 1 << 22))
                            if not block:
                                break
                            # Cut at a newline so that no line is split across files.
                            if len(block) == left and b"\n" in block:
                                block = block[: block.rindex(b"\n") + 1]
                                left = len(block)
                            sink.write(block)
                            left -= len(block)
    return path


def train_model(work: pathlib.Path, corpus: pathlib.Path) -> pathlib.Path:
    import selvane

    train_dir = work / "train"
    train_dir.mkdir()
    with open(corpus, "rb") as f:
        (train_dir / "train.txt").write_bytes(f.read(3 * MB))
    (train_dir / "empty.model").write_bytes(bytes(24))
    subprocess.run([sys.executable, "-c",
                    "import selvane; selvane.load_from_file('empty.model').train('train.txt', False, 'log')"],
                   cwd=train_dir, check=True, stdout=subprocess.DEVNULL)
    return train_dir / "tokenizer"


def vm_hwm_kib(pid: int) -> int:
    try:
        for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_jobs_child(model: pathlib.Path, corpus: pathlib.Path, out: pathlib.Path, workers: int) -> tuple[float, list[int]]:
    """Runs encode_corpus in a child; returns its wall time and the peak
    memory of each worker, sampled from /proc until the workers end."""
    shutil.rmtree(out, ignore_errors=True)
    started = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-c", JOBS_CHILD, str(model), str(corpus), str(out), str(workers)])
    peaks: dict[int, int] = {}
    while proc.poll() is None:
        # A shard's temporary name ends in the pid of the worker writing it.
        names = os.listdir(out) if out.exists() else []
        for pid in {int(n.rsplit("-", 1)[1]) for n in names if ".bin.tmp-" in n} | set(peaks):
            peaks[pid] = max(peaks.get(pid, 0), vm_hwm_kib(pid))
        time.sleep(0.02)
    if proc.returncode != 0:
        sys.exit(f"encode_corpus failed with status {proc.returncode}")
    return time.perf_counter() - started, sorted(peaks.values())


def timed(command: list[str], env: dict | None = None) -> float:
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        sys.exit(f"{command[:3]} failed: {done.stderr}")
    return float(done.stdout.split()[0])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--mb", type=int, default=100, help="corpus size in MB (default 100)")
    parser.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    args = parser.parse_args()
    if not CORPORA.is_dir():
        sys.exit(f"the corpora are missing: {CORPORA} (this benchmark builds its input from them)")
    try:
        import tokenizers  # noqa: F401
    except ImportError:
        tokenizers = None
        print("HF tokenizers is not installed here: its column is skipped", file=sys.stderr)
    import distributed

    from selvane_tools import Model
    from selvane_tools import dask as selvane_dask

    work = pathlib.Path(tempfile.mkdtemp(prefix="selvane-corpus-bench-"))
    try:
        corpus = build_corpus(work, args.mb * MB)
        small = build_corpus(work, 10 * MB)
        model_path = train_model(work, corpus)
        model = Model(model_path)
        vocab = len(model.vocab())
        print(f"corpus {corpus.stat().st_size:,} bytes from {CORPORA}; model: {vocab:,} ids, sha256 {model.sha256[:12]}")
        hf_model = work / "hf.json"
        if tokenizers is not None:
            subprocess.run([sys.executable, "-c", HF_TRAIN, str(work / "train" / "train.txt"), str(hf_model), str(vocab)],
                           check=True)
        env2 = dict(os.environ, RAYON_NUM_THREADS="2")
        times: dict[str, list[float]] = {k: [] for k in ("loop", "j1", "j2", "dask", "hf")}
        peaks: dict[str, list[int]] = {"10MB": [], f"{args.mb}MB": []}
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None, worker_dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            for round_ in range(args.rounds):
                times["loop"].append(timed([sys.executable, "-c", LOOP_CHILD, str(model_path), str(corpus)]))
                seconds, _ = run_jobs_child(model_path, corpus, work / "j1", 1)
                times["j1"].append(seconds)
                seconds, worker_peaks = run_jobs_child(model_path, corpus, work / "j2", 2)
                times["j2"].append(seconds)
                peaks[f"{args.mb}MB"] += worker_peaks
                shutil.rmtree(work / "dask", ignore_errors=True)
                started = time.perf_counter()
                selvane_dask.encode_corpus(model, [corpus], work / "dask", client=client, progress=False)
                times["dask"].append(time.perf_counter() - started)
                if tokenizers is not None:
                    times["hf"].append(timed([sys.executable, "-c", HF_CHILD, str(hf_model), str(corpus)], env2))
                _, worker_peaks = run_jobs_child(model_path, small, work / "small", 2)
                peaks["10MB"] += worker_peaks
                print(f"round {round_ + 1}: " + ", ".join(f"{k} {v[-1]:.2f} s" for k, v in times.items() if v),
                      flush=True)
        same = all((work / "j1" / n).read_bytes() == (work / d / n).read_bytes()
                   for d in ("j2", "dask") for n in os.listdir(work / "j1"))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    med = {k: statistics.median(v) for k, v in times.items() if v}
    mbps = {k: args.mb / v for k, v in med.items()}
    print(f"\nmedians of {args.rounds} rounds on {args.mb} MB ({os.cpu_count()} cores):")
    for k, v in med.items():
        print(f"  {k:5} {v:7.2f} s  {mbps[k]:6.2f} MB/s")
    print(f"  -j 2 / -j 1:      {med['j1'] / med['j2']:.2f}x  (goal >= 1.7)")
    print(f"  -j 1 vs loop:     {med['j1'] / med['loop'] - 1:+.1%} time  (goal within 10%)")
    print(f"  dask / -j 1:      {med['j1'] / med['dask']:.2f}x  (goal >= 1.5)")
    if "hf" in med:
        print(f"  -j 2 / HF 2 thr:  {med['hf'] / med['j2']:.2f}x  (goal >= 2)")
    for size, values in peaks.items():
        print(f"  peak RSS per -j 2 worker on {size}: max {max(values) / 1024:.1f} MiB, "
              f"median {statistics.median(values) / 1024:.1f} MiB")
    print(f"  shard files of -j 2 and Dask identical to -j 1: {same}")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps({"times": times, "peaks_kib": peaks, "identical": same}, indent=1))


if __name__ == "__main__":
    main()
