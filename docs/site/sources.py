"""Reading the Markdown sources of the site: pipe tables, and the error every
step of the build raises."""
from __future__ import annotations

import re


class BuildError(Exception):
    """A fault in the sources or an example; the message says where."""


def md_tables(markdown: str) -> list[tuple[int, list[str], list[list[str]]]]:
    """Every pipe table: (offset, header cells, rows of cells)."""
    tables = []
    for m in re.finditer(r"(?:^\|.*\|[ \t]*\n)+", markdown, re.M):
        lines = m.group(0).strip("\n").split("\n")
        if len(lines) < 2 or not re.fullmatch(r"\|[\s|:-]+\|", lines[1].strip()):
            continue
        cells = [_cells(line) for line in lines]
        tables.append((m.start(), cells[0], cells[2:]))
    return tables


def _cells(line: str) -> list[str]:
    line = line.strip()[1:-1]
    parts = re.split(r"(?<!\\)\|", line)
    return [p.strip().replace("\\|", "|") for p in parts]


def table_with(markdown: str, *header: str) -> list[dict[str, str]]:
    """The rows (as header -> cell) of the first table whose header starts so."""
    for _, head, rows in md_tables(markdown):
        if [h.lower() for h in head[:len(header)]] == [h.lower() for h in header]:
            return [dict(zip(head, row)) for row in rows]
    raise BuildError(f"no table with the columns {', '.join(header)}")
