"""The CSV reader on the real daily bars beside the project and on broken
copies of them, and the embedded sample bars."""
import datetime
from pathlib import Path

import numpy as np
import pytest

from zelvo._bars import BarsError, read_csv, sample_bars

ROOT = Path(__file__).resolve().parents[2]
# Real bars live beside the project (a worktree may sit a level deeper).
DATA = next((p / "shared" / "data" for p in ROOT.parents if (p / "shared" / "data").is_dir()),
            ROOT.parent / "shared" / "data")
FILES = sorted(DATA.glob("*.csv")) if DATA.is_dir() else []
needs_data = pytest.mark.skipif(not FILES, reason=f"no real bars in {DATA}")
ALL = ("open", "high", "low", "close", "volume")


@needs_data
@pytest.mark.parametrize("path", FILES, ids=[p.name for p in FILES])
def test_real_bars_read_exactly(path):
    bars = read_csv(path, required=ALL)
    # An independent reading: Date,Open,High,Low,Close,Adj Close,Volume
    ref = np.loadtxt(path, delimiter=",", skiprows=1, usecols=(1, 2, 3, 4, 6))
    assert len(bars) == len(ref) > 4000
    for i, name in enumerate(ALL):
        col = bars.columns[name]
        assert col.dtype == np.float64 and col.flags.c_contiguous and col.flags.writeable
        np.testing.assert_array_equal(col, ref[:, i])
    lines = path.read_text().splitlines()
    assert bars.dates[0] == lines[1].split(",")[0] and bars.dates[-1] == lines[-1].split(",")[0]
    assert bars.dates == sorted(bars.dates)                   # oldest first
    assert bars.lines[0] == 2 and bars.lines[-1] == len(lines)


def _lines():
    if not FILES:
        pytest.skip(f"no real bars in {DATA}")
    return FILES[0].read_text().splitlines()[:30]


def _cell(lines, line, column, value):
    """Lines with the cell at a 1-based file line and a 0-based column replaced."""
    out = list(lines)
    cells = out[line - 1].split(",")
    cells[column] = value
    out[line - 1] = ",".join(cells)
    return out


def _drop_column(lines, column):
    return [",".join(c for i, c in enumerate(ln.split(",")) if i != column) for ln in lines]


BROKEN = [
    # name, change to the first 30 lines, required columns, words of the message
    ("no close column", lambda ls: _drop_column(ls, 4), {"close"}, "no 'close' column"),
    ("no volume column", lambda ls: _drop_column(ls, 6), {"close", "volume"},
     "no 'volume' column"),
    ("text in a cell", lambda ls: _cell(ls, 7, 2, "abc"), (), "line 7, column 'High': 'abc'"),
    ("null in a cell", lambda ls: _cell(ls, 12, 4, "null"), (), "line 12, column 'Close'"),
    ("underscore number", lambda ls: _cell(ls, 3, 1, "1_000"), (), "line 3, column 'Open'"),
    ("short row", lambda ls: ls[:5] + [ls[5].rsplit(",", 1)[0]] + ls[6:], (),
     "line 6: 6 fields, but the header has 7"),
    ("long row", lambda ls: ls[:9] + [ls[9] + ",1"] + ls[10:], (), "line 10: 8 fields"),
    ("header only", lambda ls: ls[:1], (), "no bars"),
    ("newest first", lambda ls: ls[:1] + ls[:0:-1], (), "newest (1999-03-04, line 2)"),
    ("empty file", lambda ls: [], (), "the file is empty"),
    ("two close columns", lambda ls: [ls[0] + ", close"] + [ln + ",1" for ln in ls[1:]], (),
     "two columns are named 'close' (5 and 8)"),
]


@pytest.mark.parametrize("name,change,required,words", BROKEN, ids=[b[0] for b in BROKEN])
def test_broken_copy_is_refused_naming_the_place(tmp_path, name, change, required, words):
    path = tmp_path / "bars.csv"
    path.write_text("\n".join(change(_lines())) + "\n")
    with pytest.raises(BarsError) as info:
        read_csv(path, required)
    assert words in str(info.value)
    assert str(path) in str(info.value)


def test_missing_column_is_refused_only_when_a_formula_needs_it(tmp_path):
    path = tmp_path / "bars.csv"
    path.write_text("\n".join(_drop_column(_lines(), 4)) + "\n")
    bars = read_csv(path, {"open"})
    assert "close" not in bars.columns and len(bars) == 29


def test_lenient_but_exact_forms(tmp_path):
    lines = _lines()
    header = "\ufeff DATE ,OPEN,high,Low,CLOSE,adj close,Volume "   # BOM, any case, blanks
    body = _cell(lines, 4, 4, "")[1:]                                # an empty cell: NaN
    path = tmp_path / "bars.csv"
    path.write_bytes(("\r\n".join([header] + body) + "\r\n\r\n\r\n").encode())
    bars = read_csv(path, ALL)
    ref = read_csv(FILES[0], ALL)
    assert len(bars) == 29 and bars.dates == ref.dates[:29]
    assert np.isnan(bars.columns["close"][2])
    np.testing.assert_array_equal(np.delete(bars.columns["close"], 2),
                                  np.delete(ref.columns["close"][:29], 2))


@pytest.mark.parametrize("setup,words", [
    (lambda p: None, "cannot read"),
    (lambda p: p.mkdir(), "cannot read"),
    (lambda p: p.write_bytes(b"Date,Close\n2020-01-01,\xff\n"), "not UTF-8"),
])
def test_unreadable_file(tmp_path, setup, words):
    path = tmp_path / "bars.csv"
    setup(path)
    with pytest.raises(BarsError, match=words):
        read_csv(path)


def test_sample_bars_are_fixed_and_plausible():
    a, b = sample_bars(), sample_bars()
    assert len(a) == 250
    for k in ALL:
        np.testing.assert_array_equal(a.columns[k], b.columns[k])
    o, h, lo, c, v = (a.columns[k] for k in ALL)
    assert np.all(h >= np.maximum(o, c)) and np.all(lo <= np.minimum(o, c)) and np.all(lo > 0)
    assert np.all(v > 0) and np.all(v == np.round(v))
    assert np.all(np.round(c, 2) == c)
    days = [datetime.date.fromisoformat(d) for d in a.dates]
    assert days[0] == datetime.date(2024, 1, 2) and all(d.weekday() < 5 for d in days)
    assert all(x < y for x, y in zip(days, days[1:]))
    # Pinned: the README shows output computed on these bars.
    assert (c[0], c[-1], v[-1]) == (99.84, 130.56, 1212819.0)
    # The generator uses no library random numbers: another seed, other bars.
    assert not np.array_equal(sample_bars(seed=1).columns["close"], c)
