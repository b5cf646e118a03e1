"""The command line: in-process through main(argv) for the many cases, and a
few real processes for exit status, tracebacks and the console script."""
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pytest

import zelvo
from zelvo.__main__ import main
from zelvo._bars import read_csv, sample_bars
from zelvo._formula import FUNCTIONS

ROOT = Path(__file__).resolve().parents[2]
DATA = next((p / "shared" / "data" for p in ROOT.parents if (p / "shared" / "data").is_dir()),
            ROOT.parent / "shared" / "data")
REAL = DATA / "orcl-1995-2014.csv"


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
    (["MA(C,5)", "EMA(C"], "never closed"),
    (["MA(C,3000000000)"], "outside its valid range 1..2147483647"),
    (["__import__('os').system('echo hi')"], "only the zelvo functions"),
    (["--last", "-1"], "--last needs"),
    (["--csv", "/no/such/file.csv"], "cannot read /no/such/file.csv"),
    (["--output", "/no/such/dir/out.csv"], "cannot write /no/such/dir/out.csv"),
    (["--bogus"], "unrecognized arguments"),
])
def test_user_errors_exit_2_with_a_message(capsys, argv, words):
    code, out, err = cli(capsys, *argv)
    assert code == 2 and words in err and "Traceback" not in err


def test_bad_formula_is_reported_before_any_output(capsys):
    code, out, err = cli(capsys, "MA(C,5)", "MA(C,5) + X")
    assert code == 2 and out == ""
    assert err.splitlines()[1:] == ["  MA(C,5) + X", "            ^"]


def test_plot_without_matplotlib_says_how_to_get_it(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    code, out, err = cli(capsys, "--plot", "chart.png")
    assert code == 2 and out == "" and "pip install 'zelvo[plot]'" in err


def test_plot(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "chart.png"
    code, _, err = cli(capsys, "--plot", str(path), "MA(C,5)", "CROSS(MA(C,5),MA(C,20))",
                       "SLOPE(C,10)")
    assert code == 0 and err == ""
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    code, _, err = cli(capsys, "--plot", str(tmp_path / "chart.nope"))
    assert code == 2 and "cannot write" in err


def test_help_lists_every_function(capsys):
    code, out, _ = cli(capsys, "--help")
    assert code == 0
    assert all(re.search(rf"^  {name}\(", out, re.M) for name in FUNCTIONS)
    assert cli(capsys, "--version")[1].strip() == f"zelvo {zelvo.__version__}"


# Real processes: exit status, no traceback, the module entry point and the script.

def _run(*argv, cwd=ROOT.parent):
    env = dict(os.environ, PYTHONPATH="")
    return subprocess.run(argv, capture_output=True, text=True, cwd=cwd, env=env, timeout=60)


def test_python_m_zelvo_from_the_checkout():
    # As the README's first command runs it: from the repository root, where the
    # source package (without its compiled module) comes first on sys.path.
    p = _run(sys.executable, "-m", "zelvo", cwd=ROOT)
    assert p.returncode == 0 and p.stderr == ""
    assert "CROSS(MA(C,5),MA(C,20))" in p.stdout and len(rows(p.stdout)) == 10


@pytest.mark.parametrize("argv,words", [(["C[0]"], "subscripts not allowed"),
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
