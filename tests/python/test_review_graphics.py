"""Review of PyHoloGenEngine against a pure-Python transcription of the generator
(ChaCha12 blocks, four-block buffering, the PCG32 seed expansion, next_u64 and
gen_bool) and of the renderer encodings (floats_to_hv in its three parity passes,
uint_to_hv, make_photon, the role table), compared element for element."""
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
from _siphash import sip13

F = np.float32
M32, M64 = (1 << 32) - 1, (1 << 64) - 1
ROLE_SEED = b"morvelan_hdc graphics role seed!"
TAGS = b"ODPNMWXYFTLRBI"
TAIL = "'. Use blue, red, green, yellow, white, cyan, amber, or violet."


# ---- the generator ----------------------------------------------------------------

def _rotl32(x, b):
    return ((x << b) | (x >> (32 - b))) & M32


def _qr(x, a, b, c, d):
    x[a] = (x[a] + x[b]) & M32; x[d] = _rotl32(x[d] ^ x[a], 16)  # noqa: E702
    x[c] = (x[c] + x[d]) & M32; x[b] = _rotl32(x[b] ^ x[c], 12)  # noqa: E702
    x[a] = (x[a] + x[b]) & M32; x[d] = _rotl32(x[d] ^ x[a], 8)  # noqa: E702
    x[c] = (x[c] + x[d]) & M32; x[b] = _rotl32(x[b] ^ x[c], 7)  # noqa: E702


def chacha_block(key, counter, rounds):
    state = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, *key,
             counter & M32, counter >> 32, 0, 0]
    x = list(state)
    for _ in range(rounds // 2):
        _qr(x, 0, 4, 8, 12); _qr(x, 1, 5, 9, 13); _qr(x, 2, 6, 10, 14); _qr(x, 3, 7, 11, 15)  # noqa: E702
        _qr(x, 0, 5, 10, 15); _qr(x, 1, 6, 11, 12); _qr(x, 2, 7, 8, 13); _qr(x, 3, 4, 9, 14)  # noqa: E702
    return [(a + b) & M32 for a, b in zip(x, state)]


def keystream(key, counter, rounds):
    return b"".join(w.to_bytes(4, "little") for w in chacha_block(key, counter, rounds))


@pytest.mark.parametrize("rounds,start", [
    (20, "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"),
    (12, "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"),
    (8, "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"),
])
def test_block_function_reproduces_the_published_zero_key_keystreams(rounds, start):
    # The model's block function, checked against the published all-zero key and nonce vectors.
    assert keystream([0] * 8, 0, rounds).hex().startswith(start)


class Rng:
    def __init__(self, seed32: bytes):
        self.key = [int.from_bytes(seed32[4 * k:4 * k + 4], "little") for k in range(8)]
        self.counter, self.buf, self.index = 0, [0] * 64, 64

    @classmethod
    def seed_from_u64(cls, x):
        s, out = x, b""
        for _ in range(8):
            s = (s * 6364136223846793005 + 11634580027462260723) & M64
            xs = ((((s >> 18) ^ s) >> 27) & M32)
            r = s >> 59
            out += (((xs >> r) | (xs << (32 - r))) & M32).to_bytes(4, "little")
        return cls(out)

    def refill(self):
        self.buf = [w for b in range(4) for w in chacha_block(self.key, self.counter + b, 12)]
        self.counter += 4

    def next_u64(self):
        if self.index <= 62:
            lo, hi = self.buf[self.index], self.buf[self.index + 1]
            self.index += 2
        elif self.index == 63:
            lo = self.buf[63]
            self.refill()
            hi, self.index = self.buf[0], 1
        else:
            self.refill()
            lo, hi, self.index = self.buf[0], self.buf[1], 2
        return (hi << 32) | lo

    def gen_bool(self, p):
        if p == 1.0:
            return True
        return self.next_u64() < int(p * 2.0**64)

    def bipolar(self, n):
        return [-1 if self.next_u64() >> 63 else 1 for _ in range(n)]


# ---- the renderer -------------------------------------------------------------------

def wrap(x):
    return ((x + 128) % 256) - 128


def bind(a, b):
    assert len(a) == len(b)
    return [wrap(x * y) for x, y in zip(a, b)]


def axis_bin(x):
    c = F(x)
    if c < F(-10.0):           # min(max(x, -10), 10); a NaN fails both tests
        c = F(-10.0)
    if c > F(10.0):
        c = F(10.0)
    with np.errstate(invalid="ignore"):
        q = F(F(F(c + F(10.0)) / F(20.0)) * F(32.0))
    b = int(q) if q > 0 else 0  # NaN and negatives truncate to 0
    return min(b, 31)


def floats_to_hv(dim, v):
    out = [1] * dim
    for a in range(3):
        b = axis_bin(v[a])
        for i in range(dim):
            if ((i % 3) + i // 32 + b + a) % 2 == 1:
                out[i] = -out[i]
    return out


def uint_to_hv(dim, value):
    return Rng.seed_from_u64(value).bipolar(dim)


def make_photon(dim, pos, direction, wavelength):
    pd = bind(floats_to_hv(dim, pos), floats_to_hv(dim, direction))
    wl = F(wavelength)
    flags = [bool(F(F(-10.0) + F(F(0.625) * F(k))) <= wl) for k in range(32)]
    g = Rng.seed_from_u64(int(np.array([wl], F).view(np.uint32)[0]))
    if dim == 0:
        return []
    block = dim // 32
    w = [1 if g.gen_bool(0.6) == flags[min(i // block, 31)] else -1 for i in range(dim)]
    return bind(w, pd)


_roles = {}


def role_table(dim):
    if dim not in _roles:
        g = Rng(ROLE_SEED)
        _roles[dim] = {chr(t): Rng.seed_from_u64(g.next_u64() ^ t).bipolar(dim) for t in TAGS}
    return _roles[dim]


def text_to_i8(text, dim):
    msg = text.encode() + b"\xff"
    return [-1 if sip13(msg + i.to_bytes(8, "little")) & 1 else 1 for i in range(dim)]


# ---- comparisons ---------------------------------------------------------------------

DIMS = st.sampled_from([0, 1, 5, 32, 33, 63, 64, 65, 100, 130])
PHOTON_DIMS = st.sampled_from([0, 32, 33, 63, 64, 95, 100, 130, 200])
U32 = st.one_of(st.integers(0, 2**32 - 1), st.sampled_from([0, 1, 2**31, 2**32 - 1]))
AXIS = st.one_of(st.floats(-12, 12, width=32), st.floats(width=32),
                 st.sampled_from([-10.0, 10.0, -0.0, 0.0, -9.375, 9.999999, 10.000001, -10.000001]))
THREE = st.tuples(AXIS, AXIS, AXIS)
WAVELENGTH = st.one_of(
    st.sampled_from([-10.0 + 0.625 * k for k in range(32)]),
    st.sampled_from([-0.0, 0.0, float("nan"), -float("nan"), float("inf"), -float("inf"),
                     480.0, 650.0, 9.374999, -10.000001]),
    st.floats(-12, 12, width=32), st.floats(width=32))


@settings(max_examples=40, deadline=None)
@given(DIMS, U32, U32, st.one_of(st.none(), st.integers(0, 2**64 - 1), st.integers(0, 2**32 - 1)))
def test_pixel_geometry_matches_the_model(dim, x, y, frame_id):
    e = m.PyHoloGenEngine(dim)
    frame = Rng.seed_from_u64(frame_id or 0).bipolar(dim)
    want = bind(frame, bind(uint_to_hv(dim, x), uint_to_hv(dim, y)))
    assert e.generate_pixel_geometry(x, y, frame_id) == want
    if frame_id is not None and frame_id < 2**32:
        assert frame == uint_to_hv(dim, frame_id)


@settings(max_examples=40, deadline=None)
@given(DIMS, THREE, THREE, U32)
def test_material_mapping_matches_the_model(dim, position, normal, material_id):
    e = m.PyHoloGenEngine(dim)
    want = bind(bind(floats_to_hv(dim, position), floats_to_hv(dim, normal)), uint_to_hv(dim, material_id))
    assert e.generate_material_mapping(position, normal, material_id) == want


@settings(max_examples=60, deadline=None)
@given(PHOTON_DIMS, THREE, THREE, WAVELENGTH)
def test_photon_vector_path_matches_the_model(dim, position, direction, wavelength):
    e = m.PyHoloGenEngine(dim)
    got = e.generate_photon(list(position), direction=tuple(direction), wavelength=wavelength)
    assert got == make_photon(dim, position, direction, wavelength)


COLOURS = {"red": 650.0, "orange": 590.0, "amber": 590.0, "yellow": 580.0, "white": 550.0,
           "green": 530.0, "cyan": 500.0, "blue": 480.0, "violet": 420.0, "purple": 420.0}


@pytest.mark.parametrize("name", sorted(COLOURS))
def test_colour_path_is_the_photon_at_the_origin_heading_plus_x(name):
    e = m.PyHoloGenEngine(64)
    assert e.generate_photon(name) == make_photon(64, (0, 0, 0), (1, 0, 0), COLOURS[name])


# Unicode White_Space, and characters that look like space but are not in it.
WHITE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(chr(c) for c in range(0x2000, 0x200B)) + \
        "\u2028\u2029\u202f\u205f\u3000"
NOT_WHITE = ["\x1c", "\x1d", "\x1e", "\x1f", "\u200b", "\ufeff", "\u180e", "\x00"]


@pytest.mark.parametrize("ch", list(WHITE))
def test_every_white_space_character_is_trimmed(ch):
    e = m.PyHoloGenEngine(32)
    assert e.generate_photon(ch + "GrEeN" + ch * 2) == e.generate_photon("green")


@pytest.mark.parametrize("ch", NOT_WHITE)
def test_other_characters_are_kept_and_reported(ch):
    e = m.PyHoloGenEngine(32)
    with pytest.raises(ValueError) as err:
        e.generate_photon(" " + ch + "Red\n")
    assert str(err.value) == "unsupported photon color '" + ch + "red" + TAIL


@pytest.mark.parametrize("text,reported", [
    ("RÉD", "rÉd"), ("İblue", "İblue"), ("", ""), ("   ", ""), ("ＲＥＤ", "ＲＥＤ"),
    ("red blue", "red blue"), ("\u3000Magenta\u3000", "magenta"),
])
def test_only_ascii_letters_are_lowered(text, reported):
    with pytest.raises(ValueError) as err:
        m.PyHoloGenEngine(32).generate_photon(text)
    assert str(err.value) == "unsupported photon color '" + reported + TAIL


def left_right(dim, rng):
    vals = [-128, -1, 0, 1, 2, 127, 64, -64]
    return ([int(rng.choice(vals)) for _ in range(dim)], [int(rng.choice(vals)) for _ in range(dim)])


@settings(max_examples=40, deadline=None)
@given(DIMS, THREE, THREE, st.integers(0, 2**32 - 1))
def test_bvh_node_matches_the_model(dim, lo, hi, seed):
    e = m.PyHoloGenEngine(dim)
    left, right = left_right(dim, np.random.default_rng(seed))
    roles = role_table(dim)
    box = bind(floats_to_hv(dim, lo), floats_to_hv(dim, hi))
    want = bind(bind(bind(left, roles["L"]), bind(right, roles["R"])), box)
    assert e.encode_bvh_node(lo, hi, left, right) == want


@pytest.mark.parametrize("dim,bad", [(8, "left"), (8, "right"), (0, "left")])
def test_bvh_length_message_names_the_callers_length_then_dim(dim, bad):
    e = m.PyHoloGenEngine(dim)
    good, short = [1] * dim, [1] * (dim + 3)
    left, right = (short, good) if bad == "left" else (good, short)
    with pytest.raises(ValueError) as err:
        e.encode_bvh_node([0, 0, 0], [0, 0, 0], left, right)
    assert str(err.value) == f"assertion `left == right` failed\n  left: {dim + 3}\n right: {dim}"


class Bad:
    def __index__(self):
        raise KeyError("not an int")

    def __str__(self):
        return "bad-object"


@pytest.mark.parametrize("root,intervention", [
    ([1, -1, 3], [5, 7, -128]), ((127, 2), [2, 2]), ("state", "change"), ("same", "same"),
    ([1, 200], "x"), (None, 3.5), ([1.0, 2.0], [1, 2]), (b"\x01\x02", [3, 4]),
    ([Bad(), 1], [1, 1]), ({"a": 1}, "x"), ([], []), (True, False),
])
def test_counterfactual_byte_list_or_text_form(root, intervention):
    dim = 40
    e = m.PyHoloGenEngine(dim)

    def operand(obj):
        try:
            if isinstance(obj, str) or not hasattr(obj, "__getitem__") or isinstance(obj, dict):
                raise TypeError
            vals = [x.__index__() for x in obj]
            if any(not -128 <= x <= 127 for x in vals):
                raise OverflowError
            return vals
        except Exception:
            return text_to_i8(str(obj), dim)

    r, i = operand(root), operand(intervention)
    if len(r) == len(i):
        assert e.simulate_counterfactual(root, intervention) == bind(r, i)
    else:
        with pytest.raises(ValueError) as err:
            e.simulate_counterfactual(root, intervention)
        assert str(err.value) == f"assertion `left == right` failed\n  left: {len(i)}\n right: {len(r)}"


def test_role_vectors_are_the_eleventh_and_twelfth_draws():
    # With left and right all +1 and a box that encodes to all +1 elements at the
    # positions it does, the node is L * R * box; check L * R against the model directly.
    dim = 70
    e = m.PyHoloGenEngine(dim)
    roles = role_table(dim)
    box = bind(floats_to_hv(dim, (1, 2, 3)), floats_to_hv(dim, (4, 5, 6)))
    got = e.encode_bvh_node([1, 2, 3], [4, 5, 6], [1] * dim, [1] * dim)
    assert got == bind(bind(roles["L"], roles["R"]), box)
    assert bind(got, box) == bind(roles["L"], roles["R"])
    assert role_table(16)["L"] == roles["L"][:16]


def test_engine_results_are_deterministic_per_call():
    e = m.PyHoloGenEngine(64)
    assert e.generate_photon("blue") == e.generate_photon([0, 0, 0], [1, 0, 0], 480.0)
    assert e.generate_photon([0, 0, 0], [1, 0, 0], 0.0) != e.generate_photon([0, 0, 0], [1, 0, 0], -0.0)
    assert e.structural_dimension() == 64
