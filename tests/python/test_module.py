"""The module's table of contents: names, order, text signatures, docs, type flags."""
import importlib
import inspect
import sys

import pytest

import morvelan_hdc as m

FUNCTIONS = [
    ("rand_bipolar", "(dim)"),
    ("resonance", "(a, b)"),
    ("hdc_bind", "(a, b)"),
    ("hdc_bundle", "(a, b)"),
    ("hdc_unbind", "(compound, key)"),
    ("hebbian", "(weights, pre, post, lr, dim)"),
    ("hdc_permute", "(v, n)"),
    ("normalise_bipolar", "(v)"),
    ("hv_hash", "(v)"),
    ("hv_hash_string", "(s, dim)"),
    ("diagnostic_role", "(dim)"),
    ("encode_system_state", "(dim, ram_pct, cpu_pct, error_count, latency_us)"),
    ("bundle_diagnostics", "(payload, ram_pct, cpu_pct, error_count, latency_us)"),
    ("extract_system_state", "(bundled)"),
]

CLASSES = [
    ("PyCausalMemory", "(dim)", ["store", "record", "query_effect", "recall_effect", "query_cause",
                                  "recall_cause", "query_by_time", "recall_by_time"]),
    ("PyMultiHopReasoner", "(dim)", ["add_fact", "add_link", "reason", "reset"]),
    ("PyMetacognition", "(dim)", ["record", "success_rate", "avg_resonance", "recommend"]),
    ("PySelfAudit", "(dim)", ["full_audit", "check_consistency"]),
    ("PyOptimizer", "()", ["apply", "rollback", "get", "get_params"]),
    ("PyQuantumAttentionHead", "(dim, nqubits)", ["compute"]),
    ("PyHoloCPUScheduler", "(dim, quantum_capacity)",
     ["dim", "qc", "dimension", "quantum_capacity", "store_memory", "recall", "export_holographic_state",
      "process_feedback", "feedback_strength", "quantum_grover_search", "run_audit_integrity_check",
      "generate_role"]),
    ("PyHoloGenEngine", "(dim)", ["structural_dimension", "generate_pixel_geometry", "generate_material_mapping",
                                  "generate_photon", "encode_bvh_node", "simulate_counterfactual"]),
    ("PyHoloSwarm", "(dim)", ["dim", "swarm_vector", "get_swarm_vector", "add_agent", "add_paradox_trap",
                              "resonate", "materialize"]),
    ("PyHKVC", "(dim)", ["store", "query", "count", "position_score", "accumulator_magnitude"]),
]

METHOD_SIGNATURES = {
    "PyCausalMemory.store": "($self, cause, effect, time)",
    "PyCausalMemory.record": "($self, cause, effect, time)",
    "PyCausalMemory.query_effect": "($self, cause)",
    "PyCausalMemory.recall_effect": "($self, cause)",
    "PyCausalMemory.query_cause": "($self, effect)",
    "PyCausalMemory.recall_cause": "($self, effect)",
    "PyCausalMemory.query_by_time": "($self, time)",
    "PyCausalMemory.recall_by_time": "($self, time)",
    "PyMultiHopReasoner.add_fact": "($self, fact)",
    "PyMultiHopReasoner.add_link": "($self, a, b)",
    "PyMultiHopReasoner.reason": "($self, query, hops)",
    "PyMultiHopReasoner.reset": "($self)",
    "PyMetacognition.record": "($self, res, coh, acc, context, hash)",
    "PyMetacognition.success_rate": "($self)",
    "PySelfAudit.full_audit": "($self, hv)",
    "PySelfAudit.check_consistency": "($self, h1, h2)",
    "PyOptimizer.apply": "($self, action, delta, reason)",
    "PyOptimizer.rollback": "($self)",
    "PyOptimizer.get": "($self, name)",
    "PyOptimizer.get_params": "($self)",
    "PyQuantumAttentionHead.compute": "($self, query, keys, values)",
    "PyHoloCPUScheduler.store_memory": "($self, target)",
    "PyHoloCPUScheduler.quantum_grover_search": "($self, query, keys, values)",
    "PyHoloCPUScheduler.generate_role": "($self, label)",
    "PyHoloCPUScheduler.dimension": "($self)",
    "PyHoloGenEngine.generate_pixel_geometry": "($self, x, y, frame_id=None)",
    "PyHoloGenEngine.generate_material_mapping": "($self, position, normal, material_id)",
    "PyHoloGenEngine.generate_photon": "($self, position, direction=None, wavelength=None)",
    "PyHoloGenEngine.encode_bvh_node": "($self, min_bounds, max_bounds, left, right)",
    "PyHoloGenEngine.simulate_counterfactual": "($self, root_state, intervention)",
    "PyHoloSwarm.add_agent": "($self, role, r_hv, policy, p_hv, skill, s_hv)",
    "PyHoloSwarm.add_paradox_trap": "($self, names, roles, keys)",
    "PyHoloSwarm.resonate": "($self, role_key, p_guess, _s_guess, max_iter)",
    "PyHoloSwarm.materialize": "($self, probe, threshold)",
    "PyHKVC.store": "($self, key, value, position)",
    "PyHKVC.query": "($self, query_key)",
    "PyHKVC.count": "($self)",
    "PyHKVC.position_score": "($self, position)",
}

ALL = [name for name, _ in FUNCTIONS] + [name for name, _, _ in CLASSES]


def test_all_lists_the_24_names_in_registration_order():
    assert m.__all__ == ALL


def test_module_attributes_are_exactly_the_registered_names():
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__all__"}
    assert set(vars(m)) - standard == set(ALL)
    assert m.__doc__ == ""


def test_second_import_returns_the_same_module():
    first = sys.modules.pop("morvelan_hdc")
    try:
        again = importlib.import_module("morvelan_hdc")
        assert again is first
    finally:
        sys.modules["morvelan_hdc"] = first


@pytest.mark.parametrize("name,signature", FUNCTIONS)
def test_function_signature_and_module(name, signature):
    fn = getattr(m, name)
    assert fn.__text_signature__ == signature
    assert fn.__module__ == "morvelan_hdc"


def test_inspect_and_docs():
    assert list(inspect.signature(m.hdc_permute).parameters) == ["v", "n"]
    assert m.rand_bipolar.__doc__ is None
    assert m.resonance.__doc__ is None
    assert m.hdc_bind.__doc__.startswith("Bind: element-wise multiplication (Patent §Definition 2")
    assert m.hdc_permute.__doc__.endswith("Example: [a,b,c,d] rotated right by 1 → [d,a,b,c]")
    assert "* `dim` — hypervector dimension" in m.hebbian.__doc__
    assert m.hdc_unbind.__doc__.splitlines()[0] == "Unbind: inverse of bind. Given compound=bind(A,B) and key=A,"


@pytest.mark.parametrize("name,signature,members", CLASSES)
def test_class_type_record(name, signature, members):
    cls = getattr(m, name)
    assert cls.__name__ == name
    assert cls.__module__ == "builtins"
    assert cls.__text_signature__ == signature
    # The interpreter lists methods before properties; each kind keeps table order.
    own = [k for k in vars(cls) if not k.startswith("__")]
    is_property = [type(vars(cls)[k]).__name__ == "getset_descriptor" for k in own]
    methods = [k for k, p in zip(own, is_property) if not p]
    properties = [k for k, p in zip(own, is_property) if p]
    assert sorted(own) == sorted(members)
    assert methods == [k for k in members if k in methods]
    assert properties == [k for k in members if k in properties]
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


def test_class_doc_bodies():
    assert m.PyHoloSwarm.__doc__ == (
        "HoloSwarm: An algebraic multi-agent coordination engine.\n"
        "Superimposes factorized agent capabilities (Role ⊗ Policy ⊗ Skill)\n"
        "into a single Hypervector and uses a Resonator Network to pull components.")
    for name, _, _ in CLASSES:
        if name != "PyHoloSwarm":
            assert not getattr(m, name).__doc__


@pytest.mark.parametrize("qualified,signature", sorted(METHOD_SIGNATURES.items()))
def test_method_text_signatures(qualified, signature):
    cls, meth = qualified.split(".")
    assert getattr(getattr(m, cls), meth).__text_signature__ == signature


def test_no_argument_method_rejects_an_argument():
    with pytest.raises(TypeError, match=r"count\(\) takes no arguments \(1 given\)"):
        m.PyHKVC(4).count(1)
