"""Saving and loading large instances with pickle: a cache of 50,000 pairs and a reasoner of
100,000 facts, both at dim 1,024. The state is the instances' own values (docs/STATE.md); the
alternative, replaying every call, takes seconds (50,000 cache stores: about 2 s here)."""
from __future__ import annotations

import pickle
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import Case, main  # noqa: E402

import morvelan_hdc as m  # noqa: E402

DIM = 1024


def cases():
    cache = m.PyHKVC(DIM)
    for j in range(50_000):
        cache.store(f"key{j}", f"value{j}", j)
    reasoner = m.PyMultiHopReasoner(DIM)
    rng = np.random.default_rng(9)
    for _ in range(100):  # a thousand facts at a time, as float32 rows
        for row in rng.choice(np.float32([-1, 1]), (1000, DIM)):
            reasoner.add_fact(row)
    for name, obj, size in [("PyHKVC", cache, "50,000 pairs, dim 1,024"),
                            ("PyMultiHopReasoner", reasoner, "100,000 facts, dim 1,024")]:
        blob = pickle.dumps(obj, 5)
        raw = 2 * 50_000 * DIM * 4 if name == "PyHKVC" else 100_000 * DIM // 8
        note = f"{len(blob) / 1e6:.1f} MB; vectors held: {raw / 1e6:.1f} MB"
        yield Case(f"pickle.dumps({name})", size, lambda o=obj: pickle.dumps(o, 5), {}, note=note)
        yield Case(f"pickle.loads({name})", size, lambda b=blob: pickle.loads(b), {}, note=note)


if __name__ == "__main__":
    main(cases())
