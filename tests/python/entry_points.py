# Every entry point of the module in one table, with parameter and result kinds, plus instances with
# a little history and a snapshot of everything a caller can observe of them. Entry syntax:
# name[!](param:kind,...):result, "!" for a call that changes the instance, a trailing "?" for an
# optional (=None) parameter, "@" for a property getter and "=" for its setter.
import functools, os, re  # noqa: E401
from collections import namedtuple

import morvelan_hdc as m
from support import bipolar, canon

SANITIZED = os.environ.get("MHDC_SANITIZED") == "1"
DIM = 8
TABLE = """
: rand_bipolar(dim:dim):hv resonance(a:hv,b:hv):float hdc_bind(a:hv,b:hv):hv hdc_bundle(a:hv,b:hv):hv
  hdc_unbind(compound:hv,key:hv):hv hebbian(weights:hv,pre:hv,post:hv,lr:f32,dim:u64):hv hdc_permute(v:hv,n:i32):hv
  normalise_bipolar(v:hv):hv hv_hash(v:hv):int hv_hash_string(s:str,dim:dim):hv diagnostic_role(dim:dim):hv
  encode_system_state(dim:dim,ram_pct:f32,cpu_pct:f32,error_count:u32,latency_us:u32):hv
  bundle_diagnostics(payload:hv,ram_pct:f32,cpu_pct:f32,error_count:u32,latency_us:u32):hv
  extract_system_state(bundled:hv):hv
PyCausalMemory: __new__(dim:dim):self store!(cause:hv,effect:hv,time:hv):none record!(cause:hv,effect:hv,time:hv):none
  query_effect(cause:hv):opt_hv recall_effect(cause:hv):opt_hv query_cause(effect:hv):hvs recall_cause(effect:hv):hvs
  query_by_time(time:hv):opt_hv recall_by_time(time:hv):opt_hv
PyMultiHopReasoner: __new__(dim:dim):self add_fact!(fact:hv):int add_link!(a:u64,b:u64):none
  reason(query:hv,hops:u64):reason reset!():none
PyMetacognition: __new__(dim:dim):self record!(res:f32,coh:f32,acc:f32,context:hv,hash:u64):none success_rate():float
  avg_resonance():float recommend():recs
PySelfAudit: __new__(dim:dim):self full_audit!(hv:hv):audit check_consistency(h1:hv,h2:hv):audit
PyOptimizer: __new__():self apply!(action:str,delta:f32,reason:str):none rollback!():none get(name:str):opt_float
  get_params():params
PyQuantumAttentionHead: __new__(dim:dim,nqubits:u64):self compute!(query:hv,keys:hvs,values:hvs):hv
PyHoloCPUScheduler: __new__(dim:dim,quantum_capacity:u64):self dimension():int quantum_capacity():int
  store_memory!(target:str):none recall(target:str):bool export_holographic_state():hv
  process_feedback!(signal:f32):none feedback_strength():float quantum_grover_search!(query:hv,keys:hvs,values:hvs):hv
  run_audit_integrity_check():bool generate_role(label:str):hv dim@:int qc@:int
PyHoloGenEngine: __new__(dim:dim):self structural_dimension():int
  generate_pixel_geometry(x:u32,y:u32,frame_id:u64?):bytes
  generate_material_mapping(position:fixed3,normal:fixed3,material_id:u32):bytes
  generate_photon(position:pos,direction:fixed3?,wavelength:f32?):bytes
  encode_bvh_node(min_bounds:fixed3,max_bounds:fixed3,left:bytes8,right:bytes8):int8s
  simulate_counterfactual(root_state:any,intervention:any):int8s
PyHoloSwarm: __new__(dim:dim):self get_swarm_vector():hv
  add_agent!(role:str,r_hv:hv,policy:str,p_hv:hv,skill:str,s_hv:hv):none
  add_paradox_trap!(names:strs,roles:hvs,keys:hvs):none
  resonate(role_key:str,p_guess:hv,_s_guess:hv,max_iter:u64):resonate materialize(probe:hv,threshold:f32):ranked
  dim@:int swarm_vector@:hv swarm_vector=(v:hv):none
PyHKVC: __new__(dim:dim):self store!(key:str,value:str,position:u64):none query(query_key:str):query count():int
  position_score(position:u64):float accumulator_magnitude():hv
"""


# kind: function, ctor, method, noargs, getter or setter
class Entry(namedtuple("Entry", "owner name params result kind mutates")):
    full = property(lambda s: f"{s.owner}.{s.name}" if s.owner else s.name)
    names = property(lambda s: [n for n, _ in s.params])
    kinds = property(lambda s: [k.rstrip("?") for _, k in s.params])
    required = property(lambda s: sum(not k.endswith("?") for _, k in s.params))


def _entries():
    for owner, body in (block.split(":", 1) for block in re.split(r"\n(?=\S)", TABLE.strip())):
        for name, flag, params, result in re.findall(r"(\w+)([!@=]?)(?:\(([^)]*)\))?:(\w+)", body):
            ps = tuple(tuple(p.split(":")) for p in params.split(",") if p)
            kind = "ctor" if name == "__new__" else {"@": "getter", "=": "setter"}.get(flag) or (
                ("method" if ps else "noargs") if owner else "function")
            yield Entry(owner or None, name, ps, result, kind, flag in ("!", "="))


ALL = list(_entries())
CLASSES = [e.owner for e in ALL if e.kind == "ctor"]
THREAD_BOUND = [c for c in CLASSES if c != "PyHoloSwarm"]


def invoke(e, target, args, kwargs=None):
    if e.kind in ("getter", "setter"):
        return getattr(target, e.name) if e.kind == "getter" else setattr(target, e.name, args[0])
    return getattr(target or m, e.owner if e.kind == "ctor" else e.name)(*args, **(kwargs or {}))


hv = functools.lru_cache(64)(bipolar)   # argument vectors are shared: the module never changes its inputs
GOOD = {"hv": hv, "hvs": lambda d, s: [hv(d, s), hv(d, s + 1)], "strs": lambda d, s: ["t0", "t1"], "dim": lambda d, s: d,
        "str": lambda d, s: ["alpha", "learning_rate_increase", "beta", "learning_rate"][s % 4], "i32": lambda d, s: s - 1,
        "f32": lambda d, s: [0.5, 1.0, 0.25, -0.75][s % 4], "u64": lambda d, s: s % 3, "u32": lambda d, s: s % 3,
        "fixed3": lambda d, s: [0.5, -1.0, 2.0 + s], "pos": lambda d, s: ["red", [0.0, 1.0, 2.0]][s % 2],
        **dict.fromkeys(("bytes8", "any"), lambda d, s: [int(x) for x in hv(d, s)])}
FIXED = {"PyHoloGenEngine.generate_photon": lambda d: [[0.0, 1.0, 2.0], [0.0, 0.0, 1.0], 500.0],
         "PyHoloCPUScheduler.__new__": lambda d: [d, 4], "PyQuantumAttentionHead.__new__": lambda d: [d, 2]}


def good_args(e, dim=None, seed=0):
    d = dim or (64 if e.owner == "PyHoloGenEngine" else DIM)   # photons need dim >= 32
    return FIXED[e.full](d) if e.full in FIXED else [GOOD[k](d, seed + i) for i, k in enumerate(e.kinds)]


def make(owner, dim=None):   # a fresh instance with a little history: each of its adding calls, three times
    ctor = next(e for e in ALL if e.owner == owner and e.kind == "ctor")
    o = invoke(ctor, None, good_args(ctor, dim))
    [invoke(x, o, good_args(x, dim, s)) for s in range(3) for x in ALL if x.owner == owner and x.mutates and x.kind == "method"]
    return o


def snapshot(owner, o, dim=None, digest=canon):   # every member in rounds, readers first; twins get the same calls
    deep = [(o.get_params(), o.rollback()) for _ in range(4)] if owner == "PyOptimizer" else []   # its whole history
    return digest(deep + [outcome(lambda: invoke(x, o, good_args(x, dim, s)), lambda r: r) for s in range(4) for x in
                          sorted(ALL, key=lambda x: x.mutates) if x.owner == owner and x.kind not in ("ctor", "setter")])


def instance(e, dim=None):   # a fresh instance with history for a member; None for a function or constructor
    return make(e.owner, dim) if e.owner and e.kind != "ctor" else None


def outcome(fn, view=canon):
    try:
        return "ok", view(r) if type(r := fn()).__name__ not in CLASSES else type(r).__name__
    except Exception as e:  # noqa: BLE001 - the exact outcome is compared
        return type(e), str(e)


def twin_outcome(e, args, kwargs=None):   # the outcome on a fresh instance with history, and its state after
    o = instance(e)
    return outcome(lambda: invoke(e, o, args, kwargs)), o and snapshot(e.owner, o)


ids = lambda v: f"{v.full}:{v.kind}" if hasattr(v, "full") else None  # noqa: E731
