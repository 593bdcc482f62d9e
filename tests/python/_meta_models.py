"""Short pure-Python models shared by the meta, scheduler and audit tests.

Every float operation goes through numpy.float32 scalars, so each product and
each sum is rounded to 32 bits exactly where the library rounds.
"""
from __future__ import annotations

import math
import struct

import numpy as np
from _siphash import sip13

f32 = np.float32
M64 = (1 << 64) - 1


def widen(xs):
    """The list a hypervector comes back as: each value rounded to f32, then widened."""
    return [float(f32(x)) for x in xs]


def same_floats(got, want) -> bool:
    """Equal as 32-bit patterns, except that any NaN matches any NaN."""
    if len(got) != len(want):
        return False
    for g, w in zip(got, want):
        if math.isnan(g) and math.isnan(w):
            continue
        if struct.pack("<f", g) != struct.pack("<f", w):
            return False
    return True


def fixed(x, decimals: int) -> str:
    x = float(x)
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return format(x, f".{decimals}f")  # Python rounds the exact binary value, ties to even


def dot(a, b, init=0.0):
    s = f32(init)
    for x, y in zip(a, b):
        s = f32(s + f32(f32(x) * f32(y)))
    return s


# ---- SipHash-1-3 with a zero key --------------------------------------------


def encode_string(s: str, dim: int) -> list[float]:
    x = sip13(s.encode() + b"\xff")
    out = []
    for _ in range(dim):
        x ^= (x << 13) & M64
        x ^= x >> 7
        x ^= (x << 17) & M64
        out.append(-1.0 if x & 1 else 1.0)
    return out


def generate_role(label: str, dim: int) -> list[float]:
    prefix = label.encode() + b"\xff"
    return [1.0 if sip13(prefix + i.to_bytes(8, "little")) & 1 else -1.0 for i in range(dim)]


# ---- the attention formula ----------------------------------------------------

def attention(dim, query, keys, values):
    if not keys or len(keys) != len(values):
        raise ValueError("assertion failed: !keys.is_empty() && keys.len() == values.len()")
    if len(keys) == 1:
        return widen(values[0])
    with np.errstate(all="ignore"):
        weights = []
        for k in keys:
            s = f32(dot(query, k) / f32(len(query)))
            w = f32(f32(s + s) + f32(-1.0))
            weights.append(w if w > 0 else f32(0.0))
        total = weights[0]
        for w in weights[1:]:
            total = f32(total + w)
        out = [f32(0.0)] * dim
        if total < f32(1e-9):
            return [0.0] * dim
        for w, v in zip(weights, values):
            p = f32(w / total)
            for i in range(min(dim, len(v))):
                out[i] = f32(f32(f32(v[i]) * p) + out[i])
    return [float(x) for x in out]


# ---- the self audit -----------------------------------------------------------

class AuditModel:
    def __init__(self, dim: int):
        self.dim = dim
        self.history: list[list[float]] = []

    def full_audit(self, hv):
        hv = widen(hv)
        issues = []
        c = sum(1 for x in hv if abs(x) < f32(0.1))
        if c > self.dim // 10:
            issues.append(f"drift detected: {c} elements near zero")
        if self.history:
            recent = self.history[::-1][:5]
            total = f32(0.0)
            with np.errstate(all="ignore"):
                for p in recent:
                    total = f32(total + f32(dot(hv, p, -0.0) / f32(len(hv))))
                consistency = f32(total / f32(len(recent)))
            if consistency < f32(0.5):
                issues.append("low history consistency: " + fixed(consistency, 3))
        self.history.append(hv)
        del self.history[:-100]
        return result(issues)


def result(issues):
    if issues:
        return float(max(f32(0.0), f32(f32(1.0) - f32(f32(0.1) * f32(len(issues)))))), False, issues
    return 1.0, True, []


def check_consistency(h1, h2):
    with np.errstate(all="ignore"):
        score = f32(f32(f32(dot(h1, h2) / f32(len(h1))) + f32(1.0)) * f32(0.5))
    issues = ["low consistency: " + fixed(score, 3)] if score < f32(0.7) else []
    return float(score), bool(score >= f32(0.7)), issues
