"""The package catalog agrees with the compiled modules and the type stubs
written from the registry.

(The module binding the catalog's names in order is checked by the binding
tests, which read their names from the catalog.)"""
import ast
import inspect
from pathlib import Path

import numpy as np
import pytest

import zelvo
import zelvo._api
from zelvo._catalog import EXACT_NAMES, FUNCTIONS, INT_MAX, INT_MIN

PACKAGE = Path(zelvo.__file__).parent
# The stubs are written at build time beside the compiled modules (the same
# folder as the package's sources in a wheel; not in an editable install).
BUILT = Path(zelvo._api.__file__).parent
KINDS = {"_Series": "s", "_Condition": "c", "int": "i"}


def _stubs(name="_zelvo.pyi"):
    tree = ast.parse((BUILT / name).read_text())
    return {f.name: f for f in tree.body if isinstance(f, ast.FunctionDef)}


def test_stubs_ship_and_match_the_catalog():
    assert (PACKAGE / "py.typed").is_file()
    stubs = _stubs()
    assert list(stubs) == list(EXACT_NAMES)
    for name, f in stubs.items():
        args = f.args.posonlyargs + f.args.args
        assert tuple((a.arg, KINDS[ast.unparse(a.annotation)]) for a in args) == FUNCTIONS[name].args
        assert bool(f.args.posonlyargs) == FUNCTIONS[name].positional_only
        assert ast.unparse(f.returns) == "_Series"
        assert ast.get_docstring(f)


def test_exact_module_binds_its_31_functions_first():
    assert len(EXACT_NAMES) == 31
    assert list(FUNCTIONS)[:31] == list(EXACT_NAMES)
    bound = [n for n in dir(zelvo._zelvo) if n.isupper()]
    assert sorted(bound) == sorted(EXACT_NAMES)


@pytest.mark.parametrize("name", EXACT_NAMES)
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


def test_api_binds_the_catalog_in_order():
    assert zelvo._api.__all__ == list(FUNCTIONS) + ["set_threads", "get_threads"]


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_api_signatures_and_windows_agree_with_the_catalog(name):
    f = FUNCTIONS[name]
    function = getattr(zelvo._api, name)
    params = list(inspect.signature(function).parameters.values())
    kind = (inspect.Parameter.POSITIONAL_ONLY if f.positional_only
            else inspect.Parameter.POSITIONAL_OR_KEYWORD)
    assert [(p.name, p.kind) for p in params[:-1]] == [(a, kind) for a in f.argnames]
    axis = params[-1]
    assert (axis.name, axis.kind, axis.default) == ("axis", inspect.Parameter.KEYWORD_ONLY, -1)
    # The window range the compiled module states (and enforces) is the catalog's.
    windows = [a for a, k in f.args if k == "i"]
    if windows:
        lo = f.min_window if f.min_window is not None else INT_MIN
        assert f"  {windows[0]}     int window, from {lo} to {INT_MAX}" in function.__doc__
        with pytest.raises(ValueError, match=f"from {lo} to"):
            function([1.0, 2.0], *[lo - 1 if a == windows[0] else 1 for a in f.argnames[1:]])


def test_api_stubs_agree_with_the_catalog():
    tree = ast.parse((BUILT / "_api.pyi").read_text())
    kinds = {"_Series": "s", "_Condition": "c", "_Window": "i"}
    defs: dict = {}
    for d in tree.body:
        if isinstance(d, ast.FunctionDef):
            defs.setdefault(d.name, []).append(d)
    assert list(defs) == list(FUNCTIONS) + ["set_threads", "get_threads"]
    for name, f in FUNCTIONS.items():
        frame, plain = defs[name]          # a pandas/polars overload, then the rest
        for d in (frame, plain):
            assert [ast.unparse(x) for x in d.decorator_list] == ["overload"], name
            args = d.args.posonlyargs + d.args.args
            assert tuple(a.arg for a in args) == f.argnames, name
            assert bool(d.args.posonlyargs) == f.positional_only, name
            assert [a.arg for a in d.args.kwonlyargs] == ["axis"], name
            assert ast.unparse(d.args.kw_defaults[0]) == "-1", name
            assert "".join(kinds[ast.unparse(a.annotation)] for a in args[1:]) == f.kinds[1:]
        first_frame = (frame.args.posonlyargs + frame.args.args)[0]
        assert ast.unparse(first_frame.annotation) == ast.unparse(frame.returns) == "_Frame"
        first = (plain.args.posonlyargs + plain.args.args)[0]
        assert kinds[ast.unparse(first.annotation)] == f.kinds[0], name
        assert ast.unparse(plain.returns) == "_Result"
