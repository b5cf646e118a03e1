"""Number formats, markdown tables and the marked record sections of bench/RESULTS.md.

A benchmark script keeps its latest record between two markers of its own,
``<!-- NAME:start -->`` and ``<!-- NAME:end -->``: ``write_section`` rewrites
what lies between them (adding the pair at the end of the file the first time)
or, with ``append=True``, adds a dated record at the end of the file instead.
"""
from __future__ import annotations

import os

from .machine import describe

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RESULTS_MD = os.path.join(HERE, "RESULTS.md")


def fmt_ns(v):
    """Three significant figures at most: 0.95, 12.3, 215."""
    if v is None:
        return "-"
    if v >= 100:
        return f"{v:.0f}"
    if v >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def fmt_ratio(v):
    return fmt_ns(v) + "x"


def md_table(head, rows):
    """A markdown table of a header row and rows of cells (cells are turned to text)."""
    out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out)


def run_lines(meta, details=(), checks=()):
    """The bullet list that opens a record: the command, then ``details`` (data,
    sampling), machine, versions, revision and load, then ``checks``."""
    m = meta["machine"]
    lines = [f"- Command: `{meta['command']}` ({meta['wall_s']:.0f} s wall time)"]
    lines += [f"- {d}" for d in details]
    lines.append(f"- Machine: {describe(m)}")
    lines.append("- Versions: Python " + m["python"] + ", NumPy " + m["numpy"] + ", "
                 + ", ".join(f"{k} {v}" for k, v in meta["versions"].items()))
    lines.append(f"- Repository revision at run time: {meta['revision']}; module measured: "
                 f"`{meta['module']}`, installed {meta['module_time']}")
    if meta.get("module_replaced"):
        lines.append("- The installed module was replaced while this run went on; the figures are "
                     "of the build imported at the start")
    if meta.get("load") and None not in meta["load"]:
        lines.append(f"- Load average (1 min) at start and end: {meta['load'][0]:.1f}, {meta['load'][1]:.1f} "
                     "(other work on the machine; the minima filter most of it)")
    lines += [f"- {c}" for c in checks]
    return lines


def markers(name):
    return f"<!-- {name}:start -->", f"<!-- {name}:end -->"


def write_section(path, text, name="bench-record", append=False, head="# Benchmark results\n"):
    """Put ``text`` between the markers ``name`` of the file at ``path`` (or at its end with ``append``).

    A missing file is started with ``head``; a missing pair of markers is added at the end."""
    start, end = markers(name)
    body = open(path).read() if os.path.exists(path) else head
    if start not in body or end not in body:
        body = body.rstrip("\n") + "\n\n" + start + "\n" + end + "\n"
    if append:
        body = body.rstrip("\n") + "\n\n" + text.rstrip("\n") + "\n"
    else:
        pre, rest = body.split(start, 1)
        _, post = rest.split(end, 1)
        body = pre + start + "\n" + text.rstrip("\n") + "\n" + end + post
    with open(path, "w") as fh:
        fh.write(body)
