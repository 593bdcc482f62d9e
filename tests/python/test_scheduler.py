# PyHoloCPUScheduler against its model, bit for bit after every call: random call sequences and boundary rows.
import math

import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
from models import Scheduler, outcome, run

NAN, INF = math.nan, math.inf
READS = ["export_holographic_state", "feedback_strength", "dimension", "quantum_capacity", "run_audit_integrity_check"]


def session(dim, qc, ops):
    s = m.PyHoloCPUScheduler(dim, qc)
    assert (s.dim, s.qc) == (dim, qc)
    run(s, Scheduler(dim, qc), ops, lambda o: [outcome(getattr(o, k)) for k in READS])


TEXT = st.one_of(st.sampled_from(["", "a", "b", "ab", "\u00fc", "\u65e5\u672c", "a\x00b"]), st.text(max_size=4))
SIGNAL = st.one_of(st.sampled_from([0.5, 0.0, 1.0, 2.0, -1.0, 0.7, NAN, INF, -INF, 1e300]), st.floats(-3, 3))
SHORT = st.lists(st.sampled_from([1.0, -1.0, 0.0, 0.5, 2.0, -3.5, NAN, INF]), max_size=6)


OPS = st.one_of(st.tuples(st.sampled_from(["store_memory", "recall", "generate_role"]), TEXT),
                st.tuples(st.just("process_feedback"), SIGNAL),
                # the embedded head is built with the scheduler's dim and capacity
                st.tuples(st.just("quantum_grover_search"), SHORT, *[st.lists(SHORT, max_size=3)] * 2))


@settings(max_examples=60, deadline=None)
@given(st.sampled_from([0, 1, 2, 7, 63, 64, 65, 129]), st.integers(0, 3), st.lists(OPS, max_size=12))
def test_random_sessions_match_the_model(dim, qc, ops):
    session(dim, qc, ops)


WORDS = ["", "a", "b", "ab", "ba", "concept"]
ROWS = {
    # codebook rows ending just before, at and just after a 64-bit word
    **{f"recall-{d}": (d, 1, [("store_memory", t) for t in WORDS] + [("recall", f"p{i}") for i in range(30)])
       for d in (1, 63, 64, 65)},
    "dim-0": (0, 5, [("store_memory", "x"), ("recall", "x"), ("generate_role", "x"), ("process_feedback", 1.0)]),
    "feedback": (3, 1, [("process_feedback", x) for x in (0.5000000001, 0.5 + 2**-24, 0.5 - 2**-25, 2, -INF, NAN)]),
    "score-0.3": (20, 1, [("store_memory", "a"), ("recall", "p14")]),  # 7 of 20 differ: (20 - 14) / 20, not above
}


@pytest.mark.parametrize("dim,qc,ops", ROWS.values(), ids=ROWS.keys())
def test_boundaries(dim, qc, ops):
    session(dim, qc, ops)
