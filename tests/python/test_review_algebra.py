"""Review of the element-wise algebra, the hashes and the diagnostics: literal
float32 transcriptions of each rule, compared bit for bit on long vectors of the
kinds the vectorised paths treat specially (bipolar, small integers, sums that
pass 2^24, specials dropped into an otherwise exact vector, signed zeros)."""
import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m

F = np.float32
RANGE_MSG = "out of range integral type conversion attempted"
SPECIALS = [float("nan"), float("inf"), -float("inf"), 0.5, -0.0, 1e30, 3e-39, 2.0**24, -7.0]


def f32_bits(xs):
    return struct.pack(f"<{len(xs)}f", *xs)


def same_values(got, want):
    """Bit-identical, except that a NaN matches any NaN (which NaN an operation on two
    NaNs returns is the processor's choice, not a rule of the algebra)."""
    if len(got) != len(want):
        return False
    for x, y in zip(got, want):
        if math.isnan(x) and math.isnan(y):
            continue
        if struct.pack("<f", x) != struct.pack("<f", y):
            return False
    return True


def seq_sum(products):
    """0.0 + p[0] + p[1] + ... in float32, strictly left to right (accumulate is sequential)."""
    terms = np.concatenate([np.zeros(1, F), np.asarray(products, F)])
    return np.add.accumulate(terms, dtype=F)[-1]


def model_resonance(a, b):
    n = min(len(a), len(b))
    with np.errstate(all="ignore"):
        p = np.asarray(a[:n], F) * np.asarray(b[:n], F)
        d = seq_sum(p)
        return float((F(d / F(len(a))) + F(1.0)) * F(0.5))


def vector(rng, kind, n):
    """A float list of one of the kinds the dot kernels distinguish."""
    if kind == "bipolar":
        v = rng.choice([-1.0, 1.0], n)
    elif kind == "small":
        v = rng.integers(-3, 4, n).astype(float)
    elif kind == "large":  # integer products whose running sum passes 2^24
        v = rng.integers(-4096, 4097, n).astype(float)
    elif kind == "general":
        v = rng.standard_normal(n).astype(F).astype(float)
    elif kind == "negzero":
        v = np.where(rng.random(n) < 0.5, -0.0, 0.0)
    else:  # bipolar with a few specials dropped in
        v = rng.choice([-1.0, 1.0], n)
        for _ in range(int(rng.integers(1, 4))):
            if n:
                v[int(rng.integers(0, n))] = SPECIALS[int(rng.integers(0, len(SPECIALS)))]
    return [float(x) for x in v]


KINDS = ["bipolar", "small", "large", "general", "negzero", "specials"]
LENGTHS = st.one_of(st.sampled_from([0, 1, 31, 32, 33, 63, 64, 1023, 1024, 1025, 2047, 2048, 2049]),
                    st.integers(0, 3000))


# ---- resonance and the element-wise products over long vectors ----------------------

@settings(max_examples=100, deadline=None)
@given(st.sampled_from(KINDS), st.sampled_from(KINDS), LENGTHS, st.integers(-40, 40),
       st.integers(0, 2**32 - 1))
def test_resonance_is_the_sequential_f32_sum_on_long_vectors(ka, kb, n, extra, seed):
    rng = np.random.default_rng(seed)
    a = vector(rng, ka, n)
    b = vector(rng, kb, max(0, n + extra))
    got = m.resonance(a, b)
    want = model_resonance(a, b)
    assert same_values([got], [want]), (got, want)


def test_resonance_sum_order_is_visible_beyond_2_to_24():
    # 2^24 + 1 is lost when added to 2^24 first but kept when the ones add up first.
    a = [2.0**24] + [1.0] * 40 + [-(2.0**24)]
    b = [1.0] * len(a)
    assert m.resonance(a, b) == model_resonance(a, b) == float((F(0.0) / F(42) + F(1)) * F(0.5))
    b2 = list(reversed(a))
    assert m.resonance(b2, [1.0] * 42) == model_resonance(b2, [1.0] * 42)


@settings(max_examples=60, deadline=None)
@given(st.sampled_from(KINDS), st.sampled_from(KINDS), LENGTHS, st.integers(-5, 5),
       st.integers(0, 2**32 - 1))
def test_bind_unbind_bundle_on_long_vectors(ka, kb, n, extra, seed):
    rng = np.random.default_rng(seed)
    a = vector(rng, ka, n)
    b = vector(rng, kb, max(0, n + extra))
    k = min(len(a), len(b))
    with np.errstate(all="ignore"):
        fa, fb = np.asarray(a[:k], F), np.asarray(b[:k], F)
        prod = [float(x) for x in fa * fb]
        s = fa + fb
    bundle = [1.0 if x > 0 else -1.0 if x < 0 else 0.0 for x in s]
    assert same_values(m.hdc_bind(a, b), prod)
    assert same_values(m.hdc_unbind(a, b), prod)
    assert f32_bits(m.hdc_bundle(a, b)) == f32_bits(bundle)  # zero of either sign and NaN give +0.0


# ---- permute and normalise ---------------------------------------------------------

def model_permute(v, n):
    d = len(v)
    if d == 0:
        return []
    r = abs(n) % d
    r = -r if n < 0 else r          # remainder with the sign of the dividend
    k = (r + d) % d
    out = [None] * d
    for i, x in enumerate(v):
        out[(i + k) % d] = x
    return out


@settings(max_examples=60, deadline=None)
@given(st.lists(st.floats(width=32, allow_nan=False), max_size=40),
       st.one_of(st.integers(-2**31, 2**31 - 1), st.integers(-100, 100)))
def test_permute_matches_the_rotation_rule(v, n):
    assert f32_bits(m.hdc_permute(v, n)) == f32_bits(model_permute(v, n))
    assert m.hdc_permute(v=v, n=n) == m.hdc_permute(v, n)


@pytest.mark.parametrize("n", [2**31, -2**31 - 1, 2**40])
def test_permute_shift_beyond_32_bits_is_overflow(n):
    with pytest.raises(OverflowError, match=f"^{RANGE_MSG}$"):
        m.hdc_permute([1.0, 2.0], n)


def model_normalise(v):
    mx = F(1e-9)
    for x in v:
        x = F(x)
        if not math.isnan(x):
            mx = max(mx, abs(x))
    with np.errstate(all="ignore"):
        return [float(F(x) / mx) for x in v]


@settings(max_examples=60, deadline=None)
@given(st.lists(st.one_of(st.floats(width=32), st.sampled_from([-0.0, 1e-10, -1e-9, 1e-45])),
                max_size=40))
def test_normalise_matches_its_definition(v):
    assert same_values(m.normalise_bipolar(v), model_normalise(v))


def test_normalise_edge_values():
    assert f32_bits(m.normalise_bipolar([-0.0, 0.0])) == f32_bits([-0.0, 0.0])
    # Infinity becomes the maximum: finite elements go to (signed) zero, inf / inf is NaN.
    out = m.normalise_bipolar([float("inf"), -3.0, float("nan")])
    assert math.isnan(out[0]) and f32_bits(out[1:2]) == f32_bits([-0.0]) and math.isnan(out[2])
    # NaN never becomes the maximum, wherever it stands.
    assert m.normalise_bipolar([float("nan"), -8.0, 2.0])[1:] == [-1.0, 0.25]


# ---- argument names and documentation ----------------------------------------------

@pytest.mark.parametrize("call,name", [
    (lambda: m.resonance(1, [1.0]), "a"), (lambda: m.resonance([1.0], 1), "b"),
    (lambda: m.hdc_bind(1, [1.0]), "a"), (lambda: m.hdc_bind([1.0], 1), "b"),
    (lambda: m.hdc_bundle(1, [1.0]), "a"), (lambda: m.hdc_bundle([1.0], 1), "b"),
    (lambda: m.hdc_unbind(1, [1.0]), "compound"), (lambda: m.hdc_unbind([1.0], 1), "key"),
    (lambda: m.hdc_permute(1, 1), "v"), (lambda: m.hdc_permute([1.0], 1.5), "n"),
    (lambda: m.normalise_bipolar(1), "v"),
    (lambda: m.hebbian(1, [1.0], [1.0], 0.1, 1), "weights"),
    (lambda: m.hebbian([1.0], 1, [1.0], 0.1, 1), "pre"),
    (lambda: m.hebbian([1.0], [1.0], 1, 0.1, 1), "post"),
    (lambda: m.hebbian([1.0], [1.0], [1.0], "x", 1), "lr"),
    (lambda: m.hebbian([1.0], [1.0], [1.0], 0.1, 1.0), "dim"),
    (lambda: m.hv_hash(1), "v"), (lambda: m.hv_hash_string(1, 1), "s"),
    (lambda: m.hv_hash_string("x", "1"), "dim"), (lambda: m.diagnostic_role(None), "dim"),
    (lambda: m.encode_system_state(4, 0.0, "x", 0, 0), "cpu_pct"),
    (lambda: m.encode_system_state(4, 0.0, 0.0, 1.0, 0), "error_count"),
    (lambda: m.encode_system_state(4, 0.0, 0.0, 0, 1.0), "latency_us"),
    (lambda: m.bundle_diagnostics(1, 0.0, 0.0, 0, 0), "payload"),
    (lambda: m.extract_system_state(1), "bundled"),
])
def test_conversion_errors_name_the_argument(call, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        call()


def test_hebbian_dim_must_be_a_non_negative_64_bit_integer():
    for dim in (-1, 2**64):
        with pytest.raises(OverflowError) as e:
            m.hebbian([1.0], [1.0], [1.0], 0.1, dim)
        assert not str(e.value).startswith("argument")
    assert m.hebbian([5.0], [1.0], [1.0], 2, 2**64 - 1) == [7.0]  # lr given as an int


DOCS = {
    "hdc_bind": "Bind: element-wise multiplication (Patent §Definition 2 — multiplicative binding).\n"
                "For bipolar: same→+1, different→-1. Self-inverse: bind(bind(A,B), A) ≈ B.\n"
                "Generalizes correctly to non-bipolar superpositions (World Vector, bundles).",
    "hdc_bundle": "Bundle: majority-vote superposition (Patent MORVELAN-2026-001 §Definition 3).\n"
                  "⊕({v_i}) = sign(Σ v_i). For two inputs: if equal→that value, if unequal→sign of sum.\n"
                  "This preserves signal for arbitrary N items when iterated.",
    "hdc_unbind": "Unbind: inverse of bind. Given compound=bind(A,B) and key=A,\n"
                  "returns an approximation of B via bind(key, compound).\n\n# Arguments\n"
                  "* `compound` — the bound hypervector (A ⊗ B)\n"
                  "* `key` — the known operand (A) used to unbind\n\n"
                  "Note: bind/unbind are self-inverse, so unbind(A⊗B, A) ≈ B\n"
                  "only when A and B are sufficiently orthogonal in the HDC space.",
    "hebbian": "Hebbian weight update: W' = W + η · (pre ⊗ post)\n\n"
               "Implements O(D) sparse Hebbian outer-product update.\n"
               "Only diagonal and a subset of off-diagonal elements are updated\n"
               "per step, making it tractable for high-dimensional spaces.\n\n# Arguments\n"
               "* `weights` — mutable weight matrix flattened as dim×dim\n"
               "* `pre` — pre-synaptic hypervector\n* `post` — post-synaptic hypervector\n"
               "* `lr` — learning rate (η)\n* `dim` — hypervector dimension",
    "hdc_permute": "Permute a hypervector by right-cyclic rotation.\n\n# Arguments\n"
                   "* `v` — the hypervector to permute\n"
                   "* `n` — number of positions to rotate right (modulo dim); negative values rotate "
                   "left equivalent\n\n"
                   "Right-cyclic rotation by n means element at index i moves to (i + n) % dim.\n"
                   "Example: [a,b,c,d] rotated right by 1 → [d,a,b,c]",
}


@pytest.mark.parametrize("name", ["resonance", "hdc_bind", "hdc_bundle", "hdc_unbind", "hebbian",
                                  "hdc_permute", "normalise_bipolar"])
def test_documentation_bodies_verbatim(name):
    assert getattr(m, name).__doc__ == DOCS.get(name)


def test_inputs_are_never_modified():
    a, b, w = [1.0, -2.0, 3.0], [0.5, 0.5], [0.0] * 9
    keep = (list(a), list(b), list(w))
    m.hdc_bind(a, b), m.hdc_bundle(a, b), m.hdc_permute(a, 1), m.normalise_bipolar(a)
    m.hebbian(w, a, a, 1.0, 3)
    m.bundle_diagnostics(a, 1.0, 2.0, 3, 4)
    assert (a, b, w) == keep
