"""Markdown rendering of benchmark figures.

A figure is a number, or a string for a cell without one ("n/a", "missing
(no _gdbm)").  Units: "time" in ns (lower is better), "rate" in bytes per ns,
that is GB/s (higher is better), "bytes" (lower is better).
"""


def fmt(v, unit):
    if isinstance(v, str):
        return v
    if v is None:
        return "n/a"
    if unit == "time":
        if v < 10:
            return "%.1f ns" % v
        if v < 1e3:
            return "%.0f ns" % v
        if v < 1e6:
            return "%.3g µs" % (v / 1e3)
        if v < 1e9:
            return "%.3g ms" % (v / 1e6)
        return "%.3g s" % (v / 1e9)
    if unit == "rate":
        return "%.3g GB/s" % v if v >= 1 else "%.0f MB/s" % (v * 1e3)
    return "%.1f B" % v


def advantage(tarn, peer, unit):
    """How many times better tarndb is than the peer (> 1: tarndb leads)."""
    floor = 0.5 if unit == "bytes" else 0       # sub-byte memory figures are noise
    if not all(isinstance(x, (int, float)) and x > floor for x in (tarn, peer)):
        return None
    return tarn / peer if unit == "rate" else peer / tarn


def fmt_ratio(r, unit):
    if r is None:
        return ""
    if r >= 1:
        return " (×%.1f %s)" % (r, "smaller" if unit == "bytes" else "faster")
    return " (×%.2f)" % r if r >= 0.1 else " (×%.2g)" % r


def table(rows, columns, base="tarndb"):
    """rows: [(label, unit, {column: figure})]; the first column is the base
    that every other column is compared with."""
    out = ["| operation | " + " | ".join(columns) + " |",
           "|---|" + "---|" * len(columns)]
    for label, unit, cells in rows:
        tarn = cells.get(base)
        line = []
        for col in columns:
            v = cells.get(col, "n/a")
            text = fmt(v, unit)
            if col != base:
                text += fmt_ratio(advantage(tarn, v, unit), unit)
            line.append(text)
        out.append("| %s | %s |" % (label, " | ".join(line)))
    return "\n".join(out)


def growth_table(rows, sizes):
    """rows: [(label, unit, {size: figure})]; ratio to the smallest size."""
    head = ["10^%d" % len(str(s)[1:]) if str(s).strip("0") == "1" else f"{s:,}" for s in sizes]
    out = ["| tarndb, per key | " + " | ".join(head) + " | largest / smallest |",
           "|---|" + "---|" * (len(sizes) + 1)]
    for label, unit, cells in rows:
        vals = [cells.get(s) for s in sizes]
        first, last = vals[0], vals[-1]
        ratio = ("×%.2f" % (last / first)
                 if all(isinstance(x, (int, float)) and x > 0 for x in (first, last)) else "n/a")
        out.append("| %s | %s | %s |" % (label, " | ".join(fmt(v, unit) for v in vals), ratio))
    return "\n".join(out)


# The ratios tarndb aims at on every key kind: (operation, peer, label, target).
TARGETS = [
    ("build_batch", "lmdb", "build from sorted pairs: lmdb putmulti(append=True) / tarndb update_raw + build", 2),
    ("get_many", "dict", "get_many: dict loop / tarndb", 2),
    ("get_many", "lmdb", "get_many: lmdb getmulti / tarndb", 4),
    ("get_hit", "dbm.gnu", "get_raw, random hits: dbm.gnu / tarndb", 1.5),
]


def kinds_table(runs):
    """The target ratios of runs of one size, one column per key kind side by
    side: runs is [(kind, {op: {system: figure}})]."""
    out = ["| ratio (×: tarndb faster) | " + " | ".join("%s keys" % k for k, _ in runs)
           + " | target |", "|---|" + "---|" * (len(runs) + 1)]
    for op, peer, label, target in TARGETS:
        cells = []
        for _, fig in runs:
            r = advantage(fig.get(op, {}).get("tarndb"), fig.get(op, {}).get(peer), "time")
            cells.append("n/a" if r is None else "×%.2f%s" % (r, "" if r >= target else " (missed)"))
        out.append("| %s | %s | ≥ ×%g |" % (label, " | ".join(cells), target))
    return "\n".join(out)
