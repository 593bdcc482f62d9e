"""The free functions (algebra, hashes, encoders, diagnostics, rand_bipolar) against the
float32 models in models.py, bit for bit, on the vector kinds the vectorised paths tell apart."""
import math
import os

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import models as M
import morvelan_hdc as m
from support import F32 as F, M64, bits

fast = settings(max_examples=60, deadline=None)
f32s = st.floats(width=32)
SPECIALS = [math.nan, math.inf, -math.inf, 0.5, -0.0, 1e30, 3e-39, 2.0**24, -7.0]
KINDS = ["bipolar", "bipolar+one", "specials", "ternary", "int", "large", "general", "zeros"]
LENGTHS = st.sampled_from([0, 1, 31, 32, 33, 1023, 1024, 1025, 2049, 10_000]) | st.integers(0, 3000)


def vector(rng, kind, n):
    if kind in ("ternary", "int", "large"):  # "large": integer sums that pass 2^24
        hi = {"ternary": 1, "int": 90, "large": 4096}[kind]
        return rng.integers(-hi, hi + 1, n).astype(float).tolist()
    if kind in ("general", "zeros"):
        return (rng.standard_normal(n).astype(F) if kind == "general" else np.where(rng.random(n) < 0.5, -0.0, 0.0)).tolist()
    v = rng.choice([-1.0, 1.0], n)
    for _ in range(min(n, {"bipolar": 0, "bipolar+one": 1, "specials": 3}[kind])):
        v[rng.integers(n)] = 0.3 if kind == "bipolar+one" else SPECIALS[rng.integers(len(SPECIALS))]
    return v.tolist()


@pytest.mark.parametrize("kind", KINDS)
@fast
@given(st.sampled_from(KINDS), LENGTHS, st.integers(-40, 40), st.integers(0, 2**32 - 1), *[st.lists(f32s, max_size=40)] * 2)
def test_resonance_bind_unbind_bundle(kind, kb, n, extra, seed, fa, fb):
    rng = np.random.default_rng(seed)
    for a, b in ((vector(rng, kind, n), vector(rng, kb, max(0, n + extra))), (fa, fb)):
        assert M.exact(m.resonance(a, b)) == M.exact(M.resonance(a, b))
        assert M.exact(m.hdc_bind(a, b)) == M.exact(M.bind(a, b))
        assert M.exact(m.hdc_unbind(a, b)) == M.exact(M.bind(b, a))  # key[i] * compound[i]
        assert bits(m.hdc_bundle(a, b)) == bits(M.bundle(a, b))  # zero of either sign and NaN give +0.0


def res(dot, n):
    return float((F(dot) / F(n) + F(1)) * F(0.5))


@pytest.mark.parametrize("a,b,want", [
    ([1, -1, 1, 1], [1, -1, -1, 1], 0.75), ([1, 1, 1, 1], [1, 1], 0.75), ([1, 1], [1, 1, 1, 1], 1.0),  # over len(a)
    ([], [1.0], math.nan),
    ([64.0] * 4096 + [1.0] * 64, None, res(2**24, 4160)),  # in index order every 1 after 2^24 is lost
    ([1.0] * 64 + [64.0] * 4096, None, res(2**24 + 64, 4160)),
])
def test_resonance_rows(a, b, want):
    assert M.exact(m.resonance(a, a if b is None else b)) == M.exact(want)


@fast
@given(st.lists(f32s | st.sampled_from([-0.0, 1e-10, -1e-9, 1e-45, 1e-46, math.inf]), max_size=80),
       st.integers(-2**31, 2**31 - 1) | st.integers(-100, 100), st.text(max_size=40), st.integers(0, 70))
def test_permute_normalise_and_hashes(v, n, s, dim):
    assert bits(m.hdc_permute(v, n)) == bits(M.permute(v, n))
    assert M.exact(m.normalise_bipolar(v)) == M.exact(M.normalise(v))
    assert m.hv_hash(v) == M.hv_hash(v)  # the sign of each element after rounding to 32 bits
    assert m.hv_hash_string(s, dim) == M.hv_hash_string(s, dim)


@fast
@given(st.integers(0, 12), st.lists(f32s, max_size=12), st.lists(f32s, max_size=12), f32s, st.integers(0, 200), st.data())
def test_hebbian(dim, pre, post, lr, wlen, data):
    w = data.draw(st.lists(f32s, min_size=wlen, max_size=wlen))
    assert M.exact(m.hebbian(w, pre, post, lr, dim)) == M.exact(M.hebbian(w, pre, post, lr, dim))


@pytest.mark.parametrize("w,pre,post,dim,changed", [
    ([0.0] * 64, [1.0] * 8, [1.0] * 8, 8, {i * 8 + i for i in range(8)} | {i * 8 + 7 - i for i in range(8)}),
    ([0.0] * 10, [1.0] * 3, [1.0] * 10, 2**63, {0, 7}),  # row 2 starts at 2 * 2^63, which wraps to 0 in 64 bits
    ([0.0] * 100_000, [1.0] * 100_000, [2.0] * 100_000, 2**40, set(range(0, 100_000, 7))),  # only row 0 lies in W
    ([3.0, 4.0], [1.0], [1.0], 0, set()),
])
def test_hebbian_rows(w, pre, post, dim, changed):
    out = m.hebbian(w, pre, post, 0.5, dim)
    assert {k for k, x in enumerate(out) if x != w[k]} == changed and out == M.hebbian(w, pre, post, 0.5, dim)


def test_known_answers():
    assert bits(m.hdc_bundle([-0.0, math.nan, 0.5], [-0.0, 1.0, -0.25])) == bits([0.0, 0.0, 1.0])
    assert m.hdc_permute([1.0, 2.0, 3.0, 4.0], 1) == [4, 1, 2, 3] and m.hdc_permute([1.0, 2.0, 3.0, 4.0], -5) == [2, 3, 4, 1]
    assert m.normalise_bipolar([math.nan, -8.0, 2.0])[1:] == [-1.0, 0.25]  # NaN never becomes the maximum
    # 1e-46 rounds to 0.0 and 1e39 to inf in 32 bits; index 64 on is ignored.
    assert m.hv_hash([1e-46, 1e-45, 1e39, -0.0] + [1.0] * 59 + [-1.0, 1.0]) == (M64 >> 1) & ~0b1001
    assert m.hv_hash_string("", 4) == [-1.0, 1.0, -1.0, -1.0]  # hashes the single byte 0xff
    assert m.hv_hash_string("abc", 6) == [1.0, 1.0, -1.0, 1.0, -1.0, 1.0]
    assert m.diagnostic_role(300) == M.role(300) and m.diagnostic_role(0) == []


@fast
@given(st.integers(0, 64), f32s, f32s, st.integers(0, 2**32 - 1), st.integers(0, 2**32 - 1))
def test_encode_system_state(dim, ram, cpu, err, lat):
    assert m.encode_system_state(dim, ram, cpu, err, lat) == M.state(dim, ram, cpu, err, lat)


@pytest.mark.parametrize("value,key", [(0.05, 50), (0.256, 0), (50.256, 80), (1.0, 232), (0.001, 1), (0.255, 255),
                                       (math.nan, 0), (-5.0, 0), (0.009, 9), (999999.0, 0),  # 8 and 24 in double arithmetic
                                       (1e30, 0), (4294967295.0, 0)])  # clamped to 1e6
def test_quantisation_in_32_bits(value, key):
    assert M.quantise(value) == key
    assert m.encode_system_state(64, value, 0.0, 0, 0) == M.state(64, value, 0.0, 0, 0)


@fast
@given(st.lists(f32s, max_size=40), f32s, st.integers(0, 2**32 - 1))
def test_bundle_and_extract_diagnostics(payload, ram, err):
    got = m.bundle_diagnostics(payload, ram, 3.0, err, 7)
    assert M.exact(got) == M.exact(M.bundle_diagnostics(payload, ram, 3.0, err, 7))
    assert M.exact(m.extract_system_state(got)) == M.exact(M.bind(M.role(len(got)), got))


def test_rand_bipolar():
    v = m.rand_bipolar(4000)
    assert set(v) == {1.0, -1.0} and 1600 < v.count(-1.0) < 2400 and m.rand_bipolar(0) == []
    assert m.rand_bipolar(128) != m.rand_bipolar(128)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_does_not_continue_the_parent_stream():
    m.rand_bipolar(3)  # leave words in the parent's buffer
    r, w = os.pipe()
    if (pid := os.fork()) == 0:
        os.write(w, bytes(x < 0 for x in m.rand_bipolar(256)))
        os._exit(0)
    os.close(w)
    child = b"".join(iter(lambda: os.read(r, 4096), b""))
    os.close(r), os.waitpid(pid, 0)
    parent = bytes(x < 0 for x in m.rand_bipolar(256))
    assert len(child) == 256 and child[:32] != parent[:32] and child != parent
