"""Save a causal memory, load it in a fresh process, and get the same answers.

A pickle of any class holds its state (the layout is in docs/STATE.md), so a
memory built once can be kept on disk or sent to another process. The child
process below loads the file and answers the same queries; every answer is the
parent's, bit for bit.

    python examples/save_and_load.py
"""
from __future__ import annotations

import os
import pickle
import subprocess
import sys
import tempfile

import morvelan_hdc as hdc

DIM = 1024
EVENTS = ["clouds gather", "rain falls", "road is wet", "car skids"]


def answers(memory: hdc.PyCausalMemory) -> list[str]:
    """Each event's recalled effect, named by the event it equals."""
    vectors = {name: hdc.hv_hash_string(name, DIM) for name in EVENTS}
    out = []
    for name in EVENTS:
        effect = memory.recall_effect(vectors[name])
        out.append(next((n for n, v in vectors.items() if v == effect), "(nothing)"))
    return out


def main() -> None:
    if len(sys.argv) == 2:  # the child: load and answer
        with open(sys.argv[1], "rb") as f:
            print(repr(answers(pickle.load(f))))
        return
    memory = hdc.PyCausalMemory(DIM)
    for t, (cause, effect) in enumerate(zip(EVENTS, EVENTS[1:])):
        memory.record(hdc.hv_hash_string(cause, DIM), hdc.hv_hash_string(effect, DIM),
                      hdc.hv_hash_string(f"tick {t}", DIM))
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "memory.pickle")
        with open(path, "wb") as f:
            pickle.dump(memory, f)
        size = os.path.getsize(path)
        child = subprocess.run([sys.executable, __file__, path], capture_output=True, text=True, check=True)
    here = repr(answers(memory))
    print(f"saved                        {size:,} bytes for {len(EVENTS) - 1} relations at dim {DIM:,}")
    print(f"answers here                 {here}")
    print(f"answers in a fresh process   {child.stdout.strip()}")
    print(f"identical                    {child.stdout.strip() == here}")


if __name__ == "__main__":
    main()
