"""The chart of bench/run.py: ns per bar at the largest size, log scale, one panel per window."""
from __future__ import annotations

import math
import os

from .peers import LABEL

COLOURS = {"zelvo": "#d62728", "bottleneck": "#1f77b4", "pandas": "#2ca02c", "talib": "#9467bd",
           "polars": "#ff7f0e"}


def chart(rows, peer_names, path, title):
    """Draw the rows at the largest size into ``path`` (PNG); False where nothing is drawn."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
    except Exception as exc:
        print(f"no chart: matplotlib unavailable ({exc})")
        return False
    big = max(r["bars"] for r in rows)
    rows = [r for r in rows if r["bars"] == big and not r.get("skipped")]
    if not rows:
        print(f"no chart: nothing timed at {big} bars")
        return False
    windows = sorted({r["window"] for r in rows if r["window"] is not None})
    panels = [(f"N = {w}", [r for r in rows if r["window"] == w]) for w in windows]
    panels.append(("no window", [r for r in rows if r["window"] is None]))
    panels = [p for p in panels if p[1]]
    keys = ["zelvo"] + list(peer_names)
    floors = [t for r in rows for k, t in r["ns_per_bar"].items() if k == "floor"]
    floor = min(floors) if floors else None
    height = max(len(p[1]) for p in panels)
    fig, axes = plt.subplots(1, len(panels), figsize=(5.0 * len(panels), max(4.5, 1.5 + 0.5 * height)),
                             squeeze=False)
    bar_h = 0.8 / len(keys)
    for ax, (ptitle, prow) in zip(axes[0], panels):
        prow = list(reversed(prow))
        drawn = set()
        for i, r in enumerate(prow):
            present = [k for k in keys if k in r["ns_per_bar"]]
            for j, k in enumerate(present):
                y = i + (len(present) / 2 - j - 0.5) * bar_h
                label = None
                if k not in drawn:
                    label = "zelvo" if k == "zelvo" else LABEL[k]
                    drawn.add(k)
                ax.barh([y], [r["ns_per_bar"][k]], height=bar_h, color=COLOURS.get(k, "grey"),
                        label=label)
        if floor:
            ax.axvline(floor, color="black", linestyle="--", linewidth=1, label="copy floor")
        ax.set_yticks(range(len(prow)))
        ax.set_yticklabels([r["function"] for r in prow], fontsize=8)
        ax.set_ylim(-0.6, max(len(prow), 6) - 0.4)
        ax.set_xscale("log")
        lo, hi = ax.get_xlim()
        if hi / lo < 100:  # at least two decades, so that major ticks are labelled
            mid = math.sqrt(lo * hi)
            ax.set_xlim(mid / 10, mid * 10)
        ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_xlabel("ns per bar (log)")
        ax.set_title(ptitle)
        ax.grid(axis="x", which="both", alpha=0.3)
    labels = {}
    for ax in axes[0]:
        for h, l in zip(*ax.get_legend_handles_labels()):
            labels.setdefault(l, h)
    order = ["zelvo"] + [LABEL[p] for p in peer_names] + ["copy floor"]
    names = [l for l in order if l in labels]
    fig.legend([labels[l] for l in names], names, loc="upper center", bbox_to_anchor=(0.5, 0.965),
               ncol=len(names), frameon=False)
    fig.suptitle(title, y=0.995, fontsize=11)
    fig.tight_layout(rect=(0, 0, 1, 0.94))
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True
