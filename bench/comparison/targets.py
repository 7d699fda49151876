"""The targets' verdicts of bench/run.py, from the results table, the
bracketed rounds and the memory target."""

import harness
from harness import number as fmt

from .systems import best_peer


def _num(v):
    return v if harness.is_number(v) else None


def targets(results, floors, mem, paired):
    """One verdict line per target: what was measured, what is needed, PASS or FAIL."""
    out = []

    def line(n, measured, need, ok, extra=""):
        out.append("target %d: measured %s (need %s) %s%s" % (n, measured, need,
                                                              "PASS" if ok else "FAIL", extra))

    tw = lambda k, m: _num(results.get((k, m), {}).get("tarnwick"))  # noqa: E731

    def bracket(k):
        p = paired.get(k) if paired else None
        if not p:
            return None, ""
        lst = p["rounds"]
        med_t = harness.median(x["tarnwick"] for x in lst)
        med_f = harness.median(x["floor"] for x in lst)
        return p["median"], ("median of %d bracketed rounds, ratios %s; tarnwick median %s, floor median %s"
                             % (len(lst), "/".join("%.2f" % r for r in p["ratios"]), fmt(med_t), fmt(med_f)))

    # 1
    r, how = bracket(1)
    enq, cyc = tw("enq", "durable"), tw("cycle", "durable")
    if r is not None:
        line(1, "%.2f × write+fsync for durable single-record ops, min(enqueue, 3 × cycle) [%s; "
             "best-of table: enqueue %s ops/s, cycle %s cycles/s = %s records/s vs floor %s]"
             % (r, how, fmt(enq), fmt(cyc), fmt(3 * cyc) if cyc else "—", fmt(floors.get("fsync1"))),
             "≥ 0.90 ×", r >= 0.9)
    else:
        out.append("target 1: not measured")
    # 2
    r, how = bracket(2)
    renq = tw("enq", "relaxed")
    bp = best_peer(results.get(("enq", "relaxed"), {}))
    if r is not None and renq and bp:
        peer_ratio = renq / bp[1]
        ok_a, ok_b = peer_ratio >= 4, r >= 1.3
        row = results.get(("enq", "relaxed"), {})
        pypi = [(p, row[p]) for p in ("persist-queue", "litequeue", "localqueue")
                if harness.is_number(row.get(p))]
        pypi_best = max(pypi, key=lambda x: x[1]) if pypi else None
        line(2, "relaxed enqueue %s ops/s = %.2f × best peer (%s %s ops/s)%s; %.2f × lock-cycle floor [%s]"
             % (fmt(renq), peer_ratio, bp[0], fmt(bp[1]),
                "" if not pypi_best or pypi_best[0] == bp[0] else
                ", %.2f × best PyPI peer (%s %s ops/s)" % (renq / pypi_best[1], pypi_best[0], fmt(pypi_best[1])),
                r, how),
             "≥ 4 × best peer AND ≥ 1.30 × lock-cycle floor", ok_a and ok_b,
             " (peer part %s, floor part %s)" % ("PASS" if ok_a else "FAIL", "PASS" if ok_b else "FAIL"))
    else:
        out.append("target 2: not measured")
    # 3, 4 and 6: tarnwick's rate against a floor of the disk, bracketed
    for n, what, scenario, floor, unit, need in (
            (3, "(1000 writes + one fsync) for durable enqueue_batch(1000×100 B)",
             ("benq", "durable"), "batch1000", "batches/s", 0.8),
            (4, "sequential 64 KiB write bandwidth for relaxed 64 KiB enqueue incl. final flush",
             ("big_enq", "relaxed"), "seq64k", "MB/s", 0.6),
            (6, "sequential 64 KiB write bandwidth without fsync for relaxed 64 KiB enqueue "
             "without final flush", ("big_enq_nf", "relaxed"), "write64k", "MB/s", 0.7)):
        r, how = bracket(n)
        if r is None:
            out.append("target %d: not measured" % n)
            continue
        line(n, "%.2f × %s [%s; best-of table %s vs %s %s]"
             % (r, what, how, fmt(tw(*scenario)), fmt(floors.get(floor)), unit),
             "≥ %.2f ×" % need, r >= need)
    # 5
    if mem and "error" not in mem:
        scale = mem["messages"] / 1e6
        need_t = 1.5 * scale
        ok = mem["rss_per_msg"] < 150 and mem["open_s"] < need_t
        extra = "" if mem["messages"] >= 1_000_000 else \
            " (at %d messages; open-time need scaled linearly from 1.5 s at 10^6)" % mem["messages"]
        line(5, "%.1f B RSS/message, open %.3f s with %d live 1 KiB messages" % (mem["rss_per_msg"], mem["open_s"], mem["messages"]),
             "< 150 B/message and < %.3g s" % need_t, ok, extra)
    else:
        out.append("target 5: not measured%s" % ("" if not mem else " (%s)" % mem.get("error")))
    return out

