"""Tests run against the installed package, never the source tree beside them."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != ROOT]
for name in [m for m in sys.modules if m == "zelvo" or m.startswith("zelvo.")]:
    del sys.modules[name]

# CI runs the property tests on fixed seeds and without time limits, so a
# loaded machine or a new random draw cannot turn a green run red; local runs
# keep exploring.
import pytest  # noqa: E402
from hypothesis import settings  # noqa: E402

import builds  # noqa: E402

settings.register_profile("ci", derandomize=True, deadline=None, print_blob=True)
if os.environ.get("HYPOTHESIS_PROFILE"):
    settings.load_profile(os.environ["HYPOTHESIS_PROFILE"])


@pytest.fixture(scope="session")
def core_objects(tmp_path_factory):
    """core_objects(variant, defines=()): the core's object files built in one
    variant of builds.VARIANTS (None: builds.flags' choice), with extra -D
    flags if given (position-independent, only the public symbols visible),
    compiled once per session and shared by every test that links the core."""
    made = {}

    def get(variant, defines=()):
        key = (variant, tuple(defines))
        if key not in made:
            made[key] = builds.objects(
                tmp_path_factory.mktemp(f"core-{variant or 'default'}"), builds.CORE_SOURCES,
                builds.flags(variant) + ["-fPIC", "-fvisibility=hidden", *defines])
        return made[key]

    return get
