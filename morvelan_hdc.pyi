"""Exact, deterministic hyperdimensional computing over 32-bit float hypervectors."""

from typing import Optional, Sequence, SupportsFloat, SupportsIndex, Union

__all__: list[str]

_Float = Union[SupportsFloat, SupportsIndex]
_Vector = Sequence[_Float]

# ---- free functions: algebra ----
def resonance(a: _Vector, b: _Vector) -> float:
    """Similarity (dot over the common prefix / len(a) + 1) / 2; 1.0 identical, 0.0 opposite."""

def hdc_bind(a: _Vector, b: _Vector) -> list[float]:
    """Bind: element-wise multiplication (Patent §Definition 2 — multiplicative binding).
    For bipolar: same→+1, different→-1. Self-inverse: bind(bind(A,B), A) ≈ B.
    Generalizes correctly to non-bipolar superpositions (World Vector, bundles)."""

def hdc_bundle(a: _Vector, b: _Vector) -> list[float]:
    """Bundle: majority-vote superposition (Patent MORVELAN-2026-001 §Definition 3).
    ⊕({v_i}) = sign(Σ v_i). For two inputs: if equal→that value, if unequal→sign of sum.
    This preserves signal for arbitrary N items when iterated."""

def hdc_unbind(compound: _Vector, key: _Vector) -> list[float]:
    """Unbind: inverse of bind; returns key[i] * compound[i] over the common length."""

def hebbian(weights: _Vector, pre: _Vector, post: _Vector, lr: _Float, dim: SupportsIndex) -> list[float]:
    """Hebbian weight update: W' = W + η · (pre ⊗ post) on the diagonal and the cells with (i + j) % 7 == 0."""

def hdc_permute(v: _Vector, n: SupportsIndex) -> list[float]:
    """Permute a hypervector by right-cyclic rotation: element i moves to (i + n) % len(v)."""

def normalise_bipolar(v: _Vector) -> list[float]:
    """Divide every element by the largest magnitude (NaN skipped, at least 1e-9)."""
# ---- end free functions: algebra ----

# ---- free functions: encoders and diagnostics ----
def rand_bipolar(dim: SupportsIndex) -> list[float]:
    """`dim` random +1.0/-1.0 values from the calling thread's entropy-keyed generator
    (a forked child never continues its parent's stream)."""

def hv_hash(v: _Vector) -> int:
    """Sign signature: bit i is set when float32(v[i]) > 0, for i < 64; later elements are ignored."""

def hv_hash_string(s: str, dim: SupportsIndex) -> list[float]:
    """Deterministic bipolar vector of a string: SipHash-1-3 of its UTF-8 bytes and 0xFF seeds a
    64-bit LCG whose top bit gives each element; dim n is a prefix of dim n + k."""

def diagnostic_role(dim: SupportsIndex) -> list[float]:
    """The fixed bipolar role under which diagnostics are hidden in a payload."""

def encode_system_state(dim: SupportsIndex, ram_pct: _Float, cpu_pct: _Float,
                        error_count: SupportsIndex, latency_us: SupportsIndex) -> list[float]:
    """Sum of the four figures' value vectors bound to their role vectors; elements in
    {-4, -2, 0, 2, 4}. Each figure is clamped to [0, 1e6], scaled by 1000 in float32,
    truncated and taken modulo 256. error_count and latency_us are 0 .. 2**32 - 1."""

def bundle_diagnostics(payload: _Vector, ram_pct: _Float, cpu_pct: _Float,
                       error_count: SupportsIndex, latency_us: SupportsIndex) -> list[float]:
    """payload + state * diagnostic_role(len(payload)), element by element in float32 (no sign step)."""

def extract_system_state(bundled: _Vector) -> list[float]:
    """diagnostic_role(len(bundled)) * bundled: the encoded state plus the payload scrambled by the role."""
# ---- end free functions: encoders and diagnostics ----

# ---- PyCausalMemory ----
class PyCausalMemory:
    """Cause -> effect relations stamped with time vectors, indexed by sign signature,
    with a role-bound trace as holographic fallback."""
    def __new__(cls, dim: SupportsIndex) -> "PyCausalMemory": ...
    def store(self, cause: _Vector, effect: _Vector, time: _Vector) -> None:
        """Record a causal relationship. Each vector needs at least `dim` components
        (ValueError otherwise, nothing recorded); longer ones are kept whole."""
    def record(self, cause: _Vector, effect: _Vector, time: _Vector) -> None:
        """Alias of `store()`, matching the `CausalMemory` interface."""
    def query_effect(self, cause: _Vector) -> Optional[list[float]]:
        """Given a cause, retrieve the predicted effect: the first recorded effect for this cause, if any."""
    def recall_effect(self, cause: _Vector) -> Optional[list[float]]:
        """Alias of `query_effect()`, matching the `CausalMemory` interface."""
    def query_cause(self, effect: _Vector) -> list[list[float]]:
        """Given an effect, retrieve all known causes, best first (ties in recording order)."""
    def recall_cause(self, effect: _Vector) -> list[list[float]]:
        """Alias of `query_cause()`, matching the `CausalMemory` interface."""
    def query_by_time(self, time: _Vector) -> Optional[list[float]]:
        """Given a time-role hypervector, retrieve the effect at that time."""
    def recall_by_time(self, time: _Vector) -> Optional[list[float]]:
        """Alias of `query_by_time()`, matching the `CausalMemory` interface."""
# ---- end PyCausalMemory ----

# ---- PyMultiHopReasoner ----
class PyMultiHopReasoner:
    """Facts and undirected links between fact indices, queried breadth-first by resonance."""
    def __new__(cls, dim: SupportsIndex) -> "PyMultiHopReasoner": ...
    def add_fact(self, fact: _Vector) -> int:
        """Register a fact and return its index."""
    def add_link(self, a: SupportsIndex, b: SupportsIndex) -> None:
        """Register a link between two fact indices (undirected association); checked only when followed."""
    def reason(self, query: _Vector, hops: SupportsIndex) -> list[tuple[int, float]]:
        """Facts with resonance above 0.6 (hop 0), then facts reached through links for up to `hops` hops,
        as (fact_index, resonance_score) best first; NaN scores last. IndexError if a followed link
        names a fact that does not exist."""
    def reset(self) -> None:
        """Reset all facts and associations."""
# ---- end PyMultiHopReasoner ----

# ---- PyMetacognition ----
class PyMetacognition:
    """A bounded history (10000) of outcomes, its success rate and average resonance,
    and the parameter changes it recommends."""
    def __new__(cls, dim: SupportsIndex) -> "PyMetacognition": ...
    def record(self, res: _Float, coh: _Float, acc: _Float, context: _Vector, hash: SupportsIndex) -> None:
        """Keep one outcome (oldest evicted beyond 10000). A success is res > 0.5 and acc > 0.5.

        Raises ValueError when len(context) != dim; nothing is recorded then."""
    def success_rate(self) -> float:
        """Successes / records in 32-bit floats; 0.0 with no records."""
    def avg_resonance(self) -> float:
        """Mean of res (summed in record order, 32-bit); 0.0 with no records."""
    def recommend(self) -> list[tuple[str, float, str]]:
        """(action, delta, reason) tuples: a low success rate asks for learning rate and attention,
        a high one for momentum; a low average resonance for a smaller identity_lr."""
# ---- end PyMetacognition ----

# ---- PySelfAudit ----
class PySelfAudit:
    """Checks hypervectors for near-zero drift and for drift from the vectors audited before."""
    def __new__(cls, dim: SupportsIndex) -> "PySelfAudit": ...
    def full_audit(self, hv: _Vector) -> tuple[float, bool, list[str]]:
        """Full audit: run all consistency checks on a hypervector.
        Returns (score, passed, issues_list)"""
    def check_consistency(self, h1: _Vector, h2: _Vector) -> tuple[float, bool, list[str]]:
        """Check consistency between two hypervectors.
        Returns (score, passed, issues_list) where score is resonance ∈ [0,1].
        Passed if score >= 0.7."""
# ---- end PySelfAudit ----

# ---- PyOptimizer ----
class PyOptimizer:
    """Seven cognitive parameters changed only through named, bounded actions, with rollback."""
    def __new__(cls) -> "PyOptimizer": ...
    def apply(self, action: str, delta: _Float, reason: str) -> None:
        """Snapshot the parameters, then apply the named action (unknown actions change nothing)."""
    def rollback(self) -> None:
        """Restore the newest snapshot (up to 100); nothing when there is none."""
    def get(self, name: str) -> Optional[float]:
        """Get a cognitive parameter value by name.

        Valid names: "learning_rate", "attention_weight", "momentum", "excitation_bias",
        "inhibition_bias", "identity_lr", "exploration_rate".

        Returns None if the parameter is not set."""
    def get_params(self) -> dict[str, float]:
        """All seven parameters by name."""
# ---- end PyOptimizer ----

# ---- PyQuantumAttentionHead ----
class PyQuantumAttentionHead:
    """Mixes value vectors by the weights max(2 s - 1, 0) of each key's similarity s to the query."""
    def __new__(cls, dim: SupportsIndex, nqubits: SupportsIndex) -> "PyQuantumAttentionHead": ...
    def compute(self, query: _Vector, keys: Sequence[_Vector], values: Sequence[_Vector]) -> list[float]:
        """A vector of dim floats (with one key: the value itself, unchanged).

        Raises ValueError "assertion failed: !keys.is_empty() && keys.len() == values.len()"
        for no keys or unequal counts of keys and values."""
# ---- end PyQuantumAttentionHead ----

# ---- PyHoloCPUScheduler ----
class PyHoloCPUScheduler:
    """A world-vector memory over text concepts with a saturating state, a feedback path into
    an embedded optimizer and metacognition recorder, a role generator and an attention search."""
    def __new__(cls, dim: SupportsIndex, quantum_capacity: SupportsIndex) -> "PyHoloCPUScheduler": ...
    @property
    def dim(self) -> int:
        """The hypervector dimension."""
    @property
    def qc(self) -> int:
        """The quantum capacity."""
    def dimension(self) -> int:
        """The hypervector dimension (as the dim property)."""
    def quantum_capacity(self) -> int:
        """The quantum capacity (as the qc property)."""
    def store_memory(self, target: str) -> None:
        """Store a concept via RSM (Patent §6.2):
        key_hv = encode(target), value_hv = encode(target)
        WV ⊕= bind(key_hv, value_hv)"""
    def recall(self, target: str) -> bool:
        """O(1) holographic associative recall (Patent §6.2):
        query_hv = encode(target), recalled = WV ⊗ query_hv
        Then find best match in value codebook via resonance"""
    def export_holographic_state(self) -> list[float]:
        """A copy of the saturating state (dim values, each -1.0, 0.0 or 1.0)."""
    def process_feedback(self, signal: _Float) -> None:
        """Record the signal and move the learning rate by signal - 0.5, within [0, 1]."""
    def feedback_strength(self) -> float:
        """The embedded optimizer's learning rate."""
    def quantum_grover_search(self, query: _Vector, keys: Sequence[_Vector], values: Sequence[_Vector]) -> list[float]:
        """The attention head's compute over these keys and values (see PyQuantumAttentionHead)."""
    def run_audit_integrity_check(self) -> bool:
        """True when dim and the quantum capacity are both non-zero."""
    def generate_role(self, label: str) -> list[float]:
        """A deterministic bipolar role vector of dim entries for the label."""
# ---- end PyHoloCPUScheduler ----

# ---- PyHoloGenEngine ----
_Float3 = Sequence[_Float]
_Bytes = Sequence[SupportsIndex]

class PyHoloGenEngine:
    """Deterministic bipolar byte encodings of rendering structure, all of length `dim`.

    The same arguments give the same lists of ints in every process."""
    def __new__(cls, dim: SupportsIndex) -> "PyHoloGenEngine": ...
    def structural_dimension(self) -> int:
        """The dimension fixed at construction."""
    def generate_pixel_geometry(self, x: SupportsIndex, y: SupportsIndex,
                                frame_id: Optional[SupportsIndex] = None) -> list[int]:
        """Frame vector bound with the encodings of x and y (x, y unsigned 32-bit; frame_id 64-bit, default 0).
        Symmetric in x and y."""
    def generate_material_mapping(self, position: _Float3, normal: _Float3,
                                  material_id: SupportsIndex) -> list[int]:
        """Position bound with normal (three floats each) bound with the material number."""
    def generate_photon(self, position: Union[str, _Float3], direction: Optional[_Float3] = None,
                        wavelength: Optional[_Float] = None) -> list[int]:
        """A photon from a colour name (red, orange, amber, yellow, white, green, cyan, blue, violet, purple;
        white space trimmed, case ignored) or from position, direction and wavelength, all required then.
        Raises ValueError for an unknown colour and for 1 <= dim <= 31."""
    def encode_bvh_node(self, min_bounds: _Float3, max_bounds: _Float3, left: _Bytes,
                        right: _Bytes) -> list[int]:
        """Box of the two bounds bound with left⊗L and right⊗R; left and right must have `dim`
        bytes (-128..127), else ValueError. Products wrap modulo 256."""
    def simulate_counterfactual(self, root_state: object, intervention: object) -> list[int]:
        """root_state bound with intervention. Each is used as a byte list if it is one, otherwise
        its str() is encoded at `dim`; the two lengths must agree, else ValueError."""
# ---- end PyHoloGenEngine ----

# ---- PyHoloSwarm ----
class PyHoloSwarm:
    """HoloSwarm: An algebraic multi-agent coordination engine.
    Superimposes factorized agent capabilities (Role ⊗ Policy ⊗ Skill)
    into a single Hypervector and uses a Resonator Network to pull components.

    Usable from any thread (the only class that is)."""
    def __new__(cls, dim: SupportsIndex) -> "PyHoloSwarm": ...
    @property
    def dim(self) -> int:
        """The dimension; also the modulus of the role shift."""
    @property
    def swarm_vector(self) -> list[float]:
        """A fresh copy of the superposition of all rotated agent bindings. Assigning replaces it
        with any sequence of floats of any length; it cannot be deleted."""
    @swarm_vector.setter
    def swarm_vector(self, v: _Vector) -> None: ...
    def get_swarm_vector(self) -> list[float]:
        """Method alias for the `swarm_vector` property, matching the public docs
        and type stubs."""
    def add_agent(self, role: str, r_hv: _Vector, policy: str, p_hv: _Vector, skill: str,
                  s_hv: _Vector) -> None:
        """Add a factorized agent to the swarm: Role ⊗ Policy ⊗ Skill
        Uses ASS (Accumulative Spectral Synthesis) to preserve SNR across large swarms.

        The binding r_hv * (p_hv * s_hv) (over the shortest length L) is rotated right by
        string_hash(role) % dim within its own length and added over min(dim, L, len(swarm_vector))."""
    def add_paradox_trap(self, names: Sequence[str], roles: Sequence[_Vector],
                         keys: Sequence[_Vector]) -> None:
        """Add the closed cycle of agents (names[i], roles[i], "PARADOX_LINK", keys[i], names[i+1],
        roles[i+1]), the last pointing back to the first. Fewer than two names: nothing happens.
        ValueError (nothing added) when roles or keys holds fewer vectors than names."""
    def resonate(self, role_key: str, p_guess: _Vector, _s_guess: _Vector,
                 max_iter: SupportsIndex) -> tuple[str, str, str, float]:
        """(role, policy, skill, policy match score) recovered for role_key after exactly max_iter
        alternating skill/policy cleanups starting from p_guess; _s_guess is converted, not used.
        An unknown role_key uses agent 0 and a zero role; ("none", "none", "none", 0.0) for an
        empty swarm."""
    def materialize(self, probe: _Vector, threshold: _Float) -> list[tuple[str, float]]:
        """(role name, score) for every agent whose role vector scores strictly above threshold
        against probe, (dot / len(probe) + 1) / 2, highest first, ties in agent order."""
# ---- end PyHoloSwarm ----

# ---- PyHKVC ----
class PyHKVC:
    """String-to-string cache held exactly (phase vectors, hash index) and holographically
    (complex accumulators of unit phasors)."""
    def __new__(cls, dim: SupportsIndex) -> "PyHKVC": ...
    def store(self, key: str, value: str, position: SupportsIndex) -> None:
        """Store a key-value pair; storing a key again adds a further entry."""
    def query(self, query_key: str) -> tuple[str, float]:
        """(best_value, best_score): the earliest exact key match, else the best holographic recall;
        ("", 0.0) while empty."""
    def count(self) -> int:
        """Number of stored entries"""
    def position_score(self, position: SupportsIndex) -> float:
        """Position accumulator probed with the phase pattern of `position`, divided by the count."""
    def accumulator_magnitude(self) -> list[float]:
        """Export state as raw accumulator magnitudes for inspection"""
# ---- end PyHKVC ----
