"""Shared by the leak, fuzz and thread tests: every entry point of the module with
the kind of each parameter and of its result, instances with a little history,
observable-state snapshots, hostile argument objects and memory probes."""
from __future__ import annotations

import array
import ctypes
import math
import os
import struct
import sys
from dataclasses import dataclass, field
from typing import Any, Callable

import morvelan_hdc as m

SANITIZED = os.environ.get("MHDC_SANITIZED") == "1"
DIM = 8
INF = float("inf")

PanicException = None  # the type, once something raises it (it is created on first need)


def is_panic(exc: BaseException) -> bool:
    t = type(exc)
    return t.__module__ == "pyo3_runtime" and t.__name__ == "PanicException"


def unsendable(cls_name: str) -> str:
    return f"morvelan_hdc::py_api::{cls_name} is unsendable, but sent to another thread"


# ---- values --------------------------------------------------------------------------------------

def bipolar(n: int, seed: int) -> list[float]:
    """A deterministic bipolar vector (a tiny LCG; no generator state shared with the module)."""
    out, x = [], (seed * 2654435761 + 12345) & 0xFFFFFFFF
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append(1.0 if (x >> 16) & 1 else -1.0)
    return out


def canon(x: Any) -> Any:
    """A value with every float replaced by its bit pattern, so NaNs and -0.0 compare exactly."""
    if isinstance(x, float):
        return ("f", struct.pack("<d", x))
    if isinstance(x, (list, tuple)):
        return (type(x).__name__, tuple(canon(v) for v in x))
    if isinstance(x, dict):
        return ("d", tuple(sorted((k, canon(v)) for k, v in x.items())))
    return x


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


# ---- entry points ---------------------------------------------------------------------------------
# Parameter kinds: hv (Hypervector), hvs (list of them), str, strs (list of str), f32, u64, u32, i32,
# dim (an unsigned 64-bit size that is allocated), fixed3, bytes8 (list of int8), pos (str or fixed3),
# any (a counterfactual operand: a byte list or anything with a text form). A trailing "?" marks an
# optional ("=None") parameter.

@dataclass(frozen=True)
class Entry:
    owner: str | None          # class name, None for a free function
    name: str                  # function, method or property name ("__new__" for constructors)
    params: tuple[str, ...]    # "name:kind"
    result: str
    kind: str = "method"       # function, ctor, method, noargs, getter, setter
    mutates: bool = False

    @property
    def full(self) -> str:
        return f"{self.owner}.{self.name}" if self.owner else self.name

    @property
    def names(self) -> list[str]:
        return [p.split(":")[0] for p in self.params]

    @property
    def kinds(self) -> list[str]:
        return [p.split(":")[1] for p in self.params]

    @property
    def required(self) -> int:
        return sum(1 for k in self.kinds if not k.endswith("?"))


def F(name, params, result):
    return Entry(None, name, tuple(params), result, "function")


FUNCTIONS = [
    F("rand_bipolar", ["dim:dim"], "hv"),
    F("resonance", ["a:hv", "b:hv"], "float"),
    F("hdc_bind", ["a:hv", "b:hv"], "hv"),
    F("hdc_bundle", ["a:hv", "b:hv"], "hv"),
    F("hdc_unbind", ["compound:hv", "key:hv"], "hv"),
    F("hebbian", ["weights:hv", "pre:hv", "post:hv", "lr:f32", "dim:u64"], "hv"),
    F("hdc_permute", ["v:hv", "n:i32"], "hv"),
    F("normalise_bipolar", ["v:hv"], "hv"),
    F("hv_hash", ["v:hv"], "int"),
    F("hv_hash_string", ["s:str", "dim:dim"], "hv"),
    F("diagnostic_role", ["dim:dim"], "hv"),
    F("encode_system_state", ["dim:dim", "ram_pct:f32", "cpu_pct:f32", "error_count:u32", "latency_us:u32"], "hv"),
    F("bundle_diagnostics", ["payload:hv", "ram_pct:f32", "cpu_pct:f32", "error_count:u32", "latency_us:u32"], "hv"),
    F("extract_system_state", ["bundled:hv"], "hv"),
]


def M(owner, name, params, result, mutates=False):
    return Entry(owner, name, tuple(params), result, "method" if params else "noargs", mutates)


CTORS = {
    "PyCausalMemory": ["dim:dim"],
    "PyMultiHopReasoner": ["dim:dim"],
    "PyMetacognition": ["dim:dim"],
    "PySelfAudit": ["dim:dim"],
    "PyOptimizer": [],
    "PyQuantumAttentionHead": ["dim:dim", "nqubits:u64"],
    "PyHoloCPUScheduler": ["dim:dim", "quantum_capacity:u64"],
    "PyHoloGenEngine": ["dim:dim"],
    "PyHoloSwarm": ["dim:dim"],
    "PyHKVC": ["dim:dim"],
}
CLASS_NAMES = list(CTORS)
THREAD_BOUND = [c for c in CLASS_NAMES if c != "PyHoloSwarm"]

CONSTRUCTORS = [Entry(c, "__new__", tuple(p), "self", "ctor") for c, p in CTORS.items()]

METHODS = [
    M("PyCausalMemory", "store", ["cause:hv", "effect:hv", "time:hv"], "none", True),
    M("PyCausalMemory", "record", ["cause:hv", "effect:hv", "time:hv"], "none", True),
    M("PyCausalMemory", "query_effect", ["cause:hv"], "opt_hv"),
    M("PyCausalMemory", "recall_effect", ["cause:hv"], "opt_hv"),
    M("PyCausalMemory", "query_cause", ["effect:hv"], "hvs"),
    M("PyCausalMemory", "recall_cause", ["effect:hv"], "hvs"),
    M("PyCausalMemory", "query_by_time", ["time:hv"], "opt_hv"),
    M("PyCausalMemory", "recall_by_time", ["time:hv"], "opt_hv"),
    M("PyMultiHopReasoner", "add_fact", ["fact:hv"], "int", True),
    M("PyMultiHopReasoner", "add_link", ["a:u64", "b:u64"], "none", True),
    M("PyMultiHopReasoner", "reason", ["query:hv", "hops:u64"], "reason"),
    M("PyMultiHopReasoner", "reset", [], "none", True),
    M("PyMetacognition", "record", ["res:f32", "coh:f32", "acc:f32", "context:hv", "hash:u64"], "none", True),
    M("PyMetacognition", "success_rate", [], "float"),
    M("PyMetacognition", "avg_resonance", [], "float"),
    M("PyMetacognition", "recommend", [], "recs"),
    M("PySelfAudit", "full_audit", ["hv:hv"], "audit", True),
    M("PySelfAudit", "check_consistency", ["h1:hv", "h2:hv"], "audit"),
    M("PyOptimizer", "apply", ["action:str", "delta:f32", "reason:str"], "none", True),
    M("PyOptimizer", "rollback", [], "none", True),
    M("PyOptimizer", "get", ["name:str"], "opt_float"),
    M("PyOptimizer", "get_params", [], "params"),
    M("PyQuantumAttentionHead", "compute", ["query:hv", "keys:hvs", "values:hvs"], "hv", True),
    M("PyHoloCPUScheduler", "dimension", [], "int"),
    M("PyHoloCPUScheduler", "quantum_capacity", [], "int"),
    M("PyHoloCPUScheduler", "store_memory", ["target:str"], "none", True),
    M("PyHoloCPUScheduler", "recall", ["target:str"], "bool"),
    M("PyHoloCPUScheduler", "export_holographic_state", [], "hv"),
    M("PyHoloCPUScheduler", "process_feedback", ["signal:f32"], "none", True),
    M("PyHoloCPUScheduler", "feedback_strength", [], "float"),
    M("PyHoloCPUScheduler", "quantum_grover_search", ["query:hv", "keys:hvs", "values:hvs"], "hv", True),
    M("PyHoloCPUScheduler", "run_audit_integrity_check", [], "bool"),
    M("PyHoloCPUScheduler", "generate_role", ["label:str"], "hv"),
    M("PyHoloGenEngine", "structural_dimension", [], "int"),
    M("PyHoloGenEngine", "generate_pixel_geometry", ["x:u32", "y:u32", "frame_id:u64?"], "bytes"),
    M("PyHoloGenEngine", "generate_material_mapping", ["position:fixed3", "normal:fixed3", "material_id:u32"],
      "bytes"),
    M("PyHoloGenEngine", "generate_photon", ["position:pos", "direction:fixed3?", "wavelength:f32?"], "bytes"),
    M("PyHoloGenEngine", "encode_bvh_node", ["min_bounds:fixed3", "max_bounds:fixed3", "left:bytes8",
                                             "right:bytes8"], "int8s"),
    M("PyHoloGenEngine", "simulate_counterfactual", ["root_state:any", "intervention:any"], "int8s"),
    M("PyHoloSwarm", "get_swarm_vector", [], "hv"),
    M("PyHoloSwarm", "add_agent", ["role:str", "r_hv:hv", "policy:str", "p_hv:hv", "skill:str", "s_hv:hv"],
      "none", True),
    M("PyHoloSwarm", "add_paradox_trap", ["names:strs", "roles:hvs", "keys:hvs"], "none", True),
    M("PyHoloSwarm", "resonate", ["role_key:str", "p_guess:hv", "_s_guess:hv", "max_iter:u64"], "resonate"),
    M("PyHoloSwarm", "materialize", ["probe:hv", "threshold:f32"], "ranked"),
    M("PyHKVC", "store", ["key:str", "value:str", "position:u64"], "none", True),
    M("PyHKVC", "query", ["query_key:str"], "query"),
    M("PyHKVC", "count", [], "int"),
    M("PyHKVC", "position_score", ["position:u64"], "float"),
    M("PyHKVC", "accumulator_magnitude", [], "hv"),
]

PROPERTIES = [
    Entry("PyHoloCPUScheduler", "dim", (), "int", "getter"),
    Entry("PyHoloCPUScheduler", "qc", (), "int", "getter"),
    Entry("PyHoloSwarm", "dim", (), "int", "getter"),
    Entry("PyHoloSwarm", "swarm_vector", (), "hv", "getter"),
    Entry("PyHoloSwarm", "swarm_vector", ("v:hv",), "none", "setter", True),
]

ALL = FUNCTIONS + CONSTRUCTORS + METHODS + PROPERTIES


def invoke(entry: Entry, target, args: list, kwargs: dict | None = None):
    """Calls an entry point; `target` is the instance for members (ignored otherwise)."""
    kwargs = kwargs or {}
    if entry.kind == "function":
        return getattr(m, entry.name)(*args, **kwargs)
    if entry.kind == "ctor":
        return getattr(m, entry.owner)(*args, **kwargs)
    if entry.kind == "getter":
        return getattr(target, entry.name)
    if entry.kind == "setter":
        setattr(target, entry.name, args[0])
        return None
    return getattr(target, entry.name)(*args, **kwargs)


# ---- good arguments -------------------------------------------------------------------------------

def good_value(kind: str, dim: int = DIM, seed: int = 0):
    kind = kind.rstrip("?")
    if kind == "hv":
        return bipolar(dim, seed)
    if kind == "hvs":
        return [bipolar(dim, seed), bipolar(dim, seed + 1)]
    if kind == "str":
        return ["alpha", "learning_rate_increase", "beta", "learning_rate"][seed % 4]
    if kind == "strs":
        return ["t0", "t1"]
    if kind == "f32":
        return [0.5, 1.0, 0.25, -0.75][seed % 4]
    if kind in ("u64", "u32"):
        return seed % 3
    if kind == "i32":
        return seed - 1
    if kind == "dim":
        return dim
    if kind == "fixed3":
        return [0.5, -1.0, 2.0 + seed]
    if kind == "bytes8":
        return [1 if x > 0 else -1 for x in bipolar(dim, seed)]
    if kind == "pos":
        return ["red", [0.0, 1.0, 2.0]][seed % 2]
    if kind == "any":
        return [1 if x > 0 else -1 for x in bipolar(dim, seed)]
    raise AssertionError(kind)


def good_args(entry: Entry, dim: int = DIM, seed: int = 0) -> list:
    if entry.full == "PyHoloGenEngine.generate_photon":
        return [[0.0, 1.0, 2.0], [0.0, 0.0, 1.0], 500.0]
    if entry.full == "PyHoloCPUScheduler.__new__":
        return [dim, 4]
    if entry.full == "PyQuantumAttentionHead.__new__":
        return [dim, 2]
    return [good_value(k, dim, seed + i) for i, k in enumerate(entry.kinds)]


# ---- instances with history and their observable state ---------------------------------------

def engine_dim(cls_name: str) -> int:
    return 64 if cls_name == "PyHoloGenEngine" else DIM   # photons need dim >= 32


def make(cls_name: str, dim: int | None = None):
    """A fresh instance with a small, deterministic history."""
    d = engine_dim(cls_name) if dim is None else dim
    v = [bipolar(d, s) for s in range(6)]
    if cls_name == "PyCausalMemory":
        o = m.PyCausalMemory(d)
        o.store(v[0], v[1], v[2])
        o.record(v[1], v[3], v[4])
    elif cls_name == "PyMultiHopReasoner":
        o = m.PyMultiHopReasoner(d)
        for x in v[:3]:
            o.add_fact(x)
        o.add_link(0, 1)
    elif cls_name == "PyMetacognition":
        o = m.PyMetacognition(d)
        o.record(0.9, 0.5, 0.75, v[0], 7)
        o.record(0.2, 0.25, 0.5, v[1], 9)
    elif cls_name == "PySelfAudit":
        o = m.PySelfAudit(d)
        o.full_audit(v[0])
        o.full_audit(v[1])
    elif cls_name == "PyOptimizer":
        o = m.PyOptimizer()
        o.apply("learning_rate_increase", 0.125, "r")
        o.apply("momentum_decrease", 0.25, "r")
    elif cls_name == "PyQuantumAttentionHead":
        o = m.PyQuantumAttentionHead(d, 2)
    elif cls_name == "PyHoloCPUScheduler":
        o = m.PyHoloCPUScheduler(d, 4)
        o.store_memory("alpha")
        o.store_memory("beta")
        o.process_feedback(0.75)
    elif cls_name == "PyHoloGenEngine":
        o = m.PyHoloGenEngine(d)
    elif cls_name == "PyHoloSwarm":
        o = m.PyHoloSwarm(d)
        o.add_agent("r0", v[0], "p0", v[1], "s0", v[2])
        o.add_agent("r1", v[3], "p1", v[4], "s1", v[5])
    elif cls_name == "PyHKVC":
        o = m.PyHKVC(d)
        o.store("k0", "v0", 0)
        o.store("k1", "v1", 3)
    else:
        raise AssertionError(cls_name)
    return o


def snapshot(cls_name: str, o) -> Any:
    """Everything a caller can observe of the instance. Probes that change state (full_audit,
    rollback, add_fact) are part of it: twins get the same probes."""
    d = engine_dim(cls_name)
    v = [bipolar(d, s) for s in range(6)]
    probe = bipolar(d, 99)
    if cls_name == "PyCausalMemory":
        out = [o.query_effect(x) for x in v] + [o.query_cause(x) for x in v] + [o.query_by_time(x) for x in v]
    elif cls_name == "PyMultiHopReasoner":
        out = [o.reason(x, 3) for x in v[:3] + [probe]] + [o.add_fact(probe)]
    elif cls_name == "PyMetacognition":
        out = [o.success_rate(), o.avg_resonance(), o.recommend()]
    elif cls_name == "PySelfAudit":
        out = [o.full_audit(probe), o.full_audit([-x for x in v[1]])]
    elif cls_name == "PyOptimizer":
        out = [o.get_params()]
        for _ in range(3):
            o.rollback()
            out.append(o.get_params())
    elif cls_name == "PyQuantumAttentionHead":
        out = [o.compute(v[0], [v[0], v[1]], [v[2], v[3]])]
    elif cls_name == "PyHoloCPUScheduler":
        out = [o.dim, o.qc, o.dimension(), o.quantum_capacity(), o.export_holographic_state(),
               o.feedback_strength(), o.recall("alpha"), o.recall("beta"), o.recall("zeta"),
               o.run_audit_integrity_check(), o.generate_role("x"),
               o.quantum_grover_search(v[0], [v[0], v[1]], [v[2], v[3]])]
    elif cls_name == "PyHoloGenEngine":
        out = [o.structural_dimension(), o.generate_pixel_geometry(1, 2), o.generate_photon("red")]
    elif cls_name == "PyHoloSwarm":
        out = [o.dim, o.swarm_vector, o.get_swarm_vector(), o.materialize(probe, -INF),
               o.resonate("r0", v[1], [], 5)]
    elif cls_name == "PyHKVC":
        out = [o.count(), o.accumulator_magnitude(), o.query("k0"), o.query("k1"), o.query("nope"),
               o.position_score(0), o.position_score(3)]
    else:
        raise AssertionError(cls_name)
    return canon(out)


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


# ---- memory probes --------------------------------------------------------------------------------

class _Mallinfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _native_probe():
    libc = ctypes.CDLL(None)
    try:
        f = libc.__sanitizer_get_current_allocated_bytes
        f.restype = ctypes.c_size_t
        f.argtypes = []
        return f
    except AttributeError:
        pass
    try:
        mi = libc.mallinfo2
    except AttributeError:
        return None
    mi.restype = _Mallinfo2
    mi.argtypes = []

    def used():
        info = mi()
        return info.uordblks + info.hblkhd
    return used


native_bytes: Callable[[], int] | None = _native_probe()


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


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
