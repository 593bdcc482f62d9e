"""Coverage-guided fuzzing of the argument frame (run by `make fuzz`, through tools/fuzz.sh).

Each input picks an entry point and decodes its arguments from the fuzzer's bytes: ints of any
size, every kind of float, strings with lone surrogates, bytes, buffers, nested and ragged lists,
None and the hostile objects below. The property is the one the hypothesis suite checks for
fewer objects: a value of the declared kind or an Exception, never a
SystemError or an undocumented PanicException, and a failed call leaves the instance unchanged.
Under the sanitizer build every call is also checked for memory errors."""
import array
import math
import os
import sys
from typing import Any, Callable

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

with atheris.instrument_imports():
    from entry_points import ALL, DIM, GOOD, invoke, make, snapshot
    from support import is_panic

import morvelan_hdc as m  # noqa: E402  (native; not instrumented)
import numpy as np  # noqa: E402

# ---- result kinds ---------------------------------------------------------------------------------

def _floats(v):
    return isinstance(v, list) and all(type(x) is float for x in v)


def _ints(v):
    return isinstance(v, list) and all(type(x) is int for x in v)


RESULTS: dict[str, Callable[[Any], bool]] = {
    "none": lambda v: v is None,
    "int": lambda v: type(v) is int and v >= 0,
    "float": lambda v: type(v) is float,
    "bool": lambda v: type(v) is bool,
    "hv": _floats,
    "opt_hv": lambda v: v is None or _floats(v),
    "hvs": lambda v: isinstance(v, list) and all(_floats(x) for x in v),
    "bytes": lambda v: _ints(v) and all(x in (-1, 1) for x in v),           # bipolar encodings
    "int8s": lambda v: _ints(v) and all(-128 <= x <= 127 for x in v),       # products of the caller's bytes
    "opt_float": lambda v: v is None or type(v) is float,
    "params": lambda v: type(v) is dict and all(type(k) is str and type(x) is float for k, x in v.items()),
    "reason": lambda v: isinstance(v, list) and all(
        type(t) is tuple and len(t) == 2 and type(t[0]) is int and type(t[1]) is float for t in v),
    "audit": lambda v: type(v) is tuple and len(v) == 3 and type(v[0]) is float and type(v[1]) is bool
    and isinstance(v[2], list) and all(type(s) is str for s in v[2]),
    "recs": lambda v: isinstance(v, list) and all(
        type(t) is tuple and len(t) == 3 and type(t[0]) is str and type(t[1]) is float and type(t[2]) is str
        for t in v),
    "query": lambda v: type(v) is tuple and len(v) == 2 and type(v[0]) is str and type(v[1]) is float,
    "resonate": lambda v: type(v) is tuple and len(v) == 4 and all(type(s) is str for s in v[:3])
    and type(v[3]) is float,
    "ranked": lambda v: isinstance(v, list) and all(
        type(t) is tuple and len(t) == 2 and type(t[0]) is str and type(t[1]) is float for t in v),
}


# ---- hostile objects ------------------------------------------------------------------------------

class Boom(Exception):
    """Raised by hostile objects; must come out of the call unchanged."""


class RaisingFloat:
    def __float__(self):
        raise Boom("float")

    def __repr__(self):
        return "RaisingFloat()"


class RaisingIndex:
    def __index__(self):
        raise Boom("index")

    def __repr__(self):
        return "RaisingIndex()"


class WrongFloat:
    def __float__(self):
        return "1.0"

    def __repr__(self):
        return "WrongFloat()"


class WrongIndex:
    def __index__(self):
        return 1.5

    def __repr__(self):
        return "WrongIndex()"


class IndexOnly:
    """No __float__: float conversion goes through __index__."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __repr__(self):
        return f"IndexOnly({self.v})"


class Callback:
    """__float__ and __index__ run `fn` (which may call back into an instance), then return `value`."""

    def __init__(self, fn, value=1):
        self.fn, self.value = fn, value

    def __float__(self):
        self.fn()
        return float(self.value)

    def __index__(self):
        self.fn()
        return int(self.value)

    def __repr__(self):
        return f"Callback({getattr(self.fn, '__name__', 'fn')})"


class LyingSeq:
    """A sequence whose __len__ says `claimed` while __getitem__ yields `items` (then IndexError)."""

    def __init__(self, items, claimed):
        self.items, self.claimed = list(items), claimed

    def __len__(self):
        if isinstance(self.claimed, BaseException):  # a fresh one each time: a re-raised one grows its traceback
            raise type(self.claimed)(*self.claimed.args)
        return self.claimed

    def __getitem__(self, i):
        if i >= len(self.items) or i < -len(self.items):
            raise IndexError(i)
        return self.items[i]

    def __repr__(self):
        return f"LyingSeq({self.items!r}, claimed={self.claimed!r})"


class MidwayRaise:
    """A sequence of `n` items whose __getitem__ raises at index `at`."""

    def __init__(self, n, at, exc=None):
        self.n, self.at, self.exc = n, at, exc

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if i >= self.n:
            raise IndexError(i)
        if i == self.at:
            raise type(self.exc)(*self.exc.args) if self.exc is not None else Boom(f"item {i}")
        return 1.0

    def __repr__(self):
        return f"MidwayRaise({self.n}, {self.at})"


class ShrinkingItem:
    """An item whose __float__ empties the list it sits in (the list conversion must cope)."""

    def __init__(self, owner: list):
        self.owner = owner

    def __float__(self):
        self.owner.clear()
        return 1.0

    def __repr__(self):
        return "ShrinkingItem()"


def shrinking_list(n=6, at=1):
    lst = [1.0] * n
    lst[at] = ShrinkingItem(lst)
    return lst


class GrowingItem:
    """An item whose __float__ appends to the list it sits in."""

    def __init__(self, owner: list):
        self.owner = owner

    def __float__(self):
        self.owner.extend([2.0] * 3)
        return 1.0

    def __repr__(self):
        return "GrowingItem()"


def growing_list(n=4):
    lst = [1.0] * n
    lst[0] = GrowingItem(lst)
    return lst


def buffer_values():
    return [array.array("f", [1.0, -1.0, 0.5]), array.array("d", [1.0, -1.0]), array.array("b", [1, -1]),
            memoryview(array.array("f", [1.0, 2.0, 3.0, 4.0]))[::2], b"\x01\x02", bytearray(b"\x03")]


# ---- hostile objects that need the instance under test (fuzzing) --------------------------------

# Internal failures the module documents (raised as PanicException, or mended to ValueError).
KNOWN_INTERNAL = ("assertion failed: !keys.is_empty() && keys.len() == values.len()",
                  "assertion `left == right` failed", "attempt to divide by zero")


# ---- values that need the instance under test ------------------------------------------------

class Late:
    """A value built at call time from the instance under test (hostile callbacks need it)."""

    def __init__(self, build, label):
        self.build, self.label = build, label

    def __repr__(self):
        return self.label


def realize(v, target, writes_ok=True):
    if isinstance(v, Late):
        return v.build(target, writes_ok)
    if type(v) is list:
        return [realize(x, target, writes_ok) for x in v]
    if type(v) is tuple:
        return tuple(realize(x, target, writes_ok) for x in v)
    return v


READERS = {
    "PyCausalMemory": lambda o: o.query_cause([1.0] * DIM),
    "PyMultiHopReasoner": lambda o: o.reason([1.0] * DIM, 2),
    "PyMetacognition": lambda o: o.recommend(),
    "PySelfAudit": lambda o: o.check_consistency([1.0], [-1.0]),
    "PyOptimizer": lambda o: o.get("momentum"),
    "PyQuantumAttentionHead": lambda o: o.compute([1.0], [[1.0]], [[2.0]]),
    "PyHoloCPUScheduler": lambda o: o.export_holographic_state(),
    "PyHoloGenEngine": lambda o: o.generate_photon("blue"),
    "PyHoloSwarm": lambda o: o.materialize([1.0] * DIM, 0.0),
    "PyHKVC": lambda o: o.query("k0"),
}
WRITERS = {
    "PyCausalMemory": lambda o: o.store([1.0] * DIM, [-1.0] * DIM, [1.0] * DIM),
    "PyMultiHopReasoner": lambda o: o.add_fact([-1.0] * DIM),
    "PyMetacognition": lambda o: o.record(0.5, 0.5, 0.5, [1.0] * DIM, 3),
    "PySelfAudit": lambda o: o.full_audit([1.0] * DIM),
    "PyOptimizer": lambda o: o.apply("momentum_increase", 0.5, "x"),
    "PyQuantumAttentionHead": lambda o: o.compute([1.0], [[1.0]], [[2.0]]),
    "PyHoloCPUScheduler": lambda o: o.store_memory("omega"),
    "PyHoloSwarm": lambda o: o.add_agent("rx", [1.0] * DIM, "px", [1.0] * DIM, "sx", [1.0] * DIM),
    "PyHKVC": lambda o: o.store("kx", "vx", 5),
}


def callback(action: str, swallow: bool, value):
    """A number-like object whose conversion calls back into the instance under test."""
    def build(target, writes_ok):
        if target is None:
            return Callback(lambda: None, value)
        table = WRITERS if action == "write" and writes_ok else READERS
        fn = table.get(type(target).__name__, READERS[type(target).__name__])

        def run():
            try:
                fn(target)
            except RuntimeError as e:
                if not swallow or str(e) not in ("Already borrowed", "Already mutably borrowed"):
                    raise
        run.__name__ = action
        return Callback(run, value)
    return Late(build, f"callback({action}, swallow={swallow}, {value!r})")


class BadStr:
    def __str__(self):
        raise Boom("str")

    def __repr__(self):
        return "BadStr()"


class WeirdStr:
    def __str__(self):
        return "\ud800 weird"

    def __repr__(self):
        return "WeirdStr()"


# ---- the property every call must have (fuzzing) ------------------------------------------------

def check_one(entry, args, kwargs):
    """One call with the given arguments (Late values built against a fresh instance with a
    history). It returns a value of the entry's result kind, or raises an Exception that is not
    a SystemError and leaves the instance as its untouched twin, or raises a documented internal
    failure. The only unraisable report allowed is that of an object whose str() fails (the text
    fallback of simulate_counterfactual)."""
    cls_name = entry.owner
    target = make(cls_name) if cls_name and entry.kind != "ctor" else None
    twin = make(cls_name) if target is not None else None
    # A setter converts its value before it borrows the instance: a callback that changes the
    # instance then really does, so those only read.
    writes_ok = entry.kind != "setter"
    real_args = realize(args, target, writes_ok)
    real_kwargs = {k: realize(v, target, writes_ok) for k, v in kwargs.items()}
    unraisable = []
    old_hook, sys.unraisablehook = sys.unraisablehook, lambda u: unraisable.append((u.exc_type, u.object))
    try:
        try:
            result = invoke(entry, target, real_args, real_kwargs)
        finally:
            sys.unraisablehook = old_hook
    except Exception as e:
        assert not isinstance(e, SystemError), f"{entry.full}: {type(e).__name__}: {e}"
        if target is not None:
            after, expected = snapshot(cls_name, target), snapshot(cls_name, twin)
            assert after == expected, f"{entry.full} failed ({type(e).__name__}: {e}) but changed the instance"
        outcome = "error"
    except BaseException as e:
        if not (is_panic(e) and str(e).startswith(KNOWN_INTERNAL)):
            raise AssertionError(f"{entry.full} raised {type(e).__module__}.{type(e).__name__}: {e}") from e
        outcome = "internal"
    else:
        if entry.kind == "ctor":
            assert type(result) is getattr(m, cls_name)
        else:
            assert RESULTS[entry.result](result), f"{entry.full} returned {result!r}"
        outcome = "ok"
    unexpected = [u for u in unraisable if not (u[0] is Boom and isinstance(u[1], BadStr))]
    assert not unexpected, f"{entry.full}: unraisable reports {unexpected}"
    return outcome


SPECIAL_INTS = [0, 1, -1, 2**31 - 1, 2**31, -2**31 - 1, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64,
                -2**63 - 1, 2**200]
SPECIAL_FLOATS = [0.0, -0.0, math.nan, math.inf, -math.inf, 1e308, 5e-324, 3.4028235e38, 3.5e38, 1e-46]
SAFE_DIMS = [0, 1, 7, 8, 31, 32, 64, 2**40, 2**62, 2**64 - 1, 2**64, -1]


def scalar(fdp):
    t = fdp.ConsumeIntInRange(0, 15)
    if t == 0:
        return fdp.ConsumeIntInRange(-300, 300)
    if t == 1:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 12))
    if t == 2:
        return SPECIAL_INTS[fdp.ConsumeIntInRange(0, len(SPECIAL_INTS) - 1)]
    if t == 3:
        return fdp.ConsumeFloat()
    if t == 4:
        return SPECIAL_FLOATS[fdp.ConsumeIntInRange(0, len(SPECIAL_FLOATS) - 1)]
    if t == 5:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 6))
    if t == 6:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 6))
    if t == 7:
        return None
    if t == 8:
        return fdp.ConsumeBool()
    if t == 9:
        return [RaisingFloat(), RaisingIndex(), WrongFloat(), WrongIndex()][fdp.ConsumeIntInRange(0, 3)]
    if t == 10:
        return IndexOnly(fdp.ConsumeIntInRange(-2, 2**40))
    if t == 11:
        return callback(["read", "write"][fdp.ConsumeIntInRange(0, 1)], fdp.ConsumeBool(), fdp.ConsumeIntInRange(0, 2))
    if t == 12:
        return np.float32(fdp.ConsumeFloat())
    if t == 13:
        return fdp.ConsumeUnicode(1) + "\ud800"
    if t == 14:
        return ["red", " Blue ", "amber", "violet", "cyan"][fdp.ConsumeIntInRange(0, 4)]
    return 1.0 if fdp.ConsumeBool() else -1.0


def value(fdp, depth=0):
    if depth > 3:
        return scalar(fdp)
    t = fdp.ConsumeIntInRange(0, 11)
    n = fdp.ConsumeIntInRange(0, 10)
    if t <= 3:
        return scalar(fdp)
    if t == 4:
        return [value(fdp, depth + 1) for _ in range(n)]
    if t == 5:
        return tuple(value(fdp, depth + 1) for _ in range(n))
    if t == 6:
        return [1.0 if fdp.ConsumeBool() else -1.0 for _ in range(n)]
    if t == 7:
        claimed = [0, 1, 2**40, 2**62, -1, Boom("len")][fdp.ConsumeIntInRange(0, 5)]
        return LyingSeq([value(fdp, depth + 1) for _ in range(min(n, 4))], claimed)
    if t == 8:
        return MidwayRaise(n, fdp.ConsumeIntInRange(0, 10))
    if t == 9:
        kind = fdp.ConsumeIntInRange(0, 3)
        xs = [fdp.ConsumeFloat() for _ in range(n)]
        if kind == 0:
            return np.array(xs, dtype=np.float32)
        if kind == 1:
            return np.array(xs, dtype=np.float64)[::2]
        if kind == 2:
            return array.array("d", xs)
        return memoryview(array.array("f", xs))
    if t == 10:
        return Late(lambda target, w, n=n: shrinking_list(n + 2, 1), "shrinking")
    return [[value(fdp, depth + 2) for _ in range(fdp.ConsumeIntInRange(0, 3))] for _ in range(n % 4)]


def argument(fdp, entry, kind):
    kind = kind.rstrip("?")
    if kind == "dim":
        # Sizes in between would really be allocated and filled.
        return SAFE_DIMS[fdp.ConsumeIntInRange(0, len(SAFE_DIMS) - 1)]
    if fdp.ConsumeIntInRange(0, 2) == 0:
        d = 64 if entry.owner == "PyHoloGenEngine" else DIM   # photons need dim >= 32
        return GOOD[kind](d, fdp.ConsumeIntInRange(0, 3))
    return value(fdp)


def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    entry = ALL[fdp.ConsumeIntInRange(0, len(ALL) - 1)]
    args = [argument(fdp, entry, k) for k in entry.kinds]
    kwargs = {}
    shape = fdp.ConsumeIntInRange(0, 7)
    if shape == 0 and args:
        args = args[:fdp.ConsumeIntInRange(0, len(args) - 1)]
    elif shape == 1:
        args.append(value(fdp))
    elif shape == 2 and args:
        cut = fdp.ConsumeIntInRange(0, len(args))
        kwargs = dict(zip(entry.names[cut:], args[cut:]))
        args = args[:cut]
    elif shape == 3:
        kwargs[fdp.ConsumeUnicode(3) or "x"] = value(fdp)
    check_one(entry, args, kwargs)


def main():
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
