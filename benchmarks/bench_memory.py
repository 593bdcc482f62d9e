"""Associative memories at dim 1,024 with 10,000 stored items, beside numpy versions of the same formulas.

Both sides take the same Python lists and strings and return Python objects. The numpy
cache is handed its phase vectors (uniform stand-ins; hashing strings into phases has no
numpy formula), so its times leave out the encoding that ours includes.
"""
from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import Case, main  # noqa: E402
import native_ext  # noqa: E402

import morvelan_hdc as m  # noqa: E402

F32 = np.float32
DIM = 1024
ITEMS = 10_000
SIZE = f"dim {DIM:,}, {ITEMS:,} items"


def signature(v: np.ndarray) -> int:
    head = np.zeros(64, bool)
    head[: min(64, len(v))] = v[:64] > 0
    return int(np.packbits(head, bitorder="little").view("<u8")[0])


class NpHKVC:
    """composite / pos_memory as float32 (re, im) arrays, phase rows stacked in matrices."""

    def __init__(self, dim: int, capacity: int):
        self.dim, self.n = dim, 0
        self.cre, self.cim, self.pre, self.pim = (np.zeros(dim, F32) for _ in range(4))
        self.kp, self.vp = np.empty((capacity, dim), F32), np.empty((capacity, dim), F32)
        self.values: list[str] = []
        self.index: dict[int, list[int]] = {}

    def store(self, key: str, value: str, kp: np.ndarray, vp: np.ndarray, pb: np.ndarray) -> None:
        t = kp + vp
        self.cre += np.cos(t); self.cim += np.sin(t)
        self.pre += np.cos(pb); self.pim += np.sin(pb)
        if self.n == len(self.kp):  # grow like a list would
            self.kp, self.vp = (np.concatenate([a, np.empty_like(a)]) for a in (self.kp, self.vp))
        self.kp[self.n], self.vp[self.n] = kp, vp
        self.index.setdefault(hash(key), []).append(self.n)
        self.values.append(value)
        self.n += 1

    def query(self, key: str, q: np.ndarray) -> tuple[str, float]:
        denom = F32(self.n) * F32(self.dim)
        cands = self.index.get(hash(key))
        if cands:
            r = np.cos(self.kp[cands] - q).sum(axis=1, dtype=F32) / F32(self.dim)
            b = int(np.argmax(r))
            if r[b] > 0.5:
                t = q + self.vp[cands[b]]
                s = (np.cos(t) * self.cre + np.sin(t) * self.cim).sum(dtype=F32) / denom
                return self.values[cands[b]], float(max(s, F32(0)))
        t = q + self.vp[: self.n]
        s = (np.cos(t) * self.cre + np.sin(t) * self.cim).sum(axis=1, dtype=F32) / denom
        b = int(np.argmax(s))
        return self.values[b], float(max(s[b], F32(0)))


class NpCausal:
    def __init__(self, dim: int, capacity: int, rng: np.random.Generator):
        self.dim, self.n = dim, 0
        self.trace = np.zeros(dim, F32)
        self.roles = [rng.choice(F32([-1, 1]), dim) for _ in range(3)]
        self.c, self.e, self.t = (np.empty((capacity, dim), F32) for _ in range(3))
        self.ci: dict[int, list[int]] = {}
        self.ei: dict[int, list[int]] = {}

    def record(self, cause, effect, time) -> None:
        c, e, t = (np.asarray(x, F32) for x in (cause, effect, time))
        if min(len(c), len(e), len(t)) < self.dim:
            raise ValueError("short vector")
        if self.n == len(self.c):
            self.c, self.e, self.t = (np.concatenate([a, np.empty_like(a)]) for a in (self.c, self.e, self.t))
        self.c[self.n], self.e[self.n], self.t[self.n] = c[: self.dim], e[: self.dim], t[: self.dim]
        self.ci.setdefault(signature(c), []).append(self.n)
        self.ei.setdefault(signature(e), []).append(self.n)
        cr, er, tr = self.roles
        self.trace += (cr * c[: self.dim] + er * e[: self.dim]) + tr * t[: self.dim]
        self.n += 1

    def probe(self, q, role):
        mm = min(len(q), self.dim)
        return (role[:mm] * q[:mm]) * self.trace[:mm]

    def recall_effect(self, cause):
        q = np.asarray(cause, F32)
        cands = self.ci.get(signature(q))
        if cands:
            s = self.c[cands] @ q / F32(len(q))
            b = int(np.argmax(s))
            if s[b] > 0:
                return self.e[cands[b]].tolist()
        p = self.probe(q, self.roles[0])
        s = self.e[: self.n, : len(p)] @ p / F32(len(p))
        b = int(np.argmax(s))
        return self.e[b].tolist() if s[b] > 0 else None

    def recall_cause(self, effect):
        q = np.asarray(effect, F32)
        cands = self.ei.get(signature(q), [])
        s = self.e[cands] @ q / F32(len(q)) if cands else np.empty(0, F32)
        keep = np.asarray(cands, int)[s > 0]
        s = s[s > 0]
        if not len(keep):
            p = self.probe(q, self.roles[1])
            s = self.c[: self.n, : len(p)] @ p / F32(len(p))
            keep = np.nonzero(s > 0)[0]
            s = s[keep]
        return self.c[keep[np.argsort(-s, kind="stable")]].tolist()

    def recall_by_time(self, time):
        q = np.asarray(time, F32)
        s = self.t[: self.n] @ q / F32(len(q))
        b = int(np.argmax(s))
        if s[b] > 0:
            return self.e[b].tolist()
        p = self.probe(q, self.roles[2])
        s2 = self.e[: self.n, : len(p)] @ p / F32(len(p))
        b2 = int(np.argmax(s2))
        return self.e[b2].tolist() if s2[b2] > max(s[b], -1) and s2[b2] > 0 else None


def np_reason(facts: np.ndarray, a: np.ndarray, b: np.ndarray, query, hops: int):
    """The literal walk: every frontier fact scans the whole link list (vectorised per scan)."""
    q = np.asarray(query, F32)
    s = (facts @ q / F32(len(q)) + F32(1)) * F32(0.5)
    visited = np.zeros(len(facts), bool)
    frontier = list(np.nonzero(s > F32(0.6))[0])
    visited[frontier] = True
    found = list(frontier)
    for _ in range(hops):
        if not frontier:
            break
        nxt = []
        for f in frontier:
            for j in np.nonzero((a == f) | (b == f))[0]:
                other = b[j] if a[j] == f else a[j]
                if not visited[other]:
                    visited[other] = True
                    nxt.append(other)
                    found.append(other)
        frontier = nxt
    order = np.argsort(-s[found], kind="stable")
    return [(int(found[i]), float(s[found[i]])) for i in order]


def cases():
    rng = np.random.default_rng(5)

    # ---- PyHKVC
    cache, npc = m.PyHKVC(DIM), NpHKVC(DIM, ITEMS)
    for j in range(ITEMS):
        cache.store(f"key{j}", f"value{j}", j)
        npc.store(f"key{j}", f"value{j}", *rng.uniform(0, 2 * np.pi, (3, DIM)).astype(F32))
    q_np = rng.uniform(0, 2 * np.pi, DIM).astype(F32)
    kp_hit = npc.kp[1234].copy()
    counter = iter(range(10**9))
    store_cache, store_np = m.PyHKVC(DIM), NpHKVC(DIM, 1024)
    ph = rng.uniform(0, 2 * np.pi, (3, DIM)).astype(F32)
    yield Case("PyHKVC.store", f"dim {DIM:,}", lambda: store_cache.store(f"k{next(counter)}", "v", 7),
               {"numpy (phases given)": lambda: store_np.store(f"k{next(counter)}", "v", *ph)})
    yield Case("PyHKVC.query (exact hit)", SIZE, lambda: cache.query("key1234"),
               {"numpy (phases given)": lambda: npc.query("key1234", kp_hit)})
    yield Case("PyHKVC.query (fallback)", SIZE, lambda: cache.query("no such key"),
               {"numpy (phases given)": lambda: npc.query("no such key", q_np)})

    # ---- PyCausalMemory
    cm, npm = m.PyCausalMemory(DIM), NpCausal(DIM, ITEMS, rng)
    rows = [rng.choice(F32([-1, 1]), (3, DIM)) for _ in range(ITEMS)]
    lists = [[r[0].tolist(), r[1].tolist(), r[2].tolist()] for r in rows[:50]]
    for c, e, t in rows:
        cl, el, tl = c.tolist(), e.tolist(), t.tolist()
        cm.record(cl, el, tl)
        npm.record(cl, el, tl)
    rec_cm, rec_np = m.PyCausalMemory(DIM), NpCausal(DIM, 1024, rng)
    c0, e0, t0 = lists[7]
    yield Case("PyCausalMemory.record", f"dim {DIM:,}", lambda: rec_cm.record(c0, e0, t0),
               {"numpy": lambda: rec_np.record(c0, e0, t0)})
    # An unseen signature takes the fallback of recall_effect / recall_cause; recall_by_time
    # reaches its fallback only when no time scores above 0, as for a zero vector.
    miss = rng.choice(F32([-1, 1]), DIM).tolist()
    zero = [0.0] * DIM
    for name, ours, theirs, hit, fall in [
        ("recall_effect", cm.recall_effect, npm.recall_effect, c0, miss),
        ("recall_cause", cm.recall_cause, npm.recall_cause, e0, miss),
        ("recall_by_time", cm.recall_by_time, npm.recall_by_time, t0, zero),
    ]:
        kind = "direct scan" if name == "recall_by_time" else "exact"
        yield Case(f"PyCausalMemory.{name} ({kind})", SIZE, lambda f=ours, h=hit: f(h), {"numpy": lambda f=theirs, h=hit: f(h)})
        yield Case(f"PyCausalMemory.{name} (fallback)", SIZE, lambda f=ours, h=fall: f(h),
                   {"numpy": lambda f=theirs, h=fall: f(h)},
                   note="returns every positive cause" if name == "recall_cause" else "")

    # ---- PyMultiHopReasoner
    facts = rng.choice(F32([-1, 1]), (ITEMS, DIM))
    la, lb = rng.integers(0, ITEMS, 50_000), rng.integers(0, ITEMS, 50_000)
    r = m.PyMultiHopReasoner(DIM)
    for f in facts:
        r.add_fact(f.tolist())
    for x, y in zip(la.tolist(), lb.tolist()):
        r.add_link(x, y)
    query = facts[42].tolist()
    assert [i for i, _ in r.reason(query, 3)] == [i for i, _ in np_reason(facts, la, lb, query, 3)]
    yield Case("PyMultiHopReasoner.reason (hops 3)", "10,000 facts, 50,000 links, dim 1,024",
               lambda: r.reason(query, 3), {"numpy (literal walk)": lambda: np_reason(facts, la, lb, query, 3)})

    # Hop 0 alone is one scan of every fact: counted for a bipolar query, a signed sum for any other.
    def np_hop0(q_list):
        q = np.asarray(q_list, dtype=F32)
        s = (facts @ q / F32(len(q_list)) + F32(1)) * F32(0.5)
        idx = np.flatnonzero(s > F32(0.6))
        order = np.argsort(-s[idx], kind="stable")
        return list(zip(idx[order].tolist(), s[idx][order].tolist()))

    assert r.reason(query, 0) == np_hop0(query)  # a bipolar sum is exact in any order
    general = rng.standard_normal(DIM).astype(F32).tolist()
    comps = {"numpy (from the list)": lambda: np_hop0(query)}
    try:
        bounds = native_ext.load("bounds")
        fact_bits = np.packbits(facts < 0, axis=1, bitorder="little").view("<u8")
        query_bits = np.packbits(facts[42] < 0, bitorder="little").view("<u8")
        comps["popcount floor"] = lambda: bounds.xor_popcount(fact_bits, query_bits)
    except ImportError:
        pass
    yield Case("PyMultiHopReasoner.reason (hop 0, bipolar query)", "10,000 facts, dim 1,024",
               lambda: r.reason(query, 0), comps)
    yield Case("PyMultiHopReasoner.reason (hop 0, general query)", "10,000 facts, dim 1,024",
               lambda: r.reason(general, 0), {"numpy (from the list)": lambda: np_hop0(general)})


if __name__ == "__main__":
    main(cases())
