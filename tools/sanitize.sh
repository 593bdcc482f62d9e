#!/usr/bin/env bash
# The whole Python suite against an AddressSanitizer + UBSan build of the
# extension (build/asan).
#   tools/sanitize.sh                  the whole suite
#   tools/sanitize.sh <pytest args>    only those tests
#   tools/sanitize.sh --run <command>  any command in the same environment (tools/fuzz.sh) The interpreter itself is not instrumented, so the
# ASan runtime is preloaded, and PYTHONMALLOC=malloc sends every Python
# allocation through it too (use-after-free of objects, overruns of list
# buffers). Leak detection stays on; only the interpreter's own allocations
# are suppressed (tests/python/lsan.supp).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=$ROOT/.venv/bin
BUILD=$ROOT/build/asan
JOBS=${JOBS:-2}

for tool in python cmake ninja; do
  if [ ! -x "$VENV/$tool" ]; then
    echo "sanitize: $VENV/$tool is missing; run 'make install' first" >&2
    exit 1
  fi
done

CXX=${CXX:-g++}
# The C++ tests too, where GoogleTest is there: an overrun that leaves every result
# intact (a kernel reading past its rows) shows only here.
[ -f build/gtest/found ] || bash tools/gtest.sh
GTEST=$(cat build/gtest/found)
CPP_TESTS=ON
[ "$GTEST" = none ] && CPP_TESTS=OFF
CMAKE_PREFIX_PATH=$GTEST "$VENV/cmake" -S "$ROOT" -B "$BUILD" -G Ninja \
  -DCMAKE_MAKE_PROGRAM="$VENV/ninja" \
  -DCMAKE_CXX_COMPILER="$CXX" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$VENV/python" \
  -DMHDC_SANITIZE=ON -DMHDC_BUILD_PYTHON=ON -DMHDC_BUILD_TESTS=$CPP_TESTS >/dev/null
"$VENV/ninja" -C "$BUILD" -j "$JOBS"

LIBASAN=$("$CXX" -print-file-name=libasan.so)
LIBSTDCXX=$("$CXX" -print-file-name=libstdc++.so)
for lib in "$LIBASAN" "$LIBSTDCXX"; do
  if [ ! -e "$lib" ]; then
    echo "sanitize: the compiler has no $(basename "$lib")" >&2
    exit 1
  fi
done
SHIM=$BUILD/libmhdc_asan_new.so
if [ ! -e "$SHIM" ] || [ tools/asan_new.cpp -nt "$SHIM" ]; then
  "$CXX" -std=c++20 -O2 -fno-omit-frame-pointer -shared -fPIC -o "$SHIM" tools/asan_new.cpp
fi
LOGS=$BUILD/logs
rm -rf "$LOGS"
mkdir -p "$LOGS"

export PYTHONPATH=$BUILD${MHDC_EXTRA_PYTHONPATH:+:$MHDC_EXTRA_PYTHONPATH}
export PYTHONMALLOC=malloc
export MHDC_SANITIZED=1
# Its own example database: a failure found here is replayed here, not in `make test`.
export HYPOTHESIS_STORAGE_DIRECTORY=$BUILD/hypothesis
# The shim comes first so that its operator new wins; libstdc++ is preloaded so
# that the runtime finds the real __cxa_throw (the interpreter does not link it).
export LD_PRELOAD="$SHIM $LIBASAN $LIBSTDCXX"
# allocator_may_return_null + max_allocation_size_mb: an impossible request (a
# dim near 2^62, or more than this machine could hold) fails as std::bad_alloc
# -> MemoryError, as it does without the sanitizer, instead of ending the
# process or being mapped lazily. Reports go to $LOGS (pytest captures stderr,
# and a process that dies takes its captured output with it).
export ASAN_OPTIONS="allocator_may_return_null=1:max_allocation_size_mb=8192:detect_leaks=1:halt_on_error=1:verify_asan_link_order=0:detect_stack_use_after_return=0:detect_odr_violation=0:check_initialization_order=1:strict_init_order=1:log_path=$LOGS/asan:log_exe_name=1:${ASAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$ROOT/tests/python/lsan.supp:print_suppressions=0:${LSAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$LOGS/ubsan:log_exe_name=1:${UBSAN_OPTIONS:-}"

if [ "$CPP_TESTS" = ON ] && [ "${1:-}" != "--run" ] && [ "$#" -eq 0 ]; then
  LD_PRELOAD=$SHIM ASAN_OPTIONS="allocator_may_return_null=1:max_allocation_size_mb=8192:halt_on_error=1:verify_asan_link_order=0" \
    "$VENV/ctest" --test-dir "$BUILD" --output-on-failure --no-tests=error -j "$JOBS" || {
      echo "sanitize: FAILED (the C++ tests)" >&2; exit 1; }
fi

# The suite must really run against the instrumented module, not an installed one.
"$VENV/python" - <<'EOF2'
import os, sys
import morvelan_hdc
where = os.path.realpath(morvelan_hdc.__file__)
want = os.path.realpath(os.environ["PYTHONPATH"].split(os.pathsep)[0])
if not where.startswith(want + os.sep):
    sys.exit(f"sanitize: imported {where}, not the build in {want}")
print(f"sanitize: testing {where}")
EOF2

rc=0
if [ "${1:-}" = "--run" ]; then
  shift
  "$@" || rc=$?
else
  # -p no:cacheprovider: nothing is written beside the sources. The kernels run
  # capped at the baseline instruction set here (the C++ tests above run every
  # set), so the suite also drives the baseline code through the module.
  [ "$#" -gt 0 ] || set -- tests/python
  MHDC_ISA=baseline "$VENV/python" -X faulthandler -m pytest -q -p no:cacheprovider "$@" || rc=$?
fi

# Every report from an interpreter counts, also one from a subprocess whose test
# did not look. Other programs the suite starts (pytest-benchmark runs git)
# inherit the preload but are not ours. "failed to allocate" warnings are the
# expected MemoryError cases.
reports=$(grep -l -E "ERROR: |runtime error|leak of" "$LOGS"/*.python* 2>/dev/null || true)
if [ -n "$reports" ]; then
  for f in $reports; do
    echo "==== $f" >&2
    cat "$f" >&2
  done
  [ "$rc" -ne 0 ] || rc=1
fi
if [ "$rc" -ne 0 ]; then
  echo "sanitize: FAILED (exit $rc)" >&2
else
  echo "sanitize: passed"
fi
exit "$rc"
