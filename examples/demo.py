"""A short tour of corvantine on a database in a temporary directory.

`./dev demo` builds the module and runs this with PYTHONPATH set to it.
"""

import pprint
import tempfile
import threading

import corvantine


def drain(reader):
    """Every row of a Reader, page by page."""
    rows = []
    while True:
        page = reader.next_page()
        rows += page["records"]
        if page["done"]:
            reader.close()
            return rows


def show(rows, indent="    "):
    for row in rows:
        print(f"{indent}@{row['offset']} rev {row['stream_revision']} "
              f"{row['event_type']}: {row['body']}")


def follow(db):
    """A consumer follows durable events, acknowledges, and resumes by its id."""
    watch = db.watch(namespace="orders", start=0, consumer_id="mailer", timeout=0)
    first = next(watch)
    print(f"a watch for consumer 'mailer' got @{first['offset']} {first['event_type']} and "
          f"acknowledged position {watch.ack()}: the rest of that batch is not yet handed out")
    watch.close()
    with db.watch(namespace="orders", consumer_id="mailer", timeout=5) as resumed:
        print("reopened by consumer id, it resumes at that batch (at least once):")
        show([next(resumed), next(resumed)])
        print(f"  acknowledged position {resumed.ack()}")
        later = threading.Timer(0.1, db.append_batch, ("orders", [
            {"body": {"order": 1, "note": "ring twice"}, "event_type": "order.noted"}]),
                                {"durability": "sync"})
        later.start()
        print("while it waits, another thread appends with sync; the watch wakes with it:")
        show([next(resumed)])
        later.join()


def retain(db):
    """Plans retention up to the durable head, anchors what it needs and applies the plan."""
    keep_from = db.durable_head()
    plan = db.plan_retention(keep_from)
    print(f"a retention plan for a floor at position {keep_from}:")
    pprint.pprint(plan, indent=2, sort_dicts=False)
    anchor = db.create_retention_anchor(keep_from)
    print(f"a retention anchor at floor {anchor['floor']}, head {anchor['head']}: "
          f"{anchor['bytes']} bytes, with {anchor['projection_checkpoints']} view snapshot(s)")
    plan = db.plan_retention(keep_from)
    applied = db.apply_retention(plan["plan_id"])
    print(f"planned again, blockers {plan['blockers']}; applied: {applied} (the whole log is "
          f"one active segment, so nothing can be reclaimed yet)")


def main():
    with tempfile.TemporaryDirectory() as directory, \
            corvantine.open(f"{directory}/shop") as db:
        print(f"opened {directory}/shop, corvantine {corvantine.__version__}: {db!r}")

        checkout = [
            {"body": {"order": 1, "item": "tea", "qty": 2}, "event_type": "order.placed"},
            {"body": {"order": 1, "paid": 7.5}, "event_type": "order.paid",
             "metadata": {"channel": "web"}},
        ]
        receipt = db.append_batch("orders", checkout, expected_revision="no_stream",
                                  idempotency_key="checkout-1", durability="sync")
        print(f"appended a batch to a new stream (expected revision no_stream): positions "
              f"{receipt['first_position']}..{receipt['last_position']}, revision "
              f"{receipt['current_revision']}, {receipt['durability']}")

        retry = db.append_batch("orders", checkout, expected_revision="no_stream",
                                idempotency_key="checkout-1", durability="sync")
        print(f"retried it under the same idempotency key: same receipt {retry == receipt}, "
              f"head still {db.head()}")
        try:
            db.append_batch("orders", [{"body": {"order": 2}}], expected_revision="no_stream")
        except corvantine.ConflictError as error:
            print(f"a stale expected revision is refused: {error}")

        print("the stream read back:")
        show(db.replay("orders"))
        follow(db)

        db.register_view("orders_by_id", "order", indexes={"item": "item"},
                         where_field="item", where_value="tea")
        db.append_batch("orders", [{"body": {"order": "2", "item": "tea", "qty": 1}},
                                   {"body": {"order": "3", "item": "cake", "qty": 4}},
                                   {"body": {"order": "4", "item": "tea", "qty": 3}}],
                        durability="sync")
        view = db.view("orders_by_id")
        print(f"a view of the tea orders, keyed by order ({view!r}): {view.len()} documents")
        print(f"  get('4'): {view.get('4')}")
        print(f"  by('item', 'tea'): {[d['order'] for d in view.by('item', 'tea')]}")
        print(f"  range('2', '4'): {[d['order'] for d in view.range('2', '4')]}")
        snapshot = db.create_snapshot("orders_by_id")
        print(f"  snapshot {snapshot['id'][:12]}... at cursor {snapshot['cursor']}, "
              f"{snapshot['state_bytes']} bytes of state")

        branch = db.fork("orders", db.head())
        print(f"forked branch {branch} at position {db.head()}")
        db.append("orders", {"order": 1, "shipped": "standard"})
        db.append_branch(branch, "orders", {"order": 1, "shipped": "express"})
        db.append_branch(branch, "orders", {"order": 1, "gift_wrap": True})
        print(f"appended on main and on {branch}; committed up to {db.commit()}")

        diff = db.diff("main", branch, namespace="orders")
        print(f"diff main vs {branch}: common ancestor {diff['common_ancestor']}, "
              f"diverged at {diff['divergence_offset']}")
        print(f"  shared history: {len(drain(diff['shared']))} events")
        for side in ("left", "right"):
            print(f"  only on {diff[side]['branch']}:")
            show(drain(diff[side]["suffix"]))
        retain(db)
    print("closed the database and removed its directory")


if __name__ == "__main__":
    main()
