"""Exact, deterministic hyperdimensional computing over 32-bit float hypervectors.

Every float goes in rounded to 32 bits and comes out widened exactly (0.1 reads back as
0.10000000149011612); sums run in index order, so results are the same bits in every
process. Nine of the ten classes are bound to the thread that created the instance
(all but PyHoloSwarm); a call from another thread raises PanicException, which derives
from BaseException and so escapes ``except Exception``.
"""

from typing import Optional, Protocol, Sequence, SupportsFloat, SupportsIndex, Union, final

__all__ = [
    "rand_bipolar",
    "resonance",
    "hdc_bind",
    "hdc_bundle",
    "hdc_unbind",
    "hebbian",
    "hdc_permute",
    "normalise_bipolar",
    "hv_hash",
    "hv_hash_string",
    "diagnostic_role",
    "encode_system_state",
    "bundle_diagnostics",
    "extract_system_state",
    "PyCausalMemory",
    "PyMultiHopReasoner",
    "PyMetacognition",
    "PySelfAudit",
    "PyOptimizer",
    "PyQuantumAttentionHead",
    "PyHoloCPUScheduler",
    "PyHoloGenEngine",
    "PyHoloSwarm",
    "PyHKVC",
]

# A number the module rounds to a 32-bit float: float, int, or anything with
# __float__ or __index__ (numpy scalars included).
_Float = Union[SupportsFloat, SupportsIndex]

# A hypervector argument: any sequence of numbers other than str, read by length and
# index. Lists and tuples qualify, and so do 1-D float32/float64 numpy arrays (which
# typing's Sequence would refuse). Results are always new list[float].
class _Vector(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Float: ...

# A list of hypervectors (a list of lists, or a 2-D array).
class _Vectors(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Vector: ...

# A list of small integers (each converted to a signed byte, -128..127).
class _Bytes(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsIndex: ...

# Exactly three numbers (a point, a direction, a bound); ValueError for another length.
_Float3 = _Vector

# ---- free functions: algebra ----
def resonance(a: _Vector, b: _Vector) -> float:
    """Similarity (dot(a, b) over the common prefix / len(a) + 1) / 2 in 32-bit floats:
    1.0 for identical bipolar vectors, 0.0 for opposite ones, about 0.5 for unrelated ones.
    Not clamped; NaN when a is empty."""

def hdc_bind(a: _Vector, b: _Vector) -> list[float]:
    """Bind: element-wise product over the common length. Self-inverse on bipolar vectors:
    hdc_bind(hdc_bind(a, b), a) == b."""

def hdc_bundle(a: _Vector, b: _Vector) -> list[float]:
    """Bundle two vectors: sign(a[i] + b[i]) over the common length, +1.0, -1.0, or 0.0
    where the sum is zero or NaN (two opposite bipolar entries give 0.0). To bundle many
    vectors, sum them first and take the sign once: hdc_bundle(total, zeros)."""

def hdc_unbind(compound: _Vector, key: _Vector) -> list[float]:
    """Unbind: key[i] * compound[i] over the common length, the same product as hdc_bind;
    hdc_unbind(hdc_bind(a, b), a) == b for bipolar a."""

def hebbian(weights: _Vector, pre: _Vector, post: _Vector, lr: _Float, dim: SupportsIndex) -> list[float]:
    """Sparse Hebbian update of a dim x dim matrix flattened row-major: the cell (i, j) becomes
    W[i*dim + j] + post[j] * (pre[i] * lr) on the diagonal and where (i + j) % 7 == 0, for
    i < len(pre), j < len(post) and cells inside len(weights). Returns all of W, updated."""

def hdc_permute(v: _Vector, n: SupportsIndex) -> list[float]:
    """Rotate right by n (a signed 32-bit int, taken modulo len(v)): element i moves to
    (i + n) % len(v); a negative n rotates left."""

def normalise_bipolar(v: _Vector) -> list[float]:
    """Divide every element by the largest magnitude (NaN skipped, at least 1e-9), so the
    largest becomes exactly +-1.0; an all-zero vector stays zero."""
# ---- end free functions: algebra ----

# ---- free functions: encoders and diagnostics ----
def rand_bipolar(dim: SupportsIndex) -> list[float]:
    """`dim` random +1.0/-1.0 values from the calling thread's entropy-keyed generator
    (a forked child never continues its parent's stream). The one nondeterministic function."""

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
@final
class PyCausalMemory:
    """Cause -> effect relations stamped with time vectors, indexed by sign signature,
    with a role-bound trace as holographic fallback. Bound to its creating thread."""
    def __new__(cls, dim: SupportsIndex) -> "PyCausalMemory":
        """An empty memory whose trace and roles have `dim` components."""
    def store(self, cause: _Vector, effect: _Vector, time: _Vector) -> None:
        """Record a causal relationship. Each vector needs at least `dim` components
        (ValueError otherwise, nothing recorded); longer ones are kept whole."""
    def record(self, cause: _Vector, effect: _Vector, time: _Vector) -> None:
        """Alias of `store()`, matching the `CausalMemory` interface."""
    def query_effect(self, cause: _Vector) -> Optional[list[float]]:
        """Given a cause, retrieve the predicted effect: the first recorded effect among the stored
        causes with the same sign signature and a positive normalised dot product; else the best
        positive guess of the holographic trace; None when empty or when nothing scores above 0."""
    def recall_effect(self, cause: _Vector) -> Optional[list[float]]:
        """Alias of `query_effect()`, matching the `CausalMemory` interface."""
    def query_cause(self, effect: _Vector) -> list[list[float]]:
        """Given an effect, retrieve all known causes, best first (ties in recording order)."""
    def recall_cause(self, effect: _Vector) -> list[list[float]]:
        """Alias of `query_cause()`, matching the `CausalMemory` interface."""
    def query_by_time(self, time: _Vector) -> Optional[list[float]]:
        """Given a time-role hypervector, retrieve the effect at that time (the best positive
        match among the recorded times, else the trace's best guess; None if nothing scores above 0)."""
    def recall_by_time(self, time: _Vector) -> Optional[list[float]]:
        """Alias of `query_by_time()`, matching the `CausalMemory` interface."""
# ---- end PyCausalMemory ----

# ---- PyMultiHopReasoner ----
@final
class PyMultiHopReasoner:
    """Facts and undirected links between fact indices, queried breadth-first by resonance.
    Bound to its creating thread."""
    def __new__(cls, dim: SupportsIndex) -> "PyMultiHopReasoner":
        """An empty reasoner; `dim` is kept, facts and queries of any length are accepted."""
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
@final
class PyMetacognition:
    """A bounded history (10000) of outcomes, its success rate and average resonance,
    and the parameter changes it recommends. Bound to its creating thread."""
    def __new__(cls, dim: SupportsIndex) -> "PyMetacognition":
        """An empty recorder whose contexts must have exactly `dim` elements."""
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
@final
class PySelfAudit:
    """Checks hypervectors for near-zero drift and for drift from the vectors audited before.
    Bound to its creating thread."""
    def __new__(cls, dim: SupportsIndex) -> "PySelfAudit":
        """An audit with an empty history; `dim` sets the near-zero limit (dim // 10 elements)."""
    def full_audit(self, hv: _Vector) -> tuple[float, bool, list[str]]:
        """Full audit: run all consistency checks on a hypervector.
        Returns (score, passed, issues_list)"""
    def check_consistency(self, h1: _Vector, h2: _Vector) -> tuple[float, bool, list[str]]:
        """Check consistency between two hypervectors.
        Returns (score, passed, issues_list) where score is resonance ∈ [0,1].
        Passed if score >= 0.7."""
# ---- end PySelfAudit ----

# ---- PyOptimizer ----
@final
class PyOptimizer:
    """Seven cognitive parameters changed only through named, bounded actions, with rollback.
    Bound to its creating thread."""
    def __new__(cls) -> "PyOptimizer":
        """An optimizer with the initial parameters and no snapshots."""
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
        """All seven parameters by name (key order unspecified)."""
# ---- end PyOptimizer ----

# ---- PyQuantumAttentionHead ----
@final
class PyQuantumAttentionHead:
    """Mixes value vectors by the weights max(2 s - 1, 0) of each key's similarity s to the query.
    Bound to its creating thread."""
    def __new__(cls, dim: SupportsIndex, nqubits: SupportsIndex) -> "PyQuantumAttentionHead":
        """A head whose output has `dim` floats; `nqubits` is kept but does not affect results."""
    def compute(self, query: _Vector, keys: _Vectors, values: _Vectors) -> list[float]:
        """A vector of dim floats (with one key: the value itself, unchanged).

        Raises ValueError "assertion failed: !keys.is_empty() && keys.len() == values.len()"
        for no keys or unequal counts of keys and values."""
# ---- end PyQuantumAttentionHead ----

# ---- PyHoloCPUScheduler ----
@final
class PyHoloCPUScheduler:
    """A world-vector memory over text concepts with a saturating state, a feedback path into
    an embedded optimizer and metacognition recorder, a role generator and an attention search.
    Bound to its creating thread."""
    def __new__(cls, dim: SupportsIndex, quantum_capacity: SupportsIndex) -> "PyHoloCPUScheduler":
        """A scheduler with an empty world vector, a state of `dim` ones and learning rate 0.5."""
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
    def quantum_grover_search(self, query: _Vector, keys: _Vectors, values: _Vectors) -> list[float]:
        """The attention head's compute over these keys and values (see PyQuantumAttentionHead)."""
    def run_audit_integrity_check(self) -> bool:
        """True when dim and the quantum capacity are both non-zero."""
    def generate_role(self, label: str) -> list[float]:
        """A deterministic bipolar role vector of dim entries for the label."""
# ---- end PyHoloCPUScheduler ----

# ---- PyHoloGenEngine ----
@final
class PyHoloGenEngine:
    """Deterministic bipolar byte encodings of rendering structure, all of length `dim`.

    The same arguments give the same lists of ints in every process. Bound to its creating thread."""
    def __new__(cls, dim: SupportsIndex) -> "PyHoloGenEngine":
        """An engine with its role table built for `dim`."""
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
@final
class PyHoloSwarm:
    """HoloSwarm: An algebraic multi-agent coordination engine.
    Superimposes factorized agent capabilities (Role ⊗ Policy ⊗ Skill)
    into a single Hypervector and uses a Resonator Network to pull components.

    Usable from any thread (the only class that is)."""
    def __new__(cls, dim: SupportsIndex) -> "PyHoloSwarm":
        """An empty swarm whose vector is `dim` zeros."""
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
    def add_paradox_trap(self, names: Sequence[str], roles: _Vectors, keys: _Vectors) -> None:
        """Add the closed cycle of agents (names[i], roles[i], "PARADOX_LINK", keys[i], names[i+1],
        roles[i+1]), the last pointing back to the first. Fewer than two names: nothing happens.
        ValueError (nothing added) when roles or keys holds fewer vectors than names; names must be
        a list of str, not one str (TypeError)."""
    def resonate(self, role_key: str, p_guess: _Vector, _s_guess: _Vector,
                 max_iter: SupportsIndex) -> tuple[str, str, str, float]:
        """(role, policy, skill, policy match score) recovered for role_key after exactly max_iter
        alternating skill/policy cleanups starting from p_guess; _s_guess is converted, not used.
        A superposition of candidate policies makes a good p_guess. An unknown role_key uses
        agent 0 and a zero role; ("none", "none", "none", 0.0) for an empty swarm."""
    def materialize(self, probe: _Vector, threshold: _Float) -> list[tuple[str, float]]:
        """(role name, score) for every agent whose role vector scores strictly above threshold
        against probe, (dot / len(probe) + 1) / 2, highest first, ties in agent order."""
# ---- end PyHoloSwarm ----

# ---- PyHKVC ----
@final
class PyHKVC:
    """String-to-string cache held exactly (phase vectors, hash index) and holographically
    (complex accumulators of unit phasors). Bound to its creating thread."""
    def __new__(cls, dim: SupportsIndex) -> "PyHKVC":
        """An empty cache with accumulators of `dim` complex components."""
    def store(self, key: str, value: str, position: SupportsIndex) -> None:
        """Store a key-value pair; storing a key again adds a further entry."""
    def query(self, query_key: str) -> tuple[str, float]:
        """(best_value, best_score): the earliest exact key match, else the best holographic recall;
        the score is the value's holographic strength (about 1/count), clamped at 0.0;
        ("", 0.0) while empty."""
    def count(self) -> int:
        """Number of stored entries"""
    def position_score(self, position: SupportsIndex) -> float:
        """Position accumulator probed with the phase pattern of `position`, divided by the count
        (0.0 while empty; not clamped, and not specific to the positions stored)."""
    def accumulator_magnitude(self) -> list[float]:
        """Export state as raw accumulator magnitudes for inspection"""
# ---- end PyHKVC ----
