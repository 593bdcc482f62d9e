"""PySelfAudit from Python, against a short model of its two checks."""
import math
import random
import threading

import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
from _meta_models import AuditModel, check_consistency, f32

A = m.PySelfAudit


def bipolar(rnd, n):
    return [rnd.choice([1.0, -1.0]) for _ in range(n)]


def test_class_table():
    assert A.__text_signature__ == "(dim)" and not A.__doc__
    assert A.full_audit.__text_signature__ == "($self, hv)"
    assert A.full_audit.__doc__ == ("Full audit: run all consistency checks on a hypervector.\n"
                                    "Returns (score, passed, issues_list)")
    assert A.check_consistency.__text_signature__ == "($self, h1, h2)"
    assert A.check_consistency.__doc__ == ("Check consistency between two hypervectors.\n"
                                           "Returns (score, passed, issues_list) where score is resonance ∈ [0,1].\n"
                                           "Passed if score >= 0.7.")


def test_first_audit_of_bipolar_vector_passes():
    assert A(32).full_audit(bipolar(random.Random(1), 32)) == (1.0, True, [])


@pytest.mark.parametrize("zeros, want", [
    (10, (1.0, True, [])),
    (11, (0.8999999761581421, False, ["drift detected: 11 elements near zero"])),
])
def test_near_zero_limit(zeros, want):
    assert A(100).full_audit([0.0] * zeros + [1.0] * (100 - zeros)) == want


@pytest.mark.parametrize("near, counted", [(0.0999, True), (-0.05, True), (-0.0, True), (0.1, False),
                                           (-0.1, False), (float("nan"), False), (0.099999999, False)])
def test_near_zero_is_strictly_below_f32_tenth(near, counted):
    # 0.099999999 rounds to the f32 0.1 itself, so it is not below it.
    score, passed, issues = A(0).full_audit([near, 1.0])
    assert passed is (not counted)


def test_history_checks():
    v = bipolar(random.Random(2), 50)
    a = A(50)
    a.full_audit(v)
    assert a.full_audit([-x for x in v]) == (float(f32(0.9)), False, ["low history consistency: -1.000"])

    b = A(50)
    b.full_audit(v)
    assert b.full_audit([0.0] * 50) == (float(f32(1) - f32(0.2)), False,
                                        ["drift detected: 50 elements near zero", "low history consistency: 0.000"])
    c = A(50)
    c.full_audit(v)
    assert c.full_audit([]) == (1.0, True, [])  # every d is 0/0
    # The empty vector was kept: against it, the next audit's d is 0.
    assert c.full_audit(v) == (1.0, True, [])  # (1 + 0) / 2 = 0.5 is not below 0.5


def test_window_of_five_and_history_of_hundred():
    rnd = random.Random(3)
    v = bipolar(rnd, 32)
    a = A(32)
    for _ in range(3):
        a.full_audit([-x for x in v])
    for _ in range(5):
        a.full_audit(v)
    assert a.full_audit(v) == (1.0, True, [])

    # 101 audits of v after its negation: the window never reaches back to it.
    h = A(8)
    h.full_audit([-x for x in v[:8]])
    for _ in range(101):
        h.full_audit(v[:8])
    assert h.full_audit(v[:8]) == (1.0, True, [])


@pytest.mark.parametrize("h1, h2, want", [
    ([1.0, -1.0, 1.0], [1.0, -1.0, 1.0], (1.0, True, [])),
    ([1.0, -1.0, 1.0], [-1.0, 1.0, -1.0], (0.0, False, ["low consistency: 0.000"])),
    ([1.0] * 4, [1.0] * 2, (0.75, True, [])),
    ([1.0] * 10, [1.0] * 7 + [-1.0] * 3, (float(f32(0.7)), True, [])),
    ([1.0] * 10, [1.0] * 6 + [-1.0] * 4, (float(f32(0.6)), False, ["low consistency: 0.600"])),
])
def test_check_consistency(h1, h2, want):
    assert A(1).check_consistency(h1, h2) == want


def test_check_consistency_of_empty_vectors_is_nan_without_issue():
    score, passed, issues = A(1).check_consistency([], [])
    assert math.isnan(score) and passed is False and issues == []


@pytest.mark.parametrize("call, start", [
    (lambda a: a.full_audit("ab"), "argument 'hv': Can't extract `str` to `Vec`"),
    (lambda a: a.full_audit([1.0, None]), "argument 'hv': "),
    (lambda a: a.check_consistency(1, [1.0]), "argument 'h1': 'int' object cannot be converted to 'Sequence'"),
    (lambda a: a.check_consistency([1.0], {1.0}), "argument 'h2': 'set' object cannot be converted to 'Sequence'"),
])
def test_bad_arguments_leave_history_unchanged(call, start):
    a = A(4)
    a.full_audit([1.0, 1.0, 1.0, 1.0])
    with pytest.raises(TypeError) as e:
        call(a)
    assert str(e.value).startswith(start)
    # Only the first vector is in the history, so its negation scores exactly -1.
    assert a.full_audit([-1.0] * 4) == (float(f32(0.9)), False, ["low history consistency: -1.000"])


def test_reentrant_audit_hits_borrow_flag():
    a = A(2)

    class Sneaky:
        def __float__(self):
            a.check_consistency([1.0], [1.0])
            return 1.0
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        a.full_audit([Sneaky()])
    assert a.full_audit([1.0, 1.0]) == (1.0, True, [])  # nothing was remembered


def test_thread_bound():
    a = A(2)
    box = {}
    t = threading.Thread(target=lambda: box.setdefault("r", _catch(lambda: a.full_audit([1.0]))))
    t.start()
    t.join()
    assert type(box["r"]).__name__ == "PanicException"
    assert "morvelan_hdc::py_api::PySelfAudit is unsendable, but sent to another thread" in str(box["r"])


def _catch(fn):
    try:
        fn()
    except BaseException as e:  # noqa: BLE001
        return e
    return None


def same_result(got, want):
    (gs, gp, gi), (ws, wp, wi) = got, want
    return (gs == ws or (math.isnan(gs) and math.isnan(ws))) and gp == wp and gi == wi


VALUES = [1.0, -1.0, 0.0, -0.0, 0.05, -0.09, 0.1, 0.5, 2.0, float("inf"), float("nan")]


@settings(max_examples=80, deadline=None)
@given(dim=st.integers(0, 30), seed=st.integers(0, 2**32), steps=st.integers(1, 12))
def test_full_audit_matches_model(dim, seed, steps):
    rnd = random.Random(seed)
    a, model = A(dim), AuditModel(dim)
    base = bipolar(rnd, dim)
    for _ in range(steps):
        hv = base[:] if rnd.random() < 0.6 else bipolar(rnd, rnd.randrange(40))
        for i in range(len(hv)):
            if rnd.random() < 0.15:
                hv[i] = rnd.choice(VALUES) if rnd.random() < 0.5 else rnd.uniform(-1.5, 1.5)
        assert same_result(a.full_audit(hv), model.full_audit(hv))


@settings(max_examples=60, deadline=None)
@given(h1=st.lists(st.floats(-3, 3, width=32), max_size=12), h2=st.lists(st.floats(-3, 3, width=32), max_size=12))
def test_check_consistency_matches_model(h1, h2):
    assert same_result(A(0).check_consistency(h1, h2), check_consistency(h1, h2))
