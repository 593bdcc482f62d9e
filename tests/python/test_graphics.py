"""PyHoloGenEngine against its reference model, bit for bit."""
import sys

import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
from models import COLOURS, WHITE, Engine, call, run

AXIS = st.one_of(st.floats(-12, 12, width=32), st.floats(width=32), st.sampled_from([-10.0, 10.0, 0.625, 0.624]))
XYZ, U32 = st.lists(AXIS, min_size=3, max_size=3), st.integers(0, 2**32 - 1)
WAVE = st.one_of(st.sampled_from([-10 + 0.625 * k for k in range(32)] + [-0.0, 9.374999]), st.floats(width=32))
PAD = st.text(WHITE + "\x1c\x1f\u200b\ufeff", max_size=2)  # White_Space and some look-alikes
NAME = st.builds(lambda a, n, up, b: a + (n.upper() if up else n) + b, PAD,
                 st.sampled_from([*COLOURS, "magenta", "r\u00c9d", "light blue", ""]), st.booleans(), PAD)
OTHER = st.sampled_from([None, 7, 1.5, b"\x01\x02", b"\xff", (1, 200), [1.0, 2.0], {"a": 1}, True])


@settings(max_examples=60, deadline=None)
@given(dim=st.sampled_from([0, 5, 31, 32, 33, 64, 100, 130]), data=st.data())
def test_engine_matches_the_model(dim, data):
    byte_list = st.lists(st.integers(-128, 127), min_size=dim, max_size=dim)  # wrong lengths: rows below
    either = st.one_of(byte_list, st.lists(st.integers(-128, 127), max_size=dim + 2), st.text(max_size=5), OTHER)
    run(m.PyHoloGenEngine(dim), Engine(dim), data.draw(st.lists(st.one_of(
        call("generate_pixel_geometry", U32, U32, st.one_of(st.none(), st.integers(0, 2**64 - 1))),
        call("generate_material_mapping", XYZ, XYZ, U32), call("generate_photon", XYZ, XYZ, WAVE),
        call("generate_photon", NAME), call("encode_bvh_node", XYZ, XYZ, byte_list, byte_list),
        call("simulate_counterfactual", either, either)), min_size=1, max_size=4)))


@pytest.mark.parametrize("dim, ops", [
    # Unicode White_Space is trimmed, the information separators are not; only ASCII letters are lowered
    (32, [("generate_photon", c) for c in [*COLOURS, "\u0085\u3000 GrEeN\u2029\t", "\x1cR\u00c9D\x1f"]]),
    (100, [("generate_photon", [0, 0, 0], [1, 0, 0], -10 + 0.625 * k) for k in range(33)]),  # every block's edge
    (31, [("generate_photon", "blue")]),  # below one block
    (32, [("generate_photon", [0, 0, 0], *given) for given in ([], [[1, 0, 0]], [None, 500.0])]),  # each is required
    (8, [("encode_bvh_node", [0] * 3, [1] * 3, [1] * 9, [1] * 8), ("encode_bvh_node", [0] * 3, [1] * 3, [1] * 8, [2])]),
    (8, [("simulate_counterfactual", [1, 2, 3], "text"), ("simulate_counterfactual", "text", [1, 2, 3])]),
    (16, [("simulate_counterfactual", "a\ud800\U0001f600\u07ff", "a\ufffd\U0001f600\u07ff")]),  # a lone surrogate is U+FFFD
])
def test_engine_boundaries(dim, ops):
    run(m.PyHoloGenEngine(dim), Engine(dim), ops)


def test_unprintable_operand_reaches_the_unraisable_hook(monkeypatch):
    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")
    seen, obj = [], Unprintable()
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    got = m.PyHoloGenEngine(16).simulate_counterfactual(obj, "<unprintable Unprintable object>")
    assert got == [1] * 16 and [(u.object, str(u.exc_value)) for u in seen] == [(obj, "no text")]
