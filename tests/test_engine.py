"""The native engine behind `Model.encode(rule=...)`, `encode_batch` and
`encode_with_offsets`: the frequency rule against the extension, the rank
rule against a plain loop, batches against single texts, and the interpreter
lock."""

from __future__ import annotations

import os
import pickle
import random
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import model_image
from corpus_support import SAMPLE, train_sample_model
from selvane_tools import Model, SelvaneError
from selvane_tools._engine import Engine, EngineError

EXAMPLES = int(os.environ.get("SELVANE_HYPOTHESIS_EXAMPLES", "100"))

# Clusters of the random models: Arabic letters, one with marks (a single
# cluster of three code points), a space and a CR LF pair.
CLUSTERS = ["ب", "ت", "ث", "ج", "بَّ", " ", "\r\n", "a"]
# Clusters no random model knows.
STRANGERS = ["😀", "Z", "ß"]


@pytest.fixture(scope="module")
def sample_model(tmp_path_factory) -> Model:
    return Model(train_sample_model(tmp_path_factory.mktemp("engine-model")))


@pytest.fixture(scope="module")
def sample_lines() -> list[str]:
    # The model was trained on the first 300 kB; these lines come from there,
    # so all their clusters are known.
    text = SAMPLE.read_bytes()[:300_000].decode("utf-8", "ignore")
    return [line for line in text.splitlines()[:-1]][:1500]


def plain_rank(ids: list[int], merges: dict[tuple[int, int], int]) -> list[int]:
    """The rank rule as the loop reads: the pair with the smallest merged id
    (then the smaller pair), all its occurrences leftmost first, until no
    pair has a merge."""
    while True:
        candidates = [(merges[p], p) for p in zip(ids, ids[1:]) if p in merges]
        if not candidates:
            return ids
        merged, pair = min(candidates)
        out, i = [], 0
        while i < len(ids):
            if i + 1 < len(ids) and (ids[i], ids[i + 1]) == pair:
                out.append(merged)
                i += 2
            else:
                out.append(ids[i])
                i += 1
        ids = out


@st.composite
def random_models(draw):
    """(model bytes, cluster ids, merges) with merges drawn freely: results may
    repeat, equal a cluster id or a part of their own pair."""
    clusters = draw(st.lists(st.sampled_from(CLUSTERS), min_size=1, unique=True))
    unicode_lookup = {c: i + 1 for i, c in enumerate(clusters)}
    oov = draw(st.booleans())
    ids = st.integers(0, len(clusters) + 6)
    merges = draw(st.dictionaries(st.tuples(ids, ids), ids, max_size=14))
    lookup = {i: c.encode() for c, i in unicode_lookup.items()}
    image = model_image(lookup, ({"oov": 0} if oov else {}) | unicode_lookup, merges)
    return image, unicode_lookup, merges, oov


# ---- frequency: exactly the extension's ids ---------------------------------


def test_frequency_is_the_extensions_encode_on_real_text(sample_model, sample_lines):
    engine = Engine(sample_model.model_bytes)
    long_text = "\n".join(sample_lines)
    for text in sample_lines + [long_text, "", "ب"]:
        assert engine.encode(text, "frequency") == sample_model.data.encode(text)
    batch = sample_model.encode_batch(sample_lines, threads=2)
    assert batch == [sample_model.data.encode(line) for line in sample_lines]


@settings(max_examples=EXAMPLES, deadline=None)
@given(random_models(), st.data())
def test_frequency_and_rank_on_random_models(tmp_path_factory, model, data):
    image, unicode_lookup, merges, oov = model
    pool = list(unicode_lookup) + (STRANGERS if oov else [])
    clusters = data.draw(st.lists(st.sampled_from(pool), max_size=120))
    text = "".join(clusters)
    path = tmp_path_factory.mktemp("random") / "model"
    path.write_bytes(image)
    model_object = Model(path)
    engine = Engine(image)
    # "oov" is id 0; segmentation of the joined text is the list drawn, as
    # no two pool entries join into one cluster.
    base = [unicode_lookup.get(c, 0) for c in clusters]
    assert engine.encode(text, "frequency") == model_object.data.encode(text)
    assert engine.encode(text, "rank") == plain_rank(base, merges)
    spans = engine.encode_with_offsets(text, "rank")
    assert [i for i, _, _ in spans] == engine.encode(text, "rank")
    assert [s for _, s, _ in spans[1:]] == [e for _, _, e in spans[:-1]]
    assert (spans[0][1] if spans else 0) == 0
    assert (spans[-1][2] if spans else 0) == len(text)


# ---- rank -----------------------------------------------------------------


def test_rank_rewrites_overlapping_runs_leftmost_first(tmp_path):
    # a=1; (a, a) -> 2; (2, a) -> 3: one pass over a a a gives 2 a, then 3.
    image = model_image({0: b"", 1: b"a", 2: b"aa", 3: b"aaa"}, {"oov": 0, "a": 1}, {(1, 1): 2, (2, 1): 3})
    engine = Engine(image)
    for n in range(1, 40):
        assert engine.encode("a" * n, "rank") == plain_rank([1] * n, {(1, 1): 2, (2, 1): 3})
    assert engine.encode("aaaaa", "rank") == [2, 3]


def test_rank_round_trips_and_shortens_real_text(sample_model, sample_lines):
    rank_total = frequency_total = 0
    for line in sample_lines:
        ids = sample_model.encode(line, rule="rank")
        assert sample_model.decode(ids) == line
        rank_total += len(ids)
        frequency_total += len(sample_model.encode(line))
    assert rank_total < 0.8 * frequency_total


def test_rank_ids_of_a_line_do_not_depend_on_what_follows(sample_model, sample_lines):
    # Cluster by cluster the rule is local: a line followed by more text
    # keeps its ids wherever no merge crosses the line break.
    line = sample_lines[3]
    alone = sample_model.encode(line + "\n", rule="rank")
    joined = sample_model.encode(line + "\n" + sample_lines[4], rule="rank")
    assert joined[: len(alone) - 1] == alone[:-1]


# ---- offsets --------------------------------------------------------------


@pytest.mark.parametrize("rule", ["frequency", "rank"])
def test_offsets_give_each_tokens_text(sample_model, sample_lines, rule):
    # Known text, then text with clusters the model never saw (😀, Latin)
    # and a letter with marks.
    texts = sample_lines[:300] + ["بِسْمِ 😀 Zebra اللَّهِ", "😀😀", "\r\nب"]
    for text in texts:
        spans = sample_model.encode_with_offsets(text, rule=rule)
        assert [i for i, _, _ in spans] == sample_model.encode(text, rule=rule)
        end = 0
        for token, start, stop in spans:
            assert start == end and stop > start
            end = stop
            if token != 0:
                assert text[start:stop] == sample_model.token_text(token)
            else:
                # One cluster the model does not know, alone in its token.
                assert sample_model.encode(text[start:stop], rule=rule) == [0]
        assert end == len(text)


# ---- batches --------------------------------------------------------------


@pytest.mark.parametrize("rule", ["frequency", "rank"])
def test_batch_is_per_text_for_any_thread_count_and_flat_is_lists(sample_model, sample_lines, rule):
    texts = sample_lines + ["", "😀", "\n".join(sample_lines[:200])]
    random.Random(4).shuffle(texts)
    expected = [sample_model.encode(t, rule=rule) for t in texts]
    for threads in (1, 2, 3, None):
        assert sample_model.encode_batch(texts, rule=rule, threads=threads) == expected
        ids, offsets = sample_model.encode_batch(texts, rule=rule, threads=threads, flat=True)
        assert isinstance(ids, bytes) and isinstance(offsets, bytes)
        id_view = memoryview(ids).cast("H")
        offset_view = memoryview(offsets).cast("Q")
        assert offset_view[0] == 0 and len(offset_view) == len(texts) + 1
        assert [list(id_view[offset_view[i] : offset_view[i + 1]]) for i in range(len(texts))] == expected
    numpy = pytest.importorskip("numpy")
    array = numpy.frombuffer(ids, "<u2")
    assert array.base is ids  # read in place, not copied
    assert numpy.frombuffer(offsets, "<u8")[-1] == len(array)
    assert sample_model.encode_batch([], rule=rule, flat=True) == (b"", bytes(8))
    assert sample_model.encode_batch((t for t in texts[:5]), rule=rule) == expected[:5]


def test_many_threads_share_one_model(sample_model, sample_lines):
    expected = {rule: sample_model.encode_batch(sample_lines, rule=rule, threads=1) for rule in ("frequency", "rank")}
    failures: list[str] = []

    def work(seed: int) -> None:
        rng = random.Random(seed)
        for _ in range(4):
            rule = rng.choice(["frequency", "rank"])
            picked = rng.sample(range(len(sample_lines)), 50)
            got = sample_model.encode_batch([sample_lines[i] for i in picked], rule=rule, threads=2)
            if got != [expected[rule][i] for i in picked]:
                failures.append(f"batch {seed}")
            i = picked[0]
            if sample_model.encode(sample_lines[i], rule=rule) != expected[rule][i]:
                failures.append(f"single {seed}")

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not failures


def test_a_long_batch_lets_other_threads_run(sample_model, sample_lines):
    texts = sample_lines * 40
    started = threading.Event()
    finished = threading.Event()

    def batch() -> None:
        started.set()
        sample_model.encode_batch(texts, rule="frequency", threads=1, flat=True)
        finished.set()

    previous = sys.getswitchinterval()
    # No forced switches: this thread runs again only when the batch gives
    # the lock up, which with the lock held would be after it finished.
    sys.setswitchinterval(100)
    try:
        worker = threading.Thread(target=batch)
        worker.start()
        assert started.wait(timeout=60)
        still_running = not finished.is_set()
    finally:
        sys.setswitchinterval(previous)
        worker.join(timeout=600)
    assert still_running
    assert finished.is_set()


# ---- errors, pickling ------------------------------------------------------


def test_unknown_rules_and_bad_arguments_are_selvane_errors(sample_model):
    for call in (
        lambda: sample_model.encode("ب", rule="bpe"),
        lambda: sample_model.encode_batch(["ب"], rule="Rank"),
        lambda: sample_model.encode_with_offsets("ب", rule=None),  # type: ignore[arg-type]
    ):
        with pytest.raises(SelvaneError, match="the rules are 'frequency' and 'rank'"):
            call()
    for threads in (0, -1, 1.5, True):
        with pytest.raises(SelvaneError, match="threads"):
            sample_model.encode_batch(["ب"], threads=threads)  # type: ignore[arg-type]
    with pytest.raises(SelvaneError, match="not one str"):
        sample_model.encode_batch("بسم")
    with pytest.raises(TypeError, match=r"texts\[1\] is int"):
        sample_model.encode_batch(["ب", 3])  # type: ignore[list-item]
    with pytest.raises(ValueError, match="unknown rule"):
        Engine(sample_model.model_bytes).encode("ب", "bpe")


def test_engine_failures(tmp_path):
    with pytest.raises(EngineError, match="not a model file"):
        Engine(b"\x01" + bytes(10))
    # No "oov": an unknown cluster cannot be encoded by either rule.
    model = Model.from_bytes(model_image({1: b"a"}, {"a": 1}))
    for rule in ("frequency", "rank"):
        assert model.encode("aa", rule=rule) == [1, 1]
        with pytest.raises(SelvaneError, match="oov"):
            model.encode("ab", rule=rule)
        with pytest.raises(SelvaneError, match="oov"):
            model.encode_batch(["aa", "ab"] * 500, rule=rule, threads=2)
        with pytest.raises(SelvaneError, match="oov"):
            model.encode_with_offsets("ab", rule=rule)


def test_model_still_pickles_by_its_bytes(sample_model, sample_lines):
    sample_model.encode(sample_lines[0], rule="rank")  # the engine exists now
    copy = pickle.loads(pickle.dumps(sample_model))
    assert copy.model_bytes == sample_model.model_bytes
    assert copy.encode(sample_lines[0], rule="rank") == sample_model.encode(sample_lines[0], rule="rank")


def test_mypy_reads_the_new_methods_and_the_engine(tmp_path):
    import subprocess

    (tmp_path / "use.py").write_text(
        "from selvane_tools import Model\n"
        "from selvane_tools._engine import Engine\n"
        "model = Model('m')\n"
        "lists: list[list[int]] = model.encode_batch(['a'], rule='rank', threads=2)\n"
        "ids, offsets = model.encode_batch(['a'], flat=True)\n"
        "raw: bytes = ids + offsets\n"
        "spans: list[tuple[int, int, int]] = model.encode_with_offsets('a')\n"
        "one: list[int] = model.encode('a', rule='rank')\n"
        "engine: list[int] = Engine(b'').encode('a', 'frequency')\n"
        "wrong: bytes = model.encode_batch(['a'])\n"
    )
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), "use.py"],
        cwd=tmp_path, capture_output=True, text=True,
    )
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert [int(line.split(":")[1]) for line in errors] == [10], done.stdout
