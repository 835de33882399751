"""Views against their nearest SQLite equivalent, each figure from a fresh process.

- appends in batches of 100 under group commit, without a view and with one registered,
  queried view that every commit carries forward;
- View.get against SQLite's indexed lookup (SELECT body ... WHERE key = ?, then json.loads);
- View.range of 100 documents against SQLite's indexed range;
- opening a database whose view has a snapshot and asking the first query, against the open
  alone plus reading the snapshot file.

Run by `python3 -m bench.compare` after the main table, or alone as
`python3 -m bench.compare.views` (`--quick` for a smoke run).
"""

import json
import os
import random
import shutil
import sqlite3
import statistics
import sys
import time
from pathlib import Path


from . import events, fresh

# The checkpoint of a view stores each body byte as a decimal number, about three times
# the body, and a snapshot holds at most 64 MiB: some 85,000 documents of this size.
DOCUMENTS = 50_000
LOOKUPS = 20_000
RANGES = 2_000
RANGE_SIZE = 100
VIEW = "orders"
KEY = "order_id"


def _open(path, **options):
    import corvantine  # only in the measuring processes, which have the built module
    return corvantine.open(path, **options)


def _key(n):
    return f"ord-{n:07d}"


def _document(n):
    return dict(events.body(n), order_id=_key(n))


def _register(db):
    db.register_view(VIEW, KEY, indexes={"by_status": "status"})


def appends(path, count, view):
    """count events in batches of 100 under group commit; events per second."""
    db = _open(path, commit_every_count=events.GROUP_EVERY)
    if view:
        _register(db)
        db.view(VIEW).len()  # queried: Ready, so every commit carries it forward
    batches = [[{"body": _document(b * events.BATCH + k)} for k in range(events.BATCH)]
               for b in range(count // events.BATCH)]
    start = time.perf_counter()
    for b, batch in enumerate(batches):
        db.append_batch(events.stream_name(b % events.STREAMS), batch)
    db.commit()
    elapsed = time.perf_counter() - start
    if view:
        assert db.view(VIEW).len() == count
    db.close()
    return {"rate": count / elapsed}


def build(path, count):
    """A database with a snapshotted view, and a SQLite table of the same documents."""
    db = _open(path)
    _register(db)
    for b in range(count // events.BATCH):
        db.append_batch(events.stream_name(b % events.STREAMS),
                        [{"body": _document(b * events.BATCH + k)} for k in range(events.BATCH)])
    db.commit()
    snapshot = db.create_snapshot(VIEW)
    db.close()
    conn = sqlite3.connect(os.path.join(path, "docs.sqlite3"))
    conn.execute("CREATE TABLE docs (key TEXT PRIMARY KEY, body TEXT NOT NULL)")
    conn.executemany("INSERT INTO docs VALUES (?, ?)",
                     ((_key(n), events.dumps(_document(n))) for n in range(count)))
    conn.commit()
    conn.close()
    return {"snapshot": os.path.join(path, "derived", "snapshots", snapshot["id"])}


def lookups(path, count, store):
    """Mean microseconds of one get and of one range of 100, after warming up."""
    rng = random.Random(7)
    keys = [_key(rng.randrange(count)) for _ in range(LOOKUPS)]
    starts = [rng.randrange(count - RANGE_SIZE) for _ in range(RANGES)]
    if store == "corvantine":
        db = _open(path)
        view = db.view(VIEW)
        view.len()

        def get(key):
            return view.get(key)

        def range_of(n):
            return view.range(_key(n), _key(n + RANGE_SIZE))
    else:
        conn = sqlite3.connect(os.path.join(path, "docs.sqlite3"))

        def get(key):
            row = conn.execute("SELECT body FROM docs WHERE key = ?", (key,)).fetchone()
            return json.loads(row[0])

        def range_of(n):
            rows = conn.execute("SELECT body FROM docs WHERE key >= ? AND key < ? ORDER BY key",
                                (_key(n), _key(n + RANGE_SIZE))).fetchall()
            return [json.loads(row[0]) for row in rows]
    for key in keys[:1000]:
        get(key)
    start = time.perf_counter()
    for key in keys:
        get(key)
    get_us = (time.perf_counter() - start) / len(keys) * 1e6
    start = time.perf_counter()
    for n in starts:
        assert len(range_of(n)) == RANGE_SIZE
    range_us = (time.perf_counter() - start) / len(starts) * 1e6
    return {"get_us": get_us, "range_us": range_us}


def reopen(path, first_query, snapshot=None):
    """Milliseconds to open (and ask the view's first query), or to open and read the
    snapshot file."""
    start = time.perf_counter()
    db = _open(path)
    if first_query:
        assert db.view(VIEW).get(_key(1)) is not None
    if snapshot:
        with open(snapshot, "rb") as f:
            f.read()
    elapsed = time.perf_counter() - start
    db.close()
    return {"ms": elapsed * 1e3}


TASKS = {f.__name__: f for f in (appends, build, lookups, reopen)}


def _spawn(env, task, **args):
    return fresh.spawn("bench.compare.views", env, task, **args)


def compare(workdir, env, quick=False):
    """Runs every measurement side by side and returns the table as text."""
    scale = 10 if quick else 1
    count = DOCUMENTS // scale
    rates = {}
    for view in (False, True):
        path = Path(workdir) / f"views-appends-{view}"
        rates[view] = _spawn(env, "appends", path=str(path), count=count, view=view)["rate"]
        shutil.rmtree(path, ignore_errors=True)
    path = Path(workdir) / "views-built"
    snapshot = _spawn(env, "build", path=str(path), count=count)["snapshot"]
    ours = _spawn(env, "lookups", path=str(path), count=count, store="corvantine")
    theirs = _spawn(env, "lookups", path=str(path), count=count, store="sqlite")
    opens = {name: statistics.median(
        _spawn(env, "reopen", path=str(path), **args)["ms"] for _ in range(3))
        for name, args in (("query", {"first_query": True}),
                           ("plain", {"first_query": False, "snapshot": snapshot}))}
    shutil.rmtree(path, ignore_errors=True)
    rows = [
        ("appends, batches of 100, group commit, no view (events/s)", rates[False], None),
        ("same with one registered, queried view (events/s)", rates[True],
         f"{rates[True] / rates[False]:.2f}x of no view (bar >= 0.60)"),
        ("View.get (us)", ours["get_us"],
         f"SQLite {theirs['get_us']:.1f} us: {theirs['get_us'] / ours['get_us']:.2f}x faster "
         "(bar >= 2)"),
        (f"View.range of {RANGE_SIZE} (us)", ours["range_us"],
         f"SQLite {theirs['range_us']:.1f} us: {theirs['range_us'] / ours['range_us']:.2f}x "
         "faster (bar >= 1)"),
        ("open with a snapshotted view + first query (ms)", opens["query"],
         f"open + read snapshot {opens['plain']:.1f} ms: {opens['query'] / opens['plain']:.2f}x "
         "(bar <= 1.5)"),
    ]
    return fresh.table(f"Views, {count} documents" + (" (QUICK RUN)" if quick else ""), rows)


def main(argv):
    fresh.main(argv, "bench.compare.views", __doc__, TASKS, compare)


if __name__ == "__main__":
    main(sys.argv[1:])
