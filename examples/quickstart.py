"""A first experiment with morvelan_hdc, run by `make demo`.

The same steps as the tour in README.md: the algebra, a key-value cache, a
causal chain, a multi-hop query, a swarm whose resonator recovers an agent's
policy and skill, photon and BVH encodings, and feedback into the scheduler.
Every vector is built from a name with hv_hash_string, so every number printed
here is the same on every run and every machine.

    python examples/quickstart.py
"""
from __future__ import annotations

from typing import Optional

import morvelan_hdc as hdc

D = 1024


def section(title: str) -> None:
    print(f"\n== {title}")


def show(label: str, *values: object) -> None:
    print(f"{label:<28}", *values)


def algebra() -> None:
    section("algebra")
    apple = hdc.hv_hash_string("apple", D)
    red = hdc.hv_hash_string("red", D)
    pair = hdc.hdc_bind(apple, red)
    show("apple[:6]", apple[:6])
    show("resonance(apple, red)", round(hdc.resonance(apple, red), 3), "(unrelated: about 0.5)")
    show("resonance(unbind(..), red)", hdc.resonance(hdc.hdc_unbind(pair, apple), red))
    show("bundle([1,-1,1], [1,1,-1])", hdc.hdc_bundle([1, -1, 1], [1, 1, -1]))
    show("permute([1,2,3,4], 1)", hdc.hdc_permute([1, 2, 3, 4], 1))
    show("bind([0.1], [3])", hdc.hdc_bind([0.1], [3]), "(32-bit floats, widened exactly)")


def key_value_cache() -> None:
    section("key-value cache")
    cache = hdc.PyHKVC(D)
    for position, (country, capital) in enumerate([("france", "paris"), ("japan", "tokyo"), ("peru", "lima")]):
        cache.store(country, capital, position)
    show("count()", cache.count())
    show("query('japan')", cache.query("japan"), "(strength about 1/count)")
    show("query('spain')", cache.query("spain"), "(never stored: best holographic guess)")


def causal_chain() -> None:
    section("causal chain")
    chain = ["clouds", "rain", "wet road", "skid"]
    events = {name: hdc.hv_hash_string(name, D) for name in chain}
    memory = hdc.PyCausalMemory(D)
    for t, (cause, effect) in enumerate(zip(chain, chain[1:])):
        memory.store(events[cause], events[effect], hdc.hv_hash_string(f"t{t}", D))

    def name_of(v: Optional[list[float]]) -> Optional[str]:
        return next((name for name, e in events.items() if e == v), None)

    walk = ["clouds"]
    while walk[-1] != "skid":
        nxt = name_of(memory.query_effect(events[walk[-1]]))
        assert nxt is not None
        walk.append(nxt)
    show("walk from clouds", " -> ".join(walk))
    show("causes of skid", [name_of(c) for c in memory.query_cause(events["skid"])])
    show("what happened at t0?", name_of(memory.query_by_time(hdc.hv_hash_string("t0", D))))


def multi_hop() -> None:
    section("multi-hop query")
    facts = ["socrates is a man", "plato is a man", "men are mortal", "mortals die"]
    vectors = [hdc.hv_hash_string(f, D) for f in facts]
    reasoner = hdc.PyMultiHopReasoner(D)
    for v in vectors:
        reasoner.add_fact(v)
    for a, b in [(0, 2), (1, 2), (2, 3)]:
        reasoner.add_link(a, b)
    for hops in (0, 2):
        found = reasoner.reason(vectors[0], hops)
        show(f"reason(hops={hops})", ", ".join(f"{facts[i]!r} {score:.3f}" for i, score in found))


def swarm() -> None:
    section("swarm and resonator")
    dim = 4096

    def v(name: str) -> list[float]:
        return hdc.hv_hash_string(name, dim)

    team = [("scout", "explore", "scan"), ("courier", "exploit", "route"),
            ("medic", "defend", "repair"), ("pilot", "explore", "route")]
    s = hdc.PyHoloSwarm(dim)
    for role, policy, skill in team:
        s.add_agent(role, v(role), policy, v(policy), skill, v(skill))
    # Start from the superposition of every policy: the resonator is told nothing.
    guess = [float(sum(column)) for column in zip(*(v(p) for p in ["explore", "exploit", "defend"]))]
    for role in ("courier", "pilot"):
        show(f"resonate({role!r})", s.resonate(role, guess, [], 3))
    show("materialize(medic)", s.materialize(v("medic"), 0.6))


def graphics() -> None:
    section("photon and BVH node")
    gen = hdc.PyHoloGenEngine(64)
    photon = gen.generate_photon("red")
    show("red photon[:12]", photon[:12])
    show("same as a 650 nm ray", photon == gen.generate_photon([0, 0, 0], [1, 0, 0], 650.0))
    left = gen.generate_pixel_geometry(3, 4)
    right = gen.generate_pixel_geometry(4, 3, frame_id=1)
    show("bvh node[:12]", gen.encode_bvh_node([0, 0, 0], [1, 1, 1], left, right)[:12])


def scheduler() -> None:
    section("scheduler feedback")
    sched = hdc.PyHoloCPUScheduler(D, 8)
    sched.store_memory("render frame")
    sched.store_memory("compress texture")
    show("recall(stored, new)", sched.recall("render frame"), sched.recall("decode audio"))
    show("learning rate", sched.feedback_strength())
    for signal in (0.9, 0.2):
        sched.process_feedback(signal)
        show(f"feedback {signal}", sched.feedback_strength())


def main() -> None:
    print(f"morvelan_hdc: {len(hdc.__all__)} names ({', '.join(hdc.__all__[:3])}, ...)")
    algebra()
    key_value_cache()
    causal_chain()
    multi_hop()
    swarm()
    graphics()
    scheduler()


if __name__ == "__main__":
    main()
