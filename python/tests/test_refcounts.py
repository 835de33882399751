"""Reference counts stay level over every method, error paths included.

Runs only under a debug interpreter (sys.gettotalrefcount), with the module
build that counts references through it (python/CMakeLists.txt)."""

import gc
import shutil
import sys

import pytest

import corvantine

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter")


def swallow(call, *errors):
    try:
        call()
    except errors or Exception:
        pass


def every_method(db, path):
    db.append("s", {"a": [1, 2.5, None, True, "x" * 40], "b": {"c": 2**64 - 1}})
    db.append_receipt("s", [-1, 1e16])
    db.append_batch("s", [{"body": {"z": 1, "y": 2}, "event_type": "t", "schema_version": 2,
                           "metadata": {"m": "v", "n": b"w"}}], idempotency_key="k",
                    expected_revision="any", durability="flush")
    fork = db.fork("s", db.head())
    db.append_branch(fork, "s", {"on": "fork"})
    db.replay("s", 0, db.head())
    db.history("s")
    # More than one page, and a read that fails while its next page is on its way.
    db.append_batch("pages", [{"body": {"i": i}} for i in range(1100)])
    db.replay("pages")
    deep = 0
    for _ in range(100):
        deep = [deep]
    db.append_batch("deep", [{"body": deep}] + [{"body": i} for i in range(1100)])
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(60)
    swallow(lambda: db.replay("deep"), RecursionError)
    sys.setrecursionlimit(limit)
    db.branch_history(fork, "s")
    db.branch_ancestry(fork)
    reader = db.open_reader("s", page_events=1)
    reader.next_page()
    reader.cancel()
    swallow(reader.next_page)
    reader.close()
    swallow(reader.next_page)
    diff = db.diff("main", fork, namespace="s")
    diff["shared"].next_page()
    del diff
    db.archive_branch(fork)
    watch = db.watch(namespace="s", start=0, consumer_id="c", timeout=0)
    next(watch)
    watch.ack()
    list(watch)
    watch.ack()
    with db.watch(timeout=0) as other:
        list(other)
    watch.close()
    swallow(watch.ack)
    db.head(), db.durable_head(), db.commit(), db.uncommitted_count(), db.retention_floor()
    repr(db)
    # Error paths: binding, conversion, the module's own checks, the engine.
    swallow(lambda: db.append())
    swallow(lambda: db.append("s", 1, bogus=1))
    swallow(lambda: db.append(1, 1))
    swallow(lambda: db.append("s", {"k": (1,)}))
    swallow(lambda: db.append("s", {1: 1}))
    swallow(lambda: db.append("s", [2**64]))
    items = [1]
    items.append(items)
    swallow(lambda: db.append("s", items))
    items.clear()
    swallow(lambda: db.append_batch("s", [{"body": 1, "metadata": {"m": 1}}]))
    swallow(lambda: db.append_batch("s", [{"body": 1, "event_id": "xyz"}]))
    swallow(lambda: db.append_batch("s", [{"body": 1}], expected_revision=True))
    swallow(lambda: db.append_batch("s", [{"body": 1}], durability="never"))
    swallow(lambda: db.append_batch("s", [{"body": 2}], idempotency_key="k"))
    swallow(lambda: db.append_batch("s", [{"body": 1}], branch="missing"))
    swallow(lambda: db.replay("s", end=10**6))
    swallow(lambda: db.open_reader("s", page_events=0))
    swallow(lambda: db.watch(page_batches=0))
    swallow(lambda: db.watch(timeout="soon"))
    swallow(lambda: db.archive_branch("main"))
    swallow(lambda: db.diff("main", "missing"))
    swallow(lambda: db.fork("s\0", 0))
    swallow(lambda: corvantine.open(path))
    views(db)
    retention(path + "-retention")


def views(db):
    db.register_view("v", "id", indexes={"by_n": "n"}, where_field="ok", where_value=True)
    db.append_batch("v", [{"body": {"id": str(i), "n": i % 3, "ok": True}} for i in range(5)],
                    durability="sync")
    view = db.view("v")
    view.get("1"), view.get("none"), view.by("by_n", 1), view.by("by_n", "1")
    view.range("0", "3"), view.prefix(""), view.len(), repr(view)
    snapshot = db.create_snapshot("v")
    db.verify_snapshot(snapshot["id"])
    db.list_snapshots("v")
    db.delete_snapshot(snapshot["id"])
    db.rebuild_projection("v")
    db.delete_all_derived_state()
    db.register_view("gone", "id")
    db.deregister_view("gone")
    # Error paths.
    swallow(lambda: view.by("missing", 1))
    swallow(lambda: view.by("by_n", {1}))
    swallow(lambda: view.len(1))
    swallow(lambda: db.view("missing"))
    swallow(lambda: db.register_view("x", "id", indexes={"a": 1}))
    swallow(lambda: db.register_view("x", "id", where_field="f"))
    swallow(lambda: db.register_view("x", "id", where_field="f", where_value={1}))
    swallow(lambda: db.register_view("x", ""))
    swallow(lambda: db.verify_snapshot("bad"))
    swallow(lambda: db.create_snapshot("missing"))


def retention(path):
    """On a small database of its own: an anchor reads the whole log."""
    shutil.rmtree(path, ignore_errors=True)
    with corvantine.open(path) as db:
        db.register_view("v", "id")
        db.append_batch("s", [{"body": {"id": "a"}}, {"body": {"id": "b"}}], durability="sync")
        retain(db, db.durable_head())


def retain(db, head):
    db.retention_status(), db.retention_status(head)
    for policy in ("keep_from", "keep_latest_events", "keep_newer_than", "target_log_bytes"):
        db.plan_retention_policy(policy, 0)
    db.register_branch_bootstrap("main", head, b"branch")
    db.register_consumer_bootstrap("c", head, b"consumer")
    db.register_feed_bootstrap("f", head, b"feed", codec="json", codec_version=2)
    db.create_retention_anchor(head)
    db.branch_bootstrap("main"), db.consumer_bootstrap("c"), db.consumer_bootstrap("none")
    db.apply_retention(db.plan_retention(head)["plan_id"])
    # A start beyond the durable head is refused with the consumer's bootstrap descriptor.
    with pytest.raises(corvantine.PositionUnavailableError) as refused:
        db.watch(consumer_id="f", start=head + 1)
    descriptor = refused.value.bootstrap
    db.fetch_feed_bootstrap(descriptor, 100)
    with db.resume_watch(descriptor, timeout=0) as watch:
        list(watch)
    # Error paths.
    swallow(lambda: db.fetch_feed_bootstrap(dict(descriptor, checksum=-1), 100))
    swallow(lambda: db.fetch_feed_bootstrap(dict(descriptor, branches=["x"]), 100))
    swallow(lambda: db.fetch_feed_bootstrap(dict(descriptor, consumer_id="other"), 100))
    swallow(lambda: db.resume_watch({}))
    swallow(lambda: db.plan_retention_policy("never", 0))
    swallow(lambda: db.apply_retention("0" * 31))
    swallow(lambda: db.apply_retention("0" * 32))
    swallow(lambda: db.plan_retention(head + 1))
    swallow(lambda: db.register_branch_bootstrap("missing", head, b""))


def test_reference_counts_stay_level(tmp_path):
    path = str(tmp_path / "db")
    db = corvantine.open(path)
    for _ in range(3):
        every_method(db, path)
    deltas = []
    for _ in range(4):
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(10):
            every_method(db, path)
        gc.collect()
        deltas.append(sys.gettotalrefcount() - before)
    db.close()
    # A reference lost per call would add at least 10 in every round.
    assert min(deltas) < 10, deltas
    assert sum(deltas) < 20, deltas


def test_closed_database_and_lifecycle_reference_counts(tmp_path):
    path = str(tmp_path / "db")

    def cycle():
        with corvantine.open(path) as db:
            reader = db.open_reader("s")
            db.register_view("v", "id")
            view = db.view("v")
        swallow(db.head)
        swallow(reader.next_page)
        swallow(view.len)
        swallow(lambda: db.append("s", 1))
        del reader, view

    cycle()
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(10):
        cycle()
    gc.collect()
    assert sys.gettotalrefcount() - before < 10
