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
    assert sorted(names) == sorted(FUNCTIONS) and len(names) == 31
    for name in FUNCTIONS:
        assert getattr(zelvo, name) is getattr(zelvo._api, name)


def test_get_include_holds_the_header():
    header = Path(zelvo.get_include()) / "rillet.h"
    assert header.is_file()
    text = header.read_text()
    assert all(f"zv_{name.lower()}" in text for name in FUNCTIONS)


def test_version_comes_from_the_installed_metadata():
    assert zelvo.__version__ == importlib.metadata.version("zelvo")


def test_installed_files_hold_no_sources_but_the_license():
    files = {str(f) for f in importlib.metadata.files("zelvo")}
    sources = [f for f in files if f.endswith((".c", ".cpp", ".map", ".in"))
               or (f.endswith(".h") and f != "zelvo/include/rillet.h")]
    assert not sources
    assert {"zelvo/include/rillet.h", "zelvo/lib/librillet.a"} <= files
    assert any(f.endswith("LICENSE") for f in files)
    meta = importlib.metadata.metadata("zelvo")
    assert meta["License-Expression"] == "MIT"


# A sub-interpreter imports FIRST; then the main interpreter imports zelvo.
# Prints what each import ended with.
SECOND_IMPORT = """
import json, sys
sys.path.insert(0, TESTS)
import subinterp
sub = subinterp.run("import sys; sys.path[:] = %r; import FIRST" % sys.path, isolated=False)
try:
    import zelvo
    main = None
except ImportError as e:
    main = {"message": str(e), "cause": repr(e.__cause__)}
print(json.dumps({"sub": sub, "main": main}))
"""


@pytest.mark.parametrize("first", ["zelvo", "numpy"])
def test_import_after_another_interpreter_says_why(first, tmp_path):
    # zelvo, and NumPy under it, keep to the interpreter that imported them
    # first; the main interpreter's import then fails saying so, in zelvo's
    # terms even when it is NumPy that refuses (its message chained).
    if subinterp.module() is None:
        pytest.skip("this Python has no sub-interpreters")
    script = SECOND_IMPORT.replace("TESTS", repr(str(Path(__file__).parents[1])))
    p = subprocess.run([sys.executable, "-c", script.replace("FIRST", first)], cwd=tmp_path,
                       capture_output=True, text=True, timeout=300)
    assert p.returncode == 0, p.stderr
    outcome = json.loads(p.stdout.splitlines()[-1])
    main = outcome["main"]
    if first == "zelvo" and outcome["sub"] is None:
        assert main is not None, "the main interpreter imported zelvo a second time"
    if main is None:
        return  # NumPy took a second interpreter here: nothing to explain
    if first == "zelvo":
        assert "zelvo runs in one interpreter per process" in main["message"], main
    else:
        assert "zelvo (with NumPy) runs in one interpreter per process" in main["message"], main
        assert main["cause"].startswith("ImportError("), main
