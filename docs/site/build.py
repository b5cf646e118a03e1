"""Builds zelvo's documentation site with MkDocs (Material theme).

    python docs/site/build.py            # the site in build/site
    python docs/site/build.py --serve    # then serves it on http://127.0.0.1:8000

Needs the package installed and the ``docs`` extra
(``python3 -m pip install ".[docs]"``) and a C compiler (the C guide's example
is compiled and run).  Everything it writes goes under ``build/``:

* ``build/site-work/docs``: the pages.  The guides are copied from
  ``docs/site/guides``, the formula language and the architecture from
  ``docs/``; one page per function of the catalog (``zelvo._catalog``) and per
  elementwise function of the formula language, made from the sections of
  ``docs/functions.md`` and the tables of ``docs/formulas.md``, with the C
  prototype from ``rillet/rillet.h``; one page per library indicator; the
  speed page from the tables of ``bench/RESULTS.md``.
* The charts (PNG): each is drawn by the command shown on its page,
  ``python3 -m zelvo --last 5 --plot NAME.png FORMULA`` over the sample bars,
  and the page shows that command's output.
* ``build/site``: the site, built by ``mkdocs build --strict`` (a broken link
  or anchor fails it).

Every example on the site runs during the build: ``pycon`` blocks as doctests,
``python`` blocks as code that must not raise, ``console`` blocks as shell
commands whose output must be what the page shows, ``c`` blocks with a
``title="FILE"`` are written to that file for the console blocks after them.
Listings of other kinds (``sh`` install commands, grammar, formula texts) are
shown, not run.  Any failure, a missing page or a blank chart stops the build
with a message and exit status 1.
"""
from __future__ import annotations

import argparse
import contextlib
import doctest
import runpy
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import types
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
HERE = ROOT / "docs" / "site"
WORK = ROOT / "build" / "site-work"
OUT = ROOT / "build" / "site"
if str(HERE) not in sys.path:          # sources.py and speed.py beside this file
    sys.path.insert(0, str(HERE))

from sources import BuildError, table_with  # noqa: E402

#: The folders of pages whose examples on the sample bars the build ran to write them.
GENERATED = ("functions", "indicators")
#: Bars shown by each example on the sample bars.
LAST = 5


def _gen_docs():
    """src/ext/api/gen_docs.py, which splits docs/functions.md into sections
    for the docstrings; the pages split it the same way."""
    path = ROOT / "src" / "ext" / "api" / "gen_docs.py"
    return types.SimpleNamespace(**runpy.run_path(str(path), run_name="zelvo_gen_docs"))


# ---- reading the sources ------------------------------------------------

@dataclass
class Section:
    """One function's section of docs/functions.md."""
    name: str
    call: str                     # the call form, e.g. MA(a, N)
    prose: list[str]              # paragraphs before the rules
    rules: dict[str, str]         # "Window and warm-up", "NaN", "In a formula"
    examples: list[str]           # pycon blocks


def function_sections(markdown: str) -> dict[str, Section]:
    out = {}
    for name, body in _gen_docs().sections(markdown).items():
        examples = [m.strip("\n") for m in re.findall(r"```pycon\n(.*?)```", body, re.S)]
        prose = re.sub(r"```.*?```", "", body, flags=re.S)
        blocks = [b.strip() for b in re.split(r"\n\s*\n", prose) if b.strip()]
        call, paragraphs, rules = "", [], {}
        for b in blocks:
            if re.fullmatch(r"`[A-Z_]+\(.*\)`", b):
                call = b.strip("`")
            elif b.startswith("- "):
                for item in re.split(r"^- ", b, flags=re.M)[1:]:
                    m = re.match(r"\*\*(.+?):\*\*\s*(.*)", " ".join(item.split()), re.S)
                    if not m:
                        raise BuildError(f"docs/functions.md, {name}: a rule without "
                                         f"a bold name: {item[:40]!r}")
                    rules[m.group(1)] = m.group(2)
            else:
                paragraphs.append(" ".join(b.split()))
        out[name] = Section(name, call, paragraphs, rules, examples)
    return out


def preamble(markdown: str) -> str:
    """docs/functions.md before its first function section: the conventions."""
    first = re.search(r"^## [A-Z_]+\n", markdown, re.M)
    return markdown[:first.start()] if first else markdown


@dataclass
class Elementwise:
    name: str
    call: str          # e.g. MAX(a,b)
    value: str         # the meaning
    example: str       # a formula on the sample bars


def elementwise(formulas_md: str, names) -> dict[str, Elementwise]:
    """The language's elementwise functions, from the table of docs/formulas.md;
    ``names`` are the language's own list of them."""
    out = {}
    for row in table_with(formulas_md, "function", "value", "for example"):
        calls = re.findall(r"`([A-Z]+\(.*?\))`", row["function"])
        examples = re.findall(r"`(.+?)`", row["for example"])
        for call in calls:
            name = call.split("(")[0]
            ex = [e for e in examples if e.startswith(name + "(")]
            if len(ex) != 1:
                raise BuildError(f"docs/formulas.md: the row of {name} needs one example "
                                 f"that calls it")
            out[name] = Elementwise(name, call, row["value"], ex[0])
    missing = [n for n in names if n not in out]
    if missing:
        raise BuildError(f"docs/formulas.md: no row for {', '.join(missing)} in the table of "
                         f"elementwise functions")
    return {n: out[n] for n in names}


def talib_relations(formulas_md: str) -> dict[str, list[tuple[str, str]]]:
    out: dict[str, list[tuple[str, str]]] = {}
    for row in table_with(formulas_md, "zelvo", "TA-Lib", "relation"):
        out.setdefault(row["zelvo"], []).append((row["TA-Lib"], row["relation"]))
    return out


def c_prototypes(header: str) -> dict[str, str]:
    """zv_name -> its prototype, on one line: the series functions from their
    RILLET_FUNCTIONS rows and the C type of their form, the rest as written."""
    out = {}
    for m in re.finditer(r"^RILLET_API\s+([^;{}#]*?\b(zv_\w+)\s*\([^;{}#]*\));", header, re.M):
        out[m.group(2)] = " ".join(m.group(1).split()).replace("( ", "(") + ";"
    forms = {m.group(1): " ".join(m.group(2).split())
             for m in re.finditer(r"^typedef int zv_(\w+)_t(\([^;]*\));", header, re.M)}
    for m in re.finditer(r"X\((\w+), (zv_\w+), (\w+),", header):
        out[m.group(2)] = f"int {m.group(2)}{forms[m.group(3)]};"
    return out


def bench_peers():
    """bench/zbench/peers.py: which peer call computes what each function
    computes, and the tolerance bench/run.py holds each pair to."""
    bench = str(ROOT / "bench")
    if bench not in sys.path:
        sys.path.insert(0, bench)
    from zbench import peers
    return peers


def peer_rows(name: str) -> list[tuple[str, str, str]]:
    """(peer label, call, agreement) of every peer computing what `name` computes."""
    peers = bench_peers()
    out = []
    for peer, call in peers.STATEMENTS.get(name, {}).items():
        rtol = peers.RTOL.get((name, peer), peers.RTOL.get((name, None), peers.DEFAULT_RTOL))
        agree = "exact" if rtol == 0 else f"to {rtol:g} relative".replace("e-0", "e-")
        start = peers._start(name, peer, 20)
        if start > 20 - 1:
            agree += f", from bar {start} at N = 20 (past the peer's seed)"
        out.append((peers.LABEL[peer], call, agree))
    return out


def peer_table(peer: str, catalog) -> str:
    """The table of a peer (its import name, e.g. talib) for a guide."""
    peer_label = bench_peers().LABEL[peer]
    rows = [f"| zelvo | {peer_label} | agreement |", "|---|---|---|"]
    for name, fn in catalog.items():
        for label, call, agree in peer_rows(name):
            if label == peer_label:
                rows.append(f"| [`{fn.signature}`](../functions/{name}.md) | `{call}` | "
                            f"{agree} |")
    if len(rows) == 2:
        raise BuildError(f"bench/zbench/peers.py names no call of {peer_label}")
    return "\n".join(rows)


def talib_indicator_table(relations) -> str:
    rows = ["| zelvo | TA-Lib | relation |", "|---|---|---|"]
    for name, pairs in relations.items():
        rows += [f"| [{name}](../indicators/{name}.md) | {t} | {r} |" for t, r in pairs]
    return "\n".join(rows)


def fill_placeholders(markdown: str, catalog, relations) -> str:
    """<!-- peers: LABEL --> and <!-- talib-indicators --> in a guide."""
    markdown = re.sub(r"<!-- peers: ([\w-]+) -->",
                      lambda m: peer_table(m.group(1), catalog), markdown)
    return markdown.replace("<!-- talib-indicators -->", talib_indicator_table(relations))


# ---- running examples ---------------------------------------------------

def run_pycon(text: str, globs: dict, where: str) -> None:
    """Run a pycon block as a doctest; raise BuildError on a difference."""
    test = doctest.DocTestParser().get_doctest(text, globs, where, where, 0)
    out = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test, out=out.write, clear_globs=False)
    globs.update(test.globs)           # later blocks of the page use these names
    if runner.failures:
        raise BuildError(f"{where}: an example does not print what it shows:\n{out.getvalue()}")


def run_python(text: str, globs: dict, where: str) -> None:
    try:
        exec(compile(text, where, "exec"), globs)
    except Exception as e:
        raise BuildError(f"{where}: the example raises {type(e).__name__}: {e}") from e


def console_commands(text: str) -> tuple[list[str], str]:
    """A console block's commands (lines after '$ ', with '> ' continuations)
    and the output it shows."""
    commands, shown = [], []
    for line in text.split("\n"):
        if line.startswith("$ "):
            commands.append(line[2:])
        elif line.startswith("> ") and commands and not shown:
            commands[-1] += "\n" + line[2:]
        else:
            shown.append(line)
    return commands, "\n".join(shown).strip("\n")


def shell_env() -> dict:
    """The environment of console examples: this interpreter first on PATH, as
    `python3` and `zelvo`."""
    env = dict(os.environ)
    bindir = str(Path(sys.executable).parent)
    env["PATH"] = bindir + os.pathsep + env.get("PATH", "")
    env.setdefault("LC_ALL", "C.UTF-8")
    return env


def run_console(text: str, cwd: Path, where: str) -> None:
    commands, shown = console_commands(text)
    if not commands:
        raise BuildError(f"{where}: a console block with no '$ ' command")
    script = "set -e\n" + "\n".join(commands) + "\n"
    r = subprocess.run(["bash", "-c", script], cwd=cwd, env=shell_env(), text=True,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
    got = r.stdout.strip("\n")
    if r.returncode != 0 or _lines(got) != _lines(shown):
        raise BuildError(f"{where}: the commands\n{script}exited {r.returncode} and printed\n"
                         f"{got}\ninstead of\n{shown}")


def _lines(text: str) -> list[str]:
    return [line.rstrip() for line in text.strip("\n").split("\n")]


FENCE = re.compile(r"^(?P<indent>[ \t]*)```(?P<info>[^\n`]*)\n(?P<body>.*?)^(?P=indent)```[ \t]*$",
                   re.M | re.S)


def code_blocks(markdown: str) -> list[tuple[str, dict, str, int]]:
    """(language, attributes, body, line) of each fenced block."""
    out = []
    for m in FENCE.finditer(markdown):
        info = m.group("info").strip()
        lang, _, rest = info.partition(" ")
        attrs = dict(re.findall(r'(\w+)="([^"]*)"', rest))
        body = "\n".join(line[len(m.group("indent")):] for line in
                         m.group("body").split("\n"))
        out.append((lang, attrs, body, markdown.count("\n", 0, m.start()) + 1))
    return out


def check_examples(page: Path, markdown: str, scratch: Path, generated: bool = False) -> int:
    """Run every example of a page, in order, sharing names; return how many ran.
    The console blocks of generated pages show what the build printed when it
    ran them, so they are not run twice."""
    globs: dict = {"__name__": "__site__"}
    ran = 0
    folder = scratch / re.sub(r"\W", "_", page.stem)
    folder.mkdir(parents=True, exist_ok=True)
    here = os.getcwd()
    os.chdir(folder)                   # files an example writes stay in the scratch folder
    try:
        for lang, attrs, body, line in code_blocks(markdown):
            where = f"{page}, line {line}"
            if lang == "pycon":
                run_pycon(body, globs, where)
            elif lang == "python":
                run_python(body, globs, where)
            elif lang == "console" and not generated:
                run_console(body, folder, where)
            elif lang == "c" and "title" in attrs:
                (folder / attrs["title"]).write_text(body + "\n")
            else:
                continue
            ran += 1
    finally:
        os.chdir(here)
    return ran


# ---- the command line, for the examples and charts of generated pages ------

def run_cli(argv: list[str], cwd: Path) -> str:
    """`python3 -m zelvo ARGV` run in-process in cwd: what it prints."""
    from zelvo.cli import main
    out = io.StringIO()
    here = os.getcwd()
    os.chdir(cwd)
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
            status = main(argv)
    finally:
        os.chdir(here)
    if status:
        raise BuildError(f"python3 -m zelvo {shlex.join(argv)} exited {status}:\n"
                         f"{out.getvalue()}")
    return out.getvalue().rstrip("\n")


def chart_example(stem: str, args: list[str], folder: Path) -> tuple[str, str]:
    """Run the example that draws a page's chart; its console block and the
    chart's file name."""
    png = f"{stem}.png"
    argv = ["--last", str(LAST), "--plot", png, *args]
    printed = run_cli(argv, folder)
    check_chart(folder / png)
    block = f"```console\n$ python3 -m zelvo {shlex.join(argv)}\n{printed}\n```\n"
    return block, png


def check_chart(path: Path) -> None:
    """A chart is a PNG with more than a few distinct colours."""
    from matplotlib import image
    if not path.is_file() or path.stat().st_size < 1000:
        raise BuildError(f"{path}: no chart was drawn")
    pixels = image.imread(str(path))
    colours = len({tuple(p) for p in pixels.reshape(-1, pixels.shape[-1])[::7].tolist()})
    if colours < 8:
        raise BuildError(f"{path}: the chart is blank ({colours} colours)")


# ---- pages ----------------------------------------------------------------

def link_rewrites(markdown: str, catalog, here: str = "") -> str:
    """Links between the docs/ files, pointed at the site's pages: a function's
    section at its page, the rest of docs/functions.md at the conventions.
    `here` is the folder of the page the text goes to."""
    up = "../" * here.count("/") if here else ""

    def fix(m):
        target, anchor = m.group(1), m.group(2) or ""
        name = anchor[1:].upper()
        if name in catalog:
            return f"]({up}functions/{name}.md)"
        if target == "functions.md":
            return f"]({up}functions/{'conventions.md' if anchor else 'index.md'}{anchor})"
        return m.group(0)
    if here == "functions/":           # the conventions page: its own anchors stay
        return re.sub(r"\]\((functions\.md|)(#[\w-]+)?\)",
                      lambda m: fix(m) if m.group(1) or m.group(2)[1:].upper() in catalog
                      else m.group(0), markdown)
    return re.sub(r"\]\((functions\.md)(#[\w-]+)?\)", fix, markdown)


def prelude(functions_md: str) -> str:
    """The lines the examples of docs/functions.md start with (its first block)."""
    m = re.search(r"```pycon\n(.*?)```", preamble(functions_md), re.S)
    if not m:
        raise BuildError("docs/functions.md: no example before the first function")
    return m.group(1).rstrip("\n")


def function_page(sec: Section, fn, py_sig: str, c_proto: str, example: str, png: str,
                  per_bar_of: str | None, start: str) -> str:
    rules = dict(sec.rules)
    formula = rules.pop("In a formula")
    lines = [f"# {sec.name}", "", f"*{fn.summary[0].upper() + fn.summary[1:]}.*", "",
             "## Signatures", "",
             "| | |", "|---|---|",
             f"| Python | `zelvo.{sec.name}{py_sig}` |",
             f"| Formula language | `{sec.call.replace(', /', '')}` |",
             f"| C (`rillet.h`) | `{c_proto}` |", ""]
    kinds = {"s": "a series (an array, anything `numpy.asarray` reads, a pandas or polars "
                  "object, or a number for every bar)",
             "c": "a condition series: a bar is true where its value truncated toward zero "
                  "is not 0 (NaN is false)",
             "i": "an `int` window"}
    lines += ["Arguments: " + "; ".join(f"`{a}` {kinds[k]}" for a, k in fn.args) + "."
              + (" They are positional only." if fn.positional_only else ""), ""]
    if fn.per_bar:
        lines += [f"With a series as window, the formula language runs "
                  f"[`{fn.per_bar}`]({fn.per_bar}.md), the variant with a window per bar.", ""]
    if per_bar_of:
        lines += [f"The per-bar variant of [`{per_bar_of}`]({per_bar_of}.md); in a formula, "
                  f"`{per_bar_of}` with a series as window runs it.", ""]
    lines += ["## What it computes", ""] + [p + "\n" for p in sec.prose]
    lines += ["## Warm-up, NaN and edge cases", ""]
    lines += [f"- **{k}:** {v}" for k, v in rules.items()] + [""]
    lines += ["The edge cases, run as shown (they are the examples of `help(zelvo."
              f"{sec.name})` too):", "", "```pycon", start]
    lines += ["\n".join(sec.examples), "```", ""]
    peers = peer_rows(sec.name)
    if peers:
        lines += ["## Elsewhere", "", "What computes the same in other libraries, as "
                  "`bench/run.py` checks it (`a` an array, `s` a pandas Series, `ps` a "
                  "polars Series of the values):", "", "| library | call | agreement |",
                  "|---|---|---|"] + [f"| {p} | `{c}` | {a} |" for p, c, a in peers] + [""]
    lines += ["## On the sample bars", "",
              f"In a formula: {formula} Over the 250 sample bars that `python3 -m zelvo` "
              "uses when given no `--csv` file, the command prints the last bars and draws "
              "the chart below.", "", example,
              f"![{sec.name} over the sample bars](../charts/functions/{png})", ""]
    return "\n".join(lines)


def elementwise_page(e: Elementwise, nan_rule: str, truth: str, example: str,
                     png: str) -> str:
    lines = [f"# {e.name}", "", f"*{e.value[0].upper() + e.value[1:]}.*", "",
             "An elementwise function of the formula language: it takes series (or "
             "numbers) and gives a value for each bar from that bar alone.", "",
             "## Signatures", "", "| | |", "|---|---|",
             f"| Formula language | `{e.call}` |",
             f"| Python | through a formula: `zelvo.Formula(\"{e.example}\")(bars)` |",
             "| C | none: the formula language computes it on whole arrays |", "",
             "## What it computes", "", e.value[0].upper() + e.value[1:] + ".", "",
             "## NaN and edge cases", "", nan_rule, "", truth, "",
             "## On the sample bars", "",
             f"`{e.example}` over the 250 sample bars of `python3 -m zelvo`:", "",
             example, f"![{e.name} over the sample bars](../charts/functions/{png})", ""]
    return "\n".join(lines)


def indicator_page(ind, relations, example: str, png: str) -> str:
    params = ", ".join(f"`{k}={_number(v)}`" for k, v in ind.params.items()) or "none"
    lines = [f"# {ind.name}", "", f"*{ind.summary.split(':', 1)[-1].strip()}.*", "",
             f"- **Outputs:** {', '.join(f'`{o}`' for o in ind.outputs)}",
             f"- **Parameters and defaults:** {params}", "",
             "## Formula", "", "```text", ind.text.strip(), "```", "",
             "Set parameters by name: "
             f"`zelvo.indicator(\"{ind.name}\", bars"
             + "".join(f", {k}={_number(v)}" for k, v in ind.params.items())
             + ")`, or `--param NAME=VALUE` on the command line.", "",
             "## Relation to TA-Lib", ""]
    if relations:
        lines += ["| TA-Lib | relation |", "|---|---|"]
        lines += [f"| {t} | {r} |" for t, r in relations]
        lines += ["", "Checked on real daily bars by `tests/formula/test_talib.py`; see "
                  "[coming from TA-Lib](../guides/from-talib.md).", ""]
    else:
        lines += ["TA-Lib has no function that computes the same quantity.", ""]
    lines += ["## On the sample bars", "", example,
              f"![{ind.name} over the sample bars](../charts/indicators/{png})", ""]
    return "\n".join(lines)


def _number(v: float) -> str:
    return str(int(v)) if float(v).is_integer() else repr(v)


def functions_index(catalog, elementwise_fns) -> str:
    lines = ["# Functions", "",
             f"The {len(catalog)} series functions, each in Python (`zelvo.NAME`), in the "
             "formula language and in C (`rillet.h`), and the "
             f"{len(elementwise_fns)} elementwise functions the formula language adds. "
             "The rules every function shares are on the page "
             "[conventions](conventions.md).", "",
             "## Series functions", "", "| Function | Meaning |", "|---|---|"]
    lines += [f"| [`{f.signature}`]({n}.md) | {f.summary} |" for n, f in catalog.items()]
    lines += ["", "## Elementwise functions of the formula language", "",
              "| Function | Meaning |", "|---|---|"]
    lines += [f"| [`{e.call}`]({n}.md) | {e.value} |" for n, e in elementwise_fns.items()]
    return "\n".join(lines) + "\n"


def indicators_index(library) -> str:
    lines = ["# Indicators", "",
             f"The {len(library)} classic indicators of the library, written in the "
             "[formula language](../formulas.md) and shipped with the package "
             "(`zelvo.indicators`, `zelvo.indicator(name, bars)`, `--indicator NAME`).", "",
             "| Indicator | Outputs | Parameters | What it shows |", "|---|---|---|---|"]
    for name, ind in library.items():
        params = ", ".join(f"{k}={_number(v)}" for k, v in ind.params.items()) or "none"
        lines.append(f"| [{name}]({name}.md) | {', '.join(ind.outputs)} | {params} | "
                     f"{ind.summary.split(':', 1)[-1].strip()} |")
    return "\n".join(lines) + "\n"


# ---- the build --------------------------------------------------------------

@dataclass
class Report:
    function_pages: list[str] = field(default_factory=list)
    indicator_pages: list[str] = field(default_factory=list)
    guides: list[str] = field(default_factory=list)
    examples: int = 0
    seconds: dict[str, float] = field(default_factory=dict)


def generate(work: Path = WORK) -> Report:
    """Write every page and chart under work/docs, and check every example."""
    import zelvo
    from zelvo._catalog import FUNCTIONS
    from zelvo.formula._parser import ELEMENTWISE

    import speed

    report = Report()
    t0 = time.perf_counter()
    docs = work / "docs"
    if work.exists():
        shutil.rmtree(work)
    (docs / "functions").mkdir(parents=True)
    (docs / "indicators").mkdir()
    fcharts = docs / "charts" / "functions"
    icharts = docs / "charts" / "indicators"
    fcharts.mkdir(parents=True)
    icharts.mkdir(parents=True)

    functions_md = (ROOT / "docs" / "functions.md").read_text(encoding="utf-8")
    formulas_md = (ROOT / "docs" / "formulas.md").read_text(encoding="utf-8")
    sections = function_sections(functions_md)
    missing = [n for n in FUNCTIONS if n not in sections]
    if missing:
        raise BuildError(f"docs/functions.md has no section for {', '.join(missing)}")
    protos = c_prototypes((ROOT / "rillet" / "rillet.h").read_text(encoding="utf-8"))
    per_bar_of = {f.per_bar: n for n, f in FUNCTIONS.items() if f.per_bar}

    import inspect
    for name, fn in FUNCTIONS.items():
        sec = sections[name]
        if "In a formula" not in sec.rules:
            raise BuildError(f"docs/functions.md, {name}: no '**In a formula:**' rule")
        formula = sec.rules["In a formula"].split("`")[1]
        example, png = chart_example(name, [formula], fcharts)
        if fn.core_name not in protos:
            raise BuildError(f"rillet/rillet.h declares no {fn.core_name}")
        page = function_page(sec, fn, str(inspect.signature(getattr(zelvo, name))),
                             protos[fn.core_name], example, png, per_bar_of.get(name),
                             prelude(functions_md))
        (docs / "functions" / f"{name}.md").write_text(page, encoding="utf-8")
        report.function_pages.append(name)

    nan_rule = _sentence_after(formulas_md, "Each gives NaN where")
    truth = _paragraph_with(formulas_md, "A value is **true**")
    language = elementwise(formulas_md, list(ELEMENTWISE))
    for name, e in language.items():
        example, png = chart_example(name, [e.example], fcharts)
        (docs / "functions" / f"{name}.md").write_text(
            elementwise_page(e, nan_rule, truth, example, png), encoding="utf-8")
        report.function_pages.append(name)
    (docs / "functions" / "index.md").write_text(functions_index(FUNCTIONS, language))

    relations = talib_relations(formulas_md)
    for name, ind in zelvo.indicators.items():
        example, png = chart_example(name, ["--indicator", name], icharts)
        (docs / "indicators" / f"{name}.md").write_text(
            indicator_page(ind, relations.get(name, []), example, png), encoding="utf-8")
        report.indicator_pages.append(name)
    (docs / "indicators" / "index.md").write_text(indicators_index(zelvo.indicators))
    report.seconds["pages and charts"] = time.perf_counter() - t0

    # The pages taken from docs/ and the guides.
    (docs / "formulas.md").write_text(link_rewrites(formulas_md, FUNCTIONS), encoding="utf-8")
    (docs / "functions" / "conventions.md").write_text(
        "# Conventions\n" + link_rewrites(preamble(functions_md), FUNCTIONS, "functions/")
        .split("\n", 1)[1].replace("The examples below run", "The examples on these pages run"),
        encoding="utf-8")
    (docs / "architecture.md").write_text(
        (ROOT / "docs" / "architecture.md").read_text(encoding="utf-8"), encoding="utf-8")
    shutil.copytree(HERE / "guides", docs / "guides")
    for guide in (docs / "guides").glob("*.md"):
        guide.write_text(fill_placeholders(guide.read_text(encoding="utf-8"), FUNCTIONS,
                                           relations), encoding="utf-8")
    shutil.copy(HERE / "index.md", docs / "index.md")
    shutil.copy(HERE / "extra.css", docs / "extra.css")
    report.guides = [p.stem for p in sorted((docs / "guides").glob("*.md"))]

    t1 = time.perf_counter()
    (docs / "speed.md").write_text(speed.page(ROOT / "bench" / "RESULTS.md",
                                              docs / "charts" / "speed"), encoding="utf-8")
    report.seconds["speed charts"] = time.perf_counter() - t1

    # Every example of every page, generated or copied.
    t2 = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="zelvo-site-") as scratch:
        for page in sorted(docs.rglob("*.md")):
            rel = page.relative_to(docs)
            report.examples += check_examples(rel, page.read_text(), Path(scratch),
                                              generated=rel.parts[0] in GENERATED)
    report.seconds["examples"] = time.perf_counter() - t2
    return report


def _sentence_after(markdown: str, start: str) -> str:
    m = re.search(re.escape(start) + r"[^\n]*(?:\n[^\n]+)*", markdown)
    if not m:
        raise BuildError(f"docs/formulas.md: no text starting {start!r}")
    return " ".join(m.group(0).split())


def _paragraph_with(markdown: str, start: str) -> str:
    for p in re.split(r"\n\s*\n", markdown):
        if p.startswith(start):
            return " ".join(p.split())
    raise BuildError(f"docs/formulas.md: no paragraph starting {start!r}")


def write_config(work: Path, out: Path, report: Report) -> Path:
    import yaml
    config = yaml.safe_load((HERE / "mkdocs.yml").read_text(encoding="utf-8"))
    guides = yaml.safe_load((HERE / "guides" / "nav.yml").read_text(encoding="utf-8"))
    config["docs_dir"] = str(work / "docs")
    config["site_dir"] = str(out)
    config["nav"] = [
        {"Home": "index.md"},
        {"Guides": [{title: page} for item in guides for title, page in item.items()]},
        {"Functions": ["functions/index.md", {"Conventions": "functions/conventions.md"}]
         + [f"functions/{n}.md" for n in report.function_pages]},
        {"Indicators": ["indicators/index.md"]
         + [f"indicators/{n}.md" for n in report.indicator_pages]},
        {"Speed": "speed.md"},
        {"Architecture": "architecture.md"},
    ]
    listed = {p for item in guides for p in item.values()}
    unlisted = [g for g in report.guides if f"guides/{g}.md" not in listed]
    if unlisted:
        raise BuildError(f"docs/site/guides/nav.yml does not list {', '.join(unlisted)}")
    path = work / "mkdocs.yml"
    path.write_text(yaml.safe_dump(config, sort_keys=False), encoding="utf-8")
    return path


def mkdocs_build(config: Path) -> None:
    # Not --quiet: it hides the warnings from the count that --strict fails on.
    r = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "-f", str(config)],
                       text=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       env={**os.environ, "NO_MKDOCS_2_WARNING": "1"})
    faults = [line for line in r.stdout.split("\n") if re.match(r"(WARNING|ERROR)\b", line)]
    if r.returncode != 0 or faults:
        raise BuildError("mkdocs build --strict failed:\n" + "\n".join(faults or [r.stdout]))


def check_site(out: Path, report: Report) -> None:
    """Every function and indicator has its page in the built site, with its chart."""
    for folder, names in (("functions", report.function_pages),
                          ("indicators", report.indicator_pages)):
        for name in names:
            page = out / folder / name / "index.html"
            if not page.is_file():
                raise BuildError(f"the built site has no page {page}")
            html = page.read_text(encoding="utf-8")
            m = re.search(r'<img[^>]+src="([^"]+\.png)"', html)
            if not m or not (page.parent / m.group(1)).resolve().is_file():
                raise BuildError(f"{page}: no chart")


def build(out: Path = OUT, work: Path = WORK) -> Report:
    start = time.perf_counter()
    report = generate(work)
    t = time.perf_counter()
    mkdocs_build(write_config(work, out, report))
    check_site(out, report)
    report.seconds["mkdocs"] = time.perf_counter() - t
    report.seconds["total"] = time.perf_counter() - start
    return report


def serve(out: Path, port: int) -> None:
    import functools
    import http.server
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(out))
    with http.server.ThreadingHTTPServer(("127.0.0.1", port), handler) as httpd:
        print(f"serving {out} on http://127.0.0.1:{port}/ (Ctrl-C stops)")
        with contextlib.suppress(KeyboardInterrupt):
            httpd.serve_forever()


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description="Build zelvo's documentation site.")
    p.add_argument("--out", type=Path, default=OUT, help="where the site goes (build/site)")
    p.add_argument("--serve", action="store_true", help="serve the site after building it")
    p.add_argument("--port", type=int, default=8000)
    args = p.parse_args(argv)
    try:
        report = build(args.out.resolve())
    except BuildError as e:
        print(f"site: error: {e}", file=sys.stderr)
        return 1
    print(f"site: {len(report.function_pages)} function pages, {len(report.indicator_pages)} "
          f"indicator pages, {len(report.guides)} guides, {report.examples} examples run; "
          + ", ".join(f"{k} {v:.1f} s" for k, v in report.seconds.items()))
    print(f"site: built in {args.out}")
    if args.serve:
        serve(args.out, args.port)
    return 0


if __name__ == "__main__":
    sys.exit(main())
