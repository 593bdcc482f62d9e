# Reference models of PyHoloSwarm and PyHoloCPUScheduler: numpy float32, every sum in index order.

import numpy as np

import morvelan_hdc as m
from support import bits, sip13

F = np.float32


def a32(v):
    return np.asarray(v, F)


# A result with every float as its 32-bit pattern (any NaN as 'nan'), for exact comparison.
def norm(x):
    if isinstance(x, (list, tuple, np.ndarray)):
        return [norm(v) for v in x]
    return ("nan" if np.isnan(x) else bits([x])[0]) if isinstance(x, (float, np.floating)) else x


# norm(obj.name(*args)), or the text of the ValueError it raised.
def call(obj, name, *args):
    try:
        return norm(getattr(obj, name)(*args))
    except ValueError as e:
        return ("ValueError", str(e))


def dot(a, b):
    n = min(len(a), len(b))
    return np.cumsum(np.concatenate(([F(0)], a[:n] * b[:n])), dtype=F)[-1]


def score(v, c):
    return (dot(v, c) / F(len(v)) + F(1)) * F(0.5)


def rot(v, k):
    return np.roll(v, k % len(v)) if len(v) else v  # entry i moves to (i + k) mod len


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
        self.swarm_vector[:m] += rot(r[:n] * (p[:n] * s[:n]), self.shift(role))[:m]
        self.agents.append((role, r, policy, p, skill, s))

    def add_paradox_trap(self, names, roles, keys):
        n = len(names)
        for arg, have in [("roles", roles), ("keys", keys)]:
            if n >= 2 and len(have) < n:
                raise ValueError(f"argument '{arg}': expected at least {n} vectors (one per name), got {len(have)}")
        for i in range(n if n >= 2 else 0):
            self.add_agent(names[i], roles[i], "PARADOX_LINK", keys[i], names[(i + 1) % n], roles[(i + 1) % n])

    def materialize(self, probe, threshold):
        kept = [(a[0], score(a32(probe), a[1])) for a in self.agents]
        return sorted([k for k in kept if k[1] > F(threshold)], key=lambda k: -k[1])

    def resonate(self, key, guess, _s_guess, max_iter):
        if not self.agents:
            return ("none", "none", "none", 0.0)
        names = [a[0] for a in self.agents]
        ridx = names.index(key) if key in names else 0
        u = rot(self.swarm_vector, (self.dim - self.shift(key)) % self.dim if self.dim else 0)
        r = self.agents[ridx][1] if key in names else np.zeros(self.dim, F)

        def cleanup(x, book):  # (index, score) of the best entry, the first of equals
            n = min(len(u), len(r), len(x))
            found = [(score(u[:n] * (r[:n] * x[:n]), a[book]), -j) for j, a in enumerate(self.agents)]
            best = max([(F(-2), 0)] + found)  # NaN never wins, -2 keeps index 0
            return -best[1], best[0]

        out, seen, t = (0, 0, F(0)), {}, 0
        while t < max_iter:
            sidx = cleanup(a32(guess) if t == 0 else self.agents[out[1]][3], 5)[0]
            out, t = (sidx, *cleanup(self.agents[sidx][5], 3)), t + 1
            if out[1] in seen:  # the policy index came back: whole cycles change nothing
                t += (max_iter - t) // (t - seen[out[1]]) * (t - seen[out[1]])
                seen.clear()
            seen[out[1]] = t
        return (names[ridx], self.agents[out[1]][2], self.agents[out[0]][4], out[2])


def encode(text, dim):
    x, out = sip13(text.encode() + b"\xff"), []
    for _ in range(dim):
        x ^= (x << 13) & (2**64 - 1); x ^= x >> 7; x ^= (x << 17) & (2**64 - 1)  # noqa: E702
        out.append(-1.0 if x & 1 else 1.0)
    return a32(out)


class Scheduler:
    def __init__(self, dim, qc):
        self.dim, self.lr, self.book, self.world, self.state = dim, F(0.5), [], np.zeros(dim, F), np.ones(dim, F)
        self.dimension, self.quantum_capacity = lambda: dim, lambda: qc
        self.run_audit_integrity_check = lambda: dim != 0 and qc != 0
        self.feedback_strength, self.export_holographic_state = lambda: self.lr, lambda: self.state
        self.quantum_grover_search = m.PyQuantumAttentionHead(dim, qc).compute  # the embedded head's own

    def store_memory(self, text):
        k = encode(text, self.dim)
        self.world, self.state = self.world + k * k, np.clip(self.state + k, F(-1), F(1))
        self.book.append(k)

    def recall(self, text):
        q = self.world * encode(text, self.dim)
        return bool(max([F(-2)] + [dot(q, v) / F(self.dim) for v in self.book]) > F(0.3))  # NaN never wins

    def process_feedback(self, s):
        d = F(s) + F(-0.5)
        self.lr = min(max(self.lr + abs(d) if d > 0 else self.lr - abs(d), F(0)), F(1))  # NaN passes

    def generate_role(self, label):
        head = label.encode() + b"\xff"
        return [1.0 if sip13(head + i.to_bytes(8, "little")) & 1 else -1.0 for i in range(self.dim)]
