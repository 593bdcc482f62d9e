"""The benchmarks' native modules (benchmarks/native/): `make bench` builds them with the CMake
option MHDC_BUILD_BENCH into build/wheel/bench, or into the directory MHDC_BENCH_DIR names."""
from __future__ import annotations

import importlib
import os
import sys
from pathlib import Path

DIR = Path(os.environ.get("MHDC_BENCH_DIR") or Path(__file__).resolve().parent.parent / "build" / "wheel" / "bench")


def load(name: str):
    """The module _<name> (floor, bounds or cgrun); an ImportError that says how to build it if it is absent."""
    if str(DIR) not in sys.path:
        sys.path.insert(0, str(DIR))
    try:
        return importlib.import_module("_" + name)
    except ImportError as e:
        raise ImportError(f"_{name} is not built in {DIR}: run `make bench` (CMake -DMHDC_BUILD_BENCH=ON)") from e
