"""SelvaneTokenizer on a batch: the engine's one batch call against the base
class's per-text loop, which gives the same result.

Trains a model on the first 3 MB of tashkeela-msa (../shared/corpora; the
bundled sample when that is absent) unless --model names one, then times `tokenizer(lines)` (the
batch path: `Model.encode_batch` on every core, then the base class's
truncation and padding per item) and the base class's own loop
(`PreTrainedTokenizer._encode_plus`, one `tokenize` per text) on the same
lines, with padding to the longest. The two alternate run after run; the
figures are medians of --runs runs, side by side with their ratio. Both
rules.

    python bench/hf_batch_bench.py [--lines 20000] [--runs 5] [--model MODEL] [--corpus FILE]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import tempfile
import time

import transformers

from selvane_tools.hf import SelvaneTokenizer

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "corpora" / "tashkeela-msa" / "msa.txt"
SAMPLE = ROOT / "data" / "sample" / "tashkeela-msa-excerpt.txt"


def trained_model(corpus: pathlib.Path, work: pathlib.Path) -> pathlib.Path:
    """A model trained on the first 3 MB of `corpus`, with an end-of-text and
    a padding token and byte fallback, in `work`."""
    from selvane_tools import new_model, train

    new_model(work / "init.model", special=["<|endoftext|>", "<|pad|>"], byte_fallback=True)
    (work / "train.txt").write_bytes(corpus.read_bytes()[:3_000_000])
    train([work / "train.txt"], work / "arabic.model", init=work / "init.model", progress=False)
    return work / "arabic.model"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=20000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--model", type=pathlib.Path)
    parser.add_argument("--corpus", type=pathlib.Path, default=CORPUS if CORPUS.exists() else SAMPLE)
    args = parser.parse_args()

    text = args.corpus.read_bytes()[3_000_000:].decode("utf-8", "replace") or SAMPLE.read_text(encoding="utf-8")
    lines = [line for line in text.splitlines() if line.strip()][: args.lines]
    with tempfile.TemporaryDirectory() as work:
        model = args.model or trained_model(args.corpus, pathlib.Path(work))
        print(f"{len(lines):,} lines, {sum(map(len, lines)):,} characters, {os.cpu_count()} cores")
        print(f"{'rule':10} {'batch path s':>13} {'base loop s':>12} {'ratio':>7}")
        for rule in ("rank", "frequency"):
            tokenizer = SelvaneTokenizer(model_file=model, rule=rule, pad_token="<|pad|>")
            padding, truncation, max_length, _ = tokenizer._get_padding_truncation_strategies(padding="longest")
            ours: list[float] = []
            theirs: list[float] = []
            for _ in range(args.runs):
                start = time.perf_counter()
                fast = tokenizer(lines, padding="longest")
                ours.append(time.perf_counter() - start)
                start = time.perf_counter()
                slow = transformers.PreTrainedTokenizer._encode_plus(
                    tokenizer, lines, padding_strategy=padding, truncation_strategy=truncation, max_length=max_length
                )
                theirs.append(time.perf_counter() - start)
                if dict(fast) != dict(slow):
                    raise SystemExit(f"{rule}: the batch path and the base loop differ")
            a, b = statistics.median(ours), statistics.median(theirs)
            print(f"{rule:10} {a:13.3f} {b:12.3f} {b / a:6.2f}x")


if __name__ == "__main__":
    main()
