"""PyHoloCPUScheduler from Python."""
import os
import subprocess
import sys
import threading

import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
from _meta_models import attention, encode_string, f32, generate_role, same_floats, sip13

S = m.PyHoloCPUScheduler
ASSERTION = "assertion failed: !keys.is_empty() && keys.len() == values.len()"


def test_siphash_model_agrees_with_the_interpreter():
    # With PYTHONHASHSEED=0 the interpreter's bytes hash is SipHash-1-3 under a zero key.
    samples = [b"a", b"abcdefgh", b"role:planner\xff\x00\x00\x00\x00\x00\x00\x00\x00", b"x" * 37]
    code = "import sys\nfor b in %r: print(hash(b) & (2**64 - 1))" % (samples,)
    out = subprocess.run([sys.executable, "-c", code], env={**os.environ, "PYTHONHASHSEED": "0"},
                         capture_output=True, text=True, check=True).stdout.split()
    assert [int(x) for x in out] == [sip13(b) for b in samples]


def test_class_table():
    assert S.__text_signature__ == "(dim, quantum_capacity)"
    assert not S.__doc__
    assert S.store_memory.__doc__ == ("Store a concept via RSM (Patent §6.2):\n"
                                      "key_hv = encode(target), value_hv = encode(target)\n"
                                      "WV ⊕= bind(key_hv, value_hv)")
    assert S.recall.__doc__ == ("O(1) holographic associative recall (Patent §6.2):\n"
                                "query_hv = encode(target), recalled = WV ⊗ query_hv\n"
                                "Then find best match in value codebook via resonance")
    assert S.store_memory.__text_signature__ == "($self, target)"
    assert S.quantum_grover_search.__text_signature__ == "($self, query, keys, values)"
    methods = [k for k, v in S.__dict__.items() if not k.startswith("__") and callable(v)]
    assert methods == ["dimension", "quantum_capacity", "store_memory", "recall", "export_holographic_state",
                       "process_feedback", "feedback_strength", "quantum_grover_search",
                       "run_audit_integrity_check", "generate_role"]
    assert [k for k in ("dim", "qc") if type(S.__dict__[k]).__name__ == "getset_descriptor"] == ["dim", "qc"]
    for name in ["dimension", "feedback_strength", "generate_role", "process_feedback"]:
        assert getattr(S, name).__doc__ is None


def test_fresh_scheduler():
    s = S(16, 3)
    assert s.recall("anything") is False
    assert s.export_holographic_state() == [1.0] * 16
    assert s.feedback_strength() == 0.5
    assert (s.dim, s.dimension(), s.qc, s.quantum_capacity()) == (16, 16, 3, 3)
    assert s.run_audit_integrity_check() is True
    assert S(16, 0).run_audit_integrity_check() is False
    assert S(dim=4, quantum_capacity=2**64 - 1).qc == 2**64 - 1


def test_properties_are_read_only():
    s = S(4, 1)
    with pytest.raises(AttributeError):
        s.dim = 5
    assert s.dim == 4


def test_store_then_recall():
    s = S(64, 1)
    s.store_memory("a")
    assert s.recall("a") is True
    assert s.export_holographic_state() == [1.0 if x > 0 else 0.0 for x in encode_string("a", 64)]
    for t in ["b", "c", "a longer text", "ü", ""]:
        s.store_memory(t)
    assert set(s.export_holographic_state()) <= {-1.0, 0.0, 1.0}


def recall_model(dim, stored, target):
    if not stored:
        return False
    q = encode_string(target, dim)
    n = f32(len(stored))
    best = f32(-2.0)
    for t in stored:
        v = encode_string(t, dim)
        total = f32(0.0)
        for qi, vi in zip(q, v):
            total = f32(total + f32(f32(n * f32(qi)) * f32(vi)))
        score = f32(total / f32(dim)) if dim else f32("nan")
        if score > best:
            best = score
    return bool(best > f32(0.3))


@settings(max_examples=40, deadline=None)
@given(dim=st.integers(1, 48), stored=st.lists(st.text(max_size=4), max_size=10),
       probes=st.lists(st.text(max_size=4), min_size=1, max_size=4))
def test_recall_matches_model(dim, stored, probes):
    s = S(dim, 1)
    for t in stored:
        s.store_memory(t)
    for p in probes + stored[:2]:
        assert s.recall(p) is recall_model(dim, stored, p)


def test_zero_dimension():
    s = S(0, 5)
    s.store_memory("x")
    assert s.recall("x") is False
    assert s.generate_role("x") == [] and s.export_holographic_state() == []
    assert s.run_audit_integrity_check() is False
    s.process_feedback(1.0)
    assert s.feedback_strength() == 1.0


@pytest.mark.parametrize("signals, expected", [
    ([0.5], 0.5), ([2.0], 1.0), ([-1.0], 0.0), ([0.7], float(f32(0.5) + (f32(0.7) - f32(0.5)))),
    ([1, 1, 0], 0.5), ([0.0, 0.0, 0.9], float(f32(0.9) - f32(0.5))), ([float("inf")], 1.0),
])
def test_feedback_moves_learning_rate_by_signal_minus_half(signals, expected):
    s = S(8, 1)
    for x in signals:
        s.process_feedback(x)
    assert s.feedback_strength() == expected


def test_feedback_nan_passes_the_clamp():
    s = S(8, 1)
    s.process_feedback(float("nan"))
    assert s.feedback_strength() != s.feedback_strength()


@pytest.mark.parametrize("label", ["", "x", "role:planner", "ü", "a" * 20])
def test_generate_role_model(label):
    a, b = S(40, 1), S(70, 9)
    r = a.generate_role(label)
    assert r == generate_role(label, 40)
    assert r == a.generate_role(label) == b.generate_role(label)[:40]


def test_grover_search():
    s = S(4, 2)
    for keys, values in [([], []), ([[1.0]], []), ([[1.0]] * 2, [[1.0]] * 3)]:
        with pytest.raises(ValueError) as e:
            s.quantum_grover_search([1.0], keys, values)
        assert str(e.value) == ASSERTION
    assert s.quantum_grover_search([], [[9.0]], [[1, 2, 3, 4, 5, 6]]) == [1, 2, 3, 4, 5, 6]
    q, k1 = [1.0, -1.0, 1.0, -1.0], [1.0, 1.0, -1.0, -1.0]
    keys, values = [q, k1, q], [[1, 2], [3, 4, 5, 6, 7], [0.5, 0.25, 0.125, 8]]
    assert same_floats(s.quantum_grover_search(q, keys, values), attention(4, q, keys, values))


@pytest.mark.parametrize("call, exc, start", [
    (lambda s: s.store_memory(3), TypeError, "argument 'target': 'int' object cannot be converted to 'PyString'"),
    (lambda s: s.recall(b"a"), TypeError, "argument 'target': 'bytes' object cannot be converted"),
    (lambda s: s.generate_role(None), TypeError, "argument 'label': "),
    (lambda s: s.process_feedback("0.5"), TypeError, "argument 'signal': "),
    (lambda s: s.quantum_grover_search(1, [[1.0]], [[1.0]]), TypeError, "argument 'query': 'int' object"),
    (lambda s: s.quantum_grover_search([1.0], [[1.0]], [["x"]]), TypeError, "argument 'values': "),
    (lambda s: s.store_memory("\ud800"), UnicodeEncodeError, ""),
])
def test_bad_arguments_leave_the_scheduler_unchanged(call, exc, start):
    s = S(8, 1)
    s.store_memory("kept")
    with pytest.raises(exc) as e:
        call(s)
    assert str(e.value).startswith(start)
    assert s.export_holographic_state() == [1.0 if x > 0 else 0.0 for x in encode_string("kept", 8)]
    assert s.feedback_strength() == 0.5


@pytest.mark.parametrize("args, exc", [((-1, 1), OverflowError), ((1, 2**64), OverflowError),
                                       ((2**62, 1), MemoryError), ((2**60, 1), MemoryError),
                                       ((1.0, 1), TypeError)])
def test_constructor_failures(args, exc):
    with pytest.raises(exc):
        S(*args)


def test_reentrant_calls_hit_the_borrow_flag():
    s = S(4, 1)

    class Sneaky:
        def __float__(self):
            s.feedback_strength()
            return 0.9
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        s.process_feedback(Sneaky())
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        s.quantum_grover_search([Sneaky()], [[1.0]], [[1.0]])
    assert s.feedback_strength() == 0.5


def test_thread_bound():
    s = S(4, 1)
    box = {}

    def run():
        try:
            s.dim
        except BaseException as e:  # noqa: BLE001
            box["e"] = e
    t = threading.Thread(target=run)
    t.start()
    t.join()
    assert type(box["e"]).__name__ == "PanicException"
    assert "morvelan_hdc::py_api::PyHoloCPUScheduler is unsendable, but sent to another thread" in str(box["e"])
