"""Uses every call of the module, for the type checker only: never run."""

import corvantine


def every_call(path: str) -> None:
    with corvantine.open(path, commit_every_count=100) as db:
        first: int = db.append("orders", {"id": "a1"})
        receipt: corvantine.Receipt = db.append_receipt("orders", [1, 2.5, None])
        batch = db.append_batch("orders", [{"body": {"id": "a2"}, "event_type": "placed"}],
                                expected_revision=receipt["current_revision"],
                                idempotency_key=b"k", durability="sync")
        db.append_branch("main", "orders", "text")
        total: int = first + batch["last_position"] + db.commit() + db.head()
        total += db.durable_head() + db.retention_floor() + db.uncommitted_count()
        rows: list[corvantine.Row] = db.replay("orders", start=0, end=None) + db.history("orders")
        reader = db.open_reader("orders", page_events=16)
        page = reader.next_page()
        done: bool = page["done"] and rows[0]["namespace"] is not None
        reader.cancel()
        reader.close()
        db.register_view("by_id", "id", indexes={"kind": "kind"})
        view = db.view("by_id")
        found = [view.get("a1"), view.by("kind", 1), view.range("a", "b"), view.prefix("a")]
        total += view.len() + len(found) + db.deregister_view("by_id")
        db.rebuild_projection("by_id")
        snapshot = db.create_snapshot("by_id")
        db.verify_snapshot(snapshot["id"])
        db.list_snapshots("by_id")
        done = done or db.delete_snapshot(snapshot["id"])
        db.delete_all_derived_state()
        branch = db.fork("orders", at=1, parent="main")
        ancestry: list[corvantine.Branch] = db.branch_ancestry(branch)
        db.branch_history(branch, "orders")
        diff = db.diff("main", branch, namespace="orders")
        diff["shared"].close()
        db.archive_branch(ancestry[-1]["name"])
        with db.watch(namespace="orders", timeout=0.5) as watch:
            for row in watch:
                total += row["offset"] + watch.ack()
        status: corvantine.RetentionStatus = db.retention_status()
        plan: corvantine.Plan = db.plan_retention(status["floor"])
        preview = db.plan_retention_policy("keep_latest_events", 10)
        anchor = db.create_retention_anchor(preview["selected_floor"])
        applied = db.apply_retention(plan["plan_id"])
        total += anchor["head"] + applied["floor"]
        db.register_branch_bootstrap(branch, 1, b"state")
        db.register_consumer_bootstrap("c1", 1, b"state")
        db.register_feed_bootstrap("c2", 1, b"state", branch=branch, codec="json")
        kept: bytes | None = db.branch_bootstrap(branch) or db.consumer_bootstrap("c1")
        try:
            db.watch(consumer_id="c2")
        except corvantine.PositionUnavailableError as error:
            if error.bootstrap is not None:
                kept = db.fetch_feed_bootstrap(error.bootstrap, 1 << 20)
                db.resume_watch(error.bootstrap, namespace="orders").close()
        print(total, done, kept, corvantine.__version__)
    db = corvantine.Corvantine.open(path)
    db.close()
