"""Argument matching, conversion, borrowing, thread binding and PanicException."""
import array
import struct
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m

Panic = type("probe", (), {})  # replaced below once a PanicException has been seen


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


@pytest.mark.parametrize("call,exc,message", [
    (lambda: m.resonance([1.0], "ab"), TypeError, "argument 'b': Can't extract `str` to `Vec`"),
    (lambda: m.resonance(1, [1.0]), TypeError, "argument 'a': 'int' object cannot be converted to 'Sequence'"),
    (lambda: m.resonance([1.0]), TypeError, "resonance() missing 1 required positional argument: 'b'"),
    (lambda: m.resonance(), TypeError, "resonance() missing 2 required positional arguments: 'a' and 'b'"),
    (lambda: m.hebbian(), TypeError,
     "hebbian() missing 5 required positional arguments: 'weights', 'pre', 'post', 'lr', and 'dim'"),
    (lambda: m.hdc_unbind(key=[1.0]), TypeError, "hdc_unbind() missing 1 required positional argument: 'compound'"),
    (lambda: m.resonance([1], [1], [1]), TypeError, "resonance() takes 2 positional arguments but 3 were given"),
    (lambda: m.normalise_bipolar([1], [1]), TypeError,
     "normalise_bipolar() takes 1 positional arguments but 2 were given"),
    (lambda: m.resonance([1], b=[1], c=1), TypeError, "resonance() got an unexpected keyword argument 'c'"),
    (lambda: m.resonance([1], a=[1]), TypeError, "resonance() got multiple values for argument 'a'"),
    (lambda: m.hdc_permute([1.0], 2**31), OverflowError, "out of range integral type conversion attempted"),
    (lambda: m.hdc_permute([1.0], -2**31 - 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: m.hdc_bind({1: 2}, [1]), TypeError, "argument 'a': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: m.hdc_bind({1.0}, [1]), TypeError, "argument 'a': 'set' object cannot be converted to 'Sequence'"),
    (lambda: m.hdc_bind((x for x in [1.0]), [1]), TypeError,
     "argument 'a': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: m.PyOptimizer(1), TypeError, "PyOptimizer.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: m.PyOptimizer().get(1), TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda: m.PyOptimizer().get(b"lr"), TypeError, "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: m.PyOptimizer().apply(action="a", delta=1.0), TypeError,
     "PyOptimizer.apply() missing 1 required positional argument: 'reason'"),
])
def test_messages(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize("call,prefix", [
    (lambda: m.resonance([1.0, "x"], [1.0]), "argument 'a': "),
    (lambda: m.hebbian([], [], [], "lr", 1), "argument 'lr': "),
    (lambda: m.hebbian([], [], [], 1.0, 2.0), "argument 'dim': "),
    (lambda: m.hdc_permute([1.0], 1.5), "argument 'n': "),
    (lambda: m.resonance([1.0], [None]), "argument 'b': "),
])
def test_type_errors_get_the_argument_prefix(call, prefix):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(prefix)
    assert not str(info.value)[len(prefix):].startswith("argument")


def test_other_errors_pass_unprefixed_and_the_cause_carries_over():
    with pytest.raises(OverflowError) as info:
        m.hebbian([], [], [], 1.0, -1)
    assert not str(info.value).startswith("argument")
    with pytest.raises(OverflowError):
        m.hebbian([], [], [], 1.0, 2**64)
    m.hebbian([], [], [], 1.0, 2**64 - 1)

    class Weird:
        def __float__(self):
            raise ValueError("not a TypeError")
    with pytest.raises(ValueError, match="^not a TypeError$"):
        m.resonance([Weird()], [1.0])

    root = KeyError("root")

    class Chained:
        def __float__(self):
            raise TypeError("inner") from root
    with pytest.raises(TypeError) as info:
        m.resonance([1.0], [Chained()])
    assert str(info.value) == "argument 'b': inner"
    assert info.value.__cause__ is root

    class SubTypeError(TypeError):
        pass

    class Sub:
        def __float__(self):
            raise SubTypeError("kept")
    with pytest.raises(SubTypeError, match="^kept$"):
        m.resonance([Sub()], [1.0])


class Floaty:
    def __init__(self, x):
        self.x = x

    def __float__(self):
        return self.x


class Indexy:
    def __index__(self):
        return 3


@pytest.mark.parametrize("value,expected", [
    ((1, -1), [1.0, -1.0]),
    ([1, 2.5], [1.0, 2.5]),
    (b"\x01\x02", [1.0, 2.0]),
    (bytearray(b"\x03"), [3.0]),
    (range(3), [0.0, 1.0, 2.0]),
    ([Floaty(0.5), Indexy()], [0.5, 3.0]),
    ([True, False], [1.0, 0.0]),
    (array.array("f", [0.3, -2.0]), [f32(0.3), -2.0]),
    (array.array("d", [0.3, 1e300]), [f32(0.3), float("inf")]),
    (array.array("i", [1, -7]), [1.0, -7.0]),
    (np.array([0.3, 2], dtype=np.float32), [f32(0.3), 2.0]),
    (np.array([0.3, 2], dtype=np.float64), [f32(0.3), 2.0]),
    (np.array([1, 2], dtype=np.int64), [1.0, 2.0]),
    (memoryview(array.array("f", [1.5])), [1.5]),
    (np.arange(6, dtype=np.float32)[::2], [0.0, 2.0, 4.0]),
])
def test_hypervector_inputs(value, expected):
    ones = [1.0] * 8
    assert m.hdc_bind(value, ones) == expected


def test_values_are_32_bit_and_widened_exactly():
    assert m.hdc_bind([0.3], [1.0]) == [0.30000001192092896]
    assert m.hdc_bind([1e40], [1.0]) == [float("inf")]
    assert m.hdc_bind([1e-46], [1.0]) == [0.0]
    out = m.hdc_bind([-0.0], [1.0])
    assert str(out[0]) == "-0.0"
    assert m.hebbian([0.0], [1.0], [1.0], 1, 1) == [1.0]  # an int lr is accepted


def test_inputs_are_never_modified():
    a, b = [0.3, -1.0, 2.0], (1.0, 1.0, 1.0)
    w = [0.0] * 9
    snapshot = (list(a), tuple(b), list(w))
    m.hdc_bind(a, b); m.hdc_bundle(a, b); m.hdc_permute(a, 1); m.normalise_bipolar(a)
    m.hebbian(w, a, a, 0.5, 3)
    assert (a, b, w) == snapshot


class LyingList(list):
    def __len__(self):
        return 1000


def test_length_is_only_a_hint_and_mutation_during_conversion_is_seen():
    assert m.hdc_bind(LyingList([1.0, 2.0]), [1.0] * 5) == [1.0, 2.0]
    data = [1.0, 0.0, 5.0, 6.0]

    class Shrinker:
        def __float__(self):
            del data[2:]
            return 2.0
    data[1] = Shrinker()
    assert m.hdc_bind(data, [1.0] * 4) == [1.0, 2.0]


def bits(xs):
    return [struct.pack("<d", x) for x in xs]


@settings(max_examples=150, deadline=None)
@given(st.lists(st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True), max_size=40),
       st.sampled_from(["f4", "f8", "array_f", "array_d", "tuple", "generic"]))
def test_buffer_and_sequence_paths_agree_bit_for_bit(values, kind):
    with np.errstate(over="ignore"):
        wrapped = {
            "f4": lambda: np.array(values, dtype=np.float64).astype(np.float32),
            "f8": lambda: np.array(values, dtype=np.float64),
            "array_f": lambda: array.array("f", np.array(values, dtype=np.float64).astype(np.float32).tolist()),
            "array_d": lambda: array.array("d", values),
            "tuple": lambda: tuple(values),
            "generic": lambda: LyingList(values),
        }[kind]()
    ones = [1.0] * len(values)
    # The same elements handed over one by one as Python floats:
    reference = m.hdc_bind([float(x) for x in wrapped], ones)
    assert bits(m.hdc_bind(wrapped, ones)) == bits(reference)


def panic_type():
    try:
        threading_result = []

        def run():
            try:
                opt.get("x")
            except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
                threading_result.append(e)
        opt = m.PyOptimizer()
        t = threading.Thread(target=run)
        t.start()
        t.join()
        return threading_result[0]
    finally:
        pass


def test_thread_bound_instance_used_from_another_thread():
    err = panic_type()
    cls = type(err)
    assert cls.__name__ == "PanicException"
    assert f"{cls.__module__}.{cls.__qualname__}" == "pyo3_runtime.PanicException"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert "derived from BaseException" in cls.__doc__
    assert str(err) == "morvelan_hdc::py_api::PyOptimizer is unsendable, but sent to another thread"
    assert err.args == (str(err),)


def test_instance_released_on_another_thread_reports_unraisable(monkeypatch):
    import sys
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))
    box = [m.PyOptimizer()]
    t = threading.Thread(target=box.clear)
    t.start()
    t.join()
    assert len(seen) == 1 and type(seen[0]) is RuntimeError
    assert str(seen[0]) == "morvelan_hdc::py_api::PyOptimizer is unsendable, but is being dropped on another thread"


def test_reentrant_calls_hit_the_borrow_flag():
    opt = m.PyOptimizer()

    class ReadsBack:
        def __float__(self):
            opt.get("momentum")  # shared borrow while apply holds it exclusively
            return 0.1

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        opt.apply("momentum_increase", ReadsBack(), "r")
    assert opt.get("momentum") == 0.5  # nothing applied, flag released

    class Writes:
        def __float__(self):
            opt.rollback()
            return 0.1

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        opt.apply("momentum_increase", Writes(), "r")
    opt.apply("momentum_increase", 0.25, "r")
    assert opt.get("momentum") == 0.75


def test_unbound_method_on_the_wrong_object():
    with pytest.raises(TypeError):
        m.PyOptimizer.get(object(), "x")
