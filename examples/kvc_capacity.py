"""Capacity of the holographic key-value cache: query strength versus stored pairs.

Every pair is superposed into one accumulator of unit phasors, so the strength a
query reads for its value falls as 1/n with n pairs stored. The exact path
(hash index, then key-phase agreement) still names the right value for every
stored key; what runs out is the holographic signal. The table puts the mean
strength of the stored keys beside the noise floor: the mean best score that
keys never stored receive from the fallback recall. Where the two meet, the
accumulator alone no longer tells a stored key from a stranger.

    python examples/kvc_capacity.py [--out kvc_capacity.png]

Writes the plot only where matplotlib is installed; the table is always printed.
"""
from __future__ import annotations

import argparse
import importlib
from dataclasses import dataclass

import morvelan_hdc as hdc

DIMS = (256, 1024)
PAIRS = (1, 2, 4, 8, 16, 32, 64, 128, 256, 512)
UNSEEN = 16


@dataclass
class Row:
    dim: int
    pairs: int
    hits: int
    mean_strength: float
    weakest: float
    noise_floor: float


def measure(dim: int, pairs: int) -> Row:
    cache = hdc.PyHKVC(dim)
    for i in range(pairs):
        cache.store(f"key-{i}", f"value-{i}", i)
    answers = [cache.query(f"key-{i}") for i in range(pairs)]
    hits = sum(value == f"value-{i}" for i, (value, _) in enumerate(answers))
    strengths = [score for _, score in answers]
    floor = [cache.query(f"unseen-{j}")[1] for j in range(UNSEEN)]
    return Row(dim, pairs, hits, sum(strengths) / pairs, min(strengths), sum(floor) / UNSEEN)


def print_table(rows: list[Row]) -> None:
    print(f"{'dim':>5} {'pairs':>6} {'exact hits':>11} {'strength':>9} {'1/n':>7} {'weakest':>8} "
          f"{'noise floor':>12}")
    for r in rows:
        marker = "  <- floor reached" if r.mean_strength <= r.noise_floor else ""
        print(f"{r.dim:>5} {r.pairs:>6} {r.hits:>5}/{r.pairs:<5} {r.mean_strength:>9.4f} {1 / r.pairs:>7.4f} "
              f"{r.weakest:>8.4f} {r.noise_floor:>12.4f}{marker}")


def plot(rows: list[Row], path: str) -> bool:
    """Write a log-log plot of strength and noise floor; False where matplotlib is absent."""
    try:
        matplotlib = importlib.import_module("matplotlib")
    except ImportError:
        return False
    matplotlib.use("Agg")  # no display needed
    plt = importlib.import_module("matplotlib.pyplot")
    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    for dim in DIMS:
        mine = [r for r in rows if r.dim == dim]
        xs = [r.pairs for r in mine]
        (line,) = ax.plot(xs, [r.mean_strength for r in mine], marker="o", label=f"strength, dim {dim}")
        ax.plot(xs, [r.noise_floor for r in mine], linestyle="--", color=line.get_color(),
                label=f"noise floor, dim {dim}")
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    ax.set_xlabel("stored pairs")
    ax.set_ylabel("query score")
    ax.set_title("PyHKVC: holographic strength versus stored pairs")
    ax.legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--out", default="kvc_capacity.png", help="where to write the plot (PNG)")
    args = parser.parse_args()

    rows = [measure(dim, n) for dim in DIMS for n in PAIRS]
    print_table(rows)
    if plot(rows, args.out):
        print(f"\nplot written to {args.out}")
    else:
        print("\nmatplotlib is not installed: table only (pip install matplotlib for the plot)")


if __name__ == "__main__":
    main()
