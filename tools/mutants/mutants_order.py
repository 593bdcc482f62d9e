"""pytest plugin for tools/mutants.py.

With MHDC_MUTANTS_RECORD=1 it records each test's duration into the JSON file
named by MHDC_MUTANTS_DURATIONS; otherwise it runs the tests cheapest first
from that file (tests it does not know last), so that `-x` stops early.
Hypothesis runs derandomized and without its example database: a mutant's
outcome must not depend on earlier runs, and a slow machine must not fail a
deadline.
"""
import json
import os
from pathlib import Path

import pytest

try:
    from hypothesis import settings

    settings.register_profile("mutants", database=None, derandomize=True, deadline=None)
    settings.load_profile("mutants")
except ImportError:
    pass

_PATH = os.environ.get("MHDC_MUTANTS_DURATIONS")
_RECORD = os.environ.get("MHDC_MUTANTS_RECORD") == "1"
_times: dict = {}


@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(items):
    if _RECORD or not _PATH or not Path(_PATH).exists():
        return
    known = json.loads(Path(_PATH).read_text())
    items.sort(key=lambda it: (it.nodeid not in known, known.get(it.nodeid, 0.0)))


def pytest_runtest_logreport(report):
    _times[report.nodeid] = _times.get(report.nodeid, 0.0) + report.duration


def pytest_sessionfinish(session):
    if _RECORD and _PATH:
        Path(_PATH).write_text(json.dumps(_times, indent=0, sort_keys=True))
