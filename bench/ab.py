"""Two builds of the module side by side, in one run, interleaved.

Runs each measurement in a fresh child of interpreter A, then of B, then A
again and so on (A B A B ...), and prints the median of each with the ratio
B / A (above 1: B takes more time, or gives more MB/s, as the unit says).
The interpreters are those of two virtual environments, each with its own
build of the module installed: for instance the base commit and the work
tree.

Measurements (--only picks some):
  sentence   encode of ~100-byte sentences, us per call
  document   encode of 1 MB documents, MB/s
  decode     decode of the ids of 1 MB documents, MB/s of text
  train      train on one chunk (3,067,833 bytes of classical.txt), ms
  train12    train on the first 12 MB of classical.txt, MB/s
  memory     peak memory of encoding a 16 MB string, bytes per input byte

Reads the corpora in ../shared/corpora beside the checkout.

--model PATH encodes and decodes with that model (a large one, say) instead
of the one trained on the first chunk of classical.txt.

    python bench/ab.py A_PYTHON B_PYTHON [--rounds N] [--only NAME,...] [--model PATH]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPORA = ROOT.parent / "shared" / "corpora"
CLASSICAL = CORPORA / "tashkeela-classical" / "classical.txt"
MSA = CORPORA / "tashkeela-msa" / "msa.txt"
CHUNK = 3_067_833

# The child: one measurement, printed as JSON on its last line.
CHILD = r"""
import json, os, resource, statistics, sys, time
import selvane

kind, model_path, work = sys.argv[1], sys.argv[2], sys.argv[3]
CHUNK = 3_067_833

def text_of(path, skip, size):
    with open(path, "rb") as f:
        f.seek(skip)
        return f.read(size).decode("utf-8", errors="ignore")

def pieces(text, size, count):
    # Consecutive pieces of about `size` UTF-8 bytes, cut after a blank.
    data = text.encode()
    out, start = [], 0
    while len(out) < count:
        end = min(len(data), start + size)
        cut = data.rfind(b" ", start, end)
        end = cut + 1 if cut > start + size // 2 else end
        out.append(data[start:end].decode(errors="ignore"))
        start = end
    return out

def timed(call, least=0.3):
    # Repeats `call` until `least` seconds have passed; seconds per call.
    calls, started = 0, time.perf_counter()
    while True:
        call()
        calls += 1
        elapsed = time.perf_counter() - started
        if elapsed >= least:
            return elapsed / calls

msa = sys.argv[4]
if kind.startswith("train"):
    size = CHUNK if kind == "train" else 12_000_000
    os.chdir(work)
    with open(sys.argv[5], "rb") as f:
        data = f.read(size)
    with open("corpus.txt", "wb") as f:
        f.write(data)
    with open("empty.model", "wb") as f:
        f.write(bytes(24))
    model = selvane.load_from_file("empty.model")
    saved = os.dup(1)
    sink = os.open("console.txt", os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    os.dup2(sink, 1)
    started = time.perf_counter()
    model.train("corpus.txt", False, "train.log")
    seconds = time.perf_counter() - started
    os.dup2(saved, 1)
    value = seconds * 1e3 if kind == "train" else len(data) / seconds / 1e6
else:
    model = selvane.load_from_file(model_path)
    text = text_of(msa, CHUNK, 6 * 1024 * 1024)
    if kind == "sentence":
        sentences = pieces(text, 100, 2000)
        encode = model.encode
        def run():
            for s in sentences:
                encode(s)
        value = timed(run) / len(sentences) * 1e6
    elif kind == "document":
        docs = pieces(text, 1_000_000, 3)
        size = sum(len(d.encode()) for d in docs)
        value = size / timed(lambda: [model.encode(d) for d in docs], 1.0) / 1e6
    elif kind == "decode":
        docs = pieces(text, 1_000_000, 3)
        ids = [model.encode(d) for d in docs]
        size = sum(len(model.decode(i).encode()) for i in ids)
        value = size / timed(lambda: [model.decode(i) for i in ids], 1.0) / 1e6
    elif kind == "memory":
        big = text_of(msa, 0, 16 * 1024 * 1024)
        size = len(big.encode())
        def status(field):
            for line in open("/proc/self/status"):
                if line.startswith(field):
                    return int(line.split()[1]) * 1024
        # Reset the high-water mark to the current resident size.
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = status("VmRSS:")
        ids = model.encode(big)
        value = (status("VmHWM:") - before) / size
print(json.dumps(value))
"""

UNITS = {
    "sentence": "us/call",
    "document": "MB/s",
    "decode": "MB/s",
    "train": "ms",
    "train12": "MB/s",
    "memory": "B/B",
}


def train_model(python: str, work: pathlib.Path) -> pathlib.Path:
    """A model trained on the first chunk of the classical corpus."""
    corpus = work / "model-corpus.txt"
    with open(CLASSICAL, "rb") as f:
        corpus.write_bytes(f.read(CHUNK))
    (work / "empty.model").write_bytes(bytes(24))
    script = ("import selvane; m = selvane.load_from_file('empty.model'); "
              "m.train('model-corpus.txt', False, 'model.log')")
    with open(work / "model-console.txt", "wb") as console:
        subprocess.run([python, "-c", script], cwd=work, stdout=console, check=True)
    return work / "tokenizer"


def measure(python: str, kind: str, model: pathlib.Path, work: pathlib.Path) -> float:
    work.mkdir(parents=True, exist_ok=True)
    out = subprocess.run(
        [python, "-c", CHILD, kind, str(model), str(work), str(MSA), str(CLASSICAL)],
        cwd=work, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("a")
    parser.add_argument("b")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", default=",".join(UNITS))
    parser.add_argument("--model", type=pathlib.Path, help="the model to encode with")
    args = parser.parse_args()
    # Absolute, for children that run elsewhere; not resolved, or a virtual
    # environment's interpreter would lose its environment.
    args.a, args.b = os.path.abspath(args.a), os.path.abspath(args.b)
    if not CLASSICAL.exists() or not MSA.exists():
        sys.exit(f"the corpora are missing: {CORPORA} (tashkeela-classical, tashkeela-msa)")
    kinds = [k for k in args.only.split(",") if k]
    with tempfile.TemporaryDirectory(prefix="selvane-ab-") as tmp_name:
        tmp = pathlib.Path(tmp_name)
        model = args.model.resolve() if args.model else train_model(args.a, tmp)
        print(f"{'measure':<10}{'unit':>9}{'A median':>12}{'B median':>12}{'B/A':>8}"
              f"   (A: {args.a}, B: {args.b}, {args.rounds} rounds, A B A B ...)")
        for kind in kinds:
            values = {"a": [], "b": []}
            for round_index in range(args.rounds):
                for side in ("a", "b"):
                    python = getattr(args, side)
                    values[side].append(
                        measure(python, kind, model, tmp / f"{kind}-{side}-{round_index}"))
            a, b = statistics.median(values["a"]), statistics.median(values["b"])
            print(f"{kind:<10}{UNITS[kind]:>9}{a:>12.3f}{b:>12.3f}{b / a:>8.2f}", flush=True)


if __name__ == "__main__":
    main()
