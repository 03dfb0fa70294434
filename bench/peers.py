"""selvane beside the subword tokenizers people use today, on Arabic text.

Measures, on this machine and in one run, selvane and the peers that are
installed in the running interpreter (`tokenizers` with its BPE model and
trainer, `sentencepiece` with its BPE model type, `youtokentome`):

- training time and peak memory on the first 3,067,833 bytes and the first
  12 MB of the classical corpus, and on the first 100 MB of all the corpora
  concatenated, every peer set to learn as many merges as selvane learns on
  that input;
- encoding throughput on sentences and on 1 MB documents of the modern
  corpus, with every model trained on the first 3,067,833 bytes of it and the
  text encoded taken from after those bytes;
- tokens per 1,000 characters on that text.

selvane appears twice in the encoding table: `selvane` is the module's own
`Data.encode` (the frequency rule), `selvane rank` the same model through the
companion's `Model.encode(text, rule="rank")`, which applies the merges in the
order they were learned.

Each training run, and each peer's encoding, is a fresh child process in a
directory of its own, with file descriptor 1 sent to a file there: the peak
resident set size (ru_maxrss from wait4) belongs to that child alone, and
selvane's progress lines and its "tokenizer" file stay out of the way. The
runs interleave the tokenizers (A B C, A B C, ...), so that a slow spell of
the machine falls on all of them alike. Figures are medians of the runs;
ratios are to selvane in the same run. Writes the
table to docs/benchmarks.md, the chart to docs/peers.png and the raw figures
to build/peers/peers.json.

    python bench/peers.py [--runs N] [--big-runs N] [--huge-runs N]
                          [--encode-runs N] [--threads N] [--peers NAME,...]
                          [--no-write]
"""

from __future__ import annotations

import argparse
import datetime
import importlib.util
import json
import os
import pathlib
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPORA = ROOT.parent / "shared" / "corpora"
CLASSICAL = CORPORA / "tashkeela-classical" / "classical.txt"
MSA = CORPORA / "tashkeela-msa" / "msa.txt"
CHUNK = 3_067_833
BIG = 12_000_000
HUGE = 100_000_000
DOC = 1_000_000
ALL_PEERS = ["selvane", "tokenizers", "sentencepiece", "youtokentome"]
# Where each peer's vocabulary has entries that are neither characters nor
# merges: tokenizers "<unk>"; sentencepiece "<unk>", "<s>", "</s>";
# youtokentome "<PAD>", "<UNK>", "<BOS>", "<EOS>".
SPECIALS = {"tokenizers": 1, "sentencepiece": 3, "youtokentome": 4}
# The rank rule of selvane's model: an encoding row only, it trains nothing
# of its own.
RANK = "selvane rank"


# ---------------------------------------------------------------- children
# Everything below up to the parent's part runs in a child process.


def child_train(peer: str, corpus: str, vocab: int, out: str, threads: int) -> dict:
    """Trains `peer` on `corpus`; returns the seconds of the training call,
    the merges learned and the vocabulary size. Saves the model under `out`."""
    out_dir = pathlib.Path(out)
    if peer == "selvane":
        import selvane

        pathlib.Path("empty.model").write_bytes(bytes(24))
        model = selvane.load_from_file("empty.model")
        started = time.perf_counter()
        model.train(corpus, False, "train.log")
        seconds = time.perf_counter() - started
        shutil.copyfile("tokenizer", out_dir / "selvane.model")
        # Merges are counted by the parent from the "Token " lines.
        return {"seconds": seconds, "vocab": len(model.vocab())}
    if peer == "tokenizers":
        from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers

        tok = Tokenizer(models.BPE(unk_token="<unk>"))
        tok.pre_tokenizer = pre_tokenizers.Metaspace()
        tok.decoder = decoders.Metaspace()
        trainer = trainers.BpeTrainer(
            vocab_size=vocab, special_tokens=["<unk>"], show_progress=False
        )
        started = time.perf_counter()
        tok.train([corpus], trainer)
        seconds = time.perf_counter() - started
        tok.save(str(out_dir / "tokenizers.json"))
        merges = len(json.loads(tok.to_str())["model"]["merges"])
        return {"seconds": seconds, "merges": merges, "vocab": tok.get_vocab_size()}
    if peer == "sentencepiece":
        import sentencepiece as spm

        started = time.perf_counter()
        spm.SentencePieceTrainer.train(
            input=corpus,
            model_prefix=str(out_dir / "sentencepiece"),
            model_type="bpe",
            vocab_size=vocab,
            character_coverage=1.0,
            normalization_rule_name="identity",
            # Lines of the corpus reach 130 KB; the default limit of 4,192
            # bytes would silently leave the long ones out of training.
            max_sentence_length=1 << 24,
            num_threads=threads,
            minloglevel=2,
        )
        seconds = time.perf_counter() - started
        sp = spm.SentencePieceProcessor(model_file=str(out_dir / "sentencepiece.model"))
        merges = sum(
            1
            for i in range(sp.get_piece_size())
            if not (sp.is_control(i) or sp.is_unknown(i)) and len(sp.id_to_piece(i)) > 1
        )
        return {"seconds": seconds, "merges": merges, "vocab": sp.get_piece_size()}
    if peer == "youtokentome":
        import youtokentome as yttm

        model_path = str(out_dir / "youtokentome.model")
        started = time.perf_counter()
        bpe = yttm.BPE.train(
            data=corpus, model=model_path, vocab_size=vocab, coverage=1.0, n_threads=threads
        )
        seconds = time.perf_counter() - started
        pieces = bpe.vocab()
        specials = {"<PAD>", "<UNK>", "<BOS>", "<EOS>"}
        merges = sum(1 for p in pieces if p not in specials and len(p) > 1)
        return {"seconds": seconds, "merges": merges, "vocab": len(pieces)}
    raise SystemExit(f"unknown peer {peer}")


def load_encoder(peer: str, model_dir: pathlib.Path, threads: int):
    """Returns a function from a string to its list of token ids."""
    if peer == "selvane":
        import selvane

        model = selvane.load_from_file(str(model_dir / "selvane.model"))
        return model.encode
    if peer == RANK:
        from selvane_tools import Model

        ranked = Model(model_dir / "selvane.model")
        return lambda text: ranked.encode(text, rule="rank")
    if peer == "tokenizers":
        from tokenizers import Tokenizer

        tok = Tokenizer.from_file(str(model_dir / "tokenizers.json"))
        return lambda text: tok.encode(text).ids
    if peer == "sentencepiece":
        import sentencepiece as spm

        sp = spm.SentencePieceProcessor(model_file=str(model_dir / "sentencepiece.model"))
        return sp.encode
    if peer == "youtokentome":
        import youtokentome as yttm

        bpe = yttm.BPE(str(model_dir / "youtokentome.model"), n_threads=threads)
        return lambda text: bpe.encode([text], output_type=yttm.OutputType.ID)[0]
    raise SystemExit(f"unknown peer {peer}")


def child_encode(peer: str, model_dir: str, texts: str, runs: int, threads: int) -> dict:
    """Times encoding of the sentences (one call each) and of the documents."""
    encode = load_encoder(peer, pathlib.Path(model_dir), threads)
    data = json.loads(pathlib.Path(texts).read_text(encoding="utf-8"))
    result = {}
    for name in ("sentences", "documents"):
        items = data[name]
        for text in items[:20]:  # warm-up, untimed
            encode(text[:2000])
        times, tokens = [], 0
        for _ in range(runs):
            tokens = 0
            started = time.perf_counter()
            for text in items:
                tokens += len(encode(text))
            times.append(time.perf_counter() - started)
        result[name] = {"times": times, "tokens": tokens}
    if peer in ("selvane", RANK):
        # A sentence whose clusters are all in the model must come back whole.
        import selvane

        model = selvane.load_from_file(str(pathlib.Path(model_dir) / "selvane.model"))
        bad = [s for s in data["sentences"] if 0 not in (ids := encode(s))
               and model.decode(ids) != s]
        result["round_trip_failures"] = len(bad)
    return result


def child_main(argv: list[str]) -> None:
    kind, result_path, threads = argv[0], argv[1], int(argv[2])
    if kind == "train":
        peer, corpus, vocab, out = argv[3], argv[4], int(argv[5]), argv[6]
        result = child_train(peer, corpus, vocab, out, threads)
    elif kind == "encode":
        peer, model_dir, texts, runs = argv[3], argv[4], argv[5], int(argv[6])
        result = child_encode(peer, model_dir, texts, runs, threads)
    elif kind == "baseline":
        peer = argv[3]
        __import__({"tokenizers": "tokenizers", "sentencepiece": "sentencepiece",
                    "youtokentome": "youtokentome", "selvane": "selvane",
                    RANK: "selvane_tools._engine"}[peer])
        result = {}
    else:
        raise SystemExit(f"unknown child kind {kind}")
    status = pathlib.Path("/proc/self/status").read_text()
    hwm = re.search(r"^VmHWM:\s*(\d+) kB", status, re.M)
    result["vm_hwm_kib"] = int(hwm.group(1)) if hwm else None
    pathlib.Path(result_path).write_text(json.dumps(result))


# ------------------------------------------------------------------ parent


# A fork copies the parent's resident pages into the child's high-water
# mark, and exec keeps that mark: ru_maxrss of a child forked straight from
# this process would count the corpora the parent holds. So each child is
# started by this small launcher (an interpreter without site, about 9 MiB,
# less than any child measured here), which reports the ru_maxrss of its child
# from wait4 and its exit code.
LAUNCHER = r"""
import os, sys
pid = os.fork()
if pid == 0:
    try:
        os.execv(sys.argv[2], sys.argv[2:])
    finally:
        os._exit(127)
_, status, usage = os.wait4(pid, 0)
with open(sys.argv[1], "w") as out:
    out.write("%d %d" % (usage.ru_maxrss, os.waitstatus_to_exitcode(status)))
"""


def run_child(work: pathlib.Path, args: list[str], threads: int) -> tuple[dict, int, str]:
    """Runs one child in `work`; returns its result, its peak RSS in KiB and
    what it wrote on file descriptor 1."""
    work.mkdir(parents=True, exist_ok=True)
    result_path = work / "result.json"
    usage_path = work / "usage.txt"
    env = dict(os.environ)
    # The pool of the Rust library sizes itself from this variable.
    env["RAYON_NUM_THREADS"] = str(threads)
    env["OMP_NUM_THREADS"] = str(threads)
    with open(work / "console.txt", "wb") as console, open(work / "stderr.txt", "wb") as err:
        subprocess.run(
            [sys.executable, "-S", "-c", LAUNCHER, str(usage_path), sys.executable,
             str(pathlib.Path(__file__).resolve()), "--child", args[0],
             str(result_path), str(threads), *args[1:]],
            cwd=work, stdout=console, stderr=err, stdin=subprocess.DEVNULL, env=env,
            check=True,
        )
    peak, code = map(int, usage_path.read_text().split())
    output = (work / "console.txt").read_text(encoding="utf-8", errors="replace")
    if code != 0:
        sys.exit(f"child {args} failed with {code}:\n"
                 f"{(work / 'stderr.txt').read_text(errors='replace')[-3000:]}")
    result = json.loads(result_path.read_text())
    # The child's own high-water mark, which no fork can inflate: the two
    # must agree, or the figure is not the child's.
    hwm = result.get("vm_hwm_kib")
    if hwm and abs(peak - hwm) > max(2048, hwm // 20):
        log(f"    warning: ru_maxrss {peak} KiB but VmHWM {hwm} KiB for {args[:2]}")
    return result, peak, output


def encoding_rows(peers: list[str]) -> list[str]:
    """The rows of the encoding table: selvane's two rules first, then the
    peers."""
    return ["selvane", RANK] + [p for p in peers if p != "selvane"]


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


class Trainer:
    """Runs the training children of one input and keeps their figures."""

    def __init__(self, tmp: pathlib.Path, threads: int):
        self.tmp = tmp
        self.threads = threads
        self.count = 0

    def once(self, peer: str, corpus: pathlib.Path, vocab: int, out: pathlib.Path) -> dict:
        self.count += 1
        result, peak, console = run_child(
            self.tmp / f"train-{self.count}",
            ["train", peer, str(corpus), str(vocab), str(out)], self.threads)
        if peer == "selvane":
            result["merges"] = sum(line.startswith("Token ") for line in console.splitlines())
        result["peak_kib"] = peak
        return result

    def matching(self, peer: str, corpus: pathlib.Path, merges: int, vocab: int,
                 out: pathlib.Path) -> tuple[dict, int]:
        """One training of `peer` that learns exactly `merges` merges, and the
        vocabulary size that gave it. A run that misses the count sets the
        vocabulary size from what it learned and is not counted."""
        for _ in range(4):
            result = self.once(peer, corpus, vocab, out)
            log(f"    {peer}: vocab_size {vocab}: {result['merges']} merges, "
                f"{result['seconds']:.2f} s, peak RSS {result['peak_kib'] / 1024:.1f} MiB")
            if result["merges"] == merges:
                return result, vocab
            vocab += merges - result["merges"]
        sys.exit(f"{peer} does not reach {merges} merges (last vocab_size {vocab})")


def summary(kept: list[dict], vocab: int, merges: int) -> dict:
    return {
        "vocab_size": vocab,
        "merges": merges,
        "runs": len(kept),
        "seconds": statistics.median(r["seconds"] for r in kept),
        "peak_mib": statistics.median(r["peak_kib"] for r in kept) / 1024,
        "all_seconds": [r["seconds"] for r in kept],
    }


def peer_input(tmp: pathlib.Path, name: str, data: bytes) -> tuple[pathlib.Path, pathlib.Path, int]:
    """Writes the exact bytes for selvane, and for the peers the same bytes
    without a cut last character, so that every peer reads valid UTF-8.
    Returns both paths and the number of bytes dropped for the peers."""
    exact = tmp / f"{name}.txt"
    exact.write_bytes(data)
    end = len(data)
    while end > 0:
        try:
            data[:end].decode("utf-8")
            break
        except UnicodeDecodeError as error:
            end = error.start
    peers = tmp / f"{name}-peers.txt"
    peers.write_bytes(data[:end])
    return exact, peers, len(data) - end


def vocab_guess(peer: str, text: str, merges: int) -> int:
    """The vocabulary size that should give `merges` merges: the specials,
    the characters the peer keeps as its alphabet, and the merges. The runs
    correct it when the peer counts its alphabet otherwise."""
    chars = set(text)
    if peer in ("sentencepiece", "youtokentome"):
        # Lines are read without their line feeds; the blank becomes a mark.
        chars -= {"\n", "\r", " "}
        chars.add("\u2581")
    if peer == "tokenizers":
        chars.discard(" ")
        chars.add("\u2581")
    return SPECIALS[peer] + len(chars) + merges


def train_section(trainer: Trainer, tmp: pathlib.Path, label: str, data: bytes, runs: int,
                  peers: list[str]) -> tuple[dict, pathlib.Path]:
    exact, for_peers, dropped = peer_input(tmp, label, data)
    text = for_peers.read_text(encoding="utf-8")
    log(f"  training on {label} ({len(data):,} bytes), {runs} run(s) each, interleaved")
    out = tmp / f"models-{label}"
    out.mkdir()
    kept = {peer: [] for peer in peers}
    vocab = {peer: 0 for peer in peers}
    merges = None
    # Round after round, every tokenizer once: A B C, A B C, ... The first
    # round also finds each peer's vocabulary size for selvane's number of
    # merges, so it has to start with selvane.
    for _ in range(runs):
        for peer in peers:
            if peer == "selvane":
                r = trainer.once("selvane", exact, 0, out)
                log(f"    selvane: {r['merges']} merges, {r['seconds']:.2f} s, "
                    f"peak RSS {r['peak_kib'] / 1024:.1f} MiB")
                if merges is None:
                    merges = r["merges"]
                elif r["merges"] != merges:
                    sys.exit("selvane learned a different number of merges in two runs")
                vocab["selvane"] = r["vocab"]
            else:
                if not vocab[peer]:
                    vocab[peer] = vocab_guess(peer, text, merges)
                r, vocab[peer] = trainer.matching(peer, for_peers, merges, vocab[peer], out)
            kept[peer].append(r)
    section = {
        "bytes": len(data),
        "peer_bytes": len(data) - dropped,
        "merges": merges,
        "results": {peer: summary(kept[peer], vocab[peer], merges) for peer in peers},
    }
    return section, out


def corpus_files() -> list[pathlib.Path]:
    """The text of every corpus, in a fixed order."""
    return sorted(CORPORA.glob("*/*.txt"))


def all_corpora(size: int) -> bytes:
    """The first `size` bytes of all the corpora concatenated, repeated when
    they are shorter."""
    files = corpus_files()
    if not files:
        sys.exit(f"no corpora under {CORPORA}")
    out = bytearray()
    while len(out) < size:
        for path in files:
            out += path.read_bytes()
    return bytes(out[:size])


def encode_texts(text: str, count: int, docs: int) -> dict:
    """Sentences (split after . ! ? ؟ and at line breaks, 20 to 2,000
    characters) and 1 MB documents (cut after a blank) of `text`."""
    sentences = []
    for line in text.splitlines():
        for piece in re.split(r"(?<=[.!?\u061f])\s+", line):
            piece = piece.strip()
            if 20 <= len(piece) <= 2000:
                sentences.append(piece)
                if len(sentences) == count:
                    break
        if len(sentences) == count:
            break
    data = text.encode("utf-8")
    documents, start = [], 0
    while len(documents) < docs:
        end = start + DOC
        if end > len(data):
            sys.exit(f"{MSA} is too short for {docs} documents of 1 MB")
        cut = data.rfind(b" ", start, end)
        end = cut + 1 if cut > start else end
        documents.append(data[start:end].decode("utf-8", errors="ignore"))
        start = end
    return {"sentences": sentences, "documents": documents}


def machine() -> dict:
    model, cores = "unknown", os.cpu_count()
    try:
        info = pathlib.Path("/proc/cpuinfo").read_text()
        names = re.findall(r"^model name\s*:\s*(.*)$", info, re.M)
        model = names[0].strip() if names else model
        cores = len(re.findall(r"^processor\s*:", info, re.M)) or cores
    except OSError:
        pass
    try:
        mem = re.search(r"^MemTotal:\s*(\d+) kB", pathlib.Path("/proc/meminfo").read_text(), re.M)
        mem_gib = int(mem.group(1)) / 1024 / 1024 if mem else None
    except OSError:
        mem_gib = None
    return {"cpu": model, "cores": cores, "mem_gib": mem_gib,
            "python": platform.python_version(), "kernel": platform.release()}


def versions(peers: list[str]) -> dict:
    from importlib import metadata

    out = {}
    for peer in peers:
        try:
            out[peer] = metadata.version(peer)
        except metadata.PackageNotFoundError:
            out[peer] = "?"
    return out


def git_head() -> str:
    try:
        return subprocess.run(["git", "log", "-1", "--format=%h %s"], cwd=ROOT, text=True,
                              capture_output=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5, help="training runs on 3,067,833 bytes")
    parser.add_argument("--big-runs", type=int, default=5, help="training runs on 12 MB")
    parser.add_argument("--huge-runs", type=int, default=5,
                        help="training runs on 100 MB of all the corpora")
    parser.add_argument("--encode-runs", type=int, default=5,
                        help="timed encoding passes, each in a child of its own")
    parser.add_argument("--sentences", type=int, default=5000)
    parser.add_argument("--documents", type=int, default=2)
    parser.add_argument("--threads", type=int, default=1,
                        help="threads the peers may use (selvane uses one)")
    parser.add_argument("--peers", default=",".join(ALL_PEERS))
    parser.add_argument("--no-write", action="store_true",
                        help="print the figures only; leave docs/ alone")
    args = parser.parse_args()

    wanted = [p for p in args.peers.split(",") if p]
    peers, missing = [], []
    for peer in wanted:
        (peers if importlib.util.find_spec(peer) else missing).append(peer)
    if "selvane" not in peers:
        sys.exit("selvane is not installed in this interpreter")
    # selvane leads every round: its merges set the peers' vocabulary sizes.
    peers.remove("selvane")
    peers.insert(0, "selvane")
    for peer in missing:
        log(f"{peer} is not installed in this interpreter: left out")

    started = time.perf_counter()
    report = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "machine": machine(),
        "versions": versions(peers),
        "missing": missing,
        "commit": git_head(),
        "threads": args.threads,
        "encode_runs": args.encode_runs,
        "argv": sys.argv[1:],
    }
    with tempfile.TemporaryDirectory(prefix="selvane-peers-") as tmp_name:
        tmp = pathlib.Path(tmp_name)
        trainer = Trainer(tmp, args.threads)
        with open(CLASSICAL, "rb") as f:
            classical = f.read(BIG)

        baseline = {}
        for peer in peers:
            _, peak, _ = run_child(tmp / f"baseline-{peer}", ["baseline", peer], args.threads)
            baseline[peer] = peak / 1024
        report["baseline_mib"] = baseline

        report["train"] = {}
        for label, size, runs in (("3067833", CHUNK, args.runs), ("12MB", BIG, args.big_runs)):
            if runs > 0:
                report["train"][label], _ = train_section(
                    trainer, tmp, label, classical[:size], runs, peers)
        if args.huge_runs > 0:
            report["train"]["100MB"], _ = train_section(
                trainer, tmp, "100MB", all_corpora(HUGE), args.huge_runs, peers)
            report["huge_sources"] = [str(path.relative_to(CORPORA)) for path in corpus_files()]

        # Encoding: models trained once on the first chunk of the modern
        # corpus, text taken from after it.
        with open(MSA, "rb") as f:
            msa = f.read()
        log("  training the encoding models on the first 3,067,833 bytes of msa.txt")
        msa_train, models = train_section(trainer, tmp, "msa", msa[:CHUNK], 1, peers)
        held_out = msa[CHUNK:].decode("utf-8", errors="ignore")
        texts = encode_texts(held_out, args.sentences, args.documents)
        texts_path = tmp / "texts.json"
        texts_path.write_text(json.dumps(texts, ensure_ascii=False), encoding="utf-8")
        report["encode_models"] = {
            p: {"merges": r["merges"], "vocab_size": r["vocab_size"]}
            for p, r in msa_train["results"].items()
        }
        report["encode_models_merges"] = msa_train["merges"]
        shape = {}
        for name, items in texts.items():
            shape[name] = {"count": len(items), "chars": sum(map(len, items)),
                           "bytes": sum(len(t.encode("utf-8")) for t in items)}
        report["encode_texts"] = shape
        report["encode"] = {}
        # One timed pass per child, the children interleaved: round after
        # round, every tokenizer once.
        encoders = encoding_rows(peers)
        passes = {peer: [] for peer in encoders}
        for round_index in range(args.encode_runs):
            for peer in encoders:
                log(f"  encoding with {peer}, round {round_index + 1}")
                result, peak, _ = run_child(
                    tmp / f"encode-{peer}-{round_index}",
                    ["encode", peer, str(models), str(texts_path), "1"], args.threads)
                result["peak_kib"] = peak
                passes[peer].append(result)
        for peer in encoders:
            runs = passes[peer]
            entry = {"peak_mib": statistics.median(r["peak_kib"] for r in runs) / 1024}
            for name in ("sentences", "documents"):
                seconds = statistics.median(r[name]["times"][0] for r in runs)
                tokens = runs[0][name]["tokens"]
                entry[name] = {
                    "seconds": seconds,
                    "mb_s": shape[name]["bytes"] / 1e6 / seconds,
                    "tokens": tokens,
                    "per_1000": 1000 * tokens / shape[name]["chars"],
                }
                log(f"    {peer} {name}: {entry[name]['mb_s']:.3f} MB/s, "
                    f"{entry[name]['per_1000']:.1f} tokens per 1,000 characters")
            if "round_trip_failures" in runs[0]:
                entry["round_trip_failures"] = runs[0]["round_trip_failures"]
            report["encode"][peer] = entry
    report["total_seconds"] = time.perf_counter() - started

    print(render_table(report, peers))
    if not args.no_write:
        out = ROOT / "build" / "peers"
        out.mkdir(parents=True, exist_ok=True)
        (out / "peers.json").write_text(json.dumps(report, indent=1, ensure_ascii=False))
        (ROOT / "docs").mkdir(exist_ok=True)
        draw_chart(report, peers, ROOT / "docs" / "peers.png")
        (ROOT / "docs" / "benchmarks.md").write_text(render_doc(report, peers), encoding="utf-8")
        log("wrote docs/benchmarks.md, docs/peers.png and build/peers/peers.json")
    log(f"total {report['total_seconds']:.0f} s")


# ------------------------------------------------------------------ output


def ratio(value: float, base: float) -> str:
    return f"{value / base:.2f}x" if base else "-"


def render_table(report: dict, peers: list[str]) -> str:
    """The results as Markdown tables."""
    lines = []
    for label, title in (("3067833", "first 3,067,833 bytes of classical.txt"),
                         ("12MB", "first 12,000,000 bytes of classical.txt"),
                         ("100MB", "first 100,000,000 bytes of all the corpora")):
        section = report["train"].get(label)
        if not section:
            continue
        base = section["results"]["selvane"]
        lines += [
            f"**Training on the {title}** "
            f"({section['merges']:,} merges, the number selvane learns on it):",
            "",
            "| tokenizer | vocab size set | runs | time s (median) | time vs selvane "
            "| peak RSS MiB (median) | RSS vs selvane |",
            "|---|---:|---:|---:|---:|---:|---:|",
        ]
        for peer in peers:
            r = section["results"][peer]
            vocab = "- (fixed)" if peer == "selvane" else f"{r['vocab_size']:,}"
            lines.append(
                f"| {peer} | {vocab} | {r['runs']} | {r['seconds']:.2f} "
                f"| {ratio(r['seconds'], base['seconds'])} | {r['peak_mib']:.1f} "
                f"| {ratio(r['peak_mib'], base['peak_mib'])} |")
        lines.append("")
    shape = report["encode_texts"]
    base = report["encode"]["selvane"]
    lines += [
        f"**Encoding tashkeela-msa** ({shape['sentences']['count']:,} sentences, "
        f"{shape['sentences']['bytes']:,} bytes, one call each; "
        f"{shape['documents']['count']} documents of about 1 MB, "
        f"{shape['documents']['bytes']:,} bytes; models trained on the first 3,067,833 "
        f"bytes of msa.txt with {report['encode_models_merges']:,} merges):",
        "",
        "| tokenizer | sentences MB/s | vs selvane | 1 MB documents MB/s | vs selvane "
        "| tokens / 1,000 chars (sentences) | vs selvane | tokens / 1,000 chars (documents) "
        "| vs selvane |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for peer in encoding_rows(peers):
        e = report["encode"][peer]
        s, d = e["sentences"], e["documents"]
        lines.append(
            f"| {peer} | {s['mb_s']:.3f} | {ratio(s['mb_s'], base['sentences']['mb_s'])} "
            f"| {d['mb_s']:.3f} | {ratio(d['mb_s'], base['documents']['mb_s'])} "
            f"| {s['per_1000']:.1f} | {ratio(s['per_1000'], base['sentences']['per_1000'])} "
            f"| {d['per_1000']:.1f} | {ratio(d['per_1000'], base['documents']['per_1000'])} |")
    return "\n".join(lines) + "\n"


def draw_chart(report: dict, peers: list[str], path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colors = {"selvane": "#c0392b", RANK: "#e67e22", "tokenizers": "#2e86c1", "sentencepiece": "#27ae60",
              "youtokentome": "#8e44ad"}
    panels = []
    sizes = (("3067833", "3.07 MB"), ("12MB", "12 MB"), ("100MB", "100 MB"))
    for label, title in sizes:
        if label in report["train"]:
            res = report["train"][label]["results"]
            panels.append((f"Training time, {title} (s)", [res[p]["seconds"] for p in peers],
                           peers))
    for label, title in sizes:
        if label in report["train"]:
            res = report["train"][label]["results"]
            panels.append((f"Training peak RSS, {title} (MiB)",
                           [res[p]["peak_mib"] for p in peers], peers))
    enc = report["encode"]
    encoders = encoding_rows(peers)
    panels.append(("Encoding sentences (MB/s)",
                   [enc[p]["sentences"]["mb_s"] for p in encoders], encoders))
    panels.append(("Encoding 1 MB documents (MB/s)",
                   [enc[p]["documents"]["mb_s"] for p in encoders], encoders))
    panels.append(("Tokens per 1,000 characters (sentences)",
                   [enc[p]["sentences"]["per_1000"] for p in encoders], encoders))
    cols = 4 if len(panels) > 6 else 3
    rows = (len(panels) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.4 * rows), squeeze=False)
    for ax, (title, values, names) in zip(axes.flat, panels):
        bars = ax.bar(range(len(names)), values, color=[colors.get(p, "grey") for p in names])
        ax.set_title(title, fontsize=10)
        ax.set_xticks(range(len(names)), names, rotation=20, fontsize=8)
        ax.tick_params(axis="y", labelsize=8)
        for bar, value in zip(bars, values):
            ax.annotate(f"{value:.3g}", (bar.get_x() + bar.get_width() / 2, bar.get_height()),
                        ha="center", va="bottom", fontsize=7)
        ax.margins(y=0.15)
    for ax in list(axes.flat)[len(panels):]:
        ax.axis("off")
    m = report["machine"]
    fig.suptitle(f"selvane and peers on Tashkeela (Arabic), {report['date']}, "
                 f"{m['cores']} cores {m['cpu']}, peers on {report['threads']} thread(s); "
                 "medians", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def render_doc(report: dict, peers: list[str]) -> str:
    m = report["machine"]
    v = report["versions"]
    t = report["train"]
    missing = report["missing"]
    mem = f", {m['mem_gib']:.0f} GiB RAM" if m["mem_gib"] else ""
    argv = " ".join(report["argv"])
    big_note = ""
    if "12MB" in t:
        big_note = (f"{t['12MB']['results']['selvane']['runs']} run(s) of each "
                    "tokenizer on 12 MB, ")
    if "100MB" in t:
        big_note += (f"{t['100MB']['results']['selvane']['runs']} run(s) of each "
                     "tokenizer on 100 MB, ")
    small_runs = t["3067833"]["results"]["selvane"]["runs"] if "3067833" in t else 0
    rt = report["encode"]["selvane"].get("round_trip_failures")
    rt_rank = report["encode"][RANK].get("round_trip_failures")
    rank_share = (report["encode"][RANK]["sentences"]["per_1000"]
                  / report["encode"]["selvane"]["sentences"]["per_1000"])
    peer_versions = ", ".join(f"`{p}` {v[p]}" for p in peers if p != "selvane")
    lines = [
        "# Benchmarks against other subword tokenizers",
        "",
        f"Measured {report['date']} at commit `{report['commit']}`, on one machine in one "
        f"run: {m['cores']} cores, {m['cpu']}{mem}, Linux {m['kernel']}, CPython "
        f"{m['python']}. Peers: {peer_versions}. The machine is a shared virtual one, "
        "so single figures move by some per cent from run to run and from day to day; the "
        "ratios, taken in the same run, are the steadier figures.",
        "",
        f"Each figure is the median of the runs: {small_runs} run(s) of each tokenizer on "
        f"3,067,833 bytes, {big_note}"
        f"{report['encode_runs']} timed encoding passes of each tokenizer"
        ", the runs interleaved (every tokenizer once per round, round after round)"
        ". Ratios are to selvane in the same run (time and memory: above 1 is more than "
        "selvane; throughput: above 1 is faster; tokens: above 1 is more tokens).",
        "",
        "![Training time, training memory, encoding throughput and tokens per 1,000 "
        "characters of selvane and the peers](peers.png)",
        "",
        render_table(report, peers),
        "**Which rule.** `selvane rank` (`Model.encode(text, rule=\"rank\")`, "
        "`selvane encode --rule rank`) applies the merges in the order they were learned, "
        "as the peers do: "
        f"{rank_share:.2f} times the tokens of the frequency rule on these sentences (the gap "
        "widens with the size of the model), and a sentence is "
        "split the same way whatever text surrounds it. Use it for training and running "
        "language models. `selvane` (the module's `Data.encode`, and `rule=\"frequency\"`, "
        "the default everywhere) is for compatibility: the ids of every text are exactly "
        "those the `selvane` module gives.",
        "",
        f"Peak RSS of a child that only imports the library, for scale (MiB): "
        + ", ".join(f"{p} {report['baseline_mib'][p]:.1f}" for p in peers) + ".",
        "",
    ]
    if missing:
        lines += [f"Left out because they are not installed in the benchmark interpreter: "
                  f"{', '.join(missing)}.", ""]
    lines += [
        "## Reproduce",
        "",
        "```sh",
        "make bench-peers    # creates .venv-bench, installs the peers, matplotlib and the "
        "module, runs the benchmark",
        "# or, with .venv-bench in place:",
        f".venv-bench/bin/python bench/peers.py {argv}".rstrip(),
        "```",
        "",
        "`make bench-peers` creates the virtual environment `.venv-bench` (never used by the "
        "module itself), installs `tokenizers`, `sentencepiece` and `matplotlib` from PyPI, "
        "tries `youtokentome` (its source package imports Cython while declaring no build "
        "requirement, so it is built with Cython preinstalled and without build isolation; "
        "when that fails the benchmark runs without it), builds the module in Release into "
        "the environment and rewrites this page, `docs/peers.png` and "
        "`build/peers/peers.json`. A full run took "
        f"{report['total_seconds'] / 60:.1f} minutes. `--runs`, `--big-runs`, "
        "`--encode-runs`, `--threads` and `--peers` change what it does "
        "(`make bench-peers PEERS_ARGS=\"--big-runs 1\"`).",
        "",
        "## How each tokenizer is set up",
        "",
        "- **selvane**: an empty model (24 zero bytes) trained with "
        "`train(file, False, log)` in a child process with its own directory, its console "
        "on file descriptor 1 sent to a file. It learns up to 700 merges per chunk of "
        "3,067,833 bytes, of pairs seen at least 10 times, and has no setting for the "
        "number of merges: the merges it learns are counted from its \"Token \" console "
        "lines, and every peer is set to learn exactly that number. Its base units are "
        "the extended grapheme clusters of the text, with no normalisation and no "
        "pre-tokenisation: spaces and line breaks are clusters like any other, and merges "
        "cross them.",
        "- **tokenizers**: `models.BPE(unk_token=\"<unk>\")` with "
        "`trainers.BpeTrainer(vocab_size=V, special_tokens=[\"<unk>\"])`, no normaliser, "
        "the `Metaspace` pre-tokeniser (text split at blanks, each word prefixed with "
        "U+2581) and decoder, the library's default minimum frequency. V = 1 special + the "
        "characters of the pre-tokenised text + the merges; the merges counted are the "
        "entries of the trained model's merge list.",
        "- **sentencepiece**: `SentencePieceTrainer.train(model_type=\"bpe\", "
        "vocab_size=V, character_coverage=1.0, normalization_rule_name=\"identity\", "
        f"max_sentence_length=2**24, num_threads={report['threads']})`. Its default "
        "pre-tokenisation splits at whitespace (U+2581 marks), at changes of Unicode script "
        "and around digits, and it reads the file line by line. The default length limit "
        "of 4,192 bytes per line would leave out the long lines of the corpus (up to "
        "130 KB), hence the raised limit. V = 3 specials (`<unk>`, `<s>`, `</s>`) + the "
        "characters + the merges; merges counted are the pieces longer than one "
        "character.",
    ]
    if "youtokentome" in peers:
        lines.append(
            "- **youtokentome**: `BPE.train(vocab_size=V, coverage=1.0, "
            f"n_threads={report['threads']})`, encoding with `BPE(model, "
            f"n_threads={report['threads']}).encode([text])`. It splits at whitespace and "
            "marks word starts with U+2581. V = 4 specials (`<PAD>`, `<UNK>`, `<BOS>`, "
            "`<EOS>`) + the characters + the merges; merges counted are the vocabulary "
            "entries longer than one character.")
    else:
        lines.append("- **youtokentome**: did not install on this interpreter, so it is "
                     "not in the tables.")
    lines += [
        "",
        "Each peer's V is first estimated from the distinct characters of the input; a run "
        "that learns a different number of merges sets V from what it learned and is "
        "not counted among the runs. The table gives the V with which the counted runs "
        "learned exactly selvane's number of merges.",
        "",
        "## What was measured",
        "",
        "- **Training time**: wall time of the training call alone, inside the child "
        "(interpreter start, import and, for selvane, loading the empty model are outside "
        "it). Reading the file is inside it for every tokenizer.",
        "- **Peak memory**: `ru_maxrss` of the child from `wait4`, so it includes the "
        "interpreter and the imported library (see the import-only figures above).",
        "- **Training input**: the first 3,067,833 bytes (selvane's chunk) and the first "
        "12,000,000 bytes of `tashkeela-classical/classical.txt`. Both cuts fall inside a "
        "two-byte character; selvane gets the exact bytes (it decodes the stray byte as "
        "U+FFFD), the peers get them without that last incomplete character, one byte "
        f"less ({t['3067833']['peer_bytes'] if '3067833' in t else '-':,} and "
        f"{t['12MB']['peer_bytes'] if '12MB' in t else '-':,} bytes), so that every peer "
        "reads valid UTF-8. selvane reads 12 MB as four chunks (three of 3,067,833 bytes "
        "and one of 2,796,501), each with its 700 iterations, in which merges it already "
        "knows also take their turns: hence fewer than 4 x 700 new merges.",
        "- **100 MB**: the first 100,000,000 bytes of every corpus text concatenated in "
        "this order: " + ", ".join(f"`{name}`" for name in report.get("huge_sources", []))
        + ". The peers read the whole file before they count, so their peak memory grows "
        "with the input; selvane holds one chunk at a time.",
        "- **Encoding models**: every tokenizer trained once on the first 3,067,833 bytes "
        f"of `tashkeela-msa/msa.txt`, where selvane learns {report['encode_models_merges']:,} "
        "merges and every peer is set to the same number. The text encoded comes from "
        "after those bytes, so no tokenizer has seen it.",
        f"- **Sentences**: the first {report['encode_texts']['sentences']['count']:,} pieces "
        "of 20 to 2,000 characters of the held-out text, split at line breaks and after "
        "`.`, `!`, `?` and `؟`; one encoding call per sentence, the result a Python list "
        "of ids for every tokenizer (`Encoding.ids` for tokenizers; for `selvane rank`, "
        "`Model.encode(text, rule=\"rank\")` of the companion package).",
        f"- **Documents**: {report['encode_texts']['documents']['count']} consecutive pieces "
        "of about 1,000,000 bytes of the held-out text (cut after a blank), one call "
        "each.",
        f"- **Throughput**: UTF-8 bytes of the input over the median of "
        "the timed passes (after a short warm-up), MB = 10^6 bytes; each tokenizer encodes "
        "in a child process of its own.",
        "- **Tokens per 1,000 characters**: ids produced over code points of the input, "
        "times 1,000, for the sentences and for the documents.",
    ]
    if rt is not None:
        lines.append(
            f"- Check: of the sentences whose clusters are all in selvane's model, "
            f"{rt} did not decode back to the same text"
            + (f" ({rt_rank} with the rank rule)." if rt_rank is not None else "."))
    lines += [
        "",
        "## What is not like for like",
        "",
        "- **Pre-tokenisation.** The peers split the text into words before merging, so "
        "no token of theirs crosses a blank (sentencepiece also splits at script changes "
        "and digits). selvane merges across the whole text: its tokens may hold a blank "
        "and the ends of two words, and frequent phrases become single tokens (on the "
        "classical text, formulae of several words such as the blessing after the "
        "Prophet's name). The same "
        "number of merges therefore buys different vocabularies.",
        "- **Encoding rule.** The peers encode by merge rank: a word's pairs are merged in "
        "the order in which the merges were learned, the same way for any text around it; "
        "so does `selvane rank`, with the same model as `selvane`. "
        "`selvane` (`Data.encode`) merges the pair that is most frequent within the text being encoded, as "
        "long as the model knows a merge for it, and stops at the first most frequent pair "
        "it has no merge for. The tokens of a sentence therefore depend on the rest of the "
        "input, and a sentence encoded alone is split differently from the same sentence "
        "inside a document, one reason why selvane's sentence and document figures "
        "differ.",
        "- **Base units.** selvane starts from grapheme clusters (a letter with its "
        "diacritics is one unit) and needs no merges to join a letter to its marks; the "
        "peers start from code points and spend merges on that. Clusters that selvane's "
        "model never saw encode to its id 0 and count as one token each; the peers keep "
        "every character of the training text (coverage 1.0) and map unseen ones to "
        "their unknown id.",
        "- **Number of merges.** selvane learns at most 700 merges per 3,067,833-byte "
        "chunk and only from pairs seen at least 10 times within the chunk; the peers "
        "count pairs over the whole input. Matching the number of merges is the closest "
        "setting, not the same training.",
        f"- **Threads.** selvane trains and encodes on one thread. The peers were held to "
        f"{report['threads']} thread(s) (`RAYON_NUM_THREADS`, `num_threads`, `n_threads`); "
        "left to their defaults they may use several threads, and train faster on a "
        "machine with more cores (`--threads`).",
        "- **Normalisation.** None for selvane; sentencepiece was set to `identity` (its "
        "default applies NFKC), tokenizers has no normaliser here.",
        "- **Line handling.** sentencepiece and youtokentome read the training file line by "
        "line, without the line feeds; selvane and tokenizers see them (tokenizers keeps "
        "them inside words).",
        "- **Per-call work.** Every throughput figure includes the cost of the Python call "
        "and of building the list of ids; for tokenizers also that of its `Encoding` "
        "object.",
        "",
    ]
    return "\n".join(lines)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child_main(sys.argv[2:])
    else:
        main()
