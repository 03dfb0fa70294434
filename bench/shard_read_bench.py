"""Per-shard cost of reading a shard output of many tiny shards.

Builds an output of N shards (one unit of one id each; default 60,000, the
terabyte plan of docs/shards.md at 16 MiB a shard) in a temporary directory,
then, in fresh processes under a 256-descriptor limit, measures opening it
(`read_shards`: meta.json read and checked, every file's size checked),
reading every unit in order, and random access to units, and the most
descriptors and memory maps held while reading. Medians of 5 interleaved
rounds.

    .venv-3.12/bin/python bench/shard_read_bench.py [N]
"""

from __future__ import annotations

import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from corpus_support import write_tiny_shards  # noqa: E402

ROUNDS = 5
PROBE = r"""
import json, os, random, resource, sys, time
resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))
from selvane_tools import read_shards
out, mode = sys.argv[1], sys.argv[2]
def held():
    return len(os.listdir("/proc/self/fd")), sum(1 for _ in open("/proc/self/maps"))
base = held()
t0 = time.perf_counter()
shards = read_shards(out)
t1 = time.perf_counter()
most = (0, 0)
total = 0
if mode == "all":
    for i, ids in enumerate(shards):
        total += int(ids[0])
        if i % 997 == 0:
            most = max(most, held())
else:
    rng = random.Random(1)
    for i in range(20000):
        total += int(shards[rng.randrange(len(shards))][0])
        if i % 997 == 0:
            most = max(most, held())
t2 = time.perf_counter()
print(json.dumps({"open": t1 - t0, "read": t2 - t1, "units": len(shards), "total": total,
                  "fds": most[0] - base[0], "maps": most[1] - base[1]}))
"""


def probe(out: pathlib.Path, mode: str) -> dict[str, float]:
    done = subprocess.run([sys.executable, "-c", PROBE, str(out), mode], capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 60_000
    with tempfile.TemporaryDirectory() as work:
        out = write_tiny_shards(pathlib.Path(work) / "out", count)
        rows: dict[str, list[dict[str, float]]] = {"all": [], "random": []}
        for _ in range(ROUNDS):
            for mode in rows:
                rows[mode].append(probe(out, mode))
        print(f"{count:,} shards, {ROUNDS} interleaved rounds, medians; "
              f"descriptor limit 256 in the reader; Python {sys.version.split()[0]}")
        for mode, runs in rows.items():
            open_s = statistics.median(r["open"] for r in runs)
            read_s = statistics.median(r["read"] for r in runs)
            reads = count if mode == "all" else 20_000
            print(f"{mode:>6}: open {open_s:.3f} s ({open_s / count * 1e6:.1f} us/shard), "
                  f"read {read_s:.3f} s ({read_s / reads * 1e6:.1f} us/unit), "
                  f"extra descriptors held at most {max(r['fds'] for r in runs):.0f}, "
                  f"extra maps at most {max(r['maps'] for r in runs):.0f}")


if __name__ == "__main__":
    main()
