"""Compression against vocabulary size: one training with --max-ids, cut to
smaller sizes, measured on held-out text.

Holds out the last 3,000 lines of tashkeela-classical, tashkeela-msa,
tweets-atsad and tweets-astd, trains on the rest of them and on saudinewsnet
(each file once per pass, --passes passes, in that order) with
`train(..., max_ids=LARGEST)`, cuts that model to each smaller size with
`Model.cut`, and prints for every size the tokens per 1,000 characters of
each held-out file by both rules and the unknown clusters per 1,000
characters. One pass over these corpora gives some 19,000 ids, so reaching
32,768 takes three; later passes learn merges of text seen before.

Every figure is a count, the same on every run; the training time is printed
for reference.

    python bench/vocab_size_bench.py [--sizes 8192 16384 32768] [--passes 3] [--work DIR]
"""

from __future__ import annotations

import argparse
import pathlib
import tempfile
import time

from selvane_tools import Model, train
from selvane_tools.evaluation import FileStats, evaluate

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPORA = ROOT.parent / "shared" / "corpora"
HELD_OUT = {
    "classical": CORPORA / "tashkeela-classical" / "classical.txt",
    "msa": CORPORA / "tashkeela-msa" / "msa.txt",
    "tweets-atsad": CORPORA / "tweets-atsad" / "atsad-tweets-2019-04-13.txt",
    "tweets-astd": CORPORA / "tweets-astd" / "astd-tweets.txt",
}
NEWS = sorted((CORPORA / "saudinewsnet").glob("*.txt"))
HELD_OUT_LINES = 3000


def split(source: pathlib.Path, work: pathlib.Path, name: str) -> tuple[pathlib.Path, pathlib.Path]:
    """Writes the start of `source` and its last `HELD_OUT_LINES` lines to
    two files of `work`; returns (training, held-out)."""
    data = source.read_bytes()
    end = len(data)
    for _ in range(HELD_OUT_LINES + 1):
        end = data.rfind(b"\n", 0, end)
    training, held_out = work / f"{name}.train.txt", work / f"{name}.heldout.txt"
    training.write_bytes(data[: end + 1])
    held_out.write_bytes(data[end + 1 :])
    return training, held_out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[8192, 16384, 32768])
    parser.add_argument("--passes", type=int, default=3)
    parser.add_argument("--work", type=pathlib.Path, help="keep the split files and models here")
    args = parser.parse_args()
    sizes = sorted(args.sizes)
    with tempfile.TemporaryDirectory() as scratch:
        work = args.work or pathlib.Path(scratch)
        work.mkdir(parents=True, exist_ok=True)
        parts = {name: split(path, work, name) for name, path in HELD_OUT.items()}
        order = [parts["classical"][0], parts["msa"][0], *NEWS, parts["tweets-atsad"][0], parts["tweets-astd"][0]]
        started = time.perf_counter()
        summary = train(order * args.passes, work / "largest.model", progress=False, max_ids=sizes[-1])
        print(f"trained {summary.chunks} chunks ({summary.bytes:,} bytes) in "
              f"{time.perf_counter() - started:.1f} s: {summary.ids:,} ids (asked for {sizes[-1]:,})\n")
        largest = Model(work / "largest.model")
        held_out = [path for _, path in parts.values()]
        header = f"{'ids':>6}  {'file':<13} {'frequency/1k':>12} {'rank/1k':>8} {'rank/freq':>9} {'unknown/1k':>10}"
        print(header)
        print("-" * len(header))
        for size in sizes:
            model = largest.cut(size)
            stats = evaluate(model, held_out, rules=("frequency", "rank"))
            total = FileStats("total")
            for entry in stats:
                total.add(entry)
            for name, entry in zip([*parts, "total"], [*stats, total]):
                chars = entry.characters
                frequency, rank = (entry.tokens[rule] * 1000 / chars for rule in ("frequency", "rank"))
                unknown = entry.unknown["frequency"] * 1000 / chars
                print(f"{model.num_ids:>6}  {name:<13} {frequency:>12.1f} {rank:>8.1f} {rank / frequency:>9.3f} "
                      f"{unknown:>10.2f}")
            print()


if __name__ == "__main__":
    main()
