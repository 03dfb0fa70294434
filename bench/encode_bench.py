"""Throughput of `encode` with the installed module.

Trains a model on the first chunk of the classical corpus (or loads one given
with --model), then encodes text cut from the modern corpus: sentences of
about 100 bytes, paragraphs of about 5 KB, documents of 100 KB and 1 MB, and
a 10-character string. Prints the median of several runs for each.

    python bench/encode_bench.py [--model FILE] [--text FILE] [--skip BYTES]
                                 [--runs N] [--big-runs N]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import sys
import tempfile
import time

import selvane

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPORA = ROOT.parent / "shared" / "corpora"
TRAIN_TEXT = CORPORA / "tashkeela-classical" / "classical.txt"
ENCODE_TEXT = CORPORA / "tashkeela-msa" / "msa.txt"
CHUNK = 3_067_833


def train_model(work: pathlib.Path) -> selvane.Data:
    """Trains on the first chunk of the classical corpus in `work`."""
    sample = work / "classical-chunk.txt"
    if not TRAIN_TEXT.is_file():
        raise SystemExit(f"corpus not found: {TRAIN_TEXT} (place ../shared/corpora beside the checkout)")
    with open(TRAIN_TEXT, "rb") as f:
        sample.write_bytes(f.read(CHUNK))
    (work / "empty.model").write_bytes(bytes(24))
    cwd = os.getcwd()
    os.chdir(work)
    try:
        model = selvane.load_from_file("empty.model")
        started = time.perf_counter()
        # Training prints progress on file descriptor 1: send it to a file.
        sys.stdout.flush()
        saved = os.dup(1)
        with open(work / "console.txt", "wb") as sink:
            os.dup2(sink.fileno(), 1)
        try:
            model.train(str(sample), False, str(work / "train.log"))
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        print(f"trained on {CHUNK:,} bytes in "
              f"{time.perf_counter() - started:.1f} s")
        return selvane.load_from_file("tokenizer")
    finally:
        os.chdir(cwd)


def pieces(text: str, size: int, count: int) -> list[str]:
    """`count` consecutive pieces of about `size` UTF-8 bytes, cut after a
    space or line break where one is near."""
    out, start = [], 0
    while len(out) < count and start < len(text):
        # Arabic letters with marks average close to two bytes a character.
        end = start + size // 2
        while end < len(text) and len(text[start:end].encode()) < size:
            end += max(1, (size - len(text[start:end].encode())) // 2)
        cut = max(text.rfind(" ", start, end), text.rfind("\n", start, end))
        if cut > start + (end - start) // 2:
            end = cut + 1
        out.append(text[start:end])
        start = end
    if len(out) < count:
        sys.exit(f"the text is too short for {count} x {size} bytes")
    return out


def median_seconds(model: selvane.Data, texts: list[str], runs: int) -> float:
    """Median over `runs` of the time for one pass over `texts`; a run
    repeats the pass until 0.2 s have gone by, so that short passes are not
    lost in timer noise."""
    times = []
    for _ in range(runs):
        passes = 0
        started = time.perf_counter()
        while True:
            for text in texts:
                model.encode(text)
            passes += 1
            elapsed = time.perf_counter() - started
            if elapsed >= 0.2:
                break
        times.append(elapsed / passes)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", help="model file (default: train one)")
    parser.add_argument("--text", default=str(ENCODE_TEXT),
                        help="text to cut the inputs from")
    parser.add_argument("--skip", type=int, default=0,
                        help="bytes of --text to skip first")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--big-runs", type=int, default=3,
                        help="runs for the 1 MB document")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="encode-bench-") as work:
        if args.model:
            model = selvane.load_from_file(args.model)
        else:
            model = train_model(pathlib.Path(work))
    print(f"model: {len(model.vocab()):,} token ids")

    with open(args.text, "rb") as f:
        f.seek(args.skip)
        text = f.read(4 * 1024 * 1024).decode("utf-8", errors="ignore")
    cases = [
        ("sentence ~100 B", pieces(text, 100, 2000), args.runs),
        ("paragraph ~5 KB", pieces(text, 5_000, 100), args.runs),
        ("document 100 KB", pieces(text, 100_000, 5), args.runs),
        ("document 1 MB", pieces(text, 1_000_000, 1), args.big_runs),
    ]
    print(f"{'input':<17}{'pieces':>7}{'bytes':>12}{'runs':>6}"
          f"{'median s':>11}{'MB/s':>9}{'tokens/byte':>13}")
    for name, texts, runs in cases:
        total = sum(len(t.encode()) for t in texts)
        seconds = median_seconds(model, texts, runs)
        tokens = sum(len(model.encode(t)) for t in texts[:50])
        sampled = sum(len(t.encode()) for t in texts[:50])
        print(f"{name:<17}{len(texts):>7}{total:>12,}{runs:>6}"
              f"{seconds:>11.4f}{total / seconds / 1e6:>9.2f}"
              f"{tokens / sampled:>13.3f}")

    # Ten characters of prose, not of the blank lines that open the corpus.
    short = next(line for line in text.splitlines() if len(line) >= 40)[:10]
    loops = 200_000
    per_call = []
    for _ in range(args.runs):
        started = time.perf_counter()
        for _ in range(loops):
            model.encode(short)
        per_call.append((time.perf_counter() - started) / loops)
    print(f"10-character string ({len(short.encode())} bytes): "
          f"{statistics.median(per_call) * 1e6:.2f} us per call "
          f"(median of {args.runs} x {loops:,} calls)")


if __name__ == "__main__":
    main()
