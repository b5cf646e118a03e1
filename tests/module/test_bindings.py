"""All 31 module functions: forms, keywords, argument kinds, and equality with
the core called directly, bit for bit."""
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import zelvo._zelvo as z
from catalog import KINDS, NAMES, POSITIONAL_ONLY, argnames, core_name
from corelib import call as core_call, bits
from strategies import conditions, values, window_values



keywords = argnames


def sample_args(name, n=12, window=3, seed=0):
    rng = np.random.default_rng(seed)
    out = []
    for k in KINDS[name]:
        if k == "I":
            out.append(window)
        elif k == "C":
            out.append(rng.choice(np.array([0, 1, 255], dtype=np.uint8), n))
        else:
            out.append(rng.normal(size=n).round(2) * 10)
    return out


def test_binding_order_matches_namespace():
    keys = list(vars(z))
    assert keys[keys.index("np") + 1:keys.index("__test__")] == NAMES


@pytest.mark.parametrize("name", NAMES)
def test_result_is_new_float64_of_first_length(name):
    args = sample_args(name)
    r = getattr(z, name)(*args)
    assert type(r) is np.ndarray and r.dtype == np.float64 and r.shape == (12,)
    assert all(r is not a for a in args)


@pytest.mark.parametrize("name", [n for n in NAMES if KINDS[n].count("N") + KINDS[n].count("C") > 1])
def test_length_mismatch_gives_zeros(name):
    args = sample_args(name)
    for i, k in enumerate(KINDS[name]):
        if i == 0 or k == "I":
            continue
        shorter = list(args)
        shorter[i] = args[i][:-1]
        assert getattr(z, name)(*shorter).tolist() == [0.0] * 12


@pytest.mark.parametrize("name", [n for n in NAMES if n not in POSITIONAL_ONLY])
def test_keywords(name):
    f, args, names = getattr(z, name), sample_args(name), keywords(name)
    expected = f(*args)
    got = f(**dict(zip(names, args)))
    assert bits(got).tolist() == bits(expected).tolist()
    with pytest.raises(TypeError) as info:
        f(*args[:-1], **{names[-1]: args[-1], "bogus": 1})
    assert str(info.value) == f"{name}() got an unexpected keyword argument 'bogus'"
    with pytest.raises(TypeError) as info:
        f(*args[:1])
    assert str(info.value) == (f"{name}() takes exactly {len(names)} positional arguments "
                               f"(1 given)")
    assert info.traceback[-1].name == f"zelvo._zelvo.{name}"


def test_slope_keyword_is_Y():
    y = np.ones(3)
    assert z.SLOPE(Y=y, N=2).tolist()[1:] == [0.0, 0.0]
    with pytest.raises(TypeError, match=r"^SLOPE\(\) got an unexpected keyword argument 'a'$"):
        z.SLOPE(y, N=2, a=y)
    # a missing first argument is reported before any stray keyword
    with pytest.raises(TypeError, match=r"^SLOPE\(\) takes exactly 2 positional arguments \(0 given\)$"):
        z.SLOPE(a=y, N=2)


@pytest.mark.parametrize("name", sorted(POSITIONAL_ONLY))
def test_positional_only(name):
    f, x = getattr(z, name), sample_args(name)[0]
    with pytest.raises(TypeError, match=r"takes no keyword arguments"):
        f(x=x)
    with pytest.raises(TypeError, match=r"takes exactly one argument \(2 given\)"):
        f(x, x)


@pytest.mark.parametrize("name", NAMES)
def test_numeric_positions_refuse_float32_and_empty(name):
    args = sample_args(name)
    for i, k in enumerate(KINDS[name]):
        if k != "N":
            continue
        bad = list(args)
        bad[i] = args[i].astype(np.float32)
        with pytest.raises(ValueError) as info:
            getattr(z, name)(*bad)
        assert str(info.value) == "Buffer dtype mismatch, expected 'double' but got 'float'"
        assert info.traceback[-1].name == f"zelvo._zelvo.{name}"
        if i > 0:
            bad[i] = None
            with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
                getattr(z, name)(*bad)


def test_refif_refuses_boolean_condition():
    x = np.arange(3.0)
    with pytest.raises(ValueError, match="^Buffer dtype mismatch, expected 'double' but got 'bool'$"):
        z.REFIF(x, x > 0, x)


def test_window_series_refuses_int():
    with pytest.raises(TypeError):
        z.MA_A(np.ones(3), 5)


COND_FORMS = [
    np.array([0, 0.5, 2.0, 1.0, 0.0]),                       # 0.5 is false, 2.0 true
    np.array([False, False, True, True, False]),
    np.array([0, 0, 7, 1, 0], dtype=np.int32),
    np.array([0, 9, 0, 0.5, 2.0, 9, 1.0, 9, 0.0, 9])[::2],   # strided
]


@pytest.mark.parametrize("name", ["BARSINCE", "BARLAST", "BARSLAST", "BACKCOUNT"])
@pytest.mark.parametrize("x", COND_FORMS)
def test_condition_argument_forms(name, x):
    expected = getattr(z, name)(np.array([0, 0, 1, 1, 0], dtype=np.uint8))
    ro = x.copy()
    ro.flags.writeable = False
    assert getattr(z, name)(x).tolist() == expected.tolist()
    assert getattr(z, name)(ro).tolist() == expected.tolist()


def test_condition_without_astype():
    with pytest.raises(AttributeError):
        z.BARSINCE([0, 1])
    with pytest.raises(AttributeError):
        z.FIF([0, 1], np.ones(2), np.ones(2))


def test_fif_and_currbarscount():
    a, b = np.array([1.0, 2.0, 3.0]), np.array([10.0, 20.0, 30.0])
    assert z.FIF(np.array([True, False, True]), a, b).tolist() == [1.0, 20.0, 3.0]
    assert z.FIF(np.array([True, False]), a, b).tolist() == [0.0, 0.0]
    assert z.CURRBARSCOUNT(np.full(4, np.nan)).tolist() == [0.0, 1.0, 2.0, 3.0]
    with pytest.raises(ValueError, match="but got 'float'"):
        z.CURRBARSCOUNT(np.zeros(4, np.float32))


def test_cross_leaves_bar_zero():
    assert z.CROSS(np.array([1.0, 3, 1, 2, 3]), np.full(5, 2.0)).tolist() == [0, 1, 0, 0, 0]


# ---- the module and the core agree, bit for bit ------------------------------------

value = st.one_of(values, window_values)


@settings(max_examples=25, deadline=None)
@given(st.data())
@pytest.mark.parametrize("name", NAMES)
def test_module_equals_core(name, data):
    n = data.draw(st.integers(1, 30))
    margs, cargs = [], []
    for k in KINDS[name]:
        if k == "I":
            v = data.draw(st.sampled_from([0, 1, 2, 3, -1, 5, n, n + 1, 2**31 - 1]))
            margs.append(v)
            cargs.append(v)
        elif k == "C":
            v = np.array(data.draw(st.lists(conditions, min_size=n, max_size=n)), dtype=np.uint8)
            margs.append(v)
            cargs.append(v)
        else:
            v = np.array(data.draw(st.lists(value, min_size=n, max_size=n)))
            margs.append(v)
            cargs.append(v)
    got = getattr(z, name)(*margs)
    core = core_name(name)
    rc, expected = core_call(core, *cargs, r=np.zeros(n))
    assert bits(got).tolist() == bits(expected).tolist()
