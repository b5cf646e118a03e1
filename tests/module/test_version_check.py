"""The import-time version check, on a build that claims other Python headers."""
import glob
import os
import subprocess
import sys
import sysconfig

import numpy as np
import pytest

import builds

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


@pytest.mark.skipif(not builds.have("g++"), reason="g++ is needed")
def test_version_mismatch_warns_and_can_refuse(tmp_path):
    so = tmp_path / "_zelvo.so"
    other = 10 if sys.version_info[1] != 10 else 11  # any minor but the running one
    builds.run(["g++", *builds.flags("debug", shared=True), f"-DZELVO_BUILD_MINOR={other}",
                "-I", sysconfig.get_paths()["include"], "-I", np.get_include(), *builds.INCLUDE,
                *sorted(glob.glob(os.path.join(builds.ROOT, "src", "ext", "exact", "*.cpp"))),
                *builds.CORE_SOURCES, "-o", so])
    run = subprocess.run([sys.executable, "-c", SCRIPT, str(so)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    runtime = "%d.%d" % sys.version_info[:2]
    text = f"compiletime version 3.{other} of module 'zelvo._zelvo' does not match runtime version {runtime}"
    assert run.stdout.splitlines() == [
        f"refused: {text}",          # a warning turned into an error fails the import ...
        f"warned: RuntimeWarning {text}",   # ... and a later import starts afresh
        "works: [1.5, 2.5]",
    ]
