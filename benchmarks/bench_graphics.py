"""PyHoloGenEngine at dim 10,000 beside the cost floor of its work.

Every generated element costs one 64-bit ChaCha12 draw, so the floor of an
operation is (draws per element) x dim draws plus building the result list.
`rand_bipolar(n)` is that floor measured through the module: n draws from the
same block function and a list of n floats (boxing floats costs a little more
than the cached small ints our lists hold, so the floor is slightly generous).
encode_bvh_node draws nothing; its floor is converting two lists and building
one, measured with hdc_bind on the same lists.
"""
from __future__ import annotations

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import morvelan_hdc as m  # noqa: E402
from harness import Case, main  # noqa: E402

DIM = 10_000


def cases():
    engine = m.PyHoloGenEngine(DIM)
    ones = [1] * DIM
    minus = [-1] * DIM
    rb = m.rand_bipolar

    yield Case("PyHoloGenEngine(dim)", "10,000 (14 role vectors)", lambda: m.PyHoloGenEngine(DIM),
               {"14 x rand_bipolar(dim)": lambda: [rb(DIM) for _ in range(14)],
                "rand_bipolar(14 dim)": lambda: rb(14 * DIM)},
               note="14 x dim draws, no list")
    yield Case("generate_photon (colour)", "10,000", lambda: engine.generate_photon("blue"),
               {"rand_bipolar(dim)": lambda: rb(DIM)}, note="1 draw / element")
    yield Case("generate_photon (vector)", "10,000",
               lambda: engine.generate_photon([0.1, 0.2, 0.3], [1, 0, 0], 480.0),
               {"rand_bipolar(dim)": lambda: rb(DIM)}, note="1 draw / element")
    yield Case("generate_pixel_geometry", "10,000", lambda: engine.generate_pixel_geometry(3, 5, 7),
               {"rand_bipolar(3 dim)": lambda: rb(3 * DIM)}, note="3 draws / element")
    yield Case("encode_bvh_node", "10,000",
               lambda: engine.encode_bvh_node([0, 0, 0], [1, 1, 1], ones, minus),
               {"hdc_bind(two int lists)": lambda: m.hdc_bind(ones, minus)},
               note="no draws: 2 list conversions + 1 list")
    yield Case("simulate_counterfactual (lists)", "10,000",
               lambda: engine.simulate_counterfactual(ones, minus),
               {"hdc_bind(two int lists)": lambda: m.hdc_bind(ones, minus)})


if __name__ == "__main__":
    main(cases())
