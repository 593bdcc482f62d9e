"""A small timing harness shared by the benchmark scripts.

Each ``bench_<area>.py`` defines ``cases()`` yielding ``Case`` records: our call and
the comparisons it is measured against, on the same inputs. Every pair is measured
in the same run, repeatedly, keeping the minimum, so ratios stay stable on a noisy
machine. ``benchmarks/run.py`` gathers every script's cases into one table.
"""
from __future__ import annotations

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


def measure(fn: Callable[[], object], repeat: int = 7, min_time: float = 0.02) -> float:
    """Seconds per call: the minimum over `repeat` rounds of enough calls to fill `min_time`."""
    number = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - t0
        if elapsed >= min_time or number >= 1 << 20:
            break
        number *= 2
    best = elapsed / number
    for _ in range(repeat - 1):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t0) / number)
    return best


def fmt_time(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def run_cases(cases: Iterable[Case], repeat: int = 7) -> list[dict]:
    rows = []
    for case in cases:
        ours = measure(case.ours, repeat)
        comps = {name: measure(fn, repeat) for name, fn in case.comparisons.items()}
        rows.append({"operation": case.operation, "size": case.size, "ours": ours, "comparisons": comps,
                     "note": case.note})
    return rows


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
