"""Element-wise algebra from Python lists, beside numpy from the same lists and the conversion floor."""
from __future__ import annotations

import random
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import Case, main  # noqa: E402
from native_ext import load  # noqa: E402

import morvelan_hdc as m  # noqa: E402

F32 = np.float32


def np_bind(a, b):
    return (np.asarray(a, F32) * np.asarray(b, F32)).tolist()


def np_bundle(a, b):
    return np.sign(np.asarray(a, F32) + np.asarray(b, F32)).tolist()


def np_resonance(a, b):
    x, y = np.asarray(a, F32), np.asarray(b, F32)
    return float((F32(np.dot(x, y)) / F32(len(x)) + F32(1)) * F32(0.5))


def np_normalise(v):
    x = np.asarray(v, F32)
    return (x / max(F32(1e-9), np.nanmax(np.abs(x)))).tolist()


def cases(dim: int = 10_000):
    floor = load("floor")
    rng = random.Random(7)
    a = [rng.choice((1.0, -1.0)) for _ in range(dim)]
    b = [rng.choice((1.0, -1.0)) for _ in range(dim)]
    g = [rng.uniform(-2, 2) for _ in range(dim)]
    size = f"D={dim}"
    yield Case("hdc_bind", size, lambda: m.hdc_bind(a, b),
               {"floor": lambda: floor.two_in_list_out(a, b), "numpy": lambda: np_bind(a, b)})
    yield Case("hdc_bundle", size, lambda: m.hdc_bundle(a, b),
               {"floor": lambda: floor.two_in_list_out(a, b), "numpy": lambda: np_bundle(a, b)})
    yield Case("resonance (bipolar)", size, lambda: m.resonance(a, b),
               {"floor": lambda: floor.two_in_float_out(a, b), "numpy": lambda: np_resonance(a, b)})
    yield Case("resonance (general)", size, lambda: m.resonance(g, g),
               {"floor": lambda: floor.two_in_float_out(g, g), "numpy": lambda: np_resonance(g, g)})
    yield Case("normalise_bipolar", size, lambda: m.normalise_bipolar(g),
               {"floor": lambda: floor.one_in_list_out(g), "numpy": lambda: np_normalise(g)})
    yield Case("hdc_permute", size, lambda: m.hdc_permute(g, 17),
               {"floor": lambda: floor.one_in_list_out(g)})


if __name__ == "__main__":
    main(cases())
