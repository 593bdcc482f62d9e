"""Fan one query out over shards of a reasoner in worker processes.

The facts are split over a few PyMultiHopReasoner shards; each shard is pickled
here (an instance is saved on the thread that owns it, and the pool pickles its
tasks on a thread of its own, so it is handed bytes), loaded and asked in a
worker process, and the hits (shard index, score) come back, are mapped to
global fact indices and merged best first, ties by index. The merged hits equal
those of one reasoner holding every fact.

    python examples/sharded_reasoner.py
"""
from __future__ import annotations

import pickle
import random
from concurrent.futures import ProcessPoolExecutor

import morvelan_hdc as hdc

DIM, FACTS, SHARDS = 512, 4000, 4


def search(saved: bytes, query: list[float]) -> list[tuple[int, float]]:
    shard: hdc.PyMultiHopReasoner = pickle.loads(saved)
    return shard.reason(query, 0)


def flipped(v: list[float], start: int, step: int) -> list[float]:
    return [-x if k >= start and (k - start) % step == 0 else x for k, x in enumerate(v)]


def main() -> None:
    rng = random.Random(7)
    facts = [[rng.choice((1.0, -1.0)) for _ in range(DIM)] for _ in range(FACTS)]
    query = flipped(facts[1234], 0, 9)  # near fact 1234 ...
    for s in (5, 6, 7):
        facts[rng.randrange(FACTS)] = flipped(query, s, 11)  # ... and near three others, wherever they fall
    whole = hdc.PyMultiHopReasoner(DIM)
    shards = [hdc.PyMultiHopReasoner(DIM) for _ in range(SHARDS)]
    size = FACTS // SHARDS
    for i, f in enumerate(facts):
        whole.add_fact(f)
        shards[i // size].add_fact(f)
    with ProcessPoolExecutor(SHARDS) as pool:
        per_shard = list(pool.map(search, [pickle.dumps(s) for s in shards], [query] * SHARDS))
    merged = sorted(((s * size + i, score) for s, hits in enumerate(per_shard) for i, score in hits),
                    key=lambda h: (-h[1], h[0]))
    print(f"facts in {SHARDS} worker processes  {FACTS:,} at dim {DIM}")
    print(f"hits from the workers          {[(i, round(s, 4)) for i, s in merged]}")
    print(f"same as one reasoner           {merged == whole.reason(query, 0)}")


if __name__ == "__main__":
    main()
