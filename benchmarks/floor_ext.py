"""Builds and imports the conversion-floor extension (benchmarks/floor/floor.c)."""
from __future__ import annotations

import importlib.util
import os
import subprocess
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "floor" / "floor.c"
BUILD = HERE.parent / "build" / "bench-floor"


def load():
    target = BUILD / ("_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not target.exists() or target.stat().st_mtime < SOURCE.stat().st_mtime:
        BUILD.mkdir(parents=True, exist_ok=True)
        cc = os.environ.get("CC", "cc")
        subprocess.run([cc, "-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"],
                        str(SOURCE), "-o", str(target)], check=True)
    spec = importlib.util.spec_from_file_location("_floor", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
