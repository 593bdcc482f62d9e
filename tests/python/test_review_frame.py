"""Module table and argument frame, rule by rule: every matching message form, the
conversion table with its prefix rule, thread binding (including a thread that
reuses a finished thread's system identifier), borrowing and documentation texts."""
import gc
import sys
import threading
import time

import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m


def raised(call):
    try:
        call()
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        return e
    raise AssertionError("no exception")


# ---- argument matching --------------------------------------------------------------

GEN = m.PyHoloGenEngine(4)

MATCHING = [
    (lambda: GEN.generate_pixel_geometry(1, 2, 3, 4),
     "PyHoloGenEngine.generate_pixel_geometry() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: GEN.generate_photon([0, 0, 0], None, None, None),
     "PyHoloGenEngine.generate_photon() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: GEN.generate_pixel_geometry(),
     "PyHoloGenEngine.generate_pixel_geometry() missing 2 required positional arguments: 'x' and 'y'"),
    (lambda: GEN.generate_pixel_geometry(frame_id=1),
     "PyHoloGenEngine.generate_pixel_geometry() missing 2 required positional arguments: 'x' and 'y'"),
    (lambda: GEN.generate_pixel_geometry(1, frame_id=1),
     "PyHoloGenEngine.generate_pixel_geometry() missing 1 required positional argument: 'y'"),
    (lambda: GEN.encode_bvh_node(),
     "PyHoloGenEngine.encode_bvh_node() missing 4 required positional arguments: "
     "'min_bounds', 'max_bounds', 'left', and 'right'"),
    (lambda: m.PyHKVC(4).store(value="v"),
     "PyHKVC.store() missing 2 required positional arguments: 'key' and 'position'"),
    (lambda: m.PyHKVC(), "PyHKVC.__new__() missing 1 required positional argument: 'dim'"),
    (lambda: m.PyHKVC(1, 2), "PyHKVC.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: m.PyHKVC(4, dim=4), "PyHKVC.__new__() got multiple values for argument 'dim'"),
    (lambda: m.PyHKVC(dimension=4), "PyHKVC.__new__() got an unexpected keyword argument 'dimension'"),
    (lambda: m.PyQuantumAttentionHead(4), "PyQuantumAttentionHead.__new__() missing 1 required positional "
                                          "argument: 'nqubits'"),
    (lambda: m.PyHKVC(4).store("k", "v", 1, 2),
     "PyHKVC.store() takes 3 positional arguments but 4 were given"),
    (lambda: m.rand_bipolar(1, 2), "rand_bipolar() takes 1 positional arguments but 2 were given"),
    (lambda: m.hv_hash_string(), "hv_hash_string() missing 2 required positional arguments: 's' and 'dim'"),
    (lambda: m.encode_system_state(4), "encode_system_state() missing 4 required positional arguments: "
                                       "'ram_pct', 'cpu_pct', 'error_count', and 'latency_us'"),
    # Too many positionals is reported before a bad keyword, a bad keyword before a missing argument.
    (lambda: m.resonance([1], [1], [1], c=1), "resonance() takes 2 positional arguments but 3 were given"),
    (lambda: m.resonance(c=1), "resonance() got an unexpected keyword argument 'c'"),
    (lambda: m.PyHKVC(4).query(query_key="k", key="k"), "PyHKVC.query() got an unexpected keyword argument 'key'"),
]


@pytest.mark.parametrize("call,message", MATCHING)
def test_matching_messages(call, message):
    err = raised(call)
    assert type(err) is TypeError and str(err) == message


def test_every_parameter_may_be_given_by_keyword_and_optional_none_means_absent():
    assert m.resonance(b=[1.0, 1.0], a=[1.0, -1.0]) == m.resonance([1.0, -1.0], [1.0, 1.0])
    c = m.PyHKVC(dim=8)
    c.store(position=3, value="v", key="k")
    assert c.query(query_key="k")[0] == "v"
    assert GEN.generate_pixel_geometry(3, 5) == GEN.generate_pixel_geometry(3, 5, None)
    assert GEN.generate_pixel_geometry(3, 5) == GEN.generate_pixel_geometry(y=5, x=3, frame_id=None)


# ---- conversions ------------------------------------------------------------------------

class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class RaisesOnIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class RaisesOnFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


@pytest.mark.parametrize("call,exc,message", [
    # 32-bit integers: read as a C long, then range-checked; OverflowError, no prefix.
    (lambda: m.encode_system_state(4, 1.0, 1.0, 2 ** 32, 1), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: m.encode_system_state(4, 1.0, 1.0, -1, 1), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: m.encode_system_state(4, 1.0, 1.0, 2 ** 80, 1), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: m.hdc_permute([1.0], Idx(2 ** 31)), OverflowError, "out of range integral type conversion attempted"),
    (lambda: m.hdc_permute([1.0], -2 ** 31 - 1), OverflowError, "out of range integral type conversion attempted"),
    # Integer conversion failures are TypeErrors and get the prefix.
    (lambda: m.hdc_permute([1.0], 1.0), TypeError, "argument 'n': 'float' object cannot be interpreted as an integer"),
    (lambda: m.hdc_permute([1.0], "1"), TypeError, "argument 'n': 'str' object cannot be interpreted as an integer"),
    (lambda: m.rand_bipolar(None), TypeError,
     "argument 'dim': 'NoneType' object cannot be interpreted as an integer"),
    # A user's own exception from __index__ / __float__ passes unchanged, whatever its type.
    (lambda: m.hdc_permute([1.0], RaisesOnIndex(OverflowError("mine"))), OverflowError, "mine"),
    (lambda: m.hdc_permute([1.0], RaisesOnIndex(ValueError("v"))), ValueError, "v"),
    (lambda: m.rand_bipolar(RaisesOnIndex(OverflowError("mine"))), OverflowError, "mine"),
    (lambda: m.hdc_permute([1.0], RaisesOnIndex(TypeError("t"))), TypeError, "argument 'n': t"),
    (lambda: m.resonance([RaisesOnFloat(OverflowError("o"))], [1.0]), OverflowError, "o"),
    # Strings: str only; the encoder's own error for lone surrogates, unprefixed.
    (lambda: m.hv_hash_string(b"x", 4), TypeError, "argument 's': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: m.hv_hash_string(None, 4), TypeError,
     "argument 's': 'NoneType' object cannot be converted to 'PyString'"),
    # Fixed-length vectors: the length first, ValueError unprefixed.
    (lambda: GEN.generate_material_mapping([1, 2], [1, 2, 3], 1), ValueError, "expected a sequence of length 3 (got 2)"),
    (lambda: GEN.generate_material_mapping([1, 2, 3], (1, 2, 3, 4), 1), ValueError,
     "expected a sequence of length 3 (got 4)"),
    (lambda: GEN.generate_material_mapping(5, [1, 2, 3], 1), TypeError,
     "argument 'position': 'int' object cannot be converted to 'Sequence'"),
    # Lists of hypervectors: an item's failure carries the list argument's name.
    (lambda: m.PyQuantumAttentionHead(2, 1).compute([1.0, 1.0], [[1.0, 1.0], "ab"], [[1.0, 1.0]] * 2), TypeError,
     "argument 'keys': Can't extract `str` to `Vec`"),
    (lambda: m.PyQuantumAttentionHead(2, 1).compute([1.0, 1.0], [[1.0, 1.0], 3], [[1.0, 1.0]] * 2), TypeError,
     "argument 'keys': 'int' object cannot be converted to 'Sequence'"),
    (lambda: m.PyQuantumAttentionHead(2, 1).compute([1.0, 1.0], "ab", [[1.0, 1.0]]), TypeError,
     "argument 'keys': Can't extract `str` to `Vec`"),
])
def test_conversion_errors(call, exc, message):
    err = raised(call)
    assert type(err) is exc and str(err) == message


def test_unsigned_64_bit_range_is_full_and_errors_are_the_interpreters():
    c = m.PyHKVC(2)
    c.store("k", "v", 2 ** 64 - 1)
    c.store("k", "v", Idx(5))
    c.store("k", "v", True)
    for bad in (-1, 2 ** 64):
        err = raised(lambda: c.store("k", "v", bad))
        assert type(err) is OverflowError and not str(err).startswith("argument")
    assert c.count() == 3


def test_the_replaced_message_is_kept_whole():
    # The prefix goes in front of the interpreter's message exactly, NUL and lone surrogates included.
    for text in ["a\0b", "x\ud800y", ""]:
        err = raised(lambda: m.resonance([RaisesOnFloat(TypeError(text))], [1.0]))
        assert type(err) is TypeError and str(err) == "argument 'a': " + text


def test_float_arguments_accept_the_float_protocol():
    # f32: float, int, __float__, __index__; each rounded once from the double.
    w = m.hebbian([0.0], [1.0], [1.0], Idx(2), 1)
    assert w == [2.0]
    assert m.hebbian([0.0], [1.0], [1.0], 0.1, 1) == [0.10000000149011612]
    floaty = type("Floaty", (), {"__float__": lambda self: 0.3})()
    assert m.hebbian([0.0], [1.0], [1.0], floaty, 1) == [0.30000001192092896]


class Fixed3:
    """A sequence whose items are only reachable by index; iterating it fails."""
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if not 0 <= i < 3:
            raise IndexError(i)
        return float(i + 1)

    def __iter__(self):
        raise AssertionError("fixed-length vectors are fetched by index")


def test_fixed_length_vectors_are_fetched_by_index():
    assert GEN.generate_material_mapping(Fixed3(), Fixed3(), 1) == GEN.generate_material_mapping(
        [1.0, 2.0, 3.0], [1.0, 2.0, 3.0], 1)


class HugeLen(list):
    def __len__(self):
        return sys.maxsize


class HugeLenSeq:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 2 ** 50

    def __getitem__(self, i):
        return self.items[i]


def test_a_lying_length_is_only_a_capacity_hint():
    assert m.hdc_bind(HugeLen([1.0, -2.0]), [1.0, 1.0]) == [1.0, -2.0]
    assert m.hdc_bind(HugeLenSeq([1.0, -2.0]), [1.0, 1.0]) == [1.0, -2.0]
    # ... for lists of hypervectors and of integers too
    head = m.PyQuantumAttentionHead(2, 1)
    keys = HugeLen([[1.0, 1.0]])
    assert head.compute([1.0, 1.0], keys, [[0.5, 0.25]]) == head.compute([1.0, 1.0], [[1.0, 1.0]], [[0.5, 0.25]])
    eng = m.PyHoloGenEngine(8)
    root = eng.generate_pixel_geometry(1, 2)
    assert eng.simulate_counterfactual(HugeLen(root), root) == eng.simulate_counterfactual(root, root)


def test_unsigned_32_bit_integers_accept_index_objects():
    assert m.encode_system_state(4, 1.0, 1.0, Idx(7), 1) == m.encode_system_state(4, 1.0, 1.0, 7, 1)


# ---- borrowing ----------------------------------------------------------------------------

def test_shared_borrows_nest_and_a_setter_converts_before_borrowing():
    cm = m.PyCausalMemory(2)
    cm.record([1.0, 1.0], [1.0, -1.0], [1.0, 1.0])
    seen = []

    class Reads:
        def __float__(self):
            seen.append(cm.query_effect([1.0, 1.0]))  # shared inside shared: allowed
            return 1.0

    assert cm.query_effect([Reads(), 1.0]) == [1.0, -1.0]
    assert seen == [[1.0, -1.0]]

    s = m.PyHoloSwarm(2)

    class Writes:
        def __float__(self):
            s.swarm_vector = [7.0, 7.0]  # an exclusive borrow while converting the new value: allowed
            return 1.0

    s.swarm_vector = [Writes(), 2.0]
    assert s.swarm_vector == [1.0, 2.0]

    class SwarmRead:
        def __float__(self):
            s.materialize([1.0, 1.0], 0.0)
            return 1.0

    # A method's own conversion runs after its borrow: an exclusive method is then in conflict.
    err = raised(lambda: s.add_agent("r", [SwarmRead(), 1.0], "p", [1.0, 1.0], "k", [1.0, 1.0]))
    assert type(err) is RuntimeError and str(err) == "Already mutably borrowed"
    assert s.materialize([1.0, 1.0], -10.0) == []


def test_deleting_the_property_is_refused_before_anything_else():
    s = m.PyHoloSwarm(2)
    err = raised(lambda: delattr(s, "swarm_vector"))
    assert type(err) is AttributeError and str(err) == "can't delete attribute"
    err = raised(lambda: setattr(s, "swarm_vector", "ab"))
    assert type(err) is TypeError and str(err) == "argument 'v': Can't extract `str` to `Vec`"


# ---- thread binding ------------------------------------------------------------------------

THREAD_BOUND = [
    lambda: m.PyCausalMemory(2), lambda: m.PyMultiHopReasoner(2), lambda: m.PyMetacognition(2),
    lambda: m.PySelfAudit(2), lambda: m.PyOptimizer(), lambda: m.PyQuantumAttentionHead(2, 1),
    lambda: m.PyHoloCPUScheduler(2, 1), lambda: m.PyHoloGenEngine(2), lambda: m.PyHKVC(2),
]


def run_in_thread(fn, pause=0.0):
    out = []

    def body():
        out.append(threading.get_ident())
        try:
            out.append(fn())
        except BaseException as e:  # noqa: BLE001
            e.__traceback__ = None  # its frames would keep the instance alive past the test's own drop
            out.append(e)
    t = threading.Thread(target=body)
    t.start()
    t.join()
    time.sleep(pause)  # lets the finished thread's resources be reused by the next one
    return out


def touch(obj):
    name = type(obj).__name__
    return {"PyCausalMemory": lambda: obj.query_effect([1.0]), "PyMultiHopReasoner": lambda: obj.reason([1.0], 0),
            "PyMetacognition": lambda: obj.success_rate(), "PySelfAudit": lambda: obj.full_audit([1.0, 1.0]),
            "PyOptimizer": lambda: obj.get_params(),
            "PyQuantumAttentionHead": lambda: obj.compute([1.0], [[1.0]], [[1.0]]),
            "PyHoloCPUScheduler": lambda: obj.dimension(), "PyHoloGenEngine": lambda: obj.structural_dimension(),
            "PyHKVC": lambda: obj.count()}[name]()


@pytest.mark.parametrize("make", THREAD_BOUND)
def test_a_later_thread_is_never_taken_for_the_creator(make, monkeypatch):
    # The system's thread identifier of a finished thread is handed to the next
    # thread at once; the instance must still know it is on a different thread.
    made = run_in_thread(make, pause=0.01)
    obj = made[1]
    used = run_in_thread(lambda: touch(obj))
    err = used[1]
    assert type(err).__name__ == "PanicException"
    assert str(err) == f"morvelan_hdc::py_api::{type(obj).__name__} is unsendable, but sent to another thread"
    # ... and dropping it from any thread but the (finished) creator reports the leak.
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))
    box = [obj]
    del obj, made
    run_in_thread(box.clear)
    gc.collect()
    assert len(seen) == 1 and type(seen[0]) is RuntimeError
    assert "is unsendable, but is being dropped on another thread" in str(seen[0])


def test_thread_bound_check_precedes_borrowing_and_leaves_the_instance_alone():
    c = m.PyHKVC(4)
    c.store("k", "v", 1)
    err = run_in_thread(lambda: c.store("k", "w", 2))[1]
    assert type(err).__name__ == "PanicException"
    # argument matching comes first: a bad call from another thread is a TypeError
    err = run_in_thread(lambda: c.store("k"))[1]
    assert type(err) is TypeError
    assert c.count() == 1 and c.query("k") == ("v", pytest.approx(1.0, abs=1e-5))


def test_the_swarm_works_from_any_thread():
    s = m.PyHoloSwarm(4)
    s.add_agent("r", [1.0] * 4, "p", [1.0] * 4, "k", [1.0] * 4)
    got = run_in_thread(lambda: (s.dim, s.materialize([1.0] * 4, 0.0), setattr(s, "swarm_vector", [2.0] * 4)))[1]
    assert got[0] == 4 and s.swarm_vector == [2.0] * 4
    box = [m.PyHoloSwarm(2)]
    assert run_in_thread(box.clear)[1] is None


def test_panic_exception_is_one_type_made_once():
    opt = m.PyOptimizer()
    a = run_in_thread(lambda: touch(opt))[1]
    b = run_in_thread(lambda: touch(opt))[1]
    assert type(a) is type(b)
    assert type(a).__module__ == "pyo3_runtime" and type(a).__name__ == "PanicException"
    assert type(a).__mro__[1:] == (BaseException, object)


# ---- documentation texts of the free functions ----------------------------------------------

DOCS = {
    "hdc_bind": "Bind: element-wise multiplication (Patent §Definition 2 — multiplicative binding).\n"
                "For bipolar: same→+1, different→-1. Self-inverse: bind(bind(A,B), A) ≈ B.\n"
                "Generalizes correctly to non-bipolar superpositions (World Vector, bundles).",
    "hdc_bundle": "Bundle: majority-vote superposition (Patent MORVELAN-2026-001 §Definition 3).\n"
                  "⊕({v_i}) = sign(Σ v_i). For two inputs: if equal→that value, if unequal→sign of sum.\n"
                  "This preserves signal for arbitrary N items when iterated.",
    "hdc_unbind": "Unbind: inverse of bind. Given compound=bind(A,B) and key=A,\n"
                  "returns an approximation of B via bind(key, compound).\n\n# Arguments\n"
                  "* `compound` — the bound hypervector (A ⊗ B)\n* `key` — the known operand (A) used to unbind\n\n"
                  "Note: bind/unbind are self-inverse, so unbind(A⊗B, A) ≈ B\n"
                  "only when A and B are sufficiently orthogonal in the HDC space.",
    "hebbian": "Hebbian weight update: W' = W + η · (pre ⊗ post)\n\nImplements O(D) sparse Hebbian outer-product "
               "update.\nOnly diagonal and a subset of off-diagonal elements are updated\nper step, making it "
               "tractable for high-dimensional spaces.\n\n# Arguments\n* `weights` — mutable weight matrix "
               "flattened as dim×dim\n* `pre` — pre-synaptic hypervector\n* `post` — post-synaptic hypervector\n"
               "* `lr` — learning rate (η)\n* `dim` — hypervector dimension",
    "hdc_permute": "Permute a hypervector by right-cyclic rotation.\n\n# Arguments\n* `v` — the hypervector to "
                   "permute\n* `n` — number of positions to rotate right (modulo dim); negative values rotate left "
                   "equivalent\n\nRight-cyclic rotation by n means element at index i moves to (i + n) % dim.\n"
                   "Example: [a,b,c,d] rotated right by 1 → [d,a,b,c]",
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_function_doc_bodies_whole(name):
    assert getattr(m, name).__doc__ == DOCS[name]


@pytest.mark.parametrize("name", ["rand_bipolar", "resonance", "normalise_bipolar", "hv_hash", "hv_hash_string",
                                  "diagnostic_role", "encode_system_state", "bundle_diagnostics",
                                  "extract_system_state"])
def test_other_functions_have_empty_bodies(name):
    assert getattr(m, name).__doc__ is None


def test_no_argument_methods_carry_name_and_self():
    for cls, meth in [("PyMetacognition", "success_rate"), ("PyMetacognition", "avg_resonance"),
                      ("PyMetacognition", "recommend"), ("PyHoloCPUScheduler", "export_holographic_state"),
                      ("PyHoloCPUScheduler", "feedback_strength"), ("PyHoloCPUScheduler", "run_audit_integrity_check"),
                      ("PyHoloCPUScheduler", "quantum_capacity"), ("PyHoloGenEngine", "structural_dimension"),
                      ("PyHoloSwarm", "get_swarm_vector"), ("PyHKVC", "accumulator_magnitude"),
                      ("PyMultiHopReasoner", "reset")]:
        assert getattr(getattr(m, cls), meth).__text_signature__ == "($self)"


def test_properties_have_empty_docs_and_results_are_fresh_objects():
    assert not m.PyHoloSwarm.swarm_vector.__doc__ and not m.PyHoloSwarm.dim.__doc__
    assert not m.PyHoloCPUScheduler.qc.__doc__
    s = m.PyHoloSwarm(3)
    a, b = s.swarm_vector, s.get_swarm_vector()
    assert a == b and a is not b
    a.append(1.0)
    assert s.swarm_vector == [0.0] * 3


@settings(max_examples=60, deadline=None)
@given(st.lists(st.sampled_from(["a", "b", "c", "d", "e"]), unique=True, min_size=1, max_size=5))
def test_missing_names_punctuation_model(missing):
    # hebbian's parameters, with an arbitrary subset given by keyword: the missing ones listed in order.
    params = ["weights", "pre", "post", "lr", "dim"]
    values = {"weights": [], "pre": [], "post": [], "lr": 1.0, "dim": 1}
    gone = [params["abcde".index(x)] for x in sorted(missing)]
    kwargs = {p: values[p] for p in params if p not in gone}
    quoted = [f"'{p}'" for p in gone]
    listed = quoted[0] if len(quoted) == 1 else (
        " and ".join(quoted) if len(quoted) == 2 else ", ".join(quoted[:-1]) + ", and " + quoted[-1])
    word = "argument" if len(gone) == 1 else "arguments"
    err = raised(lambda: m.hebbian(**kwargs))
    assert str(err) == f"hebbian() missing {len(gone)} required positional {word}: {listed}"
