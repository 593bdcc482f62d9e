"""Classify texts by their letter trigrams, the fast way.

Each distinct trigram gets an item vector from the library (hv_hash_string, the same
vector on every machine); a text is the sum of its trigrams' vectors, and a class
prototype the sign of the sum of its training texts. Those bulk sums are one matrix
product in numpy; the library then scores each test text against each prototype with
resonance. The texts are snippets found on this machine: Python source from the
interpreter's standard library, C from its headers, and English prose from the licence
files in /usr/share/common-licenses; where any of these is missing, or with
--generated, three made-up languages stand in.

    python examples/text_classifier.py [--generated] [--dim 4096] [--texts 60]
"""
from __future__ import annotations

import argparse
import random
import sysconfig
from pathlib import Path

import numpy as np

import morvelan_hdc as hdc


def snippets(files: list[Path], count: int, size: int = 300) -> list[str]:
    """Up to count snippets of size characters, white space folded, a few from each file."""
    out: list[str] = []
    for f in files:
        text = " ".join(f.read_text(encoding="utf-8", errors="replace").split())
        out += [text[i:i + size] for i in range(0, len(text) - size + 1, size * 7)]
        if len(out) >= count:
            break
    return out[:count]


def found_texts(per_class: int) -> dict[str, list[str]]:
    paths = sysconfig.get_paths()
    return {"python": snippets(sorted(Path(paths["stdlib"]).glob("*.py")), per_class),
            "c": snippets(sorted(Path(paths["include"]).rglob("*.h")), per_class),
            "prose": snippets(sorted(Path("/usr/share/common-licenses").glob("[A-Z]*")), per_class)}


def generated_texts(per_class: int, seed: int = 7) -> dict[str, list[str]]:
    """Three languages, each a small inventory of syllables drawn from its own letters."""
    rng = random.Random(seed)
    texts: dict[str, list[str]] = {}
    for lang, (consonants, vowels) in {"aeli": ("lmnrst", "aei"), "boku": ("bdgkpz", "ou"),
                                        "vexy": ("fvwxyh", "ey")}.items():
        syllables = [rng.choice(consonants) + rng.choice(vowels) for _ in range(12)]
        texts[lang] = [" ".join("".join(rng.choices(syllables, k=rng.randint(1, 3))) for _ in range(30))
                       for _ in range(per_class)]
    return texts


def trigrams(text: str) -> list[str]:
    return [text[i:i + 3] for i in range(len(text) - 2)]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--generated", action="store_true", help="use made-up languages, not files found here")
    ap.add_argument("--dim", type=int, default=4096)
    ap.add_argument("--texts", type=int, default=60, help="texts per class (half train, half test)")
    args = ap.parse_args()
    corpus = {} if args.generated else found_texts(args.texts)
    use_found = bool(corpus) and all(len(ts) == args.texts for ts in corpus.values())
    if not use_found:
        corpus = generated_texts(args.texts)

    # One row of trigram counts per text; one item vector per distinct trigram.
    vocab: dict[str, int] = {}
    samples = [(label, [vocab.setdefault(g, len(vocab)) for g in trigrams(t)])
               for label, ts in corpus.items() for t in ts]
    counts = np.zeros((len(samples), len(vocab)), dtype=np.float32)
    for row, (_, ids) in enumerate(samples):
        np.add.at(counts[row], ids, 1.0)
    items = np.array([hdc.hv_hash_string(g, args.dim) for g in vocab], dtype=np.float32)
    encoded = counts @ items  # every text's bundle at once

    labels = list(corpus)
    train = [i for i in range(len(samples)) if i % 2 == 0]
    test = [i for i in range(len(samples)) if i % 2 == 1]
    # Trigrams every class uses alike ("the", "ion") would swamp the prototypes: centre first.
    encoded -= encoded[train].mean(axis=0)
    prototypes = {}
    for label in labels:
        total = encoded[[i for i in train if samples[i][0] == label]].sum(axis=0)
        prototypes[label] = np.where(total >= 0, 1.0, -1.0).astype(np.float32).tolist()

    hits = 0
    for i in test:
        text = encoded[i].tolist()
        guess = max(labels, key=lambda label: hdc.resonance(prototypes[label], text))
        hits += guess == samples[i][0]
    source = "this machine's Python, C and prose" if use_found else "three generated languages"
    print(f"{len(vocab)} trigrams, {len(train)} training and {len(test)} test texts from {source}")
    print(f"accuracy: {hits / len(test):.2f} ({hits}/{len(test)})")


if __name__ == "__main__":
    main()
