"""Every example and the README tour run, and print what they claim (the README's ```pycon
blocks run as one doctest, so every output shown there is the module's own)."""
from __future__ import annotations

import doctest
import functools
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import morvelan_hdc

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
PNG = b"\x89PNG\r\n\x1a\n"

# Lines each example must print (as line prefixes); kvc_capacity.py has a test of its own.
EXPECTED = {
    "save_and_load.py": ["identical                    True"],
    "sharded_reasoner.py": ["same as one reasoner           True"],
    "quickstart.py": [
        "resonance(unbind(..), red)   1.0",
        "walk from clouds             clouds -> rain -> wet road -> skid",
        "resonate('courier')          ('courier', 'exploit', 'route', 0.995361328125)",
        "resonate('pilot')            ('pilot', 'explore', 'route', 1.006103515625)",
        "same as a 650 nm ray         True",
        "feedback 0.9                 0.8999999761581421",
        "feedback 0.2                 0.5999999642372131"],
    "analogy.py": [
        "what is the dollar of mexico?      peso",
        "what is the paris of japan?        tokyo",
        "what is the yen of france?         euro",
        "what is the washington of mexico?  mexico city",
        "capital of japan: tokyo"],
    "causal_chain.py": [
        "forward from 'clouds gather': clouds gather -> rain falls -> road is wet -> car skids -> traffic jam",
        "forward from 'sprinkler on':  sprinkler on -> road is wet -> car skids -> traffic jam",
        "backward from 'traffic jam':  traffic jam <- car skids <- road is wet <- rain falls <- clouds gather",
        "every cause of 'road is wet': ['rain falls', 'sprinkler on']",
        "what happened at tick 9?      road is wet",
        "effect of the cleaned-up cue:                   road is wet"],
    "swarm_resonator.py": [
        "from 4 threads: 100/100, identical answers: True",
        "agent-42 holds (policy-4, skill-0); resonate returns ('agent-42', 'policy-4', 'skill-0', 1.008026123046875)",
        "roles resonating with agent-42's role vector: [('agent-42', 1.0)]"],
    "text_classifier.py": ["accuracy: 1.00 (30/30)"],
}
ARGS = {"text_classifier.py": ("--generated", "--texts", "20", "--dim", "2048")}  # small, machine-independent


@functools.lru_cache(maxsize=None)
def run(script: str, *args: str, cwd: str | None = None) -> str:
    # The child imports the very module this suite imported (installed or a build directory).
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(Path(morvelan_hdc.__file__).resolve().parent), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, str(ROOT / "examples" / script), *args], capture_output=True,
                          text=True, timeout=180, env=env, cwd=cwd)
    assert proc.returncode == 0 and proc.stderr == "", f"{script} failed:\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


def test_every_example_is_run():
    assert sorted(p.name for p in (ROOT / "examples").glob("*.py")) == sorted([*EXPECTED, "kvc_capacity.py"])


@pytest.mark.parametrize("script", sorted(EXPECTED))
def test_example_prints_its_results(script):
    lines = run(script, *ARGS.get(script, ())).splitlines()
    for want in EXPECTED[script]:
        assert any(got.startswith(want) for got in lines), f"{want!r} not in the output of {script}"


def test_swarm_recovery_grows_with_the_dimension():
    rows = re.findall(r"^\s*(\d+)\s+(\d+)/100\s+\d+ ms$", run("swarm_resonator.py"), re.M)
    assert [int(d) for d, _ in rows] == [2048, 8192, 32768]
    hits = [int(h) for _, h in rows]
    assert hits == sorted(hits) and hits[-1] == 100


def test_capacity_table_and_plot(tmp_path):
    png = tmp_path / "capacity.png"
    out = run("kvc_capacity.py", "--out", str(png), cwd=str(tmp_path))
    rows = re.findall(r"^\s*(\d+)\s+(\d+)\s+(\d+)/(\d+)\s+([\d.]+)\s", out, re.M)
    assert len(rows) == 20 and "<- floor reached" in out
    for dim, pairs, hits, total, strength in rows:
        assert hits == total == pairs  # the exact path never misses a stored key
        # The holographic strength of n superposed pairs is about 1/n.
        assert abs(float(strength) - 1 / int(pairs)) <= 0.05 / int(pairs) ** 0.5 + 1e-4, (dim, pairs, strength)
    assert "plot written to" in out and png.read_bytes()[:8] == PNG and png.stat().st_size > 10_000


def test_benchmark_plot_of_time_against_dimension(tmp_path):
    spec = importlib.util.spec_from_file_location("bench_run", ROOT / "benchmarks" / "run.py")
    bench = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(bench)
    series = {f"{area}: op {k}": {d: (d * k * 1e-9, d) for d in bench.DIMS}
              for area in ("algebra", "scans", "encoders") for k in (1, 3)}
    assert bench.plot(series, tmp_path / "scaling.png")
    assert (tmp_path / "scaling.png").read_bytes()[:8] == PNG and (tmp_path / "scaling.png").stat().st_size > 10_000


@pytest.mark.skipif(not README.exists(), reason="README not beside the sources")
def test_readme_tour_outputs_are_real():
    tour = "\n".join(re.findall(r"^```pycon\n(.*?)^```$", README.read_text(encoding="utf-8"), re.M | re.S))
    assert tour.count(">>> ") > 60  # the whole tour, not an accidentally empty match
    runner = doctest.DocTestRunner(optionflags=doctest.REPORT_NDIFF)
    out: list[str] = []
    runner.run(doctest.DocTestParser().get_doctest(tour, {}, "README.md", str(README), 0), out=out.append)
    assert runner.failures == 0, "".join(out)
