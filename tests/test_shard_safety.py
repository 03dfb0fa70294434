"""Shard outputs as an attacker or a careless user meets them: directories
that are not a previous output, crafted or damaged meta.json and shard
files, inputs that are not files, full disks, a second writer, processes
killed or interrupted at any moment."""

from __future__ import annotations

import json
import os
import pathlib
import resource
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest

from corpus_support import SAMPLE, train_sample_model, write_tiny_shards
from selvane_tools import Model, SelvaneError, encode_corpus, read_shards
from selvane_tools import cli as selvane_cli
from selvane_tools import corpus as selvane_corpus
from selvane_tools import units as selvane_units
from selvane_tools.shards import claim_output, encode_shard, plan_shards
from selvane_tools.units import iter_units, parse_unit

# Generous: a loaded machine may be slow, but nothing here may hang.
PATIENCE = 60


@pytest.fixture(scope="module")
def model_path(tmp_path_factory):
    return train_sample_model(tmp_path_factory.mktemp("model"))


def cli(*args: str, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "selvane_tools.cli", *args], capture_output=True, text=True,
                          timeout=PATIENCE, **kwargs)


def encode_bin(model_path, inputs, out, *extra: str) -> subprocess.CompletedProcess:
    return cli("encode", "-m", str(model_path), *map(str, inputs), "--format", "bin", "-o", str(out), *extra)


def one_line_error(done: subprocess.CompletedProcess, *parts: str) -> None:
    assert done.returncode == 1, done.stderr
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr, done.stderr
    for part in parts:
        assert part in done.stderr


def contents(directory: pathlib.Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir())}


def temporaries(directory: pathlib.Path) -> list[str]:
    return [name for name in os.listdir(directory) if ".tmp-" in name]


# ---------------------------------------------------------------------------
# --overwrite replaces a previous output and nothing else


def test_overwrite_never_removes_what_no_output_wrote(model_path, tmp_path):
    # Files that look like shards, in a directory that no run made an output.
    out = tmp_path / "work"
    out.mkdir()
    for name in ("data.bin", "data.idx", "notes.txt.tmp-1", "x.bin.tmp-99"):
        (out / name).write_bytes(b"precious " + name.encode())
    before = contents(out)
    done = encode_bin(model_path, [SAMPLE], out, "--overwrite")
    one_line_error(done, str(out), "nothing removed")
    assert contents(out) == before

    # A previous output with a file of someone else's beside it.
    previous = tmp_path / "previous"
    assert encode_bin(model_path, [SAMPLE], previous, "-q").returncode == 0
    (previous / "notes.txt").write_text("mine")
    (previous / "99999-000000.bin").write_bytes(b"not listed")
    before = contents(previous)
    done = encode_bin(model_path, [SAMPLE], previous, "--overwrite")
    one_line_error(done, "99999-000000.bin and 1 more", "nothing removed")
    assert contents(previous) == before

    # Without the strangers it is replaced, and only the listed files go.
    (previous / "notes.txt").unlink()
    (previous / "99999-000000.bin").unlink()
    done = encode_bin(model_path, [SAMPLE], previous, "--overwrite", "-q", "--shard-size", "400000")
    assert done.returncode == 0, done.stderr
    assert len(read_shards(previous).meta["shards"]) == 3


def test_a_damaged_meta_json_is_not_a_previous_output(model_path, tmp_path):
    out = tmp_path / "out"
    assert encode_bin(model_path, [SAMPLE], out, "-q").returncode == 0
    (out / "meta.json").write_text('{"format": "selvane-shards", "version": 1}')
    before = contents(out)
    done = encode_bin(model_path, [SAMPLE], out, "--overwrite")
    one_line_error(done, "meta.json", "not a previous output, nothing removed")
    assert contents(out) == before


# ---------------------------------------------------------------------------
# Reading: names, counts and offsets checked against the files


def finished(model, tmp_path, shard_bytes=300_000) -> pathlib.Path:
    out = tmp_path / "out"
    encode_corpus(model, [SAMPLE], out, workers=1, shard_bytes=shard_bytes)
    return out


def edit_meta(out: pathlib.Path, change) -> None:
    meta = json.loads((out / "meta.json").read_text())
    change(meta)
    (out / "meta.json").write_text(json.dumps(meta))


def test_shard_names_stay_inside_the_directory(model_path, tmp_path):
    # A crafted output whose shard names lead to files elsewhere, of the
    # sizes meta.json gives them: nothing outside may be mapped.
    (tmp_path / "secret.bin").write_bytes(b"SECR")
    (tmp_path / "secret.idx").write_bytes(bytes(8) + (2).to_bytes(8, "little"))
    out = finished(Model(model_path), tmp_path)
    for name in ("../secret", str(tmp_path / "secret"), ".", "a/../../secret"):
        edit_meta(out, lambda meta: meta["shards"][0].update(name=name, units=1, ids=2, start=0, end=0))
        edit_meta(out, lambda meta: meta.update(units=sum(s["units"] for s in meta["shards"]),
                                                ids=sum(s["ids"] for s in meta["shards"])))
        with pytest.raises(SelvaneError, match="is not a plain file name"):
            read_shards(out)
    # A plain name that is a link to a file elsewhere is not followed either.
    edit_meta(out, lambda meta: meta["shards"][0].update(name="link"))
    (out / "link.bin").symlink_to(tmp_path / "secret.bin")
    (out / "link.idx").symlink_to(tmp_path / "secret.idx")
    with pytest.raises(SelvaneError, match="link.bin: not a regular file"):
        read_shards(out)


@pytest.mark.parametrize("damage, message", [
    (lambda m: m.pop("shards"), "'shards' is not a list"),
    (lambda m: m.update(unit=7), "'unit' is not a string"),
    (lambda m: m["shards"][0].update(units=-1), "'units' is not a count: -1"),
    (lambda m: m["shards"][0].update(ids="12"), "'ids' is not a count"),
    (lambda m: m["shards"][0].update(units=True), "'units' is not a count: True"),
    (lambda m: m.update(units=m["units"] + 1), "'units' is .*, the entries add up to"),
    (lambda m: m["shards"].extend([m["shards"][0]] * 2), "listed more than once"),
    (lambda m: m["shards"][0].update(input=5), "no input 5"),
    (lambda m: m["shards"][0].update(end=10**12), "are not in its input"),
    (lambda m: m["inputs"][0].pop("size"), "'size' is not a count"),
])
def test_meta_json_is_checked_before_any_file(model_path, tmp_path, damage, message):
    out = finished(Model(model_path), tmp_path)
    edit_meta(out, damage)
    with pytest.raises(SelvaneError, match=f"^{out / 'meta.json'}: .*{message}"):
        read_shards(out)


def test_offsets_are_checked_against_the_ids(model_path, tmp_path):
    model = Model(model_path)
    out = finished(model, tmp_path)
    name = json.loads((out / "meta.json").read_text())["shards"][1]["name"]
    idx = out / f"{name}.idx"
    good = bytearray(idx.read_bytes())
    shards = read_shards(out)
    first_of_shard = shards.meta["shards"][0]["units"]
    offsets = [int.from_bytes(good[i : i + 8], "little") for i in range(0, len(good), 8)]
    for broken, message in [
        (offsets[:1] + [offsets[-1]] + offsets[2:], "offsets decrease"),
        ([5] + offsets[1:], "offsets run from 5 to"),
        (offsets[:-1] + [offsets[-1] + 1], "offsets run from 0 to .*, not from 0 to"),
    ]:
        idx.write_bytes(b"".join(o.to_bytes(8, "little") for o in broken))
        with pytest.raises(SelvaneError, match=f"{idx}: {message}"):
            read_shards(out)[first_of_shard]
    idx.write_bytes(bytes(good))
    text = list(iter_units(SAMPLE.open("rb"), parse_unit("line")))[first_of_shard]
    assert list(read_shards(out)[first_of_shard]) == model.encode(text)


def test_meta_json_of_absurd_size_or_depth_is_one_error(tmp_path, monkeypatch):
    out = tmp_path / "out"
    out.mkdir()
    (out / "meta.json").write_text("[" * 100_000 + "]" * 100_000)
    with pytest.raises(SelvaneError, match="not JSON"):
        read_shards(out)
    from selvane_tools import shard_set

    monkeypatch.setattr(shard_set, "META_LIMIT", 1000)
    (out / "meta.json").write_text(json.dumps({"format": "selvane-shards", "pad": "x" * 1000}))
    with pytest.raises(SelvaneError, match="larger than 1,000 bytes"):
        read_shards(out)


def test_sixty_thousand_shards_read_under_256_descriptors(tmp_path):
    out = write_tiny_shards(tmp_path / "out", 60_000)
    reader = (
        "import resource, sys\n"
        "resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))\n"
        "from selvane_tools import read_shards\n"
        "shards = read_shards(sys.argv[1])\n"
        "print(len(shards), sum(int(ids[0]) for ids in shards), int(shards[-1][0]), len(shards.ids))\n"
    )
    done = subprocess.run([sys.executable, "-c", reader, str(out)], capture_output=True, text=True,
                          timeout=PATIENCE * 3)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["60000", str(sum(k % 65536 for k in range(60_000))), str(59_999), "60000"]


# ---------------------------------------------------------------------------
# Inputs that are not files, and units beyond reason


def test_fifo_and_device_inputs_are_refused_without_blocking(model_path, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    done = encode_bin(model_path, [SAMPLE, fifo], tmp_path / "out")
    one_line_error(done, f"input {fifo} is not a regular file (a FIFO)")
    zero = tmp_path / "zero"
    try:
        os.mknod(zero, stat.S_IFCHR | 0o666, os.makedev(1, 5))
    except PermissionError:
        pytest.skip("making a character device needs privileges")
    done = encode_bin(model_path, [zero], tmp_path / "out")
    one_line_error(done, f"input {zero} is not a regular file (a character device)")
    assert not (tmp_path / "out" / "meta.json").exists()


def test_json_nested_deeply_is_one_line_in_both_formats(model_path, tmp_path):
    deep = tmp_path / "deep.jsonl"
    deep.write_text('{"text": "كتب"}\n' + "[" * 100_000 + "\n")
    for extra in ([], ["--format", "bin", "-o", str(tmp_path / "out")]):
        done = cli("encode", "-m", str(model_path), str(deep), "--unit", "jsonl:text", *extra)
        one_line_error(done, f"{deep}:2: JSON nested too deeply")


def test_a_unit_longer_than_the_cap_is_named_not_read(model_path, tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(selvane_units, "MAX_UNIT_BYTES", 1000)
    corpus = tmp_path / "long.txt"
    corpus.write_bytes(b"short\n\n" * 200 + b"x" * 5000 + b"\nafter\n")
    assert selvane_cli.main(["encode", "-m", str(model_path), str(corpus)]) == 1
    assert capsys.readouterr().err == (
        f"selvane: error: {corpus}:401: a unit longer than 1,000 bytes; refused rather than held in memory\n")
    tasks = plan_shards([corpus], "paragraph", 1500)
    out = tmp_path / "out"
    with claim_output(out), pytest.raises(SelvaneError, match=f"^{corpus}:401: a unit longer"):
        for task in tasks:
            encode_shard(Model(model_path), task, out)
    assert temporaries(out) == []


# ---------------------------------------------------------------------------
# Writers: one at a time, full disks, scripts that are not guarded


def test_a_second_writer_fails_at_once_naming_the_holder(model_path, tmp_path):
    out = tmp_path / "out"
    with claim_output(out):
        done = encode_bin(model_path, [SAMPLE], out)
        one_line_error(done, f"{out} is being written by another encoder (pid {os.getpid()} on ")
    assert encode_bin(model_path, [SAMPLE], out, "-q").returncode == 0


def test_a_full_disk_names_the_file_and_leaves_no_temporary(model_path, tmp_path):
    # Many small shards and a meta.json larger than any of them: a file size
    # limit makes exactly the meta.json write fail, as a full disk would.
    corpus = tmp_path / "lines.txt"
    corpus.write_text("كتب\n" * 60_000)
    out = tmp_path / "out"
    # Room for the model (loaded through a memory file) and for any shard.
    limit = model_path.stat().st_size + 8192

    def small_files() -> None:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    done = subprocess.run(
        [sys.executable, "-m", "selvane_tools.cli", "encode", "-m", str(model_path), str(corpus), "--format", "bin",
         "-o", str(out), "--shard-size", "1000", "-j", "2", "-q"],
        capture_output=True, text=True, timeout=PATIENCE, preexec_fn=small_files)
    one_line_error(done, f"cannot write {out / 'meta.json'}: File too large")
    assert temporaries(out) == [] and not (out / "meta.json").exists()


def test_a_script_calling_encode_corpus_unguarded_runs_once(model_path, tmp_path):
    runs = tmp_path / "runs.txt"
    script = tmp_path / "script.py"
    script.write_text(
        "import threading, time\n"
        "from selvane_tools import encode_corpus\n"
        f"open({str(runs)!r}, 'a').write('ran\\n')\n"
        "threading.Thread(target=time.sleep, args=(30,), daemon=True).start()\n"
        f"encode_corpus({str(model_path)!r}, [{str(SAMPLE)!r}], {str(tmp_path / 'out')!r}, workers=2,"
        " shard_bytes=200_000, progress=False)\n"
    )
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=PATIENCE,
                          cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert runs.read_text() == "ran\n"
    assert read_shards(tmp_path / "out").meta["units"] > 0


def test_interrupted_once_meta_json_is_written_is_a_success(model_path, tmp_path, monkeypatch):
    out = tmp_path / "out"

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt  # Ctrl-C just after meta.json took its name

    monkeypatch.setattr(selvane_corpus, "read_shards", interrupted)
    argv = ["encode", "-m", str(model_path), str(SAMPLE), "--format", "bin", "-o", str(out), "-j", "1", "-q"]
    assert selvane_cli.main(argv) == 0
    assert read_shards(out).meta["units"] > 0
    # Before meta.json, the same interruption is one.
    monkeypatch.setattr(selvane_corpus, "write_meta", interrupted)
    assert selvane_cli.main(argv + ["--overwrite"]) == selvane_cli.EXIT_SIGINT
    assert not (out / "meta.json").exists()


# ---------------------------------------------------------------------------
# Processes: workers end with their parent; the next run cleans up


def worker_pids(parent: int) -> list[int]:
    """The live shard workers of `parent` (their command line names it)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            argv = pathlib.Path(f"/proc/{entry}/cmdline").read_bytes().split(b"\0")
            state = pathlib.Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if b"selvane_tools._shard_worker" in argv and str(parent).encode() in argv and state != "Z":
            found.append(int(entry))
    return found


def wait_until(condition, what: str) -> None:
    deadline = time.monotonic() + PATIENCE
    while not condition():
        assert time.monotonic() < deadline, f"still waiting for {what}"
        time.sleep(0.02)


def test_workers_die_with_a_killed_parent_and_the_next_run_cleans_up(model_path, tmp_path):
    big = tmp_path / "big.txt"
    big.write_bytes(SAMPLE.read_bytes() * 20)
    out = tmp_path / "out"
    proc = subprocess.Popen([sys.executable, "-m", "selvane_tools.cli", "encode", "-m", str(model_path), str(big),
                             "--format", "bin", "-o", str(out), "-j", "2", "--shard-size", "2M", "-q"])
    try:
        # Killed with a shard committed and two being written.
        wait_until(lambda: out.exists() and len(temporaries(out)) >= 2
                   and any(name.endswith(".bin") for name in os.listdir(out)), "a shard and both workers writing")
        workers = worker_pids(proc.pid)
        assert len(workers) == 2
        proc.kill()
        proc.wait()
        # Gone, not only dead: a zombie's pid still counts as a live writer.
        wait_until(lambda: not any(os.path.exists(f"/proc/{pid}") for pid in workers), "the workers to end")
    finally:
        if proc.poll() is None:
            proc.kill()
    assert temporaries(out) and not (out / "meta.json").exists()
    done = encode_bin(model_path, [big], out, "--shard-size", "2M")
    one_line_error(done, "holds an unfinished output (--overwrite")
    assert temporaries(out) == []
    done = encode_bin(model_path, [big], out, "--shard-size", "2M", "--overwrite", "-q")
    assert done.returncode == 0, done.stderr
    assert temporaries(out) == [] and read_shards(out).meta["bytes"] == big.stat().st_size
