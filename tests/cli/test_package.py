"""What `import zelvo` offers: the functions of zelvo._api, the C header, and
the version."""
import importlib.metadata
import json
import subprocess
import sys
from pathlib import Path

import pytest

import subinterp
import zelvo
import zelvo._zelvo as z
from zelvo._catalog import FUNCTIONS

PACKAGE = Path(zelvo.__file__).parent


def test_the_31_functions_are_the_api_objects():
    names = [n for n in dir(z) if n.isupper() and n != "np"]
    assert sorted(names) == sorted(n for n, f in FUNCTIONS.items() if f.exact)
    assert len(names) == 31
    for name in FUNCTIONS:
        assert getattr(zelvo, name) is getattr(zelvo._api, name)


def test_get_include_holds_the_header():
    header = Path(zelvo.get_include()) / "rillet.h"
    assert header.is_file()
    text = header.read_text()
    assert all(f"zv_{name.lower()}" in text for name, f in FUNCTIONS.items() if f.exact)


def test_the_core_ships_once():
    # Exactly one installed shared object defines the core's functions (the
    # modules link it), and its one thread setting is the package's.
    import ctypes
    import shutil

    if shutil.which("nm"):
        here = Path(zelvo._zelvo.__file__).parent
        defining = [str(f) for f in sorted(here.rglob("*.so*")) if f.is_file() and " zv_ma\n" in
                    subprocess.run(["nm", "-D", "--defined-only", str(f)], capture_output=True,
                                   text=True).stdout]
        assert defining == [zelvo.get_library()]
    core = ctypes.CDLL(zelvo.get_library())
    threads = zelvo.get_threads()
    try:
        zelvo.set_threads(1)
        assert core.zv_get_threads() == 1
        core.zv_set_threads(2)
        assert zelvo.get_threads() == 2
    finally:
        zelvo.set_threads(threads)


def test_version_comes_from_the_installed_metadata():
    assert zelvo.__version__ == importlib.metadata.version("zelvo")


def test_installed_files_hold_no_sources_but_the_license():
    files = {str(f) for f in importlib.metadata.files("zelvo")}
    sources = [f for f in files if f.endswith((".c", ".cpp", ".map", ".in"))
               or (f.endswith(".h") and f != "zelvo/include/rillet.h")]
    assert not sources
    assert {"zelvo/include/rillet.h", "zelvo/lib/librillet.a", "zelvo/lib/librillet.so"} <= files
    assert any(f.endswith("LICENSE") for f in files)
    meta = importlib.metadata.metadata("zelvo")
    assert meta["License-Expression"] == "MIT"


# A sub-interpreter imports FIRST, then the main interpreter zelvo; prints
# the sub-interpreter's failure (None if it imported) and the main one's.
SECOND_IMPORT = """
import json, sys
sys.path.insert(0, TESTS)
import subinterp
sub = subinterp.run("import sys; sys.path[:] = %r; import FIRST" % sys.path, isolated=False)
try:
    import zelvo
    main = None
except ImportError as e:
    main = [str(e), repr(e.__cause__)]
print(json.dumps([sub, main]))
"""


@pytest.mark.parametrize("first", ["zelvo", "numpy"])
def test_import_after_another_interpreter_says_why(first, tmp_path):
    # zelvo, and NumPy under it, keep to the interpreter that imported them
    # first; the main interpreter's import then fails saying so, in zelvo's
    # terms even when it is NumPy that refuses (its error chained).
    if subinterp.module() is None:
        pytest.skip("this Python has no sub-interpreters")
    script = SECOND_IMPORT.replace("TESTS", repr(str(Path(__file__).parents[1])))
    p = subprocess.run([sys.executable, "-c", script.replace("FIRST", first)], cwd=tmp_path,
                       capture_output=True, text=True, timeout=300)
    assert p.returncode == 0, p.stderr
    sub, main = json.loads(p.stdout.splitlines()[-1])
    if first == "zelvo":
        assert sub is not None or main is not None, "zelvo imported in two interpreters"
    if main is None:
        return  # NumPy took the second interpreter: nothing to explain
    if first == "zelvo":
        assert "zelvo runs in one interpreter per process" in main[0], main
    else:
        assert "zelvo (with NumPy) runs in one interpreter per process" in main[0], main
        assert main[1].startswith(("ImportError(", "RuntimeError(")), main  # NumPy's, chained
