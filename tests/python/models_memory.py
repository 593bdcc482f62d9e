# Models of the associative memories: float32, sums accumulated in index order, cosines and
# sines from the platform's cosf/sinf; results in the module's Python shapes.
import ctypes.util
import functools

import numpy as np

from support import M64, sip13

F = np.float32
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _fn in (_libm.cosf, _libm.sinf):
    _fn.restype, _fn.argtypes = ctypes.c_float, [ctypes.c_float]
_cos_sin = functools.lru_cache(maxsize=1 << 18)(lambda x: (_libm.cosf(x), _libm.sinf(x)))


def cos_sin(t):
    return np.array([_cos_sin(x) for x in t.tolist()], F).reshape(-1, 2).T


def total(x, init=0.0):  # init + x[0] + x[1] + ..., rounded after every add (cumsum runs in order)
    return np.cumsum(np.concatenate((np.array([init], F), x)))[-1]


def le8(i): return i.to_bytes(8, "little")  # noqa: E704


def phases(hashes):  # each 64-bit hash rounded once to float32, times 2^-64, doubled, times float(pi)
    t = np.array(hashes, np.uint64).astype(F) * F(2.0 ** -64)
    return (t + t) * F(np.pi)


@functools.lru_cache(maxsize=None)
def encode(s, dim):
    return phases([sip13(le8(len(s.encode())) + s.encode() + le8(i)) for i in range(dim)])


def make_role(dim, name):
    x, out = sip13(le8(len(name)) + name.encode()), []
    for _ in range(dim):
        x ^= (x << 13) & M64; x ^= x >> 7; x ^= (x << 17) & M64  # noqa: E702
        out.append(-1.0 if x & 1 else 1.0)
    return np.array(out, F)


def best(pairs, start=(F(-1.0), 0)):  # only a greater score replaces it: earliest wins ties, NaN never
    for k, s in pairs:
        if s > start[0]:
            start = (s, k)
    return start


class HKVC:
    def __init__(self, dim):
        self.dim, self.keys, self.values, self.kp, self.vp = dim, [], [], [], []
        self.comp, self.pos = (np.zeros(dim, F),) * 2, (np.zeros(dim, F),) * 2

    def store(self, key, value, position):
        kp, vp = encode(key, self.dim), encode(value, self.dim)
        basis = phases([sip13(le8(position) + le8(i)) for i in range(self.dim)])
        self.comp = tuple(a + b for a, b in zip(self.comp, cos_sin(kp + vp)))
        self.pos = tuple(a + b for a, b in zip(self.pos, cos_sin(basis)))
        self.keys.append(key), self.values.append(value), self.kp.append(kp), self.vp.append(vp)

    def strength(self, e, q):
        c, s = cos_sin(q + self.vp[e])
        return total(c * self.comp[0] + s * self.comp[1]) / (F(len(self.values)) * F(self.dim))

    def query(self, key):
        if not self.values:
            return "", 0.0
        q = encode(key, self.dim)
        r, e = best(((j, total(cos_sin(self.kp[j] - q)[0]) / F(self.dim))
                     for j, k in enumerate(self.keys) if k == key), (F(-2.0), 0))
        s, e = (self.strength(e, q), e) if r > F(0.5) else \
            best(((j, self.strength(j, q)) for j in range(len(self.values))), (F(-2.0), 0))
        return self.values[e], float(s) if s > 0 else 0.0

    def position_score(self, position):
        if not self.values:
            return 0.0
        h = sip13(le8(position))
        xs = [h ^ (i * 0x9E3779B97F4A7C15 & M64) for i in range(self.dim)]
        c, s = cos_sin(phases([(((x << 21) | (x >> 43)) + x) & M64 for x in xs]))
        return float(total(c * self.pos[0] + s * self.pos[1]) / F(len(self.values)))

    def accumulator_magnitude(self):
        return np.sqrt(self.comp[1] ** 2 + self.comp[0] ** 2).tolist()

    def count(self): return len(self.values)  # noqa: E704


def sig(v):
    return sum(1 << i for i, x in enumerate(v[:64]) if x > 0)


def nd(q, v):
    return total(q[:len(v)] * v[:len(q)], -0.0) / F(len(q))


class CausalMemory:
    def __init__(self, dim):
        self.dim, self.edges, self.trace = dim, [], np.zeros(dim, F)
        self.roles = [make_role(dim, f"__{r}_ROLE__") for r in ("CAUSE", "EFFECT", "TEMPORAL")]

    def record(self, *cet):
        for name, v in zip(("cause", "effect", "time"), cet):
            if len(v) < self.dim:
                raise ValueError(f"{name} has length {len(v)}, expected at least {self.dim}")
        self.edges.append([np.array(v, F) for v in cet])
        (c, e, t), r = (v[:self.dim] for v in self.edges[-1]), self.roles
        self.trace = self.trace + ((r[0] * c + r[1] * e) + r[2] * t)

    def probe(self, q, role):
        return (self.roles[role][:len(q)] * q[:self.dim]) * self.trace[:len(q)]

    def effect(self, q, role, found, start=(F(-1.0), 0)):  # the exact match's, else the probe's best
        if found[0] <= 0:
            p = self.probe(q, role)
            found = best(((k, nd(p, e)) for k, (_, e, _) in enumerate(self.edges)), start)
        return self.edges[found[1]][1].tolist() if found[0] > 0 else None

    def recall_effect(self, q):
        q = np.array(q, F)
        return self.effect(q, 0, best((k, nd(q, c)) for k, (c, _, _) in enumerate(self.edges) if sig(c) == sig(q)))

    def recall_cause(self, q):
        q = np.array(q, F)
        hits = [(s, c) for c, e, _ in self.edges if sig(e) == sig(q) and (s := nd(q, e)) > 0]
        if not hits:
            p = self.probe(q, 1)
            hits = [(s, c) for c, _, _ in self.edges if (s := nd(p, c)) > 0]
        return [c.tolist() for _, c in sorted(hits, key=lambda h: -h[0])]

    def recall_by_time(self, q):
        q = np.array(q, F)
        found = best((k, nd(q, t)) for k, (_, _, t) in enumerate(self.edges))
        return self.effect(q, 2, found, found)  # the fallback carries on from the same running best

    store, query_effect, query_cause, query_by_time = record, recall_effect, recall_cause, recall_by_time


class MultiHopReasoner:
    def __init__(self, dim=0):
        self.facts, self.links = [], []

    def add_fact(self, fact):
        self.facts.append(np.array(fact, F))
        return len(self.facts) - 1

    def add_link(self, a, b): self.links.append((a, b))  # noqa: E704

    def reason(self, q, hops):
        q, n = np.array(q, F), len(self.facts)
        score = [(total(q[:len(f)] * f[:len(q)]) / F(len(q)) + F(1.0)) * F(0.5) for f in self.facts]
        hits = [(i, s) for i, s in enumerate(score) if s > F(0.6)]
        seen, frontier = {i for i, _ in hits}, [i for i, _ in hits]
        for _ in range(min(hops, n)):  # every fact is reached at most once
            nxt = []
            for f in frontier:
                for j, (a, b) in ((j, link) for j, link in enumerate(self.links) if f in link):
                    if (o := b if a == f else a) >= n:
                        raise IndexError(f"link {j} ({a}, {b}) reaches fact {o}, but there are only {n} facts")
                    if o not in seen:
                        seen.add(o), hits.append((o, score[o])), nxt.append(o)
            frontier = nxt
        hits.sort(key=lambda h: (h[1] != h[1], -h[1] if h[1] == h[1] else 0))  # stable; NaN last
        return [(i, float(s)) for i, s in hits]

    reset = __init__
