"""The three associative memories against literal float32 transcriptions of their
rules, at sizes the vectorised paths treat specially: dimensions across the
64-component trigonometry tiles, more entries than one 8-lane block (and than
four blocks in flight), rows longer and shorter than the bank width, queries
longer than every row, and NaN, infinities and -0.0 in the data."""
import ctypes
import ctypes.util
import functools
import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
from _siphash import sip13 as siphash13

F = np.float32
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _fn in ("cosf", "sinf", "sqrtf"):
    getattr(_libm, _fn).restype = ctypes.c_float
    getattr(_libm, _fn).argtypes = [ctypes.c_float]


def cos(x):
    return F(_libm.cosf(float(x)))


def sin(x):
    return F(_libm.sinf(float(x)))


def b32(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def same(a, b):
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return b32(a) == b32(b)


# ---- the hashes and encoders the memories use ---------------------------------------------

MASK = 2 ** 64 - 1


def rotl(x, r):
    return ((x << r) | (x >> (64 - r))) & MASK


def as_text(s):
    return s.encode("utf-8") + b"\xff"


def as_bytes(s):
    b = s.encode("utf-8")
    return len(b).to_bytes(8, "little") + b


def as_index(i):
    return i.to_bytes(8, "little")


def to_f32_once(h):
    """The unsigned integer h rounded to the nearest float32, ties to even, in one step."""
    if h == 0:
        return F(0.0)
    e = h.bit_length() - 24
    if e <= 0:
        return F(h)
    q, r = divmod(h, 1 << e)
    if 2 * r > (1 << e) or (2 * r == (1 << e) and q % 2 == 1):
        q += 1
    return F(math.ldexp(q, e))


def phase(h):
    t = to_f32_once(h) * F(5.421011e-20)
    t = t + t
    return t * F(3.1415927)


@functools.lru_cache(maxsize=None)
def phases(s, dim):
    return tuple(phase(siphash13(as_bytes(s) + as_index(i))) for i in range(dim))


@functools.lru_cache(maxsize=None)
def role(dim, name):
    x, out = siphash13(as_bytes(name)), []
    for _ in range(dim):
        x ^= (x << 13) & MASK
        x ^= x >> 7
        x ^= (x << 17) & MASK
        out.append(F(-1.0) if x & 1 else F(1.0))
    return out


def signature(v):
    return sum(1 << i for i in range(min(len(v), 64)) if F(v[i]) > 0.0)


# ---- PyHKVC -------------------------------------------------------------------------------

class Cache:
    def __init__(self, dim):
        self.dim = dim
        self.re, self.im = [F(0.0)] * dim, [F(0.0)] * dim
        self.pre, self.pim = [F(0.0)] * dim, [F(0.0)] * dim
        self.values, self.vp, self.kp, self.index = [], [], [], {}

    def store(self, key, value, pos):
        kp, vp = phases(key, self.dim), phases(value, self.dim)
        for i in range(self.dim):
            theta = kp[i] + vp[i]
            self.re[i] += cos(theta)
            self.im[i] += sin(theta)
            pb = phase(siphash13(as_index(pos) + as_index(i)))
            self.pre[i] += cos(pb)
            self.pim[i] += sin(pb)
        self.values.append(value); self.vp.append(vp); self.kp.append(kp)
        self.index.setdefault(siphash13(as_text(key)), []).append(len(self.values) - 1)

    def strength(self, e, q):
        acc = F(0.0)
        for i in range(self.dim):
            theta = q[i] + self.vp[e][i]
            acc += cos(theta) * self.re[i] + sin(theta) * self.im[i]
        return acc / (F(len(self.values)) * F(self.dim))

    def query(self, key):
        if not self.values:
            return "", F(0.0), "empty"
        q = phases(key, self.dim)
        cands = self.index.get(siphash13(as_text(key)), [])
        if cands:
            best, bi = F(-2.0), 0
            for c in cands:
                acc = F(0.0)
                for i in range(self.dim):
                    acc += cos(self.kp[c][i] - q[i])
                r = acc / F(self.dim)
                if r > best:
                    best, bi = r, c
            if best > F(0.5):
                s = self.strength(bi, q)
                return self.values[bi], (s if s > 0 else F(0.0)), "exact"
        best, bi = F(-2.0), 0
        for j in range(len(self.values)):
            s = self.strength(j, q)
            if s > best:
                best, bi = s, j
        return self.values[bi], (best if best > 0 else F(0.0)), "fallback"

    def position_score(self, pos):
        if not self.values:
            return F(0.0)
        h, acc = siphash13(as_index(pos)), F(0.0)
        for i in range(self.dim):
            x = h ^ ((i * 0x9E3779B97F4A7C15) & MASK)
            y = (rotl(x, 21) + x) & MASK
            phi = phase(y)
            acc += cos(phi) * self.pre[i] + sin(phi) * self.pim[i]
        return acc / F(len(self.values))

    def magnitude(self):
        return [F(_libm.sqrtf(float(im * im + re * re))) for re, im in zip(self.re, self.im)]


KEYS = ["k0", "k1", "k2", "k3", "", "ü", "key with spaces and more than sixteen bytes"]


@settings(max_examples=12, deadline=None)
@given(st.sampled_from([1, 3, 63, 64, 65, 70]), st.data())
def test_hkvc_against_its_rules(dim, data):
    n = data.draw(st.integers(1, 19))
    c, model = m.PyHKVC(dim), Cache(dim)
    for j in range(n):
        key = data.draw(st.sampled_from(KEYS))
        value = f"v{j}"
        pos = data.draw(st.sampled_from([0, 1, 7, 2 ** 63, 2 ** 64 - 1]) | st.integers(0, 2 ** 64 - 1))
        c.store(key, value, pos)
        model.store(key, value, pos)
    assert c.count() == n
    paths = set()
    for key in KEYS + ["never stored", "k9"]:
        value, score, path = model.query(key)
        paths.add(path)
        got = c.query(key)
        assert got[0] == value and same(got[1], score), (key, path)
    assert paths == {"exact", "fallback"}
    for pos in (0, 5, 2 ** 64 - 1):
        assert same(c.position_score(pos), model.position_score(pos))
    assert same(c.accumulator_magnitude(), model.magnitude())


def test_hkvc_fallback_over_many_blocks_picks_the_first_best():
    # 41 entries (five lane blocks, the last partial), dim across two trigonometry tiles.
    dim, c, model = 66, m.PyHKVC(66), Cache(66)
    for j in range(41):
        c.store(f"key{j % 13}", f"value{j % 5}", j)
        model.store(f"key{j % 13}", f"value{j % 5}", j)
    for key in ["key3", "key12", "unknown", "value1"]:
        value, score, _ = model.query(key)
        got = c.query(key)
        assert got[0] == value and same(got[1], score)


def test_hkvc_failed_store_is_no_store():
    c = m.PyHKVC(4)
    c.store("a", "b", 1)
    before = (c.count(), c.accumulator_magnitude(), c.position_score(1))
    with pytest.raises(UnicodeEncodeError):
        c.store("x\ud800", "y", 2)
    with pytest.raises(UnicodeEncodeError):
        c.store("x", "y\udfff", 2)
    with pytest.raises(OverflowError):
        c.store("x", "y", 2 ** 64)
    assert (c.count(), c.accumulator_magnitude(), c.position_score(1)) == before
    assert c.query("x") == ("b", c.query("x")[1])


# ---- PyCausalMemory ------------------------------------------------------------------------

class Causal:
    def __init__(self, dim):
        self.dim, self.edges, self.trace = dim, [], [F(0.0)] * dim
        self.cr, self.er, self.tr = (role(dim, n) for n in ("__CAUSE_ROLE__", "__EFFECT_ROLE__", "__TEMPORAL_ROLE__"))
        self.by_cause, self.by_effect = {}, {}

    def record(self, c, e, t):
        c, e, t = ([F(x) for x in v] for v in (c, e, t))
        k = len(self.edges)
        self.edges.append((c, e, t))
        self.by_cause.setdefault(signature(c), []).append(k)
        self.by_effect.setdefault(signature(e), []).append(k)
        for i in range(self.dim):
            self.trace[i] = self.trace[i] + ((self.cr[i] * c[i] + self.er[i] * e[i]) + self.tr[i] * t[i])

    @staticmethod
    def norm_dot(q, v, n):
        acc = F(-0.0)
        for i in range(min(len(q), len(v), n)):
            acc = acc + q[i] * v[i]
        return acc / F(n)

    def probe(self, q, r):
        return [(r[i] * q[i]) * self.trace[i] for i in range(min(len(q), self.dim))]

    def recall_effect(self, q):
        q = [F(x) for x in q]
        if not self.edges:
            return None
        cands = self.by_cause.get(signature(q), [])
        if cands:
            best, bk = F(-1.0), 0
            for k in cands:
                s = self.norm_dot(q, self.edges[k][0], len(q))
                if s > best:
                    best, bk = s, k
            if best > 0.0:
                return self.edges[bk][1]
        p = self.probe(q, self.cr)
        best, bk = F(-1.0), 0
        for k, edge in enumerate(self.edges):
            s = self.norm_dot(p, edge[1], len(p))
            if s > best:
                best, bk = s, k
        return self.edges[bk][1] if best > 0.0 else None

    def recall_cause(self, q):
        q = [F(x) for x in q]
        if not self.edges:
            return []
        got = []
        for k in self.by_effect.get(signature(q), []):
            s = self.norm_dot(q, self.edges[k][1], len(q))
            if s > 0.0:
                got.append((self.edges[k][0], s))
        if not got:
            p = self.probe(q, self.er)
            for edge in self.edges:
                s = self.norm_dot(p, edge[0], len(p))
                if s > 0.0:
                    got.append((edge[0], s))
        got.sort(key=lambda cs: -cs[1])
        return [c for c, _ in got]

    def recall_by_time(self, q):
        q = [F(x) for x in q]
        if not self.edges:
            return None
        best, bk = F(-1.0), 0
        for k, edge in enumerate(self.edges):
            s = self.norm_dot(q, edge[2], len(q))
            if s > best:
                best, bk = s, k
        if best > 0.0:
            return self.edges[bk][1]
        p = self.probe(q, self.tr)
        for k, edge in enumerate(self.edges):
            s = self.norm_dot(p, edge[1], len(p))
            if s > best:
                best, bk = s, k
        return self.edges[bk][1] if best > 0.0 else None


INF = float("inf")
VALUES = st.sampled_from([1.0, -1.0, 1.0, -1.0, 0.0, -0.0, 0.5, -3.0, 1e-45, 1e30, INF, -INF, float("nan")])


def same_or_none(a, b):
    return (a is None and b is None) or (a is not None and b is not None and same(a, b))


@settings(max_examples=15, deadline=None)
@given(st.sampled_from([0, 1, 5, 9, 17]), st.data())
def test_causal_memory_against_its_rules(dim, data):
    plain = data.draw(st.booleans())  # bipolar only, or every kind of value
    comp = st.sampled_from([1.0, -1.0]) if plain else VALUES
    vec = lambda lo, hi: st.lists(comp, min_size=lo, max_size=hi)  # noqa: E731
    cm, model, pool = m.PyCausalMemory(dim), Causal(dim), []
    for _ in range(data.draw(st.integers(0, 45))):
        c, e, t = (data.draw(vec(dim, dim + 3)) for _ in range(3))
        if pool and data.draw(st.integers(0, 3)) == 0:
            c = data.draw(st.sampled_from(pool))  # a cause seen before
        if pool and data.draw(st.integers(0, 3)) == 0:
            e = data.draw(st.sampled_from(pool))
        (cm.record if data.draw(st.booleans()) else cm.store)(c, e, t)
        model.record(c, e, t)
        pool += [c, e, t]
    for _ in range(6):
        q = data.draw(st.sampled_from(pool) | vec(0, dim + 5)) if pool else data.draw(vec(0, dim + 5))
        if pool and data.draw(st.booleans()):
            # same signs, other magnitudes, a longer tail: a candidate of the same signature
            q = [x * 2.0 if x == x else x for x in q] + [1.0] * data.draw(st.integers(0, 3))
        assert same_or_none(cm.query_effect(q), model.recall_effect(q))
        assert same_or_none(cm.recall_effect(q), model.recall_effect(q))
        want = model.recall_cause(q)
        for got in (cm.query_cause(q), cm.recall_cause(q)):
            assert len(got) == len(want) and all(same(x, y) for x, y in zip(got, want))
        assert same_or_none(cm.query_by_time(q), model.recall_by_time(q))
        assert same_or_none(cm.recall_by_time(q), model.recall_by_time(q))


def test_causal_failed_record_changes_nothing_and_long_vectors_are_kept_whole():
    cm = m.PyCausalMemory(3)
    cm.record([1.0, 1.0, 1.0, 5.0], [1.0, -1.0, 1.0, -1.0, 2.0], [1.0, 1.0, -1.0])
    with pytest.raises(ValueError, match="^time has length 2, expected at least 3$"):
        cm.store([1.0, 1.0, 1.0], [-1.0, -1.0, -1.0], [1.0, 1.0])
    with pytest.raises(TypeError, match="^argument 'effect': "):
        cm.store([1.0, 1.0, 1.0], [-1.0, "x", -1.0], [1.0, 1.0, 1.0])
    assert cm.query_effect([1.0, 1.0, 1.0, 5.0]) == [1.0, -1.0, 1.0, -1.0, 2.0]
    assert cm.query_cause([-1.0, -1.0, -1.0]) in ([], [[1.0, 1.0, 1.0, 5.0]])
    assert cm.query_cause([1.0, -1.0, 1.0, -1.0, 2.0]) == [[1.0, 1.0, 1.0, 5.0]]


# ---- PyMultiHopReasoner -----------------------------------------------------------------------

def reason_model(facts, links, q, hops):
    q = [F(x) for x in q]

    def score(f):
        acc = F(0.0)
        for i in range(min(len(q), len(f))):
            acc = acc + q[i] * F(f[i])
        return (acc / F(len(q)) + F(1.0)) * F(0.5)

    n = len(facts)
    visited, results, frontier = [False] * n, [], []
    for i in range(n):
        s = score(facts[i])
        if s > F(0.6):
            results.append((i, s)); frontier.append(i); visited[i] = True
    for _ in range(hops):
        if not frontier:
            break
        nxt = []
        while frontier:
            f = frontier.pop(0)
            for a, b in links:
                other = b if a == f else (a if b == f else None)
                if other is None:
                    continue
                if other >= n:
                    return "IndexError"
                if visited[other]:
                    continue
                results.append((other, score(facts[other]))); nxt.append(other); visited[other] = True
        frontier = nxt
    numbers = [r for r in results if not math.isnan(r[1])]
    numbers.sort(key=lambda r: -r[1])
    return numbers + [r for r in results if math.isnan(r[1])]


@settings(max_examples=60, deadline=None)
@given(st.sampled_from([0, 1, 3, 8, 40]), st.data())
def test_reasoner_against_its_rules(dim, data):
    comp = st.sampled_from([1.0, -1.0, 1.0, -1.0, 0.0, 0.5]) | (VALUES if data.draw(st.booleans()) else st.just(1.0))
    width = max(dim, 1)
    facts = data.draw(st.lists(st.lists(comp, min_size=0, max_size=width + 3), max_size=40))
    n = len(facts)
    end = st.integers(0, n + 1) if data.draw(st.integers(0, 4)) == 0 else st.integers(0, max(n - 1, 0))
    links = data.draw(st.lists(st.tuples(end, end), max_size=60))
    q = data.draw(st.sampled_from(facts) | st.lists(comp, max_size=width + 5)) if facts else [1.0]
    hops = data.draw(st.integers(0, 5) | st.just(2 ** 64 - 1))
    r = m.PyMultiHopReasoner(dim)
    for i, f in enumerate(facts):
        assert r.add_fact(f) == i
    for a, b in links:
        r.add_link(a, b)
    want = reason_model(facts, links, q, hops)
    if want == "IndexError":
        with pytest.raises(IndexError):
            r.reason(q, hops)
        return
    got = r.reason(q, hops)
    assert [i for i, _ in got] == [i for i, _ in want]
    assert all(same(s, w) for (_, s), (_, w) in zip(got, want))
    assert all(type(i) is int and type(s) is float for i, s in got)


def test_reasoner_reentrant_add_is_refused_and_changes_nothing():
    r = m.PyMultiHopReasoner(2)
    r.add_fact([1.0, 1.0])

    class Asks:
        def __float__(self):
            r.reason([1.0, 1.0], 1)
            return 1.0

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        r.add_fact([Asks(), 1.0])
    with pytest.raises(OverflowError):
        r.add_link(0, -1)
    with pytest.raises(OverflowError):
        r.reason([1.0, 1.0], -1)
    assert r.add_fact([1.0, -1.0]) == 1
    r.add_link(0, 1)
    assert r.reason([1.0, 1.0], 1) == [(0, 1.0), (1, 0.5)]
