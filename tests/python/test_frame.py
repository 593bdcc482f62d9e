# The module's table of contents and its argument frame, driven by the one table of entry points:
# names, signatures, docs, argument matching, conversions and the hypervector input paths.
import array, hashlib, importlib, inspect, os, pickle, subprocess, sys  # noqa: E401

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
from entry_points import ALL, CLASSES, DIM, good_args, ids, twin_outcome
from support import bits, canon

CALLABLE = [e for e in ALL if e.kind in ("function", "ctor", "method", "noargs")]
SLOTS = [(e, i) for e in ALL if e.kind not in ("getter", "noargs") for i in range(len(e.params))]


def with_arg(e, i, value):
    return twin_outcome(e, good_args(e)[:i] + [value] + good_args(e)[i + 1:])


def member(e):
    return getattr(m, e.owner or e.name) if e.kind in ("function", "ctor") else getattr(getattr(m, e.owner), e.name)


def test_module_facts():
    assert m.__all__ == [e.name for e in ALL if e.kind == "function"] + CLASSES
    assert set(vars(m)) == {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__all__",
                            *m.__all__}
    first = sys.modules.pop("morvelan_hdc")
    again, sys.modules["morvelan_hdc"] = importlib.import_module("morvelan_hdc"), first
    assert again is first
    for c, cls in ((c, getattr(m, c)) for c in CLASSES):   # methods before properties, each in table order
        assert (cls.__module__, cls.__name__, cls.__flags__ & (1 << 10)) == ("builtins", c, 0)  # no subclasses
        assert [k for k in vars(cls) if k[:2] != "__"] == [e.name for e in ALL if e.owner == c and e.kind
                                                           not in ("ctor", "setter")]
    assert hashlib.sha256(repr([m.__doc__] + [member(e).__doc__ for e in ALL]).encode()).hexdigest() == \
        "6b7a8898e7900ac7240c7e1da7aa406ed8080e68c2faab440001849c6018b35f"


@pytest.mark.parametrize("e", CALLABLE, ids=ids)
def test_signatures_and_argument_matching(e):
    params = inspect.signature(member(e)).parameters
    assert list(params) == ["self"] * (e.kind in ("method", "noargs")) + e.names
    assert [params[n].default for n, k in e.params if k.endswith("?")] == [None] * (len(e.params) - e.required)
    args, n, req = good_args(e), len(e.params), e.required
    many = f"takes {n if req == n else f'from {req} to {n}'} positional arguments but {n + 1} w{'ere' if n else 'as'} given"
    cases = [([1], {}, "takes no arguments (1 given)")] if e.kind == "noargs" else [
        (args + [0], {}, many), (args + [0], {"bogus": 1}, many),   # too many is reported first
        (args, {"bogus": 1}, "got an unexpected keyword argument 'bogus'"),
        (args, {"a\ud800": 1}, "got an unexpected keyword argument 'a\ud800'")]
    for given_ in ([], e.names[:1]):                            # none, or the first by keyword
        if (gone := [f"'{x}'" for x in e.names[:req] if x not in given_]) and e.kind != "noargs":
            listed = " and ".join(gone) if len(gone) < 3 else ", ".join(gone[:-1]) + ", and " + gone[-1]
            cases.append(([], {x: args[0] for x in given_},
                          f"missing {len(gone)} required positional argument{'s' * (len(gone) > 1)}: {listed}"))
    cases += [(args, {x: args[0]}, f"got multiple values for argument '{x}'") for x in e.names[:1]]
    for pos, kw, message in cases:
        assert twin_outcome(e, pos, kw)[0] == (TypeError, f"{e.full}() {message}")
    by_name = twin_outcome(e, [], dict(zip(e.names, args)))
    assert by_name == twin_outcome(e, args) or e.name == "rand_bipolar" and by_name[0][0] == "ok"
    if opt := [i for i, (_, k) in enumerate(e.params) if k.endswith("?")]:   # None leaves an optional out
        assert twin_outcome(e, args[:opt[0]] + [None] * len(opt)) == twin_outcome(e, args[:opt[0]])


raises = lambda exc: type("Raises", (), {"__float__": lambda s: (_ for _ in ()).throw(exc)})()  # noqa: E731


GEN, HEAD, SUB = m.PyHoloGenEngine(4), m.PyQuantumAttentionHead(2, 1), type("SubTypeError", (TypeError,), {})
CAUSED = TypeError("caused")
CAUSED.__cause__ = ROOT = KeyError("root")


@pytest.mark.parametrize("call,exc,message", [
    (lambda: m.hdc_bind({1.0}, [1]), TypeError, "argument 'a': 'set' object cannot be converted to 'Sequence'"),
    # A user's own exception passes unchanged; a TypeError gets the prefix, once, with its cause.
    (lambda: m.resonance([raises(OverflowError("o"))], [1.0]), OverflowError, "o"),
    (lambda: m.resonance([raises(SUB("kept"))], [1.0]), SUB, "kept"),
    (lambda: m.resonance([1.0], [raises(TypeError("t\0\ud800"))]), TypeError, "argument 'b': t\0\ud800"),
    (lambda: m.resonance([raises(TypeError("argument 'x': y"))], [1.0]), TypeError, "argument 'a': argument 'x': y"),
    (lambda: m.resonance([raises(CAUSED)], [1.0]), TypeError, "argument 'a': caused"),
    (lambda: GEN.generate_material_mapping([1, 2], [1, 2, 3], 1), ValueError, "expected a sequence of length 3 (got 2)"),
    (lambda: HEAD.compute([1.0, 1.0], "ab", [[1.0, 1.0]]), TypeError, "argument 'keys': Can't extract `str` to `Vec`"),
    (lambda: m.PyHoloSwarm(2).__delattr__("swarm_vector"), AttributeError, "can't delete attribute"),
    (lambda: m.PyOptimizer.get(object(), "x"), TypeError, "descriptor 'get' for 'builtins.PyOptimizer' objects doesn't "
     "apply to a 'object' object"),
])
def test_conversion_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert (type(info.value), str(info.value), info.value.__cause__) == (exc, message, ROOT if "caused" in message
                                                                         else None)


Idx = lambda v: type("Idx", (), {"__index__": lambda s: v})()  # noqa: E731


SEQ, OVER = "object cannot be converted to 'Sequence'", "out of range integral type conversion attempted"
WRONG = {"hv": [(1, f"'int' {SEQ}"), ([None], "must be real number, not NoneType"),
                (np.zeros((), np.float32), "iteration over a 0-d array")], "fixed3": [(5, f"'int' {SEQ}")],
         "hvs": [([[1.0], 3], f"'int' {SEQ}")], "f32": [("x", "must be real number, not str")],
         "str": [(b"x", "'bytes' object cannot be converted to 'PyString'")],
         **dict.fromkeys(("u64", "u32", "i32", "dim"), [(1.0, "'float' object cannot be interpreted as an integer")])}
RANGES = {"u64": (2 ** 64, [(-1, "can't convert negative int to unsigned"), (2 ** 64, "int too big to convert")]),
          "u32": (2 ** 32, [(-1, OVER), (2 ** 32, OVER), (2 ** 80, OVER), (Idx(2 ** 32), OVER)]),
          "i32": (2 ** 31, [(-2 ** 31 - 1, OVER), (2 ** 31, OVER), (Idx(2 ** 31), OVER), (-2 ** 70, OVER)])}


@pytest.mark.parametrize("e,i", SLOTS, ids=ids)
def test_each_parameter_converts_by_its_kind_and_names_itself_in_errors(e, i):
    kind, good = e.kinds[i], good_args(e)[i]
    for value, message in WRONG.get(kind, []):
        assert with_arg(e, i, value)[0] == (TypeError, f"argument '{e.names[i]}': {message}")
    if kind == "f32":   # the float protocol, __index__ too
        assert with_arg(e, i, Idx(2)) == with_arg(e, i, np.int64(2)) == with_arg(e, i, 2.0)
        assert with_arg(e, i, type("F", (), {"__float__": lambda s: 0.3})()) == with_arg(e, i, 0.3)
    elif kind in RANGES:   # integers: __index__, and the range of their C type, whatever the value's size
        assert with_arg(e, i, Idx(good)) == with_arg(e, i, np.int64(good)) == with_arg(e, i, good)
        assert [with_arg(e, i, v)[0] for v, _ in RANGES[kind][1]] == [(OverflowError, t) for _, t in RANGES[kind][1]]
        assert with_arg(e, i, RANGES[kind][0] - 1)[0][0] is not OverflowError


def Seq(items, claimed=None, hook=lambda: None, at="__getitem__"):  # noqa: N802 - neither list nor tuple
    run = {at: hook}   # the hook runs in __len__ (which the module only takes as a hint) or __getitem__
    return type("Seq", (), {"__len__": lambda s: run.get("__len__", int)() or (len(items) if claimed is None else claimed),
                            "__getitem__": lambda s, i: run.get("__getitem__", int)() or items[i]})()


WORDS = [0x7FA00005, 0xFF800001, 0x80000000, 0x7F800000, 0xFF800000, 0x00000001, 0x807FFFFF, 0x7FC12345, 0x3F800000]


@pytest.mark.parametrize("e,i", [(e, i) for e, i in SLOTS if e.kinds[i] in ("hv", "hvs")], ids=ids)
@settings(max_examples=5, deadline=None)
@given(w=st.lists(st.one_of(st.sampled_from(WORDS), st.integers(0, 2 ** 32 - 1)), min_size=1, max_size=12),
       n=st.integers(1, 3))
@np.errstate(all="ignore")
def test_hypervector_buffers_match_the_list_path_bit_for_bit(e, i, w, n):
    # Buffers of every layout against their items as Python floats (a float32 signalling NaN quieted the
    # same way), float64 ones rounded to 32 bits, 2-D arrays where a list of hypervectors is expected.
    a32 = np.resize(np.array(w, dtype=np.uint32), (n, DIM)).view(np.float32)
    a64 = a32.astype(np.float64)
    a64.view(np.uint64)[0, 0] ^= 1   # a double that rounds, not only a widened float
    a32, a64 = (a32[0], a64[0]) if e.kinds[i] == "hv" else (a32, a64)
    keep = (a32.tobytes(), a64.tobytes())
    forms = [a32, a64, a32.astype(">f4"), a32.astype(np.float16), a32.view(np.int32), np.repeat(a32, 2, -1)[..., ::2],
             np.asfortranarray(a32)] + [memoryview(a32), array.array("f", a32.tobytes()), array.array("d", a64.tobytes()),
                                        np.frombuffer(b"\0" + a32.tobytes(), np.float32, offset=1)] * (a32.ndim == 1)
    for form in forms:
        assert with_arg(e, i, form) == with_arg(e, i, np.asarray(form).tolist())
    assert with_arg(e, i, Seq(list(a64), claimed=2 ** 40)) == with_arg(e, i, a64.tolist())
    if a32.ndim == 2:   # only numpy's own 2-D arrays are read whole; others are iterated, as a 2-D memoryview refuses
        assert with_arg(e, i, memoryview(a32))[0] == (NotImplementedError, "multi-dimensional sub-views are not implemented")
    assert (a32.tobytes(), a64.tobytes()) == keep   # inputs are never modified


@pytest.mark.parametrize("e,i,j", [(e, i, j) for e, i in SLOTS if e.kinds[i] == "hv" for j in range(i + 1, len(
    e.params)) if e.kinds[j] in ("hv", "hvs", "f32", "u64", "u32", "i32")], ids=ids)
@pytest.mark.parametrize("at", ["__len__", "__getitem__"])
def test_a_later_argument_that_writes_into_an_earlier_buffer_changes_nothing(e, i, j, at):
    args = good_args(e)
    spoilt, buf, good = list(args), np.array(args[i], dtype=np.float32), args[j]
    spoilt[i], spoil = buf, lambda: buf.fill(7.0)
    spoilt[j] = Seq(good, hook=spoil, at=at) if e.kinds[j] == "hv" else [Seq(good[0], hook=spoil, at=at)] + good[1:] \
        if e.kinds[j] == "hvs" else type("Spoil", (), {"__float__": lambda s: spoil() or float(good),
                                                       "__index__": lambda s: spoil() or int(good)})()
    assert twin_outcome(e, spoilt) == twin_outcome(e, args) and buf[0] == 7.0


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_a_float_buffer_is_read_through_its_buffer_not_its_items(dtype):
    liar = type("Liar", (np.ndarray,), {"__getitem__": lambda s, i: 9.0, "__iter__": lambda s: iter([9.0] * len(s))})
    v, swarm = np.array([1.0, -2.0, 0.5], dtype).view(liar), m.PyHoloSwarm(3)
    swarm.swarm_vector = v   # a copying conversion, beside the algebra's in-place one
    assert m.hdc_bind(v, [1.0] * 3) == swarm.swarm_vector == [1.0, -2.0, 0.5]


def test_mutation_of_a_list_during_its_conversion_is_seen():
    data = [1.0, 0.0, 5.0, 6.0]
    data[1] = type("Shrinker", (), {"__float__": lambda s: (data.__delitem__(slice(2, None)), 2.0)[1]})()
    assert m.hdc_bind(data, [1.0] * 4) == [1.0, 2.0]


def test_shared_result_floats_keep_bit_patterns_apart_with_exact_reference_counts():
    src = np.array([[1.0, -1.0, 0.0, -0.0, 2.0, -2.0, 4.0, -4.0][i % 8] for i in range(2000)] + [0.5, np.nan] * 3,
                   dtype=np.float32)
    out, by_id = m.hdc_bind(src, [1.0] * len(src)), {}
    [by_id.setdefault(id(x), []).append(x) for x in out]
    assert bits(out) == bits(src) and all(len(set(bits(v))) == 1 for v in by_id.values()) and len(by_id) <= 8 * 4 + 6
    refs = [sys.getrefcount(v[0]) - 2 * len(v) for v in by_id.values()]   # the result's slots, by_id's, the call's
    assert refs == [1] * len(by_id)
    m.hdc_bind(src, [1.0] * len(src))[0] = 5.0
    assert out[0] == 1.0   # separate calls give independent results


TWIN = """
import pickle, sys, numpy as np, morvelan_hdc as m
rng, pool, engine, out = np.random.default_rng(5), [0, -0.0, 1, -1, 2, -2, 4, -4, 0.5, 3, np.nan, -np.inf, 1e-45], m.PyHoloGenEngine(64), []
for n in (0, 1, 7, 511, 512, 513, 3000):
    v = np.where(rng.random(n) < 0.9, rng.choice(pool, n), rng.standard_normal(n)).astype(np.float32)
    v.view(np.uint32)[rng.random(n) < 0.05] ^= 0x00400001   # NaN payloads, and values beside the shared ones
    b = rng.integers(-128, 128, 64).tolist()
    out += [m.hdc_permute(v, 3), m.hv_hash_string("twin", n), m.encode_system_state(n, 42.0, 17.5, 3, 950),
            engine.simulate_counterfactual(b, b[::-1])]
sys.stdout.buffer.write(pickle.dumps((out, len({id(x) for x in out[-3]}))))   # objects in the hash of D=3,000
"""


def test_the_plain_boxing_twin_gives_the_same_results_bit_for_bit():
    # MHDC_PLAIN_BOXING=1 makes a child box a fresh object per element; the shared-object boxing must not differ.
    runs = [subprocess.run([sys.executable, "-c", TWIN], env={**os.environ, "MHDC_PLAIN_BOXING": plain},
                           capture_output=True, check=True).stdout for plain in ("0", "1")]
    (shared, shared_objects), (plain, plain_objects) = map(pickle.loads, runs)
    assert canon(plain) == canon(shared) and len(plain) == 28 and (shared_objects, plain_objects) == (8, 3000)

