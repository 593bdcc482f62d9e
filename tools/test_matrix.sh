#!/usr/bin/env bash
# `make test-matrix`: for each Python from 3.9 to 3.13 found on PATH or under pyenv,
# a venv of its own (build/matrix/<version>) with requirements-dev.txt, a wheel built
# and installed there, then pytest, mypy and stubtest against it. A version that is not
# found is skipped with a line saying so; a table of build times and test counts ends it.
#   tools/test_matrix.sh [3.9 3.12 ...]     only those versions
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
VERSIONS=(3.9 3.10 3.11 3.12 3.13)
[ $# -gt 0 ] && VERSIONS=("$@")
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
PYENV_ROOT="${PYENV_ROOT:-$HOME/.pyenv}"

interpreter() {  # the newest interpreter of version $1 that runs, or nothing
  local c
  for c in $(ls -d "$PYENV_ROOT"/versions/"$1".*/bin/python"$1" 2>/dev/null | sort -V -r) \
           $(command -v "python$1" 2>/dev/null); do
    if [ "$("$c" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$1" ]; then
      echo "$c"; return
    fi
  done
}

rows=() failed=0
for v in "${VERSIONS[@]}"; do
  py=$(interpreter "$v")
  if [ -z "$py" ]; then
    echo "test-matrix: Python $v not found on PATH or under $PYENV_ROOT: skipped"
    rows+=("$v|not found|-|skipped"); continue
  fi
  dir=$ROOT/build/matrix/$v venv=$ROOT/build/matrix/$v/venv log=$ROOT/build/matrix/$v/log
  mkdir -p "$dir" && : >"$log"
  echo "test-matrix: Python $v ($py)"
  # A venv is kept only once its tools are in; a failed attempt is removed whole.
  if [ ! -f "$venv/.dev-tools" ] || [ requirements-dev.txt -nt "$venv/.dev-tools" ]; then
    rm -rf "$venv"
    if ! { "$py" -m venv "$venv" && "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
             -r requirements-dev.txt && touch "$venv/.dev-tools"; } >>"$log" 2>&1; then
      rm -rf "$venv"; echo "test-matrix: $v: the venv could not be set up (see $log)"
      rows+=("$v|venv failed|-|FAILED"); failed=1; continue
    fi
  fi
  vpy=$venv/bin/python
  start=$(date +%s)
  rm -rf "$dir/dist"
  if ! PATH="$venv/bin:$PATH" "$vpy" -m pip wheel . --no-build-isolation --no-deps --quiet \
         --disable-pip-version-check --config-settings=build-dir="$dir/build" -w "$dir/dist" >>"$log" 2>&1 ||
     ! "$vpy" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps \
         "$dir"/dist/morvelan_hdc-*.whl >>"$log" 2>&1; then
    echo "test-matrix: $v: the wheel did not build or install (see $log)"
    rows+=("$v|failed|-|FAILED"); failed=1; continue
  fi
  built=$(( $(date +%s) - start ))
  "$vpy" -m pytest -q -p no:cacheprovider >"$dir/pytest.log" 2>&1; rc=$?
  [ $rc -eq 5 ] && rc=0
  summary=$(tail -n 1 "$dir/pytest.log")
  if [ $rc -ne 0 ]; then
    tail -n 30 "$dir/pytest.log"; failed=1
  fi
  if ! PATH="$venv/bin:$PATH" MHDC_PYTHON="$vpy" bash tools/typecheck.sh >"$dir/typecheck.log" 2>&1; then
    cat "$dir/typecheck.log"; rc=1; failed=1
  fi
  echo "test-matrix: $v: built in ${built}s; $summary"
  rows+=("$v|${built}s|$summary|$([ $rc -eq 0 ] && echo ok || echo FAILED)")
done

echo
echo "| Python | wheel build | pytest | pytest, mypy, stubtest |"
echo "|---|---|---|---|"
for r in "${rows[@]}"; do echo "| ${r//|/ | } |"; done
exit $failed
