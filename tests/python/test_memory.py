"""Associative memories: PyHKVC, PyCausalMemory, PyMultiHopReasoner.

Behaviour tests, then random operation sequences compared with short pure-Python
models of each class. The models compute in 32-bit floats (numpy.float32 scalars,
one rounding per operation, sums in index order) and take cosines and sines from
the platform's single-precision cosf/sinf, as the module does.
"""
import ctypes
import ctypes.util
import math
import struct
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
from _siphash import sip13

F = np.float32
# The models divide by zero dimensions and lengths on purpose (NaN scores).
pytestmark = pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning",
                                        "ignore:divide by zero encountered:RuntimeWarning")
NAN = float("nan")
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("cosf", "sinf", "sqrtf"):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float]


def cosf(x):
    return F(_libm.cosf(float(x)))


def sinf(x):
    return F(_libm.sinf(float(x)))


def bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def same(a, b):
    """Bit-identical as 32-bit floats (lists compared element by element)."""
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return bits(a) == bits(b)


# ---- the deterministic encoders, in Python --------------------------------

M64 = (1 << 64) - 1


def _rotl(x, b):
    return ((x << b) | (x >> (64 - b))) & M64


def u64_to_f32(h):
    """Round an unsigned 64-bit integer to the nearest float32 (ties to even), in one step."""
    if h < 1 << 24:
        return F(h)
    shift = h.bit_length() - 24
    q, rem, half = h >> shift, h & ((1 << shift) - 1), 1 << (shift - 1)
    if rem > half or (rem == half and q & 1):
        q += 1
    return F(float(q << shift))


def hash_to_phase(h):
    t = u64_to_f32(h) * F(2.0 ** -64)
    t = t + t
    return t * F(3.1415927)


def le8(i):
    return i.to_bytes(8, "little")


def encode_phases(s, dim):
    b = s.encode()
    return [hash_to_phase(sip13(le8(len(b)) + b + le8(i))) for i in range(dim)]


def string_hash(s):
    return sip13(s.encode() + b"\xff")


def make_role(dim, name):
    b = name.encode()
    x, out = sip13(le8(len(b)) + b), []
    for _ in range(dim):
        x ^= (x << 13) & M64; x ^= x >> 7; x ^= (x << 17) & M64
        out.append(F(-1.0) if x & 1 else F(1.0))
    return out


def hv_hash(v):
    return sum(1 << i for i, x in enumerate(v[:64]) if x > 0.0)


@pytest.mark.skipif(not hasattr(m, "hv_hash_string"), reason="hv_hash_string not registered in this build")
def test_python_sip13_agrees_with_the_module():
    # hv_hash_string seeds an LCG with sip13(s + 0xFF) and emits its top bit; check ours through it.
    for s in ["", "a", "ram:50", "a longer string of more than 16 bytes", "ü"]:
        x, want = string_hash(s), []
        for _ in range(70):
            x = (x * 6364136223846793005 + 1) & M64
            want.append(-1.0 if x >> 63 else 1.0)
        assert m.hv_hash_string(s, 70) == want


# ---- models ------------------------------------------------------------------

class ModelHKVC:
    def __init__(self, dim):
        self.dim = dim
        self.cre, self.cim, self.pre, self.pim = ([F(0.0)] * dim for _ in range(4))
        self.values, self.vph, self.kph, self.index = [], [], [], {}

    def store(self, key, value, position):
        kp, vp = encode_phases(key, self.dim), encode_phases(value, self.dim)
        for i in range(self.dim):
            pb = hash_to_phase(sip13(le8(position) + le8(i)))
            t = kp[i] + vp[i]
            self.cre[i] += cosf(t); self.cim[i] += sinf(t)
            self.pre[i] += cosf(pb); self.pim[i] += sinf(pb)
        self.index.setdefault(string_hash(key), []).append(len(self.values))
        self.values.append(value); self.vph.append(vp); self.kph.append(kp)

    def strength(self, e, q):
        acc = F(0.0)
        for i in range(self.dim):
            t = q[i] + self.vph[e][i]
            acc += cosf(t) * self.cre[i] + sinf(t) * self.cim[i]
        return acc / (F(len(self.values)) * F(self.dim))

    def query(self, key):
        if not self.values:
            return "", 0.0
        q = encode_phases(key, self.dim)
        best, bi = F(-2.0), 0
        for c in self.index.get(string_hash(key), []):
            r = F(0.0)
            for i in range(self.dim):
                r += cosf(self.kph[c][i] - q[i])
            r = r / F(self.dim)
            if r > best:
                best, bi = r, c
        if best > F(0.5):
            s = self.strength(bi, q)
            return self.values[bi], float(s) if s > 0 else 0.0
        best, bi = F(-2.0), 0
        for j in range(len(self.values)):
            s = self.strength(j, q)
            if s > best:
                best, bi = s, j
        return self.values[bi], float(best) if best > 0 else 0.0

    def position_score(self, position):
        if not self.values:
            return 0.0
        h, acc = sip13(le8(position)), F(0.0)
        for i in range(self.dim):
            x = h ^ ((i * 0x9E3779B97F4A7C15) & M64)
            phi = hash_to_phase((_rotl(x, 21) + x) & M64)
            acc += cosf(phi) * self.pre[i] + sinf(phi) * self.pim[i]
        return float(acc / F(len(self.values)))

    def magnitude(self):
        return [float(F(_libm.sqrtf(float(im * im + re * re)))) for re, im in zip(self.cre, self.cim)]


class ModelCausal:
    def __init__(self, dim):
        self.dim, self.edges, self.trace = dim, [], [F(0.0)] * dim
        self.roles = [make_role(dim, n) for n in ("__CAUSE_ROLE__", "__EFFECT_ROLE__", "__TEMPORAL_ROLE__")]
        self.ci, self.ei = {}, {}

    @staticmethod
    def nd(q, v, n):
        s = F(-0.0)
        for i in range(min(len(q), len(v), n)):
            s += F(q[i]) * F(v[i])
        return s / F(n) if n else F(NAN)

    def probe(self, q, r):
        return [(r[i] * F(q[i])) * self.trace[i] for i in range(min(len(q), self.dim))]

    def record(self, c, e, t):
        cr, er, tr = self.roles
        self.ci.setdefault(hv_hash(c), []).append(len(self.edges))
        self.ei.setdefault(hv_hash(e), []).append(len(self.edges))
        self.edges.append((c, e, t))
        for i in range(self.dim):
            self.trace[i] += (cr[i] * F(c[i]) + er[i] * F(e[i])) + tr[i] * F(t[i])

    def _best(self, scores, best=F(-1.0), bk=0):
        for k, s in scores:
            if s > best:
                best, bk = s, k
        return best, bk

    def recall_effect(self, c):
        if not self.edges:
            return None
        cand = self.ci.get(hv_hash(c), [])
        best, bk = self._best((k, self.nd(c, self.edges[k][0], len(c))) for k in cand)
        if cand and best > 0:
            return self.edges[bk][1]
        p = self.probe(c, self.roles[0])
        best, bk = self._best((k, self.nd(p, ed[1], len(p))) for k, ed in enumerate(self.edges))
        return self.edges[bk][1] if best > 0 else None

    def recall_cause(self, e):
        if not self.edges:
            return []
        got = [(k, s) for k in self.ei.get(hv_hash(e), []) if (s := self.nd(e, self.edges[k][1], len(e))) > 0]
        if not got:
            p = self.probe(e, self.roles[1])
            got = [(k, s) for k, ed in enumerate(self.edges) if (s := self.nd(p, ed[0], len(p))) > 0]
        got.sort(key=lambda ks: -ks[1])  # stable
        return [self.edges[k][0] for k, _ in got]

    def recall_by_time(self, t):
        if not self.edges:
            return None
        best, bk = self._best((k, self.nd(t, ed[2], len(t))) for k, ed in enumerate(self.edges))
        if best > 0:
            return self.edges[bk][1]
        p = self.probe(t, self.roles[2])
        best, bk = self._best(((k, self.nd(p, ed[1], len(p))) for k, ed in enumerate(self.edges)), best, bk)
        return self.edges[bk][1] if best > 0 else None


def model_reason(facts, links, q, hops):
    """The literal loop: each frontier fact scans every link in registration order."""
    def score(f):
        s = F(0.0)
        for i in range(min(len(q), len(f))):
            s += F(q[i]) * F(f[i])
        return (s / F(len(q)) + F(1.0)) * F(0.5) if q else F(NAN)

    n, visited, res, frontier = len(facts), [False] * len(facts), [], []
    for i, f in enumerate(facts):
        s = score(f)
        if s > F(0.6):
            res.append((i, s)); frontier.append(i); visited[i] = True
    for _ in range(hops):
        if not frontier:
            break
        nxt = []
        for f in frontier:
            for j, (a, b) in enumerate(links):
                other = b if a == f else a if b == f else None
                if other is None:
                    continue
                if other >= n:
                    raise IndexError(f"link {j} ({a}, {b}) reaches fact {other}, but there are only {n} facts")
                if not visited[other]:
                    visited[other] = True
                    res.append((other, score(facts[other]))); nxt.append(other)
        frontier = nxt
    res.sort(key=lambda r: (math.isnan(r[1]), -r[1] if not math.isnan(r[1]) else 0.0))
    return [(i, float(s)) for i, s in res]


# ---- PyHKVC --------------------------------------------------------------------

@pytest.mark.parametrize("dim", [0, 1, 16])
def test_hkvc_fresh(dim):
    c = m.PyHKVC(dim)
    assert c.count() == 0
    assert c.query("anything") == ("", 0.0)
    assert c.position_score(5) == 0.0
    assert c.accumulator_magnitude() == [0.0] * dim


@pytest.mark.parametrize("dim", [1, 8, 100])
def test_hkvc_single_entry(dim):
    c = m.PyHKVC(dim)
    c.store("a", "b", 0)
    value, score = c.query("a")
    assert value == "b" and score == pytest.approx(1.0, abs=1e-5)
    assert c.accumulator_magnitude() == pytest.approx([1.0] * dim, abs=1e-6)


def test_hkvc_repeated_key_returns_earliest():
    c = m.PyHKVC(64)
    c.store("k", "alpha", 0)
    c.store(key="k", value="beta", position=1)
    assert c.query("k")[0] == "alpha"
    assert c.count() == 2


def test_hkvc_unknown_key_falls_back():
    c, model = m.PyHKVC(32), ModelHKVC(32)
    for j in range(5):
        c.store(f"k{j}", f"v{j}", j)
        model.store(f"k{j}", f"v{j}", j)
    value, score = c.query("never stored")
    assert value in {f"v{j}" for j in range(5)} and score >= 0.0
    assert (value, score) == model.query("never stored")


def test_hkvc_zero_dim():
    c = m.PyHKVC(0)
    c.store("a", "first", 0)
    c.store("b", "second", 1)
    assert c.query("b") == ("first", 0.0)
    assert c.position_score(1) == 0.0


@pytest.mark.parametrize("call, exc, msg", [
    (lambda: m.PyHKVC(-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: m.PyHKVC(4).store("k", "v", -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: m.PyHKVC(4).store(1, "v", 0), TypeError, "argument 'key': "),
    (lambda: m.PyHKVC(4).store("k", None, 0), TypeError, "argument 'value': "),
    (lambda: m.PyHKVC(4).query(b"k"), TypeError, "argument 'query_key': "),
    (lambda: m.PyHKVC(4).position_score(-3), OverflowError, "can't convert negative"),
    (lambda: m.PyHKVC(2 ** 62), MemoryError, ""),
    (lambda: m.PyCausalMemory(2 ** 62), MemoryError, ""),
    (lambda: m.PyCausalMemory(2 ** 40), MemoryError, ""),
])
def test_argument_and_allocation_errors(call, exc, msg):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value).startswith(msg)


def test_hkvc_failed_store_changes_nothing():
    c = m.PyHKVC(8)
    c.store("a", "b", 0)
    before = c.accumulator_magnitude()
    with pytest.raises(TypeError):
        c.store("x", "y", "not a position")
    assert c.count() == 1 and c.accumulator_magnitude() == before and c.query("x")[0] == "b"


# ---- PyCausalMemory -----------------------------------------------------------------

def rand_bipolar(rng, n):
    return [float(x) for x in rng.choice([-1.0, 1.0], n)]


def test_causal_empty():
    cm = m.PyCausalMemory(8)
    assert cm.query_effect([1.0] * 8) is None and cm.recall_effect([1.0] * 8) is None
    assert cm.query_cause([1.0] * 8) == [] and cm.recall_cause([1.0] * 8) == []
    assert cm.query_by_time([1.0] * 8) is None and cm.recall_by_time([1.0] * 8) is None


@pytest.mark.parametrize("recorder", ["store", "record"])
def test_causal_one_relation_under_both_names(recorder):
    rng = np.random.default_rng(1)
    c, e, t = (rand_bipolar(rng, 32) for _ in range(3))
    cm = m.PyCausalMemory(32)
    getattr(cm, recorder)(c, e, t)
    assert cm.query_effect(c) == e == cm.recall_effect(c)
    assert cm.query_cause(e) == [c] == cm.recall_cause(e)
    assert cm.query_by_time(t) == e == cm.recall_by_time(t)
    assert cm.query_effect([]) is None and cm.query_cause([]) == [] and cm.query_by_time([]) is None


def test_causal_repeated_cause_returns_first_effect():
    rng = np.random.default_rng(2)
    c, e1, e2 = (rand_bipolar(rng, 64) for _ in range(3))
    cm = m.PyCausalMemory(64)
    cm.record(c, e1, rand_bipolar(rng, 64))
    cm.record(c, e2, rand_bipolar(rng, 64))
    assert cm.query_effect(c) == e1


@pytest.mark.parametrize("args, msg", [
    (([1.0] * 3, [1.0] * 8, [1.0] * 8), "cause has length 3, expected at least 8"),
    (([1.0] * 8, [1.0] * 7, [1.0] * 8), "effect has length 7, expected at least 8"),
    (([1.0] * 8, [1.0] * 8, []), "time has length 0, expected at least 8"),
])
@pytest.mark.parametrize("recorder", ["store", "record"])
def test_causal_short_vectors_rejected_and_nothing_changes(args, msg, recorder):
    rng = np.random.default_rng(3)
    c, e, t = (rand_bipolar(rng, 8) for _ in range(3))
    cm = m.PyCausalMemory(8)
    cm.record(c, e, t)
    with pytest.raises(ValueError, match=f"^{msg}$"):
        getattr(cm, recorder)(*args)
    assert cm.query_cause(e) == [c] and cm.query_effect(c) == e and cm.query_by_time(t) == e
    assert cm.query_cause([1.0] * 8) in ([], [c])  # no half-recorded edge answers


def test_causal_reentrant_conversion_hits_the_borrow_flag():
    cm = m.PyCausalMemory(2)

    class ReadsBack:
        def __float__(self):
            cm.query_effect([1.0, 1.0])
            return 1.0

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        cm.record([ReadsBack(), 1.0], [1.0, 1.0], [1.0, 1.0])
    assert cm.query_effect([1.0, 1.0]) is None


# ---- PyMultiHopReasoner ---------------------------------------------------------------

def test_reasoner_examples():
    r = m.PyMultiHopReasoner(4)
    assert r.reason([1.0] * 4, 3) == []
    assert r.add_fact([1, -1, 1, -1]) == 0
    assert r.add_fact([1, 1, -1, -1]) == 1
    r.add_link(1, 0)
    r.add_link(0, 0)
    assert r.reason([1, -1, 1, -1], 0) == [(0, 1.0)]
    assert r.reason([1, -1, 1, -1], 1) == [(0, 1.0), (1, 0.5)]
    assert r.reason([], 2) == []
    r.reset()
    assert r.add_fact([1, 1, -1, -1]) == 0
    assert r.reason([1, 1, -1, -1], 5) == [(0, 1.0)]


def test_reasoner_missing_fact_and_nan_order():
    r = m.PyMultiHopReasoner(2)
    for f in ([1, 1], [NAN, 1], [-1, -1], [1, NAN]):
        r.add_fact(f)
    r.add_link(0, 3)
    r.add_link(0, 1)
    r.add_link(2, 0)
    got = r.reason([1, 1], 1)
    assert [i for i, _ in got] == [0, 2, 3, 1] and math.isnan(got[2][1]) and math.isnan(got[3][1])
    r.add_link(7, 1)
    with pytest.raises(IndexError, match=r"^link 3 \(7, 1\) reaches fact 7, but there are only 4 facts$"):
        r.reason([1, 1], 2)
    assert [i for i, _ in r.reason([1, 1], 1)] == [0, 2, 3, 1]  # unchanged; hop 1 never follows link 3


@pytest.mark.parametrize("make", [lambda: m.PyHKVC(4), lambda: m.PyCausalMemory(4), lambda: m.PyMultiHopReasoner(4)])
def test_instances_are_bound_to_their_thread(make):
    obj, caught = make(), []
    call = {"PyHKVC": lambda: obj.count(), "PyCausalMemory": lambda: obj.query_effect([1.0]),
            "PyMultiHopReasoner": lambda: obj.reason([1.0], 0)}[type(obj).__name__]

    def run():
        try:
            call()
        except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
            caught.append(e)

    t = threading.Thread(target=run)
    t.start()
    t.join()
    assert type(caught[0]).__name__ == "PanicException"
    assert str(caught[0]) == f"morvelan_hdc::py_api::{type(obj).__name__} is unsendable, but sent to another thread"


# ---- registration and documentation ----------------------------------------------------

DOCS = {
    ("PyHKVC", "store"): ("store($self, key, value, position)",
                          "Store a key-value pair (Patent §6.3.2):\n"
                          "composite += exp(i · (key_phases + val_phases))  — binds key↔value\n"
                          "pos_memory += exp(i · position_basis(pos))        — tracks positions\n"
                          "key_index[hash(key)] ← entry index                 — O(1) lookup"),
    ("PyHKVC", "query"): ("query($self, query_key)",
                          "Query the cache (Patent §6.3.4 + §6.1 CBS):\n"
                          "1. O(1) HashMap lookup by key hash → small candidate set\n"
                          "2. Among candidates, match by key phase resonance → exact value\n"
                          "3. Fallback: holographic recall from composite for approximate matches\n"
                          "Returns (best_value, best_score)"),
    ("PyHKVC", "count"): ("count($self)", "Number of stored entries"),
    ("PyHKVC", "position_score"): ("position_score($self, position)",
                                   "Check recency bias: score for a specific position should be ≈equal for all "
                                   "positions\nbecause all entries contribute unit complex numbers"),
    ("PyHKVC", "accumulator_magnitude"): ("accumulator_magnitude($self)",
                                          "Export state as raw accumulator magnitudes for inspection"),
    ("PyCausalMemory", "store"): ("store($self, cause, effect, time)",
                                  "Record a causal relationship.\n\n# Arguments\n* `cause` — cause hypervector\n"
                                  "* `effect` — effect hypervector\n* `time` — time-role hypervector"),
    ("PyCausalMemory", "query_effect"): ("query_effect($self, cause)",
                                         "Given a cause, retrieve the predicted effect.\n\n"
                                         "Returns the first recorded effect for this cause, if any."),
    ("PyCausalMemory", "query_cause"): ("query_cause($self, effect)",
                                        "Given an effect, retrieve all known causes.\n\n"
                                        "Returns a list of cause hypervectors that led to this effect."),
    ("PyCausalMemory", "query_by_time"): ("query_by_time($self, time)",
                                          "Given a time-role hypervector, retrieve the effect at that time."),
    ("PyMultiHopReasoner", "add_fact"): ("add_fact($self, fact)", "Register a fact and return its index."),
    ("PyMultiHopReasoner", "add_link"): ("add_link($self, a, b)",
                                         "Register a link between two fact indices (undirected association)."),
    ("PyMultiHopReasoner", "reason"): ("reason($self, query, hops)",
                                       "Query for facts resonating with `query`, exploring up to `hops` hops.\n\n"
                                       "Returns a list of (fact_index, resonance_score) sorted by resonance "
                                       "descending.\nHop-0: direct resonance with all facts.\n"
                                       "Each subsequent hop follows links to associated facts."),
    ("PyMultiHopReasoner", "reset"): ("reset($self)", "Reset all facts and associations."),
}


@pytest.mark.parametrize("cls, name", list(DOCS))
def test_docstrings(cls, name):
    sig, body = DOCS[cls, name]
    assert getattr(getattr(m, cls), name).__doc__ == body
    assert getattr(getattr(m, cls), name).__text_signature__ == sig[sig.index("("):]


@pytest.mark.parametrize("alias, of", [("record", "store"), ("recall_effect", "query_effect"),
                                       ("recall_cause", "query_cause"), ("recall_by_time", "query_by_time")])
def test_alias_docstrings(alias, of):
    assert m.PyCausalMemory.__dict__[alias].__doc__ == f"Alias of `{of}()`, matching the `CausalMemory` interface."


@pytest.mark.parametrize("cls", ["PyHKVC", "PyCausalMemory", "PyMultiHopReasoner"])
def test_class_signature(cls):
    assert getattr(m, cls).__text_signature__ == "(dim)" and getattr(m, cls).__doc__ in (None, "")


# ---- random sequences against the models --------------------------------------------------

WORDS = st.sampled_from(["", "a", "b", "key", "value", "ü", "k1", "k2"]) | st.text(max_size=3)


@settings(max_examples=60, deadline=None)
@given(st.integers(0, 10), st.lists(st.tuples(st.booleans(), WORDS, WORDS, st.integers(0, 2 ** 64 - 1)),
                                    max_size=10))
def test_hkvc_matches_model(dim, ops):
    c, model = m.PyHKVC(dim), ModelHKVC(dim)
    for is_store, key, value, pos in ops:
        if is_store:
            c.store(key, value, pos)
            model.store(key, value, pos)
        else:
            got, want = c.query(key), model.query(key)
            assert got[0] == want[0] and same(got[1], want[1])
            assert same(c.position_score(pos), model.position_score(pos))
    assert c.count() == len(model.values)
    assert same(c.accumulator_magnitude(), model.magnitude())


COMPONENT = st.sampled_from([1.0, -1.0, 0.0, -0.0, 0.5, -2.0, 3.0])


@settings(max_examples=60, deadline=None)
@given(st.integers(0, 6), st.data())
def test_causal_matches_model(dim, data):
    cm, model, seen = m.PyCausalMemory(dim), ModelCausal(dim), []
    vec = lambda lo, hi: st.lists(COMPONENT, min_size=lo, max_size=hi)  # noqa: E731
    for _ in range(data.draw(st.integers(0, 12))):
        kind = data.draw(st.sampled_from(["record", "effect", "cause", "time"]))
        if kind == "record" or not seen:
            c, e, t = (data.draw(vec(dim, dim + 2)) for _ in range(3))
            if seen and data.draw(st.booleans()):
                c = data.draw(st.sampled_from(seen))
            cm.record(c, e, t)
            model.record(c, e, t)
            seen += [c, e, t]
            continue
        q = data.draw(st.sampled_from(seen) | vec(0, dim + 2))
        if kind == "effect":
            got, want = cm.query_effect(q), model.recall_effect(q)
            assert got == cm.recall_effect(q) and (got is None) == (want is None)
            assert want is None or same(got, want)
        elif kind == "cause":
            got, want = cm.query_cause(q), model.recall_cause(q)
            assert got == cm.recall_cause(q) and len(got) == len(want) and all(map(same, got, want))
        else:
            got, want = cm.query_by_time(q), model.recall_by_time(q)
            assert got == cm.recall_by_time(q) and (got is None) == (want is None)
            assert want is None or same(got, want)


@settings(max_examples=90, deadline=None)
@given(st.integers(1, 5), st.data())
def test_reasoner_matches_literal_loop_on_random_graphs(dim, data):
    facts = data.draw(st.lists(st.lists(st.sampled_from([1.0, -1.0, 0.0]), min_size=dim, max_size=dim),
                               max_size=8))
    ends = st.integers(0, len(facts) + (1 if data.draw(st.booleans()) else -1)) if facts else st.integers(0, 2)
    links = data.draw(st.lists(st.tuples(ends, ends), max_size=20))
    query = data.draw(st.sampled_from(facts) if facts else st.just([1.0] * dim))
    hops = data.draw(st.integers(0, 4))
    r = m.PyMultiHopReasoner(dim)
    assert [r.add_fact(f) for f in facts] == list(range(len(facts)))
    for a, b in links:
        r.add_link(a, b)
    try:
        want = model_reason(facts, links, query, hops)
    except IndexError as e:
        with pytest.raises(IndexError, match=f"^{re_escape(str(e))}$"):
            r.reason(query, hops)
        return
    got = r.reason(query, hops)
    assert [i for i, _ in got] == [i for i, _ in want] and same([s for _, s in got], [s for _, s in want])


def re_escape(s):
    import re
    return re.escape(s)
