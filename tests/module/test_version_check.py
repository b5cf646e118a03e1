"""The import-time version check, on a build that claims other Python headers."""
import glob
import os
import shutil
import subprocess
import sys
import sysconfig

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

SCRIPT = r"""
import importlib.util, sys, warnings
path = sys.argv[1]

def load():
    found = importlib.util.spec_from_file_location("zelvo._zelvo", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module

warnings.simplefilter("error")
try:
    load()
except RuntimeWarning as e:
    print("refused:", e)
warnings.simplefilter("always")
with warnings.catch_warnings(record=True) as caught:
    m = load()
print("warned:", caught[0].category.__name__, caught[0].message)
print("works:", m.MA(m.np.arange(1.0, 4.0), 2).tolist()[1:])
"""


@pytest.mark.skipif(not shutil.which("g++"), reason="g++ is needed")
def test_version_mismatch_warns_and_can_refuse(tmp_path):
    so = tmp_path / "_zelvo.so"
    other = 10 if sys.version_info[1] != 10 else 11  # any minor but the running one
    cmd = ["g++", "-shared", "-fPIC", "-O0", "-std=c++17", "-fwrapv", "-ffp-contract=off",
           f"-DZELVO_BUILD_MINOR={other}", "-I", sysconfig.get_paths()["include"],
           "-I", np.get_include(), "-I", os.path.join(ROOT, "rillet"),
           "-I", os.path.join(ROOT, "rillet", "src"),
           *sorted(glob.glob(os.path.join(ROOT, "src", "ext", "exact", "*.cpp"))),
           *sorted(glob.glob(os.path.join(ROOT, "rillet", "src", "*.cpp"))), "-o", str(so)]
    build = subprocess.run(cmd, capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([sys.executable, "-c", SCRIPT, str(so)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    runtime = "%d.%d" % sys.version_info[:2]
    text = f"compiletime version 3.{other} of module 'zelvo._zelvo' does not match runtime version {runtime}"
    assert run.stdout.splitlines() == [
        f"refused: {text}",          # a warning turned into an error fails the import ...
        f"warned: RuntimeWarning {text}",   # ... and a later import starts afresh
        "works: [1.5, 2.5]",
    ]
