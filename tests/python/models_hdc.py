"""Reference models of the free functions: float32 arithmetic in index order, the
64-bit sign generator and SipHash-1-3 (support.sip13)."""
import numpy as np

from support import F32 as F, M64, sip13

DIAGNOSTIC_SEED = 0x3E5B09A1D146C0DE


def _pair(a, b):
    n = min(len(a), len(b))
    return np.asarray(a[:n], F), np.asarray(b[:n], F)


def resonance(a, b):
    x, y = _pair(a, b)
    with np.errstate(all="ignore"):  # accumulate adds strictly left to right
        s = np.add.accumulate(np.concatenate([[F(0)], x * y]), dtype=F)[-1]
        return float((F(s / F(len(a))) + F(1)) * F(0.5))


def bind(a, b):
    with np.errstate(all="ignore"):
        return np.multiply(*_pair(a, b)).tolist()


def bundle(a, b):
    with np.errstate(all="ignore"):
        return [1.0 if x > 0 else -1.0 if x < 0 else 0.0 for x in np.add(*_pair(a, b))]


def permute(v, n):
    return np.roll(np.asarray(v, F), n % len(v) if v else 0).tolist()  # out[(i + n) mod D] = v[i]


def normalise(v):
    x = np.asarray(v, F)
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


def hv_hash(v):
    with np.errstate(over="ignore"):
        return sum(1 << i for i, x in enumerate(v[:64]) if F(x) > 0)


def lcg_signs(seed, dim):
    out = []
    for _ in range(dim):
        seed = (seed * 6364136223846793005 + 1) & M64
        out.append(-1.0 if seed >> 63 else 1.0)
    return out


def hv_hash_string(s, dim):
    return lcg_signs(sip13(s.encode() + b"\xff"), dim)


def quantise(value):
    c = F(value) if F(value) >= 0 else F(0)  # NaN and negatives to 0
    return int(F(min(c, F(1e6)) * F(1000))) % 256


def state(dim, ram, cpu, err, lat):
    out = np.zeros(dim, F)
    for name, value in zip(("ram", "cpu", "err", "lat"), (ram, cpu, err, lat)):
        out = out + np.asarray(bind(hv_hash_string(f"{name}:{quantise(value)}", dim), hv_hash_string(f"{name}_role", dim)), F)
    return out.tolist()


def bundle_diagnostics(payload, *figures):
    with np.errstate(all="ignore"):
        return (np.asarray(payload, F) + np.asarray(bind(state(len(payload), *figures), role(len(payload))), F)).tolist()


def role(dim):
    return lcg_signs(DIAGNOSTIC_SEED, dim)
