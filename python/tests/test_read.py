"""replay, history, open_reader and the Reader class."""

import pytest

import _corvantine_testing as testing
import corvantine
from conftest import bodies, raise_retention_floor, roll_log

ROW_KEYS = ["offset", "timestamp_ms", "event_id", "batch_id", "batch_index", "branch_id",
            "namespace", "stream_revision", "event_type", "schema_version", "codec", "metadata",
            "body"]


def test_row_dict(db):
    receipt = db.append_batch("orders", [{"body": {"n": 1}}, {"body": 2}])
    rows = db.replay("orders")
    assert [list(row) for row in rows] == [ROW_KEYS, ROW_KEYS]
    row = rows[1]
    assert (row["offset"], row["batch_index"], row["stream_revision"]) == (1, 1, 1)
    assert row["batch_id"] == receipt["batch_id"]
    assert row["branch_id"] == "0" * 32
    assert (row["namespace"], row["codec"]) == ("orders", "json")
    assert row["metadata"]["corvantine.stream_name"] == b"orders"
    assert [type(row[k]) for k in ROW_KEYS[:6]] == [int, int, str, str, int, str]
    assert isinstance(row["timestamp_ms"], int) and row["timestamp_ms"] > 1_600_000_000_000


def test_bytes_codec_body_is_returned_as_bytes(path):
    testing.append_bytes_event(path, "raw", b"\x00not json\xff")
    with corvantine.open(path) as db:
        db.append("raw", {"json": True})
        rows = db.replay("raw")
    assert [(row["codec"], row["body"]) for row in rows] == [
        ("bytes", b"\x00not json\xff"), ("json", {"json": True})]


def test_whole_stream_reads(db):
    for i in range(3):
        db.append("a", i)
        db.append("b", -i)
    assert bodies(db.replay("a")) == [0, 1, 2]
    assert bodies(db.replay("a", 2, 5)) == [1, 2]
    assert db.history("b") == db.replay("b")
    assert db.replay("none") == [] and db.replay("a", start=6) == []
    with pytest.raises(corvantine.InvalidArgumentError, match="^offset_beyond_head: offset 7"):
        db.replay("a", end=7)
    with pytest.raises(TypeError, match="^argument 'start': 'NoneType' object cannot be"):
        db.replay("a", start=None)
    with pytest.raises(OverflowError):
        db.replay("a", start=-1)


def test_reads_without_start_begin_at_the_retention_floor(path):
    with corvantine.open(path) as db:
        for i in range(2):
            db.append("s", i)
    roll_log(path, 2)
    with corvantine.open(path) as db:
        for i in range(2, 4):
            db.append("s", i)
        fork = db.fork("s", 4)
        db.commit()
    raise_retention_floor(path, 2)
    with corvantine.open(path) as db:
        assert db.retention_floor() == 2
        assert bodies(db.replay("s")) == bodies(db.history("s")) == [2, 3]
        assert bodies(db.branch_history(fork, "s")) == [2, 3]
        assert bodies(db.replay("s", start=3)) == [3]


@pytest.mark.parametrize("arguments, message", [
    ({"page_events": 0}, "resource_limit: page events is 0, maximum is 4096"),
    ({"page_events": 5000}, "resource_limit: page events is 5000, maximum is 4096"),
    ({"page_bytes": 0}, "resource_limit: page bytes is 0, maximum is 16777216"),
    ({"page_bytes": 16777217}, "resource_limit: page bytes is 16777217, maximum is 16777216"),
])
def test_page_limits(db, arguments, message):
    with pytest.raises(corvantine.ResourceLimitError) as raised:
        db.open_reader("s", **arguments)
    assert str(raised.value) == message


def pages(reader):
    result = []
    while True:
        page = reader.next_page()
        assert list(page) == ["records", "continuation", "done"]
        result.append((bodies(page["records"]), page["continuation"], page["done"]))
        if page["done"]:
            return result


def test_paging(db):
    for i in range(5):
        db.append("s", i)
    db.append("other", "x")
    assert pages(db.open_reader("s", page_events=2)) == [
        ([0, 1], 2, False), ([2, 3], 4, False), ([4], 6, True)]
    assert pages(db.open_reader("s", page_bytes=1)) == [
        ([0], 1, False), ([1], 2, False), ([2], 3, False), ([3], 4, False), ([4], 6, True)]
    assert pages(db.open_reader("s", start=1, end=3)) == [([1, 2], 3, True)]
    assert pages(db.open_reader("other", end=2)) == [([], 2, True)]


def test_reader_of_an_empty_stream(db):
    assert pages(db.open_reader("s")) == [([], 0, True)]


def test_reader_lifecycle(db):
    db.append("s", 1)
    reader = db.open_reader("s")
    assert reader.cancel() is None
    with pytest.raises(corvantine.CancelledError, match="^cancelled: reader was cancelled$"):
        reader.next_page()
    assert reader.close() is None
    assert reader.close() is None
    for call in (reader.next_page, reader.cancel):
        with pytest.raises(RuntimeError, match="^reader is closed$") as raised:
            call()
        assert type(raised.value) is RuntimeError


def test_long_reads_match_the_pages_they_are_made_of(db):
    # Many pages, many batches (so ids and timestamps change between rows), and
    # more distinct keys than a read keeps, some long, some repeated.
    key = lambda i: f"k{i % 700}" + ("x" * 70 if i % 5 == 0 else "")
    for b in range(30):
        db.append_batch("s", [{"body": {key(b * 100 + i): i, "same": [b, {"n": i}], "z": None}}
                              for i in range(100)])
        db.append("other", b)
    rows = db.replay("s")
    reader = db.open_reader("s", page_events=97)
    paged = []
    while True:
        page = reader.next_page()
        paged += page["records"]
        if page["done"]:
            break
    reader.close()
    assert rows == paged and len(rows) == 3000
    assert [row["stream_revision"] for row in rows] == list(range(3000))
    assert len({row["batch_id"] for row in rows}) == 30
    assert all(rows[i]["body"][key(i)] == i % 100 for i in range(3000))


def test_reads_leave_the_cyclic_collector_as_they_found_it(db):
    import gc
    db.append_batch("s", [{"body": {"n": [i]}} for i in range(3000)])
    assert gc.isenabled()
    rows = db.replay("s")
    assert gc.isenabled()
    gc.disable()
    try:
        assert db.replay("s") == rows
        assert not gc.isenabled()
    finally:
        gc.enable()
    # The rows are ordinary tracked objects: a cycle made through them is collected.
    rows[0]["body"]["n"].append(rows)
    del rows
    assert gc.collect() > 0


def test_a_read_that_fails_while_the_next_page_is_on_its_way(db):
    import sys
    deep = 0
    for _ in range(100):
        deep = [deep]
    db.append_batch("s", [{"body": i} for i in range(10)] + [{"body": deep}] +
                    [{"body": i} for i in range(2490)])
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(60)
    try:
        with pytest.raises(RecursionError):
            db.replay("s")
    finally:
        sys.setrecursionlimit(limit)
    assert len(db.replay("s")) == 2501
    db.append("s", "after")
    assert db.head() == 2502
