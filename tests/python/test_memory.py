# PyHKVC, PyCausalMemory and PyMultiHopReasoner against their models: random call sequences
# compared after every call, then boundary rows.
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
import models
from models import exact, same
from support import bipolar

NAN, INF = float("nan"), float("inf")
ODD = st.sampled_from([1.0, -1.0, 0.0, -0.0, 0.5, -3.0, 1e-45, 1e30, INF, -INF, NAN])


WORDS = st.sampled_from(["", "a", "k1", "k2", "ü", "a key longer than sixteen bytes"]) | st.text(max_size=3)


@settings(max_examples=40, deadline=None)
@given(st.sampled_from([0, 1, 3, 64, 65]),
       st.lists(st.tuples(st.booleans(), WORDS, WORDS, st.integers(0, 2 ** 64 - 1)), max_size=24))
def test_hkvc_matches_model(dim, ops):
    c, model = m.PyHKVC(dim), models.HKVC(dim)
    for is_store, key, value, pos in ops:
        for name, *args in [("store", key, value, pos)] * is_store + [
                ("query", key), ("position_score", pos), ("accumulator_magnitude",), ("count",)]:
            same(c, model, name, *args)


CAUSAL_CALLS = "record store query_effect recall_effect query_cause recall_cause query_by_time recall_by_time".split()


@settings(max_examples=60, deadline=None)
@given(st.sampled_from([0, 1, 4, 9, 17]), st.booleans(), st.data())
def test_causal_matches_model(dim, plain, data):
    vec = st.lists(st.sampled_from([1.0, -1.0]) if plain else ODD, min_size=max(dim - 1, 0), max_size=dim + 3)
    cm, model, pool = m.PyCausalMemory(dim), models.CausalMemory(dim), [[1.0] * dim]
    for _ in range(data.draw(st.integers(0, 40))):
        name = data.draw(st.sampled_from(CAUSAL_CALLS))
        known = st.sampled_from(pool)  # seen before, or its signs with other magnitudes
        vecs = known | known.map(lambda v: [x * (3.0 if i % 2 else 0.5) for i, x in enumerate(v)]) | vec
        args = [data.draw(vecs | st.lists(ODD, max_size=dim + 3)) for _ in range(3 if name in CAUSAL_CALLS[:2] else 1)]
        same(cm, model, name, *args)
        pool += args


@settings(max_examples=60, deadline=None)
@given(st.sampled_from([0, 1, 3, 8, 2 ** 62]), st.data())
def test_reasoner_matches_model(dim, data):
    r, model = m.PyMultiHopReasoner(dim), models.MultiHopReasoner(dim)
    vec = st.lists(st.sampled_from([1.0, -1.0, 0.0, 0.5]) | ODD, max_size=12)
    for _ in range(data.draw(st.integers(0, 40))):
        end, facts = st.integers(0, len(model.facts) + 1), [f.tolist() for f in model.facts] or [[]]
        same(r, model, *data.draw(st.tuples(st.just("add_fact"), vec) | st.tuples(st.just("add_link"), end, end)
                                   | st.tuples(st.just("reason"), st.sampled_from(facts) | vec,
                                               st.integers(0, 5) | st.just(2 ** 64 - 1)) | st.just(("reset",))))


C, E, T, E2 = (bipolar(66, seed) for seed in (1, 2, 3, 6))
FLIPPED = C[:64] + [-100.0 * x for x in C[64:]]  # C's signature, a negative dot with C
ROWS = [  # class, dim, calls; what the last call gives
    ("PyHKVC", 0, [("store", "a", "first", 0), ("store", "b", "second", 1), ("query", "b")], ("first", 0.0)),
    ("PyHKVC", 1, [("store", "a", "b", 7), ("query", "a")], ("b", 1.0)),
    ("PyHKVC", 64, [("store", "k", "alpha", 0), ("store", "k", "beta", 1), ("query", "k")],
     ("alpha", 0.45202821493148804)),
    ("PyHKVC", 16, [("store", f"k{j}", f"v{j}", j) for j in range(10)] + [("query", "never stored")],
     ("v8", 0.13320311903953552)),
    ("PyCausalMemory", 4, [("record", C, E, T), ("record", C, T, E), ("query_effect", C)], E),
    ("PyCausalMemory", 4, [("record", C, E, T), ("store", C[:3], E, T)],
     (ValueError, "cause has length 3, expected at least 4")),
    ("PyCausalMemory", 4, [("record", C, E, T), ("record", T, E2, E), ("query_effect", FLIPPED)], E2),
    ("PyMultiHopReasoner", 5, [("add_fact", [1, 0, 0, 0, 0]), ("add_fact", [1, 1, 0, 0, 0]),
                               ("reason", [1] * 5, 0)], [(1, 0.699999988079071)]),
    ("PyMultiHopReasoner", 2, [("add_fact", f) for f in ([1, 1], [NAN, 1], [-1, -1], [1, NAN], [1, -1])] + [
        ("add_link", a, b) for a, b in [(0, 3), (0, 1), (0, 2), (4, 0)]] + [("reason", [1, 1], 1)],
     [(0, 1.0), (4, 0.5), (2, 0.0), (3, NAN), (1, NAN)]),
    ("PyMultiHopReasoner", 2, [("add_fact", [1, 1]), ("add_link", 0, 5), ("reason", [1, 1], 1)],
     (IndexError, "link 0 (0, 5) reaches fact 5, but there are only 1 facts")),
]


@pytest.mark.parametrize("cls, dim, calls, last", ROWS)
def test_boundaries(cls, dim, calls, last):
    obj, model = getattr(m, cls)(dim), getattr(models, cls[2:])(dim)
    for name, *args in calls:
        got = same(obj, model, name, *args)
    assert got == exact(last)
