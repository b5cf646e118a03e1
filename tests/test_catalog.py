"""The package catalog agrees with the compiled module and the shipped type stubs.

(The module binding the catalog's names in order is checked by the binding
tests, which read their names from the catalog.)"""
import ast
from pathlib import Path

import numpy as np
import pytest

import zelvo
from zelvo._catalog import FUNCTIONS

PACKAGE = Path(zelvo.__file__).parent
KINDS = {"_Series": "s", "_Condition": "c", "int": "i"}


def _stubs(name="_zelvo.pyi"):
    tree = ast.parse((PACKAGE / name).read_text())
    return {f.name: f for f in tree.body if isinstance(f, ast.FunctionDef)}


def test_stubs_ship_and_match_the_catalog():
    assert (PACKAGE / "py.typed").is_file()
    stubs = _stubs()
    assert list(stubs) == list(FUNCTIONS)
    for name, f in stubs.items():
        args = f.args.posonlyargs + f.args.args
        assert tuple((a.arg, KINDS[ast.unparse(a.annotation)]) for a in args) == FUNCTIONS[name].args
        assert bool(f.args.posonlyargs) == FUNCTIONS[name].positional_only
        assert ast.unparse(f.returns) == "_Series"
        assert ast.get_docstring(f)


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_module_accepts_the_catalog_keywords(name):
    values = {"s": np.array([1.0, 0.0, 3.0, 2.0]), "c": np.array([1, 0, 1, 1]), "i": 2}
    args = {a: values[k] for a, k in FUNCTIONS[name].args}
    function = getattr(zelvo._zelvo, name)
    if FUNCTIONS[name].positional_only:
        assert function(*args.values()).shape == (4,)
        with pytest.raises(TypeError):
            function(**args)
    else:
        assert function(**args).shape == (4,)
