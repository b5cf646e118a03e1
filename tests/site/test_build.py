"""The site's build script (docs/site/build.py) against the sources it reads:
every registry entry and language function has what its page needs, the
example checker refuses what does not print what it shows, and the speed
page reads the recorded tables.  The whole build runs in CI (.ci/run)."""
from __future__ import annotations

import runpy
import re
import sys
import types
from pathlib import Path

import pytest

import zelvo
from zelvo._catalog import FUNCTIONS
from zelvo.formula import Formula
from zelvo.formula._parser import ELEMENTWISE

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"


def _load(name):
    """docs/site/NAME.py, under a name no installed package has."""
    return types.SimpleNamespace(**runpy.run_path(str(DOCS / "site" / f"{name}.py"),
                                                  run_name=f"zelvo_site_{name}"))


build = _load("build")
speed = _load("speed")
BuildError = build.BuildError
FUNCTIONS_MD = (DOCS / "functions.md").read_text(encoding="utf-8")
FORMULAS_MD = (DOCS / "formulas.md").read_text(encoding="utf-8")
RESULTS = ROOT / "bench" / "RESULTS.md"


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_every_catalog_function_has_what_its_page_shows(name):
    sec = build.function_sections(FUNCTIONS_MD)[name]
    assert sec.call == FUNCTIONS[name].signature and sec.prose and sec.examples
    assert {"Window and warm-up", "NaN", "In a formula"} <= set(sec.rules)
    formula = sec.rules["In a formula"].split("`")[1]
    f = Formula(formula)                      # the chart's formula compiles
    assert re.search(rf"\b{name}\(", formula) and f.outputs
    proto = build.c_prototypes((ROOT / "rillet" / "rillet.h").read_text())
    assert proto[FUNCTIONS[name].core_name].startswith(f"int {FUNCTIONS[name].core_name}(")


def test_every_language_function_has_a_row_with_an_example():
    rows = build.elementwise(FORMULAS_MD, list(ELEMENTWISE))
    assert list(rows) == list(ELEMENTWISE)
    for name, e in rows.items():
        assert e.call.startswith(name + "(") and e.value
        assert Formula(e.example).outputs == [e.example]


def test_a_missing_row_or_section_stops_the_build():
    with pytest.raises(BuildError, match="no row for NEWFN"):
        build.elementwise(FORMULAS_MD, [*ELEMENTWISE, "NEWFN"])
    trimmed = re.sub(r"^## FILTER\n.*", "", FUNCTIONS_MD, flags=re.M | re.S)
    assert "FILTER" not in build.function_sections(trimmed)


def test_prototypes_are_read_whole_and_only_from_declarations():
    header = ("#define RILLET_API __attribute__((x))\n/* RILLET_API int zv_no(int); */\n"
              "RILLET_API int zv_ma(pcalc_ctx_t ctx, const num_t *X,\n"
              "                     int size_X, int N, num_t *R, int size_R);\n"
              "RILLET_API void zv_set_threads(int n);\n")
    assert build.c_prototypes(header) == {
        "zv_ma": "int zv_ma(pcalc_ctx_t ctx, const num_t *X, int size_X, int N, num_t *R, "
                 "int size_R);",
        "zv_set_threads": "void zv_set_threads(int n);"}


def test_talib_relations_are_read_for_library_indicators():
    relations = build.talib_relations(FORMULAS_MD)
    assert set(relations) <= set(zelvo.indicators)
    assert [t for t, _ in relations["ATR"]] == ["TRANGE", "ATR"]
    assert "sqrt(M/(M-1))" in relations["BOLL"][0][1]       # the escaped pipes kept


@pytest.mark.parametrize("text, target", [
    ("see [functions.md](functions.md#ema) and", "](functions/EMA.md)"),
    ("[functions.md](functions.md)", "](functions/index.md)"),
    ("[x](functions.md#panels-numbers-and-errors)",
     "](functions/conventions.md#panels-numbers-and-errors)"),
    ("[y](formulas.md#grammar)", "](formulas.md#grammar)"),
])
def test_links_between_docs_point_at_site_pages(text, target):
    assert target in build.link_rewrites(text, FUNCTIONS)


def test_the_conventions_page_links_function_sections_to_their_pages():
    text = "[`MA(a, N)`](#ma) and [the panels](#panels-numbers-and-errors)"
    assert build.link_rewrites(text, FUNCTIONS, "functions/") == \
        "[`MA(a, N)`](../functions/MA.md) and [the panels](#panels-numbers-and-errors)"


def test_examples_that_do_not_print_what_they_show_stop_the_build(tmp_path):
    good = "```pycon\n>>> x = 2\n>>> x + 1\n3\n```\n\n```pycon\n>>> x * 2\n4\n```\n"
    assert build.check_examples(Path("good.md"), good, tmp_path) == 2
    with pytest.raises(BuildError, match=r"bad.md, line 1: an example does not print"):
        build.check_examples(Path("bad.md"), "```pycon\n>>> 1 + 1\n3\n```\n", tmp_path)
    with pytest.raises(BuildError, match="raises ZeroDivisionError"):
        build.check_examples(Path("raise.md"), "text\n\n```python\n1 / 0\n```\n", tmp_path)
    listing = "```sh\nexit 1\n```\n\n```text\n>>> nonsense\n```\n"
    assert build.check_examples(Path("listing.md"), listing, tmp_path) == 0


def test_console_examples_run_in_one_shell_and_compare_output(tmp_path):
    ok = "```console\n$ X=4\n$ echo $((X + 1))\n5\n```\n"
    assert build.check_examples(Path("ok.md"), ok, tmp_path) == 1
    with pytest.raises(BuildError, match="printed\n5\ninstead of\n6"):
        build.check_examples(Path("off.md"), ok.replace("5\n```", "6\n```"), tmp_path)
    with pytest.raises(BuildError, match="exited 1"):
        build.check_examples(Path("fail.md"), "```console\n$ false\n$ echo x\nx\n```\n",
                             tmp_path)
    generated = "```console\n$ false\n```\n"
    assert build.check_examples(Path("gen.md"), generated, tmp_path, generated=True) == 0


def test_c_blocks_are_written_for_the_commands_after_them(tmp_path):
    page = ('```c title="hello.c"\nint main(void) { return 0; }\n```\n\n'
            "```console\n$ cat hello.c\nint main(void) { return 0; }\n```\n")
    assert build.check_examples(Path("c.md"), page, tmp_path) == 2


def test_indented_blocks_in_lists_are_examples_too(tmp_path):
    page = "- item\n\n    ```pycon\n    >>> 2 * 3\n    7\n    ```\n"
    with pytest.raises(BuildError):
        build.check_examples(Path("list.md"), page, tmp_path)


def test_speed_page_reads_the_recorded_tables():
    results = RESULTS.read_text(encoding="utf-8")
    run = speed.record(results, "bench-record")
    assert "cores" in run.machine
    peers, floors = speed.key_ratios(run)
    assert dict(peers)["LLV N=20 vs bottleneck move_min"] == 7.82   # peer/zelvo
    assert dict(peers)["MA N=5 vs bottleneck move_mean"] == pytest.approx(1 / 1.57)
    assert dict(floors)["CROSS"] == 3.52
    assert all(0 < r < 100 for _, r in peers + floors)
    per_fn = speed.speedups_1e6(run)
    assert per_fn["EMA"]["pandas"] == 4.84 and per_fn["MA"]["bottleneck"] == 0.63
    assert not any("[" in name for name in per_fn)     # the variant rows left out
    panels = speed.record(results, "panels")
    assert "AMD EPYC" in panels.machine and "2 cores" in panels.machine
    shape = speed.panel_speedups(panels, "2000 instruments x 2500 bars")
    assert shape["MA"]["polars"] == pytest.approx(195 / 12.6)


def test_speed_page_refuses_a_record_without_its_machine():
    text = "<!-- x:start -->\n## Run\n\n| a | b |\n|---|---|\n| 1 | 2 |\n<!-- x:end -->\n"
    rec = speed.record(text, "x")
    assert rec.table("a", "b") == [{"a": "1", "b": "2"}]
    with pytest.raises(BuildError, match="the machine is not named"):
        rec.machine
    with pytest.raises(BuildError, match="no section between the markers y"):
        speed.record(text, "y")


def test_a_broken_link_fails_the_strict_build(tmp_path):
    pytest.importorskip("mkdocs")
    pytest.importorskip("material")
    docs = tmp_path / "docs"
    docs.mkdir()
    (docs / "index.md").write_text("# Home\n\n[gone](nowhere.md) and [a part](#no-such)\n")
    config = tmp_path / "mkdocs.yml"
    config.write_text((DOCS / "site" / "mkdocs.yml").read_text()
                      .replace("extra_css:\n  - extra.css\n", "")
                      + f"docs_dir: {docs}\nsite_dir: {tmp_path / 'out'}\n")
    with pytest.raises(BuildError, match="nowhere.md") as e:
        build.mkdocs_build(config)
    assert "no-such" in str(e.value)
