"""PyHoloCPUScheduler against a literal, self-contained model of its rules.

The model below is written independently of the library and of the other test
helpers: its own SipHash (checked against the published SipHash-2-4 vector),
its own encoders, optimizer and attention formula, every float step in
numpy.float32.
"""
import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
from _siphash import sip13, siphash

f32 = np.float32
MASK = (1 << 64) - 1


def test_siphash_model_reproduces_the_published_vector():
    key = bytes(range(16))
    k0, k1 = int.from_bytes(key[:8], "little"), int.from_bytes(key[8:], "little")
    assert siphash(2, 4, k0, k1, bytes(range(15))) == 0xA129CA6149BE45E5
    assert siphash(2, 4, k0, k1, b"") == 0x726FDB47DD0E0E31


def encode_string(text: str, dim: int):
    x = sip13(text.encode() + b"\xff")
    out = []
    for _ in range(dim):
        x ^= (x << 13) & MASK
        x ^= x >> 7
        x ^= (x << 17) & MASK
        out.append(f32(-1.0) if x & 1 else f32(1.0))
    return out


def generate_role(label: str, dim: int):
    head = label.encode() + b"\xff"
    return [1.0 if sip13(head + struct.pack("<Q", i)) & 1 else -1.0 for i in range(dim)]


class Model:
    """The scheduler's fields and steps, transcribed one by one."""

    def __init__(self, dim, qc):
        self.dim, self.qc = dim, qc
        self.world = [f32(0.0)] * dim
        self.codebook, self.labels = [], []
        self.state = [f32(1.0)] * dim
        self.lr = f32(0.5)  # the only optimizer parameter process_feedback can move

    def store_memory(self, target):
        key = encode_string(target, self.dim)
        value = encode_string(target, self.dim)
        bound = [f32(k * v) for k, v in zip(key, value)]
        self.world = [f32(w + b) for w, b in zip(self.world, bound)]
        self.state = [min(max(f32(s + k), f32(-1.0)), f32(1.0)) for s, k in zip(self.state, key)]
        self.codebook.append(value)
        self.labels.append(target)

    def recall(self, target):
        if not self.labels:
            return False
        q = encode_string(target, self.dim)
        recalled = [f32(w * x) for w, x in zip(self.world, q)]
        best = f32(-2.0)
        with np.errstate(all="ignore"):
            for v in self.codebook:
                total = f32(0.0)
                for r, x in zip(recalled, v):
                    total = f32(total + f32(r * x))
                score = f32(total / f32(self.dim))
                if score > best:
                    best = score
        return bool(best > f32(0.3))

    def process_feedback(self, signal):
        with np.errstate(all="ignore"):
            s = f32(float(signal))
            delta = f32(s + f32(-0.5))
            if delta > f32(0.0):
                v = f32(self.lr + f32(abs(delta)))
            else:
                v = f32(self.lr - f32(abs(delta)))
        self.lr = f32(0.0) if v < 0 else (f32(1.0) if v > 1 else v)

    def grover(self, query, keys, values):
        if not keys or len(keys) != len(values):
            raise ValueError("assertion failed: !keys.is_empty() && keys.len() == values.len()")
        if len(keys) == 1:
            return [float(f32(x)) for x in values[0]]
        with np.errstate(all="ignore"):
            w = []
            for k in keys:
                total = f32(0.0)
                for a, b in zip(query, k):
                    total = f32(total + f32(f32(a) * f32(b)))
                s = f32(total / f32(len(query)))
                x = f32(f32(s + s) + f32(-1.0))
                w.append(x if x > 0 else f32(0.0))  # NaN fails the comparison too
            total = w[0]
            for x in w[1:]:
                total = f32(total + x)
            if total < f32(1e-9):
                return [0.0] * self.dim
            p = [f32(x / total) for x in w]
            out = [f32(0.0)] * self.dim
            for pj, v in zip(p, values):
                for i in range(min(self.dim, len(v))):
                    out[i] = f32(f32(f32(v[i]) * pj) + out[i])
        return [float(x) for x in out]


def bits(xs):
    return [struct.unpack("<I", struct.pack("<f", x))[0] if not math.isnan(x) else "nan" for x in xs]


TEXTS = ["", "a", "b", "ab", "ba", "concept", "ü", "日本", "x" * 9, "a\x00b"]
text = st.one_of(st.sampled_from(TEXTS), st.text(max_size=5))
signal = st.one_of(st.sampled_from([0.5, 0.0, 1.0, -0.0, 2.0, -1.0, 0.7, float("nan"), float("inf"),
                                    float("-inf"), 1e300, 0.5000000001]), st.floats(-3, 3))
short = st.lists(st.one_of(st.sampled_from([1.0, -1.0, 0.0]), st.floats(-2, 2, width=32)), max_size=6)
op = st.one_of(
    st.tuples(st.just("store"), text),
    st.tuples(st.just("recall"), text),
    st.tuples(st.just("feedback"), signal),
    st.tuples(st.just("role"), text),
    st.tuples(st.just("grover"), st.tuples(short, st.lists(st.tuples(short, short), max_size=4))),
)


@settings(max_examples=60, deadline=None)
@given(dim=st.integers(0, 40), qc=st.integers(0, 3), ops=st.lists(op, max_size=14))
def test_random_sessions_match_the_model(dim, qc, ops):
    s, model = m.PyHoloCPUScheduler(dim, qc), Model(dim, qc)
    for kind, arg in ops:
        if kind == "store":
            assert s.store_memory(arg) is None
            model.store_memory(arg)
        elif kind == "recall":
            assert s.recall(arg) is model.recall(arg)
        elif kind == "feedback":
            assert s.process_feedback(arg) is None
            model.process_feedback(arg)
        elif kind == "role":
            assert s.generate_role(arg) == generate_role(arg, dim)
        else:
            query, pairs = arg
            keys, values = [k for k, _ in pairs], [v for _, v in pairs]
            try:
                want = model.grover(query, keys, values)
            except ValueError as e:
                with pytest.raises(ValueError) as got:
                    s.quantum_grover_search(query, keys, values)
                assert str(got.value) == str(e)
            else:
                assert bits(s.quantum_grover_search(query, keys, values)) == bits(want)
        state = s.export_holographic_state()
        assert bits(state) == bits([float(x) for x in model.state])
        strength = s.feedback_strength()
        assert bits([strength]) == bits([float(model.lr)])
    for t in model.labels[:3]:
        assert s.recall(t) is model.recall(t)
    assert (s.dim, s.dimension(), s.qc, s.quantum_capacity()) == (dim, dim, qc, qc)
    assert s.run_audit_integrity_check() is (dim != 0 and qc != 0)


@pytest.mark.parametrize("dim", [1, 2, 63, 64, 65, 129])
def test_recall_at_word_edges(dim):
    # Codebook rows of these lengths end exactly at, just before and just after
    # a 64-element boundary.
    s, model = m.PyHoloCPUScheduler(dim, 1), Model(dim, 1)
    for t in TEXTS[:6]:
        s.store_memory(t)
        model.store_memory(t)
    for probe in TEXTS + ["p%d" % i for i in range(40)]:
        assert s.recall(probe) is model.recall(probe), probe


def test_many_stores_of_one_text():
    # Every store adds 1.0 to every world entry: after n stores of one text a
    # stored text scores n and the state saturates at the key itself.
    s, model = m.PyHoloCPUScheduler(24, 1), Model(24, 1)
    for _ in range(30):
        s.store_memory("same")
        model.store_memory("same")
    assert s.export_holographic_state() == [float(x) for x in encode_string("same", 24)]
    for probe in ["same", "other", "", "x", "y", "z"]:
        assert s.recall(probe) is model.recall(probe)


def test_feedback_near_the_half():
    # 0.5000000001 rounds to the f32 0.5: delta 0, the decrease branch, no move.
    for x, want in [(0.5000000001, 0.5), (float(np.nextafter(f32(0.5), f32(1))), None),
                    (float(np.nextafter(f32(0.5), f32(0))), None)]:
        s, model = m.PyHoloCPUScheduler(3, 1), Model(3, 1)
        s.process_feedback(x)
        model.process_feedback(x)
        assert s.feedback_strength() == float(model.lr)
        if want is not None:
            assert s.feedback_strength() == want
