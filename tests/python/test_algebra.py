"""The element-wise algebra, against the definitions written out in numpy float32."""
import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m

F = np.float32
finite = st.floats(width=32, allow_nan=False, allow_infinity=False)
anyf = st.floats(width=32)
vectors = st.lists(anyf, max_size=24)


def bits(xs):
    return [struct.pack("<f", x) for x in xs]


def nan_blind_bits(xs):
    # Which NaN a product of two NaNs returns is the processor's (and numpy's loop
    # order's) choice, not a rule of the algebra; every NaN compares as one.
    return [b"nan" if math.isnan(x) else struct.pack("<f", x) for x in xs]


def model_resonance(a, b):
    s = F(0.0)
    for x, y in zip(a, b):
        s = F(s + F(F(x) * F(y)))
    return float(F(F(s / F(len(a))) + F(1.0)) * F(0.5))


@pytest.mark.parametrize("a,b,expected", [
    ([1, -1, 1, 1], [1, -1, -1, 1], 0.75),
    ([1, 1, 1, 1], [1, 1], 0.75),      # divides by len(a) = 4
    ([1, 1], [1, 1, 1, 1], 1.0),       # divides by 2
    ([1, -1, 1], [-1, 1, -1], 0.0),
])
def test_resonance_examples(a, b, expected):
    assert m.resonance(a, b) == expected


def test_resonance_of_empty_first_operand_is_nan():
    assert math.isnan(m.resonance([], [1.0]))


@settings(max_examples=150, deadline=None)
@given(vectors, vectors)
def test_resonance_is_the_index_order_f32_sum(a, b):
    with np.errstate(all="ignore"):
        expected = model_resonance(a, b) if a else float("nan")
    got = m.resonance(a, b)
    assert bits([got]) == bits([expected]) or (math.isnan(got) and math.isnan(expected))


@settings(max_examples=150, deadline=None)
@given(vectors, vectors)
def test_bind_unbind_bundle_match_their_definitions(a, b):
    n = min(len(a), len(b))
    with np.errstate(all="ignore"):
        prod = [float(F(x) * F(y)) for x, y in zip(a, b)]
        sums = [F(x) + F(y) for x, y in zip(a, b)]
        swapped = [float(F(y) * F(x)) for x, y in zip(a, b)]
    assert nan_blind_bits(m.hdc_bind(a, b)) == nan_blind_bits(prod)
    assert nan_blind_bits(m.hdc_unbind(a, b)) == nan_blind_bits(swapped)
    assert m.hdc_bundle(a, b) == [1.0 if s > 0 else -1.0 if s < 0 else 0.0 for s in sums]
    assert len(m.hdc_bind(a, b)) == n


def test_bundle_examples_and_zero_sign():
    assert m.hdc_bundle([1, -1, 1], [1, 1, -1]) == [1.0, 0.0, 0.0]
    assert m.hdc_bundle([0.5], [-0.25]) == [1.0]
    assert bits(m.hdc_bundle([-0.0, float("nan")], [-0.0, 1.0])) == bits([0.0, 0.0])


@pytest.mark.parametrize("n,expected", [
    (1, ["d", "a", "b", "c"]), (-1, ["b", "c", "d", "a"]), (4, ["a", "b", "c", "d"]),
    (0, ["a", "b", "c", "d"]), (-5, ["b", "c", "d", "a"]), (3, ["b", "c", "d", "a"]),
    (2**31 - 1, ["b", "c", "d", "a"]), (-2**31, ["a", "b", "c", "d"]),
])
def test_permute_rotates_right(n, expected):
    letters = {"a": 1.0, "b": 2.0, "c": 3.0, "d": 4.0}
    assert m.hdc_permute([1.0, 2.0, 3.0, 4.0], n) == [letters[x] for x in expected]
    assert m.hdc_permute([], n) == []


@pytest.mark.parametrize("v,expected", [
    ([2, -4, 1], [0.5, -1.0, 0.25]),
    ([0, 0], [0.0, 0.0]),
    ([], []),
    ([float("nan"), 2.0], None),
    ([1e-12], [float(F(1e-12) / F(1e-9))]),
])
def test_normalise_bipolar(v, expected):
    out = m.normalise_bipolar(v)
    if expected is None:
        assert math.isnan(out[0]) and out[1] == 1.0
    else:
        assert out == expected


def literal_hebbian(w, pre, post, lr, dim):
    w = [F(x) for x in w]
    lr = F(lr)
    for i in range(min(len(pre), dim)):
        a = F(F(pre[i]) * lr)
        for j in range(min(len(post), dim)):
            if (j == i or (i + j) % 7 == 0) and i * dim + j < len(w):
                w[i * dim + j] = F(F(F(post[j]) * a) + w[i * dim + j])
    return [float(x) for x in w]


def test_hebbian_diagonal_and_anti_diagonal():
    out = m.hebbian([0.0] * 64, [1.0] * 8, [1.0] * 8, 0.1, 8)
    changed = [k for k, x in enumerate(out) if x != 0.0]
    assert len(changed) == 16 and all(out[k] == float(F(0.1)) for k in changed)
    assert {(k // 8, k % 8) for k in changed} == {(i, i) for i in range(8)} | {(i, 7 - i) for i in range(8)}
    assert m.hebbian([3.0, 4.0], [1.0], [1.0], 1.0, 0) == [3.0, 4.0]


@settings(max_examples=150, deadline=None)
@given(st.integers(0, 12), st.lists(finite, max_size=12), st.lists(finite, max_size=12), finite,
       st.integers(0, 200), st.data())
def test_hebbian_matches_the_literal_double_loop(dim, pre, post, lr, wlen, data):
    w = data.draw(st.lists(finite, min_size=wlen, max_size=wlen))
    with np.errstate(all="ignore"):
        expected = literal_hebbian(w, pre, post, lr, dim)
    assert bits(m.hebbian(w, pre, post, lr, dim)) == bits(expected)


def test_hebbian_never_writes_through_a_wrapped_index():
    # Row 2 starts at 2 * 2**63, which wraps to 0 in 64 bits: it lies beyond W and must be skipped.
    out = m.hebbian([0.0] * 10, [1.0, 1.0, 1.0], [1.0] * 10, 1.0, 2**63)
    assert out == [1.0, 0, 0, 0, 0, 0, 0, 1.0, 0, 0]


def test_hebbian_with_a_huge_dim_visits_only_selected_cells():
    n = 100_000
    out = m.hebbian([0.0] * n, [1.0] * n, [2.0] * n, 0.5, 2**40)
    assert [k for k, x in enumerate(out) if x] == list(range(0, n, 7))
    assert set(out) == {0.0, 1.0}
