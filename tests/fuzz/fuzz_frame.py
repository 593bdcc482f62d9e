"""Coverage-guided fuzzing of the argument frame (run by `make fuzz`, through tools/fuzz.sh).

Each input picks an entry point and decodes its arguments from the fuzzer's bytes: ints of any
size, every kind of float, strings with lone surrogates, bytes, buffers, nested and ragged lists,
None and the hostile objects of tests/python/_reliability.py. The property is the one the
hypothesis suite checks (check_one): a value of the declared kind or an Exception, never a
SystemError or an undocumented PanicException, and a failed call leaves the instance unchanged.
Under the sanitizer build every call is also checked for memory errors."""
import array
import math
import os
import sys

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))

with atheris.instrument_imports():
    import _reliability as R

import morvelan_hdc  # noqa: E402,F401  (native; not instrumented)
import numpy as np  # noqa: E402

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
        return [R.RaisingFloat(), R.RaisingIndex(), R.WrongFloat(), R.WrongIndex()][fdp.ConsumeIntInRange(0, 3)]
    if t == 10:
        return R.IndexOnly(fdp.ConsumeIntInRange(-2, 2**40))
    if t == 11:
        return R.callback(["read", "write"][fdp.ConsumeIntInRange(0, 1)], fdp.ConsumeBool(), fdp.ConsumeIntInRange(0, 2))
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
        claimed = [0, 1, 2**40, 2**62, -1, R.Boom("len")][fdp.ConsumeIntInRange(0, 5)]
        return R.LyingSeq([value(fdp, depth + 1) for _ in range(min(n, 4))], claimed)
    if t == 8:
        return R.MidwayRaise(n, fdp.ConsumeIntInRange(0, 10))
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
        return R.Late(lambda target, w, n=n: R.shrinking_list(n + 2, 1), "shrinking")
    return [[value(fdp, depth + 2) for _ in range(fdp.ConsumeIntInRange(0, 3))] for _ in range(n % 4)]


def argument(fdp, entry, kind):
    kind = kind.rstrip("?")
    if kind == "dim":
        # Sizes in between would really be allocated and filled.
        return SAFE_DIMS[fdp.ConsumeIntInRange(0, len(SAFE_DIMS) - 1)]
    if fdp.ConsumeIntInRange(0, 2) == 0:
        d = R.engine_dim(entry.owner) if entry.owner else R.DIM
        return R.good_value(kind, d, fdp.ConsumeIntInRange(0, 3))
    return value(fdp)


def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    entry = R.ALL[fdp.ConsumeIntInRange(0, len(R.ALL) - 1)]
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
    R.check_one(entry, args, kwargs)


def main():
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
