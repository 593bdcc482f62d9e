"""Every entry point with arbitrary arguments: ints of any size, every kind of float, strings with
lone surrogates, bytes, buffers, nested and ragged lists, None, and hostile objects (conversions
that raise, return the wrong type or call back into the instance under test; sequences whose
__len__ lies or whose __getitem__ raises midway; lists that change while being read). Each call
must return a value of its declared kind or raise an Exception (never a SystemError, never a
PanicException outside the documented internal failures), and a failed call must leave the
instance exactly as its untouched twin."""
from __future__ import annotations

import array
import functools
import math
import os
import struct
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import morvelan_hdc as m
from _reliability import (ALL, DIM, SANITIZED, BadStr, Boom, IndexOnly, Late, LyingSeq, MidwayRaise, RaisingFloat,
                          RaisingIndex, WeirdStr, WrongFloat, WrongIndex, bipolar, callback, canon, check_one,
                          engine_dim, good_args, growing_list, invoke, make, shrinking_list, snapshot)

EXAMPLES = int(os.environ.get("MHDC_FUZZ_EXAMPLES", "12" if SANITIZED else "30"))

# ---- strategies --------------------------------------------------------------------------------

BOUNDARY_INTS = [0, 1, -1, 2, 7, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32 - 1, 2**32, 2**53 + 1, 2**62,
                 2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, -2**64, 10**30, -10**30, 2**200]
SIGNALLING_NAN = struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0]
SPECIAL_FLOATS = [0.0, -0.0, math.nan, -math.nan, SIGNALLING_NAN, math.inf, -math.inf, 1e308, -1e308, 5e-324,
                  3.4028235e38, 3.5e38, 1e-46, 0.1, 1.0, -1.0]
SURROGATE_TEXT = ["\ud800", "a\udfff", "\udc80\udc80", "x\ud83d", "\U0001f600", "\x00", "", " red ", "red\x00",
                  "RED", "gr\u00e9en", "\u200bblue"]

ints = st.one_of(st.integers(-300, 300), st.sampled_from(BOUNDARY_INTS), st.integers(-2**80, 2**80))
floats = st.one_of(st.floats(), st.sampled_from(SPECIAL_FLOATS), st.floats(width=32))
texts = st.one_of(st.text(max_size=8), st.sampled_from(SURROGATE_TEXT),
                  st.lists(st.sampled_from(SURROGATE_TEXT + ["a", "b"]), max_size=3).map("".join))


def hostile_scalar():
    return st.one_of(
        st.builds(RaisingFloat), st.builds(RaisingIndex), st.builds(WrongFloat), st.builds(WrongIndex),
        st.builds(IndexOnly, st.sampled_from([0, 1, -1, 2**40, 2**64])),
        st.builds(callback, st.sampled_from(["read", "write"]), st.booleans(), st.sampled_from([0, 1, 2])),
    )


float_like = st.one_of(
    floats, floats, ints, st.booleans(),
    st.builds(np.float32, st.floats(width=32)), st.builds(np.float64, floats), st.builds(np.int64, st.integers(-5, 5)),
    st.builds(Fraction, st.integers(-9, 9), st.integers(1, 9)),
    hostile_scalar(),
)
index_like = st.one_of(ints, ints, st.booleans(), st.builds(np.int64, st.integers(-5, 2**40)),
                       st.builds(np.uint64, st.integers(0, 2**64 - 1)), floats, hostile_scalar())


@st.composite
def buffers(draw):
    kind = draw(st.sampled_from(["np32", "np64", "npint", "np2d", "npsnan", "npstride", "arrf", "arrd", "arri",
                                 "bytes", "bytearray", "memview"]))
    xs = draw(st.lists(st.floats(width=32), max_size=10))
    if kind == "np32":
        return np.array(xs, dtype=np.float32)
    if kind == "np64":
        return np.array(xs, dtype=np.float64)
    if kind == "npint":
        return np.array([int(max(-1e9, min(1e9, x))) if math.isfinite(x) else 0 for x in xs], dtype=np.int32)
    if kind == "np2d":
        return np.ones((2, 3), dtype=np.float32)
    if kind == "npsnan":  # float32 signalling NaNs, read in place or copied and quieted
        return np.frombuffer(b"\x01\x00\x80\x7f\x00\x00\x80\x3f" * 2, dtype=np.float32).copy()
    if kind == "npstride":
        return np.arange(12, dtype=np.float32)[::3]
    if kind == "arrf":
        return array.array("f", xs)
    if kind == "arrd":
        return array.array("d", xs)
    if kind == "arri":
        return array.array("i", [1, -1, 5])
    if kind == "bytes":
        return bytes(draw(st.binary(max_size=8)))
    if kind == "bytearray":
        return bytearray(draw(st.binary(max_size=8)))
    return memoryview(array.array("f", [1.0, 2.0, 3.0, 4.0]))[::2]


def sequences(item, max_size=12):
    """Sequences of `item` in every shape the frame must cope with."""
    return st.one_of(
        st.lists(item, max_size=max_size),
        st.lists(item, max_size=max_size).map(tuple),
        st.builds(LyingSeq, st.lists(item, max_size=6),
                  st.one_of(st.sampled_from([0, 1, 2**40, 2**62, -1, 2**63]), st.builds(Boom, st.just("len")),
                            st.builds(ValueError, st.just("len")))),
        st.builds(MidwayRaise, st.integers(0, 10), st.integers(0, 10),
                  st.sampled_from([None, ValueError("midway"), TypeError("midway"), IndexError("stop")])),
    )


def hv_values(dim):
    return st.one_of(
        st.just(bipolar(dim, 5)), st.lists(st.sampled_from([1.0, -1.0]), min_size=dim, max_size=dim),
        sequences(float_like), buffers(),
        st.builds(lambda n, at: Late(lambda t, w: shrinking_list(n, at), f"shrinking_list({n}, {at})"),
                  st.integers(2, 10), st.integers(0, 1)),
        st.builds(lambda n: Late(lambda t, w: growing_list(n), f"growing_list({n})"), st.integers(1, 10)),
        st.sampled_from(["ab", "", None, 1, 2.5, {1.0: 2}, {1.0}, object()]),
        st.builds(lambda: Late(lambda t, w: (x for x in [1.0]), "generator")),
        st.builds(range, st.integers(0, 10)),
    )


def hvs_values(dim):
    row = hv_values(dim)
    return st.one_of(st.lists(row, max_size=4), st.lists(st.just(bipolar(dim, 1)), min_size=1, max_size=3),
                     sequences(row, max_size=4), st.sampled_from(["ab", None, 3, [[]], [], ()]))


def str_values():
    return st.one_of(texts, texts, st.sampled_from([b"x", None, 1, 1.5, ["a"], bytearray(b"a")]))


def fixed3_values():
    return st.one_of(st.lists(float_like, min_size=3, max_size=3), st.tuples(float_like, float_like, float_like),
                     sequences(float_like, max_size=5), buffers(), st.sampled_from(["abc", None, 3]))


def bytes8_values(dim):
    small = st.one_of(st.sampled_from([1, -1]), st.integers(-300, 300), st.sampled_from([2**31, -2**63, 2**64]),
                      st.booleans(), hostile_scalar(), floats)
    return st.one_of(st.lists(st.sampled_from([1, -1]), min_size=dim, max_size=dim), sequences(small, max_size=dim + 2),
                     buffers(), st.sampled_from(["ab", None, 5]))


@functools.lru_cache(maxsize=None)  # strategies are built once: hypothesis validates each new one
def kind_values(kind: str, dim: int):
    kind = kind.rstrip("?")
    if kind == "hv":
        return hv_values(dim)
    if kind == "hvs":
        return hvs_values(dim)
    if kind == "str":
        return str_values()
    if kind == "strs":
        return st.one_of(st.lists(texts, max_size=3), sequences(str_values(), max_size=3), st.sampled_from(["ab", None]))
    if kind == "f32":
        return float_like
    if kind in ("u64", "u32", "i32"):
        return index_like
    if kind == "dim":
        # Sizes that are allocated: small ones work, impossible ones must fail at once. Sizes in
        # between would really be allocated (and filled): not for a unit test.
        return st.one_of(st.integers(0, 64), st.sampled_from([2**40, 2**62, 2**63, 2**64 - 1, -1, 2**64, 2**100]),
                         st.sampled_from([1.5, None, "8", IndexOnly(8), RaisingIndex(), WrongIndex()]))
    if kind == "fixed3":
        return fixed3_values()
    if kind == "bytes8":
        return bytes8_values(dim)
    if kind == "pos":
        return st.one_of(texts, fixed3_values(), st.sampled_from(["red", "blue", "  Cyan  ", "amber", "violet"]))
    if kind == "any":
        return st.one_of(bytes8_values(dim), texts, st.builds(BadStr), st.builds(WeirdStr), st.sampled_from([None, 1.5, ()]))
    raise AssertionError(kind)


@functools.lru_cache(maxsize=None)
def wild(dim):
    return st.one_of(hv_values(dim), str_values(), index_like, fixed3_values())


@st.composite
def calls(draw, entry):
    d = engine_dim(entry.owner) if entry.owner else DIM
    args = []
    for kind in entry.kinds:
        if kind == "dim" or draw(st.integers(0, 4)) != 0:
            args.append(draw(kind_values(kind, d)))
        else:
            args.append(draw(wild(d)))
    kwargs = {}
    shape = draw(st.integers(0, 11))
    if shape == 0 and args:
        args = args[:draw(st.integers(0, len(args) - 1))]           # too few
    elif shape == 1:
        args = args + [draw(wild(d))]                                # too many
    elif shape in (2, 3) and args:
        cut = draw(st.integers(0, len(args)))                        # a suffix by keyword
        kwargs = dict(zip(entry.names[cut:], args[cut:]))
        args = args[:cut]
        if shape == 3:
            kwargs[draw(st.sampled_from(["bogus", entry.names[0], "self", "\udcff"]))] = 1
    return args, kwargs


IDS = [f"{e.full}:{e.kind}" for e in ALL]


@pytest.mark.parametrize("entry", ALL, ids=IDS)
@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much])
@given(data=st.data())
def test_arbitrary_arguments(entry, data):
    args, kwargs = data.draw(calls(entry), label="call")
    check_one(entry, args, kwargs)


# ---- fixed hostile cases, each entry point ---------------------------------------------------

def hostile_cases(entry):
    """For each parameter: the good arguments with that one replaced by each hostile object."""
    d = engine_dim(entry.owner) if entry.owner else DIM
    good = good_args(entry, d)
    objects = [RaisingFloat(), RaisingIndex(), WrongFloat(), WrongIndex(), None, "\ud800", b"\xff", 2**64, -1,
               math.nan, [math.nan] * d, LyingSeq(good[0] if good and isinstance(good[0], list) else [1.0], 2**62),
               LyingSeq([1.0, 2.0], Boom("len")), MidwayRaise(d, d // 2), [[1.0], "x"], [RaisingFloat()],
               callback("write", False, 1), callback("read", False, 1), callback("write", True, 1)]
    for i in range(len(good)):
        for obj in objects:
            a = list(good)
            a[i] = obj
            yield a


@pytest.mark.parametrize("entry", [e for e in ALL if e.params], ids=[f"{e.full}:{e.kind}" for e in ALL if e.params])
def test_each_hostile_object_in_each_position(entry):
    for a in hostile_cases(entry):
        check_one(entry, a, {})


def test_exceptions_from_conversions_pass_through_unchanged():
    """Boom is not a TypeError: it must come out as itself, not prefixed or replaced."""
    cases = [lambda: m.resonance([RaisingFloat()], [1.0]), lambda: m.rand_bipolar(RaisingIndex()),
             lambda: m.hv_hash(MidwayRaise(4, 2)), lambda: m.PyHKVC(8).store("a", "b", RaisingIndex()),
             lambda: m.PyHoloGenEngine(64).generate_material_mapping(LyingSeq([1, 2, 3], Boom("len")), [1, 2, 3], 1),
             lambda: m.PyHoloSwarm(8).add_paradox_trap(["a"], [[1.0]], [MidwayRaise(3, 1)])]
    for c in cases:
        with pytest.raises(Boom):
            c()


def test_lying_lengths_are_only_hints():
    """__len__ may overstate, understate or fail: the items decide."""
    for claimed in (0, 1, 2**40, 2**62, Boom("len"), ValueError("len")):
        assert m.hdc_bind(LyingSeq([1.0, -1.0, 2.0], claimed), [1.0, 1.0, 1.0]) == [1.0, -1.0, 2.0]
        assert m.PyHoloGenEngine(32).encode_bvh_node([0, 0, 0], [1, 1, 1], LyingSeq([1] * 32, claimed), [1] * 32)
        s, plain = m.PyHoloSwarm(4), m.PyHoloSwarm(4)
        s.add_paradox_trap(LyingSeq(["a"], claimed), LyingSeq([[1.0] * 4], claimed), [[1.0] * 4])
        plain.add_paradox_trap(["a"], [[1.0] * 4], [[1.0] * 4])
        assert s.swarm_vector == plain.swarm_vector and s.resonate("a", [1.0] * 4, [], 3) == plain.resonate(
            "a", [1.0] * 4, [], 3)


# ---- order of conversion ---------------------------------------------------------------------

class Overwrite:
    """Converts as `value`, after overwriting an earlier argument's buffer."""

    def __init__(self, buf, value):
        self.buf, self.value = buf, value

    def __float__(self):
        self.buf[:] = 7.0
        return float(self.value)

    def __index__(self):
        self.buf[:] = 7.0
        return int(self.value)


def _with_overwrite(kind, good, buf):
    kind = kind.rstrip("?")
    if kind in ("hv", "fixed3"):
        return [Overwrite(buf, good[0])] + list(good[1:])
    if kind == "hvs":
        return [[Overwrite(buf, good[0][0])] + list(good[0][1:])] + list(good[1:])
    if kind in ("f32", "u64", "u32", "i32"):
        return Overwrite(buf, good)
    return None


ORDERED = []
for _e in ALL:
    _first = next((i for i, k in enumerate(_e.kinds) if k == "hv"), None)
    if _first is not None and any(k.rstrip("?") in ("hv", "hvs", "f32", "u64", "u32", "i32", "fixed3")
                                  for k in _e.kinds[_first + 1:]):
        ORDERED.append((_e, _first))


@pytest.mark.parametrize("entry, first", ORDERED, ids=[e.full for e, _ in ORDERED])
def test_a_later_argument_that_writes_into_an_earlier_buffer_changes_nothing(entry, first):
    """Arguments are converted in order, so a buffer argument gives the values it held when it was
    converted, whatever a later argument's conversion writes into it."""
    d = engine_dim(entry.owner) if entry.owner else DIM
    good = good_args(entry, d)
    for j in range(first + 1, len(good)):
        arr = np.array(good[first], dtype=np.float32)
        args = list(good)
        args[first] = arr
        args[j] = _with_overwrite(entry.kinds[j], good[j], arr)
        if args[j] is None:
            continue
        mine, ref = (make(entry.owner), make(entry.owner)) if entry.owner else (None, None)
        got = invoke(entry, mine, args)
        want = invoke(entry, ref, good)
        assert canon(got) == canon(want), (entry.full, j)
        assert float(arr[0]) == 7.0  # the write did happen, after the conversion
        if mine is not None:
            assert snapshot(entry.owner, mine) == snapshot(entry.owner, ref)


def test_deep_reentrancy_leaves_every_borrow_balanced():
    """A conversion that calls back into the same reader a thousand levels deep ends in
    RecursionError, and every level's borrow is released on the way out."""
    s = make("PyHoloSwarm")
    h = make("PyHKVC")

    class Deep:
        def __init__(self, fn):
            self.fn = fn

        def __float__(self):
            return self.fn()

        def __index__(self):
            return int(self.fn())

    def down_swarm():
        s.materialize([Deep(down_swarm)], 0.0)
        return 1.0

    def down_cache():
        h.position_score(Deep(down_cache))
        return 1

    def down_function():
        return m.resonance([Deep(down_function)], [1.0])

    for fn in (down_swarm, down_cache, down_function):
        with pytest.raises(RecursionError):
            fn()
    s.add_agent("late", [1.0] * DIM, "p", [1.0] * DIM, "s", [1.0] * DIM)   # exclusive: the flag is free
    h.store("late", "v", 1)
    assert h.count() == 3 and [r for r, _ in s.materialize([1.0] * DIM, -math.inf)][-1:] != []


KEYWORDED = [e for e in ALL if e.kind in ("function", "ctor", "method")]


@pytest.mark.parametrize("name", ["\udcff", "a\ud800b", "b\x00", "\U0001f600"])
@pytest.mark.parametrize("entry", KEYWORDED, ids=[e.full for e in KEYWORDED])
def test_a_keyword_that_is_no_parameter_is_a_type_error_whatever_its_text(entry, name):
    """Even a name with no UTF-8 form (a lone surrogate) names no parameter: TypeError, with the
    name as given, not an encoding error."""
    d = engine_dim(entry.owner) if entry.owner else DIM
    target = make(entry.owner) if entry.owner and entry.kind != "ctor" else None
    callee = f"{entry.owner}.{entry.name}()" if entry.owner else f"{entry.name}()"
    with pytest.raises(TypeError) as e:
        invoke(entry, target, good_args(entry, d), {name: 1})
    assert str(e.value) == f"{callee} got an unexpected keyword argument '{name}'"
