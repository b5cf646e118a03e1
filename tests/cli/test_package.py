"""What `import zelvo` offers: the functions of zelvo._api, the C header, and
the version."""
import importlib.metadata
from pathlib import Path

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
