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
# ---- end free functions: encoders and diagnostics ----

# ---- PyCausalMemory ----
# ---- end PyCausalMemory ----

# ---- PyMultiHopReasoner ----
# ---- end PyMultiHopReasoner ----

# ---- PyMetacognition ----
# ---- end PyMetacognition ----

# ---- PySelfAudit ----
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
# ---- end PyQuantumAttentionHead ----

# ---- PyHoloCPUScheduler ----
# ---- end PyHoloCPUScheduler ----

# ---- PyHoloGenEngine ----
# ---- end PyHoloGenEngine ----

# ---- PyHoloSwarm ----
# ---- end PyHoloSwarm ----

# ---- PyHKVC ----
# ---- end PyHKVC ----
