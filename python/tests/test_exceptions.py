"""The exception classes and how engine errors reach them."""

import json
import os

import pytest

import _corvantine_testing as testing
import corvantine
from conftest import DESCRIPTOR, edit_manifest, raise_retention_floor, roll_log

C = corvantine
BASES = [
    (C.CorvantineError, RuntimeError), (C.InvalidArgumentError, ValueError),
    (C.ConflictError, ValueError), (C.NotFoundError, KeyError), (C.LockedError, OSError),
    (C.IoError, OSError), (C.CorruptionError, RuntimeError),
    (C.UnsupportedFormatError, RuntimeError), (C.CodecError, ValueError),
    (C.ResourceLimitError, ValueError), (C.CancelledError, RuntimeError),
    (C.PositionUnavailableError, ValueError),
]


@pytest.mark.parametrize("cls, base", BASES)
def test_classes(cls, base):
    assert cls.__bases__ == (base,)
    assert (cls.__module__, cls.__qualname__) == ("corvantine", cls.__name__)
    assert cls.__doc__ is None


# Every engine code with its kind, and the class it must reach.
CODES = [
    ("invalid_argument", 0, C.InvalidArgumentError),
    ("offset_beyond_head", 0, C.InvalidArgumentError),
    ("conflict", 1, C.ConflictError), ("branch_archived", 1, C.ConflictError),
    ("maintenance_handles_open", 1, C.ConflictError),
    ("retention_plan_unknown", 1, C.ConflictError),
    ("retention_blocked", 1, C.ConflictError), ("retention_plan_stale", 1, C.ConflictError),
    ("projection_bootstrap_incomplete", 1, C.ConflictError),
    ("projection_not_ready", 1, C.ConflictError), ("partition_not_ready", 1, C.ConflictError),
    ("feed_bootstrap_mismatch", 1, C.ConflictError), ("not_found", 2, C.NotFoundError),
    ("locked", 3, C.LockedError), ("corruption", 4, C.CorruptionError),
    ("snapshot_corrupt", 4, C.CorruptionError), ("unsupported_format", 5, C.UnsupportedFormatError),
    ("codec", 6, C.CodecError), ("invalid_json", 6, C.CodecError), ("io", 7, C.IoError),
    ("cancelled", 8, C.CancelledError), ("engine_closed", 8, C.CancelledError),
    ("resource_limit", 9, C.ResourceLimitError), ("internal", 10, C.CorvantineError),
    ("migration", 10, C.CorvantineError), ("projection", 10, C.CorvantineError),
    ("snapshot_internal", 10, C.CorvantineError),
    # The code selects this class whatever the kind says.
    ("position_unavailable", 0, C.PositionUnavailableError),
    ("position_unavailable", 4, C.PositionUnavailableError),
]


@pytest.mark.parametrize("code, kind, cls", CODES)
def test_engine_codes_reach_their_class(code, kind, cls):
    with pytest.raises(cls) as raised:
        testing.raise_engine_error(code, kind, b"what happened")
    error = raised.value
    assert type(error) is cls
    assert error.args == (f"{code}: what happened",)
    if cls is C.PositionUnavailableError:
        assert error.bootstrap is None
    else:
        assert not hasattr(error, "bootstrap")


def test_not_found_shows_its_message_quoted():
    with pytest.raises(C.NotFoundError) as raised:
        testing.raise_engine_error("not_found", 2, b"reader handle was not found")
    assert str(raised.value) == "'not_found: reader handle was not found'"


def test_messages_that_are_not_utf8_are_decoded_with_replacement():
    with pytest.raises(C.IoError) as raised:
        testing.raise_engine_error("io", 7, b"cannot open /data/\xff\xfe: denied")
    assert str(raised.value) == "io: cannot open /data/\ufffd\ufffd: denied"


def test_real_engine_errors(db, path, tmp_path):
    db.append("s", 1)
    fork = db.fork("s", 1)
    db.archive_branch(fork)
    reader = db.open_reader("s")
    reader.cancel()
    blocker = tmp_path / "file"
    blocker.write_text("")
    cases = [
        (lambda: db.archive_branch("main"), C.InvalidArgumentError,
         "invalid_argument: invalid argument: the default branch cannot be archived"),
        (lambda: db.replay("s", end=5), C.InvalidArgumentError,
         "offset_beyond_head: offset 5 beyond head"),
        (lambda: db.append_batch("s", [{"body": 1}], expected_revision="no_stream"),
         C.ConflictError, "conflict: stream revision conflict: expected NoStream, "
         "actual Some(StreamRevision(0))"),
        (lambda: db.append_branch(fork, "s", 1), C.ConflictError,
         "branch_archived: branch is archived: "),
        (lambda: db.branch_ancestry("nope"), C.NotFoundError,
         "not_found: branch handle was not found"),
        (lambda: corvantine.open(path), C.LockedError, "locked: "),
        (lambda: corvantine.open(str(blocker / "db")), C.IoError,
         "io: io: Not a directory (os error 20)"),
        (reader.next_page, C.CancelledError, "cancelled: reader was cancelled"),
        (lambda: db.open_reader("s", page_events=0), C.ResourceLimitError,
         "resource_limit: page events is 0, maximum is 4096"),
        (lambda: db.append("s", eval("[" * 129 + "]" * 129)), C.CodecError,
         "invalid_json: recursion limit exceeded at line 1 column 129"),
    ]
    for call, cls, text in cases:
        with pytest.raises(cls) as raised:
            call()
        assert raised.value.args[0].startswith(text)


def test_damaged_manifest_is_corruption(path):
    corvantine.open(path).close()
    with open(os.path.join(path, "manifest.json"), "w") as f:
        f.write("garbage")
    with pytest.raises(C.CorruptionError, match="^corruption: manifest error: expected value"):
        corvantine.open(path)


def test_a_retention_floor_that_is_no_segment_base_is_corruption(path):
    with corvantine.open(path) as db:
        db.append_batch("s", [{"body": 0}, {"body": 1}], durability="sync")
    raise_retention_floor(path, 1)  # a flipped digit: the manifest has no checksum
    with pytest.raises(C.CorruptionError, match="^corruption: manifest error: retention_floor 1 "
                       "is not the base of a segment on disk$"):
        corvantine.open(path)


def test_a_database_id_that_is_not_the_records_is_corruption(path):
    with corvantine.open(path) as db:
        db.append_batch("s", [{"body": 0}], durability="sync")
    with open(os.path.join(path, "manifest.json")) as f:
        database_id = json.load(f)["database_id"]
    flipped = [database_id[0] ^ 4] + database_id[1:]  # the manifest has no checksum
    edit_manifest(path, database_id=flipped)
    ids = [json.dumps(bytes_, separators=(",", ":")) for bytes_ in (flipped, database_id)]
    with pytest.raises(C.CorruptionError) as raised:
        corvantine.open(path)
    assert str(raised.value) == (
        "corruption: manifest error: database_id {} differs from the database id {} of the "
        "records in the log".format(*ids))


def test_read_below_the_retention_floor(path):
    with corvantine.open(path) as db:
        for i in range(2):
            db.append("s", i)
    roll_log(path, 2)
    with corvantine.open(path) as db:
        for i in range(2, 4):
            db.append("s", i)
        db.commit()
    raise_retention_floor(path, 2)
    with corvantine.open(path) as db:
        with pytest.raises(C.PositionUnavailableError) as raised:
            db.replay("s", start=0)
    assert str(raised.value) == (
        "position_unavailable: position 0 is unavailable: retained history starts at 2, head is 4")
    assert raised.value.bootstrap is None


class Descriptor(dict):
    pass


@pytest.mark.parametrize("given, shown", [
    (DESCRIPTOR, DESCRIPTOR),
    # Ids in upper case, tuples for lists, keys in another order, a key too many, a subclass.
    (Descriptor(dict(reversed(list(DESCRIPTOR.items()))), extra=1,
                database_id=DESCRIPTOR["database_id"].upper(),
                branches=tuple(DESCRIPTOR["branches"])), DESCRIPTOR),
    (dict(DESCRIPTOR, branches=[], streams=(), event_types=[]),
     dict(DESCRIPTOR, branches=[], streams=[], event_types=[])),
])
def test_a_descriptor_comes_back_as_the_bootstrap_dict_in_key_order(given, shown):
    with pytest.raises(C.PositionUnavailableError) as raised:
        testing.raise_position_unavailable(given)
    assert str(raised.value) == "position_unavailable: position 0 is unavailable"
    assert list(raised.value.bootstrap.items()) == list(shown.items())
    with pytest.raises(C.PositionUnavailableError) as again:
        testing.raise_position_unavailable(raised.value.bootstrap)
    assert again.value.bootstrap == shown
