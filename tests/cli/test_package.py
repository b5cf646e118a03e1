"""What `import zelvo` offers: the functions of zelvo._api, the C header, the
version, and type stubs that agree with the functions."""
import ast
import importlib.metadata
from pathlib import Path

import numpy as np
import pytest

import zelvo
import zelvo._zelvo as z
from zelvo._formula import FUNCTIONS

PACKAGE = Path(zelvo.__file__).parent


def test_the_31_functions_are_the_api_objects():
    names = [n for n in dir(z) if n.isupper() and n != "np"]
    assert sorted(names) == sorted(FUNCTIONS) and len(names) == 31
    assert zelvo.__all__ == list(FUNCTIONS) + ["set_threads", "get_threads", "get_include"]
    for name in FUNCTIONS:
        assert getattr(zelvo, name) is getattr(zelvo._api, name)


def test_get_include_holds_the_header():
    header = Path(zelvo.get_include()) / "rillet.h"
    assert header.is_file()
    text = header.read_text()
    assert all(f"zv_{name.lower()}" in text for name in FUNCTIONS)


def test_version_comes_from_the_installed_metadata():
    assert zelvo.__version__ == importlib.metadata.version("zelvo")


KINDS = {"_Series": "s", "_Condition": "c", "int": "i"}


def _stubs():
    tree = ast.parse((PACKAGE / "_zelvo.pyi").read_text())
    return {f.name: f for f in tree.body if isinstance(f, ast.FunctionDef)}


def test_stubs_ship_and_match_the_functions():
    assert (PACKAGE / "py.typed").is_file()
    stubs = _stubs()
    assert list(stubs) == list(FUNCTIONS)
    for name, f in stubs.items():
        params, positional_only, _ = FUNCTIONS[name]
        args = f.args.posonlyargs + f.args.args
        assert [f"{a.arg}:{KINDS[ast.unparse(a.annotation)]}" for a in args] == list(params)
        assert bool(f.args.posonlyargs) == positional_only
        assert ast.unparse(f.returns) == "_Series"
        assert ast.get_docstring(f)


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_module_accepts_the_stubs_keywords(name):
    f = _stubs()[name]
    values = {"s": np.array([1.0, 0.0, 3.0, 2.0]), "c": np.array([1, 0, 1, 1]), "i": 2}
    args = {a.arg: values[KINDS[ast.unparse(a.annotation)]]
            for a in f.args.posonlyargs + f.args.args}
    function = getattr(zelvo, name)
    if f.args.posonlyargs:
        assert function(*args.values()).shape == (4,)
        with pytest.raises(TypeError):
            function(**args)
    else:
        assert function(**args).shape == (4,)
