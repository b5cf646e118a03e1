"""The CSV reader on the real daily bars beside the project and on broken
copies of them, and the embedded sample bars."""
import datetime
import io
import re
import tracemalloc

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import zelvo.cli.bars as bars_module
from zelvo.cli.bars import BarsError, read_csv
from zelvo.cli.sample import sample_bars

from realbars import DATA, FILES

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


# Dates: every common column name and form is read, and its whole column must
# rise strictly; newest-first files are refused unless sorted.

def _dated(lines, name, form, newest_first=False):
    """The first 30 real lines with the date column renamed and rewritten."""
    body = []
    for ln in lines[1:]:
        day, rest = ln.split(",", 1)
        when = datetime.datetime.fromisoformat(day)
        text = (str(int(when.replace(tzinfo=datetime.timezone.utc).timestamp()))
                if form == "epoch" else when.strftime(form))
        body.append(f'"{text}",{rest}' if "," in text else f"{text},{rest}")
    if newest_first:
        body.reverse()
    return [name + lines[0][len("Date"):]] + body


DATE_FORMS = [("Date", "%m/%d/%Y"), ("timestamp", "%Y/%m/%d"), ("trade_date", "%Y%m%d"),
              ("Datetime", "%d.%m.%Y"), ("date", "%d-%b-%y"), ("TIME", "%Y-%m-%dT%H:%M:%S"),
              ("Trade Date", "%b %d, %Y"), ("dt", "%Y-%m-%d 16:00:00+01:00"),
              ("Timestamp", "epoch"), (" DATE ", "%d-%m-%Y"), ("trading_day", "%Y.%m.%d")]


@pytest.mark.parametrize("name,form", DATE_FORMS, ids=[f"{n.strip()}:{f}" for n, f in DATE_FORMS])
def test_date_column_names_and_forms_are_checked_for_order(tmp_path, name, form):
    lines = _lines()
    ref = read_csv(FILES[0], ALL)
    path = tmp_path / "bars.csv"
    path.write_text("\n".join(_dated(lines, name, form)) + "\n")
    bars = read_csv(path, ALL)
    assert bars.notes == [] and bars.lines == list(range(2, 31))
    path.write_text("\n".join(_dated(lines, name, form, newest_first=True)) + "\n")
    with pytest.raises(BarsError, match=r"newest .*line 2.*--sort"):
        read_csv(path, ALL)
    back = read_csv(path, ALL, sort=True)
    assert back.dates == bars.dates and back.lines == list(range(30, 1, -1))
    for k in ALL:
        assert back.columns[k].tobytes() == ref.columns[k][:29].tobytes()
        assert back.columns[k].flags.c_contiguous and back.columns[k].flags.writeable


def _swap(lines, a, b):
    out = list(lines)
    out[a - 1], out[b - 1] = out[b - 1], out[a - 1]
    return out


UNORDERED = [
    # name, change to the first 30 lines, words of the message ({k}: the date of
    # line k of the unchanged file), whether sorting mends it
    ("two middle rows swapped", lambda ls: _swap(ls, 12, 13),
     "line 13: the date {12} comes before {13} of line 12", True),
    ("last row first", lambda ls: ls[:1] + ls[-1:] + ls[1:-1],
     "line 3: the date {2} comes before {30} of line 2", True),
    ("a repeated row", lambda ls: ls[:8] + ls[7:],
     "line 9: the date {8} repeats line 8", False),
    ("a repeated date far apart", lambda ls: ls + [ls[5]],
     "line 31: the date {6} comes before {30} of line 30", False),
    ("a date of another form", lambda ls: _cell(ls, 20, 0, "2/1/1995"),
     "line 20, column 'Date': '2/1/1995' is not a date like '{2}' of line 2", False),
    ("an impossible date", lambda ls: _cell(ls, 20, 0, "1995-02-30"),
     "line 20, column 'Date': '1995-02-30' is not a date", False),
    ("a date missing", lambda ls: _cell(ls, 7, 0, " "),
     "line 7, column 'Date': no date", False),
]


@pytest.mark.parametrize("name,change,words,sortable", UNORDERED, ids=[u[0] for u in UNORDERED])
def test_dates_out_of_order_or_repeated_name_the_first_offending_line(
        tmp_path, name, change, words, sortable):
    lines = _lines()
    path = tmp_path / "bars.csv"
    path.write_text("\n".join(change(lines)) + "\n")
    with pytest.raises(BarsError) as info:
        read_csv(path)
    assert words.format("", "", *[ln.split(",")[0] for ln in lines[1:]]) in str(info.value)
    if sortable:
        bars = read_csv(path, sort=True)
        ref = read_csv(FILES[0])
        assert bars.dates == ref.dates[:29]
        assert bars.columns["close"].tobytes() == ref.columns["close"][:29].tobytes()
    else:
        with pytest.raises(BarsError):
            read_csv(path, sort=True)


@pytest.mark.parametrize("cells,dates", [
    (["13/01/2020", "14/01/2020", "02/02/2020"], "day first"),    # 13 cannot be a month
    (["01/13/2020", "01/14/2020", "02/02/2020"], "month first"),
    (["01.02.2020", "01.03.2020"], "day first"),                  # dots: day first
    (["31-Dec-14", "02-Jan-15"], "day first"),
])
def test_day_or_month_first_is_read_from_the_column(tmp_path, cells, dates):
    path = tmp_path / "bars.csv"
    path.write_text("Date,Close\n" + "".join(f"{d},{i}\n" for i, d in enumerate(cells)))
    assert read_csv(path).dates == cells


def test_a_separate_time_column_joins_the_date(tmp_path):
    path = tmp_path / "bars.csv"
    rows = ["2020-01-02,09:30,1", "2020-01-02,09:31,2", "2020-01-03,09:30,3"]
    path.write_text("Date,Time,Close\n" + "\n".join(rows) + "\n")
    assert read_csv(path).dates == ["2020-01-02 09:30", "2020-01-02 09:31",
                                    "2020-01-03 09:30"]
    path.write_text("Date,Time,Close\n" + "\n".join(rows[::-1]) + "\n")
    with pytest.raises(BarsError, match="newest"):
        read_csv(path)


@pytest.mark.parametrize("header,cells,words", [
    ("Close,Volume", ["1,5", "2,6"], "no date column"),
    ("Date,Close", ["Q1 2020,1", "Q2 2020,2"], "'Q2 2020', line 2) are not in a form"),
])
def test_bars_without_readable_dates_are_taken_as_given_with_a_note(
        tmp_path, header, cells, words):
    path = tmp_path / "bars.csv"
    path.write_text(header + "\n" + "\n".join(cells[::-1]) + "\n")
    bars = read_csv(path)
    assert len(bars.notes) == 1 and words in bars.notes[0] and "file order" in bars.notes[0]
    assert list(bars.columns["close"]) == [2.0, 1.0]
    with pytest.raises(BarsError, match="sort"):
        read_csv(path, sort=True)


# Missing cells: counted and placed in a note; --fill previous carries the last
# value forward.

def test_missing_cells_are_reported_and_can_be_filled(tmp_path):
    lines = _lines()
    for line, col, text in [(4, 4, ""), (5, 4, "nan"), (9, 6, "inf"), (10, 2, " -inf "),
                            (11, 4, "NaN"), (12, 4, "Infinity"), (2, 1, "")]:
        lines = _cell(lines, line, col, text)
    path = tmp_path / "bars.csv"
    path.write_text("\n".join(lines) + "\n")
    bars = read_csv(path)
    (note,) = bars.notes
    assert note.startswith(f"{path}: 7 missing values (empty, nan or inf): line 2 column "
                           "'Open', line 4 column 'Close', line 5 column 'Close', line 9 "
                           "column 'Volume', line 10 column 'High' and 2 more;")
    assert "--fill previous" in note
    close = bars.columns["close"]
    assert np.isnan(close[2]) and np.isnan(close[3]) and close[10] == np.inf

    filled = read_csv(path, fill="previous")
    ref = read_csv(FILES[0])
    assert "filled with the bar before" in filled.notes[0]
    assert "1 at the start of a column" in filled.notes[0]            # line 2's Open
    want = ref.columns["close"][:29].copy()
    want[2:4] = want[1]
    want[9:11] = want[8]
    assert filled.columns["close"].tobytes() == want.tobytes()
    assert filled.columns["volume"][7] == ref.columns["volume"][6]
    assert np.isnan(filled.columns["open"][0])
    assert filled.columns["open"][1:].tobytes() == ref.columns["open"][1:29].tobytes()


def test_fill_follows_the_sorted_order(tmp_path):
    path = tmp_path / "bars.csv"
    path.write_text("Date,Close\n2020-01-03,\n2020-01-02,2\n2020-01-01,1\n")
    bars = read_csv(path, sort=True, fill="previous")
    assert list(bars.columns["close"]) == [1.0, 2.0, 2.0]


# Other header names.

@pytest.mark.parametrize("header,mapping,close", [
    ("Day,Last,Vol", {"close": "Last", "volume": "Vol"}, [9.0, 8.0]),
    ("Date,Close,Last", {"close": " last "}, [1.0, 2.0]),        # a mapping wins
    ("Date,Close,Last", {}, [9.0, 8.0]),
    ("When,Close,Last", {"date": "When"}, [9.0, 8.0]),
])
def test_columns_map_other_header_names(tmp_path, header, mapping, close):
    path = tmp_path / "bars.csv"
    path.write_text(header + "\n2020-01-01,9,1\n2020-01-02,8,2\n")
    bars = read_csv(path, ("close",), columns=mapping)
    assert list(bars.columns["close"]) == close
    assert bars.dates == ["2020-01-01", "2020-01-02"]


@pytest.mark.parametrize("mapping,words", [
    ({"close": "Price"}, "no column named 'Price' (for close); the header has 'Date', "),
    ({"adj": "Close"}, "cannot map 'adj'"),
])
def test_columns_mapping_errors(tmp_path, mapping, words):
    path = tmp_path / "bars.csv"
    path.write_text("Date,Close\n2020-01-01,1\n")
    with pytest.raises(BarsError, match=re.escape(words)):
        read_csv(path, columns=mapping)


# A line is never read beyond the limit: /dev/zero or a file without line
# breaks fails fast in bounded memory.

@pytest.mark.parametrize("fill", [b"\0", b"0", b"1,"])
def test_a_file_without_line_breaks_fails_in_bounded_memory(tmp_path, monkeypatch, fill):
    monkeypatch.setattr(bars_module, "MAX_LINE", 1 << 16)
    path = tmp_path / "zeros.csv"
    path.write_bytes(fill * ((8 << 20) // len(fill)))
    tracemalloc.start()
    try:
        with pytest.raises(BarsError, match="line 1: longer than 65536 characters"):
            read_csv(path)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 2 << 20


def test_a_line_at_the_limit_is_read(tmp_path, monkeypatch):
    monkeypatch.setattr(bars_module, "MAX_LINE", 40)
    path = tmp_path / "bars.csv"
    head = "Date,Close,Pad\r\n"
    row = "2020-01-01,1,"
    path.write_text(head + row + "x" * (40 - len(row)) + "\r\n", newline="")
    assert list(read_csv(path).columns["close"]) == [1.0]
    path.write_text(head + row + "x" * (41 - len(row)) + "\n")
    with pytest.raises(BarsError, match="line 2: longer than 40"):
        read_csv(path)


CELLS = ["Date", "date", "Time", "timestamp", "Close", "close", "Volume", "Last", "x", "",
         " ", "1", "-2.5", "nan", "inf", "1e308", "1_0", "2020-01-02", "2020-01-01",
         "2020-01-02 09:30", "01/02/2020", "13/01/2020", "20200102", "1577923200",
         "31-Dec-14", "Dec 31, 2014", "9999-12-31T23:59-01:00", "0001-01-01T00:00+01:00",
         "2020-02-30", '"', '"a,b"', "\ufeff", "é", "\0"]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.lists(st.sampled_from(CELLS), min_size=1, max_size=4), max_size=6),
       st.sampled_from(["\n", "\r\n", "\r"]), st.booleans(), st.sampled_from([None, "previous"]))
def test_any_text_reads_as_bars_or_fails_with_a_message(rows, eol, sort, fill):
    text = eol.join(",".join(r) for r in rows)
    try:
        bars = read_csv("t.csv", (), io.StringIO(text, newline=""), sort=sort, fill=fill)
    except BarsError as e:
        assert str(e)
        return
    assert all(len(v) == len(bars) and v.dtype == np.float64 for v in bars.columns.values())
    assert len(bars.lines) == len(bars)
