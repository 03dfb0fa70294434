"""Batch encoding beside the Hugging Face `tokenizers` library's.

Trains a selvane model on the rank benchmark's 28 MB (or loads --model) and a
`tokenizers` BPE model (Metaspace pre-tokenizer, as in bench/peers.py) on the
same bytes to the same vocabulary size, then times, on the same held-out
lines (6 MB after the training bytes of each corpus) with --threads
threads (default 2):

- `Model.encode_batch(lines, rule=..., threads=N, flat=True)`, both rules;
- `Tokenizer.encode_batch(lines)` and `Tokenizer.encode_batch_fast(lines)`
  (no offsets), with RAYON_NUM_THREADS=N.

Medians of --runs interleaved rounds (at least 5); ratios side by side.

    python bench/batch_peer_bench.py [--model FILE] [--runs 5] [--threads 2]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import tempfile
import time

from rank_bench import MB, TRAINING, held_out, median_times, train_model


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", type=pathlib.Path, help="a selvane model trained on the training bytes")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    if args.runs < 5:
        sys.exit("--runs must be at least 5")
    # Read by the library's thread pool when it starts: before the import.
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers

    from selvane_tools import Model

    with tempfile.TemporaryDirectory() as work_name:
        work = pathlib.Path(work_name)
        model_path = args.model or work / "selvane.model"
        if args.model is None:
            train_model(model_path)
        model = Model(model_path)
        corpus = work / "corpus.txt"
        with open(corpus, "w", encoding="utf-8") as out:
            for _, source, size in TRAINING:
                with open(source, "rb") as f:
                    # Cut at a byte count: the peer refuses a character cut in two.
                    out.write(f.read(size).decode("utf-8", "ignore"))
        peer = Tokenizer(models.BPE(unk_token="<unk>"))
        peer.pre_tokenizer = pre_tokenizers.Metaspace()
        peer.decoder = decoders.Metaspace()
        started = time.perf_counter()
        peer.train([str(corpus)], trainers.BpeTrainer(vocab_size=model.num_ids, special_tokens=["<unk>"],
                                                      show_progress=False))
        print(f"tokenizers trained to {peer.get_vocab_size():,} ids in {time.perf_counter() - started:.1f} s; "
              f"selvane model {model.num_ids:,} ids")

    parts = {name: held_out(source, skip, 6 * MB) for name, source, skip in TRAINING}
    lines = [line for part in parts.values() for line in part]
    size = sum(len(line.encode()) for line in lines)
    threads = args.threads
    cases = {
        "selvane rank": lambda: model.encode_batch(lines, rule="rank", threads=threads, flat=True),
        "selvane frequency": lambda: model.encode_batch(lines, rule="frequency", threads=threads, flat=True),
        "tokenizers encode_batch": lambda: peer.encode_batch(lines),
        "tokenizers encode_batch_fast": lambda: peer.encode_batch_fast(lines),
    }
    for case in cases.values():  # warm-up, untimed
        case()
    times = median_times(cases, args.runs)
    tokens = {
        "selvane rank": len(model.encode_batch(lines, rule="rank", flat=True)[0]) // 2,
        "selvane frequency": len(model.encode_batch(lines, rule="frequency", flat=True)[0]) // 2,
        "tokenizers encode_batch": sum(len(e.ids) for e in peer.encode_batch(lines)),
    }
    tokens["tokenizers encode_batch_fast"] = tokens["tokenizers encode_batch"]
    characters = sum(len(line) for line in lines)
    base = times["tokenizers encode_batch"]
    print(f"\n{len(lines):,} lines, {size / MB:.1f} MB, {threads} threads, medians of {args.runs} rounds\n")
    print("| case | seconds | MB/s | tokens / 1,000 chars | speed vs tokenizers encode_batch |")
    print("|---|---:|---:|---:|---:|")
    for name, seconds in times.items():
        print(f"| {name} | {seconds:.3f} | {size / MB / seconds:.1f} | {tokens[name] / characters * 1000:.0f} | "
              f"{base / seconds:.2f} |")
    print("\n| tokens / 1,000 characters | selvane frequency | selvane rank | tokenizers | rank / tokenizers |")
    print("|---|---:|---:|---:|---:|")
    for name, part in parts.items():
        chars = sum(len(line) for line in part)
        counts = [len(model.encode_batch(part, rule=rule, flat=True)[0]) // 2 / chars * 1000
                  for rule in ("frequency", "rank")]
        counts.append(sum(len(e.ids) for e in peer.encode_batch(part)) / chars * 1000)
        print(f"| {name} | {counts[0]:.0f} | {counts[1]:.0f} | {counts[2]:.0f} | {counts[1] / counts[2]:.2f} |")


if __name__ == "__main__":
    main()
