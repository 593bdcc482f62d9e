"""PyOptimizer, PyMetacognition and PyQuantumAttentionHead from Python."""
import ast
import random
import threading
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
from _meta_models import attention, f32, same_floats, widen

F = lambda x: float(f32(x))  # noqa: E731  the 32-bit value of x, widened
PARAMS = ["learning_rate", "attention_weight", "momentum", "excitation_bias", "inhibition_bias",
          "identity_lr", "exploration_rate"]
INITIAL = dict(zip(PARAMS, map(F, [0.5, 0.5, 0.5, 0.5, 0.3, 0.01, 0.3])))


def in_other_thread(fn):
    box = {}

    def run():
        try:
            fn()
        except BaseException as e:  # noqa: BLE001  PanicException derives from BaseException
            box["error"] = e
    t = threading.Thread(target=run)
    t.start()
    t.join()
    return box.get("error")


@pytest.mark.parametrize("cls, args, call", [
    (m.PyOptimizer, (), lambda o: o.get_params()),
    (m.PyMetacognition, (4,), lambda o: o.success_rate()),
    (m.PyQuantumAttentionHead, (4, 1), lambda o: o.compute([1], [[1]], [[1]])),
])
def test_thread_bound(cls, args, call):
    obj = cls(*args)
    err = in_other_thread(lambda: call(obj))
    assert type(err).__name__ == "PanicException" and not isinstance(err, Exception)
    assert f"morvelan_hdc::py_api::{cls.__name__} is unsendable, but sent to another thread" in str(err)
    call(obj)  # still fine on its own thread


@pytest.mark.parametrize("cls, sig", [(m.PyMetacognition, "(dim)"), (m.PyOptimizer, "()"),
                                      (m.PyQuantumAttentionHead, "(dim, nqubits)")])
def test_class_signature_and_empty_doc(cls, sig):
    assert cls.__text_signature__ == sig
    assert not cls.__doc__  # an empty body
    assert cls.__module__ == "builtins"


@pytest.mark.parametrize("method, sig", [
    (m.PyMetacognition.record, "($self, res, coh, acc, context, hash)"),
    (m.PyMetacognition.success_rate, "($self)"),
    (m.PyMetacognition.avg_resonance, "($self)"),
    (m.PyMetacognition.recommend, "($self)"),
    (m.PyQuantumAttentionHead.compute, "($self, query, keys, values)"),
    (m.PyOptimizer.apply, "($self, action, delta, reason)"),
    (m.PyOptimizer.get_params, "($self)"),
])
def test_method_signatures_without_docs(method, sig):
    assert method.__text_signature__ == sig
    assert method.__doc__ is None


# ---- PyOptimizer ---------------------------------------------------------------

def test_optimizer_fresh_values():
    o = m.PyOptimizer()
    assert o.get_params() == INITIAL
    assert o.get("inhibition_bias") == 0.30000001192092896
    assert o.get("learning_rate") == 0.5
    for name in ["", "Learning_rate", "delta", "learning_rate "]:
        assert o.get(name) is None


@pytest.mark.parametrize("action, delta, name, expected", [
    ("learning_rate_increase", 0.7, "learning_rate", 1.0),
    ("learning_rate_decrease", -0.2, "learning_rate", F(f32(0.5) - f32(0.2))),
    ("momentum_increase", -0.6, "momentum", 0.0),
    ("identity_lr_decrease", 1.0, "identity_lr", F(0.001)),
    ("identity_lr_increase", 5.0, "identity_lr", F(f32(0.01) + f32(5.0))),
    ("identity_lr_increase", float("nan"), "identity_lr", F(0.001)),
    ("exploration_increase", 2, "exploration_rate", 1.0),  # an int delta is accepted
    ("Learning_rate_increase", 0.3, None, None),
    ("excitation_decrease", 0.3, None, None),
])
def test_optimizer_actions(action, delta, name, expected):
    o = m.PyOptimizer()
    o.apply(action, delta, "why")
    want = dict(INITIAL)
    if name:
        want[name] = expected
    assert o.get_params() == want
    o.rollback()
    assert o.get_params() == INITIAL  # the snapshot was taken, known action or not


def test_optimizer_101_applies_then_101_rollbacks():
    o = m.PyOptimizer()
    before = []
    for _ in range(101):
        before.append(o.get_params())
        o.apply("identity_lr_increase", 1.0, "")
    for r in range(1, 101):
        o.rollback()
        assert o.get_params() == before[101 - r]
    o.rollback()
    assert o.get_params() == before[1] != before[0]


@pytest.mark.parametrize("args, exc, text", [
    ((1, 0.1, "r"), TypeError, "argument 'action': 'int' object cannot be converted to 'PyString'"),
    (("learning_rate_increase", "x", "r"), TypeError, "argument 'delta': "),
    (("learning_rate_increase", 0.1, None), TypeError, "argument 'reason': 'NoneType' object cannot be converted"),
])
def test_optimizer_bad_arguments_leave_it_unchanged(args, exc, text):
    o = m.PyOptimizer()
    with pytest.raises(exc) as e:
        o.apply(*args)
    assert str(e.value).startswith(text)
    o.rollback()
    assert o.get_params() == INITIAL


def test_optimizer_reentrant_float_hits_borrow_flag():
    o = m.PyOptimizer()

    class Sneaky:
        def __float__(self):
            o.get("momentum")
            return 0.1
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        o.apply("momentum_increase", Sneaky(), "")
    assert o.get_params() == INITIAL


# ---- PyMetacognition -----------------------------------------------------------

def fresh_recommendations():
    return [("learning_rate_increase", F(0.1), "success rate 0.00 < 50%"),
            ("attention_increase", F(0.05), "increase focus"),
            ("identity_lr_decrease", F(-0.005), "avg resonance 0.00 too low")]


def test_metacognition_fresh():
    mc = m.PyMetacognition(3)
    assert mc.success_rate() == 0.0 and mc.avg_resonance() == 0.0
    assert mc.recommend() == fresh_recommendations()
    assert mc.recommend()[0][1] == 0.10000000149011612


@pytest.mark.parametrize("records, want", [
    ([(0.9, 0.0, 0.9)], [("momentum_increase", F(0.05), "success rate 1.00 > 80%, reinforce")]),
    ([(0.9, 0, 0.9)] + [(0.9, 0, 0.1)] * 7,
     [("learning_rate_increase", F(0.1), "success rate 0.12 < 50%"), ("attention_increase", F(0.05), "increase focus")]),
    ([(0.9, 0, 0.9)] * 3 + [(0.9, 0, 0.1)] * 5,
     [("learning_rate_increase", F(0.1), "success rate 0.38 < 50%"), ("attention_increase", F(0.05), "increase focus")]),
    ([(0.5, 0, 0.9)], [("learning_rate_increase", F(0.1), "success rate 0.00 < 50%"),
                       ("attention_increase", F(0.05), "increase focus")]),  # res 0.5 is no success
    ([(0.9, 0, 0.9), (0.9, 0, 0.1)], []),                   # exactly 0.5
    ([(0.9, 0, 0.9)] * 4 + [(0.9, 0, 0.1)], []),            # exactly 0.8
    ([(0.9, 0, 0.9)] * 2 + [(-0.5, 0, 0.1)] * 2, [("identity_lr_decrease", F(-0.005), "avg resonance 0.20 too low")]),
])
def test_metacognition_recommend(records, want):
    mc = m.PyMetacognition(2)
    for res, coh, acc in records:
        mc.record(res, coh, acc, [1.0, -1.0], 5)
    assert mc.recommend() == want


def test_metacognition_rate_and_average_in_f32():
    mc = m.PyMetacognition(1)
    for res in [0.1, 0.2, 0.7]:
        mc.record(res, 0, 0.9, [0.0], 0)
    total = f32(-0.0)
    for res in [0.1, 0.2, 0.7]:
        total = f32(total + f32(res))
    assert mc.avg_resonance() == F(total / f32(3))
    assert mc.success_rate() == F(f32(1) / f32(3))


@pytest.mark.parametrize("length", [0, 2, 4, 100])
def test_metacognition_wrong_context_length_raises_and_keeps_nothing(length):
    mc = m.PyMetacognition(3)
    mc.record(0.9, 0.9, 0.9, (1, 1, 1), 1)
    with pytest.raises(ValueError) as e:
        mc.record(0.1, 0.1, 0.1, [1.0] * length, 2)
    assert str(e.value) == f"argument 'context': expected a sequence of length 3 (got {length})"
    assert mc.success_rate() == 1.0 and mc.avg_resonance() == F(0.9)


@pytest.mark.parametrize("args, exc, start", [
    (("x", 0, 0, [0.0], 0), TypeError, "argument 'res': "),
    ((0, 0, None, [0.0], 0), TypeError, "argument 'acc': "),
    ((0, 0, 0, "a", 0), TypeError, "argument 'context': Can't extract `str` to `Vec`"),
    ((0, 0, 0, 5, 0), TypeError, "argument 'context': 'int' object cannot be converted to 'Sequence'"),
    ((0, 0, 0, [0.0], -1), OverflowError, ""),
    ((0, 0, 0, [0.0], 1.5), TypeError, "argument 'hash': "),
    ((0, 0, 0, [0.0, 0.0], -1), ValueError, "argument 'context': "),  # the context fails first
])
def test_metacognition_bad_arguments(args, exc, start):
    mc = m.PyMetacognition(1)
    with pytest.raises(exc) as e:
        mc.record(*args)
    assert type(e.value) is exc and str(e.value).startswith(start)
    assert mc.recommend() == fresh_recommendations()


def test_metacognition_accepts_full_u64_hash_and_evicts_oldest():
    mc = m.PyMetacognition(0)
    mc.record(1000.0, 0, 0.9, [], 2**64 - 1)
    for _ in range(10000):
        mc.record(0.25, 0, 0.1, [], 0)
    assert mc.avg_resonance() == 0.25 and mc.success_rate() == 0.0


# ---- PyQuantumAttentionHead ---------------------------------------------------

ASSERTION = "assertion failed: !keys.is_empty() && keys.len() == values.len()"


@pytest.mark.parametrize("keys, values", [([], []), ([], [[1.0]]), ([[1.0]], []), ([[1.0]] * 2, [[1.0]])])
def test_attention_length_rule_is_a_value_error(keys, values):
    h = m.PyQuantumAttentionHead(2, 1)
    with pytest.raises(ValueError) as e:
        h.compute([1.0], keys, values)
    assert str(e.value) == ASSERTION
    assert h.compute([1.0], [[1.0]], [[2.0]]) == [2.0]  # and the head still works


@pytest.mark.parametrize("value", [[], [0.3, 1, 2, 3, 4, 5, 6], [float("nan")]])
@pytest.mark.parametrize("query", [[], [1.0, -1.0], [float("inf")]])
def test_attention_one_key_returns_value_unchanged(value, query):
    out = m.PyQuantumAttentionHead(3, 7).compute(query, [[5.0, 5.0]], [value])
    assert same_floats(out, widen(value))


def test_attention_known_mixes():
    k0, k1 = [1.0, -1.0, 1.0, -1.0], [1.0, 1.0, -1.0, -1.0]
    assert m.PyQuantumAttentionHead(6, 1).compute(k0, [k0, k1], [[3, 4, 5, 6], [7] * 4]) == [3, 4, 5, 6, 0, 0]
    assert m.PyQuantumAttentionHead(2, 1).compute(k0, [k0, k1], [[3, 4, 5, 6], [7] * 4]) == [3, 4]
    assert m.PyQuantumAttentionHead(3, 1).compute(k0, [k0, k0], [[2, 4, 6], [4, 0, -6]]) == [3, 2, 0]
    assert m.PyQuantumAttentionHead(3, 1).compute([], [k0, k0], [[2, 4, 6], [4, 0, -6]]) == [0, 0, 0]
    neg = [-x for x in k0]
    assert m.PyQuantumAttentionHead(4, 1).compute(k0, [neg, k1], [[1] * 4, [2] * 4]) == [0, 0, 0, 0]


def test_attention_accepts_tuples_and_numpy_rows():
    h = m.PyQuantumAttentionHead(2, 1)
    q = (1.0, 1.0)
    assert h.compute(q, ((1, 1), np.array([1, 1], np.float32)), [(2, 2), (4, 6)]) == [3, 4]


def test_attention_conversion_paths_agree():
    # Lists of lists of floats take a one-pass path; anything else the general one.
    rnd = random.Random(7)
    keys = [[rnd.uniform(-1, 1) for _ in range(rnd.randrange(12))] for _ in range(9)]
    values = [[rnd.uniform(-3, 3) for _ in range(rnd.randrange(12))] for _ in range(9)]
    query = keys[0][:]
    h = m.PyQuantumAttentionHead(10, 3)
    want = h.compute(query, keys, values)
    assert same_floats(want, attention(10, query, keys, values))
    for ks in (tuple(keys), tuple(tuple(k) for k in keys), [np.array(k) for k in keys],
               keys[:-1] + [tuple(keys[-1])]):
        assert h.compute(query, ks, values) == want
    with_int = [k[:] for k in keys]
    with_int[1].append(1)  # an int item converts as its float
    assert same_floats(h.compute(query, with_int, values), attention(10, query, with_int, values))


def test_attention_bad_arguments():
    h = m.PyQuantumAttentionHead(2, 1)
    with pytest.raises(TypeError, match=r"^argument 'keys': Can't extract `str` to `Vec`$"):
        h.compute([1.0], "ab", [[1.0]])
    with pytest.raises(TypeError, match=r"^argument 'values': "):
        h.compute([1.0], [[1.0]], [[1.0, "x"]])
    with pytest.raises(TypeError, match=r"^argument 'keys': Can't extract `str` to `Vec`$"):
        h.compute([1.0], [[1.0], "ab"], [[1.0], [1.0]])
    with pytest.raises(TypeError, match=r"^argument 'keys': 'int' object cannot be converted to 'Sequence'$"):
        h.compute([1.0], [[1.0], 3], [[1.0], [1.0]])
    with pytest.raises(OverflowError):
        m.PyQuantumAttentionHead(-1, 0)


def test_attention_reentrant_item_hits_borrow_flag():
    h = m.PyQuantumAttentionHead(2, 1)

    class Sneaky:
        def __float__(self):
            h.compute([1.0], [[1.0]], [[1.0]])
            return 1.0
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        h.compute([1.0], [[Sneaky()]], [[1.0]])


def test_attention_huge_dim_is_memory_error():
    h = m.PyQuantumAttentionHead(2**62, 1)
    with pytest.raises(MemoryError):
        h.compute([1.0], [[1.0], [1.0]], [[1.0], [1.0]])
    assert h.compute([1.0], [[1.0]], [[4.0]]) == [4.0]  # one key never allocates dim


SPECIAL = [1.0, -1.0, 0.0, -0.0, 0.5, 2.0, 1e-20, 3e38, float("inf"), float("-inf"), float("nan")]
small = st.one_of(st.sampled_from([1.0, -1.0, 0.0, -0.0, 0.5]), st.floats(-4, 4, width=32))
row = st.lists(small, max_size=6)


@settings(max_examples=60, deadline=None)
@given(dim=st.integers(0, 8), query=row, pairs=st.lists(st.tuples(row, row), min_size=1, max_size=6),
       nq=st.integers(0, 2**64 - 1))
def test_attention_matches_formula(dim, query, pairs, nq):
    keys = [k for k, _ in pairs]
    values = [v for _, v in pairs]
    got = m.PyQuantumAttentionHead(dim, nq).compute(query, keys, values)
    assert same_floats(got, attention(dim, query, keys, values))


# Larger shapes drawn from a seeded generator: runs of equal-length keys (the
# lane kernel), ragged keys, keys copied from the query, rare extreme values.
@settings(max_examples=120, deadline=None)
@given(seed=st.integers(0, 2**32), dim=st.integers(0, 24), qlen=st.integers(0, 24), n=st.integers(2, 20),
       ragged=st.booleans(), extreme=st.booleans())
def test_attention_matches_formula_on_larger_shapes(seed, dim, qlen, n, ragged, extreme):
    rnd = random.Random(seed)

    def value():
        if extreme and rnd.random() < 0.1:
            return rnd.choice(SPECIAL)
        return rnd.choice([1.0, -1.0]) if rnd.random() < 0.6 else rnd.uniform(-2, 2)
    query = [value() for _ in range(qlen)]
    klen = rnd.randrange(30)
    keys, values = [], []
    for j in range(n):
        length = rnd.randrange(30) if ragged else klen
        keys.append(query[:length] + [value() for _ in range(length - qlen)] if j % 3 == 0
                    else [value() for _ in range(length)])
        values.append([value() for _ in range(rnd.randrange(30))])
    got = m.PyQuantumAttentionHead(dim, 0).compute(query, keys, values)
    assert same_floats(got, attention(dim, query, keys, values))


# ---- the type stub ------------------------------------------------------------

STUB = Path(__file__).resolve().parents[2] / "morvelan_hdc.pyi"


@pytest.mark.skipif(not STUB.exists(), reason="stub not beside the sources")
@pytest.mark.parametrize("name", ["PyOptimizer", "PyMetacognition", "PyQuantumAttentionHead",
                                  "PyHoloCPUScheduler", "PySelfAudit"])
def test_stub_lists_exactly_the_public_members(name):
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == name]
    stubbed = {f.name for f in cls.body if isinstance(f, ast.FunctionDef) and not f.name.startswith("__")}
    runtime = {k for k in dir(getattr(m, name)) if not k.startswith("__")}
    assert stubbed == runtime
    for f in cls.body:
        if isinstance(f, ast.FunctionDef) and f.name in runtime:
            doc = getattr(getattr(m, name), f.name).__doc__
            if doc:  # where the runtime has a docstring, the stub repeats it
                assert ast.get_docstring(f, clean=False).replace("\n        ", "\n") == doc
