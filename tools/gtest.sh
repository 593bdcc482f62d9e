#!/usr/bin/env bash
# Finds GoogleTest for the C++ tests and writes what CMake needs into build/gtest/found:
# an empty line when an installed GoogleTest is usable (CMake's own search decides), a
# prefix for CMAKE_PREFIX_PATH when the distribution's package file was fetched into
# build/gtest (apt-get download and dpkg-deb -x need no root), or "none" when neither
# works; then the C++ tests are skipped. MHDC_GTEST=fetch skips the installed one.
set -uo pipefail
cd "$(dirname "$0")/.."
DIR=$PWD/build/gtest
LOCAL=$DIR/root/usr
CMAKE=${CMAKE:-cmake}
mkdir -p "$DIR"

usable() {  # usable <prefix>: does find_package(GTest) succeed with it?
  rm -rf "$DIR/probe"
  CMAKE_PREFIX_PATH=$1 "$CMAKE" -S tools/gtest_probe -B "$DIR/probe" >"$DIR/probe.log" 2>&1
}

found() { printf '%s\n' "$1" >"$DIR/found"; exit 0; }

if [ "${MHDC_GTEST:-}" != fetch ] && usable ""; then found ""; fi
if [ -d "$LOCAL" ] && usable "$LOCAL"; then found "$LOCAL"; fi

# The package lists apt already has; failing those, a private copy (no root needed).
fetch() {
  rm -rf "$DIR/deb" && mkdir -p "$DIR/deb" && (cd "$DIR/deb" && apt-get -q "$@" download libgtest-dev)
}
lists=(-o Dir::State::Lists="$DIR/lists" -o Debug::NoLocking=1)
if command -v apt-get >/dev/null && command -v dpkg-deb >/dev/null; then
  echo "gtest: GoogleTest is not installed; fetching the distribution's libgtest-dev into build/gtest"
  if fetch >"$DIR/fetch.log" 2>&1 ||
     { mkdir -p "$DIR/lists/partial" && apt-get -q "${lists[@]}" update >>"$DIR/fetch.log" 2>&1 &&
       fetch "${lists[@]}" >>"$DIR/fetch.log" 2>&1; }; then
    rm -rf "$DIR/root" && dpkg-deb -x "$DIR"/deb/libgtest-dev_*.deb "$DIR/root" && usable "$LOCAL" && found "$LOCAL"
  fi
fi
echo "none" >"$DIR/found"
echo "gtest: GoogleTest is neither installed nor obtainable here (see build/gtest/*.log): the C++ tests are skipped" >&2
