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


def test_api_binds_the_catalog_in_order():
    from zelvo import _api
    assert _api.__all__ == list(_catalog.NAMES) + ["set_threads", "get_threads"]
    assert zelvo.__all__ == list(_catalog.NAMES) + ["set_threads", "get_threads", "get_include"]


@pytest.mark.parametrize("name", _catalog.NAMES)
def test_api_signatures_and_windows_agree_with_the_catalog(name):
    from zelvo import _api
    f = _catalog.FUNCTIONS[name]
    function = getattr(_api, name)
    params = list(inspect.signature(function).parameters.values())
    kind = (inspect.Parameter.POSITIONAL_ONLY if f.positional_only
            else inspect.Parameter.POSITIONAL_OR_KEYWORD)
    assert [(p.name, p.kind) for p in params[:-1]] == [(a, kind) for a in f.argnames]
    axis = params[-1]
    assert (axis.name, axis.kind, axis.default) == ("axis", inspect.Parameter.KEYWORD_ONLY, -1)
    # The window range the compiled module states (and enforces) is the catalog's.
    windows = [a for a, k in f.args if k == "i"]
    if windows:
        lo = f.min_window if f.min_window is not None else _catalog.INT_MIN
        assert f"  {windows[0]}     int window, from {lo} to {_catalog.INT_MAX}" in function.__doc__
        with pytest.raises(ValueError, match=f"from {lo} to"):
            function([1.0, 2.0], *[lo - 1 if a == windows[0] else 1 for a in f.argnames[1:]])


def test_api_stubs_agree_with_the_catalog():
    stub = Path(inspect.getfile(zelvo)).with_name("_api.pyi")
    tree = ast.parse(stub.read_text())
    kinds = {"_Series": "s", "_Condition": "c", "_Window": "i"}
    defs: dict = {}
    for d in tree.body:
        if isinstance(d, ast.FunctionDef):
            defs.setdefault(d.name, []).append(d)
    assert list(defs) == list(_catalog.NAMES) + ["set_threads", "get_threads"]
    for name in _catalog.NAMES:
        f = _catalog.FUNCTIONS[name]
        frame, plain = defs[name]          # a pandas/polars overload, then the rest
        for d in (frame, plain):
            assert [ast.unparse(x) for x in d.decorator_list] == ["overload"], name
            args = d.args.posonlyargs + d.args.args
            assert tuple(a.arg for a in args) == f.argnames, name
            assert bool(d.args.posonlyargs) == f.positional_only, name
            assert [a.arg for a in d.args.kwonlyargs] == ["axis"], name
            assert ast.unparse(d.args.kw_defaults[0]) == "-1", name
            rest = "".join(kinds[ast.unparse(a.annotation)] for a in args[1:])
            assert rest == f.kinds[1:], name
        assert ast.unparse(frame.args.args[0].annotation if frame.args.args
                           else frame.args.posonlyargs[0].annotation) == "_Frame"
        assert ast.unparse(frame.returns) == "_Frame"
        first = (plain.args.posonlyargs + plain.args.args)[0]
        assert kinds[ast.unparse(first.annotation)] == f.kinds[0], name
        assert ast.unparse(plain.returns) == "_Result"
