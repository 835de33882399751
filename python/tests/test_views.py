"""Views (register_view, view, View) and the snapshot calls."""

import os

import pytest

import corvantine

SNAPSHOT_KEYS = ["id", "projection", "cursor", "created_at_unix_nanos", "state_bytes"]


def orders(db):
    db.register_view("orders", "id", indexes={"by_state": "state"})
    db.append_batch("o", [{"body": {"id": "a1", "state": "open", "n": 1}},
                          {"body": {"id": "a2", "state": "paid", "n": 2}},
                          {"body": {"id": "b1", "state": "open", "n": 3}},
                          {"body": {"id": "a1", "state": "paid", "n": 4}},
                          {"body": ["not", "an", "object"]}], durability="sync")
    return db.view("orders")


def test_queries_by_key_index_range_and_prefix(db):
    view = orders(db)
    assert view.get("a1") == {"id": "a1", "state": "paid", "n": 4}
    assert view.get("zz") is None
    assert [d["id"] for d in view.by("by_state", "paid")] == ["a1", "a2"]
    assert [d["id"] for d in view.range("a", "b")] == ["a1", "a2"]
    assert view.range("b", "a") == []
    assert [d["id"] for d in view.prefix("")] == ["a1", "a2", "b1"]
    assert [d["id"] for d in view.prefix("b")] == ["b1"]
    assert view.len() == 3


def test_by_sends_the_key_text(db):
    db.register_view("v", "id", indexes={"n": "n", "flag": "flag"})
    db.append_batch("s", [{"body": {"id": "x", "n": 5, "flag": True}},
                          {"body": {"id": "y", "n": "5", "flag": None}}], durability="sync")
    view = db.view("v")
    assert [d["id"] for d in view.by("n", 5)] == ["x", "y"]
    assert [d["id"] for d in view.by("n", "5")] == ["x", "y"]
    assert [d["id"] for d in view.by("flag", True)] == ["x"]
    assert [d["id"] for d in view.by("flag", None)] == ["y"]
    with pytest.raises(corvantine.CorvantineError, match="^projection: index_not_found: nope$"):
        view.by("nope", 1)
    with pytest.raises(ValueError, match="not JSON-serializable"):
        view.by("n", {1, 2})


def test_a_view_sees_committed_events_only(db):
    db.register_view("v", "id")
    view = db.view("v")
    db.append("s", {"id": "a"})
    assert view.len() == 0
    db.commit()
    assert view.len() == 1
    assert view.get("a") == {"id": "a"}
    with pytest.raises(TypeError):
        view.len(db.durable_head())


def test_a_filter_needs_both_its_field_and_its_value(db):
    db.register_view("paid", "id", where_field="state", where_value="paid")
    db.append_batch("s", [{"body": {"id": "a", "state": "paid"}},
                          {"body": {"id": "b", "state": "open"}}], durability="sync")
    assert [d["id"] for d in db.view("paid").prefix("")] == ["a"]
    for kwargs in ({"where_field": "state"}, {"where_value": "paid"},
                   {"where_field": "state", "where_value": None}):
        with pytest.raises(corvantine.InvalidArgumentError, match="must be given together"):
            db.register_view("half", "id", **kwargs)
    with pytest.raises(ValueError, match="^object of type set is not JSON-serializable$"):
        db.register_view("half", "id", where_field="x", where_value={1})
    with pytest.raises(corvantine.NotFoundError):
        db.view("half")


def test_a_filter_value_nested_deeper_than_a_body_may_be_is_refused_as_the_body_is(db):
    deep = []
    for _ in range(299):
        deep = [deep]
    with pytest.raises(corvantine.CodecError) as refused:
        db.register_view("deep", "id", where_field="x", where_value=deep)
    with pytest.raises(corvantine.CodecError) as appended:
        db.append("s", deep)
    assert str(refused.value) == str(appended.value)
    with pytest.raises(corvantine.NotFoundError):
        db.view("deep")


@pytest.mark.parametrize("args, error, match", [
    (("v", ""), corvantine.InvalidArgumentError, "query key field is empty"),
    (("v", "id", ["x"]), TypeError,
     "^argument 'indexes': 'list' object cannot be converted to 'PyDict'$"),
    (("v", "id", {"x": 1}), TypeError,
     "^argument 'indexes': 'int' object cannot be converted to 'PyString'$"),
    ((1, "id"), TypeError, "name"),
    (("v", "id", None, 3, "x"), TypeError, "where_field"),
])
def test_register_view_refusals(db, args, error, match):
    with pytest.raises(error, match=match):
        db.register_view(*args)


def test_registration_is_durable_and_deregistration_too(path):
    with corvantine.open(path) as db:
        orders(db)
        db.register_view("orders", "id", indexes={"by_state": "state"})  # the same again
        db.register_view("gone", "id")
        assert db.deregister_view("gone") is True
        assert db.deregister_view("gone") is False
        assert db.deregister_view("never") is False
    with corvantine.open(path) as db:
        assert db.view("orders").len() == 3
        with pytest.raises(corvantine.NotFoundError, match="query handle was not found"):
            db.view("gone")


def test_a_view_keeps_its_handle_and_its_database(path):
    db = corvantine.open(path)
    view = orders(db)
    db.deregister_view("orders")
    with pytest.raises(corvantine.NotFoundError):
        view.len()
    db.register_view("orders", "id")
    assert db.view("orders").len() == 3
    del db  # the View keeps the engine open
    assert repr(view) == '<corvantine.View "orders">'
    with pytest.raises(corvantine.NotFoundError):
        view.len()


def test_a_view_of_a_closed_database_raises_cancelled(db):
    view = orders(db)
    db.close()
    with pytest.raises(corvantine.CancelledError, match="engine_closed"):
        view.get("a1")


@pytest.mark.parametrize("name, shown", [
    ('a"b\\c', '"a\\"b\\\\c"'),
    ("\t\r\n\0", '"\\t\\r\\n\\0"'),
    ("\x01\x7f", '"\\u{1}\\u{7f}"'),
    ("caf\u00e9 \u6771", '"caf\u00e9 \u6771"'),
    ("\x85\xa0\xad\u2028\u200b\ue000", '"\\u{85}\\u{a0}\\u{ad}\\u{2028}\\u{200b}\\u{e000}"'),
    ("e\u0301", '"e\\u{301}"'),
])
def test_view_repr_escapes_what_a_debug_string_escapes(db, name, shown):
    db.register_view(name, "id")
    assert repr(db.view(name)) == f"<corvantine.View {shown}>"


def test_view_repr_and_protocols(db):
    db.register_view('a"b\\c\n\x01', "id")
    view = db.view('a"b\\c\n\x01')
    assert repr(view) == '<corvantine.View "a\\"b\\\\c\\n\\u{1}">'
    db.register_view("abc", "id")
    assert repr(db.view("abc")) == '<corvantine.View "abc">' and len(repr(db.view("abc"))) == 23
    with pytest.raises(TypeError):
        len(view)
    with pytest.raises(TypeError):
        corvantine.View()


def test_rebuild_projection(db):
    view = orders(db)
    db.create_snapshot("orders")
    assert db.rebuild_projection("orders") is None
    assert db.list_snapshots("orders") == []
    assert view.len() == 3
    with pytest.raises(corvantine.NotFoundError):
        db.rebuild_projection("nope")


def test_snapshot_dicts_and_calls(db):
    orders(db)
    snapshot = db.create_snapshot("orders")
    assert list(snapshot) == SNAPSHOT_KEYS
    assert snapshot["id"].endswith(".snap") and snapshot["projection"] == "orders"
    assert snapshot["cursor"] == db.durable_head() == 5
    assert snapshot["state_bytes"] > 0 and snapshot["created_at_unix_nanos"] > 0
    assert db.verify_snapshot(snapshot["id"]) == snapshot
    assert db.list_snapshots("orders") == [snapshot]
    assert db.delete_snapshot(snapshot["id"]) is True
    assert db.delete_snapshot(snapshot["id"]) is False
    with pytest.raises(corvantine.IoError):
        db.verify_snapshot(snapshot["id"])
    for bad in ("x", "a/b.snap", "a\\b.snap"):
        with pytest.raises(corvantine.CorvantineError, match="invalid snapshot id$"):
            db.verify_snapshot(bad)
    with pytest.raises(TypeError, match="snapshot_id"):
        db.verify_snapshot(1)
    for call in (db.create_snapshot, db.list_snapshots):
        with pytest.raises(corvantine.NotFoundError, match="query handle was not found"):
            call("nope")


def test_delete_all_derived_state(db, path):
    assert db.delete_all_derived_state() is None
    view = orders(db)
    db.create_snapshot("orders")
    assert db.delete_all_derived_state() is None
    assert db.list_snapshots("orders") == []
    assert not os.path.exists(os.path.join(path, "derived"))
    assert view.len() == 3


def test_a_directory_named_like_a_snapshot_is_passed_over(path):
    with corvantine.open(path) as db:
        orders(db)
        snapshot = db.create_snapshot("orders")
        os.mkdir(os.path.join(path, "derived", "snapshots", "x.snap"))
        assert db.list_snapshots("orders") == [snapshot]
    with corvantine.open(path) as db:
        assert db.view("orders").len() == 3
        assert db.delete_all_derived_state() is None
        assert db.list_snapshots("orders") == []


def test_a_snapshot_heals_the_view_after_reopen(path):
    with corvantine.open(path, snapshot_every_events=2) as db:
        orders(db)
        db.view("orders").len()  # ready, so appends carry it and snapshots follow
        db.append_batch("o", [{"body": {"id": "c1"}}, {"body": {"id": "c2"}}], durability="sync")
        snapshots = db.list_snapshots("orders")
        assert snapshots and snapshots[0]["cursor"] == db.durable_head() == 7
    with corvantine.open(path) as db:
        view = db.view("orders")
        assert [d["id"] for d in view.prefix("c")] == ["c1", "c2"] and view.len() == 5


def test_a_snapshot_is_taken_at_the_durable_head(db):
    db.register_view("v", "id", where_field="x", where_value=1)
    db.append("s", {"id": "a", "x": 1})
    db.commit()
    assert db.create_snapshot("v")["cursor"] == 1
