"""The speed page of the site: the figures of bench/RESULTS.md as charts.

Reads the tables that the benchmark scripts record there (between their
markers) and draws, for each, how many times faster zelvo is than each peer,
naming the machine and the run the figures come from.  Nothing is measured
here: when RESULTS.md is re-recorded, the next build shows the new figures.
"""
from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path

from sources import BuildError, md_tables, table_with

PEERS = ("bottleneck", "pandas", "TA-Lib", "polars")
COLOURS = {"bottleneck": "#4c72b0", "pandas": "#dd8452", "TA-Lib": "#55a868",
           "polars": "#c44e52", "talib": "#55a868"}


@dataclass
class Record:
    """One recorded section of RESULTS.md: its text between two markers."""
    title: str
    text: str

    @property
    def machine(self) -> str:
        m = re.search(r"^- Machine: (.+)$", self.text, re.M)
        if m:
            return m.group(1).strip()
        m = re.search(r"^Machine:\s*\n\s*```\n(.*?)```", self.text, re.M | re.S)
        if m:
            fields = dict(line.split(":", 1) for line in m.group(1).strip().split("\n")
                          if ":" in line)
            fields = {k.strip(): v.strip() for k, v in fields.items()}
            return (f"{fields.get('Model name', '?')}, {fields.get('CPU(s)', '?')} cores, "
                    f"SIMD {fields.get('SIMD flags', '?')}")
        raise BuildError(f"bench/RESULTS.md, {self.title}: the machine is not named")

    def table(self, *header: str) -> list[dict[str, str]]:
        try:
            return table_with(self.text, *header)
        except BuildError as e:
            raise BuildError(f"bench/RESULTS.md, {self.title}: {e}") from None

    def raw_table(self, *header: str) -> str:
        for start, head, rows in md_tables(self.text):
            if [h.lower() for h in head[:len(header)]] == [h.lower() for h in header]:
                end = self.text.index("\n\n", start) if "\n\n" in self.text[start:] \
                    else len(self.text)
                return self.text[start:end].strip("\n")
        raise BuildError(f"bench/RESULTS.md, {self.title}: no table {header}")


def record(results: str, marker: str) -> Record:
    m = re.search(rf"<!-- {marker}:start -->\n(.*?)<!-- {marker}:end -->", results, re.S)
    if not m:
        raise BuildError(f"bench/RESULTS.md has no section between the markers {marker}")
    text = m.group(1)
    title = re.search(r"^##+ (.+)$", text, re.M)
    return Record(title.group(1).strip() if title else marker, text)


def number(cell: str) -> float | None:
    m = re.match(r"\s*([0-9][0-9,]*\.?[0-9]*)", cell)
    return float(m.group(1).replace(",", "")) if m else None


def speedups_1e6(rec: Record) -> dict[str, dict[str, float]]:
    """function -> peer -> peer time / zelvo time as recorded (the "(1.23x)" of
    a cell), at 10^6 bars and N = 20 (or no N)."""
    out: dict[str, dict[str, float]] = {}
    for row in rec.table("function", "bars", "N", "zelvo"):
        if row["bars"] != "1,000,000" or row["N"] not in ("20", "-") or "[" in row["function"]:
            continue
        for peer in PEERS:
            m = re.search(r"\(([0-9.]+)x\)", row.get(peer, ""))
            if m:
                out.setdefault(row["function"], {})[peer] = float(m.group(1))
    return out


def key_ratios(rec: Record) -> tuple[list[tuple[str, float]], list[tuple[str, float]]]:
    """(comparison, peer/zelvo) against peers and (comparison, zelvo/floor)
    against the copy floor, from the recorded ratio ("zelvo/peer 1.57")."""
    peers, floors = [], []
    for row in rec.table("comparison", "zelvo", "other", "ratio"):
        m = re.fullmatch(r"(\w+)/(\w+) ([0-9.]+)", row["ratio"].strip())
        if not m:
            raise BuildError(f"bench/RESULTS.md, {rec.title}: a ratio {row['ratio']!r}")
        top, bottom, value = m.group(1), m.group(2), float(m.group(3))
        if bottom == "floor":
            floors.append((row["comparison"].replace(" vs copy floor", ""), value))
        else:
            peers.append((row["comparison"], value if top == "peer" else 1.0 / value))
    return peers, floors


def panel_speedups(rec: Record, shape: str) -> dict[str, dict[str, float]]:
    """function -> peer -> peer ms / zelvo (all threads) ms, for one panel shape."""
    at = rec.text.index(f"### {shape}")
    sub = Record(shape, rec.text[at:])
    out: dict[str, dict[str, float]] = {}
    for row in sub.table("function", "zelvo 1T", "zelvo all"):
        z = number(row["zelvo all"])
        for peer in ("bottleneck", "pandas", "polars", "talib"):
            t = number(row.get(peer, ""))
            if t and z:
                out.setdefault(row["function"], {})[peer] = t / z
    return out


# ---- charts -----------------------------------------------------------------

def _figure(height: float):
    from matplotlib.figure import Figure
    return Figure(figsize=(9, height), dpi=100)


def grouped_chart(path: Path, data: dict[str, dict[str, float]], title: str,
                  note: str) -> None:
    """Horizontal bars, one group per function, one bar per peer; log scale,
    with a line at 1 (as fast as the peer)."""
    names = list(data)
    peers = [p for p in COLOURS if any(p in d for d in data.values())]
    fig = _figure(1.2 + 0.42 * len(names) * max(1, len(peers)) / 2)
    ax = fig.subplots()
    height = 0.8 / max(1, len(peers))
    for k, peer in enumerate(peers):
        ys = [i + (k - (len(peers) - 1) / 2) * height for i, n in enumerate(names)
              if peer in data[n]]
        xs = [data[n][peer] for n in names if peer in data[n]]
        ax.barh(ys, xs, height=height * 0.95, color=COLOURS[peer], label=peer)
        for y, x in zip(ys, xs):
            ax.text(x * 1.04, y, f"{x:.2g}x", va="center", fontsize=7)
    ax.set_xscale("log")
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_yticks(range(len(names)))
    ax.set_yticklabels(names)
    ax.invert_yaxis()
    ax.set_xlabel("times faster than the peer (peer time / zelvo time; left of 1: slower)")
    ax.set_title(title, fontsize=10)
    ax.legend(loc="best", fontsize=8)
    fig.text(0.01, 0.005, note, fontsize=7, color="#555555")
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)


def bar_chart(path: Path, rows: list[tuple[str, float]], title: str, xlabel: str,
              note: str, goal: float | None = None, log: bool = False) -> None:
    fig = _figure(1.2 + 0.32 * len(rows))
    ax = fig.subplots()
    ax.barh(range(len(rows)), [v for _, v in rows], color="#4c72b0")
    for i, (_, v) in enumerate(rows):
        ax.text(v * 1.02, i, f"{v:.3g}", va="center", fontsize=7)
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([r for r, _ in rows], fontsize=8)
    ax.invert_yaxis()
    if log:
        ax.set_xscale("log")
    if goal is not None:
        ax.axvline(goal, color="black", linewidth=0.8)
    ax.set_xlabel(xlabel)
    ax.set_title(title, fontsize=10)
    fig.text(0.01, 0.005, note, fontsize=7, color="#555555")
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)


def page(results_path: Path, charts: Path) -> str:
    """The speed page's Markdown; the charts are written to `charts`."""
    results = results_path.read_text(encoding="utf-8")
    run = record(results, "bench-record")
    panels = record(results, "panels")
    api = record(results, "api-record")
    streams = record(results, "streams-record")
    ratios, floors = key_ratios(run)
    per_fn = speedups_1e6(run)
    shape = "2000 instruments x 2500 bars"
    panel = panel_speedups(panels, shape)
    if not (ratios and floors and per_fn and panel):
        raise BuildError("bench/RESULTS.md: a table the speed page charts is empty")

    grouped_chart(charts / "peers-1e6.png", per_fn,
                  "One series of 10^6 bars (N = 20): zelvo against each peer",
                  f"{run.title}; {run.machine}")
    bar_chart(charts / "key-ratios.png", ratios, "Key comparisons: peer time / zelvo time",
              "times faster than the peer (left of the line: slower)",
              f"{run.title}; {run.machine}", goal=1.0, log=True)
    bar_chart(charts / "copy-floor.png", floors,
              "Functions that move data: zelvo time / copying the array",
              "times the copy floor (np.copyto into an existing array; 1 is the floor)",
              f"{run.title}; {run.machine}", goal=1.0)
    grouped_chart(charts / "panels.png", panel,
                  f"A universe of {shape}, all threads: zelvo against each peer",
                  f"{panels.title}; {panels.machine}")
    per_call = [(r["call"], number(r["ns per call"])) for r in
                api.table("call", "ns per call")]
    bar_chart(charts / "per-call.png", [(c, v) for c, v in per_call if v],
              "One call on 100 bars (N = 20)", "ns per call",
              f"{api.title}; {_machine_or(api)}", log=True)

    def img(name: str, alt: str) -> str:
        return f"![{alt}](charts/speed/{name})"

    return "\n".join([
        "# Speed", "",
        "The figures of `bench/RESULTS.md` in the repository, drawn when the site is "
        "built: the benchmark scripts of `bench/` record them (see `bench/README.md`), "
        "and nothing here is measured again. Each chart names the machine and the run "
        "it comes from. Ratios are what to compare: the machines are small shared "
        "cloud machines, and absolute times move from run to run.", "",
        "## One series against the peers", "",
        f"Machine: {run.machine}. {run.title}.", "",
        img("peers-1e6.png", "speed-up against bottleneck, pandas, TA-Lib and polars"), "",
        "The peers compute the same quantity where they have it: bottleneck's "
        "`move_mean`, `move_std`, ... , pandas' `rolling` and `ewm`, TA-Lib's `SMA`, "
        "`EMA`, `MIN`, ..., polars' `rolling_*`. Where the bars fall left of 1 zelvo is "
        "slower; `bench/RESULTS.md` says why for each (MA and SUM keep two dependent "
        "additions per bar to fix the bits of the result).", "",
        "## The goals", "",
        img("key-ratios.png", "key comparisons"), "",
        img("copy-floor.png", "against the copy floor"), "",
        run.raw_table("comparison", "zelvo", "other"), "",
        "## Whole universes", "",
        f"Machine: {panels.machine}. {panels.title}.", "",
        img("panels.png", "panel speed-up against the peers"), "",
        panels.raw_table("function", "zelvo 1T", "zelvo all"), "",
        "Columns: zelvo on one thread (1T) and on all threads (all), on time-first "
        "panels (tf), through the package API, a Python loop over instruments, and the "
        "peers; ms per panel.", "",
        "## Small calls", "",
        f"Machine: {_machine_or(api)}. {api.title}.", "",
        img("per-call.png", "per-call time on 100 bars"), "",
        "## Streams", "",
        f"{streams.title}.", "",
        streams.raw_table("function", "zelvo (number)"), "",
        "ns per `update` from Python, one instrument; the [streams guide]"
        "(guides/streams.md) shows the calls.", "",
    ])


def _machine_or(rec: Record) -> str:
    try:
        return rec.machine
    except BuildError:
        return "not named in the record"
