"""Hashes, rand_bipolar and the system-state diagnostics, against models written
out from their definitions (SipHash-1-3 with a zero key, the 64-bit LCG, f32 math)."""
import math
import os
import struct
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
from _siphash import sip13

F = np.float32
M64 = (1 << 64) - 1
RANGE_MSG = "out of range integral type conversion attempted"


# ---- models -----------------------------------------------------------------


def lcg_signs(seed: int, dim: int) -> list[float]:
    out, s = [], seed
    for _ in range(dim):
        s = (s * 6364136223846793005 + 1) & M64
        out.append(-1.0 if s >> 63 else 1.0)
    return out


def model_hv_hash_string(s: str, dim: int) -> list[float]:
    return lcg_signs(sip13(s.encode() + b"\xff"), dim)


def model_hv_hash(v) -> int:
    h = 0
    with np.errstate(over="ignore"):
        for i, x in enumerate(v[:64]):
            if F(x) > 0:
                h |= 1 << i
    return h


def quantise(value) -> int:
    c = F(value)
    if not c >= 0:
        c = F(0.0)
    c = min(c, F(1000000.0))
    return int(F(c * F(1000.0))) % 256


def model_state(dim, ram, cpu, err, lat) -> list[float]:
    state = [F(0.0)] * dim
    for name, value in zip(("ram", "cpu", "err", "lat"), (ram, cpu, F(err), F(lat))):
        vals = model_hv_hash_string(f"{name}:{quantise(value)}", dim)
        roles = model_hv_hash_string(f"{name}_role", dim)
        state = [F(s + F(F(a) * F(b))) for s, a, b in zip(state, vals, roles)]
    return [float(x) for x in state]


def diag_role(dim):
    return lcg_signs(0x3E5B09A1D146C0DE, dim)


# ---- hv_hash ----------------------------------------------------------------

@pytest.mark.parametrize("v,expected", [
    ([], 0),
    ([1.0, -1.0, 1.0], 5),
    ([0.0, -0.0, float("nan"), float("inf"), -1.0], 1 << 3),
    ([1e-46], 0),            # becomes 0.0 in 32 bits: bit clear
    ([1e-45], 1),            # survives as the smallest subnormal: bit set
    ([-1e-46, 1e-46, 1e-45], 4),
    ([1e39], 1),             # rounds to +inf, still positive
    ([1.0] * 64, M64),
    ([1.0] * 63 + [-1.0], M64 >> 1),
    ([-1.0] * 64 + [1.0] * 10, 0),   # index 64 on is ignored
    ((1, 0, 2), 5),
])
def test_hv_hash_examples(v, expected):
    assert m.hv_hash(v) == expected


@settings(max_examples=150, deadline=None)
@given(st.lists(st.floats(allow_nan=True, allow_infinity=True), max_size=80))
def test_hv_hash_tests_each_element_after_rounding_to_32_bits(v):
    assert m.hv_hash(v) == model_hv_hash(v)


# ---- hv_hash_string ---------------------------------------------------------

@pytest.mark.parametrize("s,dim,expected", [
    ("", 4, [-1.0, 1.0, -1.0, -1.0]),       # hashes the single byte 0xff
    ("abc", 6, [1.0, 1.0, -1.0, 1.0, -1.0, 1.0]),
    ("anything", 0, []),
])
def test_hv_hash_string_known_answers(s, dim, expected):
    assert m.hv_hash_string(s, dim) == expected
    assert m.hv_hash_string(s=s, dim=dim) == expected


@settings(max_examples=100, deadline=None)
@given(st.text(max_size=40), st.integers(0, 70), st.integers(0, 30))
def test_hv_hash_string_model_and_prefix(s, n, k):
    longer = m.hv_hash_string(s, n + k)
    assert longer[:n] == m.hv_hash_string(s, n)
    assert longer == model_hv_hash_string(s, n + k)


def test_sip13_model_pinned():
    # Zero-key SipHash-1-3 known answers (the same table the C++ tests use).
    assert sip13(b"") == 0xD1FBA762150C532C
    assert sip13(b"abc") == 0xC03BC3A0042630F2
    assert sip13(b"abcdefgh") == 0x3F7B849C0B8E35EA


# ---- diagnostics --------------------------------------------------------------

def test_diagnostic_role_prefix_and_values():
    r8 = m.diagnostic_role(8)
    assert m.diagnostic_role(3) == r8[:3]
    assert r8 == diag_role(8)
    assert set(m.diagnostic_role(500)) <= {1.0, -1.0}
    assert m.diagnostic_role(0) == []


@pytest.mark.parametrize("a,b", [
    ((0.256, 1.0, 2, 3), (0.0, 1.0, 2, 3)),        # both quantise to 0
    ((50.0, 1.0, 2, 3), (50.256, 1.0, 2, 3)),      # both quantise to 80
    ((1.0, -5.0, 2, 3), (1.0, float("nan"), 2, 3)),  # negatives and NaN quantise to 0
    ((1.0, -5.0, 2, 3), (1.0, 0.0, 2, 3)),
    ((1.0, 1e30, 2, 3), (1.0, 1000000.0, 2, 3)),   # clamped
    ((1.0, 2.0, 0, 3), (1.0, 2.0, 4294967295, 3)),  # 2^32 as a float clamps to 1e6 -> 0
])
def test_encode_system_state_quantisation_collisions(a, b):
    assert m.encode_system_state(96, *a) == m.encode_system_state(96, *b)


@pytest.mark.parametrize("value,q", [
    (0.05, 50), (0.256, 0), (1.0, 232), (0.009, 9), (999999.0, 0), (float("nan"), 0), (-1.0, 0),
    (0.001, 1), (0.255, 255),
])
def test_scalar_quantisation_is_32_bit(value, q):
    assert quantise(value) == q
    # Only ram differs between the two calls; the state must follow the 32-bit key.
    got = m.encode_system_state(64, value, 0.0, 0, 0)
    assert got == model_state(64, value, 0.0, 0, 0)


def test_scalar_quantisation_differs_from_double_arithmetic():
    # In double precision 0.009 would give key 8 and 999999 key 24.
    base = m.encode_system_state(64, 0.0, 0.0, 0, 0)

    def with_ram_key(q):
        st_ = [0.0] * 64
        for name, key in (("ram", f"ram:{q}"), ("cpu", "cpu:0"), ("err", "err:0"), ("lat", "lat:0")):
            st_ = [s + a * b for s, a, b in zip(st_, m.hv_hash_string(key, 64), m.hv_hash_string(name + "_role", 64))]
        return st_

    assert with_ram_key(0) == base
    assert m.encode_system_state(64, 0.009, 0.0, 0, 0) == with_ram_key(9) != with_ram_key(8)
    assert m.encode_system_state(64, 999999.0, 0.0, 0, 0) == with_ram_key(0) != with_ram_key(24)


def test_encode_zero_figures_is_sum_of_zero_keys():
    d = 40
    expected = [0.0] * d
    for n in ("ram", "cpu", "err", "lat"):
        bound = m.hdc_bind(m.hv_hash_string(n + ":0", d), m.hv_hash_string(n + "_role", d))
        expected = [e + b for e, b in zip(expected, bound)]
    assert m.encode_system_state(d, 0.0, 0.0, 0, 0) == expected


@settings(max_examples=60, deadline=None)
@given(st.integers(0, 64), st.floats(width=32), st.floats(width=32),
       st.integers(0, 2**32 - 1), st.integers(0, 2**32 - 1))
def test_encode_system_state_matches_model(dim, ram, cpu, err, lat):
    got = m.encode_system_state(dim, ram, cpu, err, lat)
    assert got == model_state(dim, ram, cpu, err, lat)
    assert set(got) <= {-4.0, -2.0, 0.0, 2.0, 4.0}


@settings(max_examples=60, deadline=None)
@given(st.lists(st.floats(width=32), max_size=40), st.floats(width=32), st.integers(0, 1000))
def test_bundle_and_extract_formulas(payload, ram, err):
    d = len(payload)
    state = model_state(d, ram, 3.0, err, 7)
    role = diag_role(d)
    with np.errstate(all="ignore"):
        want = [float(F(F(p) + F(F(s) * F(r)))) for p, s, r in zip(payload, state, role)]
        got = m.bundle_diagnostics(payload, ram, 3.0, err, 7)
        assert struct.pack(f"<{d}f", *got) == struct.pack(f"<{d}f", *want) or \
            all((math.isnan(a) and math.isnan(b)) or a == b for a, b in zip(got, want))
        ext = m.extract_system_state(got)
        want_ext = [float(F(F(r) * F(b))) for r, b in zip(role, got)]
        assert all((math.isnan(a) and math.isnan(b)) or a == b for a, b in zip(ext, want_ext))


def test_extract_recovers_state_from_zero_payload():
    d = 300
    figures = (42.5, 17.25, 3, 950)
    assert m.extract_system_state(m.bundle_diagnostics([0.0] * d, *figures)) == m.encode_system_state(d, *figures)
    assert m.bundle_diagnostics([], *figures) == []
    assert m.extract_system_state([]) == []


# ---- rand_bipolar --------------------------------------------------------------

def test_rand_bipolar_values():
    assert m.rand_bipolar(0) == []
    v = m.rand_bipolar(4000)
    assert len(v) == 4000 and set(v) <= {1.0, -1.0}
    assert all(type(x) is float for x in v)
    assert 1600 < v.count(-1.0) < 2400
    assert m.rand_bipolar(dim=128) != m.rand_bipolar(128)


def test_rand_bipolar_on_another_thread():
    out = []
    t = threading.Thread(target=lambda: out.append(m.rand_bipolar(64)))
    t.start()
    t.join()
    assert len(out[0]) == 64 and set(out[0]) <= {1.0, -1.0}


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_does_not_continue_parent_stream():
    m.rand_bipolar(3)  # leave the parent's buffer partly read
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # child
        try:
            os.close(r)
            bits = "".join("1" if x < 0 else "0" for x in m.rand_bipolar(256))
            os.write(w, bits.encode())
        finally:
            os._exit(0)
    os.close(w)
    child = b""
    while chunk := os.read(r, 4096):
        child += chunk
    os.close(r)
    os.waitpid(pid, 0)
    parent = "".join("1" if x < 0 else "0" for x in m.rand_bipolar(256))
    assert len(child) == 256
    assert child.decode() != parent
    # Not even the first few draws (the words left in the parent's buffer) agree.
    assert child.decode()[:32] != parent[:32]


# ---- bad input ------------------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda: m.rand_bipolar(2**62),
    lambda: m.rand_bipolar(2**64 - 1),
    lambda: m.hv_hash_string("x", 2**62),
    lambda: m.diagnostic_role(2**62),
    lambda: m.encode_system_state(2**62, 1.0, 1.0, 1, 1),
])
def test_huge_dim_is_memory_error(call):
    with pytest.raises(MemoryError):
        call()


@pytest.mark.parametrize("call", [
    lambda: m.rand_bipolar(-1),
    lambda: m.rand_bipolar(2**64),
    lambda: m.hv_hash_string("x", -1),
    lambda: m.encode_system_state(-1, 0.0, 0.0, 0, 0),
])
def test_negative_or_oversized_dim_is_overflow(call):
    with pytest.raises(OverflowError) as e:
        call()
    assert not str(e.value).startswith("argument")


@pytest.mark.parametrize("err,lat", [(2**32, 0), (0, 2**32), (-1, 0), (0, -1)])
def test_figure_out_of_range(err, lat):
    with pytest.raises(OverflowError, match=f"^{RANGE_MSG}$"):
        m.encode_system_state(4, 0.0, 0.0, err, lat)
    with pytest.raises(OverflowError, match=f"^{RANGE_MSG}$"):
        m.bundle_diagnostics([0.0], 0.0, 0.0, err, lat)


def test_figure_beyond_c_long_is_overflow():
    # Read as a C long first, so the interpreter's own message comes through.
    with pytest.raises(OverflowError):
        m.encode_system_state(4, 0.0, 0.0, 2**70, 0)


def test_type_errors_are_prefixed():
    with pytest.raises(TypeError, match="^argument 'dim': "):
        m.rand_bipolar(2.0)
    with pytest.raises(TypeError, match="^argument 's': "):
        m.hv_hash_string(b"x", 3)
    with pytest.raises(TypeError, match="^argument 'v': "):
        m.hv_hash("abc")
    with pytest.raises(TypeError, match="^argument 'ram_pct': "):
        m.encode_system_state(4, "x", 0.0, 0, 0)


def test_signatures_and_docs():
    for f, sig in [
        (m.rand_bipolar, "(dim)"), (m.hv_hash, "(v)"), (m.hv_hash_string, "(s, dim)"),
        (m.diagnostic_role, "(dim)"),
        (m.encode_system_state, "(dim, ram_pct, cpu_pct, error_count, latency_us)"),
        (m.bundle_diagnostics, "(payload, ram_pct, cpu_pct, error_count, latency_us)"),
        (m.extract_system_state, "(bundled)"),
    ]:
        assert f.__text_signature__ == sig
        assert f.__doc__ is None
    assert m.__all__[:14] == [
        "rand_bipolar", "resonance", "hdc_bind", "hdc_bundle", "hdc_unbind", "hebbian", "hdc_permute",
        "normalise_bipolar", "hv_hash", "hv_hash_string", "diagnostic_role", "encode_system_state",
        "bundle_diagnostics", "extract_system_state"]
