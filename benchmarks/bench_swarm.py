"""PyHoloSwarm at dim 10,000 beside numpy versions of the same formulas.

add_agent: one binding, rotation and addition (plus storing the three vectors).
materialize / resonate: 1,000 agents. Our cleanups compute eight candidates' dots
side by side, each sum in index order; numpy's matrix-vector product (BLAS) is
free to reorder its sums, so it is a speed reference, not a bit-exact one.

resonate(max_iter=10): iterations after the first depend only on the previous
policy index, so once an index repeats we read the rest of the run off the cycle
(the result is that of all ten iterations). With a good guess the state is fixed
after the second iteration. "numpy, 10 iterations" runs every iteration;
"numpy, same replay" skips repeats exactly as we do, which isolates the speed of
the scans themselves.
"""
from __future__ import annotations

import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
# The numpy baseline needs the role shift too: the plain-Python SipHash the tests check.
sys.path.insert(1, os.path.join(HERE, "..", "tests", "python"))

import morvelan_hdc as m  # noqa: E402
from support import sip13  # noqa: E402
from harness import Case, main  # noqa: E402

DIM = 10_000
AGENTS = 1_000
F = np.float32


def shift(name: str) -> int:
    return sip13(name.encode() + b"\xff") % DIM


def numpy_cleanup(noisy, book):
    d = book @ noisy
    match = (d / F(noisy.size) + F(1.0)) * F(0.5)
    j = int(np.argmax(match))
    return j, match[j]


def numpy_resonate(sv, roles, pols, skills, names, key, guess, iters, replay):
    u = np.roll(sv, -shift(key))
    j = names.index(key)
    r = roles[j]
    p = np.asarray(guess, dtype=F)
    seen, out = {}, []
    for t in range(1, iters + 1):
        if replay and t > 1:
            prev = out[-1][1]
            if prev in seen:
                t0 = seen[prev]
                return out[t0 - 1 + (iters - t0) % (t - t0)]
            seen[prev] = t
        sidx, _ = numpy_cleanup(u * (r * p), skills)
        pidx, best = numpy_cleanup(u * (r * skills[sidx]), pols)
        out.append((sidx, pidx, best))
        p = pols[pidx]
    return out[-1]


def numpy_materialize(roles, probe, threshold, names):
    q = np.asarray(probe, dtype=F)
    scores = ((roles @ q) / F(q.size) + F(1.0)) * F(0.5)
    keep = np.nonzero(scores > F(threshold))[0]
    order = keep[np.argsort(-scores[keep], kind="stable")]
    return [(names[j], float(scores[j])) for j in order]


def cases():
    rng = np.random.default_rng(0)

    def bip(*shape):
        return rng.choice(np.array([-1.0, 1.0], dtype=F), size=shape)

    # add_agent, from Python lists as a caller would hand them over.
    r_l, p_l, s_l = (bip(DIM).tolist() for _ in range(3))
    state = {"swarm": m.PyHoloSwarm(DIM), "n": 0}

    def ours_add():
        if state["n"] == 256:  # keep memory bounded while timing
            state["swarm"], state["n"] = m.PyHoloSwarm(DIM), 0
        state["swarm"].add_agent("scout", r_l, "explore", p_l, "climb", s_l)
        state["n"] += 1

    np_state = {"sv": np.zeros(DIM, dtype=F), "stored": []}
    k = shift("scout")
    r_a, p_a, s_a = (np.asarray(x, dtype=F) for x in (r_l, p_l, s_l))

    def numpy_add_lists():
        r, p, s = (np.asarray(x, dtype=F) for x in (r_l, p_l, s_l))
        np_state["sv"] += np.roll(r * (p * s), k)
        if len(np_state["stored"]) == 256:
            np_state["stored"].clear()
        np_state["stored"].append((r, p, s))

    def numpy_add_arrays():
        np_state["sv"] += np.roll(r_a * (p_a * s_a), k)

    yield Case("add_agent", "10,000", ours_add,
               {"numpy (from lists)": numpy_add_lists, "numpy (arrays ready)": numpy_add_arrays})

    # A swarm of 1,000 agents; numpy keeps the same vectors as matrices.
    roles, pols, skills = bip(AGENTS, DIM), bip(AGENTS, DIM), bip(AGENTS, DIM)
    names = [f"role{j}" for j in range(AGENTS)]
    swarm = m.PyHoloSwarm(DIM)
    for j in range(AGENTS):
        swarm.add_agent(names[j], roles[j], f"policy{j}", pols[j], f"skill{j}", skills[j])
    sv = np.asarray(swarm.swarm_vector, dtype=F)

    probe = roles[123].copy()
    probe[::3] *= -1
    probe_l = probe.tolist()
    yield Case("materialize", "1,000 agents x 10,000", lambda: swarm.materialize(probe_l, 0.6),
               {"numpy": lambda: numpy_materialize(roles, probe_l, 0.6, names)})

    key = names[42]
    guess = pols[42].copy()
    guess[::3] *= -1
    guess_l = guess.tolist()
    got = swarm.resonate(key, guess_l, [], 10)
    ref = numpy_resonate(sv, roles, pols, skills, names, key, guess_l, 10, False)
    assert got[1:3] == (f"policy{ref[1]}", f"skill{ref[0]}"), (got, ref)
    yield Case("resonate (max_iter 10)", "1,000 agents x 10,000", lambda: swarm.resonate(key, guess_l, [], 10),
               {"numpy, 10 iterations":
                lambda: numpy_resonate(sv, roles, pols, skills, names, key, guess_l, 10, False),
                "numpy, same replay":
                lambda: numpy_resonate(sv, roles, pols, skills, names, key, guess_l, 10, True)},
               note=f"recovers {got[1]}, {got[2]}")


if __name__ == "__main__":
    main(cases())
