"""Calls the stub must accept, and calls it must refuse."""
from typing import Optional

import numpy as np

import morvelan_hdc as hdc

v: list[float] = hdc.hv_hash_string("a", 8)
score: float = hdc.resonance(np.ones(8, dtype=np.float32), (1, 2.5, np.float64(3)))
bound: list[float] = hdc.hdc_bind(b"\x01\x02", range(2))
pair: tuple[str, float] = hdc.PyHKVC(8).query("k")
effect: Optional[list[float]] = hdc.PyCausalMemory(8).query_effect(v)
hops: list[tuple[int, float]] = hdc.PyMultiHopReasoner(8).reason(v, 2)
mixed: list[float] = hdc.PyQuantumAttentionHead(8, 1).compute(v, np.ones((2, 8)), [v, v])
photon: list[int] = hdc.PyHoloGenEngine(32).generate_photon("red")
ray: list[int] = hdc.PyHoloGenEngine(32).generate_photon((0, 0, 0), (1, 0, 0), 650)
found: tuple[str, str, str, float] = hdc.PyHoloSwarm(8).resonate("r", v, [], 1)
swarm = hdc.PyHoloSwarm(8)
swarm.swarm_vector = (1.0, 2.0)
state: list[float] = swarm.swarm_vector
param: Optional[float] = hdc.PyOptimizer().get("momentum")
params: dict[str, float] = hdc.PyOptimizer().get_params()
audit: tuple[float, bool, list[str]] = hdc.PySelfAudit(8).full_audit(v)
advice: list[tuple[str, float, str]] = hdc.PyMetacognition(8).recommend()
names: list[str] = hdc.__all__

hdc.resonance("ab", v)  # type: ignore[arg-type]
hdc.resonance({1.0, 2.0}, v)  # type: ignore[arg-type]
hdc.resonance([None], v)  # type: ignore[list-item]
text: str = hdc.resonance(v, v)  # type: ignore[assignment]
hdc.PyHKVC(8).store("k", 1, 0)  # type: ignore[arg-type]
hdc.PyHKVC(8).count(1)  # type: ignore[call-arg]
hdc.PyHoloSwarm(8).dim = 3  # type: ignore[misc]
hdc.PyHoloGenEngine(32).encode_bvh_node((0, 0, 0), (1, 1, 1), [1.5], [1])  # type: ignore[list-item]


class Derived(hdc.PyHKVC):  # type: ignore[misc]
    pass
