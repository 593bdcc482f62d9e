"""Attention, scheduler recall, self audit and metacognition, beside numpy versions of the same formulas.

Both sides start from the same Python objects and return Python objects. Where our
call hashes text into vectors (recall), the numpy side is handed ready-made bipolar
vectors of the same shape, so its time leaves out the encoding that ours includes.
numpy's own reductions (BLAS dot products, pairwise sums) do not keep index order;
ours do, so the numpy results can differ in the last bits.
"""
from __future__ import annotations

import random
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import Case, main  # noqa: E402

import morvelan_hdc as m  # noqa: E402

F32 = np.float32


def bipolar_lists(rnd: random.Random, rows: int, dim: int) -> list[list[float]]:
    one, minus = 1.0, -1.0
    return [[one if rnd.getrandbits(1) else minus for _ in range(dim)] for _ in range(rows)]


# ---- attention: 1,000 keys x dim 10,000 -----------------------------------------

def np_attention(dim: int, query, keys, values) -> list[float]:
    q = np.asarray(query, F32)
    k = np.asarray(keys, F32)
    v = np.asarray(values, F32)
    s = (k[:, : len(q)] @ q[: k.shape[1]]) / F32(len(q))
    w = np.maximum(s + s - F32(1.0), F32(0.0))
    total = w.sum(dtype=F32)
    out = np.zeros(dim, F32)
    if total < F32(1e-9):
        return out.tolist()
    p = w / total
    n = min(dim, v.shape[1])
    out[:n] = p @ v[:, :n]
    return out.tolist()


def attention_case() -> Case:
    rnd = random.Random(1)
    n, dim = 1000, 10_000
    keys = bipolar_lists(rnd, n, dim)
    values = bipolar_lists(rnd, n, dim)
    query = list(keys[3])
    head = m.PyQuantumAttentionHead(dim, 8)
    return Case("PyQuantumAttentionHead.compute", f"{n:,} keys x dim {dim:,}",
                lambda: head.compute(query, keys, values),
                {"numpy": lambda: np_attention(dim, query, keys, values)},
                note="includes converting 2 x 10M list items")


# ---- recall: 10,000 concepts at dim 1,024 -------------------------------------------

class NpRecall:
    def __init__(self, codebook: np.ndarray):
        self.codebook = codebook  # concepts x dim, float32 bipolar
        self.world = np.full(codebook.shape[1], F32(codebook.shape[0]), F32)

    def recall(self, query: np.ndarray) -> bool:
        recalled = self.world * query
        scores = (self.codebook @ recalled) / F32(self.codebook.shape[1])
        return bool(scores.max() > F32(0.3))


def recall_case() -> Case:
    concepts, dim = 10_000, 1024
    s = m.PyHoloCPUScheduler(dim, 4)
    for i in range(concepts):
        s.store_memory(f"concept-{i}")
    rng = np.random.default_rng(2)
    npr = NpRecall(np.where(rng.random((concepts, dim)) < 0.5, F32(-1), F32(1)).astype(F32))
    query = np.where(rng.random(dim) < 0.5, F32(-1), F32(1)).astype(F32)
    return Case("PyHoloCPUScheduler.recall", f"{concepts:,} concepts, dim {dim:,}",
                lambda: s.recall("not stored"), {"numpy": lambda: npr.recall(query)},
                note="numpy is handed its query vector")


# ---- full_audit at dim 10,000 -------------------------------------------------------

class NpAudit:
    def __init__(self, dim: int):
        self.dim = dim
        self.history: list[np.ndarray] = []

    def full_audit(self, hv_list) -> tuple[float, bool, list[str]]:
        hv = np.asarray(hv_list, F32)
        issues = []
        c = int(np.count_nonzero(np.abs(hv) < F32(0.1)))
        if c > self.dim // 10:
            issues.append(f"drift detected: {c} elements near zero")
        if self.history:
            recent = self.history[-1:-6:-1]
            d = [F32(hv[: len(p)] @ p[: len(hv)]) / F32(len(hv)) for p in recent]
            consistency = F32(sum(d, F32(0.0)) / F32(len(d)))
            if consistency < F32(0.5):
                issues.append(f"low history consistency: {consistency:.3f}")
        self.history.append(hv.copy())
        del self.history[:-100]
        score = max(0.0, 1.0 - 0.1 * len(issues)) if issues else 1.0
        return float(F32(score)), not issues, issues


def audit_case() -> Case:
    dim = 10_000
    rnd = random.Random(3)
    hv = bipolar_lists(rnd, 1, dim)[0]
    ours, theirs = m.PySelfAudit(dim), NpAudit(dim)
    for _ in range(6):
        ours.full_audit(hv)
        theirs.full_audit(hv)
    return Case("PySelfAudit.full_audit", f"dim {dim:,}, 5-vector window", lambda: ours.full_audit(hv),
                {"numpy": lambda: theirs.full_audit(hv)})


# ---- recommend over a full history ------------------------------------------------

def np_recommend(res: np.ndarray, acc: np.ndarray) -> list[tuple[str, float, str]]:
    n = len(res)
    s = F32(np.count_nonzero((res > F32(0.5)) & (acc > F32(0.5)))) / F32(n) if n else F32(0)
    r = res.sum(dtype=F32) / F32(n) if n else F32(0)
    out = []
    if s < F32(0.5):
        out += [("learning_rate_increase", float(F32(0.1)), f"success rate {s:.2f} < 50%"),
                ("attention_increase", float(F32(0.05)), "increase focus")]
    elif s > F32(0.8):
        out.append(("momentum_increase", float(F32(0.05)), f"success rate {s:.2f} > 80%, reinforce"))
    if r < F32(0.4):
        out.append(("identity_lr_decrease", float(F32(-0.005)), f"avg resonance {r:.2f} too low"))
    return out


def recommend_case() -> Case:
    records = 10_000
    rnd = random.Random(4)
    mc = m.PyMetacognition(16)
    ctx = [1.0] * 16
    res = np.empty(records, F32)
    acc = np.empty(records, F32)
    for i in range(records):
        r, a = rnd.random(), rnd.random()
        mc.record(r, 0.0, a, ctx, i)
        res[i], acc[i] = r, a
    assert mc.recommend()[0][0] == np_recommend(res, acc)[0][0]
    return Case("PyMetacognition.recommend", f"{records:,} records", mc.recommend,
                {"numpy": lambda: np_recommend(res, acc)}, note="numpy holds res/acc as arrays already")


def cases():
    yield attention_case()
    yield recall_case()
    yield audit_case()
    yield recommend_case()


if __name__ == "__main__":
    main(cases())
