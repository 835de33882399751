"""Retention: status, plans and policies, the anchor, bootstraps and applying a plan."""

import os
import threading
import time

import pytest

import _corvantine_testing as testing
import corvantine

HEX_MESSAGE = "event_id must contain exactly 32 hexadecimal characters"
POLICY_MESSAGE = ("policy must be keep_from, keep_latest_events, keep_newer_than, or "
                  "target_log_bytes")
NEGATIVE_MESSAGE = "policy value must be non-negative"


# Argument errors, each raised before any engine call.
@pytest.mark.parametrize("call, error, message", [
    (lambda db: db.retention_status("0"), TypeError, None),
    (lambda db: db.plan_retention(), TypeError,
     "Corvantine.plan_retention() missing 1 required positional argument: 'keep_from'"),
    (lambda db: db.plan_retention(None), TypeError, None),
    (lambda db: db.plan_retention(-1), OverflowError, None),
    (lambda db: db.create_retention_anchor(2**64), OverflowError, None),
    (lambda db: db.plan_retention_policy("KEEP_FROM", 1), ValueError, POLICY_MESSAGE),
    (lambda db: db.plan_retention_policy("keep_from ", 1), ValueError, POLICY_MESSAGE),
    (lambda db: db.plan_retention_policy("nope", -1), ValueError, POLICY_MESSAGE),
    (lambda db: db.plan_retention_policy("keep_from", -1), ValueError, NEGATIVE_MESSAGE),
    (lambda db: db.plan_retention_policy("keep_latest_events", -1), ValueError,
     NEGATIVE_MESSAGE),
    (lambda db: db.plan_retention_policy("target_log_bytes", -2**63), ValueError,
     NEGATIVE_MESSAGE),
    (lambda db: db.plan_retention_policy("keep_newer_than", 2**63), OverflowError, None),
    (lambda db: db.plan_retention_policy("keep_from", 1.0), TypeError,
     "argument 'value': 'float' object cannot be interpreted as an integer"),
    (lambda db: db.plan_retention_policy(0, 1), TypeError,
     "argument 'policy': 'int' object cannot be converted to 'PyString'"),
    (lambda db: db.apply_retention("a" * 31), corvantine.InvalidArgumentError, HEX_MESSAGE),
    (lambda db: db.apply_retention("g" * 32), corvantine.InvalidArgumentError, HEX_MESSAGE),
    (lambda db: db.apply_retention(b"a" * 32), TypeError, None),
    (lambda db: db.register_branch_bootstrap("main", 0, bytearray(b"x")), TypeError,
     "argument 'checkpoint': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda db: db.register_branch_bootstrap("nope", 0, bytearray(b"x")), TypeError, None),
    (lambda db: db.register_consumer_bootstrap("c", 0, memoryview(b"x")), TypeError, None),
    (lambda db: db.register_consumer_bootstrap("c", 0, "x"), TypeError, None),
    (lambda db: db.register_consumer_bootstrap("c", -1, b"x"), OverflowError, None),
    (lambda db: db.consumer_bootstrap(None), TypeError, None),
    (lambda db: db.branch_bootstrap("nope"), corvantine.NotFoundError, None),
    (lambda db: db.register_branch_bootstrap("nope", 0, b"x"), corvantine.NotFoundError, None),
])
def test_argument_errors(db, call, error, message):
    with pytest.raises(error) as raised:
        call(db)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    assert db.head() == 0


SEGMENT_BYTES = 4096
PAD = "x" * 300  # about a tenth of a segment per event
PLAN_KEYS = ["plan_id", "generation", "requested_floor", "effective_floor", "current_floor",
             "durable_head", "reclaimable_bytes", "reclaimable_segments", "blockers"]
STATUS_KEYS = ["database_id", "generation", "floor", "durable_head", "requested_floor",
               "effective_floor", "anchor_ready", "reclaimable_bytes", "reclaimable_segments",
               "blockers", "open_readers", "open_feeds", "consumers", "cleanup"]
ANCHOR_KEYS = ["format_version", "database_id", "floor", "head", "bytes", "checksum",
               "projection_checkpoints", "branch_bootstraps", "consumer_bootstraps",
               "bootstrap_bytes", "system_records"]


def append_orders(db, first, count):
    for n in range(first, first + count):
        db.append_batch("orders", [{"body": {"id": f"k{n % 7}", "n": n, "pad": PAD}}],
                        durability="sync")


def segment_files(path):
    return sorted(name for name in os.listdir(os.path.join(path, "log"))
                  if name.endswith(".seg"))


def kinds(blockers):
    return [blocker["kind"] for blocker in blockers]


def prepare(path):
    """A database in small segments with a view, a branch forked early and a consumer that
    acknowledged position 1: everything that can stand in retention's way."""
    db = testing.open_segmented(path, SEGMENT_BYTES)
    db.register_view("orders", "id")
    append_orders(db, 0, 40)
    fork = db.fork("orders", 5)
    with db.watch(consumer_id="mailer", page_batches=1, timeout=0) as watch:
        next(watch)
        assert watch.ack() == 1
    append_orders(db, 40, 40)
    return db, fork


def test_the_whole_retention_workflow(path):
    db, fork = prepare(path)
    keep = 60
    status = db.retention_status(keep)
    assert list(status) == STATUS_KEYS
    floor = status["effective_floor"]
    assert 0 < floor <= keep and status["floor"] == 0 and status["durable_head"] == 80
    assert status["blockers"] == [
        {"kind": "engine_anchor_unavailable"},
        {"kind": "branch_requires_bootstrap", "branch": fork, "fork_position": 5},
        {"kind": "projection_requires_bootstrap", "name": "orders"},
        {"kind": "consumer_requires_bootstrap", "consumer_id": "mailer", "position": 1},
    ]
    assert status["consumers"] == [{"consumer_id": "mailer", "position": 1,
                                    "behind_effective_floor": True,
                                    "bootstrap_available": False}]
    assert status["cleanup"] == {"complete": True, "pending_bytes": 0, "pending_segments": []}
    assert not status["anchor_ready"]
    segments = status["reclaimable_segments"]
    assert [list(segment) for segment in segments] == [["base_position", "bytes"]] * len(segments)
    assert sum(segment["bytes"] for segment in segments) == status["reclaimable_bytes"]
    assert segments[-1]["base_position"] < floor

    reader = db.open_reader("orders")
    plan = db.plan_retention(keep)
    assert list(plan) == PLAN_KEYS
    assert plan["blockers"][-1] == {"kind": "maintenance_handles_open", "readers": 1, "feeds": 0}
    with pytest.raises(corvantine.ConflictError, match="^maintenance_handles_open: "):
        db.create_retention_anchor(keep)
    reader.close()  # one blocker fewer: the plan no longer matches
    with pytest.raises(corvantine.ConflictError, match="^retention_plan_stale: "):
        db.apply_retention(plan["plan_id"])
    with pytest.raises(corvantine.ConflictError, match="^retention_blocked: "):
        db.apply_retention(db.plan_retention(keep)["plan_id"])

    assert db.register_branch_bootstrap(fork, keep, b"branch state") == floor
    assert db.register_feed_bootstrap("mailer", keep, b"mailer state") == floor
    db.register_feed_bootstrap("auditor", keep, b"", branch=fork, codec="json", codec_version=2)
    anchor = db.create_retention_anchor(keep)
    assert list(anchor) == ANCHOR_KEYS
    assert (anchor["floor"], anchor["head"], anchor["database_id"]) == (
        floor, 80, status["database_id"])
    assert (anchor["projection_checkpoints"], anchor["branch_bootstraps"],
            anchor["consumer_bootstraps"], anchor["bootstrap_bytes"]) == (1, 1, 2, 24)
    assert (db.branch_bootstrap(fork), db.branch_bootstrap("main")) == (b"branch state", None)
    assert (db.consumer_bootstrap("mailer"), db.consumer_bootstrap("x")) == (b"mailer state", None)
    assert db.retention_status(keep)["consumers"][0]["bootstrap_available"]

    plan = db.plan_retention(keep)
    assert plan["blockers"] == [] and plan["reclaimable_segments"] == segments
    applied = db.apply_retention(plan["plan_id"].upper())
    assert applied == {"generation": plan["generation"] + 1, "floor": floor,
                       "reclaimed_bytes": plan["reclaimable_bytes"]}
    with pytest.raises(corvantine.ConflictError, match="^retention_plan_unknown: "):
        db.apply_retention(plan["plan_id"])
    assert min(int(name[:20]) for name in segment_files(path)) == floor
    db.close()

    with corvantine.open(path) as db:
        assert db.retention_floor() == floor
        assert [row["offset"] for row in db.replay("orders")] == list(range(floor, 80))
        with pytest.raises(corvantine.PositionUnavailableError) as raised:
            db.replay("orders", start=0)
        assert raised.value.bootstrap is None
        assert db.view("orders").len() == 7
        # An anchor created, not applied: bootstraps still come from the one in force.
        assert db.create_retention_anchor(80)["consumer_bootstraps"] == 0
        assert db.consumer_bootstrap("mailer") == b"mailer state"
        resume_the_consumer_from_its_bootstrap(db, floor)
        # A bootstrap registered for a branch is offered to a watch of that branch only.
        with pytest.raises(corvantine.PositionUnavailableError) as raised:
            db.watch(consumer_id="auditor", branch=fork, start=0)
        offered = raised.value.bootstrap
        assert (offered["branches"], offered["codec"], offered["codec_version"]) == (
            [db.branch_ancestry(fork)[-1]["id"]], "json", 2)
        with pytest.raises(corvantine.PositionUnavailableError) as raised:
            db.watch(consumer_id="auditor", start=0)
        assert raised.value.bootstrap is None


def resume_the_consumer_from_its_bootstrap(db, floor):
    with pytest.raises(corvantine.PositionUnavailableError) as raised:
        db.watch(consumer_id="mailer")
    descriptor = raised.value.bootstrap
    assert {key: descriptor[key] for key in ["consumer_id", "floor", "resume_from",
                                             "byte_length", "codec", "codec_version", "branches",
                                             "streams", "event_types"]} == {
        "consumer_id": "mailer", "floor": floor, "resume_from": floor, "byte_length": 12,
        "codec": "opaque", "codec_version": 1, "branches": [], "streams": [], "event_types": []}
    assert db.fetch_feed_bootstrap(descriptor, 12) == b"mailer state"
    for call, error in [
        (lambda: db.fetch_feed_bootstrap(descriptor, 11), corvantine.ResourceLimitError),
        (lambda: db.fetch_feed_bootstrap(descriptor, 0), corvantine.ResourceLimitError),
        (lambda: db.resume_watch(dict(descriptor, checksum=descriptor["checksum"] ^ 1)),
         corvantine.ConflictError),
        (lambda: db.resume_watch(dict(descriptor, consumer_id="other")),
         corvantine.NotFoundError),
    ]:
        with pytest.raises(error):
            call()
    with db.resume_watch(descriptor, namespace="orders", timeout=0) as watch:
        assert [row["offset"] for row in watch] == list(range(floor, 80))
        assert watch.ack() == 80
    with db.watch(consumer_id="mailer", timeout=0) as watch:
        assert list(watch) == []


@pytest.mark.parametrize("policy, value, selected, explanation", [
    ("keep_from", 30, 30, "selected explicit position 30"),
    ("keep_latest_events", 10, 30, "selected position 30 to keep the latest 10 event(s)"),
    ("keep_latest_events", 0, 40, "selected position 40 to keep the latest 0 event(s)"),
    ("keep_latest_events", 1000, 0, "selected position 0 to keep the latest 1000 event(s)"),
    # A signed cutoff: -5 is before every event, the largest value after all of them.
    ("keep_newer_than", -5, 0, "selected earliest event at or after unix-nanosecond cutoff -5"),
    ("keep_newer_than", 2**63 - 1, 40,
     "selected earliest event at or after unix-nanosecond cutoff 9223372036854775807"),
])
def test_policy_previews(path, policy, value, selected, explanation):
    db = testing.open_segmented(path, SEGMENT_BYTES)
    append_orders(db, 0, 40)
    preview = db.plan_retention_policy(policy, value)
    assert list(preview) == ["policy", "value", "selected_floor", "target_satisfied",
                             "explanation", "plan"]
    assert list(preview.values())[:5] == [policy, value, selected, True, explanation]
    assert list(preview["plan"]) == PLAN_KEYS
    assert preview["plan"]["requested_floor"] == selected
    db.close()


def test_a_byte_target_keeps_whole_segments(path):
    db = testing.open_segmented(path, SEGMENT_BYTES)
    append_orders(db, 0, 40)
    preview = db.plan_retention_policy("target_log_bytes", 3 * SEGMENT_BYTES)
    plan = preview["plan"]
    assert preview["explanation"].startswith(
        f"selected position {preview['selected_floor']} with ")
    assert preview["explanation"].endswith(f" retained segment byte(s) for target {3 * 4096}")
    assert plan["reclaimable_segments"] and plan["effective_floor"] <= preview["selected_floor"]
    db.close()


def test_plans_stay_between_the_floor_and_the_durable_head(db):
    db.append("s", 1)
    assert db.retention_status() == db.retention_status(None)
    with pytest.raises(corvantine.InvalidArgumentError, match="^offset_beyond_head: "):
        db.plan_retention(1)  # the event is not durable yet
    db.commit()
    plan = db.plan_retention(1)
    assert (plan["requested_floor"], plan["effective_floor"], plan["blockers"]) == (
        1, 0, [{"kind": "engine_anchor_unavailable"}])
    with pytest.raises(corvantine.ConflictError, match="^retention_blocked: "):
        db.apply_retention(plan["plan_id"])
    with pytest.raises(corvantine.ConflictError, match="^retention_plan_unknown: "):
        db.apply_retention("0" * 32)


@pytest.mark.slow
def test_retention_over_full_size_segments(path):
    """Two full 64 MiB segments reclaimed behind an anchor, as the engine rolls them by
    default: some 130 MiB written and read back once, a few seconds."""
    megabyte = {"pad": "x" * (1 << 20)}
    with corvantine.open(path) as db:
        for _ in range(17):
            db.append_batch("blobs", [{"body": megabyte}] * 8)
        head = db.commit()
        assert len(segment_files(path)) == 3
        anchor = db.create_retention_anchor(head)
        plan = db.plan_retention(head)
        assert plan["blockers"] == [] and anchor["floor"] == plan["effective_floor"]
        sizes = [segment["bytes"] for segment in plan["reclaimable_segments"]]
        assert len(sizes) == 2 and min(sizes) >= 64 << 20
        assert db.apply_retention(plan["plan_id"])["reclaimed_bytes"] == sum(sizes)
    assert len(segment_files(path)) == 1
    with corvantine.open(path) as db:
        assert db.retention_floor() == plan["effective_floor"]
        assert len(db.replay("blobs")) == head - plan["effective_floor"]


def retain_while_reads_come_and_go(db):
    """Retains up to the head, again whenever an open reader stands in the way."""
    while True:
        try:
            db.create_retention_anchor(db.head())
            db.apply_retention(db.plan_retention(db.head())["plan_id"])
            return
        except (corvantine.ConflictError, corvantine.InvalidArgumentError):
            pass


def test_reads_from_the_floor_never_miss_it_while_retention_moves_it(path):
    """replay and history without a start resolve the floor as their reader opens, so a
    retention applied meanwhile never leaves them below it."""
    db = testing.open_segmented(path, SEGMENT_BYTES)
    append_orders(db, 0, 20)
    failures = []
    done = threading.Event()

    def read():
        while not done.is_set():
            try:
                db.replay("orders")
                db.history("orders")
            except Exception as error:  # noqa: BLE001 - any failure is the finding
                failures.append(error)
                return
            time.sleep(0.0005)  # a moment without an open reader, which an anchor needs

    reader = threading.Thread(target=read)
    reader.start()
    try:
        for start in range(20, 200, 20):
            append_orders(db, start, 20)
            retain_while_reads_come_and_go(db)
    finally:
        done.set()
        reader.join()
    assert db.retention_floor() > 0
    assert failures == []
