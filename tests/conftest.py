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
from hypothesis import settings  # noqa: E402

settings.register_profile("ci", derandomize=True, deadline=None, print_blob=True)
if os.environ.get("HYPOTHESIS_PROFILE"):
    settings.load_profile(os.environ["HYPOTHESIS_PROFILE"])
