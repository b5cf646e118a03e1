"""A universe on the command line: several CSV files, or one file with a
symbol column, computed symbol by symbol and written long (symbol, date, then
the outputs); every symbol gets exactly what it gets on its own."""
import contextlib
import csv
import io

import pytest

from zelvo.cli import main
from zelvo.cli.bars import BarsError, read_symbols

from realbars import DATA, FILES

needs_data = pytest.mark.skipif(len(FILES) < 2, reason=f"no real bars in {DATA}")

FORMULAS = ["--indicator", "MACD", "--indicator", "KDJ", "--param", "N=5",
            "HHV(H, BARSLAST(CROSS(C,MA(C,20))))", "X:=SUM(V,0); X/REF(X,1)"]


def cli(capsys, *argv):
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def table(out):
    return list(csv.reader(io.StringIO(out)))


def by_symbol(rows):
    """Long rows (symbol first) as {symbol: [rows without the symbol]}."""
    out = {}
    for r in rows[1:]:
        out.setdefault(r[0], []).append(r[1:])
    return out


def alone(capsys, path):
    """A file computed on its own: date and the outputs of every bar."""
    code, out, err = cli(capsys, "--csv", str(path), "--output", "-", *FORMULAS)
    assert code == 0 and err == ""
    rows = table(out)
    keep = [0] + list(range(6, len(rows[0])))         # date, then the outputs
    return [[r[k] for k in keep] for r in rows]


def _merged(tmp_path, header="Ticker", reverse=False):
    """The real files as one file with a symbol column, rows interleaved by date."""
    rows = []
    for path in FILES:
        lines = path.read_text().splitlines()
        rows += [(ln.split(",", 1)[0], path.stem, ln) for ln in lines[1:]]
    rows.sort(reverse=reverse)
    head = FILES[0].read_text().splitlines()[0]
    out = tmp_path / "universe.csv"
    out.write_text(f"{header},{head}\n" + "".join(f"{s},{ln}\n" for _, s, ln in rows))
    return out


@pytest.fixture(scope="module")
def several():
    """The real files as a universe of several files, written long."""
    if len(FILES) < 2:
        pytest.skip(f"no real bars in {DATA}")
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = main([a for p in FILES for a in ("--csv", str(p))] + ["--output", "-"]
                    + FORMULAS)
    assert code == 0 and err.getvalue() == ""
    return table(out.getvalue())


@needs_data
def test_several_files_equal_each_file_alone(capsys, several):
    rows = several
    assert rows[0][:6] == ["symbol", "date", "DIF", "DEA", "MACD", "K"]
    got = by_symbol(rows)
    assert list(got) == [p.stem for p in FILES]            # in the order given
    for path in FILES:
        want = alone(capsys, path)
        assert want[0] == rows[0][1:]
        assert got[path.stem] == want[1:]                   # the same text, to the bit


@needs_data
@pytest.mark.parametrize("header", ["Ticker", " CODE "])
def test_a_symbol_column_equals_several_files(capsys, tmp_path, several, header):
    merged = _merged(tmp_path, header)
    code, out, err = cli(capsys, "--csv", str(merged), "--output", "-", *FORMULAS)
    assert code == 0 and err == ""
    got = by_symbol(table(out))
    assert got == by_symbol(several)
    # In the order the symbols first appear: the oldest bars first.
    first = sorted((p.read_text().splitlines()[1][:10], p.stem) for p in FILES)
    assert list(got) == [s for _, s in first]


@needs_data
def test_newest_first_universe_needs_sort_per_symbol(capsys, tmp_path):
    merged = _merged(tmp_path, reverse=True)
    code, out, err = cli(capsys, "--csv", str(merged), "MA(C,5)")
    assert code == 2 and out == "" and "symbol" in err and "--sort" in err
    code, out, err = cli(capsys, "--csv", str(merged), "--sort", "--output", "-", "MA(C,5)")
    assert code == 0 and err == ""
    code, want, _ = cli(capsys, "--csv", str(_merged(tmp_path)), "--output", "-", "MA(C,5)")
    assert by_symbol(table(out)) == by_symbol(table(want))


@needs_data
def test_universe_table_shows_the_last_bars_of_each_symbol(capsys):
    code, out, err = cli(capsys, "--csv", str(FILES[0]), "--csv", str(FILES[1]), "-n", "2",
                         "MA(C,5)")
    assert code == 0 and err == ""
    head, *rows = out.splitlines()
    assert head.startswith(f"2 files: 2 symbols of ") and head.endswith(": last 2 bars of each")
    assert rows[0].split() == ["symbol", "bar", "date", "close", "MA(C,5)"]
    cells = [r.split() for r in rows[1:]]
    assert [c[0] for c in cells] == [FILES[0].stem] * 2 + [FILES[1].stem] * 2
    last = [p.read_text().splitlines()[-1].split(",")[0] for p in FILES[:2]]
    assert [cells[1][2], cells[3][2]] == last
    code, out, _ = cli(capsys, "--csv", str(FILES[0]), "--csv", str(FILES[1]), "--all", "C")
    assert code == 0 and len(out.splitlines()) == 2 + sum(
        len(p.read_text().splitlines()) - 1 for p in FILES[:2])


def _write(tmp_path, text, name="u.csv"):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def test_dates_order_and_fill_are_per_symbol(capsys, tmp_path):
    # Interleaved symbols: the file's dates fall back, each symbol's rise.
    path = _write(tmp_path, "Date,Symbol,Close\n2020-01-02,A,1\n2020-01-01,B,\n"
                            "2020-01-03,A,\n2020-01-02,B,5\n")
    code, out, err = cli(capsys, "--csv", path, "--fill", "previous", "--output", "-",
                         "C", "REF(C,1)")
    assert code == 0
    # B's first close has no bar of B before it: it stays missing, not A's 1.
    assert table(out) == [["symbol", "date", "C", "REF(C,1)"],
                          ["A", "2020-01-02", "1", ""], ["A", "2020-01-03", "1", "1"],
                          ["B", "2020-01-01", "", ""], ["B", "2020-01-02", "5", ""]]
    assert err.count("zelvo: note:") == 2 and f"{path}, symbol B: 1 missing value" in err


@pytest.mark.parametrize("text,words", [
    ("Date,Symbol,Close\n2020-01-02,A,1\n2020-01-01,B,2\n2020-01-03,A,3\n"
     "2020-01-01,A,4\n",
     "{path}, symbol A, line 5: the date 2020-01-01 comes before 2020-01-03 of line 4"),
    ("Date,Symbol,Close\n2020-01-02,A,1\n2020-01-02,B,2\n2020-01-02,A,3\n",
     "{path}, symbol A, line 4: the date 2020-01-02 repeats line 2"),
    ("Date,Symbol,Close\n2020-01-02,A,1\n2020-01-03, ,2\n",
     "{path}, line 3, column 'Symbol': no symbol; every bar needs one"),
    ("Date,Ticker,Open\n2020-01-02,A,1\n", "{path}: no 'close' column (a formula needs it)"),
])
def test_universe_file_mistakes(capsys, tmp_path, text, words):
    path = _write(tmp_path, text)
    code, out, err = cli(capsys, "--csv", path, "C")
    assert code == 2 and out == "" and words.format(path=path) in err


def test_mistakes_across_files(capsys, tmp_path):
    a = _write(tmp_path, "Date,Close\n2020-01-01,1\n", "a.csv")
    (tmp_path / "d").mkdir()
    again = _write(tmp_path, "Date,Close\n2020-01-01,2\n", "d/a.csv")
    b = _write(tmp_path, "Date,Symbol,Close\n2020-01-01,a,3\n", "b.csv")
    v = _write(tmp_path, "Date,Volume\n2020-01-01,3\n", "v.csv")
    for argv, words in [
        ([a, again], f"the symbol 'a' comes from both {a} and {again}"),
        ([a, b], f"the symbol 'a' comes from both {a} and {b}"),
        ([a, v], f"{v}: no 'close' column (a formula needs it)"),
    ]:
        code, out, err = cli(capsys, *[x for p in argv for x in ("--csv", p)], "C")
        assert code == 2 and out == "" and words in err, err
    code, out, err = cli(capsys, "--csv", a, "--csv", b.replace("b.csv", "c.csv"), "C")
    assert code == 2 and "cannot read" in err
    code, out, err = cli(capsys, "--csv", a, "--csv", v, "--output", v, "V")
    assert code == 2 and "is the --csv file itself" in err


def test_plot_draws_one_instrument(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    a = _write(tmp_path, "Date,Close\n2020-01-01,1\n", "a.csv")
    b = _write(tmp_path, "Date,Close\n2020-01-01,2\n", "b.csv")
    code, out, err = cli(capsys, "--csv", a, "--csv", b, "--plot", str(tmp_path / "p.png"),
                         "C")
    assert code == 2 and out == "" and "--plot draws one instrument" in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.csv", "b.csv"]


def test_files_without_dates_or_with_other_lengths(capsys, tmp_path):
    a = _write(tmp_path, "Close\n1\n2\n3\n", "a.csv")
    b = _write(tmp_path, "Date,Close\n2020-01-01,5\n2020-01-02,6\n", "b.csv")
    code, out, err = cli(capsys, "--csv", a, "--csv", b, "--output", "-", "SUM(C,0)",
                         "CURRBARSCOUNT(C)")
    assert code == 0 and "no date column" in err
    assert table(out) == [["symbol", "date", "SUM(C,0)", "CURRBARSCOUNT(C)"],
                          ["a", "", "1", "0"], ["a", "", "3", "1"], ["a", "", "6", "2"],
                          ["b", "2020-01-01", "5", "0"], ["b", "2020-01-02", "11", "1"]]
    code, out, err = cli(capsys, "--csv", a, "--csv", a.replace("a.csv", "b.csv"),
                         "--columns", "date=Nope", "C")
    assert code == 2 and "no column named 'Nope'" in err


def test_notes_of_many_symbols_are_cut_short(capsys, tmp_path):
    body = "".join(f"2020-01-01,S{i},\n" for i in range(14))
    path = _write(tmp_path, "Date,Symbol,Close\n" + body)
    code, _, err = cli(capsys, "--csv", path, "C")
    assert code == 0
    notes = err.splitlines()
    assert len(notes) == 11 and notes[-1] == "zelvo: note: and 4 more notes like these"


def test_symbols_from_standard_input(capsys, monkeypatch, tmp_path):
    import sys
    monkeypatch.setattr(sys, "stdin", io.StringIO("Date,Close\n2020-01-01,1\n"))
    a = _write(tmp_path, "Date,Close\n2020-01-01,2\n", "a.csv")
    code, out, _ = cli(capsys, "--csv", "-", "--csv", a, "--output", "-", "C")
    assert code == 0 and table(out)[1:] == [["stdin", "2020-01-01", "1"],
                                            ["a", "2020-01-01", "2"]]


@pytest.mark.parametrize("header", ["Symbol", "TICKER", " instrument ", "Code"])
def test_symbol_column_names(tmp_path, header):
    path = _write(tmp_path, f"Date,{header},Close\n2020-01-01,X,1\n2020-01-01,Y,2\n")
    assert [b.symbol for b in read_symbols(path)] == ["X", "Y"]


def test_read_symbols_splits_in_order_of_first_appearance(tmp_path):
    path = _write(tmp_path, "date,code,close\n2020-01-01,Z,1\n2020-01-01,A,2\n"
                            "2020-01-02,Z,3\n")
    parts = read_symbols(path, ("close",))
    assert [(b.symbol, b.lines, list(b.columns["close"])) for b in parts] == [
        ("Z", [2, 4], [1.0, 3.0]), ("A", [3], [2.0])]
    for b in parts:
        assert b.columns["close"].flags.c_contiguous and b.columns["close"].flags.writeable
    named = _write(tmp_path, "Day,Name,Close\n2020-01-01,X,1\n2020-01-02,Y,2\n", "n.csv")
    assert [b.symbol for b in read_symbols(named, columns={"symbol": "Name"})] == ["X", "Y"]
    assert read_symbols(named)[0].symbol is None
    with pytest.raises(BarsError, match="two columns"):
        read_symbols(_write(tmp_path, "date,close,Close\n2020-01-01,1,2\n", "t.csv"))
