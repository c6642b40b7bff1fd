import os
import sys

import pytest
from hypothesis import settings

# Timing varies with the machine and the sanitizers; properties, not speed,
# are under test here.
settings.register_profile("morvo", deadline=None)
settings.load_profile("morvo")

# The test-only extensions are built by the C++ test build, not installed.
_probe_dir = os.environ.get("MORVO_PROBE_DIR")
if _probe_dir:
    sys.path.insert(0, _probe_dir)

try:
    import morvo_rs  # noqa: E402
except ImportError:  # the probes' own tests run without the module
    morvo_rs = None


@pytest.fixture
def key():
    return bytes(range(32))


@pytest.fixture
def other_key():
    return bytes(range(1, 33))


@pytest.fixture(autouse=True)
def _no_pool_leaks_between_tests():
    yield
    if morvo_rs is not None:
        morvo_rs.setThreads(1)


WORDS = {
    "firstNames": ["Ann", "Bob", "Cy"],
    "lastNames": ["Smith", "Jones"],
    "cities": ["Oslo", "Lima"],
    "streets": ["Elm", "Oak"],
    "streetKinds": ["Road", "Lane"],
    "companySuffixes": ["Ltd", "Inc"],
    "companyWords": ["Acme", "Globex"],
}
