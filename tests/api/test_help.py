"""help() on the package's functions: the signature, the text of
docs/functions.md, and examples that run as printed."""
import doctest

import numpy as np
import pytest

import zelvo
from zelvo._catalog import FUNCTIONS


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_docstring_has_the_rules_and_a_running_example(name):
    doc = getattr(zelvo, name).__doc__
    for part in ("Window and warm-up:", "NaN:", "Arguments:", "axis", "Examples:\n>>> "):
        assert part in doc, (name, part)
    globs = {"np": np, "nan": np.nan, **{n: getattr(zelvo, n) for n in zelvo.__all__}}
    test = doctest.DocTestParser().get_doctest(doc, globs, name, None, 0)
    assert test.examples
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


def test_threads_round_trip():
    before = zelvo.get_threads()
    try:
        zelvo.set_threads(3)
        assert zelvo.get_threads() == 3
        zelvo.set_threads(np.int64(1))
        assert zelvo.get_threads() == 1
    finally:
        zelvo.set_threads(0)
    assert zelvo.get_threads() == before
