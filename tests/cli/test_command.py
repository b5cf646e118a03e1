"""The command line: in-process through main(argv) for the many cases, and a
few real processes for exit status, tracebacks and the console script."""
import contextlib
import io
import os
import re
import resource
import shutil
import stat
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import zelvo
import zelvo.cli.command as cli_module
from zelvo.cli import main
from zelvo.cli.bars import read_csv
from zelvo.cli.sample import sample_bars
from zelvo._catalog import FUNCTIONS

from realbars import REAL, ROOT



def cli(capsys, *argv):
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def rows(out):
    """The data rows of the printed table (they start with a bar index)."""
    return [ln.split() for ln in out.splitlines() if re.match(r"\s*\d+\s", ln)]


def test_default_run_is_the_readme_output(capsys):
    code, out, err = cli(capsys)
    assert code == 0 and err == ""
    block = re.search(r"```text\n(.*?)```", (ROOT / "README.md").read_text(), re.S).group(1)
    shown = re.sub(r"^zelvo \S+,", f"zelvo {zelvo.__version__},", block)
    assert out == shown


@pytest.mark.parametrize("argv,count", [(["-n", "0"], 0), (["--all"], 250),
                                        (["--last", "999"], 250)])
def test_how_many_bars_are_printed(capsys, argv, count):
    code, out, _ = cli(capsys, *argv, "C")
    assert code == 0 and len(rows(out)) == count


def test_output_csv_round_trips_exactly(capsys, tmp_path):
    path = tmp_path / "out.csv"
    code, out, _ = cli(capsys, "--output", str(path), "EMA(C,12)", "V/3", "MA(C,5) > C")
    assert code == 0 and len(rows(out)) == 10
    header = path.read_text().splitlines()[0]
    assert header == 'date,open,high,low,close,volume,"EMA(C,12)",V/3,"MA(C,5) > C"'
    back = read_csv(path, ("open", "high", "low", "close", "volume"))
    bars = sample_bars()
    assert back.dates == bars.dates
    for k, v in bars.columns.items():
        np.testing.assert_array_equal(back.columns[k], v)
    # Indicator columns read back bit for bit; NaN is written as an empty cell.
    cols = list(zip(*[ln.split(",") for ln in path.read_text().splitlines()[1:]]))
    ema = np.array([float(x) if x else np.nan for x in cols[-3]])
    want = zelvo.EMA(bars.columns["close"], 12)
    assert ema.tobytes() == want.tobytes()
    third = np.array([float(x) for x in cols[-2]])
    assert third.tobytes() == (bars.columns["volume"] / 3).tobytes()


def test_output_to_stdout_replaces_the_table(capsys):
    code, out, _ = cli(capsys, "--output", "-", "MA(C,2)")
    lines = out.splitlines()
    assert code == 0 and lines[0] == "date,open,high,low,close,volume,\"MA(C,2)\""
    assert len(lines) == 251 and lines[1].endswith(",")          # warm-up bar: empty


@pytest.mark.skipif(not REAL.exists(), reason="no real bars beside the project")
def test_real_csv(capsys):
    code, out, err = cli(capsys, "--csv", str(REAL), "--last", "5", "MA(C,20)", "SUM(V,0)")
    assert code == 0 and err == ""
    ref = np.loadtxt(REAL, delimiter=",", skiprows=1, usecols=(4, 6))
    table = rows(out)
    ma = zelvo.MA(np.ascontiguousarray(ref[:, 0]), 20)
    assert [r[-2] for r in table] == [f"{x:.4f}" for x in ma[-5:]]
    assert table[-1][-1] == str(int(ref[:, 1].sum()))


def test_csv_from_stdin(capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO("Date,Close\n2020-01-02,1\n2020-01-03,3\n"))
    code, out, _ = cli(capsys, "--csv", "-", "MA(C,2)")
    assert code == 0 and rows(out) == [["0", "2020-01-02", "1", "NaN"],
                                       ["1", "2020-01-03", "3", "2"]]


@pytest.mark.parametrize("argv,words", [
    (["MA(CLOS,5)"], "unknown name 'CLOS'"),
    (["MA(C,5)", "EMA(C"], "expected ',' or ')' to close the '(' at line 1, column 4"),
    (["MA(C,3000000000)"], "N of MA must be a whole number from 1 to 2147483647"),
    (["__import__('os').system('echo hi')"], "strings are not part of the formula"),
    (["__import__(OS)"], "unknown function '__import__'"),
    (["--last", "-1"], "--last needs"),
    (["--csv", "/no/such/file.csv"], "cannot read /no/such/file.csv"),
    (["--output", "/no/such/dir/out.csv"], "cannot write /no/such/dir/out.csv"),
    (["--bogus"], "unrecognized arguments"),
])
def test_user_errors_exit_2_with_a_message(capsys, monkeypatch, tmp_path, argv, words):
    monkeypatch.chdir(tmp_path)
    code, out, err = cli(capsys, *argv)
    assert code == 2 and words in err and "Traceback" not in err


def test_bad_formula_is_reported_before_any_output(capsys):
    code, out, err = cli(capsys, "MA(C,5)", "MA(C,5) + X")
    assert code == 2 and out == ""
    assert err.splitlines()[1:] == ["  MA(C,5) + X", "            ^"]


def test_plot_without_matplotlib_says_how_to_get_it(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    code, out, err = cli(capsys, "--plot", "chart.png")
    assert code == 2 and out == "" and 'python3 -m pip install ".[plot]"' in err


def test_plot(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "chart.png"
    code, _, err = cli(capsys, "--plot", str(path), "MA(C,5)", "CROSS(MA(C,5),MA(C,20))",
                       "SLOPE(C,10)")
    assert code == 0 and err == ""
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    code, _, err = cli(capsys, "--plot", str(tmp_path / "no" / "chart.png"))
    assert code == 2 and "cannot write" in err


def test_help_lists_every_function(capsys):
    code, out, _ = cli(capsys, "--help")
    assert code == 0
    assert all(re.search(rf"^  {name}\(", out, re.M) for name in FUNCTIONS)
    assert cli(capsys, "--version")[1].strip() == f"zelvo {zelvo.__version__}"


# Real processes: exit status, no traceback, the module entry point and the script.

def _run(*argv, cwd=ROOT.parent, stdin=None, env=()):
    env = dict(os.environ, PYTHONPATH="", **dict(env))
    return subprocess.run(argv, capture_output=True, text=True, cwd=cwd, env=env,
                          timeout=60, stdin=stdin)


def test_python_m_zelvo_from_the_checkout():
    # As the README's first command runs it: from the repository root, where the
    # source package (without its compiled module) comes first on sys.path.
    p = _run(sys.executable, "-m", "zelvo", cwd=ROOT)
    assert p.returncode == 0 and p.stderr == ""
    assert "CROSS(MA(C,5),MA(C,20))" in p.stdout and len(rows(p.stdout)) == 10


@pytest.mark.parametrize("argv,words", [(["C[0]"], "write REF(X,N) for a past value"),
                                        (["--csv", "/no/such.csv"], "cannot read")])
def test_process_user_error_exit_status(argv, words):
    p = _run(sys.executable, "-m", "zelvo", *argv)
    assert p.returncode == 2 and words in p.stderr and "Traceback" not in p.stderr
    assert p.stdout == ""


def test_console_script():
    script = Path(sysconfig.get_path("scripts")) / "zelvo"
    exe = str(script) if script.exists() else shutil.which("zelvo")
    if exe is None:
        pytest.skip("the zelvo script is not installed")
    p = _run(exe, "--last", "2", "V")
    assert p.returncode == 0 and len(rows(p.stdout)) == 2


@pytest.mark.skipif(not REAL.exists(), reason="no real bars beside the project")
def test_numeric_condition_is_not_cut_to_a_byte_on_real_bars(capsys):
    # Volumes that are multiples of 256 are true like any other non-zero volume.
    code, out, _ = cli(capsys, "--csv", str(REAL), "--output", "-", "BARSLAST(V)",
                       "BARSLAST(V!=0)", "FIF(V, 1, 0)")
    assert code == 0
    table = [ln.split(",") for ln in out.splitlines()[1:]]
    volume = np.array([float(r[5]) for r in table])
    assert np.count_nonzero(volume % 256 == 0) > 100
    plain, compared, picked = ([r[k] for r in table] for k in (-3, -2, -1))
    assert plain == compared and len(plain) == 5036
    assert picked == ["1" if v != 0 else "0" for v in volume]
    want = zelvo.BARSLAST(volume != 0)
    assert [float(x) for x in plain] == list(want)


# What the command line writes: never over its input, never half a file, and no
# text cell a spreadsheet would run.

def _bars_file(tmp_path, text="Date,Close\n2020-01-01,1\n2020-01-02,2\n"):
    path = tmp_path / "bars.csv"
    path.write_text(text)
    return path


@pytest.mark.parametrize("option,other", [
    ("--output", lambda p: str(p)), ("--output", lambda p: f"{p.parent}/./{p.name}"),
    ("--output", lambda p: os.symlink(p, p.parent / "link.csv") or str(p.parent / "link.csv")),
    ("--output", lambda p: os.link(p, p.parent / "hard.csv") or str(p.parent / "hard.csv")),
    ("--plot", lambda p: os.symlink(p, p.parent / "b.png") or str(p.parent / "b.png")),
], ids=["same", "dot", "symlink", "hardlink", "plot"])
def test_output_onto_the_input_is_refused(capsys, tmp_path, option, other):
    path = _bars_file(tmp_path)
    before = path.read_bytes()
    code, out, err = cli(capsys, "--csv", str(path), option, other(path), "C")
    assert code == 2 and out == "" and "is the --csv file itself" in err
    assert path.read_bytes() == before


def test_a_failed_output_leaves_the_old_file_and_no_partial_one(capsys, tmp_path,
                                                               monkeypatch):
    target = tmp_path / "out.csv"
    target.write_text("precious\n")
    os.chmod(target, 0o640)

    def full_disk(out, *args):
        out.write("date,close\n")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(cli_module, "write_csv", full_disk)
    code, _, err = cli(capsys, "--output", str(target), "C")
    assert code == 2 and f"cannot write {target}: No space left on device" in err
    assert target.read_text() == "precious\n" and os.listdir(tmp_path) == ["out.csv"]
    monkeypatch.undo()
    assert cli(capsys, "--output", str(target), "C")[0] == 0
    assert target.read_text().startswith("date,") and os.listdir(tmp_path) == ["out.csv"]
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o640        # its mode is kept


def test_a_new_output_gets_the_usual_permissions(capsys, tmp_path):
    umask = os.umask(0o022)
    try:
        assert cli(capsys, "--output", str(tmp_path / "new.csv"), "C")[0] == 0
    finally:
        os.umask(umask)
    assert stat.S_IMODE(os.stat(tmp_path / "new.csv").st_mode) == 0o644


def test_a_read_only_output_is_not_replaced(capsys, tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root may write anything")
    target = tmp_path / "out.csv"
    target.write_text("kept\n")
    os.chmod(target, 0o444)
    code, _, err = cli(capsys, "--output", str(target), "C")
    assert code == 2 and "Permission denied" in err and target.read_text() == "kept\n"


def test_output_to_a_device_is_written_directly(capsys):
    assert cli(capsys, "--output", os.devnull, "C")[0] == 0


def test_stdin_is_decoded_strictly(capsys, monkeypatch, tmp_path):
    raw = io.BytesIO(b"Date,Close\n2020-01-0\xff,1\n")
    # The interpreter's own stdin may carry bad bytes as surrogates.
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(raw, errors="surrogateescape"))
    code, out, err = cli(capsys, "--csv", "-", "--output", str(tmp_path / "o.csv"), "C")
    assert code == 2 and out == "" and "<stdin>: not UTF-8 text (byte 20" in err
    assert os.listdir(tmp_path) == [] and not raw.closed


def test_text_cells_are_not_spreadsheet_formulas(capsys, tmp_path):
    path = _bars_file(tmp_path, "Date,Close\n=1+1,-5\n@SUM(A1),2\n+3,3\n-4,4\n")
    code, out, err = cli(capsys, "--csv", str(path), "--output", "-", "--", "-C", "C")
    assert code == 0 and "not in a form zelvo reads" in err
    assert out.splitlines() == ["date,close,'-C,C", "'=1+1,-5,5,-5", "'@SUM(A1),2,-2,2",
                                "'+3,3,-3,3", "'-4,4,-4,4"]


@pytest.mark.parametrize("argv,words", [
    (["--output", ""], "--output needs a file name"),
    (["--plot", ""], "--plot needs a file name"),
    (["--plot", "chart"], "--plot chart: no extension; name the image type"),
    (["--plot", "chart.nope"], "an unknown image type '.nope'"),
    (["--columns", "close"], "--columns takes NAME=HEADER pairs"),
    (["--columns", "adj=Adj Close"], "'adj' is not a bar column"),
    (["--columns", "c=Last,close=Px"], "--columns names close twice"),
    (["--sort"], "apply to a --csv file"),
    (["--fill", "next"], "invalid choice: 'next'"),
    (["MA(C,10-20)"], "N of MA must be a whole number from 1 to 2147483647; it is -10"),
    (["MA(C," + "9" * 3000 + "*" + "9" * 3000 + ")"], "number too large"),
    (["--output", "x.csv", "--plot", "x.csv"], None),
], ids=lambda v: v[0][:20] if isinstance(v, list) else None)
def test_more_user_errors_exit_2_with_a_message(capsys, monkeypatch, tmp_path, argv, words):
    monkeypatch.chdir(tmp_path)        # nothing may be written, here or elsewhere
    if "--plot" in argv:
        pytest.importorskip("matplotlib")
    code, out, err = cli(capsys, *argv)
    assert code == 2 and out == "" and err.startswith(("zelvo: error:", "usage:"))
    assert words is None or words in err
    assert os.listdir(tmp_path) == []


def test_a_formula_starting_with_a_dash_gets_a_hint(capsys):
    code, _, err = cli(capsys, "-n", "1", "-MA(C,5)")
    assert code == 2 and "zelvo: hint:" in err and "-- '-MA(C,5)'" in err
    code, out, err = cli(capsys, "-n", "1", "--", "-MA(C,5)")
    assert code == 0 and err == "" and rows(out)[0][-1].startswith("-")
    code, _, err = cli(capsys, "-n", "1", "-5", "--bogus")          # a number needs no hint
    assert code == 2 and "hint" not in err


def test_bar_notes_options_and_wording_on_the_command_line(capsys, tmp_path):
    path = _bars_file(tmp_path, "Day,Last,Vol\n2020-01-03,,1\n2020-01-02,2,2\n")
    code, out, err = cli(capsys, "--csv", str(path), "--columns", "close=Last,volume=Vol",
                         "C")
    assert code == 2 and "newest" in err and "--sort" in err
    code, out, err = cli(capsys, "--csv", str(path), "--columns", "C=last", "--columns",
                         "V=VOL", "--sort", "--fill", "previous", "C", "V")
    assert code == 0
    assert err == (f"zelvo: note: {path}: 1 missing value (empty, nan or inf) filled with "
                   "the bar before: line 2 column 'Last'\n")
    assert rows(out) == [["0", "2020-01-02", "2", "2", "2", "2"],
                         ["1", "2020-01-03", "2", "1", "2", "1"]]
    one = _bars_file(tmp_path, "Close\n1\n")
    code, out, err = cli(capsys, "--csv", str(one), "\n  C")
    assert code == 0 and out.splitlines()[0] == f"{one}: 1 bar"
    assert err.startswith("zelvo: note:") and "no date column" in err


def test_plot_of_huge_values_is_an_error_not_a_traceback(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "chart.png"
    code, _, err = cli(capsys, "--plot", str(path), "C*1e306")
    assert code == 2 and err.startswith(f"zelvo: error: cannot draw {path}")
    assert "values near the ends of the double range" in err
    assert os.listdir(tmp_path) == []


def test_unbounded_input_fails_fast_in_bounded_memory():
    # Under a 1 GiB address-space limit: reading a whole /dev/zero "line" would
    # run out of memory instead.
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))

    env = dict(os.environ, PYTHONPATH="", OPENBLAS_NUM_THREADS="1")
    p = subprocess.run([sys.executable, "-m", "zelvo", "--csv", "/dev/zero", "C"],
                       capture_output=True, text=True, cwd=ROOT.parent, env=env,
                       timeout=60, preexec_fn=limit)
    assert p.returncode == 2 and p.stdout == ""
    assert p.stderr == ("zelvo: error: /dev/zero, line 1: longer than 1048576 characters; "
                        "not a CSV file of bars\n")


ARGS = ["--csv", "BARS", "OUT", "--sort", "--fill", "previous", "--columns", "close=Close",
        "C=Last", "-n", "3", "--all", "--output", "-", "--", "MA(C,5)", "-MA(C,2)", "",
        "BARSLAST(V)", "MA(C,0)", "x", "1", "-1", "FIF(C,O,H)", "-f", "FORMULA", "--csv",
        "UNIVERSE", "--indicator", "KDJ", "--param", "N=3", "M1=0", "X:=C;X+1", "DIF:C",
        "--list-indicators", "macd", "symbol=Close"]


@settings(max_examples=150, deadline=None)
@given(st.lists(st.sampled_from(ARGS), max_size=8))
def test_any_command_line_ends_in_0_or_2_without_a_traceback(tmp_path_factory, argv):
    folder = tmp_path_factory.mktemp("run")
    bars = folder / "bars.csv"
    bars.write_text("Date,Open,High,Low,Close,Volume\n2020-01-03,1,2,0.5,1.5,\n"
                    "2020-01-02,1,2,0.5,nan,7\n")
    universe = folder / "universe.csv"
    universe.write_text("Date,Code,Close,Volume\n2020-01-02,A,1,\n2020-01-01,B,2,3\n"
                        "2020-01-03,A,nan,4\n")
    formula = folder / "f.txt"
    formula.write_text("PARAM N=2;\nDIF:EMA(C,N)-EMA(C,N*2);\nDEA:EMA(DIF,N)")
    files = {"BARS": bars, "OUT": folder / "out.csv", "UNIVERSE": universe,
             "FORMULA": formula}
    argv = [str(files[a]) if a in files else a for a in argv]
    out, err = io.StringIO(), io.StringIO()
    stdin, sys.stdin = sys.stdin, io.StringIO("Date,Close\n2020-01-01,1\n")
    here = os.getcwd()
    os.chdir(folder)                   # where an output named by a formula lands
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            code = main(argv)
    finally:
        sys.stdin = stdin
        os.chdir(here)
    assert code in (0, 2), err.getvalue()
    assert "Traceback" not in err.getvalue()
    assert code == 0 or "error:" in err.getvalue()
    assert bars.read_text().startswith("Date,Open")


# Standard input is one of the files read: an output must not replace it, nor
# any input that a symlink made while the command runs leads to.

def _stdin_from(monkeypatch, path):
    """sys.stdin reading a file through a descriptor of its own, as after `< path`."""
    f = open(path, newline="")
    monkeypatch.setattr(sys, "stdin", f)
    return f


@pytest.mark.parametrize("argv,stdin", [
    (["--csv", "-", "--output", "{bars}", "MA(C,2)"], "bars"),
    (["--csv", "{bars}", "-f", "-", "--output", "{formula}"], "formula"),
    (["--csv", "-", "--plot", "{image}", "C"], "image"),
    (["--csv", "-", "--output", "{link}", "C"], "bars"),
])
def test_output_onto_standard_input_is_refused(capsys, monkeypatch, tmp_path, argv, stdin):
    files = {"bars": _bars_file(tmp_path), "formula": tmp_path / "f.txt",
             "image": tmp_path / "chart.png", "link": tmp_path / "link.csv"}
    files["formula"].write_text("MA(C,2)\n")
    files["image"].write_bytes(files["bars"].read_bytes())
    files["link"].symlink_to(files["bars"])
    before = {k: p.read_bytes() for k, p in files.items()}
    with _stdin_from(monkeypatch, files[stdin]):
        code, out, err = cli(capsys, *[a.format(**files) for a in argv])
    assert code == 2 and out == ""
    assert "is the file on standard input itself; it would be overwritten" in err
    assert {k: p.read_bytes() for k, p in files.items()} == before


@pytest.mark.parametrize("name,code", [("bars.csv", 2), ("out.csv", 0)])
def test_output_onto_standard_input_in_a_process(tmp_path, name, code):
    path = _bars_file(tmp_path)
    before = path.read_bytes()
    with open(path) as stdin:          # descriptor 0 itself, as after `< bars.csv`
        p = _run(sys.executable, "-m", "zelvo", "--csv", "-", "--output",
                 str(tmp_path / name), "MA(C,2)", stdin=stdin)
    assert p.returncode == code and path.read_bytes() == before
    assert ("is the file on standard input itself" in p.stderr) == (code == 2)


@pytest.mark.parametrize("source", ["--csv", "stdin", "-f"])
@pytest.mark.parametrize("option,name,hook", [
    ("--output", "out.csv", "compute"),      # the link is there when writing starts
    ("--output", "out.csv", "write_csv"),    # it appears while the file is written
    ("--plot", "out.png", "compute"),
])
def test_a_symlink_made_while_running_never_leads_to_an_input(
        capsys, monkeypatch, tmp_path, source, option, name, hook):
    if option == "--plot":
        pytest.importorskip("matplotlib")
    bars = _bars_file(tmp_path)
    formula = tmp_path / "f.txt"
    formula.write_text("MA(C,2)")
    victim = formula if source == "-f" else bars
    before = victim.read_bytes()
    target = tmp_path / name
    real = getattr(cli_module, hook)

    def link_then(*args, **kwargs):
        if not target.is_symlink():
            target.symlink_to(victim)
        return real(*args, **kwargs)

    monkeypatch.setattr(cli_module, hook, link_then)
    argv, what = {"--csv": (["--csv", str(bars)], "the --csv file"),
                  "stdin": (["--csv", "-"], "the file on standard input"),
                  "-f": (["--csv", str(bars), "-f", str(formula)], "the -f file")}[source]
    with _stdin_from(monkeypatch, bars):
        code, _, err = cli(capsys, *argv, option, str(target), "C")
    assert code == 2, err
    assert f"zelvo: error: {option} {target} is {what} itself; it would be" in err
    assert victim.read_bytes() == before and target.is_symlink()
    assert sorted(os.listdir(tmp_path)) == sorted(["bars.csv", "f.txt", name])  # no temp


# Names and text that cannot be printed or written: the message says why, and
# suggests --output FILE only where the output went to standard output.

def _bad_name_universe(tmp_path):
    try:
        bad = tmp_path / os.fsdecode(b"\xff.csv")
        bad.write_text("Date,Close\n2020-01-01,1\n")
    except (OSError, UnicodeError):
        pytest.skip("the file system takes only UTF-8 names")
    (tmp_path / "b.csv").write_text("Date,Close\n2020-01-01,2\n")
    return ["--csv", str(bad), "--csv", str(tmp_path / "b.csv")]


def _accented_date(tmp_path):
    return ["--csv", str(_bars_file(tmp_path, "Date,Close\n\u00e9t\u00e9,1\n"))]


@pytest.mark.parametrize("bars,encoding,errors,output,words,suggested", [
    (_bad_name_universe, "utf-8", "strict", "FILE",
     "the symbol '\\xff' is named by the file", False),
    (_bad_name_universe, "utf-8", "surrogateescape", "FILE",
     "whose name is not UTF-8 text, and cannot be written to a CSV file", False),
    (_bad_name_universe, "utf-8", "strict", None,
     "cannot print '\\xff': a file name here is not UTF-8 text", False),
    (_bad_name_universe, "utf-8", "strict", "-", "a file name here is not UTF-8", False),
    (_accented_date, "ascii", "strict", None, "in the output's encoding (ascii)", True),
    (_accented_date, "ascii", "strict", "-", "in the output's encoding (ascii)", True),
    (_accented_date, "ascii", "strict", "FILE", "set PYTHONIOENCODING=utf-8", False),
], ids=["bad-name-file", "bad-name-file-escaping-terminal", "bad-name-table",
        "bad-name-stdout", "ascii-table", "ascii-stdout", "ascii-file"])
def test_unwritable_text_is_explained(capsys, monkeypatch, tmp_path, bars, encoding,
                                      errors, output, words, suggested):
    target = tmp_path / "out" / "o.csv"
    target.parent.mkdir()
    argv = bars(tmp_path) + ([] if output is None else
                             ["--output", str(target) if output == "FILE" else output])
    monkeypatch.setattr(sys, "stdout", io.TextIOWrapper(io.BytesIO(), encoding=encoding,
                                                        errors=errors))
    code = main(argv + ["C"])
    err = capsys.readouterr().err
    assert code == 2 and words in err and "Traceback" not in err
    assert ("--output FILE" in err) == suggested
    assert os.listdir(target.parent) == []


# Values near the ends of the double range: no warnings from NumPy or
# matplotlib with their file paths, and what matters said once in a note.

HUGE_BARS = ("Date,Close,Volume\n2020-01-01,1.5,1\n2020-01-02,1.7e308,1.7e308\n"
             "2020-01-03,1.7e308,1e308\n")
WIDE_BARS = "".join(["Date,Close,Volume\n"] + [f"2020-01-0{i},{i},6e306\n"
                                                for i in range(1, 5)])
OVERFLOWED = "zelvo: note: values near the largest double (about 1.8e308) overflow to inf: "


@pytest.mark.parametrize("bars,argv,code,notes", [
    (HUGE_BARS, ["MA(C,2)", "SUM(V,0)", "C/2"],
     0, [OVERFLOWED + "MA(C,2), SUM(V,0) are infinite where the bars read are finite"]),
    (HUGE_BARS, ["--output", "{dir}/o.csv", "SUM(V,0)"], 0,
     [OVERFLOWED + "SUM(V,0) is infinite where the bars read are finite"]),
    (HUGE_BARS, ["--plot", "{dir}/c.png", "C"], 2, []),
    (WIDE_BARS, ["--plot", "{dir}/c.png", "SUM(V*10,0)/1e300", "C/0"], 0,
     [OVERFLOWED + "SUM(V*10,0)/1e300 is infinite where the bars read are finite",
      "zelvo: note: {dir}/c.png leaves out the infinite values of SUM(V*10,0)/1e300, C/0: "
      "a plot cannot show them"]),
    (WIDE_BARS, ["C/0", "LN(C-1)"], 0, []),    # infinite, but no overflow
], ids=["table", "output", "plot-error", "plot-note", "division-by-zero"])
def test_huge_values_give_notes_not_warnings(tmp_path, bars, argv, code, notes):
    if "--plot" in argv:
        pytest.importorskip("matplotlib")
    path = _bars_file(tmp_path, bars)
    argv = [a.format(dir=tmp_path) for a in argv]
    p = _run(sys.executable, "-m", "zelvo", "--csv", str(path), *argv,
             env={"PYTHONWARNINGS": "default"})
    assert p.returncode == code
    assert "Warning" not in p.stderr and not re.search(r"\.py\b", p.stderr), p.stderr
    said = [ln for ln in p.stderr.splitlines() if ln.startswith("zelvo: note:")]
    assert said == [n.format(dir=tmp_path) for n in notes]
    if code == 2:
        assert "values near the ends of the double range cannot be plotted" in p.stderr
