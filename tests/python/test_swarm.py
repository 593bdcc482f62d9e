"""PyHoloSwarm: composition, materialize, the resonator, paradox traps, borrowing and threads."""
import math
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvelan_hdc as m
from _siphash import sip13

Swarm = m.PyHoloSwarm
f32 = np.float32
INF = float("inf")
NAN = float("nan")

# ---- an independent model ------------------------------------------------------------

MASK = (1 << 64) - 1


def shift(name, dim):
    return 0 if dim == 0 else sip13(name.encode() + b"\xff") % dim


def mul(a, b):
    return [f32(x) * f32(y) for x, y in zip(a, b)]


def rot(v, k):
    out = [None] * len(v)
    for i, x in enumerate(v):
        out[(i + k) % len(v)] = x
    return out


def score(a, b):
    d = f32(0.0)
    for x, y in zip(a, b):
        d = d + f32(x) * f32(y)
    return (d / f32(len(a)) + f32(1.0)) * f32(0.5)


class Model:
    """Plain lists, every iteration run."""

    def __init__(self, dim):
        self.dim, self.sv = dim, [f32(0.0)] * dim
        self.rn, self.rh, self.pn, self.ph, self.sn, self.sh = [], [], [], [], [], []

    def add(self, r, rv, p, pv, s, sv):
        agent = rot(mul(rv, mul(pv, sv)), shift(r, self.dim))
        for i in range(min(self.dim, len(agent), len(self.sv))):
            self.sv[i] = self.sv[i] + agent[i]
        for lst, x in zip((self.rn, self.rh, self.pn, self.ph, self.sn, self.sh), (r, rv, p, pv, s, sv)):
            lst.append(x)

    def trap(self, names, roles, keys):
        n = len(names)
        for i in range(n if n >= 2 else 0):
            nxt = (i + 1) % n
            self.add(names[i], roles[i], "PARADOX_LINK", keys[i], names[nxt], roles[nxt])

    @staticmethod
    def cleanup(v, book):
        idx, best = 0, f32(-2.0)
        for j, c in enumerate(book):
            s = score(v, c)
            if s > best:
                idx, best = j, s
        return idx, best

    def resonate(self, key, guess, max_iter):
        if not self.rn:
            return ("none", "none", "none", 0.0)
        u = rot(self.sv, (self.dim - shift(key, self.dim)) % self.dim if self.dim else 0)
        ridx = self.rn.index(key) if key in self.rn else 0
        r = self.rh[ridx] if key in self.rn else [0.0] * self.dim
        pidx = sidx = 0
        best = f32(0.0)
        p = guess
        for _ in range(max_iter):
            sidx, _ = self.cleanup(mul(u, mul(r, p)), self.sh)
            pidx, best = self.cleanup(mul(u, mul(r, self.sh[sidx])), self.ph)
            p = self.ph[pidx]
        return (self.rn[ridx], self.pn[pidx], self.sn[sidx], float(best))

    def materialize(self, probe, threshold):
        kept = [(n, float(score(probe, r))) for n, r in zip(self.rn, self.rh)]
        kept = [x for x in kept if x[1] > f32(threshold)]
        return sorted(kept, key=lambda x: -x[1])


def same(a, b):
    return len(a) == len(b) and all(x == y or (math.isnan(x) and math.isnan(y)) for x, y in zip(a, b))


def bipolar(rng, n):
    return [float(x) for x in rng.choice([-1.0, 1.0], n)]


def snapshot(s):
    probe = [1.0] * s.dim
    return (s.swarm_vector, s.materialize(probe, -INF), s.resonate("a", probe, [], 2))


# ---- registration ---------------------------------------------------------------------

DOC = ("HoloSwarm: An algebraic multi-agent coordination engine.\n"
       "Superimposes factorized agent capabilities (Role \u2297 Policy \u2297 Skill)\n"
       "into a single Hypervector and uses a Resonator Network to pull components.")

METHODS = [
    ("get_swarm_vector", "($self)",
     "Method alias for the `swarm_vector` property, matching the public docs\nand type stubs."),
    ("add_agent", "($self, role, r_hv, policy, p_hv, skill, s_hv)",
     "Add a factorized agent to the swarm: Role \u2297 Policy \u2297 Skill\n"
     "Uses ASS (Accumulative Spectral Synthesis) to preserve SNR across large swarms."),
    ("add_paradox_trap", "($self, names, roles, keys)", None),
    ("resonate", "($self, role_key, p_guess, _s_guess, max_iter)", None),
    ("materialize", "($self, probe, threshold)", None),
]


@pytest.mark.parametrize("name,sig,doc", METHODS)
def test_method_records(name, sig, doc):
    method = getattr(Swarm, name)
    assert method.__text_signature__ == sig
    assert method.__doc__ == doc


def test_class_record():
    assert Swarm.__doc__ == DOC
    assert Swarm.__text_signature__ == "(dim)"
    assert Swarm.__module__ == "builtins"
    assert sorted(n for n in dir(Swarm) if not n.startswith("_")) == sorted(
        [n for n, _, _ in METHODS] + ["dim", "swarm_vector"])
    with pytest.raises(TypeError):
        type("Sub", (Swarm,), {})


@pytest.mark.parametrize("args,kwargs,exc,msg", [
    ((), {}, TypeError, None),
    ((-1,), {}, OverflowError, None),
    ((2.0,), {}, TypeError, "argument 'dim': "),
    (("8",), {}, TypeError, "argument 'dim': "),
    ((1 << 64,), {}, OverflowError, None),
])
def test_constructor_arguments(args, kwargs, exc, msg):
    with pytest.raises(exc) as e:
        Swarm(*args, **kwargs)
    if msg:
        assert str(e.value).startswith(msg)


def test_dim_beyond_memory_is_memory_error():
    with pytest.raises(MemoryError):
        Swarm((1 << 64) - 1)


# ---- composition -------------------------------------------------------------------------


@pytest.mark.parametrize("dim", [0, 1, 7, 100])
def test_fresh_swarm(dim):
    s = Swarm(dim=dim)
    assert s.dim == dim
    assert s.swarm_vector == [0.0] * dim
    assert s.get_swarm_vector() == [0.0] * dim
    assert s.materialize([1.0] * dim, -INF) == []
    assert s.resonate("x", [1.0], [2.0], 5) == ("none", "none", "none", 0.0)


@pytest.mark.parametrize("name", ["a", "", "scout", "r\u00f4le \u2297", "0123456789abcdef-long"])
@pytest.mark.parametrize("dim", [1, 2, 13, 1000])
def test_one_bipolar_agent_is_the_rotated_binding(name, dim):
    rng = np.random.default_rng(dim)
    r, p, sk = bipolar(rng, dim), bipolar(rng, dim), bipolar(rng, dim)
    s = Swarm(dim)
    s.add_agent(name, r, "pol", p, "sk", sk)
    k = shift(name, dim)
    sv = s.swarm_vector
    assert all(sv[(i + k) % dim] == r[i] * p[i] * sk[i] for i in range(dim))


def test_swarm_vector_reads_are_fresh_lists():
    s = Swarm(4)
    a = s.swarm_vector
    b = s.get_swarm_vector()
    assert a == b and a is not b
    a[0] = 99.0
    assert s.swarm_vector == [0.0] * 4


@pytest.mark.parametrize("value,want", [
    ([0.3, -1.0], [0.30000001192092896, -1.0]),
    ((1, 2, 3, 4, 5, 6), [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]),
    (np.array([0.5, 2.0], dtype=np.float32), [0.5, 2.0]),
    ([], []),
])
def test_setter_accepts_any_length(value, want):
    s = Swarm(4)
    s.swarm_vector = value
    assert s.swarm_vector == want


def test_setter_then_add_agent_adds_over_the_shorter_length():
    rng = np.random.default_rng(3)
    dim = 16
    r, p, sk = bipolar(rng, dim), bipolar(rng, dim), bipolar(rng, dim)
    s = Swarm(dim)
    s.swarm_vector = [0.25, -3.0, 7.5]
    s.add_agent("r", r, "p", p, "s", sk)
    full = rot(mul(r, mul(p, sk)), shift("r", dim))
    assert s.swarm_vector == [float(f32(x) + y) for x, y in zip([0.25, -3.0, 7.5], full)]


@pytest.mark.parametrize("value,msg", [
    ("ab", "argument 'v': Can't extract `str` to `Vec`"),
    (5, "argument 'v': 'int' object cannot be converted to 'Sequence'"),
    ([1.0, "x"], "argument 'v': "),
])
def test_setter_conversion_failure_changes_nothing(value, msg):
    s = Swarm(3)
    s.add_agent("a", [1, 1, 1], "p", [1, -1, 1], "s", [1, 1, -1])
    before = snapshot(s)
    with pytest.raises(TypeError) as e:
        s.swarm_vector = value
    assert str(e.value).startswith(msg)
    assert snapshot(s) == before


def test_delete_swarm_vector_is_refused():
    s = Swarm(3)
    s.swarm_vector = [1.0, 2.0]
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del s.swarm_vector
    assert s.swarm_vector == [1.0, 2.0]
    with pytest.raises(AttributeError):
        s.dim = 4


@pytest.mark.parametrize("pos,bad,msg", [
    (0, 1, "argument 'role': 'int' object cannot be converted to 'PyString'"),
    (1, "ab", "argument 'r_hv': Can't extract `str` to `Vec`"),
    (2, None, "argument 'policy': 'NoneType' object cannot be converted to 'PyString'"),
    (3, {1: 2}, "argument 'p_hv': 'dict' object cannot be converted to 'Sequence'"),
    (4, b"x", "argument 'skill': 'bytes' object cannot be converted to 'PyString'"),
    (5, [1.0, object()], "argument 's_hv': "),
])
def test_add_agent_conversion_failures_change_nothing(pos, bad, msg):
    s = Swarm(3)
    s.add_agent("a", [1, 1, 1], "p", [1, -1, 1], "s", [1, 1, -1])
    before = snapshot(s)
    args = ["b", [1, 1, 1], "q", [1, 1, 1], "t", [1, 1, 1]]
    args[pos] = bad
    with pytest.raises(TypeError) as e:
        s.add_agent(*args)
    assert str(e.value).startswith(msg)
    assert snapshot(s) == before


def test_dim_zero_never_fails():
    s = Swarm(0)
    s.add_agent("a", [1.0, -1.0], "p", [1.0, 1.0], "s", [1.0, -1.0])
    s.add_paradox_trap(["x", "y"], [[1.0], [-1.0]], [[1.0], [1.0]])
    s.swarm_vector = [5.0, 5.0]
    s.add_agent("a", [1.0, -1.0], "p", [1.0, 1.0], "s", [1.0, -1.0])
    assert s.swarm_vector == [5.0, 5.0]
    assert s.resonate("a", [1.0, 1.0], [], 3)[0] == "a"
    assert len(s.materialize([1.0, 1.0], -1.0)) == 4


# ---- materialize -------------------------------------------------------------------------


@pytest.fixture()
def three():
    s = Swarm(4)
    a, b, c = [1, 1, 1, 1], [1, -1, 1, -1], [-1, -1, -1, -1]
    s.add_agent("a", a, "p", c, "s", c)   # policies and skills equal to the probe play no part
    s.add_agent("b", b, "p", a, "s", a)
    s.add_agent("c", c, "p", a, "s", a)
    return s


@pytest.mark.parametrize("threshold,want", [
    (0.25, [("a", 1.0), ("b", 0.5)]),
    (1.0, []),
    (NAN, []),
    (-0.001, [("a", 1.0), ("b", 0.5), ("c", 0.0)]),
    (0, [("a", 1.0), ("b", 0.5)]),
    (0.5, [("a", 1.0)]),
    (-INF, [("a", 1.0), ("b", 0.5), ("c", 0.0)]),
])
def test_materialize_thresholds(three, threshold, want):
    assert three.materialize([1, 1, 1, 1], threshold) == want


def test_materialize_empty_probe_and_probe_length(three):
    assert three.materialize([], -INF) == []
    s = Swarm(4)
    s.add_agent("short", [1, 1], "p", [1], "s", [1])
    s.add_agent("long", [1] * 6, "p", [1], "s", [1])
    assert s.materialize([1, 1, 1, 1], -1) == [("long", 1.0), ("short", 0.75)]


def test_materialize_equal_scores_keep_agent_order_and_duplicates():
    rng = np.random.default_rng(5)
    probe = bipolar(rng, 64)
    s = Swarm(64)
    names = []
    for j in range(20):
        name = "dup" if j % 4 == 0 else f"r{j}"
        s.add_agent(name, probe if j % 3 == 0 else bipolar(rng, 64), "p", probe, "s", probe)
        if j % 3 == 0:
            names.append(name)
    assert s.materialize(probe, 0.9) == [(n, 1.0) for n in names]
    everything = s.materialize(probe, -0.5)
    assert len(everything) == 20 and sum(1 for n, _ in everything if n == "dup") == 5
    assert [x for _, x in everything] == sorted((x for _, x in everything), reverse=True)


def test_materialize_argument_errors(three):
    with pytest.raises(TypeError, match="^argument 'probe': Can't extract `str` to `Vec`$"):
        three.materialize("abcd", 0.5)
    with pytest.raises(TypeError, match="^argument 'threshold': "):
        three.materialize([1, 1, 1, 1], "0.5")


# ---- resonate ----------------------------------------------------------------------------


@pytest.mark.parametrize("dim", [1, 2, 64, 1000])
@pytest.mark.parametrize("iters", [1, 3])
def test_resonate_single_agent(dim, iters):
    rng = np.random.default_rng(dim + iters)
    r, p, sk = bipolar(rng, dim), bipolar(rng, dim), bipolar(rng, dim)
    s = Swarm(dim)
    s.add_agent("navigator", r, "greedy", p, "route", sk)
    assert s.resonate("navigator", p, [0.5] * 3, iters) == ("navigator", "greedy", "route", 1.0)


@pytest.fixture()
def five():
    rng = np.random.default_rng(11)
    s = Swarm(128)
    for j in range(5):
        s.add_agent(f"role{j}", bipolar(rng, 128), f"pol{j}", bipolar(rng, 128), f"skill{j}", bipolar(rng, 128))
    return s


@pytest.mark.parametrize("key,iters,want", [
    ("nobody", 1, ("role0", "pol0", "skill0", 0.5)),
    ("nobody", 4, ("role0", "pol0", "skill0", 0.5)),
    ("role3", 0, ("role3", "pol0", "skill0", 0.0)),
    ("nobody", 0, ("role0", "pol0", "skill0", 0.0)),
])
def test_resonate_fixed_answers(five, key, iters, want):
    assert five.resonate(key, [1.0] * 128, [], iters) == want


def test_resonate_recovers_names_from_a_swarm():
    rng = np.random.default_rng(25)
    dim = 2048
    s = Swarm(dim)
    pols = [bipolar(rng, dim) for _ in range(6)]
    for j in range(6):
        s.add_agent(f"role{j}", bipolar(rng, dim), f"policy{j}", pols[j], f"skill{j}", bipolar(rng, dim))
    for j in range(6):
        guess = [-x if i % 3 == 0 else x for i, x in enumerate(pols[j])]
        role, policy, skill, sc = s.resonate(f"role{j}", guess, [], 5)
        assert (role, policy, skill) == (f"role{j}", f"policy{j}", f"skill{j}")
        assert sc > 0.6


def test_resonate_huge_max_iter_returns():
    rng = np.random.default_rng(2)
    s = Swarm(256)
    for j in range(4):
        s.add_agent(f"r{j}", bipolar(rng, 256), f"p{j}", bipolar(rng, 256), f"s{j}", bipolar(rng, 256))
    assert s.resonate("r1", [1.0] * 256, [], (1 << 64) - 1) == s.resonate("r1", [1.0] * 256, [], 40)


@pytest.mark.parametrize("pos,bad,exc,msg", [
    (0, 3, TypeError, "argument 'role_key': "),
    (1, "ab", TypeError, "argument 'p_guess': Can't extract `str` to `Vec`"),
    (2, "ab", TypeError, "argument '_s_guess': Can't extract `str` to `Vec`"),
    (2, 7, TypeError, "argument '_s_guess': 'int' object cannot be converted to 'Sequence'"),
    (3, -1, OverflowError, ""),
    (3, 1.5, TypeError, "argument 'max_iter': "),
])
def test_resonate_argument_errors(five, pos, bad, exc, msg):
    args = ["role1", [1.0] * 128, [1.0], 2]
    args[pos] = bad
    with pytest.raises(exc) as e:
        five.resonate(*args)
    assert str(e.value).startswith(msg)


def test_resonate_empty_guess_picks_skill_zero():
    rng = np.random.default_rng(24)
    s = Swarm(256)
    for j in range(3):
        s.add_agent(f"r{j}", bipolar(rng, 256), f"p{j}", bipolar(rng, 256), f"s{j}", bipolar(rng, 256))
    role, policy, skill, sc = s.resonate("r0", [], [], 1)
    assert (role, skill, policy) == ("r0", "s0", "p0") and sc > 0.6


# ---- paradox traps ---------------------------------------------------------------------------


def test_paradox_trap_adds_the_cycle():
    rng = np.random.default_rng(6)
    dim = 32
    roles = [bipolar(rng, dim) for _ in range(4)]
    keys = [bipolar(rng, dim) for _ in range(3)]
    s = Swarm(dim)
    s.add_paradox_trap(("a", "b", "c"), roles, keys)   # the fourth role is ignored
    model = Model(dim)
    model.trap(["a", "b", "c"], roles, keys)
    assert s.swarm_vector == [float(x) for x in model.sv]
    assert s.materialize(roles[1], 0.99) == [("b", 1.0)]
    # Agent i is (name i, role i, PARADOX_LINK, key i, name i+1, role i+1).
    assert s.resonate("a", keys[0], [], 0) == ("a", "PARADOX_LINK", "b", 0.0)
    assert s.resonate("c", keys[2], [], 3) == model.resonate("c", keys[2], 3)


@pytest.mark.parametrize("names", [[], ["solo"]])
def test_paradox_trap_needs_two_names(names):
    s = Swarm(4)
    s.add_paradox_trap(names, [], [])
    assert s.swarm_vector == [0.0] * 4 and s.materialize([1] * 4, -INF) == []


@pytest.mark.parametrize("roles,keys,msg", [
    (2, 3, "argument 'roles': expected at least 3 vectors (one per name), got 2"),
    (3, 0, "argument 'keys': expected at least 3 vectors (one per name), got 0"),
])
def test_paradox_trap_short_arguments_change_nothing(roles, keys, msg):
    s = Swarm(4)
    s.add_agent("a", [1, 1, 1, 1], "p", [1, -1, 1, -1], "s", [1, 1, -1, -1])
    before = snapshot(s)
    v = [[1.0, -1.0, 1.0, 1.0]] * 3
    with pytest.raises(ValueError) as e:
        s.add_paradox_trap(["x", "y", "z"], v[:roles], v[:keys])
    assert str(e.value) == msg
    assert snapshot(s) == before


@pytest.mark.parametrize("args,msg", [
    (("abc", [], []), "argument 'names': Can't extract `str` to `Vec`"),
    ((["a", 1], [], []), "argument 'names': 'int' object cannot be converted to 'PyString'"),
    ((["a", "b"], "ab", []), "argument 'roles': Can't extract `str` to `Vec`"),
    ((["a", "b"], [[1.0], [1.0]], [[1.0], "x"]), "argument 'keys': Can't extract `str` to `Vec`"),
])
def test_paradox_trap_conversion_failures(args, msg):
    s = Swarm(2)
    before = snapshot(s)
    with pytest.raises(TypeError) as e:
        s.add_paradox_trap(*args)
    assert str(e.value) == msg
    assert snapshot(s) == before


# ---- borrowing and threads -------------------------------------------------------------------


class Calls:
    """A float whose conversion first calls back into the swarm."""

    def __init__(self, fn):
        self.fn = fn

    def __float__(self):
        self.fn()
        return 1.0


def test_reentrant_read_during_add_agent_is_refused():
    s = Swarm(2)
    before = snapshot(s)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        s.add_agent("a", [Calls(lambda: s.swarm_vector), 1.0], "p", [1, 1], "s", [1, 1])
    assert snapshot(s) == before


def test_reentrant_write_during_resonate_is_refused():
    s = Swarm(2)
    s.add_agent("a", [1, 1], "p", [1, 1], "s", [1, 1])
    before = snapshot(s)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        s.resonate("a", [Calls(lambda: s.add_agent("b", [1], "p", [1], "s", [1])), 1.0], [], 1)
    assert snapshot(s) == before
    # Two readers at once are fine.
    assert s.resonate("a", [Calls(lambda: s.materialize([1, 1], 0.0)), 1.0], [], 1) == ("a", "p", "s", 1.0)


def test_setter_converts_before_borrowing():
    s = Swarm(2)
    seen = []
    s.swarm_vector = [Calls(lambda: seen.append(s.swarm_vector)), 2.0]
    assert seen == [[0.0, 0.0]] and s.swarm_vector == [1.0, 2.0]


def test_use_from_several_threads_at_once():
    dim, per_thread, workers = 64, 25, 4
    s = Swarm(dim)
    rng = np.random.default_rng(9)
    vecs = [bipolar(rng, dim) for _ in range(3)]
    barrier = threading.Barrier(workers)

    def work(t):
        barrier.wait()
        out = []
        for j in range(per_thread):
            s.add_agent(f"t{t}", vecs[0], f"p{t}", vecs[1], "s", vecs[2])
            out.append(s.resonate(f"t{t}", vecs[1], [], 1)[:3])
            s.materialize(vecs[0], 0.5)
        return out

    with ThreadPoolExecutor(workers) as pool:
        results = list(pool.map(work, range(workers)))
    assert len(s.materialize(vecs[0], -INF)) == workers * per_thread
    assert all(r[0] == f"t{t}" for t, rs in enumerate(results) for r in rs)
    # Every agent was added with the same vectors: the swarm vector is a sum of equal bindings per role.
    model = Model(dim)
    for t in range(workers):
        for _ in range(per_thread):
            model.add(f"t{t}", vecs[0], f"p{t}", vecs[1], "s", vecs[2])
    assert s.swarm_vector == [float(x) for x in model.sv]


def test_created_on_one_thread_used_and_dropped_on_others():
    box = {}
    t = threading.Thread(target=lambda: box.update(s=Swarm(8)))
    t.start()
    t.join()
    s = box.pop("s")
    s.add_agent("a", [1] * 8, "p", [1] * 8, "s", [1] * 8)
    assert s.resonate("a", [1] * 8, [], 1) == ("a", "p", "s", 1.0)
    errors = []
    old = sys.unraisablehook
    sys.unraisablehook = errors.append
    try:
        holder = [s]
        del s
        dropper = threading.Thread(target=holder.clear)   # the last reference goes away there
        dropper.start()
        dropper.join()
    finally:
        sys.unraisablehook = old
    assert errors == []


# ---- the model on random small swarms ------------------------------------------------------------

VALUES = [1.0, -1.0, 0.5, -2.0, 0.0, 3.25, 0.1, 1e20, 1e-20, INF, NAN]
names_st = st.sampled_from(["a", "b", "c", ""])


@st.composite
def swarms(draw):
    dim = draw(st.integers(0, 6))

    def vec():
        n = draw(st.one_of(st.just(dim), st.integers(0, dim + 2)))
        return draw(st.lists(st.sampled_from(VALUES), min_size=n, max_size=n))

    ops = []
    for _ in range(draw(st.integers(0, 5))):
        kind = draw(st.sampled_from(["agent", "agent", "agent", "trap", "set"]))
        if kind == "agent":
            ops.append(("agent", draw(names_st), vec(), vec(), vec()))
        elif kind == "trap":
            n = draw(st.integers(0, 3))
            ops.append(("trap", [draw(names_st) for _ in range(n)], [vec() for _ in range(n)],
                        [vec() for _ in range(n)]))
        else:
            ops.append(("set", vec()))
    queries = [(draw(st.sampled_from(["a", "b", "c", "", "zz"])), vec(), draw(st.integers(0, 8)))
               for _ in range(2)]
    return dim, ops, queries


@settings(max_examples=120, deadline=None)
@given(swarms())
def test_resonate_matches_the_model(case):
    dim, ops, queries = case
    s, model = Swarm(dim), Model(dim)
    with np.errstate(all="ignore"):
        for j, op in enumerate(ops):
            if op[0] == "agent":
                _, r, rv, pv, sv = op
                s.add_agent(r, rv, f"p{j}", pv, f"s{j}", sv)
                model.add(r, rv, f"p{j}", pv, f"s{j}", sv)
            elif op[0] == "trap":
                s.add_paradox_trap(*op[1:])
                model.trap(*op[1:])
            else:
                s.swarm_vector = op[1]
                model.sv = [f32(x) for x in op[1]]
        assert same(s.swarm_vector, [float(x) for x in model.sv])
        for key, guess, iters in queries:
            assert s.resonate(key, guess, [], iters) == model.resonate(key, guess, iters)
        probe = queries[0][1]
        assert s.materialize(probe, 0.25) == model.materialize(probe, 0.25)


# ---- the stub --------------------------------------------------------------------------------------


def test_stub_matches_the_class():
    import ast
    import inspect
    import pathlib

    path = pathlib.Path(__file__).resolve().parents[2] / "morvelan_hdc.pyi"
    if not path.exists():
        pytest.skip("no stub beside the sources")
    tree = ast.parse(path.read_text(encoding="utf-8"))
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "PyHoloSwarm")
    stub = {}
    for f in cls.body:
        if isinstance(f, ast.FunctionDef) and f.name != "__new__" and not any(
                isinstance(d, ast.Attribute) and d.attr == "setter" for d in f.decorator_list):
            stub[f.name] = [a.arg for a in f.args.args]
    runtime = {n: getattr(Swarm, n) for n in dir(Swarm) if not n.startswith("_")}
    assert sorted(stub) == sorted(runtime)
    for name, params in stub.items():
        if isinstance(runtime[name], property) or type(runtime[name]).__name__ == "getset_descriptor":
            assert params == ["self"]
        else:
            assert params == list(inspect.signature(runtime[name]).parameters), name
