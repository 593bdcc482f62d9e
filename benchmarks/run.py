"""Every benchmark in one run: `make bench` (or `python benchmarks/run.py`).

Gathers the `cases()` of every benchmarks/bench_*.py, adds the cases behind the
performance targets (numpy float32 inputs, the machine bounds of benchmarks/native/),
measures each case's calls interleaved round by round and keeps each one's minimum
(harness.measure_together), so that the ratios of a case come from the same moments of
a noisy machine. Prints one table and writes it,
with the targets, the machine and the date, to benchmarks/RESULTS.md; where matplotlib
is installed it also draws time against dimension (1,000 .. 100,000) for the algebra,
the scans and the encoders into benchmarks/scaling.png.

Options: --quick (fewer, shorter rounds), --only SUBSTRING (cases whose operation
contains it; RESULTS.md is then left alone), --no-sweep, --no-write.
"""
from __future__ import annotations

import argparse
import datetime
import gc
import importlib
import os
import platform
import re
import subprocess
import sys
import time
import traceback
from pathlib import Path
from typing import Callable, Iterable

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402

from harness import Case, fmt_time, measure_case, measure_together  # noqa: E402
from native_ext import load  # noqa: E402

import morvelan_hdc as m  # noqa: E402

F32 = np.float32
DIMS = (1_000, 3_000, 10_000, 30_000, 100_000)
NOTES_MARK = "<!-- notes: kept when this file is rewritten -->"


def load_or_none(name: str):
    try:
        return load(name)
    except ImportError as e:
        print(f"({name} unavailable: {e})", file=sys.stderr)
        return None


# ---- the cases behind the targets ---------------------------------------------------

def target_cases(floor, bounds, dim: int = 10_000) -> Iterable[Case]:
    rng = np.random.default_rng(11)
    a32, b32 = (np.where(rng.random(dim) < 0.5, F32(-1), F32(1)) for _ in range(2))
    g32, h32 = (rng.standard_normal(dim).astype(F32) for _ in range(2))
    size = f"D={dim}"
    list_of = {"floor list_of (fresh floats)": lambda: floor.list_of(dim)} if floor else {}
    for name, ours, np_arrays in [
        ("hdc_bind", lambda: m.hdc_bind(a32, b32), lambda: (a32 * b32).tolist()),
        ("hdc_bundle", lambda: m.hdc_bundle(a32, b32), lambda: np.sign(a32 + b32).tolist()),
        ("hdc_unbind", lambda: m.hdc_unbind(a32, b32), lambda: (b32 * a32).tolist()),
    ]:
        yield Case(f"{name} (float32 arrays in)", size, ours, {**list_of, "numpy (arrays in)": np_arrays})
    seq = {"sequential-add bound": lambda: bounds.seq_dot(a32, b32)} if bounds else {}
    yield Case("resonance (bipolar float32 arrays)", size, lambda: m.resonance(a32, b32),
               {"np.dot (same arrays)": lambda: np.dot(a32, b32), **seq})
    seq = {"sequential-add bound": lambda: bounds.seq_dot(g32, h32)} if bounds else {}
    yield Case("resonance (general float32 arrays)", size, lambda: m.resonance(g32, h32),
               {"np.dot (same arrays)": lambda: np.dot(g32, h32), **seq})
    if bounds:
        shared = lambda n: bounds.list_of_shared(n)  # noqa: E731
        yield Case("rand_bipolar", size, lambda: m.rand_bipolar(dim),
                   {"ChaCha12 floor + list build": lambda: (bounds.chacha_draws(dim), shared(dim)),
                    "ChaCha12 floor + fresh-float list": lambda: (bounds.chacha_draws(dim), floor.list_of(dim))})
        engine = m.PyHoloGenEngine(dim)
        yield Case("generate_photon (colour)", size, lambda: engine.generate_photon("blue"),
                   {"ChaCha12 floor + list build": lambda: (bounds.chacha_draws(dim), shared(dim))})
        yield Case("generate_pixel_geometry", size, lambda: engine.generate_pixel_geometry(3, 5, 7),
                   {"ChaCha12 floor + list build": lambda: (bounds.chacha_draws(3 * dim), shared(dim))})


# ---- the dimension sweep -----------------------------------------------------------

def sweep_cases(dim: int) -> Iterable[tuple[str, int, Callable[[], object]]]:
    """(label, elements per call, call) at one dimension."""
    rng = np.random.default_rng(dim)
    a, b = (np.where(rng.random(dim) < 0.5, -1.0, 1.0).tolist() for _ in range(2))
    g = rng.uniform(-2, 2, dim).tolist()
    yield "algebra: hdc_bind", dim, lambda: m.hdc_bind(a, b)
    yield "algebra: hdc_bundle", dim, lambda: m.hdc_bundle(a, b)
    yield "algebra: resonance (bipolar)", dim, lambda: m.resonance(a, b)
    yield "algebra: resonance (general)", dim, lambda: m.resonance(g, g)
    yield "algebra: normalise_bipolar", dim, lambda: m.normalise_bipolar(g)
    yield "encoders: rand_bipolar", dim, lambda: m.rand_bipolar(dim)
    text = "abcdefghij " * 93
    yield "encoders: hv_hash_string (1 KiB)", dim, lambda: m.hv_hash_string(text, dim)
    yield "encoders: encode_system_state", dim, lambda: m.encode_system_state(dim, 42.0, 17.5, 3, 950)
    concepts = 200
    sched = m.PyHoloCPUScheduler(dim, 4)
    for i in range(concepts):
        sched.store_memory(f"concept-{i}")
    yield f"scans: scheduler recall ({concepts:,} concepts)", concepts * dim, lambda: sched.recall("not stored")
    cm = m.PyCausalMemory(dim)
    rows = np.where(rng.random((3, dim)) < 0.5, F32(-1), F32(1))
    for _ in range(50):
        cm.record(rows[0], rng.permutation(rows[1]), rows[2])
    miss = np.where(rng.random(dim) < 0.5, -1.0, 1.0).tolist()
    yield "scans: causal recall_effect fallback (50 records)", 50 * dim, lambda: cm.recall_effect(miss)


# ---- gathering and reporting ---------------------------------------------------------

def bench_modules() -> list[str]:
    return sorted(p.stem for p in HERE.glob("bench_*.py"))


def collect(only: str | None, floor, bounds) -> list[tuple[str, Callable[[], Iterable[Case]]]]:
    groups: list[tuple[str, Callable[[], Iterable[Case]]]] = []
    for name in bench_modules():
        def make(name=name):
            return importlib.import_module(name).cases()
        groups.append((name.removeprefix("bench_"), make))
    groups.append(("targets", lambda: target_cases(floor, bounds)))
    return groups


def classify(name: str) -> str:
    low = name.lower()
    if "floor" in low or "bound" in low:
        return "floor"
    if "array" in low or "given" in low or "same arrays" in low or "handed" in low:
        return "numpy (arrays)"
    if low.startswith("numpy") or low.startswith("np."):
        return "numpy (lists)"
    return "other"


def run_all(groups, only, repeat, min_time) -> tuple[list[dict], list[str]]:
    rows, errors = [], []
    for group, make in groups:
        t0 = time.perf_counter()
        try:
            cases = list(make())
        except Exception:  # noqa: BLE001 - a broken script is reported, the rest still run
            errors.append(f"{group}: setup failed\n{traceback.format_exc(limit=3)}")
            continue
        for case in cases:
            if only and only not in case.operation:
                continue
            try:
                rows.append({"group": group, **measure_case(case, repeat, min_time)})
            except Exception:  # noqa: BLE001
                errors.append(f"{group}: {case.operation} failed\n{traceback.format_exc(limit=3)}")
                continue
            print(f"  {group:9s} {case.operation:45s} {fmt_time(rows[-1]['ours']):>9s}", file=sys.stderr)
        del cases
        gc.collect()
        print(f"[{group}: {time.perf_counter() - t0:.1f} s]", file=sys.stderr)
    return rows, errors


def table(rows: list[dict]) -> str:
    cols = ["floor", "numpy (lists)", "numpy (arrays)", "other"]
    head = "| area | operation | size | ours | " + " | ".join(f"{c} | ours/it" for c in cols) + " | note |"
    lines = [head, "|" + "---|" * (5 + 2 * len(cols))]
    for r in rows:
        cells = {c: [] for c in cols}
        for name, t in r["comparisons"].items():
            cells[classify(name)].append((name, t))
        line = f"| {r['group']} | {r['operation']} | {r['size']} | {fmt_time(r['ours'])} |"
        for c in cols:
            if not cells[c]:
                line += " | |"
                continue
            line += " " + "<br>".join(f"{fmt_time(t)} ({n})" if len(cells[c]) > 1 or c == "other" or n != c
                                        else fmt_time(t) for n, t in cells[c]) + " | "
            line += "<br>".join(f"{r['ours'] / t:.2f}" for _, t in cells[c]) + " |"
        lines.append(line + f" {r['note']} |")
    return "\n".join(lines)


def find(rows, group, operation):
    for r in rows:
        if r["group"] == group and r["operation"] == operation:
            return r
    return None


def ratio(rows, group, operation, comparison, invert=False):
    r = find(rows, group, operation)
    if r is None or comparison not in r["comparisons"]:
        return None
    x = r["ours"] / r["comparisons"][comparison]
    return 1 / x if invert else x


SCAN_SIZES = {  # operation -> (items, dim) of the stored vectors each call scans
    "PyHoloCPUScheduler.recall": (10_000, 1_024),
    "PyCausalMemory.recall_effect (fallback)": (None, 1_024),
    "PyCausalMemory.recall_by_time (direct scan)": (None, 1_024),
    "materialize": (1_000, 10_000),
    "PyMultiHopReasoner.reason (hop 0, general query)": (10_000, 1_024),
}

# Scans held to the lane add bound alone (a general query: numpy's BLAS may sum in any order).
LANE_BOUND_ONLY = {"PyMultiHopReasoner.reason (hop 0, general query)"}

# Scans of bipolar rows by a bipolar query, which are counted: numpy / ours at least this.
COUNTED_SCANS = {"materialize": 25, "PyCausalMemory.recall_by_time (direct scan)": 25}


# Scans whose time is not mostly adds: a cosine per element (the cache's phasors),
# or boxing every positive cause (thousands of result lists). numpy ratio only.
PHASOR_SCANS = {"PyHKVC.query (fallback)": None, "PyCausalMemory.recall_cause (fallback)": None}


def items_of(size: str) -> int | None:
    found = re.search(r"([\d,]+) (?:items|concepts|keys|agents|facts)", size)
    return int(found.group(1).replace(",", "")) if found else None


def targets(rows, add_seconds) -> list[tuple[str, str, str, str]]:
    """(target, measured, met?, comparison) lines."""
    out = []

    def check(label, value, limit, fmt="{:.2f}x", better="<="):
        if value is None:
            out.append((label, "n/a", "—", f"{better} {limit}"))
            return
        ok = value <= limit if better == "<=" else value >= limit
        out.append((label, fmt.format(value), "met" if ok else "missed", f"{better} {limit}"))

    for op in ("hdc_bind", "hdc_bundle", "normalise_bipolar", "hdc_permute"):
        check(f"{op}, lists in/out: ours / floor", ratio(rows, "algebra", op, "floor"), 1.2)
        if op != "hdc_permute":
            check(f"{op}, lists in/out: numpy from lists / ours", ratio(rows, "algebra", op, "numpy", True), 3,
                  better=">=")
    for op in ("hdc_bind", "hdc_bundle", "hdc_unbind"):
        check(f"{op}, float32 arrays in: ours / building the result list alone",
              ratio(rows, "targets", f"{op} (float32 arrays in)", "floor list_of (fresh floats)"), 1.3)
    check("resonance, bipolar float32: ours / np.dot",
          ratio(rows, "targets", "resonance (bipolar float32 arrays)", "np.dot (same arrays)"), 1.5)
    check("resonance, general float32: ours / sequential-add bound",
          ratio(rows, "targets", "resonance (general float32 arrays)", "sequential-add bound"), 1.2)
    for r in rows:
        if r["group"] not in ("memory", "meta", "swarm") or r["operation"] not in SCAN_SIZES | PHASOR_SCANS:
            continue
        np_times = [t for n, t in r["comparisons"].items() if n.startswith("numpy")]
        if np_times and r["operation"] not in LANE_BOUND_ONLY:
            check(f"scan {r['operation']}: numpy / ours", min(np_times) / r["ours"],
                  COUNTED_SCANS.get(r["operation"], 5), better=">=")
        if r["operation"] not in SCAN_SIZES:
            continue
        items, dim = SCAN_SIZES[r["operation"]]
        items = items or items_of(r["size"])
        if add_seconds and items:
            bound = items * dim * add_seconds / 8  # one dependent add per element per 8-lane vector
            check(f"scan {r['operation']}: ours / lane add bound ({fmt_time(bound)})", r["ours"] / bound, 2)
    for r in rows:
        if r["group"] == "state":
            check(f"{r['operation']}, {r['size']}: seconds", r["ours"], 0.5, fmt="{:.3f}")
    hop0 = "PyMultiHopReasoner.reason (hop 0, bipolar query)"
    check("scan reason hop 0, bipolar: numpy from the list / ours",
          ratio(rows, "memory", hop0, "numpy (from the list)", True), 25, better=">=")
    check("scan reason hop 0, bipolar: ours / popcount floor", ratio(rows, "memory", hop0, "popcount floor"), 3)
    for op in ("rand_bipolar", "generate_photon (colour)", "generate_pixel_geometry"):
        check(f"{op}: ours / (ChaCha12 floor + list build)",
              ratio(rows, "targets", op, "ChaCha12 floor + list build"), 1.5)
    return out


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        info = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        fields = dict(line.split(":", 1) for line in info.splitlines() if ":" in line)
        model = fields.get("Model name", model).strip()
        flags = fields.get("Flags", "")
        if "avx2" in flags.split():
            model += " (AVX2)"
    except (OSError, subprocess.CalledProcessError):
        pass
    return f"{model}, {os.cpu_count()} logical cores; Python {platform.python_version()}, numpy {np.__version__}"


def commit() -> str:
    try:
        return subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def run_sweep(repeat, min_time) -> dict[str, dict[int, tuple[float, int]]]:
    series: dict[str, dict[int, tuple[float, int]]] = {}
    for dim in DIMS:
        for label, elements, fn in sweep_cases(dim):
            t = measure_together({"ours": fn}, repeat, min_time)["ours"]
            series.setdefault(label, {})[dim] = (t, elements)
        gc.collect()
        print(f"[sweep D={dim:,}]", file=sys.stderr)
    return series


def sweep_table(series) -> str:
    lines = ["| operation | " + " | ".join(f"D={d:,}" for d in DIMS) + " | ns / element, D=10,000 | D=100,000 |",
             "|---|" + "---|" * (len(DIMS) + 2)]
    for label, by_dim in series.items():
        per = [by_dim[d][0] / by_dim[d][1] * 1e9 for d in (10_000, DIMS[-1])]
        lines.append(f"| {label} | " + " | ".join(fmt_time(by_dim[d][0]) for d in DIMS)
                     + f" | {per[0]:.3g} | {per[1]:.3g} |")
    return "\n".join(lines)


def plot(series, path: Path) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    fig, axes = plt.subplots(1, 3, figsize=(15, 4.5))
    for ax, area in zip(axes, ("algebra", "scans", "encoders")):
        for label, by_dim in series.items():
            if label.startswith(area + ":"):
                ax.loglog(list(by_dim), [t * 1e6 for t, _ in by_dim.values()], marker="o",
                          label=label.split(": ", 1)[1])
        ax.set_title(area)
        ax.set_xlabel("dimension")
        ax.set_ylabel("microseconds per call")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--only")
    ap.add_argument("--no-sweep", action="store_true")
    ap.add_argument("--no-write", action="store_true")
    args = ap.parse_args()
    repeat, min_time = (3, 0.004) if args.quick else (7, 0.01)
    started = time.perf_counter()

    floor, bounds = (load_or_none(name) for name in ("floor", "bounds"))
    add_seconds = bounds.add_latency(2_000_000) if bounds else None

    rows, errors = run_all(collect(args.only, floor, bounds), args.only, repeat, min_time)
    main_table = table(rows)
    print(main_table)
    goals = targets(rows, add_seconds)
    goal_lines = ["| target | measured | | limit |", "|---|---|---|---|"] + [f"| {a} | {b} | {c} | {d} |"
                                                                        for a, b, c, d in goals]
    print("\n" + "\n".join(goal_lines))
    series = {} if (args.no_sweep or args.only) else run_sweep(max(3, repeat - 2), min_time / 2)
    if series:
        print("\n" + sweep_table(series))
    for e in errors:
        print("\nERROR " + e, file=sys.stderr)
    elapsed = time.perf_counter() - started
    print(f"\n{len(rows)} cases in {elapsed:.0f} s", file=sys.stderr)
    if args.no_write or args.only:
        return 1 if errors else 0

    out = HERE / "RESULTS.md"
    notes = ""
    if out.exists() and NOTES_MARK in out.read_text():
        notes = out.read_text().split(NOTES_MARK, 1)[1]
    png = HERE / "scaling.png"
    plotted = bool(series) and plot(series, png)
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    add_line = f"; one dependent float32 add takes {add_seconds * 1e9:.2f} ns" if add_seconds else ""
    text = [
        "# Benchmark results",
        "",
        f"Generated by `make bench` (benchmarks/run.py) on {when}, commit {commit()}.",
        f"Machine: {machine()}{add_line}.",
        f"Each time is the minimum over {repeat} rounds (each round at least {min_time * 1e3:.0f} ms of calls),",
        "the rounds of a case's calls interleaved, the cyclic collector off while timing. `ours/it` below 1",
        "means we are faster. floor: the conversion floor (benchmarks/native/floor.c: unbox the inputs, box a",
        "fresh float per output element) or a machine bound (benchmarks/native/bounds.cpp).",
        "",
        "## All benchmarks",
        "",
        main_table,
        "",
        "## Targets",
        "",
        *goal_lines,
        "",
    ]
    if series:
        text += ["## Time against dimension", "",
                 ("![time against dimension](scaling.png)" if plotted else
                  "(matplotlib is not installed here, so no plot was drawn; the numbers:)"), "",
                 sweep_table(series), ""]
    if errors:
        text += ["## Errors", "", "```", *errors, "```", ""]
    text += [NOTES_MARK + (notes if notes else "\n")]
    out.write_text("\n".join(text).rstrip() + "\n")
    print(f"wrote {out.relative_to(ROOT)}" + (f" and {png.relative_to(ROOT)}" if plotted else ""), file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
