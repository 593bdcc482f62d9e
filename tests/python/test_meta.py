"""The meta-learning classes against their models over random call sequences, then boundary rows."""
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
import models
from models import ACTIONS, PARAMS, call, run

REAL = st.one_of(st.floats(width=32), st.floats(-2, 2), st.sampled_from([0.5, 0.50000006, 0.4, 0.39999998, 0.8, 0.375]))
ITEM = st.one_of(st.floats(-1.5, 1.5, width=32), st.floats(width=32), st.sampled_from([0.1, -0.1, 0.099999994]))
ROW = st.one_of(st.lists(ITEM, max_size=9), st.sampled_from([[1.0] * 6, [-1.0] * 6, [1.0, -1.0] * 3]))
ROWS, FIGS = st.lists(ROW, max_size=6), [("success_rate",), ("avg_resonance",), ("recommend",)]
CLASSES = {  # constructor arguments, one call, and the state compared after every call if any
    "Optimizer": (st.just(()), st.one_of(call("rollback"), call("apply", st.sampled_from(
        [*ACTIONS, "", "Momentum_increase", "excitation_decrease"]), REAL, st.just("why"))),
        lambda o: (o.get_params(), [o.get(n) for n in [*PARAMS, "", "Momentum"]])),
    "Metacognition": (st.tuples(st.integers(0, 3)), call("record", REAL, REAL, REAL, st.integers(0, 4).map(
        lambda n: [1.0] * n), st.integers(0, 2**64 - 1)), lambda o: [getattr(o, f)() for f, in FIGS]),
    "SelfAudit": (st.tuples(st.integers(0, 40)),
                  st.one_of(call("full_audit", ROW), call("check_consistency", ROW, ROW))),
    "QuantumAttentionHead": (st.tuples(st.integers(0, 9), st.integers(0, 2**64 - 1)), call("compute", ROW, ROWS, ROWS)),
}


@pytest.mark.parametrize("name", CLASSES)
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_matches_the_model(name, data):
    ctor, op, *observe = CLASSES[name]
    args = data.draw(ctor)
    ops = data.draw(st.lists(op, max_size=25))
    run(getattr(m, "Py" + name)(*args), getattr(models, name)(*args), ops, *observe)


def rec(res, acc, n=1): return [("record", res, 0.0, acc, [1.0, -1.0], 5)] * n


V = [1.0, 1.0, -1.0, 1.0]


@pytest.mark.parametrize("name, args, ops", [
    ("Optimizer", (), [("apply", "identity_lr_increase", 1.0, "")] * 101 + [("rollback",), ("get_params",)] * 101),
    ("Optimizer", (), [("apply", a, float("nan"), "") for a in ACTIONS] + [("get_params",)]),  # a NaN delta
    ("Metacognition", (2,), rec(0.9, 0.9) + rec(0.9, 0.1) + FIGS),  # a rate of exactly 0.5
    ("Metacognition", (2,), rec(0.9, 0.9, 4) + rec(0.9, 0.1) + FIGS),  # exactly 0.8
    ("Metacognition", (2,), rec(0.5, 0.9) + rec(0.9, 0.5) + FIGS),  # success needs both above one half
    ("Metacognition", (0,), [("record", 1000.0, 0, 0.9, [], 0)] * 3 + FIGS + [  # the newest 10,000 are kept
        ("record", 0.25 + k % 5 / 8, 0, 0.4 + k % 3 / 5, [], k) for k in range(10000)] + FIGS),
    ("SelfAudit", (1,), [("check_consistency", [1.0] * 10, [1.0] * 7 + [-1.0] * 3)]),  # exactly 0.7 passes
    ("SelfAudit", (0,), [("full_audit", [x]) for x in (1.0, 1e8, -1e8, 1.0)]),  # summed newest first
    ("SelfAudit", (100,), [("full_audit", [0.0] * 10 + [1.0] * 90), ("full_audit", [0.0] * 11 + [1.0] * 89)]),
    ("SelfAudit", (4,), [("full_audit", hv) for hv in ([-1.0] * 4, [1.0] * 4, [1, 1, -1, -1], V, V, V, [1.0] * 4)]),
    ("QuantumAttentionHead", (6, 1), [("compute", V, [V, [1, 1, -1], V], [[0.3, 0.7, 1.1, 1.3], [0.7] * 4, [0.9]]),
                                      ("compute", V, [V], [[1, 2, 3, 4, 5, 6, 7, 8]])]),  # one key: its value as is
])
def test_boundaries(name, args, ops):
    run(getattr(m, "Py" + name)(*args), getattr(models, name)(*args), ops)
