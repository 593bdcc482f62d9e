"""What plays the role of X in Y? Analogies from bound and bundled records.

Each country is one hypervector: the bundle of three role-filler bindings,
country ⊗ name + capital ⊗ city + currency ⊗ money. Binding two records maps
every filler of one onto the filler in the same role of the other, so
unbinding "dollar" from usa ⊗ mexico leaves a noisy "peso", which a clean-up
against the known fillers names. No role is ever asked for explicitly.

    python examples/analogy.py
"""
from __future__ import annotations

import morvelan_hdc as hdc

DIM = 10_000
ROLES = ("country", "capital", "currency")
RECORDS = {
    "usa": ("usa", "washington", "dollar"),
    "mexico": ("mexico", "mexico city", "peso"),
    "japan": ("japan", "tokyo", "yen"),
    "france": ("france", "paris", "euro"),
}


def symbol(name: str) -> list[float]:
    """The bipolar vector of a name: the same in every process, no table to ship."""
    return hdc.hv_hash_string(name, DIM)


def bundle(vectors: list[list[float]]) -> list[float]:
    """Majority vote of any number of vectors: sign of the element-wise sum."""
    total = [0.0] * DIM
    for v in vectors:
        total = [t + x for t, x in zip(total, v)]
    # hdc_bundle(total, zeros) is sign(total): +1, -1, or 0 for a tie.
    return hdc.hdc_bundle(total, [0.0] * DIM)


def record(fillers: tuple[str, str, str]) -> list[float]:
    return bundle([hdc.hdc_bind(symbol("role:" + role), symbol(f)) for role, f in zip(ROLES, fillers)])


def clean_up(noisy: list[float], vocabulary: list[str], top: int = 3) -> list[tuple[str, float]]:
    """The `top` names whose vectors resonate most with `noisy`, best first."""
    scored = [(name, hdc.resonance(noisy, symbol(name))) for name in vocabulary]
    return sorted(scored, key=lambda pair: pair[1], reverse=True)[:top]


def main() -> None:
    records = {country: record(fillers) for country, fillers in RECORDS.items()}
    vocabulary = sorted({f for fillers in RECORDS.values() for f in fillers})

    questions = [
        ("dollar", "usa", "mexico"),
        ("paris", "france", "japan"),
        ("yen", "japan", "france"),
        ("washington", "usa", "mexico"),
    ]
    print(f"{len(records)} country records of dimension {DIM}, {len(vocabulary)} known fillers\n")
    for x, home, other in questions:
        mapping = hdc.hdc_bind(records[home], records[other])
        answer = clean_up(hdc.hdc_unbind(mapping, symbol(x)), vocabulary)
        ranked = ", ".join(f"{name} {score:.4f}" for name, score in answer)
        question = f"what is the {x} of {other}?"
        print(f"{question:<34} {answer[0][0]:<12} ({ranked})")

    # A single record answers a role query directly: unbind the role.
    answer = clean_up(hdc.hdc_unbind(records["japan"], symbol("role:capital")), vocabulary)
    print(f"\ncapital of japan: {answer[0][0]} (resonance {answer[0][1]:.4f}; unrelated names score about 0.5)")


if __name__ == "__main__":
    main()
