"""append, append_receipt, append_branch and append_batch."""

import re

import pytest

import corvantine
from conftest import bodies

HEX32 = re.compile("^[0-9a-f]{32}$")
RECEIPT_KEYS = ["batch_id", "first_position", "last_position", "stream_id",
                "previous_revision", "current_revision", "durability"]


def test_receipt_dict(db):
    first = db.append_receipt("s", {"a": 1})
    assert list(first) == RECEIPT_KEYS
    assert HEX32.match(first["batch_id"]) and HEX32.match(first["stream_id"])
    assert [first[k] for k in RECEIPT_KEYS[1:]] == [0, 0, first["stream_id"], None, 0, "buffered"]
    batch = db.append_batch("s", [{"body": 1}, {"body": 2}])
    assert (batch["first_position"], batch["last_position"]) == (1, 2)
    assert (batch["previous_revision"], batch["current_revision"]) == (0, 2)
    assert batch["stream_id"] == first["stream_id"]
    assert db.append("s", 3) == 3


def test_one_event_appends_use_the_defaults(db):
    db.append("s", None)
    row = db.replay("s")[0]
    assert (row["event_type"], row["schema_version"], row["codec"], row["body"]) == (
        "application.json", 1, "json", None)


@pytest.mark.parametrize("expected, ok", [
    (None, True), ("any", True), (0, True), (2**64 - 1, False), ("no_stream", False),
])
def test_expected_revisions_that_parse(db, expected, ok):
    db.append("s", 0)
    if ok:
        db.append_batch("s", [{"body": 1}], expected_revision=expected)
    else:
        with pytest.raises(corvantine.ConflictError):
            db.append_batch("s", [{"body": 1}], expected_revision=expected)


@pytest.mark.parametrize("expected", [True, False, -1, 2**64, 1.0, "ANY", "No_Stream", b"any", []])
def test_expected_revisions_refused(db, expected):
    with pytest.raises(corvantine.InvalidArgumentError) as raised:
        db.append_batch("s", [{"body": 1}], expected_revision=expected)
    assert str(raised.value) == (
        "expected_revision must be None, 'any', 'no_stream', or a non-negative integer")


@pytest.mark.parametrize("word, receipt", [("buffered", "buffered"), ("flush", "flushed"),
                                           ("sync", "synced")])
def test_durability_words(db, word, receipt):
    assert db.append_batch("s", [{"body": 1}], durability=word)["durability"] == receipt
    assert db.durable_head() == (1 if word == "sync" else 0)


@pytest.mark.parametrize("word", ["flushed", "synced", "SYNC", ""])
def test_durability_words_refused(db, word):
    with pytest.raises(corvantine.InvalidArgumentError,
                       match="^durability must be 'buffered', 'flush', or 'sync'$"):
        db.append_batch("s", [{"body": 1}], durability=word)


def test_idempotent_retry_returns_the_first_receipt(db):
    events = [{"body": {"n": 1}, "metadata": {"m": "x"}}]
    first = db.append_batch("s", events, expected_revision="no_stream", idempotency_key="k")
    retry = db.append_batch("s", events, expected_revision="no_stream", idempotency_key=b"k")
    assert retry == first and db.head() == 1
    assert db.append_batch("s", events, expected_revision="no_stream", idempotency_key="k",
                           durability="sync")["durability"] == "synced"
    with pytest.raises(corvantine.ConflictError, match="^conflict: idempotency key already"):
        db.append_batch("s", [{"body": 2}], idempotency_key="k")
    with pytest.raises(corvantine.InvalidArgumentError, match="idempotency key must not be empty"):
        db.append_batch("s", events, idempotency_key="")


def test_a_synced_receipt_outlives_catalog_rewrites_right_after_reopens(path):
    """Each reopen rewrites the catalog checkpoint at once (a fork), before the tables it
    builds in the background are in: the receipts and keys it stores must be whole."""
    with corvantine.open(path) as db:
        for i in range(3):
            db.append_batch("s", [{"body": {"i": i}}], idempotency_key=f"k{i}", durability="sync")
    for position in (1, 2, 3):
        with corvantine.open(path) as db:
            db.fork("s", position)
    with corvantine.open(path) as db:
        retry = db.append_batch("s", [{"body": {"i": 0}}], idempotency_key="k0")
        assert retry["durability"] == "synced" and retry["first_position"] == 0
        assert db.head() == 3


def test_a_stored_event_id_retries_only_its_own_batch(db):
    event = {"body": {"n": 1}, "event_id": "ab" * 16}
    first = db.append_batch("orders", [dict(event)])
    assert db.append_batch("orders", [dict(event)]) == first and db.head() == 1
    with pytest.raises(corvantine.ConflictError,
                       match="^conflict: event ID already exists with different content$"):
        db.append_batch("payments", [dict(event)], idempotency_key="fresh")
    assert db.head() == 1 and db.replay("payments") == []


def test_event_dict_fields(db):
    event_id = "ab" * 16
    db.append_batch("s", [{"body": [1], "event_type": "order.placed", "schema_version": True,
                           "event_id": event_id, "metadata": {"b": "2", "a": b"1"}, "other": 0}])
    row = db.replay("s")[0]
    assert (row["event_type"], row["schema_version"], row["event_id"]) == (
        "order.placed", 1, event_id)
    assert row["metadata"] == {"a": b"1", "b": b"2", "corvantine.stream_name": b"s"}
    assert list(row["metadata"]) == sorted(row["metadata"])


class EventDict(dict):
    def __getitem__(self, key):
        raise AssertionError("entries are read from the dict's own storage")


@pytest.mark.parametrize("events, error, message", [
    ([1], corvantine.InvalidArgumentError, "each batch event must be a dict with a 'body' field"),
    ([{}], corvantine.InvalidArgumentError, "batch event is missing required 'body'"),
    ([{"event_id": "x"}, 1], corvantine.InvalidArgumentError,
     "batch event is missing required 'body'"),
    ([{"body": 1}, {"body": 1, "event_type": None}], TypeError,
     "'NoneType' object cannot be converted to 'PyString'"),
    ([{"body": (), "schema_version": "1"}], TypeError,
     "'str' object cannot be interpreted as an integer"),
    ([{"body": 1, "schema_version": 2**32}], OverflowError, None),
    ([{"body": 1, "schema_version": -1}], OverflowError, None),
    ([{"body": 1, "event_id": 5}], TypeError, "'int' object cannot be converted to 'PyString'"),
    ([{"body": (), "metadata": None}], corvantine.InvalidArgumentError,
     "event metadata must be a dict"),
    ([{"body": 1, "metadata": {1: "x"}}], TypeError,
     "'int' object cannot be converted to 'PyString'"),
    ([{"body": (1,)}], ValueError, "object of type tuple is not JSON-serializable"),
    ([], corvantine.InvalidArgumentError,
     "invalid_argument: invalid argument: append batch must contain at least one event"),
])
def test_event_dicts_refused_in_order(db, events, error, message):
    with pytest.raises(error) as raised:
        db.append_batch("s", events)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    assert db.head() == 0


def test_event_dict_subclass_is_read_from_its_storage(db):
    db.append_batch("s", [EventDict(body=7)])
    assert bodies(db.replay("s")) == [7]


@pytest.mark.parametrize("call, message", [
    (lambda db: db.append_batch("s", (1,)),
     "argument 'events': 'tuple' object cannot be converted to 'PyList'"),
    (lambda db: db.append_batch(1, []),
     "argument 'namespace': 'int' object cannot be converted to 'PyString'"),
    (lambda db: db.append_batch("s", [], durability=None),
     "argument 'durability': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda db: db.append_batch("s", [], "main"),
     "Corvantine.append_batch() takes 2 positional arguments but 3 were given"),
    (lambda db: db.append_batch("s"),
     "Corvantine.append_batch() missing 1 required positional argument: 'events'"),
    (lambda db: db.append(), "Corvantine.append() missing 2 required positional arguments: "
     "'namespace' and 'event'"),
    (lambda db: db.append_branch(), "Corvantine.append_branch() missing 3 required positional "
     "arguments: 'branch', 'namespace', and 'event'"),
    (lambda db: db.append("s", 1, event=1),
     "Corvantine.append() got multiple values for argument 'event'"),
])
def test_argument_binding(db, call, message):
    with pytest.raises(TypeError) as raised:
        call(db)
    assert str(raised.value) == message


def test_branch_lookup_order(db):
    # The event converts before the branch is looked up...
    with pytest.raises(ValueError, match="tuple"):
        db.append_branch("nope", "s", ())
    # ...while append_batch looks the branch up before checking its words.
    with pytest.raises(corvantine.NotFoundError):
        db.append_batch("s", [{"body": 1}], branch="nope", durability="never")


def test_append_branch_and_batch_on_a_fork(db):
    db.append("s", "shared")
    fork = db.fork("s", 1)
    assert db.append_branch(fork, "s", "fork one") == 1
    # Revisions count per branch: the fork's first event of "s" was its revision 0.
    receipt = db.append_batch("s", [{"body": "fork two"}], branch=fork, expected_revision=0)
    assert receipt["current_revision"] == 1
    assert bodies(db.branch_history(fork, "s")) == ["shared", "fork one", "fork two"]
    assert bodies(db.replay("s")) == ["shared"]
