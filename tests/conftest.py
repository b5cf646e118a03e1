"""Tests run against the installed package, never the source tree beside them."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != ROOT]
for name in [m for m in sys.modules if m == "zelvo" or m.startswith("zelvo.")]:
    del sys.modules[name]
