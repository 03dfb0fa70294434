"""The main job on the bundled sample corpus, through the `selvane` command:
init, train, info, encode, decode, show.

Trains a model from scratch on data/sample/ in a temporary directory, then
encodes a few sentences with it, shows the token boundaries and decodes the
ids back. Then the same for a language model: special tokens, byte fallback
and a vocabulary of a chosen size (--max-ids), and shards with an
end-of-text id after every unit (--eos). Every step is a command a user
can type.
"""

import pathlib
import shlex
import subprocess
import sys
import tempfile

from selvane_tools import read_shards

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLE_DIR = ROOT / "data" / "sample"
SELVANE = pathlib.Path(sys.executable).parent / "selvane"

SENTENCES = [
    "بِسْمِ اللَّهِ الرَّحْمَنِ الرَّحِيمِ",
    "ذَهَبَ الطَّالِبُ إِلَى الْمَدْرَسَةِ صَبَاحًا.",
    "إِنَّ الْعِلْمَ نُورٌ وَالْجَهْلَ ظَلَامٌ",
    "و",
]


def run(*args, cwd, input=None):
    """Runs `selvane ARGS`, echoing the command, and returns its stdout."""
    print("$ selvane " + shlex.join(map(str, args)), flush=True)
    done = subprocess.run([str(SELVANE), *map(str, args)], cwd=cwd, input=input,
                          stdout=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.exit(f"selvane {args[0]} failed with status {done.returncode}")
    return done.stdout


def main():
    samples = sorted(SAMPLE_DIR.glob("*.txt"))
    if not samples:
        sys.exit(f"no sample corpus (*.txt) in {SAMPLE_DIR}")
    work = pathlib.Path(tempfile.mkdtemp(prefix="selvane-demo-"))
    print(f"working in {work}\n")
    run("init", "empty.model", cwd=work)
    run("train", *samples, "--init", "empty.model", "-o", "sample.model", "--log", "train.log", cwd=work)
    print(run("info", "sample.model", "--longest", "3", cwd=work))

    lines = samples[0].read_text(encoding="utf-8").splitlines()
    from_corpus = [l.strip() for l in lines if 40 <= len(l.strip()) <= 90][:2]
    texts = from_corpus + SENTENCES
    (work / "sentences.txt").write_text("\n".join(texts) + "\n", encoding="utf-8")
    ids = run("encode", "-m", "sample.model", "sentences.txt", cwd=work)
    print(ids)
    decoded = run("decode", "-m", "sample.model", cwd=work, input=ids).splitlines()
    for text, back in zip(texts, decoded):
        # Clusters the model never saw encode to the "oov" id 0, whose bytes
        # are empty, so they drop out of the decoded text.
        print(f"  {'same as the text' if back == text else 'differs: ' + back}")
    print()
    print(run("show", "-m", "sample.model", *texts[-4:], cwd=work))
    language_model(samples, texts, work)


def language_model(samples, texts, work):
    """A model for language-model training: an end-of-text and a padding
    token, byte fallback, training stopped at 1,000 ids."""
    print("-- for a language model: special tokens, byte fallback, 1,000 ids, shards with --eos\n")
    run("init", "lm-start.model", "--special", "<|endoftext|>", "<|pad|>", "--byte-fallback", cwd=work)
    run("train", *samples, "--init", "lm-start.model", "-o", "lm.model", "--max-ids", "1000",
        "--log", "lm-train.log", cwd=work)
    print(run("info", "lm.model", "--longest", "3", cwd=work))
    # Clusters the model never saw are spelled out as byte tokens, so this
    # text comes back whole, emoji and Latin letters included.
    unseen = "سلام 👋🏽 Zürich"
    (work / "lm-sentences.txt").write_text("\n".join([*texts[:2], unseen]) + "\n", encoding="utf-8")
    ids = run("encode", "-m", "lm.model", "--rule", "rank", "lm-sentences.txt", cwd=work)
    print(ids)
    back = run("decode", "-m", "lm.model", cwd=work, input=ids).splitlines()
    print(f"  {'same as the text' if back[-1] == unseen else 'differs: ' + back[-1]}\n")
    print(run("show", "-m", "lm.model", "--rule", "rank", unseen, cwd=work))

    # Shards for training: the end-of-text id after every unit.
    run("encode", "-m", "lm.model", "--rule", "rank", "lm-sentences.txt", "--format", "bin",
        "--eos", "<|endoftext|>", "-o", "lm-ids", cwd=work)
    shards = read_shards(work / "lm-ids")
    ends = sum(1 for unit in range(len(shards)) if list(shards[unit])[-1:] == [shards.eos_id])
    print(f"  eos_id {shards.eos_id}; {ends} of {len(shards)} units end with it; the last one: "
          f"{' '.join(map(str, shards[len(shards) - 1]))}")


if __name__ == "__main__":
    main()
