"""Retention of 90% of a 1 GiB log with one view and one consumer, Corvantine only: no peer
reclaims an append-only log behind a checkpoint of its derived state.

The log: 1 GiB of events (mostly 10 KiB blobs, one small order document in each batch of 100)
in the engine's 64 MiB segments, one registered, queried view of the orders (1,000 documents),
and one consumer that acknowledged the first batch and registers a feed bootstrap. Then, at
90% of the log: a plan (blocked), the anchor (which snapshots the view), the plan again (clear),
and applying it. Figures:

- bytes reclaimed, against the log's size (bar: at least 85%);
- planning and anchoring: both plans and the anchor (bar: under 2 s);
- the open of the database before and after applying, each the median of three fresh
  processes (bar: after no slower than before);
- the database directory's disk space before and after.

Run by `python3 -m bench.compare` after the views table, or alone as
`python3 -m bench.compare.retention` (`--quick` for a smoke run of one tenth).
"""

import os
import shutil
import statistics
import sys
import time
from pathlib import Path

from . import fresh

LOG_BYTES = 1 << 30
RETAIN_FRACTION = 0.9
BATCH = 100
BLOB = {"kind": "blob", "pad": "x" * 10_000}
ORDERS = 1_000
VIEW = "orders"
CONSUMER = "mailer"
OPENS = 3


def _open(path):
    import corvantine  # only in the measuring processes, which have the built module
    return corvantine.open(path)


def _order(n):
    return {"kind": "order", "order_id": f"ord-{n % ORDERS:04d}", "n": n}


def build(path, log_bytes):
    """The log, the view and the consumer; returns the durable head."""
    db = _open(path)
    db.register_view(VIEW, "order_id", where_field="kind", where_value="order")
    db.view(VIEW).len()  # queried: Ready, so every commit carries it forward
    batches = log_bytes // (BATCH * len(BLOB["pad"]))
    for b in range(batches):
        events = [{"body": BLOB}] * (BATCH - 1) + [{"body": _order(b)}]
        db.append_batch("blobs", events)
        if b == 0:
            db.commit()
            with db.watch(consumer_id=CONSUMER, page_batches=1, timeout=0) as watch:
                next(watch)
                watch.ack()
    head = db.commit()
    assert db.view(VIEW).len() == min(batches, ORDERS)
    db.close()
    return {"head": head}


def reopen(path):
    """Milliseconds to open the database: before the apply from its catalog checkpoint, after
    it from the anchor. The view is left alone: its first query heals it from the log before
    and from the anchor's snapshot after, which would flatter the second figure."""
    start = time.perf_counter()
    db = _open(path)
    elapsed = time.perf_counter() - start
    db.close()
    return {"ms": elapsed * 1e3}


def retain(path, keep_from):
    """Plan, anchor, plan again and apply at keep_from; seconds and bytes of each step."""
    db = _open(path)
    db.register_feed_bootstrap(CONSUMER, keep_from, b"mailer checkpoint")
    start = time.perf_counter()
    blocked = db.plan_retention(keep_from)
    anchor = db.create_retention_anchor(keep_from)
    plan = db.plan_retention(keep_from)
    planned = time.perf_counter() - start
    if plan["blockers"]:
        raise AssertionError(f"retention still blocked: {plan['blockers']}")
    start = time.perf_counter()
    applied = db.apply_retention(plan["plan_id"])
    apply_seconds = time.perf_counter() - start
    db.close()
    return {"plan_anchor_s": planned, "apply_s": apply_seconds,
            "blocked_by": [blocker["kind"] for blocker in blocked["blockers"]],
            "floor": applied["floor"], "reclaimed": applied["reclaimed_bytes"],
            "anchor_bytes": anchor["bytes"]}


TASKS = {f.__name__: f for f in (build, reopen, retain)}


def _spawn(env, task, **args):
    return fresh.spawn("bench.compare.retention", env, task, **args)


def _disk_bytes(path):
    """Bytes the directory's files take on disk."""
    return sum(os.stat(os.path.join(directory, name)).st_blocks * 512
               for directory, _, names in os.walk(path) for name in names)


def _log_bytes(path):
    log = os.path.join(path, "log")
    return sum(os.path.getsize(os.path.join(log, name)) for name in os.listdir(log)
               if name.endswith(".seg"))


def _median_open(env, path):
    return statistics.median(_spawn(env, "reopen", path=path)["ms"] for _ in range(OPENS))


def compare(workdir, env, quick=False):
    """Builds the database, retains 90% of it and returns the table as text."""
    log_bytes = LOG_BYTES // (10 if quick else 1)
    path = str(Path(workdir) / "retention")
    head = _spawn(env, "build", path=path, log_bytes=log_bytes)["head"]
    log_before, disk_before = _log_bytes(path), _disk_bytes(path)
    open_before = _median_open(env, path)
    result = _spawn(env, "retain", path=path, keep_from=int(head * RETAIN_FRACTION))
    disk_after = _disk_bytes(path)
    open_after = _median_open(env, path)
    shutil.rmtree(path, ignore_errors=True)
    share = result["reclaimed"] / log_before
    mib = 1 << 20
    rows = [
        ("bytes reclaimed (MiB)", result["reclaimed"] / mib,
         f"{share:.1%} of the {log_before / mib:,.0f} MiB log (bar >= 85%)"),
        ("plan + anchor + plan again (ms)", result["plan_anchor_s"] * 1e3,
         f"blocked at first by {', '.join(result['blocked_by'])} (bar < 2,000 ms)"),
        ("apply (ms)", result["apply_s"] * 1e3, f"new floor {result['floor']:,} of {head:,}"),
        ("open, before apply (ms)", open_before, None),
        ("same after apply (ms)", open_after,
         f"{open_after / open_before:.2f}x of before (bar <= 1.00)"),
        ("disk space before (MiB)", disk_before / mib, None),
        ("disk space after (MiB)", disk_after / mib,
         f"anchor file {result['anchor_bytes'] / mib:,.1f} MiB"),
    ]
    title = f"Retention of 90% of a {log_before / mib:,.0f} MiB log, one view, one consumer"
    return fresh.table(title + (" (QUICK RUN)" if quick else ""), rows)


def main(argv):
    fresh.main(argv, "bench.compare.retention", __doc__, TASKS, compare)


if __name__ == "__main__":
    main(sys.argv[1:])
