"""Module initialisation, `open`, argument binding and the database lifecycle."""

import gc
import inspect
import os
import pathlib

import pytest

import corvantine
from conftest import DESCRIPTOR, bodies

CLOSED = "engine_closed: engine handle is closed"
EXCEPTIONS = [
    "CorvantineError", "InvalidArgumentError", "ConflictError", "NotFoundError", "LockedError",
    "IoError", "CorruptionError", "UnsupportedFormatError", "CodecError", "ResourceLimitError",
    "CancelledError", "PositionUnavailableError",
]


WATCH_DOC = (
    "A blocking iterator over events as they become durable \u2014 the\n"
    "committed-batch feed worn as `tail -f`. Yields the same row dicts as\n"
    "`replay`, releases the GIL while waiting, and stays responsive to\n"
    "Ctrl+C by waking every `WATCH_WAIT_CHUNK_MILLIS` to deliver signals.")


def test_module_attributes_in_order():
    names = [name for name in vars(corvantine) if name == "__version__" or name[0] != "_"]
    assert names == ["Corvantine", "View", "Reader", "Watch", "open", *EXCEPTIONS, "__version__"]
    assert corvantine.__version__ == "0.2.0"


@pytest.mark.parametrize("cls", [corvantine.Corvantine, corvantine.View, corvantine.Reader,
                                 corvantine.Watch])
def test_classes_are_not_constructible_builtins(cls):
    with pytest.raises(TypeError) as raised:
        cls()
    assert str(raised.value) == f"No constructor defined for {cls.__name__}"
    doc = WATCH_DOC if cls is corvantine.Watch else ""
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("builtins", cls.__name__, doc)
    with pytest.raises(TypeError):
        cls.extra = 1


@pytest.mark.parametrize("function, signature", [
    (corvantine.open, "(path, commit_every_bytes=None, commit_every_count=None, "
     "commit_every_millis=None, snapshot_every_events=None, snapshot_every_bytes=None, "
     "snapshot_every_millis=None)"),
    (corvantine.Corvantine.open, "(path, commit_every_bytes=None, commit_every_count=None, "
     "commit_every_millis=None, snapshot_every_events=None, snapshot_every_bytes=None, "
     "snapshot_every_millis=None)"),
    (corvantine.Corvantine.append, "($self, namespace, event)"),
    (corvantine.Corvantine.append_batch, "($self, namespace, events, *, branch=None, "
     "expected_revision=None, idempotency_key=None, durability=\"buffered\")"),
    (corvantine.Corvantine.head, "($self)"),
    (corvantine.Corvantine.__exit__, "($self, _exc_type=None, _exc_value=None, _traceback=None)"),
    (corvantine.Corvantine.replay, "($self, namespace, start=0, end=None)"),
    (corvantine.Corvantine.open_reader,
     "($self, namespace, start=0, end=None, page_events=256, page_bytes=1048576)"),
    (corvantine.Corvantine.fork, "($self, namespace, at, parent=None)"),
    (corvantine.Corvantine.diff, "($self, left, right, namespace=None, left_until=None, "
     "right_until=None, page_events=256, page_bytes=1048576)"),
    (corvantine.Reader.next_page, "($self)"),
    (corvantine.Corvantine.register_view,
     "($self, name, key, indexes=None, where_field=None, where_value=None)"),
    (corvantine.Corvantine.verify_snapshot, "($self, snapshot_id)"),
    (corvantine.View.by, "($self, index, key)"),
    (corvantine.View.len, "($self)"),
    (corvantine.Corvantine.watch, "($self, namespace=None, branch=None, start=None, "
     "consumer_id=None, timeout=None, page_batches=128, page_bytes=1048576)"),
    (corvantine.Watch.ack, "($self)"),
    (corvantine.Corvantine.retention_status, "($self, keep_from=None)"),
    (corvantine.Corvantine.plan_retention_policy, "($self, policy, value)"),
    (corvantine.Corvantine.apply_retention, "($self, plan_id)"),
    (corvantine.Corvantine.register_branch_bootstrap, "($self, branch, keep_from, checkpoint)"),
    (corvantine.Corvantine.register_feed_bootstrap, "($self, consumer_id, keep_from, checkpoint, "
     "branch=None, codec=\"opaque\", codec_version=1)"),
    (corvantine.Corvantine.fetch_feed_bootstrap, "($self, descriptor, maximum_bytes)"),
    (corvantine.Corvantine.resume_watch, "($self, descriptor, namespace=None, timeout=None, "
     "page_batches=128, page_bytes=1048576)"),
    (corvantine.Corvantine.consumer_bootstrap, "($self, consumer_id)"),
    (corvantine.Watch.__exit__, "($self, _exc_type=None, _exc_value=None, _traceback=None)"),
])
def test_text_signatures(function, signature):
    assert function.__text_signature__ == signature
    inspect.signature(function)  # parses


def test_database_methods_in_registration_order():
    names = [name for name in vars(corvantine.Corvantine)
             if not name.startswith("__") or name in ("__enter__", "__exit__")]
    assert names == [
        "open", "append", "append_receipt", "append_batch", "append_branch", "commit", "head",
        "durable_head", "retention_floor", "retention_status", "plan_retention",
        "plan_retention_policy", "create_retention_anchor", "apply_retention",
        "register_branch_bootstrap", "register_consumer_bootstrap", "register_feed_bootstrap",
        "fetch_feed_bootstrap", "resume_watch", "branch_bootstrap", "consumer_bootstrap",
        "uncommitted_count", "close", "__enter__", "__exit__",
        "replay", "open_reader", "register_view", "deregister_view", "view", "fork", "watch",
        "diff", "history", "branch_history", "branch_ancestry", "archive_branch",
        "create_snapshot", "list_snapshots", "verify_snapshot", "delete_snapshot",
        "delete_all_derived_state", "rebuild_projection"]


def test_doc_lines():
    assert corvantine.Corvantine.append_receipt.__doc__ == (
        "Append one JSON event and return the complete stable engine receipt.")
    assert corvantine.Corvantine.append_batch.__doc__ == (
        "Atomically append a batch of fully described JSON events.")
    assert corvantine.Corvantine.head.__doc__ is None


@pytest.mark.parametrize("call, error, message", [
    (lambda p: corvantine.open(), TypeError,
     "open() missing 1 required positional argument: 'path'"),
    (lambda p: corvantine.Corvantine.open(), TypeError,
     "Corvantine.open() missing 1 required positional argument: 'path'"),
    (lambda p: corvantine.open(p, 1, 2, 3, 4, 5, 6, 7), TypeError,
     "open() takes from 1 to 7 positional arguments but 8 were given"),
    (lambda p: corvantine.open(p, bogus=1), TypeError,
     "open() got an unexpected keyword argument 'bogus'"),
    (lambda p: corvantine.open(p, path=p), TypeError,
     "open() got multiple values for argument 'path'"),
    (lambda p: corvantine.open(p.encode()), TypeError,
     "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda p: corvantine.open(pathlib.Path(p)), TypeError,
     "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda p: corvantine.open(p, commit_every_count=1.5), TypeError,
     "argument 'commit_every_count': 'float' object cannot be interpreted as an integer"),
    (lambda p: corvantine.open(p, commit_every_count=-1), OverflowError, None),
    (lambda p: corvantine.open(p, snapshot_every_millis=2**64), OverflowError, None),
    (lambda p: corvantine.open(p + "\0x"), corvantine.InvalidArgumentError,
     "path must not contain NUL"),
])
def test_open_argument_errors(path, call, error, message):
    with pytest.raises(error) as raised:
        call(path)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    assert not os.path.exists(path)


def test_open_takes_every_option(path):
    with corvantine.Corvantine.open(path, 0, 0, 0, 0, 0, 0) as db:
        assert db.append("s", 1) == 0


def test_relative_path_is_made_absolute(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    db = corvantine.open("relative")
    (tmp_path / "elsewhere").mkdir()
    os.chdir(tmp_path / "elsewhere")
    db.append("s", 1)
    db.close()
    assert not (tmp_path / "elsewhere" / "relative").exists()
    with corvantine.open(str(tmp_path / "relative")) as reopened:
        assert bodies(reopened.replay("s")) == [1]


def test_counters(db):
    assert [db.head(), db.durable_head(), db.uncommitted_count(), db.retention_floor()] == [0] * 4
    db.append("s", {"a": 1})
    assert [db.head(), db.durable_head(), db.uncommitted_count()] == [1, 0, 1]
    assert db.commit() == 1
    assert db.uncommitted_count() == 0
    assert repr(db) == "<corvantine.Corvantine head=1>"


def every_call(db, reader):
    return [
        lambda: db.append("s", 1), lambda: db.append_receipt("s", 1),
        lambda: db.append_batch("s", [{"body": 1}]), lambda: db.append_branch("main", "s", 1),
        db.commit, db.head, db.durable_head, db.uncommitted_count, db.retention_floor,
        lambda: db.replay("s"), lambda: db.history("s"), lambda: db.open_reader("s"),
        lambda: db.fork("s", 0), lambda: db.archive_branch("b"),
        lambda: db.branch_ancestry("main"), lambda: db.branch_history("main", "s"),
        lambda: db.diff("main", "main"), reader.next_page, reader.cancel,
        db.retention_status, lambda: db.plan_retention(0),
        lambda: db.plan_retention_policy("keep_newer_than", -1),
        lambda: db.create_retention_anchor(0), lambda: db.apply_retention("0" * 32),
        lambda: db.register_branch_bootstrap("main", 0, b""),
        lambda: db.register_consumer_bootstrap("c", 0, b""),
        lambda: db.register_feed_bootstrap("c", 0, b""),
        lambda: db.fetch_feed_bootstrap(DESCRIPTOR, 1), lambda: db.resume_watch(DESCRIPTOR),
        lambda: db.branch_bootstrap("main"), lambda: db.consumer_bootstrap("c"),
    ]


def test_every_call_after_close_raises_the_closed_error(db):
    reader = db.open_reader("s")
    db.close()
    for call in every_call(db, reader):
        with pytest.raises(corvantine.CancelledError) as raised:
            call()
        assert str(raised.value) == CLOSED
        assert isinstance(raised.value, RuntimeError)
    assert db.close() is None
    assert repr(db) == "<corvantine.Corvantine closed>"


def test_with_closes_and_lets_exceptions_through(path):
    opened = corvantine.open(path)
    with pytest.raises(KeyError, match="inside"):
        with opened as db:
            assert db is opened
            raise KeyError("inside")
    with pytest.raises(corvantine.CancelledError):
        opened.head()


def test_dropped_database_can_be_reopened(path):
    db = corvantine.open(path)
    db.append("s", 1)
    del db
    with corvantine.open(path) as db:
        assert db.head() == 1


def test_live_reader_keeps_the_database_open(path):
    db = corvantine.open(path)
    db.append("s", 1)
    reader = db.open_reader("s")
    del db
    gc.collect()
    with pytest.raises(corvantine.LockedError) as raised:
        corvantine.open(path)
    assert str(raised.value).startswith("locked: ")
    assert bodies(reader.next_page()["records"]) == [1]
    del reader
    with corvantine.open(path) as db:
        assert db.head() == 1
