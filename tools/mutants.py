#!/usr/bin/env python3
"""Mutation testing: how many one-line faults in src/ do the C++ and Python suites catch?

Mutants come from universalmutator's `mutate` (its own venv, see the Makefile),
are drawn as a fixed seeded sample and tested one at a time: write the line,
rebuild with ninja, and when any object file changed, install the module into
.venv and run ctest, then pytest (cheapest test first, stop at the first failure).
Each outcome goes to a TSV file that `--replay` can test again after the suites
change. Standard library only.
"""
import argparse
import hashlib
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VENV_BIN = ROOT / ".venv" / "bin"
PLUGIN_DIR = ROOT / "tools" / "mutants"
COLUMNS = ["id", "location", "original", "mutant", "outcome", "seconds"]
TESTED = ("killed-by-cpp", "killed-by-pytest", "timeout", "survived")


def esc(s):
    return s.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")


def unesc(s):
    out, i = [], 0
    while i < len(s):
        if s[i] == "\\" and i + 1 < len(s):
            out.append({"t": "\t", "n": "\n"}.get(s[i + 1], s[i + 1]))
            i += 2
        else:
            out.append(s[i])
            i += 1
    return "".join(out)


def run(cmd, timeout=None, env=None, log=None):
    """Returns (exit code, timed out). The process gets its own group so a
    timeout also ends whatever it started."""
    with open(log or os.devnull, "w") as out:
        p = subprocess.Popen(cmd, cwd=ROOT, env=env, stdout=out, stderr=subprocess.STDOUT,
                             stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            return p.wait(timeout=timeout), False
        except subprocess.TimeoutExpired:
            return kill_group(p), True
        except BaseException:
            kill_group(p)
            raise


def kill_group(p):
    try:
        os.killpg(p.pid, signal.SIGKILL)
    except ProcessLookupError:  # it had ended already
        pass
    return p.wait()


def sources():
    return sorted(p.relative_to(ROOT).as_posix() for p in (ROOT / "src").rglob("*")
                  if p.suffix in (".cpp", ".hpp") and p.is_file())


def generate(mutate, rel):
    """All distinct one-line mutants of one file as (line, original, mutant).
    universalmutator takes `{-` for a block comment of another language and
    skips the rest of the file, so it gets a copy with `{ -` instead."""
    real = (ROOT / rel).read_text().splitlines(keepends=True)
    copy = [line.replace("{-", "{ -") for line in real]
    found = set()
    with tempfile.TemporaryDirectory() as tmp:
        src, out = Path(tmp) / "m.cpp", Path(tmp) / "out"
        src.write_text("".join(copy))
        out.mkdir()
        subprocess.run([os.path.abspath(mutate) if os.sep in mutate else mutate, str(src), "cpp", "--noCheck", "--mutantDir", str(out)], cwd=tmp,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        for f in sorted(out.iterdir()):
            mut = f.read_text().splitlines(keepends=True)
            p = 0
            while p < min(len(copy), len(mut)) and copy[p] == mut[p]:
                p += 1
            s = 0
            while s < min(len(copy), len(mut)) - p and copy[-1 - s] == mut[-1 - s]:
                s += 1
            if len(copy) - p - s == 0 and p > 0:  # lines inserted after line p
                p -= 1
            if len(copy) - p - s != 1:
                continue
            new = "".join(mut[p:len(mut) - s]).rstrip("\n")
            if copy[p] != real[p]:  # a rewritten line: undo the rewrite, if it is unambiguous
                if "{ -" in real[p]:
                    continue
                new = new.replace("{ -", "{-")
            if new != real[p].rstrip("\n"):
                found.add((p + 1, real[p].rstrip("\n"), new))
    return sorted(found)


def draw(mutate, n, seed):
    """n mutants spread over the files by non-blank lines (largest remainder),
    each file's share drawn from its mutants in (line, text) order."""
    files = sources()
    weight = {f: sum(1 for l in (ROOT / f).read_text().splitlines() if l.strip()) for f in files}
    total = sum(weight.values())
    exact = {f: n * weight[f] / total for f in files}
    quota = {f: int(exact[f]) for f in files}
    for f in sorted(files, key=lambda f: (-(exact[f] - quota[f]), f))[:n - sum(quota.values())]:
        quota[f] += 1
    rng, sample = random.Random(seed), []
    for f in files:
        if quota[f]:
            ms = generate(mutate, f)
            sample += [(f, *m) for m in rng.sample(ms, min(quota[f], len(ms)))]
    rng.shuffle(sample)  # a budget cut then leaves an unbiased prefix
    return [(str(i + 1), *m) for i, m in enumerate(sample)]


def read_outcomes(path):
    rows = []
    for line in Path(path).read_text().splitlines()[1:]:
        c = [unesc(x) for x in line.split("\t")]
        f, ln = c[1].rsplit(":", 1)
        rows.append((c[0], f, int(ln), c[2], c[3]))
    return rows


def locate(lines, line, original):
    """The line holding `original` nearest to the recorded line number."""
    hits = [i for i, l in enumerate(lines) if l.rstrip("\n") == original]
    return min(hits, key=lambda i: (abs(i + 1 - line), i)) if hits else None


class Runner:
    def __init__(self, a):
        self.a, self.bd = a, Path(a.build_dir).resolve()
        self.py = str(VENV_BIN / "python")
        self.pending = self.bd / "mutants-pending.json"
        self.backup = self.bd / "mutants-installed-module.so"
        self.durations = self.bd / "pytest-durations.json"

    def tool(self, name):
        return str(VENV_BIN / name) if (VENV_BIN / name).exists() else name

    def build(self):
        return run([self.tool("ninja"), "-C", str(self.bd), "-j1"], log=self.bd / "mutants-build.log")[0] == 0

    def objects(self):
        return {p.relative_to(self.bd).as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
                for p in sorted(self.bd.rglob("*.o"))}

    def install(self, src):
        tmp = self.installed.with_name(self.installed.name + ".tmp")
        tmp.write_bytes(Path(src).read_bytes())
        os.replace(tmp, self.installed)  # a fresh inode: nothing that maps the old one sees a torn file

    def restore(self):
        if self.pending.exists():
            p = json.loads(self.pending.read_text())
            (ROOT / p["file"]).write_text(p["text"])
            self.pending.unlink()

    def ctest(self):
        t = self.t_ctest
        rc, to = run([self.tool("ctest"), "--test-dir", str(self.bd), "--no-tests=error", "--stop-on-failure",
                      "--timeout", str(int(t)), "-j1"], timeout=t, log=self.bd / "mutants-ctest.log")
        return "timeout" if to or "***Timeout" in (self.bd / "mutants-ctest.log").read_text() else rc

    def pytest(self, record=False):
        env = dict(os.environ, PYTHONPATH=str(PLUGIN_DIR), MHDC_MUTANTS_DURATIONS=str(self.durations),
                   MHDC_MUTANTS_RECORD="1" if record else "")
        rc, to = run([self.py, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "-p", "mutants_order"],
                     timeout=None if record else self.t_pytest, env=env, log=self.bd / "mutants-pytest.log")
        return "timeout" if to else rc

    def setup(self):
        self.restore()  # a run killed outright may have left a mutant behind
        if not (self.bd / "build.ninja").exists():
            self.bd.mkdir(parents=True, exist_ok=True)
            rc, _ = run([self.tool("cmake"), "-S", str(ROOT), "-B", str(self.bd), "-G", "Ninja",
                         "-DCMAKE_BUILD_TYPE=Release", "-DMHDC_BUILD_PYTHON=ON", "-DMHDC_BUILD_TESTS=ON",
                         f"-DPython_EXECUTABLE={self.py}", f"-DCMAKE_MAKE_PROGRAM={self.tool('ninja')}"],
                        log=self.bd / "mutants-configure.log")
            if rc:
                sys.exit(f"cmake configure failed: see {self.bd / 'mutants-configure.log'}")
        print("building the unmutated sources", flush=True)
        if not self.build():
            sys.exit(f"the unmutated build fails: see {self.bd / 'mutants-build.log'}")
        self.base = self.objects()
        self.module = next(self.bd.glob("morvelan_hdc*.so"))
        with tempfile.TemporaryDirectory() as tmp:
            self.installed = Path(subprocess.check_output(
                [self.py, "-c", "import morvelan_hdc; print(morvelan_hdc.__file__)"], cwd=tmp, text=True).strip())
        if self.backup.exists():  # left by a run that was killed outright
            self.install(self.backup)
        self.backup.write_bytes(self.installed.read_bytes())
        self.install(self.module)
        t0 = time.time()
        self.t_ctest = 600
        if self.ctest() != 0:
            sys.exit(f"ctest fails on the unmutated sources: see {self.bd / 'mutants-ctest.log'}")
        self.t_ctest = 3 * (time.time() - t0) + 30
        t0 = time.time()
        if self.pytest(record=True) != 0:
            sys.exit(f"pytest fails on the unmutated sources: see {self.bd / 'mutants-pytest.log'}")
        self.t_pytest = 3 * (time.time() - t0) + 60
        print(f"clean run passes; timeouts: ctest {self.t_ctest:.0f} s, pytest {self.t_pytest:.0f} s", flush=True)

    def test(self, f, line, original, mutant):
        path = ROOT / f
        text, st = path.read_text(), path.stat()
        lines = text.splitlines(keepends=True)
        i = locate(lines, line, original)
        if i is None:
            return "unmapped"
        self.pending.write_text(json.dumps({"file": f, "text": text}))
        try:
            lines[i] = mutant + "\n"
            path.write_text("".join(lines))
            if not self.build():
                return "not-compiled"
            changed = [o for o, h in self.objects().items() if self.base.get(o) != h]
            if not changed:
                return "identical-object"
            self.install(self.module)
            # Only objects of the Python module changed: no C++ test can see the mutant.
            if any(not o.startswith("CMakeFiles/morvelan_hdc.dir/") for o in changed):
                rc = self.ctest()
                if rc:
                    return "timeout" if rc == "timeout" else "killed-by-cpp"
            rc = self.pytest()
            return "timeout" if rc == "timeout" else "killed-by-pytest" if rc else "survived"
        finally:
            self.restore()
            # Every object is the original's (did not compile, or compiled to the same
            # bytes): the original time stamp spares ninja recompiling the file and,
            # for a header, everything that includes it.
            if self.objects() == self.base:
                os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))

    def finish(self):
        self.restore()
        if hasattr(self, "installed"):
            self.build()
        if self.backup.exists() and hasattr(self, "installed"):
            self.install(self.backup)
            self.backup.unlink()


def interrupted(*_):
    raise KeyboardInterrupt  # so that `kill` restores the sources too


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--sample", type=int, default=130, help="mutants to draw")
    ap.add_argument("--budget", type=float, default=0, help="seconds; draw no new mutant past it (0: none)")
    ap.add_argument("--build-dir", default=str(ROOT / "build" / "mutants"))
    ap.add_argument("--out", help="outcomes TSV (default: BUILD_DIR/outcomes.tsv)")
    ap.add_argument("--replay", metavar="FILE", help="test again the mutants of an earlier outcomes file")
    ap.add_argument("--mutate", default=str(ROOT / ".venv-mutants" / "bin" / "mutate"))
    a = ap.parse_args()
    out = Path(a.out or Path(a.build_dir) / "outcomes.tsv").resolve()
    start = time.time()
    signal.signal(signal.SIGTERM, interrupted)
    r = Runner(a)
    counts = {}
    try:
        r.setup()
        if a.replay:
            mutants = read_outcomes(a.replay)
        else:
            print(f"drawing {a.sample} mutants, seed {a.seed}", flush=True)
            mutants = draw(a.mutate, a.sample, a.seed)
        out.parent.mkdir(parents=True, exist_ok=True)
        with open(out, "w") as fh:
            fh.write("\t".join(COLUMNS) + "\n")
            for k, (mid, f, line, original, mutant) in enumerate(mutants, 1):
                if a.budget and time.time() - start > a.budget:
                    print(f"budget of {a.budget:.0f} s spent: stopping after {k - 1} mutants", flush=True)
                    break
                t0 = time.time()
                outcome = r.test(f, line, original, mutant)
                secs = time.time() - t0
                counts[outcome] = counts.get(outcome, 0) + 1
                fh.write("\t".join([mid, f"{f}:{line}", esc(original), esc(mutant), outcome, f"{secs:.1f}"]) + "\n")
                fh.flush()
                print(f"[{k}/{len(mutants)}] {f}:{line} {outcome} ({secs:.0f} s)", flush=True)
    except KeyboardInterrupt:
        print("interrupted: restoring the sources and the installed module", flush=True)
    finally:
        r.finish()
    tested = sum(counts.get(o, 0) for o in TESTED)
    killed = tested - counts.get("survived", 0)
    print(f"killed {killed} of {tested} compiled mutants ({100 * killed / max(tested, 1):.1f}%)")
    print("  (timeouts count as killed) " + ", ".join(f"{o}: {counts[o]}" for o in sorted(counts)))
    print(f"  {time.time() - start:.0f} s; outcomes in {out}")


if __name__ == "__main__":
    main()
