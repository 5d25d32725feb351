"""Settings and helpers shared by the test files.

Hypothesis runs under one of two profiles, chosen by the environment variable
``HYPOTHESIS_PROFILE``:

- ``ci`` (the default): the same examples on every run and no example database, so a
  failure in CI reproduces anywhere;
- ``dev``: new examples on every run, and failing ones remembered in ``.hypothesis/`` and
  tried first next time, for a developer hunting faults
  (``HYPOTHESIS_PROFILE=dev pytest tests/test_hostile.py``).

The Hypothesis suites are marked ``slow``; ``pytest -m "not slow"`` is the fast run.
"""

import os
import subprocess
import sys
import textwrap
from types import MappingProxyType

import pytest

# Sampler settings that make a robust fit take milliseconds, for tests that need a robust
# fit but not a good search (read-only: copy it, or take the ``small_sampler`` fixture).
SMALL_SAMPLER = MappingProxyType({"n_chains": 4, "n_warmup": 20, "n_deep": 50, "n_elite": 2})

# The environment the test run started with. Importing some packages changes os.environ of
# the test process (scikit-learn sets KMP_INIT_AT_FORK=FALSE; Dask's LocalCluster sets
# OMP_NUM_THREADS=1 and more), which a fresh interpreter would otherwise inherit.
START_ENVIRONMENT = MappingProxyType(dict(os.environ))

# Examples per Hypothesis test unless the test asks for more; with 30 the property suite
# runs in a few seconds.
HYPOTHESIS_EXAMPLES = 30

try:
    from hypothesis import HealthCheck, settings
except ImportError:  # in the test extra; only the files that use it need it
    pass
else:
    _shared = {
        "max_examples": HYPOTHESIS_EXAMPLES,
        "deadline": None,  # the machines that run the suite are shared and noisy
        "suppress_health_check": [HealthCheck.too_slow],
    }
    settings.register_profile("ci", derandomize=True, database=None, **_shared)
    settings.register_profile("dev", **_shared)
    settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


@pytest.fixture
def small_sampler():
    """A fresh dict of ``SMALL_SAMPLER``, to pass as keyword arguments."""
    return dict(SMALL_SAMPLER)


def _run_python(code, timeout=120):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd="/",  # outside the source tree, which has no compiled core
        env=dict(START_ENVIRONMENT),
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture
def run_python():
    """Run code in a fresh interpreter outside the source tree (so that the installed
    package is imported), with the environment the test run started with; returns the
    completed process, with text output."""
    return _run_python


# Any free port, chosen by the operating system.
FREE_PORT = ":0"


def start_cluster():
    """A real Dask cluster of two worker processes (one thread each).

    Its scheduler serves HTTP on a free port: without a dashboard it still binds the
    dashboard's default port, 8787, which a notebook's cluster may hold already.
    """
    distributed = pytest.importorskip("distributed")
    return distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=FREE_PORT
    )


@pytest.fixture(scope="session")
def client():
    """A cluster of :func:`start_cluster`, shared by the tests."""
    distributed = pytest.importorskip("distributed")
    cluster = start_cluster()
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()
