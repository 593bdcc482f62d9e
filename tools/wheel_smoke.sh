#!/usr/bin/env bash
# `make wheel`: build the wheel from a clean clone of HEAD (so only committed files go
# in), put it in build/dist, install it into a fresh virtual environment with no index
# (the wheel has no dependencies), and smoke-test the installed module from outside the
# checkout: names, exact values, the stub beside it, and the quickstart example.
# The build tools come from .venv (--no-build-isolation); `make wheel` installs them.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
PY="${MHDC_PYTHON:-$ROOT/.venv/bin/python}"
[ -x "$PY" ] || PY=python3
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
DIST="$ROOT/build/dist"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT

if [ -n "$(git -C "$ROOT" status --porcelain --untracked-files=no)" ]; then
  echo "wheel: note: uncommitted changes are not in the wheel (it is built from HEAD)"
fi
git clone --quiet --no-hardlinks "$ROOT" "$WORK/src"
echo "wheel: building $(git -C "$WORK/src" rev-parse --short HEAD) in a clean clone"
mkdir -p "$DIST"
# The C++ unit tests are not part of a wheel.
(cd "$WORK/src" && "$PY" -m pip wheel . --no-build-isolation --no-deps --quiet --disable-pip-version-check \
   --config-settings=cmake.define.MHDC_BUILD_TESTS=OFF -w "$WORK/wheelhouse")
WHEEL="$(ls "$WORK"/wheelhouse/morvelan_hdc-*.whl)"
cp "$WHEEL" "$DIST/"
echo "wheel: $DIST/$(basename "$WHEEL")"

# What the wheel carries: the extension, its stub, and the package metadata.
"$PY" - "$WHEEL" <<'EOF'
import sys
import zipfile
from email.parser import Parser

names = zipfile.ZipFile(sys.argv[1]).namelist()
assert any(n.startswith("morvelan_hdc.") and n.endswith(".so") for n in names), names
assert "morvelan_hdc.pyi" in names, names
meta_name = next(n for n in names if n.endswith(".dist-info/METADATA"))
meta = Parser().parsestr(zipfile.ZipFile(sys.argv[1]).read(meta_name).decode())
assert meta["Name"] == "morvelan_hdc" and meta["Version"], dict(meta)
assert meta["Requires-Python"] and meta["Summary"], dict(meta)
assert "Typing :: Typed" in meta.get_all("Classifier", []), meta.get_all("Classifier")
print("wheel: contents and metadata ok:", meta["Name"], meta["Version"], "|", meta["Summary"])
EOF

"$PY" -m venv "$WORK/venv"
"$WORK/venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-index "$WHEEL"

cd "$WORK"  # away from the checkout, so only the installed module can be imported
"$WORK/venv/bin/python" - <<'EOF'
import pathlib
import threading

import morvelan_hdc as hdc

assert "site-packages" in hdc.__file__, hdc.__file__
assert len(hdc.__all__) == 24 and hdc.__all__[:3] == ["rand_bipolar", "resonance", "hdc_bind"]
assert pathlib.Path(hdc.__file__).with_name("morvelan_hdc.pyi").is_file()
assert hdc.resonance([1, -1, 1, 1], [1, -1, -1, 1]) == 0.75
assert hdc.hdc_bind([0.1], [3]) == [0.30000001192092896]
assert hdc.hdc_permute([1, 2, 3, 4], -1) == [2.0, 3.0, 4.0, 1.0]
a = hdc.hv_hash_string("apple", 1024)
assert hdc.hv_hash_string("apple", 1024) == a and set(a) == {-1.0, 1.0}
cache = hdc.PyHKVC(256)
cache.store("a", "b", 0)
value, strength = cache.query("a")
assert value == "b" and abs(strength - 1.0) < 1e-5, (value, strength)
caught = []


def from_another_thread():
    try:
        cache.count()
    except BaseException as e:  # PanicException is not an Exception
        caught.append(e)


t = threading.Thread(target=from_another_thread)
t.start()
t.join()
assert type(caught[0]).__name__ == "PanicException" and not isinstance(caught[0], Exception)
print("wheel: import and smoke test ok in a fresh venv:", hdc.__file__)
EOF
"$WORK/venv/bin/python" "$WORK/src/examples/quickstart.py" > "$WORK/quickstart.out"
grep -q "walk from clouds  *clouds -> rain -> wet road -> skid" "$WORK/quickstart.out"
echo "wheel: examples/quickstart.py runs against the installed wheel"
