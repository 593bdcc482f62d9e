"""Reference models of the generation engine and the meta-learning classes, float32 step by step."""
import struct
from functools import reduce
from operator import add, mul

import numpy as np
from hypothesis import strategies as st
from support import F32, sip13

M32, M64 = (1 << 32) - 1, (1 << 64) - 1


def outcome(f, *args):  # the result with every float as its exact hex form (NaNs as one), or the ValueError
    def key(x):
        if isinstance(x, (float, np.floating)):
            return "nan" if x != x else float(x).hex()
        return [key(v) for v in (x.items() if isinstance(x, dict) else x)] if isinstance(x, (list, tuple, dict)) else x
    try:
        with np.errstate(all="ignore"):
            return key(f(*args))
    except ValueError as e:
        return "ValueError", str(e)


def call(name, *args):  # a hypothesis strategy of one call
    return st.tuples(st.just(name), *args)


def run(obj, model, ops, observe=lambda o: None):  # every call, then the observable state, must agree
    for name, *args in ops:
        assert outcome(getattr(obj, name), *args) == outcome(getattr(model, name), *args), name
        assert outcome(observe, obj) == outcome(observe, model)


# ---- the generator: ChaCha12 read 64 bits at a time, keyed with 32 bytes or a PCG32 run -----

def draws(key, n):
    out = []
    for ctr in range((n + 7) // 8):
        x = (s := [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, *key, ctr, 0, 0, 0])[:]
        for a, b, c, d in [(0, 4, 8, 12), (1, 5, 9, 13), (2, 6, 10, 14), (3, 7, 11, 15), (0, 5, 10, 15),
                           (1, 6, 11, 12), (2, 7, 8, 13), (3, 4, 9, 14)] * 6:
            for p, q, r, k in ((a, b, d, 16), (c, d, b, 12), (a, b, d, 8), (c, d, b, 7)):
                x[p] = (x[p] + x[q]) & M32
                x[r] = ((x[r] ^ x[p]) << k | (x[r] ^ x[p]) >> (32 - k)) & M32
        w = [(u + v) & M32 for u, v in zip(x, s)]
        out += [w[j] | w[j + 1] << 32 for j in range(0, 16, 2)]
    return out[:n]


def seeded(seed, n):
    key = []
    for _ in range(8):
        seed = (seed * 6364136223846793005 + 11634580027462260723) & M64
        xs, r = (((seed >> 18) ^ seed) >> 27) & M32, seed >> 59
        key.append((xs >> r | xs << (32 - r)) & M32)
    return draws(key, n)


def bipolar(seed, dim): return [-1 if d >> 63 else 1 for d in seeded(seed, dim)]


# ---- the engine ------------------------------------------------------------------------------

WHITE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
COLOURS = dict(red=650, orange=590, amber=590, yellow=580, white=550, green=530, cyan=500, blue=480, violet=420,
               purple=420)


def bind(*vs): return [((reduce(mul, x) + 128) & 255) - 128 for x in zip(*vs)]


def floats_hv(dim, v):
    def axis_bin(x):  # clamp (a NaN stays), scale, truncate, cap
        q = (min(max(F32(x), F32(-10)), F32(10)) + F32(10)) / F32(20) * F32(32)
        return min(int(q), 31) if q > 0 else 0
    return [1 if (i % 3 + i // 32 + sum(map(axis_bin, v))) % 2 else -1 for i in range(dim)]


def photon(dim, pos, direction, wavelength):
    if 0 < dim < 32:
        raise ValueError("attempt to divide by zero")
    wl, block = F32(wavelength), max(dim // 32, 1)
    bias = seeded(int(wl.view(np.uint32)), dim)  # gen_bool(0.6) against block k's flag -10 + 0.625 k <= wl
    return [p if (d < 0x9999999999999800) == (-10 + 0.625 * min(i // block, 31) <= wl) else -p
            for i, (p, d) in enumerate(zip(bind(floats_hv(dim, pos), floats_hv(dim, direction)), bias))]


def same_length(left, right):
    if left != right:
        raise ValueError(f"assertion `left == right` failed\n  left: {left}\n right: {right}")


def operand(obj):  # a byte list as given, else the text form
    if isinstance(obj, (list, tuple, bytes)) and all(type(x) is int and -128 <= x < 128 for x in obj):
        return list(obj)
    return "".join("\ufffd" if "\ud800" <= c <= "\udfff" else c for c in str(obj))


class Engine:
    def __init__(self, dim):
        self.dim, self.u, self.f = dim, lambda v: bipolar(v, dim), lambda v: floats_hv(dim, v)
        g = draws(struct.unpack("<8I", b"morvelan_hdc graphics role seed!"), 12)  # L, R: the 11th, 12th of 14
        self.roles = self.u(g[10] ^ ord("L")), self.u(g[11] ^ ord("R"))

    def text(self, t):
        return [-1 if sip13(t.encode() + b"\xff" + i.to_bytes(8, "little")) & 1 else 1 for i in range(self.dim)]

    def generate_pixel_geometry(self, x, y, frame=None): return bind(self.u(x), self.u(y), self.u(frame or 0))

    def generate_material_mapping(self, pos, normal, mat): return bind(self.f(pos), self.f(normal), self.u(mat))

    def generate_photon(self, position, direction=None, wavelength=None):
        if isinstance(position, str):
            name = "".join(chr(ord(c) | 32) if "A" <= c <= "Z" else c for c in position.strip(WHITE))
            if name not in COLOURS:
                raise ValueError(f"unsupported photon color '{name}'. Use blue, red, green, yellow, white, cyan, "
                                 "amber, or violet.")
            return photon(self.dim, (0, 0, 0), (1, 0, 0), COLOURS[name])
        return photon(self.dim, position, direction, wavelength)

    def encode_bvh_node(self, lo, hi, left, right):
        for v in (left, right):
            same_length(len(v), self.dim)
        return bind(self.f(lo), self.f(hi), left, right, *self.roles)

    def simulate_counterfactual(self, root, intervention):
        r, i = operand(root), operand(intervention)
        if isinstance(r, str) != isinstance(i, str):  # the byte operand must have dim elements
            same_length(*((len(i), self.dim) if isinstance(r, str) else (self.dim, len(r))))
        r, i = (self.text(x) if isinstance(x, str) else x for x in (r, i))
        same_length(len(i), len(r))
        return bind(r, i)


# ---- meta-learning ---------------------------------------------------------------------------

PARAMS = dict(learning_rate=0.5, attention_weight=0.5, momentum=0.5, excitation_bias=0.5, inhibition_bias=0.3,
              identity_lr=0.01, exploration_rate=0.3)
ACTIONS = {a: next(p for p in PARAMS if p[:5] == a[:5]) for a in (
    "learning_rate_increase learning_rate_decrease attention_increase attention_decrease momentum_increase "
    "momentum_decrease excitation_increase inhibition_increase exploration_increase identity_lr_increase "
    "identity_lr_decrease").split()}


def dot(a, b, start): return reduce(add, [F32(x) * F32(y) for x, y in zip(a, b)], F32(start))


class Optimizer:
    def __init__(self): self.params, self.history = {k: F32(v) for k, v in PARAMS.items()}, []

    def apply(self, action, delta, reason):
        self.history = self.history[-99:] + [dict(self.params)]
        if action in ACTIONS:
            name, d = ACTIONS[action], F32(delta)
            v = self.params[name] - abs(d) if action.endswith("decrease") else self.params[name] + d
            # the floor takes a NaN's place; the unit clamp lets it (and -0.0) through
            self.params[name] = max(F32(0.001), v) if name == "identity_lr" else min(max(v, F32(0)), F32(1))

    def rollback(self): self.params = self.history.pop() if self.history else self.params

    def get(self, name): return self.params.get(name)

    def get_params(self): return self.params


class Metacognition:
    def __init__(self, dim): self.dim, self.history = dim, []

    def record(self, res, coh, acc, context, tag):
        if len(context) != self.dim:
            raise ValueError(f"argument 'context': expected a sequence of length {self.dim} (got {len(context)})")
        self.history = self.history[-9999:] + [(F32(res), F32(acc))]

    def success_rate(self):
        ok = F32(sum(bool(r > 0.5 and a > 0.5) for r, a in self.history))
        return ok / F32(len(self.history)) if self.history else F32(0)

    def avg_resonance(self):
        return reduce(add, [r for r, _ in self.history], F32(-0.0)) / F32(len(self.history)) if self.history else F32(0)

    def recommend(self):
        s, r = self.success_rate(), self.avg_resonance()
        out = [("learning_rate_increase", F32(0.1), f"success rate {float(s):.2f} < 50%"),
               ("attention_increase", F32(0.05), "increase focus")] if s < 0.5 else [
            ("momentum_increase", F32(0.05), f"success rate {float(s):.2f} > 80%, reinforce")] if s > 0.8 else []
        return out + [("identity_lr_decrease", F32(-0.005), f"avg resonance {float(r):.2f} too low")] * bool(r < 0.4)


class SelfAudit:
    def __init__(self, dim): self.dim, self.history = dim, []

    def full_audit(self, hv):
        hv, issues = [F32(x) for x in hv], []
        near = sum(bool(abs(x) < F32(0.1)) for x in hv)
        issues += [f"drift detected: {near} elements near zero"] * (near > self.dim // 10)
        if recent := self.history[:-6:-1]:  # the five newest, newest first
            c = reduce(add, [dot(hv, p, -0.0) / F32(len(hv)) for p in recent], F32(0)) / F32(len(recent))
            issues += [f"low history consistency: {float(c):.3f}"] * bool(c < F32(0.5))
        self.history = self.history[-99:] + [hv]
        return F32(1) - F32(0.1) * F32(len(issues)), not issues, issues

    def check_consistency(self, h1, h2):
        score = (dot(h1, h2, 0) / F32(len(h1)) + F32(1)) * F32(0.5)
        return score, bool(score >= F32(0.7)), [f"low consistency: {float(score):.3f}"] if score < F32(0.7) else []


class QuantumAttentionHead:
    def __init__(self, dim, nqubits): self.dim = dim

    def compute(self, query, keys, values):
        if not keys or len(keys) != len(values):
            raise ValueError("assertion failed: !keys.is_empty() && keys.len() == values.len()")
        if len(keys) == 1:
            return [F32(x) for x in values[0]]
        w = [max(F32(0), s + s + F32(-1)) for s in (dot(query, k, 0) / F32(len(query)) for k in keys)]  # NaN -> 0
        total, out = reduce(add, w), [F32(0)] * self.dim
        for wj, v in zip(w, values) if total >= F32(1e-9) else []:
            for i in range(min(self.dim, len(v))):
                out[i] = F32(v[i]) * (wj / total) + out[i]
        return out
