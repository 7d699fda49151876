"""The markdown report of bench/run.py: machine, results beside peers and
floors, the floors, the bracketed rounds, the delivery check, how each queue
was set up, the memory target and the targets' verdicts."""

import time

import harness
from harness import number as fmt
from harness import times as ratio

from .floors import described, floor_for
from .scenarios import table_rows
from .systems import IMPLS, MODES, best_peer
from .targets import targets


def build_report(args, machine, floors, floor_runs, results, notes, mpinfo, mem, load, elapsed,
                 paired):
    """(the report's markdown, the targets' verdict lines)."""
    tl = targets(results, floors, mem, paired)
    L = []
    L += _heading(args, machine, load, elapsed)
    L += _results(args, floors, results, mpinfo)
    L += _floors(args, floors, floor_runs)
    if paired:
        L += _bracketed(args, paired)
    L += _delivery(mpinfo)
    L += _setups(notes)
    L += _memory(mem)
    L += ["## Targets", "", "```"] + tl + ["```", ""]
    return "\n".join(L), tl


def _heading(args, machine, load, elapsed):
    return [
        "# tarnwick benchmark%s" % (" (--quick)" if args.quick else ""),
        "",
        "Run: %s, %.0f s. `python bench/run.py%s`" %
        (time.strftime("%Y-%m-%d %H:%M:%S"), elapsed, " --quick" if args.quick else ""),
        "",
        "## Machine",
        "",
        "- CPU: %s, %s cores; kernel %s" % (machine["cpu"], machine["cores"], machine["kernel"]),
        "- Bench directory: `%s`, filesystem %s" % (machine["bench_dir"], machine["fs"]),
        "- Python %s, SQLite %s; tarnwick %s" % (machine["python"], machine["sqlite"],
                                                machine["tarnwick"]),
        "- Peers: " + ", ".join("%s %s" % kv for kv in machine["peers"].items()),
        "- Load average (1/5/15 min): at start %s, at end %s" %
        tuple("/".join("%.2f" % x for x in one) for one in load),
        "",
    ]


def _results(args, floors, results, mpinfo):
    rows = []
    for key, label, unit, mode, row in table_rows(results, MODES):
        flbl, fval = floor_for(key, mode, floors)
        bp = best_peer(row)
        tw = row.get("tarnwick")
        cells = [label, mode, unit]
        for i in IMPLS:
            c = fmt(row.get(i, "—"))
            info = mpinfo.get((mode, i)) if key == "mp" else None
            if info and info["duplicates"] and harness.is_number(row.get(i)):
                c += " (%d dup)" % info["duplicates"]
            cells.append(c)
        cells.append("%s %s" % (fmt(fval), flbl) if fval is not None else "—")
        cells.append(ratio(tw, fval))
        cells.append(bp[0] if bp else "—")
        cells.append(ratio(tw, bp[1]) if bp else "—")
        rows.append(cells)
    header = ["scenario", "mode", "unit"] + IMPLS + ["floor", "tarnwick ÷ floor", "best peer",
                                                    "tarnwick ÷ best peer"]
    mib = args.big_total >> 20
    return [
        "## Results",
        "",
        "Best of %d repetition(s) per cell (multi-process: best of %d); each timed loop ~%.2f s. "
        "\"n/a\": the library has no such mode or batch call. Ratios are tarnwick's."
        % (args.repeats, args.mp_repeats, args.budget),
        "",
    ] + harness.table(header, rows, "lll" + "r" * (len(IMPLS) + 2) + "lr") + [
        "",
        "Notes:",
        "",
        "- Each queue is opened with its defaults apart from the durability setting. For tarnwick "
        "that includes auto_compact_bytes = 64 MiB: the 64 KiB drain acks a log of %d MiB, so it "
        "compacts (rewrites the live rest, fully synced) whenever the log is at least 64 MiB and "
        "less than half live; with %d MiB the rows above include that rewriting." % (mib, mib),
        "- \"dup\" in the multi-process row: messages handed to both consumers without a lease "
        "expiring (persist-queue claims a row with no cross-process guard); see the delivery check "
        "below.",
        "- Durable rows ride on the virtual disk's fsync, whose speed drifts by large factors "
        "within seconds on this shared machine; targets 1–4 therefore use the bracketed rounds "
        "further down.",
        "- The plain sqlite3 lease queue (bench/sqlite_lease.py) counts as a peer.",
        "- dequeue_batch and ack_batch are timed on a fresh queue holding %d batches of 1000 for "
        "every implementation (filled untimed), so a faster enqueue_batch does not leave a deeper "
        "queue to drain." % args.drain_batches,
        "",
    ]


def _floors(args, floors, floor_runs):
    header = ["floor", "what", "value"] + ["run %d" % (i + 1) for i in range(len(floor_runs))]
    rows = [[name, w, "%s %s" % (fmt(floors[name]), unit)] + [fmt(r.get(name)) for r in floor_runs]
            for name, (w, unit) in described(args.big_total).items() if name in floors]
    return (["## Raw floors (bench/floor.c, same directory)", ""]
            + harness.table(header, rows, "llr" + "r" * len(floor_runs)) + [""])


TARGET_NAMES = {1: "1 durable single ops/s", 2: "2 relaxed enqueue ops/s",
                3: "3 durable batch batches/s", 4: "4 relaxed 64 KiB MB/s",
                6: "6 relaxed 64 KiB, no final flush, MB/s"}


def _bracketed(args, paired):
    rows = [[TARGET_NAMES[k], i + 1, fmt(x["tarnwick"]), fmt(x["floor"]),
             ratio(x["tarnwick"], x["floor"])]
            for k in sorted(paired) for i, x in enumerate(paired[k]["rounds"])]
    return [
        "## Bracketed rounds for targets 1–4 and 6",
        "",
        "Each round runs the floor, then tarnwick, then the floor again (each ~%.2f s); "
        "ratio = tarnwick ÷ mean of the two floor runs." % args.budget,
        "",
    ] + harness.table(["target", "round", "tarnwick", "floor (mean of 2)", "ratio"], rows,
                      "lrrrr") + [""]


def _delivery(mpinfo):
    order = sorted(mpinfo.items(), key=lambda kv: (MODES.index(kv[0][0]), IMPLS.index(kv[0][1])))
    rows = [[mode, impl, info["sent"], info["received"], info["missing"], info["invented"],
             info["duplicates"], "; ".join(info["errors"])[:80] or "—"]
            for (mode, impl), info in order if info]
    header = ["mode", "implementation", "sent", "received", "missing", "invented", "duplicates",
              "errors"]
    return (["## 2 producers + 2 consumers: delivery check", ""]
            + harness.table(header, rows, "llrrrrrl") + [""])


def _setups(notes):
    order = sorted(notes.items(), key=lambda kv: (IMPLS.index(kv[0][0]), MODES.index(kv[0][1])))
    return (["## How each implementation was set up", ""]
            + ["- %s, %s: %s" % (impl, mode, note) for (impl, mode), note in order] + [""])


def _memory(mem):
    L = ["## Memory (bench/memory.py)", ""]
    if mem is None:
        L.append("skipped")
    elif "error" in mem:
        L.append("error: %s" % mem["error"])
    else:
        runs = mem["runs"]
        L.append("- %d live messages of %d B (log %.0f MB), populated in %.1f s" %
                 (mem["messages"], mem["body"], mem["log_bytes"] / 1e6, mem["populate_s"]))
        L.append("- fresh process opening the queue (log in page cache), %d runs: open %s s; "
                 "RSS growth %s bytes (anon %s, file %s)" % (
                     len(runs), ", ".join("%.3f" % r["open_s"] for r in runs),
                     ", ".join(str(r["rss_delta"]) for r in runs),
                     ", ".join(str(r["anon_delta"]) for r in runs),
                     ", ".join(str(r["file_delta"]) for r in runs)))
        L.append("- per message: %.1f B of RSS; best open %.3f s; peak RSS (VmHWM) growth %.1f "
                 "B/message" % (mem["rss_per_msg"], mem["open_s"], mem["hwm_per_msg"]))
    L.append("")
    return L
