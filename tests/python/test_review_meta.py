"""PyOptimizer, PyMetacognition, PySelfAudit and PyQuantumAttentionHead against
literal, self-contained models of their rules (every float step in numpy.float32),
compared bit for bit over random call sequences.
"""
import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m

f32 = np.float32
NAMES = ["learning_rate", "attention_weight", "momentum", "excitation_bias", "inhibition_bias",
         "identity_lr", "exploration_rate"]
# action -> (parameter, subtracts |delta|, bound)
ACTIONS = {
    "learning_rate_increase": ("learning_rate", False, "unit"),
    "learning_rate_decrease": ("learning_rate", True, "unit"),
    "attention_increase": ("attention_weight", False, "unit"),
    "attention_decrease": ("attention_weight", True, "unit"),
    "momentum_increase": ("momentum", False, "unit"),
    "momentum_decrease": ("momentum", True, "unit"),
    "excitation_increase": ("excitation_bias", False, "unit"),
    "inhibition_increase": ("inhibition_bias", False, "unit"),
    "exploration_increase": ("exploration_rate", False, "unit"),
    "identity_lr_increase": ("identity_lr", False, "floor"),
    "identity_lr_decrease": ("identity_lr", True, "floor"),
}


def key(x):
    """A float's identity as a 32-bit pattern; every NaN is one NaN."""
    x = float(x)
    return "nan" if math.isnan(x) else struct.unpack("<I", struct.pack("<f", x))[0]


def text(x, decimals):
    x = float(x)
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return format(x, ".%df" % decimals)  # exact binary value, ties to even


# ---- PyOptimizer ---------------------------------------------------------------

class OptimizerModel:
    def __init__(self):
        self.params = dict(zip(NAMES, map(f32, [0.5, 0.5, 0.5, 0.5, 0.3, 0.01, 0.3])))
        self.history = []

    def apply(self, action, delta):
        with np.errstate(all="ignore"):
            d = f32(float(delta))
            self.history.append(dict(self.params))
            if len(self.history) == 101:
                del self.history[0]
            if action not in ACTIONS:
                return
            name, down, bound = ACTIONS[action]
            v = self.params[name]
            v = f32(v - abs(d)) if down else f32(v + d)
        if bound == "unit":
            v = f32(0.0) if v < 0 else (f32(1.0) if v > 1 else v)
        elif math.isnan(v) or v < f32(0.001):
            v = f32(0.001)
        self.params[name] = v

    def rollback(self):
        if self.history:
            self.params = self.history.pop()


action = st.one_of(st.sampled_from(sorted(ACTIONS)),
                   st.sampled_from(["", "learning_rate", "Momentum_increase", "excitation_decrease",
                                    "identity_lr_increase ", "learning_rate_increase\x00"]))
delta = st.one_of(st.sampled_from([0.0, -0.0, 0.001, -0.001, 1.0, -1.0, 0.7, float("nan"), float("inf"),
                                   float("-inf"), 1e300, 1e-46]), st.floats(-2, 2))
opt_op = st.one_of(st.tuples(st.just("apply"), action, delta), st.tuples(st.just("rollback")))


def same_params(o, model):
    got = o.get_params()
    assert sorted(got) == sorted(NAMES)
    for n in NAMES:
        assert key(got[n]) == key(model.params[n]), n
        assert key(o.get(n)) == key(model.params[n]), n


@settings(max_examples=100, deadline=None)
@given(ops=st.lists(opt_op, max_size=40))
def test_optimizer_sequences_match_the_model(ops):
    o, model = m.PyOptimizer(), OptimizerModel()
    for op in ops:
        if op[0] == "apply":
            assert o.apply(op[1], op[2], "reason") is None
            model.apply(op[1], op[2])
        else:
            assert o.rollback() is None
            model.rollback()
        same_params(o, model)


@pytest.mark.parametrize("applies", [99, 100, 101, 102, 150, 201])
def test_optimizer_history_ring_matches_the_model(applies):
    # Around and past the 100-snapshot limit, then rolled back past empty.
    o, model = m.PyOptimizer(), OptimizerModel()
    names = sorted(ACTIONS)
    for k in range(applies):
        a, d = names[k % len(names)], (k % 7 - 3) / 16
        o.apply(a, d, "")
        model.apply(a, d)
    for _ in range(min(applies, 100) + 2):
        o.rollback()
        model.rollback()
        same_params(o, model)
    o.apply("momentum_increase", 0.25, "")  # the ring still works after running dry
    model.apply("momentum_increase", 0.25)
    o.rollback()
    model.rollback()
    same_params(o, model)


# ---- PyMetacognition -----------------------------------------------------------

class MetaModel:
    def __init__(self, dim):
        self.dim, self.history = dim, []

    def record(self, res, coh, acc, context, tag):
        if len(context) != self.dim:
            raise ValueError("argument 'context': expected a sequence of length %d (got %d)"
                             % (self.dim, len(context)))
        self.history.append((f32(res), f32(coh), f32(acc)))
        if len(self.history) == 10001:
            del self.history[0]

    def success_rate(self):
        if not self.history:
            return f32(0.0)
        ok = sum(1 for r, _, a in self.history if r > f32(0.5) and a > f32(0.5))
        return f32(f32(ok) / f32(len(self.history)))

    def avg_resonance(self):
        if not self.history:
            return f32(0.0)
        total = f32(-0.0)
        with np.errstate(all="ignore"):
            for r, _, _ in self.history:
                total = f32(total + r)
            return f32(total / f32(len(self.history)))

    def recommend(self):
        s, r = self.success_rate(), self.avg_resonance()
        out = []
        if s < f32(0.5):
            out.append(("learning_rate_increase", f32(0.1), "success rate %s < 50%%" % text(s, 2)))
            out.append(("attention_increase", f32(0.05), "increase focus"))
        elif s > f32(0.8):
            out.append(("momentum_increase", f32(0.05), "success rate %s > 80%%, reinforce" % text(s, 2)))
        if r < f32(0.4):
            out.append(("identity_lr_decrease", f32(-0.005), "avg resonance %s too low" % text(r, 2)))
        return out


def f32_values(**kw):
    return st.one_of(st.floats(width=32, **kw),
                     st.sampled_from([0.5, 0.50000006, 0.4999999, 0.4, 0.39999998, 0.8, 0.125, 0.375,
                                      0.005, 0.015, -0.005, -0.0, 1e-45, 3.4028235e38]))


def same_meta(mc, model):
    assert key(mc.success_rate()) == key(model.success_rate())
    assert key(mc.avg_resonance()) == key(model.avg_resonance())
    got = mc.recommend()
    want = model.recommend()
    assert [(a, key(d), r) for a, d, r in got] == [(a, key(d), r) for a, d, r in want]
    assert all(type(t) is tuple and type(t[1]) is float for t in got)


meta_op = st.tuples(f32_values(), f32_values(), f32_values(), st.integers(0, 4), st.integers(0, 2**64 - 1))


@settings(max_examples=100, deadline=None)
@given(dim=st.integers(0, 3), ops=st.lists(meta_op, max_size=25))
def test_metacognition_sequences_match_the_model(dim, ops):
    mc, model = m.PyMetacognition(dim), MetaModel(dim)
    for res, coh, acc, n, tag in ops:
        context = [1.0] * n
        try:
            model.record(res, coh, acc, context, tag)
        except ValueError as e:
            with pytest.raises(ValueError) as got:
                mc.record(res, coh, acc, context, tag)
            assert str(got.value) == str(e)
        else:
            assert mc.record(res, coh, acc, context, tag) is None
        same_meta(mc, model)


@settings(max_examples=100, deadline=None)
@given(res=f32_values())
def test_average_resonance_text_is_the_exact_two_decimal_rendering(res):
    # One record makes the average the value itself, so every float below 0.4
    # reaches the two-decimal renderer through the identity recommendation.
    mc, model = m.PyMetacognition(0), MetaModel(0)
    mc.record(res, 0.0, 0.0, [], 0)
    model.record(res, 0.0, 0.0, [], 0)
    same_meta(mc, model)


@pytest.mark.parametrize("kept", [9999, 10000, 10001, 10002])
def test_metacognition_eviction_matches_the_model(kept):
    # Successes with a large resonance early on: each eviction changes both figures.
    mc, model = m.PyMetacognition(1), MetaModel(1)
    for k in range(kept):
        res, acc = (1000.0, 0.9) if k < 3 else (0.25 + (k % 5) / 8, 0.4 + (k % 3) / 5)
        mc.record(res, 0.0, acc, [0.0], k)
        model.record(res, 0.0, acc, [0.0], k)
    same_meta(mc, model)


# ---- PySelfAudit ---------------------------------------------------------------

class AuditModel:
    def __init__(self, dim):
        self.dim, self.history = dim, []

    def full_audit(self, hv):
        hv = [f32(x) for x in hv]
        n = len(hv)
        issues = []
        c = sum(1 for x in hv if abs(x) < f32(0.1))
        if c > self.dim // 10:
            issues.append("drift detected: %d elements near zero" % c)
        if self.history:
            recent = list(reversed(self.history))[:5]
            with np.errstate(all="ignore"):
                ds = []
                for p in recent:
                    total = f32(-0.0)
                    for i in range(min(n, len(p))):
                        total = f32(total + f32(hv[i] * p[i]))
                    ds.append(f32(total / f32(n)))
                total = f32(0.0)
                for d in ds:
                    total = f32(total + d)
                consistency = f32(total / f32(len(ds)))
            if consistency < f32(0.5):
                issues.append("low history consistency: " + text(consistency, 3))
        self.history.append(hv)
        if len(self.history) == 101:
            del self.history[0]
        return verdict(issues)


def verdict(issues):
    if issues:
        return f32(max(f32(0.0), f32(f32(1.0) - f32(f32(0.1) * f32(len(issues)))))), False, issues
    return f32(1.0), True, []


def audit_consistency(h1, h2):
    with np.errstate(all="ignore"):
        total = f32(0.0)
        for a, b in zip(h1, h2):
            total = f32(total + f32(f32(a) * f32(b)))
        score = f32(f32(f32(total / f32(len(h1))) + f32(1.0)) * f32(0.5))
    issues = ["low consistency: " + text(score, 3)] if score < f32(0.7) else []
    return score, bool(score >= f32(0.7)), issues


def same_verdict(got, want):
    assert type(got) is tuple and len(got) == 3
    assert key(got[0]) == key(want[0]) and got[1] is want[1] and got[2] == want[2]


item = st.one_of(st.sampled_from([1.0, -1.0, 0.0, -0.0, 0.1, -0.1, 0.099999994, 0.5, float("nan"),
                                  float("inf"), float("-inf")]),
                 st.floats(-1.5, 1.5, width=32), st.floats(width=32))
vector = st.lists(item, max_size=12)


@settings(max_examples=100, deadline=None)
@given(dim=st.integers(0, 40), hvs=st.lists(st.one_of(vector, st.just(None)), min_size=1, max_size=10))
def test_full_audit_sequences_match_the_model(dim, hvs):
    # None stands for "the first vector again", so agreeing histories occur too.
    a, model = m.PySelfAudit(dim), AuditModel(dim)
    first = next((h for h in hvs if h is not None), [1.0])
    for hv in hvs:
        hv = first if hv is None else hv
        same_verdict(a.full_audit(hv), model.full_audit(hv))


@settings(max_examples=100, deadline=None)
@given(h1=vector, h2=vector)
def test_check_consistency_matches_the_model(h1, h2):
    a = m.PySelfAudit(3)
    same_verdict(a.check_consistency(h1, h2), audit_consistency(h1, h2))
    same_verdict(a.full_audit([1.0, 1.0, 1.0]), (f32(1.0), True, []))  # no state was read or kept


def test_window_is_the_five_newest_in_newest_first_order():
    # Five entries at the 0.5 boundary decide the verdict; a sixth, older,
    # opposite entry must not be seen.
    a, model = m.PySelfAudit(4), AuditModel(4)
    for hv in [[-1.0] * 4] + [[1.0, 1.0, -1.0, 1.0]] * 5:
        same_verdict(a.full_audit(hv), model.full_audit(hv))
    same_verdict(a.full_audit([1.0] * 4), model.full_audit([1.0] * 4))


# ---- PyQuantumAttentionHead ---------------------------------------------------

def attention(dim, query, keys, values):
    if not keys or len(keys) != len(values):
        raise ValueError("assertion failed: !keys.is_empty() && keys.len() == values.len()")
    if len(keys) == 1:
        return [f32(x) for x in values[0]]
    with np.errstate(all="ignore"):
        w = []
        for k in keys:
            total = f32(0.0)
            for i in range(min(len(query), len(k))):
                total = f32(total + f32(f32(query[i]) * f32(k[i])))
            s = f32(total / f32(len(query)))
            x = f32(f32(s + s) + f32(-1.0))
            w.append(f32(0.0) if math.isnan(x) or x < 0 else x)
        total = w[0]
        for x in w[1:]:
            total = f32(total + x)
        if total < f32(1e-9):
            return [f32(0.0)] * dim
        p = [f32(x / total) for x in w]
        out = [f32(0.0)] * dim
        for j in range(len(keys)):
            for i in range(min(dim, len(values[j]))):
                out[i] = f32(f32(f32(values[j][i]) * p[j]) + out[i])
    return out


row = st.lists(st.one_of(st.sampled_from([1.0, -1.0, 0.0, -0.0]), st.floats(-3, 3, width=32),
                         st.floats(width=32)), max_size=7)


@settings(max_examples=100, deadline=None)
@given(dim=st.integers(0, 9), query=row, keys=st.lists(row, max_size=5), values=st.lists(row, max_size=5),
       nqubits=st.integers(0, 2**64 - 1))
def test_attention_matches_the_model(dim, query, keys, values, nqubits):
    h = m.PyQuantumAttentionHead(dim, nqubits)
    try:
        want = attention(dim, query, keys, values)
    except ValueError as e:
        with pytest.raises(ValueError) as got:
            h.compute(query, keys, values)
        assert str(got.value) == str(e)
        return
    got = h.compute(query, keys, values)
    assert [key(x) for x in got] == [key(x) for x in want]
    # The scheduler's search is the same computation at the scheduler's dim.
    s = m.PyHoloCPUScheduler(dim, nqubits)
    assert [key(x) for x in s.quantum_grover_search(query, keys, values)] == [key(x) for x in want]
