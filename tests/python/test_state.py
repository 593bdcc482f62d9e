# Saving and copying every class: pickle at every protocol, copy and deepcopy give independent
# instances that answer every later call as the original does, here and in another process;
# hostile states are refused with ValueError and change nothing.
import copy
import os
import pickle
import struct
import subprocess
import sys
import threading

import pytest
from hypothesis import given, settings, strategies as st

import morvelan_hdc as m
from entry_points import ALL, CLASSES, THREAD_BOUND, good_args, invoke, make, snapshot
from support import is_panic

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)
MUTATORS = {c: [e for e in ALL if e.owner == c and e.mutates and e.kind == "method"] for c in CLASSES}


def state_of(o):
    return o.__reduce__()[2]


def fresh(owner):   # no history
    ctor = next(e for e in ALL if e.owner == owner and e.kind == "ctor")
    return invoke(ctor, None, good_args(ctor))


@pytest.mark.parametrize("build", [make, fresh])
@pytest.mark.parametrize("owner", CLASSES)
def test_every_protocol_and_copy_gives_an_independent_twin(owner, build):
    o = build(owner)
    twins = [pickle.loads(pickle.dumps(o, p)) for p in PROTOCOLS] + [copy.copy(o), copy.deepcopy(o)]
    want = snapshot(owner, o)  # changes o: a twin that shared its state would now differ
    for t in twins:
        assert type(t) is type(o) and snapshot(owner, t) == want


@settings(max_examples=25, deadline=None)
@given(st.sampled_from(CLASSES), st.data())
def test_random_calls_before_and_after_saving(owner, data):
    calls = st.lists(st.tuples(st.sampled_from(MUTATORS[owner] or [None]), st.integers(0, 40)), max_size=6)
    o = make(owner)
    for e, seed in data.draw(calls):
        if e:
            invoke(e, o, good_args(e, None, seed))
    twin = pickle.loads(pickle.dumps(o, data.draw(st.sampled_from(PROTOCOLS))))
    for e, seed in data.draw(calls):
        if e:
            assert invoke(e, twin, good_args(e, None, seed)) == invoke(e, o, good_args(e, None, seed))
    assert snapshot(owner, twin) == snapshot(owner, o)


def test_a_state_loads_the_same_in_another_process(tmp_path):
    path = tmp_path / "states.pickle"
    path.write_bytes(pickle.dumps([make(c) for c in CLASSES]))
    here = os.path.dirname(__file__)
    prog = ("import pickle, sys; sys.path.insert(0, %r); from entry_points import CLASSES, snapshot; "
            "objs = pickle.load(open(%r, 'rb')); print(repr([snapshot(c, o) for c, o in zip(CLASSES, objs)]))")
    out = subprocess.run([sys.executable, "-c", prog % (here, str(path))], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == repr([snapshot(c, make(c)) for c in CLASSES])


def header(owner, version=1):
    return b"MHDC" + bytes([len(owner)]) + owner.encode() + struct.pack("<I", version)


@pytest.mark.parametrize("owner", CLASSES)
def test_a_hostile_state_is_refused_and_changes_nothing(owner):
    o, state = make(owner), state_of(make(owner))
    want = snapshot(owner, make(owner))
    other = "PyHKVC" if owner != "PyHKVC" else "PySelfAudit"
    step = max(1, len(state) // 300)   # every cut of a small state, some hundreds of a large one
    bad = [state[:k] for k in range(0, len(state), step)] + [state + b"\0", header(owner, 2) + state[len(header(owner)):],
           header(owner, 0) + state[len(header(owner)):], header(other) + state[len(header(owner)):],
           b"MHDX" + state[4:]]
    # every u64 past the header made huge, one at a time: counts and lengths beyond the data
    bad += [state[:k] + b"\xff" * 8 + state[k + 8:] for k in range(len(header(owner)), min(len(state) - 7, 400), 8)]
    for b in bad:
        try:
            o.__setstate__(b)
        except ValueError as e:
            assert str(e).startswith(f"invalid {owner} state: "), e
        except MemoryError:   # a dim beyond memory, for a class that makes dim-long vectors from nothing
            assert owner in ("PyHoloGenEngine", "PyHoloCPUScheduler")
        else:
            assert b == state or len(b) > len(state) - 8   # a huge value that the class may hold (a float)
            o = make(owner)
    with pytest.raises(TypeError):
        o.__setstate__("not bytes")
    assert snapshot(owner, o) == want


@settings(max_examples=60, deadline=None)
@given(st.sampled_from(CLASSES), st.data())
def test_corrupted_bytes_never_crash(owner, data):
    state = bytearray(state_of(make(owner)))
    for _ in range(data.draw(st.integers(1, 4))):
        state[data.draw(st.integers(0, len(state) - 1))] = data.draw(st.integers(0, 255))
    o = make(owner)
    try:
        o.__setstate__(bytes(state))
    except (ValueError, MemoryError):
        return
    snapshot(owner, o)   # whatever loaded answers every call without a crash


def panics(f):   # only the verdict is kept: a kept exception's frames would hold the instance
    try:
        f()
    except BaseException as e:  # noqa: B902
        return is_panic(e)
    return False


@pytest.mark.parametrize("owner", THREAD_BOUND)
def test_saving_follows_the_thread_rules(owner):
    o, seen = make(owner), []
    t = threading.Thread(target=lambda: seen.append(panics(o.__reduce__)))
    t.start(), t.join()
    box, saved, ready, done = [], pickle.dumps(o), threading.Event(), threading.Event()

    def load_and_keep():   # the loaded instance lives and is dropped on the thread that loaded it
        box.append(pickle.loads(saved))
        ready.set(), done.wait()
        box.clear()

    t = threading.Thread(target=load_and_keep)
    t.start(), ready.wait()
    seen.append(panics(box[0].__reduce__))   # bound to the thread that loaded it
    done.set(), t.join()
    assert seen == [True, True]


def test_the_module_gains_no_attribute():
    before = set(dir(m))
    for c in CLASSES:
        pickle.dumps(make(c))
    assert set(dir(m)) == before and all(getattr(m, c).__module__ == "builtins" for c in CLASSES)
