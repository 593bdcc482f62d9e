"""Walk a causal chain forwards and backwards through PyCausalMemory.

Events are bipolar vectors named by hv_hash_string, so the same names give the
same vectors in every run. Each relation cause -> effect is recorded with a time
vector. Forward steps use query_effect; each step is confirmed backwards with
query_cause, because a cause that was never recorded still gets an answer from
the holographic fallback (its best positive score against the trace), and that
answer must not be taken for a recorded effect.

    python examples/causal_chain.py
"""
from __future__ import annotations

from typing import Optional

import morvelan_hdc as hdc

DIM = 2048
CHAIN = ["clouds gather", "rain falls", "road is wet", "car skids", "traffic jam"]
EVENTS = {name: hdc.hv_hash_string(name, DIM) for name in CHAIN + ["sprinkler on"]}


def tick(t: int) -> list[float]:
    return hdc.hv_hash_string(f"tick {t}", DIM)


def name_of(v: Optional[list[float]]) -> str:
    """The event whose vector resonates most with v (answers are copies of stored vectors)."""
    if v is None:
        return "(nothing)"
    return max(EVENTS, key=lambda name: hdc.resonance(v, EVENTS[name]))


def walk_forward(memory: hdc.PyCausalMemory, start: str) -> list[str]:
    path = [start]
    while len(path) <= len(EVENTS):
        answer = memory.query_effect(EVENTS[path[-1]])
        if answer is None:
            break
        nxt = name_of(answer)
        # A recorded edge is also found from its effect; a fallback guess is not.
        if path[-1] not in {name_of(c) for c in memory.query_cause(answer)}:
            break
        path.append(nxt)
    return path


def main() -> None:
    memory = hdc.PyCausalMemory(DIM)
    for t, (cause, effect) in enumerate(zip(CHAIN, CHAIN[1:])):
        memory.store(EVENTS[cause], EVENTS[effect], tick(t))
    memory.record(EVENTS["sprinkler on"], EVENTS["road is wet"], tick(9))  # a second cause of a wet road

    print("forward from 'clouds gather':", " -> ".join(walk_forward(memory, "clouds gather")))
    print("forward from 'sprinkler on': ", " -> ".join(walk_forward(memory, "sprinkler on")))

    back = ["traffic jam"]
    while True:
        causes = memory.query_cause(EVENTS[back[-1]])
        if not causes or name_of(causes[0]) in back:
            break
        back.append(name_of(causes[0]))
    print("backward from 'traffic jam': ", " <- ".join(back))
    print("every cause of 'road is wet':", [name_of(c) for c in memory.query_cause(EVENTS["road is wet"])])
    for t in (0, 2, 9):
        print(f"what happened at tick {t}?     ", name_of(memory.query_by_time(tick(t))))

    # The exact index keys on the signs of the first 64 components: a noisy cue misses
    # it. Cleaning the cue up against the known events first makes the query exact again.
    noisy = list(EVENTS["rain falls"])
    for i in range(0, DIM, 5):
        noisy[i] = -noisy[i]  # 20% of the components flipped
    cleaned = EVENTS[name_of(noisy)]
    print(f"\nnoisy cue: resonance with 'rain falls' {hdc.resonance(noisy, EVENTS['rain falls']):.3f}, "
          f"signature intact: {hdc.hv_hash(noisy) == hdc.hv_hash(EVENTS['rain falls'])}")
    print("effect of the noisy cue (fallback, unconfirmed):", name_of(memory.query_effect(noisy)))
    print("effect of the cleaned-up cue:                  ", name_of(memory.query_effect(cleaned)))


if __name__ == "__main__":
    main()
