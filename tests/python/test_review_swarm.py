"""Review of PyHoloSwarm against a literal float32 transcription of composition,
materialize, the resonator (every iteration run) and paradox traps, on swarms
large enough to reach the lane-interleaved and sign-bit scans (dims past 32,
dozens of agents, bipolar codebooks with the odd general vector)."""
import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
from _siphash import sip13

F = np.float32
M64 = (1 << 64) - 1


def shift(name, dim):
    return sip13(name.encode() + b"\xff") % dim if dim else 0


def arr(v):
    return np.asarray(v, F)


def rotate(v, k):
    """Entry i moves to (i + k) mod len(v)."""
    out = np.empty_like(v)
    for i in range(len(v)):
        out[(i + k) % len(v)] = v[i]
    return out


def odot(x, y):
    n = min(len(x), len(y))
    return x[:n] * y[:n]


def score(v, c):
    """(index-order dot over the common prefix / len(v) + 1) * 0.5, all float32."""
    p = odot(v, c)
    d = np.add.accumulate(np.concatenate([np.zeros(1, F), p]), dtype=F)[-1]
    return (F(d / F(len(v))) + F(1.0)) * F(0.5)


class Model:
    def __init__(self, dim):
        self.dim = dim
        self.sv = np.zeros(dim, F)
        self.rn, self.rh, self.pn, self.ph, self.sn, self.sh = [], [], [], [], [], []

    def add(self, role, r, policy, p, skill, s):
        agent = odot(arr(r), odot(arr(p), arr(s)))
        if len(agent):
            agent = rotate(agent, shift(role, self.dim))
        n = min(self.dim, len(agent), len(self.sv))
        self.sv[:n] = self.sv[:n] + agent[:n]
        for lst, x in zip((self.rn, self.rh, self.pn, self.ph, self.sn, self.sh),
                          (role, arr(r), policy, arr(p), skill, arr(s))):
            lst.append(x)

    def trap(self, names, roles, keys):
        n = len(names)
        if n < 2:
            return
        for i in range(n):
            nxt = (i + 1) % n
            self.add(names[i], roles[i], "PARADOX_LINK", keys[i], names[nxt], roles[nxt])

    @staticmethod
    def cleanup(v, book):
        idx, best = 0, F(-2.0)
        for j, c in enumerate(book):
            s = score(v, c)
            if s > best:
                idx, best = j, s
        return idx, best

    def resonate(self, key, guess, max_iter):
        if not self.rn:
            return ("none", "none", "none", 0.0)
        k = shift(key, self.dim)
        inv = (self.dim - k) % self.dim if self.dim else 0
        u = rotate(self.sv, inv % len(self.sv)) if len(self.sv) else self.sv
        if key in self.rn:
            ridx = self.rn.index(key)
            r = self.rh[ridx]
        else:
            ridx, r = 0, np.zeros(self.dim, F)
        if max_iter == 0:
            return (self.rn[ridx], self.pn[0], self.sn[0], 0.0)
        p = arr(guess)
        for _ in range(max_iter):
            sidx, _ = self.cleanup(odot(u, odot(r, p)), self.sh)
            pidx, best = self.cleanup(odot(u, odot(r, self.sh[sidx])), self.ph)
            p = self.ph[pidx]
        return (self.rn[ridx], self.pn[pidx], self.sn[sidx], float(best))

    def materialize(self, probe, threshold):
        t = F(threshold)
        kept = [(n, score(arr(probe), r)) for n, r in zip(self.rn, self.rh)]
        kept = [(n, float(s)) for n, s in kept if s > t]
        return sorted(kept, key=lambda x: -x[1])


def same_vec(a, b):
    return len(a) == len(b) and all(
        (math.isnan(x) and math.isnan(y)) or struct.pack("<f", x) == struct.pack("<f", y)
        for x, y in zip(a, b))


def same_result(got, want):
    return got[:3] == want[:3] and (got[3] == want[3] or (math.isnan(got[3]) and math.isnan(want[3])))


ODD = [0.5, -2.0, 0.0, -0.0, 3.0, float("inf"), float("nan"), 1e20]


@st.composite
def big_swarms(draw):
    dim = draw(st.sampled_from([1, 31, 32, 33, 40, 64, 70]))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    names = ["a", "b", "c", "d", "", "é", "role-x"]

    def vec(general_rate):
        n = dim if rng.random() < 0.85 else int(rng.integers(0, dim + 3))
        v = rng.choice([-1.0, 1.0], n)
        if n and rng.random() < general_rate:
            v[int(rng.integers(0, n))] = ODD[int(rng.integers(0, len(ODD)))]
        return [float(x) for x in v]

    general = draw(st.sampled_from([0.0, 0.05, 0.3]))
    ops = []
    for j in range(draw(st.integers(1, 45))):
        if rng.random() < 0.1:
            n = int(rng.integers(0, 4))
            ops.append(("trap", [names[int(rng.integers(0, len(names)))] for _ in range(n)],
                        [vec(general) for _ in range(n)], [vec(general) for _ in range(n)]))
        else:
            ops.append(("agent", names[int(rng.integers(0, len(names)))], vec(general), f"p{j}",
                        vec(general), f"s{j}", vec(general)))
    if rng.random() < 0.15:
        ops.append(("set", vec(general)))
    return dim, ops, rng


@settings(max_examples=80, deadline=None)
@given(big_swarms())
def test_large_swarms_match_the_literal_model(case):
    dim, ops, rng = case
    s, model = m.PyHoloSwarm(dim), Model(dim)
    with np.errstate(all="ignore"):
        for op in ops:
            if op[0] == "agent":
                s.add_agent(*op[1:])
                model.add(*op[1:])
            elif op[0] == "trap":
                s.add_paradox_trap(*op[1:])
                model.trap(*op[1:])
            else:
                s.swarm_vector = op[1]
                model.sv = arr(op[1])
        assert same_vec(s.swarm_vector, [float(x) for x in model.sv])
        assert s.get_swarm_vector() == s.swarm_vector or same_vec(s.get_swarm_vector(), s.swarm_vector)
        for _ in range(3):
            key = model.rn[int(rng.integers(0, len(model.rn)))] if model.rn and rng.random() < 0.8 else "zz"
            if model.ph and rng.random() < 0.7:
                guess = [float(x) for x in model.ph[int(rng.integers(0, len(model.ph)))]]
                for _ in range(int(rng.integers(0, 5))):
                    if guess:
                        i = int(rng.integers(0, len(guess)))
                        guess[i] = -guess[i]
            else:
                guess = [float(x) for x in rng.choice([-1.0, 1.0], dim)]
            iters = int(rng.integers(0, 7))
            assert same_result(s.resonate(key, guess, [], iters), model.resonate(key, guess, iters))
        probe = [float(x) for x in (model.rh[0] if model.rh and rng.random() < 0.5
                                     else rng.choice([-1.0, 1.0], dim))]
        for t in (-math.inf, 0.4, 0.5, 0.55):
            assert s.materialize(probe, t) == model.materialize(probe, t)


def test_threshold_is_compared_as_a_32_bit_float():
    s = m.PyHoloSwarm(4)
    s.add_agent("r", [1.0, 1.0, 1.0, -1.0], "p", [1.0] * 4, "s", [1.0] * 4)
    probe = [1.0, 1.0, 1.0, 1.0]                      # scores (2/4 + 1) * 0.5 = 0.75
    assert s.materialize(probe, 0.7499) == [("r", 0.75)]
    assert s.materialize(probe, 0.7499999999) == []   # rounds to 0.75 in 32 bits: not above it
    assert s.materialize(probe, 0.75) == []
    assert s.materialize(probe, float("nan")) == []


def test_materialize_scores_divide_by_the_probe_length_and_sort_stably():
    s = m.PyHoloSwarm(8)
    s.add_agent("short", [1.0, 1.0], "p", [1.0] * 8, "s", [1.0] * 8)   # dot 2 over probe length 8
    s.add_agent("x", [1.0] * 8, "p", [1.0] * 8, "s", [1.0] * 8)
    s.add_agent("y", [1.0] * 4 + [-1.0] * 4, "p", [1.0] * 8, "s", [1.0] * 8)
    s.add_agent("x", [1.0] * 8, "p", [1.0] * 8, "s", [1.0] * 8)
    got = s.materialize([1.0] * 8, -1.0)
    assert got == [("x", 1.0), ("x", 1.0), ("short", 0.625), ("y", 0.5)]


def test_resonate_converts_every_argument_before_anything_else():
    s = m.PyHoloSwarm(4)
    # An empty swarm still converts all four arguments, the unused one included.
    for args, name in [((1, [1.0], [1.0], 1), "role_key"), (("a", 1, [1.0], 1), "p_guess"),
                       (("a", [1.0], "xy", 1), "_s_guess"), (("a", [1.0], [1.0], 1.0), "max_iter")]:
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            s.resonate(*args)
    with pytest.raises(OverflowError):
        s.resonate("a", [1.0], [1.0], -1)
    assert s.resonate("a", [], [], 2**64 - 1) == ("none", "none", "none", 0.0)
    assert s.resonate(role_key="a", p_guess=[], _s_guess=(), max_iter=0) == ("none", "none", "none", 0.0)


def test_resonate_all_nan_cleanups_report_the_floor_score():
    # An empty guess makes every skill match NaN (0 / 0): skill 0 wins and the policy
    # step proceeds; a swarm vector of length 0 makes the policy matches NaN too, so
    # the policy cleanup keeps index 0 and its starting best of -2.0.
    s = m.PyHoloSwarm(4)
    s.add_agent("r", [1.0, -1.0, 1.0, 1.0], "p0", [1.0] * 4, "s0", [1.0] * 4)
    s.add_agent("q", [1.0] * 4, "p1", [-1.0] * 4, "s1", [-1.0] * 4)
    s.swarm_vector = []
    assert s.resonate("q", [1.0] * 4, [], 3) == ("q", "p0", "s0", -2.0)


def test_resonate_reads_names_by_position_and_the_first_duplicate_wins():
    d = 16
    rng = np.random.default_rng(5)
    r, p, sk = ([float(x) for x in rng.choice([-1.0, 1.0], d)] for _ in range(3))
    s = m.PyHoloSwarm(d)
    s.add_agent("role", r, "first", p, "skill-a", sk)
    s.add_agent("role", r, "second", p, "skill-b", sk)   # same vectors: index 0 keeps winning
    assert s.resonate("role", p, [], 2)[:3] == ("role", "first", "skill-a")


def test_paradox_trap_extra_entries_are_ignored_and_names_may_repeat():
    d = 8
    rng = np.random.default_rng(9)
    vs = [[float(x) for x in rng.choice([-1.0, 1.0], d)] for _ in range(6)]
    s, model = m.PyHoloSwarm(d), Model(d)
    s.add_paradox_trap(("a", "a"), vs[:4], vs[2:6])
    model.trap(["a", "a"], vs[:2], vs[2:4])
    assert same_vec(s.swarm_vector, [float(x) for x in model.sv])
    assert s.materialize(vs[0], -1.0)[0] == ("a", 1.0)
    assert s.resonate("a", vs[2], [], 1)[1] == "PARADOX_LINK"


def test_a_failed_paradox_trap_adds_nothing():
    s = m.PyHoloSwarm(4)
    s.add_agent("r", [1.0] * 4, "p", [1.0] * 4, "s", [1.0] * 4)
    before = (s.swarm_vector, s.materialize([1.0] * 4, -1.0), s.resonate("r", [1.0] * 4, [], 1))
    for args in [(["a", "b", "c"], [[1.0]] * 3, [[1.0]] * 2),
                 (["a", "b"], [[1.0]], [[1.0]] * 2),
                 (["a", 3], [[1.0]] * 2, [[1.0]] * 2),
                 (["a", "b"], [[1.0], "x"], [[1.0]] * 2)]:
        with pytest.raises((ValueError, TypeError)):
            s.add_paradox_trap(*args)
        assert (s.swarm_vector, s.materialize([1.0] * 4, -1.0), s.resonate("r", [1.0] * 4, [], 1)) == before
