"""The `selvane` command: init, train, cut, add-special, encode, decode, vocab, info, show, eval."""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
from array import array

from ._files import atomic_output, open_input
from .errors import IdsExhaustedError, SelvaneError, Terminated, UnknownClustersError
from .rules import RULES
from .units import UNIT_HELP, Unit, iter_batches, iter_numbered_units, parse_unit

# Start-up time counts against every short command and against training's
# overhead; `typing` alone would cost more than the rest of the imports.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator, Sequence
    from typing import BinaryIO, NoReturn

    from .model import Model

__all__ = ["main", "build_parser", "EXIT_OK", "EXIT_USER_ERROR", "EXIT_USAGE",
           "EXIT_IDS_EXHAUSTED", "EXIT_SIGINT", "EXIT_SIGTERM"]

#: success
EXIT_OK = 0
#: a user error: missing file, not a model, bad input (one line on stderr)
EXIT_USER_ERROR = 1
#: bad usage: unknown option, missing argument
EXIT_USAGE = 2
#: training stopped because all 65,536 ids are in use
EXIT_IDS_EXHAUSTED = 3
#: interrupted by SIGINT (Ctrl-C)
EXIT_SIGINT = 130
#: stopped by SIGTERM
EXIT_SIGTERM = 143

EPILOG = """\
exit status:
  0    success
  1    user error (missing file, not a model file, bad input): one line on
       standard error
  2    bad usage (unknown option, missing argument)
  3    training stopped because all 65,536 token ids are in use; the model of
       the last completed chunk is kept
  130  interrupted by SIGINT (Ctrl-C); 143 stopped by SIGTERM. A stopped
       training keeps the model of the last completed chunk; a stopped
       encode --format bin stops every worker and writes no meta.json.

quick start:
  selvane init empty.model
  selvane train corpus.txt --init empty.model -o arabic.model
  selvane encode -m arabic.model text.txt -o ids.txt
  selvane show -m arabic.model "بِسْمِ اللَّهِ"
"""


def _on_sigterm(signum: int, frame: object) -> NoReturn:
    raise Terminated()


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """Help as written, as wide as the terminal. argparse makes a formatter
    for every option it defines and would import `shutil` for the width."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None) -> None:
        if width is None:
            try:
                width = int(os.environ.get("COLUMNS", "")) - 2
            except ValueError:
                try:
                    width = os.get_terminal_size(sys.stdout.fileno()).columns - 2
                except (OSError, ValueError):
                    width = 78
        super().__init__(prog, indent_increment, max_help_position, width)


class _VersionAction(argparse.Action):
    """`--version`: the installed distribution's version, looked up only when
    asked for, since importing importlib.metadata would triple the start-up
    time of every other command."""

    def __init__(self, option_strings: Sequence[str], dest: str) -> None:
        super().__init__(option_strings, dest, nargs=0, help="print the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> NoReturn:
        import importlib.metadata

        try:
            version = importlib.metadata.version("selvane")
        except importlib.metadata.PackageNotFoundError:
            # Run from a source tree whose distribution was never installed.
            version = "(version unknown: not installed)"
        print(f"selvane {version}")
        parser.exit()


def _fail(message: str) -> NoReturn:
    raise SelvaneError(message)


@contextlib.contextmanager
def _output(path: str | None, inputs: Sequence[str] = (), action: str = "writing it") -> Iterator[BinaryIO]:
    """Standard output, or a file that takes its name only when the command
    succeeds, so a failed or interrupted run never leaves a partial output."""
    if path is None or path == "-":
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    with atomic_output(path, inputs=inputs, action=action, remove_stale=True) as sink:
        yield sink


@contextlib.contextmanager
def _input(name: str) -> Iterator[BinaryIO]:
    if name == "-":
        yield sys.stdin.buffer
        return
    with open_input(name) as source:
        yield source


def _display_name(name: str) -> str:
    return "<stdin>" if name == "-" else name


# --- subcommands ------------------------------------------------------------


def cmd_init(args: argparse.Namespace) -> int:
    from .model import new_model

    new_model(args.model, overwrite=args.force, special=args.special, byte_fallback=args.byte_fallback)
    return EXIT_OK


def cmd_cut(args: argparse.Namespace) -> int:
    from .model import Model

    Model(args.model).cut(args.ids).save(args.output, overwrite=True)
    return EXIT_OK


def cmd_add_special(args: argparse.Namespace) -> int:
    from .model import Model

    Model(args.model).add_special(args.tokens).save(args.output, overwrite=True)
    return EXIT_OK


def cmd_train(args: argparse.Namespace) -> int:
    from .training import train

    try:
        summary = train(args.corpus, args.output, init=args.init, log=args.log,
                        progress=not args.quiet, print_logs=args.print_logs, max_ids=args.max_ids,
                        allow_binary=args.allow_binary)
    except (KeyboardInterrupt, Terminated) as stop:
        what = "interrupted" if isinstance(stop, KeyboardInterrupt) else "stopped by SIGTERM"
        notes = getattr(stop, "__notes__", None) or [f"before training began; {args.output} was not touched"]
        print(f"selvane: {what} {notes[-1]}", file=sys.stderr)
        return EXIT_SIGINT if isinstance(stop, KeyboardInterrupt) else EXIT_SIGTERM
    if not args.quiet:
        print(f"trained {summary.chunks} chunk{'s' if summary.chunks != 1 else ''} "
              f"({summary.bytes:,} bytes) in {summary.seconds:.1f} s: "
              f"{summary.merges:,} merges learned, {summary.ids:,} ids"
              f"{' (--max-ids reached)' if args.max_ids is not None and summary.ids >= args.max_ids else ''}; "
              f"model written to {summary.output}", file=sys.stderr)
    return EXIT_OK


def _encoding_model(path: str) -> Model:
    from .model import Model

    model = Model(path)
    if not model.has_oov:
        # The extension would panic, with a report on standard error, at the
        # first cluster it does not know.
        _fail(f"{path} was never trained (it has no entry for unknown clusters); train it first")
    return model


def _encode_bin(args: argparse.Namespace) -> int:
    if not args.output or args.output == "-":
        _fail("--format bin writes a directory of shards: give it with -o OUTDIR")
    if not args.inputs or "-" in args.inputs:
        _fail("--format bin reads files by byte ranges: standard input cannot be used")
    if args.jobs is not None and args.jobs < 1:
        _fail(f"-j must be at least 1, not {args.jobs}")
    from .corpus import encode_corpus

    model = _encoding_model(args.model)
    # The shard size defaults inside encode_corpus, so that the command and
    # the API cut the same shards.
    sizing = {} if args.shard_size is None else {"shard_bytes": args.shard_size}
    before = _meta_identity(args.output)
    try:
        try:
            shards = encode_corpus(model, args.inputs, args.output, unit=args.unit, rule=args.rule,
                                   workers=args.jobs, overwrite=args.overwrite,
                                   progress=False if args.quiet else None, eos=args.eos, strict=args.strict,
                                   **sizing)
        except UnknownClustersError as error:
            _fail(f"{error.unknown_clusters} unknown clusters in {error.units_with_unknown} units; "
                  f"--strict: no meta.json written, {args.output} is not a finished output")
        meta = shards.meta
        if not args.quiet:
            _report_unknown(model, meta["unknown_clusters"], meta["units_with_unknown"])
            print(f"encoded {meta['bytes']:,} bytes into {meta['units']:,} units and {meta['ids']:,} ids "
                  f"in {len(meta['shards'])} shard{'s' if len(meta['shards']) != 1 else ''}: {args.output}",
                  file=sys.stderr)
    except (KeyboardInterrupt, Terminated):
        # Stopped once this run's meta.json was in place: the output is
        # finished, and saying otherwise would have it thrown away.
        after = _meta_identity(args.output)
        if after is not None and after != before:
            return EXIT_OK
        raise
    return EXIT_OK


def _report_unknown(model: Model, unknown_clusters: int, units_with_unknown: int) -> None:
    """The line on standard error that says how much text the model did not
    know, when any."""
    if not unknown_clusters:
        return
    fate = "spelled out as byte tokens" if model.has_byte_fallback else f"id {model.oov_id}, dropped by decode"
    print(f"selvane: {unknown_clusters} unknown clusters in {units_with_unknown} units ({fate})", file=sys.stderr)


def _meta_identity(out_dir: str) -> tuple[int, int, int] | None:
    """Which meta.json `out_dir` holds (a new one is a new file), or None."""
    try:
        status = os.stat(os.path.join(out_dir, "meta.json"))
    except OSError:
        return None
    return status.st_dev, status.st_ino, status.st_ctime_ns


def cmd_encode(args: argparse.Namespace) -> int:
    if args.format == "bin":
        return _encode_bin(args)
    if args.eos is not None:
        _fail("--eos is for --format bin: a text output has one line per unit already")
    model = _encoding_model(args.model)
    unit: Unit = args.unit
    inputs = args.inputs or ["-"]
    rule: str = args.rule
    sources = [args.model, *(name for name in inputs if name != "-")]
    if args.jobs is not None and args.jobs < 1:
        _fail(f"-j must be at least 1, not {args.jobs}")
    unknown_clusters = units_with_unknown = 0
    with _output(args.output, sources, "encoding") as sink:
        for name in inputs:
            with _input(name) as source:
                units = (text for _, text in iter_numbered_units(source, unit, _display_name(name)))
                # Without -j, one unit at a time, so that each line of a
                # pipe is answered as it comes.
                batches = ([text] for text in units) if args.jobs is None else iter_batches(units)
                for batch in batches:
                    encoded = model.encode_units(batch, rule=rule, threads=args.jobs or 1)
                    unknown_clusters += encoded.unknown_clusters
                    units_with_unknown += encoded.units_with_unknown
                    sink.write(_id_lines(encoded.ids, encoded.offsets))
        if args.strict and unknown_clusters:
            # Inside the output's block: a file output is not put in place.
            where = "" if args.output in (None, "-") else f"; {args.output} was not written"
            _fail(f"{unknown_clusters} unknown clusters in {units_with_unknown} units; --strict{where}")
    _report_unknown(model, unknown_clusters, units_with_unknown)
    return EXIT_OK


def _id_lines(ids: bytes, offsets: bytes) -> bytes:
    """One line of space-separated ids per unit, from the flat little-endian
    ids and offsets of `Model.encode_units`."""
    flat, bounds = array("H"), array("Q")
    flat.frombytes(ids)
    bounds.frombytes(offsets)
    if sys.byteorder == "big":
        flat.byteswap()
        bounds.byteswap()
    return b"".join(" ".join(map(str, flat[a:b])).encode("ascii") + b"\n" for a, b in zip(bounds, bounds[1:]))


def cmd_decode(args: argparse.Namespace) -> int:
    from .model import Model

    model = Model(args.model)
    known = set(model.vocab())
    decode = model.data.decode
    name = _display_name(args.input)
    sources = [args.model] + ([] if args.input == "-" else [args.input])
    with _input(args.input) as source, _output(args.output, sources, "decoding") as sink:
        for number, line in enumerate(source, 1):
            try:
                ids = [int(field) for field in line.split()]
            except ValueError:
                _fail(f"{name}:{number}: not a line of token ids")
            # The extension would panic on an unknown id and print a report
            # on standard error; a user error is one line.
            unknown = next((token for token in ids if token not in known), None)
            if unknown is not None:
                _fail(f"{name}:{number}: id {unknown} is not in the model")
            sink.write(decode(ids).encode("utf-8", "surrogatepass") + b"\n")
    return EXIT_OK


def cmd_vocab(args: argparse.Namespace) -> int:
    from .display import escape_bytes
    from .model import Model

    model = Model(args.model)
    with _output(None) as sink:
        for token in sorted(model.vocab()):
            sink.write(f"{token}\t{escape_bytes(model.token_bytes(token))}\n".encode())
    return EXIT_OK


def cmd_info(args: argparse.Namespace) -> int:
    from .display import escape_bytes
    from .model import Model

    model = Model(args.model)
    rows = [
        ("file", args.model),
        ("bytes", f"{len(model.model_bytes):,}"),
        ("sha256", model.sha256),
        ("ids", f"{model.num_ids:,}"),
        ("merges", f"{model.num_merges:,}"),
        ("clusters", f"{model.num_clusters:,}"),
    ]
    # Only models that have them get these rows: a trained model's
    # description stays as it was.
    specials = model.special_tokens
    if specials:
        shown = ", ".join(f"{token} {escape_bytes(text.encode())}" for text, token in list(specials.items())[:8])
        more = f" and {len(specials) - 8} more" if len(specials) > 8 else ""
        rows.append(("special", f"{len(specials)}: {shown}{more}"))
    if model.has_byte_fallback:
        from .model_file import byte_fallback_start, read_maps

        start = byte_fallback_start(read_maps(model.model_bytes)) or 0
        rows.append(("fallback", f"256 byte tokens, ids {start} to {start + 255}"))
    lines = [f"{key:<9}{value}" for key, value in rows]
    longest = model.longest_tokens(args.longest)
    if longest:
        lines.append("longest tokens:")
        for token in longest:
            text = model.token_text(token)
            lines.append(f"  {token:>5}  {len(text):>3} chars  {escape_bytes(model.token_bytes(token))}")
    print("\n".join(lines))
    return EXIT_OK


def cmd_show(args: argparse.Namespace) -> int:
    from .display import escape

    model = _encoding_model(args.model)
    for number, text in enumerate(args.text):
        ids = model.encode(text, rule=args.rule)
        if number:
            print()
        print(f"text    {text}")
        print(f"tokens  {' | '.join(escape(piece) for piece in model.tokens(ids))}")
        print(f"ids     {' '.join(map(str, ids))}")
        unknown = model.encode_units([text], rule=args.rule, threads=1).unknown_clusters
        if unknown:
            fate = "spelled out as byte tokens" if model.has_byte_fallback else f"id {model.oov_id}, dropped by decode"
            print(f"        {unknown} cluster(s) unknown to the model ({fate})")
    return EXIT_OK


def cmd_eval(args: argparse.Namespace) -> int:
    from .evaluation import FileStats, evaluate

    model = _encoding_model(args.model)
    if args.jobs is not None and args.jobs < 1:
        _fail(f"-j must be at least 1, not {args.jobs}")
    rules = ("frequency", "rank") if args.rule == "both" else (args.rule,)
    stats = evaluate(model, args.files, unit=args.unit, rules=rules, threads=args.jobs)
    total = FileStats("total")
    for entry in stats:
        total.add(entry)
    rows = stats + [total] if len(stats) > 1 else stats
    header = ["file", "units", "characters", *(f"{rule} tokens/1k" for rule in rules), "unknown", "unknown/1k"]
    table = [header]

    def per_mille(count: int, characters: int) -> str:
        return f"{count * 1000 / characters:.1f}" if characters else "-"

    for entry in rows:
        # Unknown clusters are one id each whatever the rule: the first
        # rule's count stands for all.
        unknown = entry.unknown[rules[0]]
        table.append([entry.name, f"{entry.units:,}", f"{entry.characters:,}",
                      *(per_mille(entry.tokens[rule], entry.characters) for rule in rules),
                      f"{unknown:,}", per_mille(unknown, entry.characters)])
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    for row in table:
        cells = [row[0].ljust(widths[0])] + [cell.rjust(width) for cell, width in zip(row[1:], widths[1:])]
        print("  ".join(cells).rstrip())
    return EXIT_OK


# --- parser -------------------------------------------------------------------


def _byte_size(text: str) -> int:
    scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}.get(text[-1:].upper(), 1)
    digits = text[:-1] if scale != 1 else text
    if not digits.isdigit() or int(digits) == 0:
        raise argparse.ArgumentTypeError(f"not a positive size in bytes: {text!r} (e.g. 4096, 512K, 64M)")
    return int(digits) * scale


def _id_count(text: str) -> int:
    if not text.isdigit() or not 1 <= int(text) <= 65536:
        raise argparse.ArgumentTypeError(f"not a number of ids from 1 to 65,536: {text!r}")
    return int(text)


RULE_HELP = ("frequency: the ids of the module's Data.encode (default); rank: the merges in the "
             "order they were learned, about half the tokens, a unit's ids independent of its neighbours")


def _unit(spec: str) -> Unit:
    try:
        return parse_unit(spec)
    except SelvaneError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the `selvane` command, with every subcommand."""
    parser = argparse.ArgumentParser(
        prog="selvane",
        description="Subword tokenizer for Arabic text: train a model, encode and decode with it.",
        epilog=EPILOG,
        formatter_class=_Formatter,
    )
    # An explicit prog spares argparse formatting the usage of the parent to
    # derive it, a tenth of the start-up time of every command.
    parser.add_argument("--version", action=_VersionAction)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, prog="selvane")

    def command(name: str, summary: str, examples: str) -> argparse.ArgumentParser:
        return commands.add_parser(name, prog=f"selvane {name}", help=summary, description=summary,
                                   epilog="examples:\n" + examples, formatter_class=_Formatter)

    sub = command("init", "Write a model file to start a training from: empty, or with special and byte tokens.",
                  "  selvane init empty.model\n"
                  "  selvane init lm.model --special '<|endoftext|>' '<|pad|>' --byte-fallback\n\n"
                  "Special tokens take ids 1, 2, ... in the order given, the 256 byte tokens\n"
                  "the ids after them; training hands out its ids after those, so they keep\n"
                  "theirs. With byte tokens, an unknown cluster encodes as its UTF-8 bytes.\n")
    sub.add_argument("model", metavar="MODEL", help="the file to write")
    sub.add_argument("-f", "--force", action="store_true", help="overwrite MODEL if it exists")
    sub.add_argument("--special", metavar="TOKEN", nargs="+", action="extend", default=[],
                     help="special tokens (end of text, padding, ...), at ids 1, 2, ...")
    sub.add_argument("--byte-fallback", action="store_true",
                     help="one token for each of the 256 byte values, for clusters the model never saw")
    sub.set_defaults(run=cmd_init)

    sub = command("cut", "Keep the first N ids of a model: the model as training had it at N ids.",
                  "  selvane cut -m arabic.model --ids 16000 -o arabic-16k.model\n\n"
                  "The ids below N stay, with the merges and clusters whose ids are below N.\n"
                  "Training can continue the result.\n")
    sub.add_argument("-m", "--model", required=True, metavar="MODEL", help="the model file")
    sub.add_argument("--ids", required=True, type=_id_count, metavar="N",
                     help="the number of ids to keep (1 to 65,536)")
    sub.add_argument("-o", "--output", required=True, metavar="OUT", help="the model file to write")
    sub.set_defaults(run=cmd_cut)

    sub = command("add-special", "Add special tokens to a model, at the ids after its last one.",
                  "  selvane add-special -m arabic.model '<|endoftext|>' -o arabic-eot.model\n\n"
                  "No cluster or merge produces a special token, so it keeps its id when\n"
                  "training continues the model.\n")
    sub.add_argument("-m", "--model", required=True, metavar="MODEL", help="the model file")
    sub.add_argument("tokens", metavar="TOKEN", nargs="+", help="the special tokens, in id order")
    sub.add_argument("-o", "--output", required=True, metavar="OUT", help="the model file to write")
    sub.set_defaults(run=cmd_add_special)

    sub = command(
        "train",
        "Train a model on corpus files, one after another, and write it to -o.",
        "  selvane train corpus.txt -o arabic.model\n"
        "  selvane train more.txt --init arabic.model -o arabic.model --log train.log\n\n"
        "Training reads each file in chunks of 3,067,833 bytes. After every chunk\n"
        "MODEL is replaced atomically; Ctrl-C or SIGTERM keeps the model of the\n"
        "last completed chunk (exit 130 or 143). When all 65,536 token ids are in\n"
        "use, training stops and keeps the last complete model (exit 3).\n",
    )
    sub.add_argument("corpus", metavar="CORPUS", nargs="+", help="UTF-8 text files, trained in order")
    sub.add_argument("-o", "--output", metavar="MODEL", required=True, help="the model file to write")
    sub.add_argument("--init", metavar="MODEL", help="continue from this model (default: an empty model)")
    sub.add_argument("--log", metavar="FILE", help="write the training's console lines to FILE")
    sub.add_argument("--print-logs", action="store_true",
                     help="print the training's console lines on standard output")
    sub.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
    sub.add_argument("--max-ids", type=_id_count, metavar="N",
                     help="stop after the first chunk whose model holds N ids and write it cut to "
                          "the ids below N (selvane cut)")
    sub.add_argument("--allow-binary", action="store_true",
                     help="train on a corpus even when its start holds NUL bytes or much invalid UTF-8")
    sub.set_defaults(run=cmd_train)

    sub = command(
        "encode",
        "Encode text: one line of space-separated token ids per unit.",
        "  selvane encode -m arabic.model book.txt -o book.ids\n"
        "  selvane encode -m arabic.model --unit paragraph < book.txt\n"
        "  selvane encode -m arabic.model --unit jsonl:text data.jsonl\n\n"
        "Encoding merges by the pair counts of the text it is given, so the ids\n"
        "depend on the unit: line (default; a trailing \\r is dropped), paragraph\n"
        "(runs of non-blank lines joined with \\n), file (the whole file) or\n"
        "jsonl:FIELD (the string FIELD of each JSON line). A unit is never cut.\n"
        "Input is streamed: only one unit is in memory at a time.\n\n"
        "--format bin writes memory-mappable shards to the directory OUT, with\n"
        "-j N worker processes (default: every core); the files do not depend on\n"
        "N. Each shard holds NAME.bin (uint16 ids) and NAME.idx (uint64 offsets);\n"
        "meta.json is written last. Read them with selvane_tools.read_shards:\n"
        "  selvane encode -m arabic.model corpus/*.txt --format bin -o ids/ -j 8\n",
    )
    sub.add_argument("-m", "--model", required=True, metavar="MODEL", help="the model file")
    sub.add_argument("inputs", metavar="INPUT", nargs="*", help="input files; - or none for standard input")
    sub.add_argument("--unit", type=_unit, default=Unit("line"), metavar="UNIT",
                     help=f"what is encoded at once: {UNIT_HELP} (default: line)")
    sub.add_argument("-o", "--output", metavar="OUT",
                     help="write here instead of standard output (a directory for --format bin)")
    sub.add_argument("--format", choices=("text", "bin"), default="text",
                     help="text: ids as text lines (default); bin: shards of uint16 ids in OUT")
    sub.add_argument("-j", "--jobs", type=int, metavar="N",
                     help="--format bin: worker processes (default: every core); text: encoding "
                          "threads (default: one unit at a time on this thread)")
    sub.add_argument("--shard-size", type=_byte_size, metavar="BYTES",
                     help="--format bin: input bytes per shard, e.g. 64M (default: 16M); "
                          "the output depends on it")
    sub.add_argument("--overwrite", action="store_true",
                     help="--format bin: replace a previous output in OUT")
    sub.add_argument("-q", "--quiet", action="store_true",
                     help="--format bin: no progress bar, no summary and no count of unknown clusters")
    sub.add_argument("--rule", choices=RULES, default="frequency", help=RULE_HELP)
    sub.add_argument("--eos", metavar="TOKEN",
                     help="--format bin: put the id of this special token of the model after every unit")
    sub.add_argument("--strict", action="store_true",
                     help="exit 1 when the model does not know some clusters, before the output is finished "
                          "(bin: no meta.json; a file: not written)")
    sub.set_defaults(run=cmd_encode)

    sub = command("decode", "Decode lines of space-separated token ids back to text, one line each.",
                  "  selvane decode -m arabic.model book.ids\n"
                  "  echo '12 40 7' | selvane decode -m arabic.model\n")
    sub.add_argument("-m", "--model", required=True, metavar="MODEL", help="the model file")
    sub.add_argument("input", metavar="INPUT", nargs="?", default="-", help="file of ids; - or none for standard input")
    sub.add_argument("-o", "--output", metavar="OUT", help="write here instead of standard output")
    sub.set_defaults(run=cmd_decode)

    sub = command("vocab", "List every token: id, a tab, its text with invisible characters escaped.",
                  "  selvane vocab -m arabic.model | less\n")
    sub.add_argument("-m", "--model", required=True, metavar="MODEL", help="the model file")
    sub.set_defaults(run=cmd_vocab)

    sub = command("info", "Describe a model file: ids, merges, clusters, size, sha256, longest tokens.",
                  "  selvane info arabic.model\n")
    sub.add_argument("model", metavar="MODEL", help="the model file")
    sub.add_argument("--longest", type=int, default=10, metavar="N", help="how many longest tokens to list (default 10)")
    sub.set_defaults(run=cmd_info)

    sub = command("show", "Show the token boundaries and ids of a text.",
                  '  selvane show -m arabic.model "بِسْمِ اللَّهِ الرَّحْمَنِ الرَّحِيمِ"\n')
    sub.add_argument("-m", "--model", required=True, metavar="MODEL", help="the model file")
    sub.add_argument("text", metavar="TEXT", nargs="+", help="texts to show, each on its own")
    sub.add_argument("--rule", choices=RULES, default="frequency", help=RULE_HELP)
    sub.set_defaults(run=cmd_show)

    sub = command(
        "eval",
        "Measure a model on text files: units, characters, tokens per 1,000 characters, unknown clusters.",
        "  selvane eval -m arabic.model held-out.txt --rule both\n"
        "  selvane eval -m arabic.model --unit jsonl:text a.jsonl b.jsonl\n\n"
        "One row per file, and a total row for several. unknown counts the clusters\n"
        "the model does not know (its id for unknown clusters); unknown/1k is per\n"
        "1,000 characters.\n",
    )
    sub.add_argument("-m", "--model", required=True, metavar="MODEL", help="the model file")
    sub.add_argument("files", metavar="FILE", nargs="+", help="UTF-8 text files")
    sub.add_argument("--rule", choices=(*RULES, "both"), default="frequency",
                     help="frequency (default), rank, or both side by side")
    sub.add_argument("--unit", type=_unit, default=Unit("line"), metavar="UNIT",
                     help=f"what is encoded at once: {UNIT_HELP} (default: line)")
    sub.add_argument("-j", "--jobs", type=int, metavar="N", help="encoding threads (default: every core)")
    sub.set_defaults(run=cmd_eval)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the `selvane` command with `argv` (default: sys.argv[1:]) and
    returns its exit status; as a console script it exits with it."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if signal.getsignal(signal.SIGTERM) is signal.SIG_DFL:
        signal.signal(signal.SIGTERM, _on_sigterm)
    try:
        return int(args.run(args))
    except IdsExhaustedError as error:
        print(f"selvane: {error}", file=sys.stderr)
        return EXIT_IDS_EXHAUSTED
    except SelvaneError as error:
        print(f"selvane: error: {error}", file=sys.stderr)
        return EXIT_USER_ERROR
    except OSError as error:
        if isinstance(error, BrokenPipeError):
            # The reader of standard output went away (`| head`): stop quietly.
            with contextlib.suppress(OSError):
                os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return EXIT_USER_ERROR
        name = f" {error.filename}" if error.filename else ""
        print(f"selvane: error:{name} {error.strerror or error}", file=sys.stderr)
        return EXIT_USER_ERROR
    except KeyboardInterrupt:
        print("selvane: interrupted", file=sys.stderr)
        return EXIT_SIGINT
    except Terminated:
        print("selvane: stopped by SIGTERM", file=sys.stderr)
        return EXIT_SIGTERM


if __name__ == "__main__":
    sys.exit(main())
