"""Recover each agent's policy and skill from one superposed swarm vector.

A hundred agents, each role ⊗ policy ⊗ skill rotated by its role's shift, are
added into a single vector. For one role, resonate() undoes the rotation,
unbinds the role and then alternately cleans up a skill estimate and a policy
estimate against the stored codebooks. It starts here from the superposition of
every policy (no knowledge of the answer). The other 99 agents are noise whose
weight falls with the dimension, so recovery improves as dim grows.

PyHoloSwarm is the one class that may be used from any thread; the largest
swarm is queried from a thread pool to show it.

    python examples/swarm_resonator.py
"""
from __future__ import annotations

import time
from concurrent.futures import ThreadPoolExecutor

import morvelan_hdc as hdc

AGENTS = 100
POLICIES = [f"policy-{k}" for k in range(10)]
SKILLS = [f"skill-{k}" for k in range(10)]
ITERATIONS = 3


def assignment(i: int) -> tuple[str, str, str]:
    return f"agent-{i:02d}", POLICIES[(7 * i) % 10], SKILLS[(3 * i + i // 10) % 10]


def build(dim: int) -> tuple[hdc.PyHoloSwarm, list[float]]:
    def symbol(name: str) -> list[float]:
        return hdc.hv_hash_string(name, dim)

    swarm = hdc.PyHoloSwarm(dim)
    for i in range(AGENTS):
        role, policy, skill = assignment(i)
        swarm.add_agent(role, symbol(role), policy, symbol(policy), skill, symbol(skill))
    every_policy = [float(sum(column)) for column in zip(*(symbol(p) for p in POLICIES))]
    return swarm, every_policy


def recovered(swarm: hdc.PyHoloSwarm, guess: list[float], i: int) -> bool:
    role, policy, skill = assignment(i)
    found = swarm.resonate(role, guess, [], ITERATIONS)
    return found[:3] == (role, policy, skill)


def main() -> None:
    print(f"{AGENTS} agents, {len(POLICIES)} policies, {len(SKILLS)} skills, {ITERATIONS} resonator iterations\n")
    print(f"{'dim':>6} {'recovered':>10} {'time':>8}")
    for dim in (2048, 8192, 32768):
        swarm, guess = build(dim)
        t0 = time.perf_counter()
        answers = [recovered(swarm, guess, i) for i in range(AGENTS)]
        elapsed = time.perf_counter() - t0
        print(f"{dim:>6} {sum(answers):>6}/{AGENTS:<3} {elapsed * 1e3:>6.0f} ms")

    # The same queries from four threads at once: same swarm object, same answers.
    with ThreadPoolExecutor(max_workers=4) as pool:
        threaded = list(pool.map(lambda i: recovered(swarm, guess, i), range(AGENTS)))
    print(f"\nfrom 4 threads: {sum(threaded)}/{AGENTS}, identical answers: {threaded == answers}")

    role, policy, skill = assignment(42)
    found = swarm.resonate(role, guess, [], ITERATIONS)
    print(f"{role} holds ({policy}, {skill}); resonate returns {found}")
    print("roles resonating with agent-42's role vector:",
          swarm.materialize(hdc.hv_hash_string(role, 32768), 0.55))


if __name__ == "__main__":
    main()
