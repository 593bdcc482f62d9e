"""Threads, forks and sub-interpreters: eight threads released together on one shared swarm and
on their own thread-bound instances (each tried from the others' threads), the entropy
generator across fork, and the module's refusal to load into a second interpreter."""
from __future__ import annotations

import math
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import morvelan_hdc as m
from _reliability import (DIM, SANITIZED, THREAD_BOUND, bipolar, canon, engine_dim, good_args, invoke, is_panic,
                          make, snapshot, unsendable, METHODS, PROPERTIES)

THREADS = 8
ROUNDS = 12 if SANITIZED else 30


class Yield:
    """A float that gives up the interpreter lock while being converted, so another thread runs
    inside the call that is converting it."""

    def __init__(self, value=1.0):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def _members(cls_name):
    return [e for e in METHODS + PROPERTIES if e.owner == cls_name and e.kind != "setter"]


def test_eight_threads_on_one_swarm_and_their_own_instances(fast_switching):
    shared = m.PyHoloSwarm(DIM)
    start, done = threading.Barrier(THREADS), threading.Barrier(THREADS)
    own: dict[int, dict] = {}
    added: list[tuple] = []           # agents whose add_agent returned
    conflicts: list[str] = []
    add_conflicts: list[str] = []
    failures: list[str] = []
    lock = threading.Lock()

    def worker(k):
        try:
            mine = {c: make(c) for c in THREAD_BOUND}
            twins = {c: make(c) for c in THREAD_BOUND}
            own[k] = mine
            start.wait()
            neighbour = own[(k + 1) % THREADS]
            for r in range(ROUNDS):
                role, pol, sk = f"r{k}.{r}", f"p{k}", f"s{r % 3}"
                vr, vp, vs = bipolar(DIM, 3 * (k * ROUNDS + r)), bipolar(DIM, 7 + k), bipolar(DIM, 11 + r % 3)
                # Every few rounds a component converts slowly, with the lock given up inside
                # the exclusive borrow: other threads then meet the borrow flag.
                slow = [Yield(x) for x in vs] if r % 4 == 0 else vs
                try:
                    shared.add_agent(role, vr, pol, vp, sk, slow)
                    with lock:
                        added.append((role, tuple(vr), pol, tuple(vp), sk, tuple(vs)))
                except RuntimeError as e:
                    with lock:
                        conflicts.append(str(e))
                        add_conflicts.append(role)
                for call in (lambda: shared.materialize([Yield(x) for x in vr] if r % 5 == 0 else vr, -math.inf),
                             lambda: shared.swarm_vector, lambda: shared.resonate(role, vp, [], 4)):
                    try:
                        call()
                    except RuntimeError as e:
                        with lock:
                            conflicts.append(str(e))
                # Own instances: ordinary use on the creating thread.
                mine["PyHKVC"].store(f"key{r}", f"value{k}.{r}", r)
                twins["PyHKVC"].store(f"key{r}", f"value{k}.{r}", r)
                assert mine["PyHKVC"].query(f"key{r}")[0] == f"value{k}.{r}"
                mine["PyOptimizer"].apply("momentum_increase", 0.01, "x")
                twins["PyOptimizer"].apply("momentum_increase", 0.01, "x")
                # The neighbour's instances: every member refuses, with the exact message.
                cls_name = THREAD_BOUND[r % len(THREAD_BOUND)]
                for e in _members(cls_name):
                    try:
                        invoke(e, neighbour[cls_name], good_args(e, engine_dim(cls_name)))
                    except BaseException as exc:
                        if not (is_panic(exc) and str(exc) == unsendable(cls_name)):
                            failures.append(f"{e.full} from thread {k}: {type(exc).__name__}: {exc}")
                    else:
                        failures.append(f"{e.full} worked from thread {k}")
            del neighbour
            done.wait()        # nobody touches another thread's instances after this
            for c in THREAD_BOUND:
                if snapshot(c, mine[c]) != snapshot(c, twins[c]):
                    failures.append(f"thread {k}: its {c} changed")
            own.pop(k)
            mine.clear()       # released on their own thread
        except BaseException as e:  # reported by the main thread
            failures.append(f"thread {k}: {type(e).__name__}: {e}")
            start.abort()
            done.abort()

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    assert set(conflicts) <= {"Already borrowed", "Already mutably borrowed"}

    # The shared swarm holds exactly the agents whose calls returned, composed as if one thread had
    # added them (bipolar sums are exact whatever the order).
    ref = m.PyHoloSwarm(DIM)
    for role, vr, pol, vp, sk, vs in added:
        ref.add_agent(role, list(vr), pol, list(vp), sk, list(vs))
    assert canon(shared.swarm_vector) == canon(ref.swarm_vector)
    assert sorted(shared.materialize(bipolar(DIM, 1), -math.inf)) == sorted(ref.materialize(bipolar(DIM, 1), -math.inf))
    assert len(added) + len(add_conflicts) == THREADS * ROUNDS


def test_swarm_from_many_threads_with_reentrant_callbacks(fast_switching):
    """A callback on one thread that calls back into the swarm meets its own borrow; the other
    threads are unaffected and the swarm stays consistent."""
    s = m.PyHoloSwarm(DIM)
    start = threading.Barrier(THREADS)
    seen, errors = [], []

    class Reenter:
        def __float__(self):
            try:
                s.add_agent("inner", [1.0], "p", [1.0], "s", [1.0])
            except RuntimeError as e:
                seen.append(str(e))
            return 1.0

    def worker(k):
        try:
            start.wait()
            for r in range(ROUNDS):
                try:
                    s.materialize([Reenter()] * 4, 0.0)
                except RuntimeError as e:  # another thread's exclusive borrow
                    seen.append(str(e))
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    # Each callback runs inside its own thread's shared borrow, so its write always meets it;
    # reads on other threads share the borrow and go through.
    assert len(seen) == THREADS * ROUNDS * 4 and set(seen) == {"Already borrowed"}
    assert s.materialize([1.0] * DIM, -math.inf) == [] and s.swarm_vector == [0.0] * DIM


# ---- fork ---------------------------------------------------------------------------------------

def _bits(v):
    assert len(v) > 0 and set(v) <= {1.0, -1.0}
    return "".join("1" if x < 0 else "0" for x in v)


def _in_child(fn):
    """Runs fn() in a forked child and returns the text it wrote."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(r)
            os.write(w, fn().encode())
        except BaseException as e:
            os.write(w, f"ERROR {type(e).__name__}: {e}".encode())
        finally:
            os._exit(0)
    os.close(w)
    out = b""
    while chunk := os.read(r, 65536):
        out += chunk
    os.close(r)
    _, status = os.waitpid(pid, 0)
    assert status == 0
    text = out.decode()
    assert not text.startswith("ERROR"), text
    return text


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_children_do_not_continue_the_parents_stream():
    before = _bits(m.rand_bipolar(5))          # leaves the parent's buffer partly read
    cache = m.PyHKVC(16)
    cache.store("k", "v", 1)
    child_a = _in_child(lambda: _bits(m.rand_bipolar(512)))
    child_b = _in_child(lambda: _bits(m.rand_bipolar(512)))
    parent = _bits(m.rand_bipolar(512))
    parent_next = _bits(m.rand_bipolar(512))
    # Neither child replays the parent's continuation, not even the words left in its buffer,
    # and the two children (forked from the same parent state) do not share a stream.
    for child in (child_a, child_b):
        assert child != parent and child[:64] != parent[:64]
    assert child_a != child_b and child_a[:64] != child_b[:64]
    # The parent is unaffected: its stream goes on, fresh, and its instances are as they were.
    assert parent != parent_next and len(before) == 5
    assert cache.query("k")[0] == "v" and cache.count() == 1
    # In the child the forking thread is still the creator of the parent's instances.
    assert _in_child(lambda: cache.query("k")[0] + str(cache.count())) == "v1"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_from_a_worker_thread_reseeds_that_threads_generator():
    out = {}

    def worker():
        m.rand_bipolar(3)
        out["child"] = _in_child(lambda: _bits(m.rand_bipolar(256)))
        out["parent"] = _bits(m.rand_bipolar(256))

    t = threading.Thread(target=worker)
    t.start()
    t.join()
    assert out["child"] != out["parent"] and out["child"][:64] != out["parent"][:64]
    assert len(_bits(m.rand_bipolar(64))) == 64   # the main thread's generator is untouched


# ---- sub-interpreters ------------------------------------------------------------------------

subinterpreters = pytest.importorskip("_xxsubinterpreters") if sys.version_info < (3, 13) else None


def _run_in_subinterpreter(code: str):
    interp = subinterpreters.create()
    try:
        subinterpreters.run_string(interp, textwrap.dedent(code))
    finally:
        subinterpreters.destroy(interp)


@pytest.mark.skipif(subinterpreters is None, reason="no _xxsubinterpreters")
def test_second_interpreter_cannot_import_and_the_first_keeps_working():
    hkvc = m.PyHKVC(8)
    hkvc.store("a", "b", 1)
    for _ in range(2):
        # The failure is raised inside the sub-interpreter and reported out of run_string.
        with pytest.raises(subinterpreters.RunFailedError, match="ImportError.*sub-interpreters"):
            _run_in_subinterpreter("import morvelan_hdc")
    _run_in_subinterpreter("""
        try:
            import morvelan_hdc
        except ImportError as e:
            assert "sub-interpreters" in str(e), e
        else:
            raise AssertionError("imported into a second interpreter")
    """)
    import importlib
    assert importlib.import_module("morvelan_hdc") is m
    assert len(m.rand_bipolar(16)) == 16
    assert hkvc.query("a")[0] == "b" and hkvc.count() == 1
    assert m.hdc_bind([1.0, -1.0], [-1.0, -1.0]) == [-1.0, 1.0]


@pytest.mark.skipif(subinterpreters is None, reason="no _xxsubinterpreters")
def test_first_import_in_a_sub_interpreter_binds_the_module_there():
    """In a fresh process: whichever interpreter imports first keeps the module."""
    code = textwrap.dedent("""
        import _xxsubinterpreters as si
        interp = si.create()
        si.run_string(interp, "import morvelan_hdc\\nassert len(morvelan_hdc.rand_bipolar(8)) == 8")
        try:
            import morvelan_hdc
        except ImportError as e:
            print("main refused:", "sub-interpreters" in str(e))
        else:
            print("main imported")
        si.run_string(interp, "import morvelan_hdc\\nassert morvelan_hdc.PyHKVC(4).count() == 0")
        print("sub still works")
    """)
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(m.__file__))
    env["PYTHONPATH"] = os.pathsep.join([here] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:2] == ["main refused: True", "sub still works"]
