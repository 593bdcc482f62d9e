#!/usr/bin/env bash
# Type checks, run by `make test` (and `make typecheck`) after the package is installed:
#   1. mypy --strict over examples/ and over a short file of calls the stub must accept
#      and must refuse (each refusal carries a type: ignore that becomes an error if the
#      stub stops refusing it);
#   2. stubtest: the stub against the importable morvelan_hdc (the installed one under
#      make), with tools/stubtest_allowlist.txt for what text signatures cannot express.
# mypy does not look for a single module's stub in site-packages, so the checked stub is
# put on MYPYPATH from a scratch directory; where the module was installed, the stub
# installed beside it must be the same file.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
PY="${MHDC_PYTHON:-}"
if [ -z "$PY" ]; then
  if [ -x "$ROOT/.venv/bin/python" ]; then PY="$ROOT/.venv/bin/python"; else PY=python3; fi
fi
case "$PY" in */*) case "$PY" in /*) ;; *) PY="$PWD/$PY" ;; esac ;; esac
STUB="$ROOT/morvelan_hdc.pyi"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
cp "$STUB" "$WORK/"

# Import from the scratch directory so nothing in the checkout shadows the module.
MODULE="$(cd "$WORK" && "$PY" -c 'import morvelan_hdc; print(morvelan_hdc.__file__)')"
BESIDE="$(dirname "$MODULE")/morvelan_hdc.pyi"
echo "typecheck: module $MODULE"
case "$MODULE" in
  */site-packages/*)
    if [ ! -f "$BESIDE" ]; then
      echo "typecheck: the installed module has no morvelan_hdc.pyi beside it" >&2; exit 1
    fi
    if ! cmp -s "$BESIDE" "$STUB"; then
      echo "typecheck: the installed stub differs from morvelan_hdc.pyi; reinstall (make install)" >&2; exit 1
    fi ;;
esac

cat > "$WORK/stub_usage.py" <<'EOF'
"""Calls the stub must accept, and calls it must refuse."""
from typing import Optional

import numpy as np

import morvelan_hdc as hdc

v: list[float] = hdc.hv_hash_string("a", 8)
score: float = hdc.resonance(np.ones(8, dtype=np.float32), (1, 2.5, np.float64(3)))
bound: list[float] = hdc.hdc_bind(b"\x01\x02", range(2))
pair: tuple[str, float] = hdc.PyHKVC(8).query("k")
effect: Optional[list[float]] = hdc.PyCausalMemory(8).query_effect(v)
hops: list[tuple[int, float]] = hdc.PyMultiHopReasoner(8).reason(v, 2)
mixed: list[float] = hdc.PyQuantumAttentionHead(8, 1).compute(v, np.ones((2, 8)), [v, v])
photon: list[int] = hdc.PyHoloGenEngine(32).generate_photon("red")
ray: list[int] = hdc.PyHoloGenEngine(32).generate_photon((0, 0, 0), (1, 0, 0), 650)
found: tuple[str, str, str, float] = hdc.PyHoloSwarm(8).resonate("r", v, [], 1)
swarm = hdc.PyHoloSwarm(8)
swarm.swarm_vector = (1.0, 2.0)
state: list[float] = swarm.swarm_vector
param: Optional[float] = hdc.PyOptimizer().get("momentum")
params: dict[str, float] = hdc.PyOptimizer().get_params()
audit: tuple[float, bool, list[str]] = hdc.PySelfAudit(8).full_audit(v)
advice: list[tuple[str, float, str]] = hdc.PyMetacognition(8).recommend()
names: list[str] = hdc.__all__

hdc.resonance("ab", v)  # type: ignore[arg-type]
hdc.resonance({1.0, 2.0}, v)  # type: ignore[arg-type]
hdc.resonance([None], v)  # type: ignore[list-item]
text: str = hdc.resonance(v, v)  # type: ignore[assignment]
hdc.PyHKVC(8).store("k", 1, 0)  # type: ignore[arg-type]
hdc.PyHKVC(8).count(1)  # type: ignore[call-arg]
hdc.PyHoloSwarm(8).dim = 3  # type: ignore[misc]
hdc.PyHoloGenEngine(32).encode_bvh_node((0, 0, 0), (1, 1, 1), [1.5], [1])  # type: ignore[list-item]


class Derived(hdc.PyHKVC):  # type: ignore[misc]
    pass
EOF

export MYPYPATH="$WORK"
CACHE="$ROOT/build/mypy-cache"
echo "typecheck: mypy --strict examples/"
"$PY" -m mypy --strict --cache-dir "$CACHE" "$ROOT/examples" "$WORK/stub_usage.py"
echo "typecheck: stubtest morvelan_hdc"
(cd "$WORK" && "$PY" -m mypy.stubtest morvelan_hdc \
   --allowlist "$ROOT/tools/stubtest_allowlist.txt")
