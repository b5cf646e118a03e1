"""The tables of bench/run.py (console and markdown), its key ratios and its record."""
from __future__ import annotations

from . import cases
from .peers import LABEL
from .record import fmt_ns, fmt_ratio, md_table, run_lines

FLOORS = ("floor", "alloc+copy")

LEGEND_TEXT = ("ns per bar (minimum).  Peer cells: ns/bar (peer/zelvo; above 1 = zelvo faster).  "
               "Floor cells: ns/bar (zelvo/that).")
LEGEND_MD = ("ns per bar, minimum over samples.  Peer cells: peer ns/bar (peer/zelvo, above 1 means "
             "zelvo is faster).  Copy floor (`np.copyto` into a preallocated array) and alloc+copy "
             "(`a.copy()`): ns/bar (zelvo/that time).")


def cell(row, key):
    """``ns (ratio)``: peer/zelvo for a peer, zelvo/floor for a floor; empty where not timed."""
    t = row["ns_per_bar"]
    if key not in t:
        return ""
    ratio = t["zelvo"] / t[key] if key in FLOORS else t[key] / t["zelvo"]
    return f"{fmt_ns(t[key])} ({fmt_ratio(ratio)})"


def _window(row):
    return "-" if row["window"] is None else str(row["window"])


def header(peer_names):
    cols = [f"{'function':<20}", f"{'bars':>8}", f"{'N':>4}", f"{'zelvo':>8}"]
    cols += [f"{LABEL[p]:>16}" for p in peer_names]
    cols += [f"{'copy floor':>16}", f"{'alloc+copy':>16}"]
    return "  ".join(cols)


def format_row(row, peer_names):
    n, w = row["bars"], _window(row)
    if row.get("skipped"):
        return f"{row['function']:<20}  {n:>8}  {w:>4}  skipped: {row['skipped']}"
    cols = [f"{row['function']:<20}", f"{n:>8}", f"{w:>4}", f"{fmt_ns(row['ns_per_bar']['zelvo']):>8}"]
    cols += [f"{cell(row, k):>16}" for k in list(peer_names) + list(FLOORS)]
    return "  ".join(cols)


def markdown_table(rows, peer_names):
    head = ["function", "bars", "N", "zelvo"] + [LABEL[p] for p in peer_names] + ["copy floor", "alloc+copy"]
    body = []
    for r in rows:
        if r.get("skipped"):
            body.append([r["function"], f"{r['bars']:,}", _window(r), f"skipped: {r['skipped']}"])
            continue
        body.append([r["function"], f"{r['bars']:,}", _window(r), fmt_ns(r["ns_per_bar"]["zelvo"])]
                    + [cell(r, k) for k in list(peer_names) + list(FLOORS)])
    return md_table(head, body)


def find(rows, function, bars, window):
    for r in rows:
        if r["function"] == function and r["bars"] == bars and r["window"] == window:
            return r
    return None


def key_ratios(rows, overhead, windows):
    """The headline comparisons at the largest size: (what, zelvo, other, ratio, goal, met).

    Each ratio is shown in the form of its goal: "peer/zelvo" where zelvo is
    to be faster by a factor, "zelvo/peer" or "zelvo/floor" where it may be
    slower by at most a factor."""
    if not rows:
        return [], None
    big = max(r["bars"] for r in rows)
    out = []

    def add(function, window, key, label, form, limit):
        r = find(rows, function, big, window)
        if not r or key not in r["ns_per_bar"] or "zelvo" not in r["ns_per_bar"]:
            return
        zt, pt = r["ns_per_bar"]["zelvo"], r["ns_per_bar"][key]
        if form == "peer/zelvo":
            ratio, goal, met = pt / zt, f">= {limit:g}", pt / zt >= limit
        else:
            ratio, goal, met = zt / pt, f"<= {limit:g}", zt / pt <= limit
        wtxt = "" if window is None else f" N={window}"
        out.append((f"{function}{wtxt} vs {label}", fmt_ns(zt), fmt_ns(pt), f"{form} {ratio:.2f}",
                    f"{form} {goal}", "yes" if met else "no"))

    for f, peer in (("LLV", "move_min"), ("HHV", "move_max")):
        for N in (20, 250):
            if N in windows:
                add(f, N, "bottleneck", "bottleneck " + peer, "peer/zelvo", 3)
    for f, peer in (("MA", "move_mean"), ("SUM", "move_sum")):
        for N in windows:
            add(f, N, "bottleneck", "bottleneck " + peer, "zelvo/peer", 1.2)
    for N in windows:
        add("EMA", N, "pandas", "pandas ewm", "peer/zelvo", 3)
    if 20 in windows:
        add("STD", 20, "bottleneck", "bottleneck move_std", "zelvo/peer", 2)
    mid = windows[len(windows) // 2]
    for f in cases.COPY_LIKE:
        add(f, mid if f in ("REF", "REFXV") else None, "floor", "copy floor", "zelvo/floor", 2.5)
    if overhead and "TA-Lib SMA" in overhead["ns_per_call"]:
        zt = overhead["ns_per_call"]["zelvo MA"]
        pt = overhead["ns_per_call"]["TA-Lib SMA"]
        out.append((f"MA on {overhead['bars']} bars, per call, vs TA-Lib SMA", f"{zt:.0f} ns/call",
                    f"{pt:.0f} ns/call", f"zelvo/peer {zt / pt:.2f}", "zelvo/peer <= 1",
                    "yes" if zt <= pt else "no"))
    return out, big


def key_table_md(keys, big):
    return (f"ns per bar at {big:,} bars unless said otherwise.\n\n"
            + md_table(["comparison", "zelvo", "other", "ratio", "goal", "met"], keys))


def key_table_text(keys, big):
    out = [f"Key ratios (ns per bar at {big} bars unless said otherwise)"]
    for k in keys:
        out.append(f"  {k[0]:<44} {k[1]:>12} {k[2]:>12}  {k[3]:<18} goal {k[4]:<18} {k[5]}")
    return "\n".join(out)


def per_call_text(overhead):
    out = [f"Per-call time on {overhead['bars']}-bar arrays (N = {overhead['window']}):"]
    out += [f"  {k:<22} {v:8.0f} ns" for k, v in overhead["ns_per_call"].items()]
    return "\n".join(out)


def record_markdown(meta, rows, overhead, keys, big, peer_names, check_lines):
    details = [f"Data: {meta['data']}",
               f"Sampling: per candidate at least {meta['repeat']} samples and {meta['min_time']:g} s "
               "of them, alternating with the other candidates of the cell; the minimum is kept"]
    checks = []
    if check_lines is not None:
        bad = [c for c in check_lines if not c.startswith("ok")]
        checks.append(f"Peer agreement check: {len(check_lines) - len(bad)} of {len(check_lines)} "
                      f"comparisons agree" + ("" if not bad else " — DISAGREEMENTS: " + "; ".join(bad)))
    lines = [f"## Run of {meta['date']}", ""] + run_lines(meta, details, checks)
    lines += ["", "### Key ratios", "", key_table_md(keys, big), ""]
    if overhead:
        lines += [f"### Per-call time on {overhead['bars']}-bar arrays (N = {overhead['window']})", "",
                  md_table(["call", "ns per call"], [(k, f"{v:.0f}") for k, v in overhead["ns_per_call"].items()]),
                  ""]
    lines += ["### All timings", "", LEGEND_MD, "", markdown_table(rows, peer_names), ""]
    return "\n".join(lines)
