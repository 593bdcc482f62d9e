"""Reference models of the free functions and the classes, float32 step by step: every sum in index order,
cosines and sines from the platform's cosf/sinf, results in the module's Python shapes."""
import ctypes.util
import functools
import struct
from functools import reduce
from operator import mul

import numpy as np
from hypothesis import strategies as st

from support import F32 as F, M64, sip13

M32 = (1 << 32) - 1


# ---- comparing the library with a model: exact values, or the same error with the same text -----

def exact(x):  # every float by its exact value, bools apart from ints, tagged so that nothing else matches
    if isinstance(x, (float, np.floating)):
        return float, "nan" if x != x else float(x).hex()  # any NaN as one: which NaN comes out is the CPU's choice
    if isinstance(x, (bool, np.bool_)):
        return bool, bool(x)
    if isinstance(x, dict):  # in insertion order
        return dict, [exact(i) for i in x.items()]
    if isinstance(x, tuple):
        return tuple(map(exact, x))
    return [exact(v) for v in x] if isinstance(x, (list, np.ndarray)) else x


def outcome(f, *args):
    try:
        with np.errstate(all="ignore"):
            return exact(f(*args))
    except (ValueError, IndexError) as e:
        return type(e), str(e)


def same(obj, model, name, *args):  # one call on both must agree; the library's outcome
    assert (got := outcome(getattr(obj, name), *args)) == outcome(getattr(model, name), *args), (name, args)
    return got


def run(obj, model, ops, observe=lambda o: None):  # every call, then the observable state, must agree
    for name, *args in ops:
        same(obj, model, name, *args)
        assert outcome(observe, obj) == outcome(observe, model), name


def call(name, *args):  # a hypothesis strategy of one call
    return st.tuples(st.just(name), *args)


# ---- shared arithmetic and generators ----------------------------------------------------------

def a32(v): return np.asarray(v, F)


def le8(i): return i.to_bytes(8, "little")


def pair(a, b):  # both cut to the shorter length
    n = min(len(a), len(b))
    return a32(a[:n]), a32(b[:n])


def total(x, init=0.0):  # init + x[0] + x[1] + ..., rounded after every add (cumsum runs in order)
    return np.cumsum(np.concatenate(([F(init)], a32(x))), dtype=F)[-1]


def dot(a, b): return total(np.multiply(*pair(a, b)), -0.0)  # from -0.0: only the products decide a zero's sign


def nd(a, b): return dot(a, b) / F(len(a))


def resonance(a, b):
    with np.errstate(all="ignore"):
        return (nd(a, b) + F(1)) * F(0.5)


def permute(v, n):  # out[(i + n) mod len] = v[i]
    return np.roll(a32(v), n % len(v) if len(v) else 0)


def hv_hash(v):  # the signs of the first 64 elements, rounded to 32 bits
    with np.errstate(over="ignore"):
        return sum(1 << i for i, x in enumerate(v[:64]) if F(x) > 0)


def lcg_signs(seed, dim):
    out = []
    for _ in range(dim):
        seed = (seed * 6364136223846793005 + 1) & M64
        out.append(-1.0 if seed >> 63 else 1.0)
    return out


def xorshift_signs(x, dim):  # the low bit of each state, x ^= x << 13, x >> 7, x << 17, picks -1
    out = []
    for _ in range(dim):
        x ^= (x << 13) & M64; x ^= x >> 7; x ^= (x << 17) & M64  # noqa: E702
        out.append(-1.0 if x & 1 else 1.0)
    return a32(out)


def best(pairs, start=(F(-1.0), 0)):  # only a greater score replaces it: earliest wins ties, NaN never
    for k, s in pairs:
        if s > start[0]:
            start = (s, k)
    return start


# ---- the free functions ------------------------------------------------------------------------

DIAGNOSTIC_SEED = 0x3E5B09A1D146C0DE


def bind(a, b):
    with np.errstate(all="ignore"):
        return np.multiply(*pair(a, b)).tolist()


def bundle(a, b):
    with np.errstate(all="ignore"):
        return [1.0 if x > 0 else -1.0 if x < 0 else 0.0 for x in np.add(*pair(a, b))]


def normalise(v):
    x = a32(v)
    mx = max([F(1e-9)] + [abs(e) for e in x if e == e])
    with np.errstate(all="ignore"):
        return (x / mx).tolist()


def hebbian(w, pre, post, lr, dim):
    w, lr, cols = [F(x) for x in w], F(lr), min(len(post), dim)
    with np.errstate(all="ignore"):
        for i in range(min(len(pre), dim, len(w) // max(dim, 1) + 1)):  # rows past W change nothing
            a = F(F(pre[i]) * lr)
            for j in sorted({i} | set(range(-i % 7, cols, 7))):  # the diagonal and (i + j) % 7 == 0
                if j < cols and i * dim + j < len(w):
                    w[i * dim + j] = F(F(F(post[j]) * a) + w[i * dim + j])
    return [float(x) for x in w]


def hv_hash_string(s, dim):
    return lcg_signs(sip13(s.encode() + b"\xff"), dim)


def quantise(value):
    c = F(value) if F(value) >= 0 else F(0)  # NaN and negatives to 0
    return int(F(min(c, F(1e6)) * F(1000))) % 256


def state(dim, ram, cpu, err, lat):
    out = np.zeros(dim, F)
    for name, value in zip(("ram", "cpu", "err", "lat"), (ram, cpu, err, lat)):
        out = out + a32(bind(hv_hash_string(f"{name}:{quantise(value)}", dim), hv_hash_string(f"{name}_role", dim)))
    return out.tolist()


def bundle_diagnostics(payload, *figures):
    with np.errstate(all="ignore"):
        return (a32(payload) + a32(bind(state(len(payload), *figures), role(len(payload))))).tolist()


def role(dim):
    return lcg_signs(DIAGNOSTIC_SEED, dim)


# ---- the associative memories --------------------------------------------------------------------

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _fn in (_libm.cosf, _libm.sinf):
    _fn.restype, _fn.argtypes = ctypes.c_float, [ctypes.c_float]
_cos_sin = functools.lru_cache(maxsize=1 << 18)(lambda x: (_libm.cosf(x), _libm.sinf(x)))


def cos_sin(t):
    return np.array([_cos_sin(x) for x in t.tolist()], F).reshape(-1, 2).T


def phases(hashes):  # each 64-bit hash rounded once to float32, times 2^-64, doubled, times float(pi)
    t = np.array(hashes, np.uint64).astype(F) * F(2.0 ** -64)
    return (t + t) * F(np.pi)


@functools.lru_cache(maxsize=None)
def phase_code(s, dim):
    return phases([sip13(le8(len(s.encode())) + s.encode() + le8(i)) for i in range(dim)])


class HKVC:
    def __init__(self, dim):
        self.dim, self.keys, self.values, self.kp, self.vp = dim, [], [], [], []
        self.comp, self.pos = (np.zeros(dim, F),) * 2, (np.zeros(dim, F),) * 2

    def store(self, key, value, position):
        kp, vp = phase_code(key, self.dim), phase_code(value, self.dim)
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
        q = phase_code(key, self.dim)
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


class CausalMemory:
    def __init__(self, dim):
        self.dim, self.edges, self.trace = dim, [], np.zeros(dim, F)
        self.roles = [xorshift_signs(sip13(le8(len(n)) + n.encode()), dim)
                      for n in ("__CAUSE_ROLE__", "__EFFECT_ROLE__", "__TEMPORAL_ROLE__")]

    def record(self, *cet):
        for name, v in zip(("cause", "effect", "time"), cet):
            if len(v) < self.dim:
                raise ValueError(f"{name} has length {len(v)}, expected at least {self.dim}")
        self.edges.append([a32(v) for v in cet])
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
        q = a32(q)
        return self.effect(q, 0, best((k, nd(q, c)) for k, (c, _, _) in enumerate(self.edges) if hv_hash(c) == hv_hash(q)))

    def recall_cause(self, q):
        q = a32(q)
        hits = [(s, c) for c, e, _ in self.edges if hv_hash(e) == hv_hash(q) and (s := nd(q, e)) > 0]
        if not hits:
            p = self.probe(q, 1)
            hits = [(s, c) for c, _, _ in self.edges if (s := nd(p, c)) > 0]
        return [c.tolist() for _, c in sorted(hits, key=lambda h: -h[0])]

    def recall_by_time(self, q):
        q = a32(q)
        found = best((k, nd(q, t)) for k, (_, _, t) in enumerate(self.edges))
        return self.effect(q, 2, found, found)  # the fallback carries on from the same running best

    store, query_effect, query_cause, query_by_time = record, recall_effect, recall_cause, recall_by_time


class MultiHopReasoner:
    def __init__(self, dim=0):
        self.facts, self.links = [], []

    def add_fact(self, fact):
        self.facts.append(a32(fact))
        return len(self.facts) - 1

    def add_link(self, a, b): self.links.append((a, b))  # noqa: E704

    def reason(self, q, hops):
        q, n = a32(q), len(self.facts)
        score = [resonance(q, f) for f in self.facts]
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


# ---- the generator: ChaCha12 read 64 bits at a time, keyed with 32 bytes or a PCG32 run -----------

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


def chacha_signs(seed, dim): return [-1 if d >> 63 else 1 for d in seeded(seed, dim)]


# ---- the generation engine -----------------------------------------------------------------------

WHITE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
COLOURS = dict(red=650, orange=590, amber=590, yellow=580, white=550, green=530, cyan=500, blue=480, violet=420,
               purple=420)


def bind_bytes(*vs): return [((reduce(mul, x) + 128) & 255) - 128 for x in zip(*vs)]


def floats_hv(dim, v):
    def axis_bin(x):  # clamp (a NaN stays), scale, truncate, cap
        q = (min(max(F(x), F(-10)), F(10)) + F(10)) / F(20) * F(32)
        return min(int(q), 31) if q > 0 else 0
    return [1 if (i % 3 + i // 32 + sum(map(axis_bin, v))) % 2 else -1 for i in range(dim)]


def photon(dim, pos, direction, wavelength):
    if 0 < dim < 32:
        raise ValueError("attempt to divide by zero")
    wl, block = F(wavelength), max(dim // 32, 1)
    bias = seeded(int(wl.view(np.uint32)), dim)  # gen_bool(0.6) against block k's flag -10 + 0.625 k <= wl
    return [p if (d < 0x9999999999999800) == (-10 + 0.625 * min(i // block, 31) <= wl) else -p
            for i, (p, d) in enumerate(zip(bind_bytes(floats_hv(dim, pos), floats_hv(dim, direction)), bias))]


def same_length(left, right):
    if left != right:
        raise ValueError(f"assertion `left == right` failed\n  left: {left}\n right: {right}")


def operand(obj):  # a byte list as given, else the text form
    if isinstance(obj, (list, tuple, bytes)) and all(type(x) is int and -128 <= x < 128 for x in obj):
        return list(obj)
    return "".join("\ufffd" if "\ud800" <= c <= "\udfff" else c for c in str(obj))


class Engine:
    def __init__(self, dim):
        self.dim, self.u, self.f = dim, lambda v: chacha_signs(v, dim), lambda v: floats_hv(dim, v)
        g = draws(struct.unpack("<8I", b"morvelan_hdc graphics role seed!"), 12)  # L, R: the 11th, 12th of 14
        self.roles = self.u(g[10] ^ ord("L")), self.u(g[11] ^ ord("R"))

    def text(self, t):
        return [-1 if sip13(t.encode() + b"\xff" + le8(i)) & 1 else 1 for i in range(self.dim)]

    def generate_pixel_geometry(self, x, y, frame=None): return bind_bytes(self.u(x), self.u(y), self.u(frame or 0))

    def generate_material_mapping(self, pos, normal, mat): return bind_bytes(self.f(pos), self.f(normal), self.u(mat))

    def generate_photon(self, position, direction=None, wavelength=None):
        if isinstance(position, str):
            name = "".join(chr(ord(c) | 32) if "A" <= c <= "Z" else c for c in position.strip(WHITE))
            if name not in COLOURS:
                raise ValueError(f"unsupported photon color '{name}'. Use blue, red, green, yellow, white, cyan, "
                                 "amber, or violet.")
            return photon(self.dim, (0, 0, 0), (1, 0, 0), COLOURS[name])
        for name, value in (("direction", direction), ("wavelength", wavelength)):
            if value is None:
                raise ValueError(f"{name} is required when generate_photon() is called with a position vector")
        return photon(self.dim, position, direction, wavelength)

    def encode_bvh_node(self, lo, hi, left, right):
        for v in (left, right):
            same_length(len(v), self.dim)
        return bind_bytes(self.f(lo), self.f(hi), left, right, *self.roles)

    def simulate_counterfactual(self, root, intervention):
        r, i = operand(root), operand(intervention)
        if isinstance(r, str) != isinstance(i, str):  # the byte operand must have dim elements
            same_length(*((len(i), self.dim) if isinstance(r, str) else (self.dim, len(r))))
        r, i = (self.text(x) if isinstance(x, str) else x for x in (r, i))
        same_length(len(i), len(r))
        return bind_bytes(r, i)


# ---- meta-learning -------------------------------------------------------------------------------

PARAMS = dict(learning_rate=0.5, attention_weight=0.5, momentum=0.5, excitation_bias=0.5, inhibition_bias=0.3,
              identity_lr=0.01, exploration_rate=0.3)
ACTIONS = {a: next(p for p in PARAMS if p[:5] == a[:5]) for a in (
    "learning_rate_increase learning_rate_decrease attention_increase attention_decrease momentum_increase "
    "momentum_decrease excitation_increase inhibition_increase exploration_increase identity_lr_increase "
    "identity_lr_decrease").split()}


class Optimizer:
    def __init__(self): self.params, self.history = {k: F(v) for k, v in PARAMS.items()}, []

    def apply(self, action, delta, reason):
        self.history = self.history[-99:] + [dict(self.params)]
        if action in ACTIONS:
            name, d = ACTIONS[action], F(delta)
            v = self.params[name] - abs(d) if action.endswith("decrease") else self.params[name] + d
            # the floor takes a NaN's place; the unit clamp lets it (and -0.0) through
            self.params[name] = max(F(0.001), v) if name == "identity_lr" else min(max(v, F(0)), F(1))

    def rollback(self): self.params = self.history.pop() if self.history else self.params

    def get(self, name): return self.params.get(name)

    def get_params(self): return self.params


class Metacognition:
    def __init__(self, dim): self.dim, self.history = dim, []

    def record(self, res, coh, acc, context, tag):
        if len(context) != self.dim:
            raise ValueError(f"argument 'context': expected a sequence of length {self.dim} (got {len(context)})")
        self.history = self.history[-9999:] + [(F(res), F(acc))]

    def success_rate(self):
        ok = F(sum(bool(r > 0.5 and a > 0.5) for r, a in self.history))
        return ok / F(len(self.history)) if self.history else F(0)

    def avg_resonance(self):
        return total([r for r, _ in self.history], -0.0) / F(len(self.history)) if self.history else F(0)

    def recommend(self):
        s, r = self.success_rate(), self.avg_resonance()
        out = [("learning_rate_increase", F(0.1), f"success rate {float(s):.2f} < 50%"),
               ("attention_increase", F(0.05), "increase focus")] if s < 0.5 else [
            ("momentum_increase", F(0.05), f"success rate {float(s):.2f} > 80%, reinforce")] if s > 0.8 else []
        return out + [("identity_lr_decrease", F(-0.005), f"avg resonance {float(r):.2f} too low")] * bool(r < 0.4)


class SelfAudit:
    def __init__(self, dim): self.dim, self.history = dim, []

    def full_audit(self, hv):
        hv, issues = [F(x) for x in hv], []
        near = sum(bool(abs(x) < F(0.1)) for x in hv)
        issues += [f"drift detected: {near} elements near zero"] * (near > self.dim // 10)
        if recent := self.history[:-6:-1]:  # the five newest, newest first
            c = total([nd(hv, p) for p in recent]) / F(len(recent))
            issues += [f"low history consistency: {float(c):.3f}"] * bool(c < F(0.5))
        self.history = self.history[-99:] + [hv]
        return F(1) - F(0.1) * F(len(issues)), not issues, issues

    def check_consistency(self, h1, h2):
        score = resonance(h1, h2)
        return score, bool(score >= F(0.7)), [f"low consistency: {float(score):.3f}"] if score < F(0.7) else []


class QuantumAttentionHead:
    def __init__(self, dim, nqubits): self.dim = dim

    def compute(self, query, keys, values):
        if not keys or len(keys) != len(values):
            raise ValueError("assertion failed: !keys.is_empty() && keys.len() == values.len()")
        if len(keys) == 1:
            return [F(x) for x in values[0]]
        w = [max(F(0), s + s + F(-1)) for s in (nd(query, k) for k in keys)]  # NaN -> 0
        sw, out = total(w), [F(0)] * self.dim
        for wj, v in zip(w, values) if sw >= F(1e-9) else []:
            for i in range(min(self.dim, len(v))):
                out[i] = F(v[i]) * (wj / sw) + out[i]
        return out


# ---- the swarm and the scheduler -----------------------------------------------------------------

class Swarm:
    def __init__(self, dim):
        self.dim, self.swarm_vector, self.agents = dim, np.zeros(dim, F), []
        self.get_swarm_vector = lambda: self.swarm_vector

    def shift(self, name):
        return sip13(name.encode() + b"\xff") % self.dim if self.dim else 0

    def add_agent(self, role, r, policy, p, skill, s):
        r, p, s = a32(r), a32(p), a32(s)
        n = min(len(r), len(p), len(s))
        m = min(self.dim, n, len(self.swarm_vector))
        self.swarm_vector[:m] += permute(r[:n] * (p[:n] * s[:n]), self.shift(role))[:m]
        self.agents.append((role, r, policy, p, skill, s))

    def add_paradox_trap(self, names, roles, keys):
        n = len(names)
        for arg, have in [("roles", roles), ("keys", keys)]:
            if n >= 2 and len(have) < n:
                raise ValueError(f"argument '{arg}': expected at least {n} vectors (one per name), got {len(have)}")
        for i in range(n if n >= 2 else 0):
            self.add_agent(names[i], roles[i], "PARADOX_LINK", keys[i], names[(i + 1) % n], roles[(i + 1) % n])

    def materialize(self, probe, threshold):
        kept = [(a[0], resonance(probe, a[1])) for a in self.agents]
        return sorted([k for k in kept if k[1] > F(threshold)], key=lambda k: -k[1])

    def resonate(self, key, guess, _s_guess, max_iter):
        if not self.agents:
            return ("none", "none", "none", 0.0)
        names = [a[0] for a in self.agents]
        ridx = names.index(key) if key in names else 0
        u = permute(self.swarm_vector, (self.dim - self.shift(key)) % self.dim if self.dim else 0)
        r = self.agents[ridx][1] if key in names else np.zeros(self.dim, F)

        def cleanup(x, book):  # (score, index) of the best entry, the first of equals; -2 keeps index 0
            n = min(len(u), len(r), len(x))
            return best(((j, resonance(u[:n] * (r[:n] * x[:n]), a[book])) for j, a in enumerate(self.agents)),
                        (F(-2), 0))

        out, seen, t = (0, 0, F(0)), {}, 0
        while t < max_iter:
            sidx = cleanup(a32(guess) if t == 0 else self.agents[out[1]][3], 5)[1]
            out, t = (sidx, *cleanup(self.agents[sidx][5], 3)[::-1]), t + 1
            if out[1] in seen:  # the policy index came back: whole cycles change nothing
                t += (max_iter - t) // (t - seen[out[1]]) * (t - seen[out[1]])
                seen.clear()
            seen[out[1]] = t
        return (names[ridx], self.agents[out[1]][2], self.agents[out[0]][4], out[2])


class Scheduler:
    def __init__(self, dim, qc):
        self.dim, self.lr, self.book, self.world, self.state = dim, F(0.5), [], np.zeros(dim, F), np.ones(dim, F)
        self.dimension, self.quantum_capacity = lambda: dim, lambda: qc
        self.run_audit_integrity_check = lambda: dim != 0 and qc != 0
        self.feedback_strength, self.export_holographic_state = lambda: self.lr, lambda: self.state
        self.quantum_grover_search = QuantumAttentionHead(dim, qc).compute  # the embedded head

    def key(self, text): return xorshift_signs(sip13(text.encode() + b"\xff"), self.dim)

    def store_memory(self, text):
        k = self.key(text)
        self.world, self.state = self.world + k * k, np.clip(self.state + k, F(-1), F(1))
        self.book.append(k)

    def recall(self, text):
        q = self.world * self.key(text)
        return bool(max([F(-2)] + [nd(q, v) for v in self.book]) > F(0.3))  # NaN never wins

    def process_feedback(self, s):
        d = F(s) + F(-0.5)
        self.lr = min(max(self.lr + abs(d) if d > 0 else self.lr - abs(d), F(0)), F(1))  # NaN passes

    def generate_role(self, label):
        head = label.encode() + b"\xff"
        return [1.0 if sip13(head + le8(i)) & 1 else -1.0 for i in range(self.dim)]
