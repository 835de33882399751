"""Watches: following durable events, acknowledging and resuming."""

import math
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import _corvantine_testing as testing
import corvantine
from conftest import DESCRIPTOR

ENV = dict(os.environ)


def offsets(rows):
    return [row["offset"] for row in rows]


def sync_batch(db, namespace, bodies):
    return db.append_batch(namespace, [{"body": body} for body in bodies], durability="sync")


def test_a_default_watch_follows_only_what_becomes_durable_after_it_opens(db):
    sync_batch(db, "s", [1, 2])
    watch = db.watch(timeout=0.05)
    assert list(watch) == []
    db.append("s", {"n": 3})  # buffered: not served before a commit
    assert list(watch) == []
    db.commit()
    assert [row["body"] for row in watch] == [{"n": 3}]


@pytest.mark.parametrize("timeout", [0, -1, math.nan])
def test_a_zero_timeout_still_returns_what_is_durable(db, timeout):
    sync_batch(db, "s", [1, 2, 3])
    assert offsets(db.watch(start=0, timeout=timeout)) == [0, 1, 2]


def test_a_watch_from_zero_replays_history_then_follows(db):
    sync_batch(db, "a", [1])
    sync_batch(db, "b", [2])
    watch = db.watch(start=0, timeout=0.05)
    assert [row["body"] for row in watch] == [1, 2]
    sync_batch(db, "a", [3])
    assert [row["body"] for row in watch] == [3]
    assert iter(watch) is watch


def test_a_namespace_filter_returns_only_that_stream(db):
    for namespace in ["a", "b", "a"]:
        sync_batch(db, namespace, [namespace])
    watch = db.watch(namespace="a", start=0, timeout=0)
    assert [row["namespace"] for row in watch] == ["a", "a"]


def test_a_consumer_resumes_where_it_acknowledged(path):
    with corvantine.open(path) as db:
        sync_batch(db, "s", [1, 2, 3])
        sync_batch(db, "s", [4])
        watch = db.watch(consumer_id="c", timeout=0)
        assert next(watch)["body"] == 1
        # Rows of the first batch are still queued: its start is acknowledged.
        assert watch.ack() == 0
        assert [row["body"] for row in watch] == [2, 3, 4]
        assert watch.ack() == 4
        assert db.watch(timeout=0).ack() == 4  # no consumer: nothing stored
    with corvantine.open(path) as db:
        sync_batch(db, "s", [5])
        assert [row["body"] for row in db.watch(consumer_id="c", timeout=0)] == [5]


def test_a_closed_watch_returns_its_queued_rows_then_refuses(db):
    sync_batch(db, "s", [1, 2])
    with db.watch(start=0) as watch:
        assert next(watch)["body"] == 1
    assert watch.close() is None
    assert next(watch)["body"] == 2
    with pytest.raises(RuntimeError, match="watch is closed"):
        next(watch)
    with pytest.raises(RuntimeError, match="watch is closed"):
        watch.ack()


def test_opening_a_watch_checks_its_arguments(db):
    cases = [
        (dict(page_batches=0), corvantine.ResourceLimitError),
        (dict(page_bytes=0), corvantine.ResourceLimitError),
        (dict(page_batches=-1), OverflowError),
        (dict(page_batches=None), TypeError),
        (dict(timeout="1"), TypeError),
        (dict(branch="nowhere"), corvantine.NotFoundError),
        (dict(consumer_id=""), corvantine.InvalidArgumentError),
        (dict(start=1), corvantine.PositionUnavailableError),
    ]
    for arguments, error in cases:
        with pytest.raises(error):
            db.watch(**arguments)


@pytest.mark.parametrize("call, message", [
    (lambda db: db.watch(timeout="1"), "argument 'timeout': must be real number, not str"),
    (lambda db: db.watch().__exit__(None, None, None, None),
     "Watch.__exit__() takes from 0 to 3 positional arguments but 4 were given"),
    (lambda db: db.watch().__exit__(tb=None),
     "Watch.__exit__() got an unexpected keyword argument 'tb'"),
])
def test_argument_type_errors_name_the_argument(db, call, message):
    with pytest.raises(TypeError) as raised:
        call(db)
    assert str(raised.value) == message


def test_a_sync_append_from_another_thread_wakes_a_waiting_watch(db):
    watch = db.watch()
    appender = threading.Timer(0.05, lambda: sync_batch(db, "s", ["late"]))
    appender.start()
    started = time.monotonic()
    row = next(watch)
    appender.join()
    assert row["body"] == "late"
    assert time.monotonic() - started < 30


def test_closing_the_database_wakes_a_waiting_watch(db):
    watch = db.watch()
    closer = threading.Timer(0.05, db.close)
    closer.start()
    with pytest.raises(corvantine.CancelledError):
        next(watch)
    closer.join()


def run_child(code, *args, **kwargs):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *args], env=ENV,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def test_ctrl_c_reaches_a_waiting_watch(path):
    child = run_child("""
        import sys, corvantine
        db = corvantine.open(sys.argv[1])
        watch = db.watch()
        print("waiting", flush=True)
        try:
            next(watch)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        """, path)
    assert child.stdout.readline() == "waiting\n"
    time.sleep(0.1)  # into the wait
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=30)
    assert out == "interrupted\n"


# A consumer that acknowledges after every row and is killed at a random
# row loses nothing on resuming; what it sees twice lies in one batch.
@pytest.mark.parametrize("kill_after", [1, 4, 6, 9])
def test_a_killed_consumer_resumes_without_losing_events(path, kill_after):
    with corvantine.open(path) as db:
        for batch in range(5):
            sync_batch(db, "s", [f"{batch}.{i}" for i in range(batch % 3 + 1)])
        batch_of = {row["offset"]: row["batch_id"] for row in db.replay("s")}
    code = f"""
        import os, signal, sys, corvantine
        db = corvantine.open(sys.argv[1])
        watch = db.watch(consumer_id="c", timeout=0)
        for count, row in enumerate(watch, 1):
            print(row["offset"], flush=True)
            watch.ack()
            if count == {kill_after}:
                os.kill(os.getpid(), signal.SIGKILL)
        """
    child = run_child(code, path)
    out, err = child.communicate(timeout=60)
    assert child.returncode == -signal.SIGKILL, err
    before = [int(line) for line in out.split()]
    assert len(before) == kill_after
    os.remove(os.path.join(path, "LOCK"))  # left by the killed process
    with corvantine.open(path) as db:
        after = offsets(db.watch(consumer_id="c", timeout=0))
    assert sorted(set(before) | set(after)) == sorted(batch_of)
    assert after == sorted(after)
    repeated = set(before) & set(after)
    assert len({batch_of[offset] for offset in repeated}) <= 1


HEX_MESSAGE = "event_id must contain exactly 32 hexadecimal characters"


def without(descriptor, *keys):
    return {key: value for key, value in descriptor.items() if key not in keys}


# Reading a descriptor dict: the first failing key, in key order, decides the error.
DESCRIPTOR_ERRORS = [
    (without(DESCRIPTOR, "checksum"), ValueError, "missing bootstrap field checksum"),
    (without(DESCRIPTOR, "checksum", "generation"), ValueError,
     "missing bootstrap field generation"),
    (dict(DESCRIPTOR, branches="ab" * 16), TypeError, "Can't extract `str` to `Vec`"),
    (dict(DESCRIPTOR, streams=5), TypeError, "'int' object cannot be converted to 'Sequence'"),
    (dict(DESCRIPTOR, branches=["a" * 31]), corvantine.InvalidArgumentError, HEX_MESSAGE),
    (dict(DESCRIPTOR, database_id="\u00e9" + "0" * 31), corvantine.InvalidArgumentError,
     HEX_MESSAGE),
    (dict(DESCRIPTOR, checkpoint_id=b"0" * 32), TypeError, None),
    (dict(DESCRIPTOR, event_types=["a", 1]), TypeError, None),
    (dict(DESCRIPTOR, consumer_id=None), TypeError, None),
    (dict(DESCRIPTOR, generation=1.0), TypeError, None),
    (dict(DESCRIPTOR, floor=-1), OverflowError, None),
    (dict(DESCRIPTOR, byte_length=2**64), OverflowError, None),
    (dict(DESCRIPTOR, checksum=2**32), OverflowError, None),
    (dict(DESCRIPTOR, codec_version=-1), OverflowError, None),
    # The first bad key wins even over a later missing one.
    (without(dict(DESCRIPTOR, floor=-1), "codec"), OverflowError, None),
]


@pytest.mark.parametrize("call", [
    lambda db, d: db.fetch_feed_bootstrap(d, 10),
    lambda db, d: db.resume_watch(d),
    lambda db, d: testing.raise_position_unavailable(d),
], ids=["fetch_feed_bootstrap", "resume_watch", "bootstrap attribute"])
@pytest.mark.parametrize("descriptor, error, message", DESCRIPTOR_ERRORS)
def test_descriptor_errors(db, call, descriptor, error, message):
    with pytest.raises(error) as raised:
        call(db, descriptor)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message


@pytest.mark.parametrize("call, error", [
    (lambda db: db.fetch_feed_bootstrap([DESCRIPTOR], 10), TypeError),
    (lambda db: db.fetch_feed_bootstrap(DESCRIPTOR, -1), OverflowError),
    (lambda db: db.fetch_feed_bootstrap(DESCRIPTOR, None), TypeError),
    (lambda db: db.resume_watch(None), TypeError),
    (lambda db: db.resume_watch(DESCRIPTOR, page_batches=None), TypeError),
    (lambda db: db.resume_watch(DESCRIPTOR, page_bytes=-1), OverflowError),
    # Arguments are converted before the descriptor is read.
    (lambda db: db.resume_watch(without(DESCRIPTOR, "floor"), namespace=1), TypeError),
    (lambda db: db.register_feed_bootstrap("c", 0, bytearray(b"x")), TypeError),
    (lambda db: db.register_feed_bootstrap("c", 0, "x"), TypeError),
    (lambda db: db.register_feed_bootstrap("c", -1, b"x"), OverflowError),
    (lambda db: db.register_feed_bootstrap(None, 0, b"x"), TypeError),
    (lambda db: db.register_feed_bootstrap("c", 0, b"x", codec=None), TypeError),
    (lambda db: db.register_feed_bootstrap("c", 0, b"x", codec_version=None), TypeError),
    (lambda db: db.register_feed_bootstrap("c", 0, b"x", codec_version=2**32), OverflowError),
    (lambda db: db.register_feed_bootstrap("c", 0, b"x", branch="nope"),
     corvantine.NotFoundError),
])
def test_feed_bootstrap_argument_errors(db, call, error):
    with pytest.raises(error) as raised:
        call(db)
    assert type(raised.value) is error
    assert db.head() == 0
