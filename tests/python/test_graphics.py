"""PyHoloGenEngine: encodings, colour names, argument rules, failures, determinism."""
import json
import subprocess
import sys
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvelan_hdc as m

Engine = m.PyHoloGenEngine
TAIL = "'. Use blue, red, green, yellow, white, cyan, amber, or violet."


def signs(s):
    return [1 if c == "+" else -1 for c in s]


def wrap(x):
    return ((x + 128) % 256) - 128


def bind(*vs):
    out = vs[0]
    for v in vs[1:]:
        out = [wrap(a * b) for a, b in zip(out, v)]
    return out


def axis_bin(x):
    c = np.float32(x)
    if c < np.float32(-10):
        c = np.float32(-10)
    if c > np.float32(10):
        c = np.float32(10)
    with np.errstate(invalid="ignore"):
        q = (c + np.float32(10)) / np.float32(20) * np.float32(32)
    return min(int(q), 31) if q > 0 else 0


def floats_hv(dim, v):
    s = sum(axis_bin(x) for x in v)
    return [1 if ((i % 3) + i // 32 + s) % 2 == 1 else -1 for i in range(dim)]


@pytest.fixture(scope="module")
def e64():
    return Engine(64)


# ---- registration -------------------------------------------------------------

SIGNATURES = [
    ("structural_dimension", "($self)"),
    ("generate_pixel_geometry", "($self, x, y, frame_id=None)"),
    ("generate_material_mapping", "($self, position, normal, material_id)"),
    ("generate_photon", "($self, position, direction=None, wavelength=None)"),
    ("encode_bvh_node", "($self, min_bounds, max_bounds, left, right)"),
    ("simulate_counterfactual", "($self, root_state, intervention)"),
]


@pytest.mark.parametrize("name,sig", SIGNATURES)
def test_method_signatures(name, sig):
    method = getattr(Engine, name)
    assert method.__text_signature__ == sig
    assert method.__doc__ is None


def test_class_record():
    assert Engine.__text_signature__ == "(dim)"
    assert Engine.__module__ == "builtins"
    assert [n for n in dir(Engine) if not n.startswith("_")] == sorted(n for n, _ in SIGNATURES)
    with pytest.raises(TypeError):
        type("Sub", (Engine,), {})


# ---- structure ---------------------------------------------------------------------


def test_dim_zero_gives_empty_lists():
    e = Engine(0)
    assert e.structural_dimension() == 0
    assert e.generate_pixel_geometry(3, 5) == []
    assert e.generate_material_mapping([1, 2, 3], [0, 1, 0], 4) == []
    assert e.generate_photon("red") == []
    assert e.generate_photon([0, 0, 0], [1, 0, 0], 480.0) == []
    assert e.encode_bvh_node([0, 0, 0], [1, 1, 1], [], []) == []
    assert e.simulate_counterfactual("a", "b") == []


def test_pixel_geometry_symmetry_and_frame_default():
    e = Engine(32)
    p = e.generate_pixel_geometry(3, 5)
    assert p == signs("--++--+-+--++--+-+++-++-+-+--++-")
    assert e.generate_pixel_geometry(5, 3) == p
    assert e.generate_pixel_geometry(3, 5, 0) == p
    assert e.generate_pixel_geometry(x=3, y=5, frame_id=None) == p
    assert e.generate_pixel_geometry(5, 3, 9) == signs("-+-++--+++----+-+-+--+--+---+---")
    # x == y leaves the frame vector; frames wider than 32 bits are seeded from 64 bits.
    assert e.generate_pixel_geometry(1, 1, 1 << 40)[:16] == signs("+--+---+--+-++--")
    assert all(v in (1, -1) for v in p)


def test_material_mapping_known_answer():
    e = Engine(32)
    assert e.generate_material_mapping((1, 2, 3), [0, 1, 0], 42) == signs("+++---++--++--+--+-++-+---+--+-+")


def float_hv_through_engine(e, v):
    # material(v, origin, 0) = F(v) * F(origin) * U(0) and pixel(0, 0, 0) = U(0).
    d = e.structural_dimension()
    return bind(e.generate_material_mapping(v, [0, 0, 0], 0), floats_hv(d, (0, 0, 0)),
                e.generate_pixel_geometry(0, 0, 0))


@pytest.mark.parametrize("v", [(0, 0, 0), (10, 0, 0), (-10, 0, 0), (float("nan"), 0, 0), (0.625, 0, 0),
                               (0.624, 0, 0), (float("inf"), -1e30, 3.3)])
def test_floats_encoding_structure(v):
    e = Engine(100)
    assert float_hv_through_engine(e, v) == floats_hv(100, v)


def test_origin_parity_pattern_and_negation():
    e = Engine(100)
    origin = float_hv_through_engine(e, (0, 0, 0))
    assert (origin[0], origin[1], origin[32]) == (-1, 1, 1)
    hi = float_hv_through_engine(e, (10, 0, 0))
    lo = float_hv_through_engine(e, (-10, 0, 0))
    assert hi == [-x for x in lo]
    assert float_hv_through_engine(e, (float("nan"), 0, 0)) == lo


finite_or_not = st.floats(width=32, allow_nan=True, allow_infinity=True)


@settings(max_examples=100, deadline=None)
@given(st.tuples(finite_or_not, finite_or_not, finite_or_not))
def test_floats_encoding_property(v):
    e = Engine(70)
    assert float_hv_through_engine(e, v) == floats_hv(70, v)


# ---- photons -------------------------------------------------------------------------

BLUE64 = signs("--++-----+-++++-------++-+---+-+-+++-+--++-++-+++----+-++-+----+")


def test_photon_known_answer_and_wavelengths(e64):
    assert e64.generate_photon([0, 0, 0], [1, 0, 0], 480.0) == BLUE64
    assert e64.generate_photon("blue") == BLUE64
    assert e64.generate_photon([0, 0, 0], [1, 0, 0], 650.0) != BLUE64
    assert e64.generate_photon([0, 0, 0], [1, 0, 0], 650.0) == e64.generate_photon("red")
    # The seed is the 32-bit pattern after rounding: -0.0 and +0.0 differ.
    assert e64.generate_photon([0, 0, 0], [1, 0, 0], -0.0) != e64.generate_photon([0, 0, 0], [1, 0, 0], 0.0)
    assert e64.generate_photon([0, 0, 0], [1, 0, 0], 480.00000001) == BLUE64


class Str(str):
    pass


@pytest.mark.parametrize("name,same_as", [
    ("  Blue \n", "blue"), ("BLUE", "blue"), ("\t\r\x0b\x0cred\x85", "red"), ("ORANGE", "amber"),
    ("orange", "amber"), ("Purple", "violet"), ("\u3000\u00a0green\u2028\u2029", "green"),
    ("\u1680\u2000\u200a\u202f\u205fYellow", "yellow"), (Str(" White"), "white"), ("cyan", "cyan"),
])
def test_colour_names(e64, name, same_as):
    assert e64.generate_photon(name) == e64.generate_photon(same_as)


def test_colour_table_is_distinct(e64):
    names = ["red", "amber", "yellow", "white", "green", "cyan", "blue", "violet"]
    assert len({tuple(e64.generate_photon(n)) for n in names}) == len(names)


@pytest.mark.parametrize("name,reported", [
    ("magenta", "magenta"), ("MAGENTA", "magenta"), ("  ", ""), ("", ""), ("R\u00c9D", "r\u00c9d"),
    ("\x1cred\x1f", "\x1cred\x1f"), ("\x1d\x1ered", "\x1d\x1ered"), ("\u200bblue", "\u200bblue"),
    ("light blue", "light blue"),
])
def test_unknown_colour(e64, name, reported):
    with pytest.raises(ValueError) as info:
        e64.generate_photon(name)
    assert str(info.value) == "unsupported photon color '" + reported + TAIL


def test_colour_path_ignores_direction_and_wavelength_after_converting_them(e64):
    assert e64.generate_photon("red", [5, 5, 5], 1.0) == e64.generate_photon("red")
    with pytest.raises(ValueError, match=r"^expected a sequence of length 3 \(got 2\)$"):
        e64.generate_photon("red", [1, 0])
    with pytest.raises(TypeError, match=r"^argument 'direction': 'int' object cannot be converted to 'Sequence'$"):
        e64.generate_photon("red", 5)
    with pytest.raises(TypeError, match=r"^argument 'wavelength': "):
        e64.generate_photon("red", None, "x")
    # direction before wavelength, both before the colour lookup
    with pytest.raises(TypeError, match=r"^argument 'direction': "):
        e64.generate_photon("mauve", 5, "x")
    with pytest.raises(TypeError, match=r"^argument 'wavelength': "):
        e64.generate_photon("mauve", wavelength="x")


def test_vector_path_errors(e64):
    with pytest.raises(ValueError, match=r"^expected a sequence of length 3 \(got 2\)$"):
        e64.generate_photon([0, 0], [1, 0, 0], 480.0)
    with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'Sequence'$"):
        e64.generate_photon(7, [1, 0, 0], 480.0)
    with pytest.raises(ValueError) as info:
        e64.generate_photon([0, 0, 0])
    assert str(info.value) == "direction is required when generate_photon() is called with a position vector"
    with pytest.raises(ValueError) as info:
        e64.generate_photon([0, 0, 0], [1, 0, 0], None)
    assert str(info.value) == "wavelength is required when generate_photon() is called with a position vector"
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'position'"):
        e64.generate_photon()


@pytest.mark.parametrize("dim", [1, 16, 31])
def test_photon_below_one_block_is_value_error(dim):
    e = Engine(dim)
    for call in (lambda: e.generate_photon("blue"), lambda: e.generate_photon([0, 0, 0], [1, 0, 0], 1.0)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "attempt to divide by zero"
    assert Engine(32).generate_photon("blue") != []


# ---- bounding-volume nodes -----------------------------------------------------------


def test_bvh_node_structure():
    e = Engine(32)
    ones = [1] * 32
    node = e.encode_bvh_node([-1, -1, -1], [1, 1, 1], ones, ones)
    assert node == signs("-+-+-++++----++++----+-+-+--+-+-")
    assert e.encode_bvh_node([1, 1, 1], [-1, -1, -1], tuple(ones), ones) == node
    assert e.encode_bvh_node([-1, -1, -1], [1, 1, 1], [2] * 32, [64] * 32) == [-128] * 32


@settings(max_examples=60, deadline=None)
@given(st.lists(st.integers(-128, 127), min_size=40, max_size=40),
       st.lists(st.integers(-128, 127), min_size=40, max_size=40))
def test_bvh_node_binds_caller_bytes(left, right):
    e = Engine(40)
    base = e.encode_bvh_node([0, 1, 2], [3, 4, 5], [1] * 40, [1] * 40)
    assert e.encode_bvh_node([0, 1, 2], [3, 4, 5], left, right) == bind(base, left, right)


def test_bvh_node_failures_leave_engine_unchanged():
    e = Engine(32)
    ok = [1] * 32
    before = [e.encode_bvh_node([0, 1, 2], [3, 4, 5], ok, ok), e.generate_photon("green")]
    with pytest.raises(ValueError) as info:
        e.encode_bvh_node([0, 0, 0], [1, 1, 1], [1] * 31, ok)
    assert str(info.value) == "assertion `left == right` failed\n  left: 31\n right: 32"
    with pytest.raises(ValueError) as info:
        e.encode_bvh_node([0, 0, 0], [1, 1, 1], ok, [1] * 33)
    assert str(info.value) == "assertion `left == right` failed\n  left: 33\n right: 32"
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        e.encode_bvh_node([0, 0, 0], [1, 1, 1], ok, [128] + ok[1:])
    with pytest.raises(TypeError, match=r"^argument 'left': Can't extract `str` to `Vec`$"):
        e.encode_bvh_node([0, 0, 0], [1, 1, 1], "ab", ok)
    with pytest.raises(TypeError, match=r"^argument 'min_bounds': "):
        e.encode_bvh_node([0, "a", 0], [1, 1, 1], ok, ok)
    assert [e.encode_bvh_node([0, 1, 2], [3, 4, 5], ok, ok), e.generate_photon("green")] == before
    assert before == [Engine(32).encode_bvh_node([0, 1, 2], [3, 4, 5], ok, ok), Engine(32).generate_photon("green")]


# ---- counterfactuals -----------------------------------------------------------------


@pytest.mark.parametrize("dim", [0, 5, 64])
def test_counterfactual_examples(dim):
    e = Engine(dim)
    assert e.simulate_counterfactual("rain", "rain") == [1] * dim
    assert e.simulate_counterfactual([1, -1], [1, 1]) == [1, -1]
    assert e.simulate_counterfactual((1, -1), b"\x01\x01") == [1, -1]
    assert e.simulate_counterfactual([127, -128, 0], [2, -1, 5]) == [-2, -128, 0]


@pytest.mark.parametrize("obj,text", [
    ([1, 2.5], "[1, 2.5]"), ([1, 200], "[1, 200]"), (7, "7"), (None, "None"), (1.5, "1.5"),
    ({"a": 1}, "{'a': 1}"), (b"\xff", "b'\\xff'"),
])
def test_counterfactual_text_fallback(obj, text):
    e = Engine(24)
    assert e.simulate_counterfactual(obj, text) == [1] * 24
    assert e.simulate_counterfactual(text, obj) == [1] * 24


def test_counterfactual_length_mismatch():
    e = Engine(8)
    with pytest.raises(ValueError) as info:
        e.simulate_counterfactual([1, 2, 3], "text")
    assert str(info.value) == "assertion `left == right` failed\n  left: 8\n right: 3"
    with pytest.raises(ValueError) as info:
        e.simulate_counterfactual("text", [1, 2, 3])
    assert str(info.value) == "assertion `left == right` failed\n  left: 3\n right: 8"
    with pytest.raises(ValueError) as info:
        e.simulate_counterfactual([1, 1, 1], [1])
    assert str(info.value) == "assertion `left == right` failed\n  left: 1\n right: 3"


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def test_counterfactual_unprintable_goes_to_unraisable_hook(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    e = Engine(16)
    obj = Unprintable()
    assert e.simulate_counterfactual(obj, "<unprintable Unprintable object>") == [1] * 16
    assert len(seen) == 1
    assert seen[0].object is obj
    assert isinstance(seen[0].exc_value, RuntimeError)
    assert str(seen[0].exc_value) == "no text"


def test_counterfactual_lone_surrogate_text():
    e = Engine(16)
    assert e.simulate_counterfactual("a\ud800", "a\ufffd") == [1] * 16


# ---- frame rules ------------------------------------------------------------------


def test_constructor_argument_errors():
    with pytest.raises(OverflowError):
        Engine(-1)
    with pytest.raises(TypeError, match=r"^argument 'dim': "):
        Engine(2.0)
    with pytest.raises(MemoryError):
        Engine(1 << 62)
    with pytest.raises(MemoryError):
        Engine((1 << 64) - 1)


def test_integer_ranges(e64):
    assert e64.generate_pixel_geometry(0xFFFFFFFF, 0, (1 << 64) - 1) != []
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        e64.generate_pixel_geometry(1 << 32, 0)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        e64.generate_material_mapping([0, 0, 0], [0, 0, 0], -1)
    with pytest.raises(OverflowError):
        e64.generate_pixel_geometry(0, 0, -1)


def test_reentrant_conversion_shares_the_borrow(e64):
    class Wavelength:
        def __float__(self):
            return float(len(e64.generate_photon("red")) * 0 + 480)

    assert e64.generate_photon([0, 0, 0], [1, 0, 0], Wavelength()) == BLUE64


def test_foreign_thread_is_rejected(e64):
    caught = []

    def worker():
        try:
            e64.structural_dimension()
        except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
            caught.append(exc)

    t = threading.Thread(target=worker)
    t.start()
    t.join()
    assert len(caught) == 1
    assert type(caught[0]).__name__ == "PanicException"
    assert "morvelan_hdc::py_api::PyHoloGenEngine is unsendable, but sent to another thread" in str(caught[0])
    assert e64.structural_dimension() == 64


# ---- determinism across processes ----------------------------------------------------

SNAPSHOT = """
import json, morvelan_hdc as m
e = m.PyHoloGenEngine(96)
result = [
    e.generate_pixel_geometry(3, 5, 11),
    e.generate_material_mapping([1.5, -2, 3], [0, 0, 1], 77),
    e.generate_photon("violet"),
    e.generate_photon([0.1, 0.2, 0.3], [0, 1, 0], float("nan")),
    e.encode_bvh_node([0, 0, 0], [1, 2, 3], [1] * 96, [-1] * 96),
    e.simulate_counterfactual("state", "intervention"),
]
"""


def test_same_vectors_in_a_fresh_process():
    out = subprocess.run([sys.executable, "-c", SNAPSHOT + "print(json.dumps(result))"],
                         capture_output=True, text=True, check=True, timeout=60)
    ns = {}
    exec(SNAPSHOT, ns)
    assert json.loads(out.stdout) == ns["result"]
    assert ns["result"][2] == Engine(96).generate_photon("purple")
