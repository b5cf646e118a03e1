"""The benchmark's pieces: cases from the catalog, peers, record sections, timing, ratios."""
import types

import numpy as np
import pytest

import zelvo._zelvo as z
from zelvo._catalog import FUNCTIONS
from zbench import cases, peers, record, report, suite, timing


def test_every_catalog_function_is_timed_once_with_calls_of_the_right_shape():
    labels = [label for label, _, _ in cases.cases()]
    plain = [label for label in labels if label == cases.base_of(label)]
    assert plain == [name for name, f in FUNCTIONS.items() if f.exact]
    d = cases.Inputs(z, np.linspace(90.0, 110.0, 300) + np.sin(np.arange(300.0)))
    ns = cases.namespace(z, d)
    for label, stmt, windowed in cases.cases():
        for N in ((5, 250) if windowed else (None,)):
            out = eval(stmt, cases.cell_namespace(ns, d.n, N))
            assert out.dtype == np.float64 and out.shape == (d.n,), label


# The calls the recorded figures are of: defaults and the INPUTS/EXTRA rows.
@pytest.mark.parametrize("label, expected", [
    ("MA", "z.MA(a, N)"), ("MA_A", "z.MA_A(a, Nv)"), ("SMA", "z.SMA(a, N, M)"),
    ("DMA", "z.DMA(a, A)"), ("COUNT", "z.COUNT(c, N)"), ("COUNT_A", "z.COUNT_A(c, Nv)"),
    ("REFIF", "z.REFIF(a, x, y)"), ("CROSS", "z.CROSS(a, y)"), ("FIF", "z.FIF(cu, a, y)"),
    ("BARSLAST", "z.BARSLAST(xu)"), ("BARLAST[no event]", "z.BARLAST(nu)"),
    ("BACKCOUNT", "z.BACKCOUNT(cu)"), ("BACKCOUNT[all true]", "z.BACKCOUNT(au)"),
    ("FILTER", "z.FILTER(x, N)"), ("SLOPE", "z.SLOPE(a, N)"),
])
def test_case_statements(label, expected):
    assert {lab: stmt for lab, stmt, _ in cases.cases()}[label] == expected


def test_wrong_input_count_is_refused():
    with pytest.raises(ValueError):
        cases.statement(FUNCTIONS["REFIF"], ("a", "x"))


def test_tables_keyed_by_function_name_name_catalog_functions():
    for table in (cases.INPUTS, cases.EXTRA, peers.STATEMENTS, dict.fromkeys(cases.COPY_LIKE)):
        assert set(table) <= set(FUNCTIONS)
    assert {f for f, _ in peers.RTOL} <= set(peers.STATEMENTS)


def test_installed_peers_agree():
    found, _ = peers.import_peers(list(peers.LABEL))
    if not found:
        pytest.skip("no peer library installed")
    failures, lines = peers.check(z, found, [5, 20], n=3000, verbose=False)
    assert lines and not failures


BODY = "# R\n\nintro\n\n<!-- bench-record:start -->\nold\n<!-- bench-record:end -->\n\ntail text\n"


@pytest.mark.parametrize("start, name, append, expected", [
    (BODY, "bench-record", False,
     "# R\n\nintro\n\n<!-- bench-record:start -->\nNEW\n<!-- bench-record:end -->\n\ntail text\n"),
    (BODY, "bench-record", True, BODY.rstrip("\n") + "\n\nNEW\n"),
    (BODY, "other", False, BODY + "\n<!-- other:start -->\nNEW\n<!-- other:end -->\n"),
    (None, "bench-record", False, "# H\n\n<!-- bench-record:start -->\nNEW\n<!-- bench-record:end -->\n"),
])
def test_write_section(tmp_path, start, name, append, expected):
    path = tmp_path / "RESULTS.md"
    if start is not None:
        path.write_text(start)
    record.write_section(str(path), "NEW\n", name=name, append=append, head="# H\n")
    assert path.read_text() == expected
    if not append:  # rewriting again changes nothing
        record.write_section(str(path), "NEW", name=name, head="# H\n")
        assert path.read_text() == expected


@pytest.mark.parametrize("v, text", [(0.0123, "0.01"), (9.994, "9.99"), (12.34, "12.3"), (215.4, "215"),
                                     (None, "-")])
def test_fmt_ns(v, text):
    assert record.fmt_ns(v) == text


def test_best_of_times_statements_and_callables_alike():
    a = np.arange(1000.0)
    best = timing.best_of({"text": "a.sum()", "call": a.sum}, {"a": a}, repeat=3, min_time=0.0)
    assert set(best) == {"text", "call"} and all(0 < t < 1e-2 for t in best.values())
    calls = []
    assert timing.best_call(lambda: calls.append(1), repeat=4, budget=10.0) >= 0
    assert len(calls) == 4


def test_key_ratios_take_the_direction_of_their_goal():
    rows = [{"function": "LLV", "bars": 10, "window": 20, "ns_per_bar": {"zelvo": 1.0, "bottleneck": 4.0}},
            {"function": "MA", "bars": 10, "window": 20, "ns_per_bar": {"zelvo": 1.5, "bottleneck": 1.0}},
            {"function": "REF", "bars": 10, "window": 20, "ns_per_bar": {"zelvo": 3.0, "floor": 1.0}}]
    keys, big = report.key_ratios(rows, None, [20])
    got = {k[0]: (k[3], k[5]) for k in keys}
    assert big == 10
    assert got == {"LLV N=20 vs bottleneck move_min": ("peer/zelvo 4.00", "yes"),
                   "MA N=20 vs bottleneck move_mean": ("zelvo/peer 1.50", "no"),
                   "REF N=20 vs copy floor": ("zelvo/floor 3.00", "no")}
    assert report.cell(rows[2], "floor") == "1.00 (3.00x)" and report.cell(rows[0], "bottleneck") == "4.00 (4.00x)"


def test_suite_rows_and_projected_skip():
    args = types.SimpleNamespace(data="walk", seed=7, repeat=1, min_time=0.0, max_call=1e-12)
    logged = []
    rows = suite.run(z, {}, [50, 400], [5, 100], {"REF", "CROSS"}, args, logged.append)
    assert logged == rows
    cells = [(r["function"], r["bars"], r["window"], sorted(r["ns_per_bar"]), "skipped" in r) for r in rows]
    floor = ["alloc+copy", "floor", "zelvo"]
    assert cells == [("REF", 50, 5, floor, False), ("CROSS", 50, None, floor, False),
                     ("REF", 400, 5, [], True), ("REF", 400, 100, floor, False),
                     ("CROSS", 400, None, [], True)]


def test_the_gate_catches_a_planted_regression(monkeypatch):
    import time

    import zelvo
    import gate

    limits = gate.call_ratio(3, 0.01)
    lines, failed = gate.verdict(limits, limits)
    assert not failed and len(lines) == 1
    slow = zelvo.MA
    monkeypatch.setattr(zelvo, "MA", lambda *a: (time.sleep(2e-4), slow(*a))[1])
    lines, failed = gate.verdict(gate.call_ratio(3, 0.01), limits)
    assert failed == ["call100"] and "REGRESSED" in lines[0]
    assert gate.verdict({"new": 1.0}, {})[1] == []   # a figure without a limit is reported only
