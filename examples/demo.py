"""The main job on the bundled sample corpus: train, encode, decode.

Trains a model from scratch on data/sample/, then encodes a few sentences with
it, shows the token boundaries, and decodes the ids back.
"""

import contextlib
import os
import pathlib
import sys
import tempfile
import time

import selvane

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLE_DIR = ROOT / "data" / "sample"

SENTENCES = [
    "بِسْمِ اللَّهِ الرَّحْمَنِ الرَّحِيمِ",
    "ذَهَبَ الطَّالِبُ إِلَى الْمَدْرَسَةِ صَبَاحًا.",
    "إِنَّ الْعِلْمَ نُورٌ وَالْجَهْلَ ظَلَامٌ",
    "و",
]


@contextlib.contextmanager
def stdout_to(path):
    """Sends file descriptor 1, where training prints, to `path`."""
    sys.stdout.flush()
    saved = os.dup(1)
    with open(path, "wb") as sink:
        os.dup2(sink.fileno(), 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def main():
    samples = sorted(SAMPLE_DIR.glob("*.txt"))
    if not samples:
        sys.exit(f"no sample corpus (*.txt) in {SAMPLE_DIR}")
    sample = samples[0]
    work = pathlib.Path(tempfile.mkdtemp(prefix="selvane-demo-"))
    os.chdir(work)
    (work / "empty.model").write_bytes(bytes(24))
    model = selvane.load_from_file("empty.model")

    size = sample.stat().st_size
    print(f"training on {sample.relative_to(ROOT)} ({size:,} bytes) in {work}")
    started = time.perf_counter()
    with stdout_to(work / "console.txt"):
        model.train(str(sample), False, str(work / "train.log"))
    elapsed = time.perf_counter() - started
    console = (work / "console.txt").read_text(encoding="utf-8").splitlines()
    merges = sum(line.startswith("Token ") for line in console)
    print(f"trained in {elapsed:.2f} s: {merges} merges learned, "
          f"{console.count(' Saved Successfully ')} save(s)")
    for line in [l for l in console if l.startswith("Token ")][:3]:
        print("  " + line)

    trained = selvane.load_from_file("tokenizer")
    print(f"model file 'tokenizer': {os.path.getsize('tokenizer'):,} bytes, "
          f"{len(trained.vocab())} token ids\n")

    lines = sample.read_text(encoding="utf-8").splitlines()
    from_corpus = [l.strip() for l in lines if 40 <= len(l.strip()) <= 90][:2]
    for sentence in from_corpus + SENTENCES:
        ids = trained.encode(sentence)
        pieces = [trained.decode([token]) for token in ids]
        decoded = trained.decode(ids)
        print(f"text     {sentence}")
        print(f"tokens   {' | '.join(pieces)}")
        print(f"ids      {ids}")
        if decoded == sentence:
            print("decoded  same as the text\n")
        else:
            # Clusters the model never saw encode to the "oov" id 0, whose
            # bytes are empty, so they drop out of the decoded text.
            print(f"decoded  {decoded}  ({ids.count(0)} unknown cluster(s) dropped)\n")


if __name__ == "__main__":
    main()
