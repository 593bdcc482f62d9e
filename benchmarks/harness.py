"""A small timing harness shared by the benchmark scripts.

Each ``bench_<area>.py`` defines ``cases()`` yielding ``Case`` records: our call and
the comparisons it is measured against, on the same inputs. A case's calls are measured
together, their rounds interleaved, keeping each one's minimum, so ratios stay stable on
a noisy machine; this is the one timing engine, also of ``benchmarks/run.py``, which
gathers every script's cases into one table.
"""
from __future__ import annotations

import gc
import math
import time
from dataclasses import dataclass, field
from typing import Callable, Iterable


@dataclass
class Case:
    operation: str
    size: str
    ours: Callable[[], object]
    comparisons: dict[str, Callable[[], object]] = field(default_factory=dict)
    note: str = ""


def calibrate(fn: Callable[[], object], min_time: float) -> int:
    """Calls per round so that a round lasts at least `min_time`."""
    number = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        if time.perf_counter() - t0 >= min_time or number >= 1 << 20:
            return number
        number *= 2


def measure_together(fns: dict[str, Callable[[], object]], repeat: int, min_time: float) -> dict[str, float]:
    """Seconds per call of each function: rounds interleaved, minimum kept, collector off."""
    numbers = {name: calibrate(fn, min_time) for name, fn in fns.items()}
    best = {name: math.inf for name in fns}
    enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        for _ in range(repeat):
            for name, fn in fns.items():
                n = numbers[name]
                t0 = time.perf_counter()
                for _ in range(n):
                    fn()
                best[name] = min(best[name], (time.perf_counter() - t0) / n)
    finally:
        if enabled:
            gc.enable()
    return best


def measure_case(case: Case, repeat: int = 7, min_time: float = 0.02) -> dict:
    """One table row: our call and its comparisons measured together."""
    times = measure_together({"ours": case.ours, **case.comparisons}, repeat, min_time)
    return {"operation": case.operation, "size": case.size, "ours": times.pop("ours"), "comparisons": times,
            "note": case.note}


def fmt_time(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def run_cases(cases: Iterable[Case], repeat: int = 7) -> list[dict]:
    return [measure_case(case, repeat) for case in cases]


def markdown(rows: list[dict]) -> str:
    lines = ["| operation | size | ours | comparison | its time | ours / it |", "|---|---|---|---|---|---|"]
    for r in rows:
        comps = r["comparisons"] or {"—": None}
        for i, (name, t) in enumerate(comps.items()):
            head = (r["operation"], r["size"], fmt_time(r["ours"])) if i == 0 else ("", "", "")
            ratio = f"{r['ours'] / t:.2f}" if t else "—"
            lines.append(f"| {head[0]} | {head[1]} | {head[2]} | {name} | {fmt_time(t) if t else '—'} | {ratio} |")
    return "\n".join(lines)


def main(cases: Iterable[Case]) -> None:
    print(markdown(run_cases(cases)))
