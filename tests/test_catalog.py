"""The Python catalog agrees with the compiled module and the type stubs."""
import ast
import inspect
from pathlib import Path

import pytest

import zelvo
from zelvo import _catalog, _zelvo


def test_module_binds_the_catalog_in_order():
    bound = [n for n in vars(_zelvo) if n in _catalog.FUNCTIONS]
    assert bound == list(_catalog.NAMES)
    assert len(_catalog.NAMES) == 31


@pytest.mark.parametrize("name", _catalog.NAMES)
def test_keyword_names_match_the_module(name):
    f = _catalog.FUNCTIONS[name]
    values = {a: None for a in f.argnames}
    if f.positional_only:
        with pytest.raises(TypeError):
            getattr(_zelvo, name)(**values)
        return
    # The module accepts exactly these keywords: the call gets past parsing
    # and fails later, on the None values, with a different message.
    with pytest.raises(Exception) as info:
        getattr(_zelvo, name)(**values)
    assert "keyword" not in str(info.value)


def test_stubs_agree_with_the_catalog():
    stub = Path(inspect.getfile(zelvo)).with_name("_zelvo.pyi")
    tree = ast.parse(stub.read_text())
    defs = {d.name: d for d in tree.body if isinstance(d, ast.FunctionDef)}
    assert list(defs) == list(_catalog.NAMES)
    for name, d in defs.items():
        f = _catalog.FUNCTIONS[name]
        args = [a.arg for a in d.args.posonlyargs + d.args.args]
        assert tuple(args) == f.argnames, name
        assert bool(d.args.posonlyargs) == f.positional_only, name
