"""Instructions per element of the main operations, counted by callgrind: `make bench-instructions`.

Unlike times, instruction counts do not depend on what else the machine is doing, so a
regression shows up as a changed count even on a noisy machine. A fixed workload (fixed
seeds and sizes) runs under `valgrind --tool=callgrind`; each operation is called a few
times from inside one small C function (benchmarks/native/cgrun.c, which `make
bench-instructions` builds), and only what happens inside that function is counted:
argument conversion, the core, boxing the result and freeing it again. The same loop around a call of `None` is subtracted.

Options: --keep (leave the callgrind output in build/bench-instructions), --only SUBSTRING.
"""
from __future__ import annotations

import argparse
import importlib.util
import re
import shutil
import subprocess
import sys
from pathlib import Path

from native_ext import DIR, load

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = ROOT / "build" / "bench-instructions"
CALLS = 3

# The workload, run by the interpreter under callgrind. Prints one line per operation:
# "<label>\t<elements per call>" in the order the runs happen.
WORKLOAD = r"""
import array, random, sys
sys.path.insert(0, sys.argv[1])
import _cgrun
import morvelan_hdc as m

only = sys.argv[2]
CALLS = int(sys.argv[3])
D = 10_000
rnd = random.Random(1)
bip = lambda n: [1.0 if rnd.getrandbits(1) else -1.0 for _ in range(n)]
a, b = bip(D), bip(D)
g = [rnd.uniform(-2.0, 2.0) for _ in range(D)]
a32, b32, g32 = array.array("f", a), array.array("f", b), array.array("f", g)
text = "".join(rnd.choice("abcdefghij ") for _ in range(1024))

def algebra():
    yield "resonance, bipolar lists", D, lambda: m.resonance(a, b)
    yield "resonance, general lists", D, lambda: m.resonance(g, g)
    yield "resonance, bipolar float32 arrays", D, lambda: m.resonance(a32, b32)
    yield "resonance, general float32 arrays", D, lambda: m.resonance(g32, g32)
    yield "hdc_bind, bipolar lists", D, lambda: m.hdc_bind(a, b)
    yield "hdc_bind, bipolar float32 arrays", D, lambda: m.hdc_bind(a32, b32)
    yield "hdc_bind, general lists", D, lambda: m.hdc_bind(g, g)
    yield "hdc_bundle, bipolar lists", D, lambda: m.hdc_bundle(a, b)
    yield "hdc_unbind, bipolar lists", D, lambda: m.hdc_unbind(a, b)
    yield "hdc_permute, general lists", D, lambda: m.hdc_permute(g, 17)
    yield "normalise_bipolar, general lists", D, lambda: m.normalise_bipolar(g)

def encoders():
    yield "rand_bipolar", D, lambda: m.rand_bipolar(D)
    yield "hv_hash_string, 1 KiB text", D, lambda: m.hv_hash_string(text, D)
    yield "encode_system_state", D, lambda: m.encode_system_state(D, 42.0, 17.5, 3, 950)
    yield "hv_hash, bipolar list", D, lambda: m.hv_hash(a)
    e = m.PyHoloGenEngine(D)
    yield "generate_photon (colour)", D, lambda: e.generate_photon("blue")

def scans():
    dim = 1024
    s = m.PyHoloCPUScheduler(dim, 4)
    for i in range(2000):
        s.store_memory(f"concept-{i}")
    yield "PyHoloCPUScheduler.recall, 2,000 x 1,024", 2000 * dim, lambda: s.recall("not stored")
    cm = m.PyCausalMemory(dim)
    rows = [bip(dim) for _ in range(3)]
    for k in range(1000):
        cm.record(rows[0], rows[1][k:] + rows[1][:k], rows[2])
    miss = bip(dim)
    yield "PyCausalMemory.recall_effect fallback, 1,000 x 1,024", 1000 * dim, lambda: cm.recall_effect(miss)
    keys, values = [bip(dim) for _ in range(100)], [bip(dim) for _ in range(100)]
    head = m.PyQuantumAttentionHead(dim, 2)
    yield "PyQuantumAttentionHead.compute, 100 x 1,024 lists", 100 * dim, lambda: head.compute(keys[3], keys, values)
    sw = m.PyHoloSwarm(dim)
    for j in range(200):
        sw.add_agent(f"r{j}", bip(dim), f"p{j}", bip(dim), f"s{j}", bip(dim))
    probe = bip(dim)
    yield "PyHoloSwarm.materialize, 200 x 1,024", 200 * dim, lambda: sw.materialize(probe, 0.6)

_cgrun.run(lambda: None, CALLS)  # the baseline
print("baseline\t1", flush=True)
for group in (algebra, encoders, scans):
    for label, elements, fn in group():
        if only and only not in label:
            continue
        fn()  # warm: first-use allocations and dispatch are not part of the count
        _cgrun.run(fn, CALLS)
        print(f"{label}\t{elements}", flush=True)
"""


def totals(path: Path) -> int:
    for line in path.read_text().splitlines():
        if line.startswith(("summary:", "totals:")):
            return int(line.split()[1])
    raise RuntimeError(f"no totals in {path}")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--only", default="")
    args = ap.parse_args()
    if shutil.which("valgrind") is None:
        print("valgrind is not installed (apt-get install valgrind)", file=sys.stderr)
        return 1
    if importlib.util.find_spec("morvelan_hdc") is None:
        print("morvelan_hdc is not importable (make install, or PYTHONPATH=<build dir>)", file=sys.stderr)
        return 1
    try:
        load("cgrun")  # the runner, benchmarks/native/cgrun.c
    except ImportError as e:
        print(e, file=sys.stderr)
        return 1
    OUT.mkdir(parents=True, exist_ok=True)
    for old in OUT.glob("cg.out*"):
        old.unlink()
    workload = OUT / "workload.py"
    workload.write_text(WORKLOAD)
    cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=mhdc_cg_run",
           "--dump-after=mhdc_cg_run", f"--callgrind-out-file={OUT / 'cg.out'}",
           sys.executable, str(workload), str(DIR), args.only, str(CALLS)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        print(proc.stdout + proc.stderr[-3000:], file=sys.stderr)
        return 1
    labels = [line.split("\t") for line in proc.stdout.splitlines() if "\t" in line]
    parts = sorted(OUT.glob("cg.out.*"), key=lambda p: int(re.sub(r"\D", "", p.suffix) or 0))
    if len(parts) < len(labels):
        print(f"expected {len(labels)} callgrind dumps, found {len(parts)}", file=sys.stderr)
        return 1
    counts = [totals(p) for p in parts[:len(labels)]]
    base = counts[0] / CALLS
    print(f"Instructions counted by callgrind ({CALLS} calls each, loop overhead of {base:.0f} per call removed)\n")
    print(f"| {'operation':55s} | {'elements':>10s} | {'instructions / call':>20s} | {'per element':>11s} |")
    print(f"|{'-' * 57}|{'-' * 12}:|{'-' * 21}:|{'-' * 12}:|")
    for (label, elements), total in zip(labels[1:], counts[1:]):
        per_call = total / CALLS - base
        print(f"| {label:55s} | {int(elements):>10,} | {per_call:>20,.0f} | {per_call / int(elements):>11.2f} |")
    if not args.keep:
        for p in OUT.glob("cg.out*"):
            p.unlink()
    return 0


if __name__ == "__main__":
    sys.exit(main())
