"""The examples of docs/functions.md and of the README run and print what they
show; every function is documented and listed."""
import doctest
import importlib.util
import io
import re
from pathlib import Path

import pytest

from zelvo._catalog import FUNCTIONS

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs" / "functions.md"
FORMULAS = ROOT / "docs" / "formulas.md"
README = ROOT / "README.md"


@pytest.mark.parametrize("path", [DOCS, FORMULAS, README], ids=lambda p: p.name)
def test_examples_print_what_they_show(path):
    text = path.read_text()
    blocks = list(re.finditer(r"```pycon\n(.*?)```", text, re.S))
    assert blocks
    globs: dict = {}                   # later blocks use the names of earlier ones
    out = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for m in blocks:
        if "import pandas" in m.group(1) and importlib.util.find_spec("pandas") is None:
            continue                   # the pandas examples need pandas
        line = text.count("\n", 0, m.start(1))
        test = doctest.DocTestParser().get_doctest(m.group(1), globs, path.name,
                                                   str(path), line)
        runner.run(test, out=out.write, clear_globs=False)
        globs.update(test.globs)
    result = runner.summarize(verbose=False)
    assert result.attempted > 0 and result.failed == 0, out.getvalue()


def _sections():
    parts = re.split(r"^## ", DOCS.read_text(), flags=re.M)[1:]
    return {p.split("\n", 1)[0].strip(): p for p in parts}


def test_every_function_has_a_section_with_signature_and_example():
    sections = _sections()
    assert list(sections) == list(FUNCTIONS)
    for name, text in sections.items():
        assert f"`{FUNCTIONS[name].signature}`" in text
        assert "**Window and warm-up:**" in text and "**NaN:**" in text
        assert re.search(rf"^- \*\*In a formula:\*\* `[^`]*\b{name}\(", text, re.M), name
        assert re.search(rf"^>>> .*\b{name}\(", text, re.M), name


def test_the_function_reference_has_every_function_in_order():
    # The README points to docs/functions.md, whose sections follow the registry.
    assert "(docs/functions.md)" in README.read_text()
    sections = re.findall(r"^## ([A-Z_]+)$", (README.parent / "docs" / "functions.md").read_text(),
                          re.M)
    assert sections == list(FUNCTIONS)


def test_package_docstring_example():
    import zelvo
    assert doctest.testmod(zelvo, optionflags=doctest.NORMALIZE_WHITESPACE).failed == 0
