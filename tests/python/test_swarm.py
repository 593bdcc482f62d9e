# PyHoloSwarm against its model, bit for bit after every call: random call sequences and boundary rows.
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
from models import Swarm, a32, exact, same
from support import bipolar

INF, NAN, TOP = math.inf, math.nan, 2**64 - 1
ODD = [1.0, -1.0, 0.5, -2.0, 0.0, -0.0, 3.0, 1e20, 1e-20, INF, NAN]
NAMES = st.sampled_from(["a", "b", "", "r\u00f4le"])


def run(dim, ops):
    s, model = m.PyHoloSwarm(dim), Swarm(dim)
    with np.errstate(all="ignore"):
        for name, *args in ops:
            if name == "swarm_vector":
                s.swarm_vector, model.swarm_vector = args[0], a32(args[0])
            else:
                same(s, model, name, *args)
            probe = [1.0] * (dim + 1)  # scores every agent, also at dim 0
            assert exact([s.dim, s.swarm_vector, s.get_swarm_vector(), s.materialize(probe, -INF)]) == exact(
                [dim, model.swarm_vector, model.swarm_vector, model.materialize(probe, -INF)])
    return s


@st.composite
def sessions(draw):
    dim = draw(st.sampled_from([0, 1, 2, 3, 5, 8, 33]))

    def vec(names=None):  # one vector, or about one per name
        if names is not None:
            return [vec() for _ in range(draw(st.integers(len(names) - 1, len(names) + 1)))]
        n = draw(st.one_of(st.just(dim), st.integers(0, dim + 2)))
        return draw(st.lists(st.sampled_from(draw(st.sampled_from([[1.0, -1.0], ODD]))), min_size=n, max_size=n))

    add = lambda j: ("add_agent", draw(NAMES), vec(), f"p{j}", vec(), f"s{j}", vec())  # noqa: E731
    kinds = [add, add, lambda j: ("swarm_vector", vec()),
             lambda j: ("add_paradox_trap", (ns := draw(st.lists(NAMES, max_size=3))), vec(ns), vec(ns)),
             lambda j: ("materialize", vec(), draw(st.sampled_from([-INF, 0.0, 0.5, 0.7499999999, NAN]))),
             lambda j: ("resonate", draw(NAMES), vec(), [], draw(st.integers(0, 6) | st.sampled_from([2**40, TOP])))]
    return dim, [draw(st.sampled_from(kinds))(j) for j in range(draw(st.integers(1, 8)))]


@settings(max_examples=60, deadline=None)
@given(sessions())
def test_random_sessions_match_the_model(case):
    run(*case)


def agent(role, n, seed, policy="p", skill="s"):
    return ("add_agent", role, bipolar(n, seed), policy, bipolar(n, seed + 1), skill, bipolar(n, seed + 2))


H = float.fromhex  # magnitudes that overflow in one product grouping and not the other
GUESS, ONES, BIG, TINY = [1.0, H("0x1.93e594p+99")], [1.0] * 4, H("0x1.5af1d8p+66"), H("0x1.79ca1p-67")
ROWS = {
    **{f"rotate-{d}-{n}": (d, [agent(c, n, 7) for c in "abcdefghijkl"] + [("resonate", "c", bipolar(n, 8), [], 3)])
       for d in (1, 2, 5, 7) for n in range(d + 2)},  # every shift against every binding length
    "dim-0": (0, [agent("a", 2, 1), ("add_paradox_trap", ["x", "y"], [[1], [-1]], [[1], [1]]), ("swarm_vector", [5, 5]),
                  agent("a", 2, 1), ("resonate", "a", ONES, [], 3), ("resonate", "z", ONES, [], 1)]),
    "short-swarm-vector": (5, [agent(c, 5, i) for i, c in enumerate("abc")] + [("swarm_vector", [1.0, -2.0, 3.0])]
                           + [("resonate", c, bipolar(5, 9), [], 2) for c in "abc"]),
    "empty-then-threshold-f32": (4, [("resonate", "x", [1.0], [2.0], 5), ("resonate", "x", [], [], TOP),
                                     ("add_agent", "r", [1.0, 1.0, 1.0, -1.0], "p", ONES, "s", ONES)]
                                 + [("materialize", ONES, t) for t in (0.7499, 0.7499999999, 0.75)]),
    "first-duplicate": (16, [agent("r", 16, 3, "1st", "s1"), agent("r", 16, 3, "2nd", "s2"), agent("r", 16, 9, "3rd"),
                             ("materialize", bipolar(16, 3), 0.9), ("resonate", "r", bipolar(16, 4), [], 2)]),
    "paradox": (4, [agent("a", 4, 2)] + [("add_paradox_trap", list(names), [ONES] * r, [ONES] * k)
                                         for names, r, k in [("xyz", 2, 3), ("xyz", 3, 0), ("aa", 4, 4), ("s", 0, 0)]]),
    "two-step-cycle": (2, [
        ("add_agent", "a", [-2.0, BIG], "p0", [0.3, GUESS[1]], "s0", [-BIG] * 2),
        ("add_agent", "b", [TINY] * 2, "p1", [3.0, 1.0], "s1", [-2.0, 1.0]),
        ("swarm_vector", [TINY, GUESS[1]])] + [("resonate", "a", GUESS, [], t) for t in range(13)]),
}


@pytest.mark.parametrize("dim,ops", ROWS.values(), ids=ROWS.keys())
def test_boundaries(dim, ops):
    s = run(dim, ops)
    # the policy alternates for ever: a huge count replays the cycle at the right phase
    if ops is ROWS["two-step-cycle"][1]:
        assert [s.resonate("a", GUESS, [], t)[1] for t in (11, 12, TOP - 1, TOP, 2**40)] == "p1 p0 p0 p1 p0".split()
