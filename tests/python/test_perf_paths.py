"""The fast paths give exactly what the general ones give.

- float32/float64 buffers (read in place or copied) against the same elements handed
  over one by one as Python floats, for raw bit patterns: signalling and quiet NaNs
  with payloads, infinities, subnormals, signed zeros;
- a buffer read in place still yields the values seen when it was converted, even if
  a later argument's conversion writes into it;
- every other buffer (other formats, byte order, strides, alignment, dimensions, no
  sequence protocol) gives the general path's values and messages;
- result lists share float objects for +-0, +-1, +-2, +-4 without mixing bit patterns,
  with consistent reference counts;
- index-order sums on bipolar and integer data, where vector lanes are allowed, equal
  the sequential float32 sum, including sums past 2^24 where order matters.
"""
import array
import gc
import math
import pickle
import struct
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m

F = np.float32


def dbits(xs):
    return [struct.pack("<d", x) for x in xs]


def as_items(arr):
    """The elements one by one as Python floats (float32 widened exactly, a signalling NaN quieted)."""
    return [float(x) for x in arr]


def f32_from_bits(words):
    return np.array(words, dtype=np.uint32).view(np.float32)


def f64_from_bits(words):
    return np.array(words, dtype=np.uint64).view(np.float64)


SPECIAL32 = [0x00000000, 0x80000000, 0x3F800000, 0xBF800000, 0x00000001, 0x807FFFFF, 0x7F800000,
             0xFF800000, 0x7FC00000, 0xFFC00000, 0x7F800001, 0xFFBFFFFF, 0x7FA00005, 0x40000000, 0x40800000]
words32 = st.lists(st.one_of(st.sampled_from(SPECIAL32), st.integers(0, 2**32 - 1)), max_size=80)
SPECIAL64 = [0, 1 << 63, 0x3FF0000000000000, 0x7FF0000000000001, 0x7FF8000000000000, 0xFFF4000000000000,
             0x0000000000000001, 0x47EFFFFFE0000000, 0x36A0000000000000]
words64 = st.lists(st.one_of(st.sampled_from(SPECIAL64), st.integers(0, 2**64 - 1)), max_size=80)

# Every algebra operation, with the vector argument first; the others fixed.
OPS = {
    "resonance": lambda v, o: [m.resonance(v, o)],
    "resonance (second)": lambda v, o: [m.resonance(o, v)],
    "bind": lambda v, o: m.hdc_bind(v, o),
    "unbind": lambda v, o: m.hdc_unbind(o, v),
    "bundle": lambda v, o: m.hdc_bundle(v, o),
    "permute": lambda v, o: m.hdc_permute(v, 3),
    "normalise": lambda v, o: m.normalise_bipolar(v),
    "hebbian weights": lambda v, o: m.hebbian(v, o, o, 0.5, 5),
    "hebbian pre": lambda v, o: m.hebbian(list(o) * 4, v, o, 0.25, 9),
}


def run(op, v, other):
    try:
        return ("ok", dbits(OPS[op](v, other)))
    except Exception as e:  # noqa: BLE001 - the exact outcome is compared
        return (type(e), str(e))


@settings(max_examples=150, deadline=None)
@given(words32, st.sampled_from(sorted(OPS)), st.sampled_from(["numpy", "array", "memoryview"]))
def test_float32_buffers_match_the_item_path(words, op, kind):
    arr = f32_from_bits(words)
    wrapped = {"numpy": lambda: arr, "array": lambda: array.array("f", arr.tobytes()),
               "memoryview": lambda: memoryview(arr)}[kind]()
    other = [1.0, -1.0, 0.5, -0.0, 3.0] * 17
    with np.errstate(all="ignore"):
        assert run(op, wrapped, other) == run(op, as_items(arr), other)
        # As the other operand too (a view on both sides, or one aliasing the other).
        assert run(op, wrapped, wrapped) == run(op, as_items(arr), as_items(arr))


@settings(max_examples=150, deadline=None)
@given(words64, st.sampled_from(sorted(OPS)), st.sampled_from(["numpy", "array"]))
def test_float64_buffers_match_the_item_path(words, op, kind):
    arr = f64_from_bits(words)
    wrapped = arr if kind == "numpy" else array.array("d", arr.tobytes())
    other = [1.0, -1.0, 0.25] * 27
    assert run(op, wrapped, other) == run(op, as_items(arr), other)


def test_signalling_nan_is_quieted_like_the_item_path():
    snan = f32_from_bits([0x7FA00005, 0xFF800001, 0x3F800000])
    got = m.hdc_bind(snan, [1.0, 1.0, 1.0])
    assert dbits(got) == dbits(m.hdc_bind(as_items(snan), [1.0, 1.0, 1.0]))
    assert struct.pack("<f", got[0]) == struct.pack("<I", 0x7FE00005)


@pytest.mark.parametrize("make", [
    lambda a: a.astype(">f4"),                              # byte-swapped
    lambda a: a.astype(np.float16),                         # another float format
    lambda a: a.astype(np.int32),                           # integers
    lambda a: np.repeat(a, 2)[::2],                         # strided
    lambda a: np.frombuffer(b"\0" + a.tobytes(), dtype=np.float32, offset=1),  # unaligned
    lambda a: np.require(a, requirements="C").reshape(1, -1)[0],               # a row view
    lambda a: np.ascontiguousarray(np.stack([a, a])[:, 1:])[0],                 # a row of a 2-D array
])
def test_other_layouts_give_the_item_values(make):
    a = np.array([1.0, -2.0, 0.5, -0.0, 3.0, 4.0], dtype=np.float32)
    v = make(a)
    ones = [1.0] * 6
    assert dbits(m.hdc_bind(v, ones)) == dbits(m.hdc_bind([float(x) for x in v], ones))
    assert m.resonance(v, ones) == m.resonance([float(x) for x in v], ones)


def outcome(fn):
    try:
        return ("ok", fn())
    except Exception as e:  # noqa: BLE001
        return (type(e), str(e))


@pytest.mark.parametrize("bad", [
    np.zeros((2, 2), dtype=np.float32),                     # two dimensions: items are rows
    np.zeros((1, 3), dtype=np.float64),
    np.array(["a", "b"]),
    np.zeros(3, dtype=[("x", "f4")]),                       # structured
    memoryview(b"abc"),
])
def test_other_buffers_fail_like_their_items(bad):
    ones = [1.0] * 4
    assert outcome(lambda: m.hdc_bind(bad, ones)) == outcome(lambda: m.hdc_bind(list(bad), ones))
    assert outcome(lambda: m.resonance(ones, bad)) == outcome(lambda: m.resonance(ones, list(bad)))


def test_a_buffer_without_the_sequence_protocol_is_refused():
    pb = pickle.PickleBuffer(np.ones(3, dtype=np.float32))
    for call in (lambda: m.hdc_bind(pb, [1.0]), lambda: m.resonance([1.0], pb)):
        with pytest.raises(TypeError, match="'PickleBuffer' object cannot be converted to 'Sequence'"):
            call()


def test_two_dimensional_memoryview_reports_like_iterating_it():
    mv = memoryview(np.ones((2, 2), dtype=np.float32))
    with pytest.raises(NotImplementedError):
        list(mv)
    with pytest.raises(NotImplementedError):
        m.hdc_bind(mv, [1.0])


# ---- the values seen at conversion time --------------------------------------------

def overwrite(target, value):
    for i in range(len(target)):
        target[i] = value


class Overwrites:
    """An item whose conversion writes into a buffer converted earlier."""

    def __init__(self, target, value=1.0):
        self.target, self.value = target, value

    def __float__(self):
        overwrite(self.target, 7.0)
        return self.value

    def __index__(self):
        overwrite(self.target, 7.0)
        return 2


class OverwritingList(list):
    def __iter__(self):
        overwrite(self.target, 7.0)
        return super().__iter__()

    def __len__(self):
        overwrite(self.target, 9.0)
        return super().__len__()


@pytest.mark.parametrize("kind", ["numpy", "array", "memoryview"])
def test_later_conversions_cannot_change_an_earlier_buffer(kind):
    def fresh():
        base = np.array([1.0, -1.0, 2.0, 0.5], dtype=np.float32)
        buf = {"numpy": base, "array": array.array("f", base.tobytes()), "memoryview": memoryview(base)}[kind]
        return base, buf

    expected_bind = m.hdc_bind([1.0, -1.0, 2.0, 0.5], [1.0, 1.0, 1.0, 1.0])
    base, buf = fresh()
    assert m.hdc_bind(buf, [1.0, 1.0, Overwrites(buf), 1.0]) == expected_bind
    assert list(buf) == [7.0] * 4  # the write did happen
    base, buf = fresh()
    assert m.resonance(buf, (Overwrites(buf), 1.0, 1.0, 1.0)) == m.resonance([1.0, -1.0, 2.0, 0.5], [1.0] * 4)
    base, buf = fresh()
    other = OverwritingList([1.0] * 4)
    other.target = buf
    assert m.hdc_bind(buf, other) == expected_bind
    base, buf = fresh()
    assert m.hdc_permute(buf, Overwrites(buf)) == m.hdc_permute([1.0, -1.0, 2.0, 0.5], 2)
    base, buf = fresh()
    want = m.hebbian([1.0, -1.0, 2.0, 0.5], [1.0, 1.0], [1.0, 1.0], 0.5, 2)
    assert m.hebbian(buf, [1.0, 1.0], [1.0, 1.0], Overwrites(buf, 0.5), 2) == want
    base, buf = fresh()
    assert m.hebbian(buf, [1.0, 1.0], [1.0, 1.0], 0.5, Overwrites(buf)) == want
    base, buf = fresh()
    two = np.array([3.0, 3.0], dtype=np.float32)
    assert m.hebbian(buf, two, [Overwrites(two), 1.0], 0.5, 2) == m.hebbian([1.0, -1.0, 2.0, 0.5], [3.0, 3.0],
                                                                           [1.0, 1.0], 0.5, 2)


def test_a_buffer_resized_by_a_later_conversion_and_released_afterwards():
    a = array.array("f", [1.0, 2.0])

    class Grows:
        def __float__(self):
            a.append(3.0)  # allowed once the values are copied, before this runs
            a[0] = 9.0
            return 1.0
    assert m.hdc_bind(a, [Grows(), 1.0]) == [1.0, 2.0]
    assert list(a) == [9.0, 2.0, 3.0]
    with pytest.raises(TypeError):
        m.hdc_bind(a, [1.0, "x"])
    m.hdc_bind(a, a)
    a.append(4.0)  # every export released, also after a failed call
    assert list(a) == [9.0, 2.0, 3.0, 4.0]


# ---- lists of hypervectors -----------------------------------------------------------

def test_lists_of_hypervectors_from_arrays_match_lists():
    rng = np.random.default_rng(3)
    keys = np.where(rng.random((9, 40)) < 0.5, F(-1), F(1))
    values = rng.standard_normal((9, 40)).astype(np.float32)
    query = keys[4].copy()
    head = m.PyQuantumAttentionHead(40, 2)
    want = head.compute(query.tolist(), keys.tolist(), values.tolist())
    for k, v, q in [(keys, values, query), (list(keys), list(values), query),
                    (keys.astype(np.float64), tuple(values.astype(np.float64)), query.astype(np.float64))]:
        assert dbits(head.compute(q, k, v)) == dbits(want)


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # np.matrix, on purpose
@pytest.mark.parametrize("layout", ["f4", "f8", "transposed", "matrix", "snan", "empty rows", "no rows"])
def test_two_dimensional_arrays_as_lists_of_hypervectors(layout):
    rng = np.random.default_rng(8)
    roles = np.where(rng.random((3, 32)) < 0.5, F(-1), F(1))
    keys = rng.standard_normal((3, 32)).astype(F)
    if layout == "f8":
        roles, keys = roles.astype(np.float64), keys.astype(np.float64)
    elif layout == "transposed":
        roles, keys = np.ascontiguousarray(roles.T).T, np.asfortranarray(keys)
    elif layout == "snan":
        keys.view(np.uint32)[1, 5] = 0x7FA00001
    elif layout == "empty rows":
        roles, keys = roles[:, :0], keys[:, :0]
    elif layout == "no rows":
        roles, keys = roles[:0], keys[:0]
    if layout == "matrix":
        roles, keys = np.asmatrix(roles), np.asmatrix(keys)

    def outcome_of(r, k):
        swarm = m.PyHoloSwarm(32)
        try:
            swarm.add_paradox_trap(["a", "b", "c"], r, k)
        except Exception as e:  # noqa: BLE001
            return (type(e), str(e))
        probe = np.ones(32, dtype=F).tolist()
        return dbits([x for _, x in swarm.materialize(probe, -1.0)]), dbits(swarm.swarm_vector)

    as_lists = ([[float(x) for x in np.asarray(row).ravel()] for row in roles],
                [[float(x) for x in np.asarray(row).ravel()] for row in keys])
    if layout == "matrix":  # a matrix's rows are 1 x n matrices: each is one item holding a row
        as_lists = (list(roles), list(keys))
    assert outcome_of(roles, keys) == outcome_of(*as_lists)
    head = m.PyQuantumAttentionHead(32, 1)
    if len(roles) and layout != "matrix":
        assert outcome(lambda: dbits(head.compute(roles[0], roles, keys))) == \
            outcome(lambda: dbits(head.compute(as_lists[0][0], *as_lists)))


# ---- shared result floats ----------------------------------------------------------

SHARED = [1.0, -1.0, 0.0, -0.0, 2.0, -2.0, 4.0, -4.0]


def test_shared_floats_keep_every_bit_pattern_apart():
    n = 2000  # several boxing chunks
    src = np.array([SHARED[i % 8] for i in range(n)] + [0.5, 3.0, float("nan")] * 3, dtype=np.float32)
    out = m.hdc_bind(src, [1.0] * len(src))
    assert dbits(out) == dbits([float(x) for x in src])
    by_bits = {}
    for x in out:
        by_bits.setdefault(struct.pack("<d", x), set()).add(id(x))
    for value in SHARED:
        ids = by_bits[struct.pack("<d", value)]
        assert 1 <= len(ids) <= 4  # a few shared objects per value
    # No object is shared between different bit patterns.
    seen = [i for ids in by_bits.values() for i in ids]
    assert len(seen) == len(set(seen))
    assert [math.copysign(1.0, x) for x in out[2:4]] == [1.0, -1.0]


def test_shared_floats_have_consistent_reference_counts():
    out = m.hdc_bundle([1.0, -1.0, 1.0, 0.0] * 300, [1.0, -1.0, -1.0, 0.0] * 300)
    assert out[:4] == [1.0, -1.0, 0.0, 0.0]
    counts = {}
    objs = {}
    for x in out:
        counts[id(x)] = counts.get(id(x), 0) + 1
        objs[id(x)] = x
    del x
    for key in counts:
        # list slots + the dict value + getrefcount's own argument (outside the
        # assert, whose rewriting keeps references of its own)
        refs = sys.getrefcount(objs[key])
        assert refs == counts[key] + 2
    del objs
    out2 = list(out)
    del out
    gc.collect()
    assert out2[:4] == [1.0, -1.0, 0.0, 0.0] and len(out2) == 1200


def test_results_from_separate_calls_are_equal_and_independent():
    a = m.hdc_bind([1.0, -1.0], [1.0, 1.0])
    b = m.hdc_bind([1.0, -1.0], [1.0, 1.0])
    assert a == b
    a[0] = 5.0
    assert b == [1.0, -1.0]


# ---- exact vector sums ---------------------------------------------------------------

def index_order_dot(a, b, init=0.0):
    p = np.asarray(a, F) * np.asarray(b, F)
    return float(np.add.accumulate(np.concatenate([[F(init)], p]).astype(F), dtype=F)[-1])


def model_resonance(a, b):
    return float((F(index_order_dot(a, b)) / F(len(a)) + F(1)) * F(0.5))


@pytest.mark.parametrize("n", [1, 31, 32, 33, 1023, 1024, 1025, 2049, 10_000])
@pytest.mark.parametrize("kind", ["bipolar", "ternary", "int", "general", "bipolar+one"])
def test_resonance_equals_the_index_order_sum(n, kind):
    rng = np.random.default_rng(n)
    if kind == "bipolar" or kind == "bipolar+one":
        a, b = (np.where(rng.random(n) < 0.5, F(-1), F(1)) for _ in range(2))
        if kind == "bipolar+one":
            a[n // 2] = F(0.3)
    elif kind == "ternary":
        a, b = (rng.integers(-1, 2, n).astype(F) for _ in range(2))
    elif kind == "int":
        a, b = (rng.integers(-90, 91, n).astype(F) for _ in range(2))
    else:
        a, b = (rng.standard_normal(n).astype(F) for _ in range(2))
    want = model_resonance(a, b)
    assert m.resonance(a, b) == want
    assert m.resonance(a.tolist(), b.tolist()) == want


def test_order_matters_past_2_to_24_and_index_order_wins():
    # 4096 products of 4096 reach 2^24; each later 1 is lost to round-half-even.
    a = np.array([64.0] * 4096 + [1.0] * 64, dtype=F)
    assert index_order_dot(a, a) == 2.0**24
    assert m.resonance(a, a) == model_resonance(a, a)
    b = np.array([1.0] * 64 + [64.0] * 4096, dtype=F)
    assert index_order_dot(b, b) == 2.0**24 + 64
    assert m.resonance(b, b) == model_resonance(b, b)
