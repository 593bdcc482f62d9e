"""rand_bipolar and the string hashes from Python, beside the floor of building a
10,000-float list and the closest numpy equivalents. The ChaCha refill throughput and
the per-index string encoders (C++ only) are measured by native/chacha_throughput.cpp."""
from __future__ import annotations

import random
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import Case, main  # noqa: E402
from native_ext import load  # noqa: E402

import morvelan_hdc as m  # noqa: E402


def np_rand_bipolar(gen: np.random.Generator, n: int):
    return np.where(gen.integers(0, 2, n, dtype=np.uint8) == 1, -1.0, 1.0).tolist()


def cases(dim: int = 10_000):
    floor = load("floor")
    gen = np.random.default_rng(1)
    size = f"D={dim}"
    yield Case("rand_bipolar", size, lambda: m.rand_bipolar(dim),
               {"floor (list of fresh floats)": lambda: floor.list_of(dim),
                "numpy random + tolist": lambda: np_rand_bipolar(gen, dim)},
               note="target <= 1.3x the floor")
    text = "".join(random.Random(3).choice("abcdefghij ") for _ in range(1024))
    yield Case("hv_hash_string", f"1 KiB text, {size}", lambda: m.hv_hash_string(text, dim),
               {"floor (list of fresh floats)": lambda: floor.list_of(dim)})
    yield Case("diagnostic_role", size, lambda: m.diagnostic_role(dim),
               {"floor (list of fresh floats)": lambda: floor.list_of(dim)})
    yield Case("encode_system_state", size, lambda: m.encode_system_state(dim, 42.0, 17.5, 3, 950),
               {"floor (list of fresh floats)": lambda: floor.list_of(dim)})
    v = m.rand_bipolar(dim)
    yield Case("hv_hash", size, lambda: m.hv_hash(v),
               {"floor (unbox a list)": lambda: floor.two_in_float_out(v, [])})


if __name__ == "__main__":
    main(cases())
