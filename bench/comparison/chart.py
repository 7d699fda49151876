"""The chart of bench/run.py: every scenario's rates, per queue and floor, on
a log scale."""

import harness

from .floors import floor_for
from .scenarios import table_rows
from .systems import IMPLS, MODES


def draw(results, floors, path):
    """A PNG of horizontal bars, one group per row of the results table."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rows = []
    for key, label, unit, mode, row in table_rows(results, MODES):
        if any(harness.is_number(v) for v in row.values()):
            rows.append(("%s [%s] (%s)" % (label, mode, unit), row, floor_for(key, mode, floors)[1]))
    series = IMPLS + ["floor"]
    colors = {"tarnwick": "#d62728", "persist-queue": "#1f77b4", "litequeue": "#2ca02c",
              "localqueue": "#9467bd", "sqlite3-lease": "#ff7f0e", "floor": "#7f7f7f"}
    bar_h = 0.8 / len(series)
    fig, ax = plt.subplots(figsize=(11, 0.62 * len(rows) + 1.5))
    for si, s in enumerate(series):
        ys, xs = [], []
        for ri, (_lbl, row, fval) in enumerate(rows):
            v = fval if s == "floor" else row.get(s)
            if harness.is_number(v) and v > 0:
                ys.append(ri + (si - (len(series) - 1) / 2) * bar_h)
                xs.append(v)
        ax.barh(ys, xs, height=bar_h, color=colors[s], label=s,
                hatch="//" if s == "floor" else None, edgecolor="white" if s != "floor" else "black",
                linewidth=0.3)
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([r[0] for r in rows], fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("rate (log scale; unit per row)")
    ax.grid(axis="x", which="both", alpha=0.3)
    ax.legend(loc="lower right", fontsize=8)
    ax.set_title("tarnwick vs peers vs raw floors (higher is better)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
