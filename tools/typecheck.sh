#!/usr/bin/env bash
# Type checks, run by `make test` (and `make typecheck`) after the package is installed:
#   1. mypy --strict over examples/ and over tests/typing/stub_usage.py, calls the stub must
#      accept and must refuse (each refusal carries a type: ignore that becomes an error if
#      the stub stops refusing it);
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


export MYPYPATH="$WORK"
CACHE="$ROOT/build/mypy-cache"
echo "typecheck: mypy --strict examples/"
"$PY" -m mypy --strict --cache-dir "$CACHE" "$ROOT/examples" "$ROOT/tests/typing/stub_usage.py"
echo "typecheck: stubtest morvelan_hdc"
(cd "$WORK" && "$PY" -m mypy.stubtest morvelan_hdc \
   --allowlist "$ROOT/tools/stubtest_allowlist.txt")
