#!/usr/bin/env bash
# Fuzzing with a fixed budget (`make fuzz`; not part of CI):
#   1. the hypothesis test of hostile arguments with many more examples than the suite runs,
#      under AddressSanitizer + UBSan (the build of tools/sanitize.sh);
#   2. the atheris target tools/fuzz_frame.py against the installed
#      module, coverage-guided (the sanitizer runtime would take over the
#      coverage hooks), growing a corpus in build/fuzz/corpus;
#   3. the same target under the sanitizers, starting from that corpus;
#   4. and 5. the same two runs of tools/fuzz_state.py, the readers of saved
#      states, with a corpus of their own in build/fuzz/state-corpus.
# FUZZ_EXAMPLES (default 200) sets the hypothesis examples per entry point,
# FUZZ_SECONDS (default 60) the time of each atheris run. Crashing inputs are
# written to build/fuzz/crash-*; rerun one with
#   PYTHONPATH=build/fuzz/site .venv/bin/python tools/fuzz_frame.py <file>
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=$ROOT/.venv/bin
OUT=$ROOT/build/fuzz
SITE=$OUT/site
SECONDS_EACH=${FUZZ_SECONDS:-60}
# atheris is only needed here: it goes beside the fuzz outputs, not into the
# development environment. (3.0.0 is the newest release with a wheel for
# this interpreter.)
ATHERIS_VERSION=3.0.0
mkdir -p "$OUT/corpus"
if ! PYTHONPATH=$SITE "$VENV/python" -c "import atheris" 2>/dev/null; then
  "$VENV/python" -m pip install --quiet --disable-pip-version-check --target "$SITE" "atheris==$ATHERIS_VERSION"
fi
# The process's own leak check (under the sanitizer) runs at exit with the
# suite's suppressions; libFuzzer's per-input one would count the
# interpreter's caches as leaks.
FLAGS=(-detect_leaks=0 -rss_limit_mb=4096 -timeout=30 -max_len=1024 -artifact_prefix="$OUT/")

echo "fuzz: hypothesis under the sanitizers, ${FUZZ_EXAMPLES:-200} examples per entry point"
MHDC_FUZZ_EXAMPLES=${FUZZ_EXAMPLES:-200} bash tools/sanitize.sh tests/python/test_reliability.py -k hostile

# An atheris target, coverage-guided against the installed module, then under the
# sanitizers from the corpus it grew.
atheris_runs() {
  local target=$1 corpus=$2
  mkdir -p "$corpus"
  echo "fuzz: $target, atheris, ${SECONDS_EACH} s"
  PYTHONPATH=$SITE "$VENV/python" "$target" -max_total_time="$SECONDS_EACH" "${FLAGS[@]}" "$corpus"
  echo "fuzz: $target under the sanitizers, from the corpus, ${SECONDS_EACH} s"
  MHDC_EXTRA_PYTHONPATH=$SITE bash tools/sanitize.sh --run "$VENV/python" "$target" \
    -max_total_time="$SECONDS_EACH" "${FLAGS[@]}" "$corpus"
}
atheris_runs tools/fuzz_frame.py "$OUT/corpus"
atheris_runs tools/fuzz_state.py "$OUT/state-corpus"
echo "fuzz: no failures"
