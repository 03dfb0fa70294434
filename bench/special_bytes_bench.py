"""What byte fallback and special-token recognition cost in encoding speed.

Trains one model on 8 MB (the first 6 MB of tashkeela-msa and 2 MB of
tweets-atsad, as one training file), or loads it from --model, and builds
three more from it by appending tokens after its last id: three special
tokens, the 256 byte tokens, and both. Then times the engine on held-out lines
(the text after the training bytes) of both corpora, one thread, each line
encoded alone:

- "plain": the trained model;
- "bytes": byte fallback (every unknown cluster spelled out as byte ids);
- "specials": allowed_special="all" with three special tokens, none of which
  occurs in the text, so the figure is the cost of looking for them;
- "both": the two together.

Each case is timed as one flat batch (`Engine.encode_batch`) and as one
`Engine.encode` call per line. Timings are medians of --runs interleaved runs
(at least 5), the order of the cases rotated from run to run; the ratios to
"plain" are side by side in the same run. Everything runs on the calling
thread, so the time taken is the process's CPU time, which other work on a
shared machine disturbs far less than the wall clock (--wall for that).

    python bench/special_bytes_bench.py [--model FILE] [--runs N] [--mb MB]
"""

from __future__ import annotations

import argparse
import pathlib
import struct
import tempfile
import time
from collections.abc import Callable
from typing import Literal

from selvane_tools import Model
from selvane_tools._engine import Engine

# Run as a script, this directory is on the path: the model is trained as
# the rank benchmark trains its own, on other bytes.
from rank_bench import held_out, median_times, train_model

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPORA = ROOT.parent / "shared" / "corpora"
MSA = CORPORA / "tashkeela-msa" / "msa.txt"
TWEETS = CORPORA / "tweets-atsad" / "atsad-tweets-2019-04-13.txt"
MB = 1_000_000
# (name, file, bytes of its start that training reads).
TRAINING = [("msa", MSA, 6 * MB), ("tweets", TWEETS, 2 * MB)]
SPECIALS = ("<|endoftext|>", "<|pad|>", "<|im_start|>")


def appended(image: bytes, tokens: list[bytes]) -> bytes:
    """`image` with `tokens` as new ids after its last one. The lookup map
    comes first in a model file, so its entries are appended to it and its
    count raised; the rest of the file stays as it is."""
    (count,) = struct.unpack_from("<Q", image, 0)
    pos, top = 8, 0
    for _ in range(count):
        token, length = struct.unpack_from("<HQ", image, pos)
        top = max(top, token)
        pos += 10 + length
    extra = b"".join(struct.pack("<HQ", top + 1 + k, len(t)) + t for k, t in enumerate(tokens))
    return struct.pack("<Q", count + len(tokens)) + image[8:pos] + extra + image[pos:]


def timed_call(engine: Engine, lines: list[str], rule: str, allowed: Literal["all"] | None,
               call: str) -> Callable[[], object]:
    """One timed case: `lines` as one flat batch, or one call per line."""
    if call == "batch":
        return lambda: engine.encode_batch(lines, rule, 1, True, allowed)
    return lambda: [engine.encode(line, rule, allowed) for line in lines]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", type=pathlib.Path, help="a trained model (trained here when absent)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--mb", type=float, default=4.0, help="MB of held-out text per corpus")
    parser.add_argument("--wall", action="store_true", help="time by the wall clock, not CPU time")
    args = parser.parse_args()
    runs = max(5, args.runs)
    clock = time.perf_counter if args.wall else time.process_time

    with tempfile.TemporaryDirectory() as work:
        path = args.model or pathlib.Path(work) / "model"
        if args.model is None:
            train_model(path, TRAINING)
        image = path.read_bytes()
    byte_tokens = [bytes([b]) for b in range(256)]
    special_tokens = [s.encode() for s in SPECIALS]
    images = {
        "plain": image,
        "bytes": appended(image, byte_tokens),
        "specials": appended(image, special_tokens),
        "both": appended(image, special_tokens + byte_tokens),
    }
    engines = {name: Engine(data) for name, data in images.items()}
    models = {name: Model.from_bytes(data) for name, data in images.items()}
    assert models["bytes"].has_byte_fallback and models["both"].has_byte_fallback
    # What allowed_special="all" hands the engine.
    allowed: dict[str, Literal["all"] | None] = {name: "all" if m.special_tokens else None for name, m in models.items()}
    assert allowed["specials"] == allowed["both"] == "all"
    print(f"model: {models['plain'].num_ids:,} ids, {models['plain'].num_merges:,} merges; {runs} interleaved runs, medians of"
          f" {'wall-clock' if args.wall else 'CPU'} seconds\n")

    size = int(args.mb * MB)
    for corpus, source, skip in TRAINING:
        lines = held_out(source, skip, size)
        nbytes = sum(len(line.encode()) for line in lines)
        units = models["plain"].encode_units(lines, rule="rank", threads=1)
        print(f"## {corpus}: {len(lines):,} held-out lines, {nbytes:,} bytes,"
              f" {units.unknown_clusters:,} unknown clusters in {units.units_with_unknown:,} lines\n")
        print("| rule | call | plain s | bytes / plain | specials / plain | both / plain | plain MB/s |")
        print("|---|---|---:|---:|---:|---:|---:|")
        for rule in ("frequency", "rank"):
            for call in ("batch", "per line"):
                cases = {name: timed_call(engine, lines, rule, allowed[name], call) for name, engine in engines.items()}
                medians = median_times(cases, runs, clock)
                plain = medians["plain"]
                ratios = " | ".join(f"{medians[n] / plain:.3f}" for n in ("bytes", "specials", "both"))
                print(f"| {rule} | {call} | {plain:.3f} | {ratios} | {nbytes / plain / MB:.2f} |")
        print()


if __name__ == "__main__":
    main()
