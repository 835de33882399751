"""fork, archive_branch, branch_ancestry, branch_history and diff."""

import pytest

import corvantine
from conftest import bodies

BRANCH_KEYS = ["id", "name", "parent_id", "fork_position", "created_at_unix_nanos", "status",
               "metadata"]
MAIN = {"id": "0" * 32, "name": "main", "parent_id": None, "fork_position": None,
        "created_at_unix_nanos": 0, "status": "active", "metadata": {}}


def test_fork_and_ancestry(db):
    assert db.fork("orders", 0) == "orders-fork-0"
    lineage = db.branch_ancestry("orders-fork-0")
    assert [list(branch) for branch in lineage] == [BRANCH_KEYS, BRANCH_KEYS]
    assert lineage[0] == MAIN
    fork = lineage[1]
    assert (fork["name"], fork["parent_id"], fork["fork_position"], fork["status"]) == (
        "orders-fork-0", "0" * 32, 0, "active")
    assert len(fork["id"]) == 32 and fork["created_at_unix_nanos"] > 0
    assert db.branch_ancestry("main") == [MAIN]
    db.append("x", 1)
    assert db.fork("x", 1, parent="orders-fork-0") == "x-fork-1"
    assert [b["name"] for b in db.branch_ancestry("x-fork-1")] == [
        "main", "orders-fork-0", "x-fork-1"]


@pytest.mark.parametrize("call, error, message", [
    (lambda db: db.fork("s", 0, parent="missing"), corvantine.NotFoundError,
     "'not_found: branch handle was not found'"),
    (lambda db: db.fork("s", 0, "main"), corvantine.ConflictError, None),  # made by the setup
    (lambda db: db.fork("s", 5), corvantine.InvalidArgumentError, None),
    (lambda db: db.fork("s", -1), OverflowError, None),
    (lambda db: db.fork("s\0", 0), corvantine.InvalidArgumentError,
     "namespace must not contain NUL"),
    (lambda db: db.archive_branch("main"), corvantine.InvalidArgumentError,
     "invalid_argument: invalid argument: the default branch cannot be archived"),
    (lambda db: db.branch_history("missing", "s"), corvantine.NotFoundError, None),
    (lambda db: db.diff("missing", "gone"), corvantine.NotFoundError, None),
    (lambda db: db.diff("main", "s-fork-0", page_events=0), corvantine.ResourceLimitError,
     "resource_limit: page events is 0, maximum is 4096"),
    (lambda db: db.diff("main", "s-fork-0", page_events=None), TypeError,
     "argument 'page_events': 'NoneType' object cannot be interpreted as an integer"),
])
def test_refusals(db, call, error, message):
    db.fork("s", 0)
    with pytest.raises(error) as raised:
        call(db)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    assert [b["name"] for b in db.branch_ancestry("s-fork-0")] == ["main", "s-fork-0"]
    assert db.branch_ancestry("main")[0]["status"] == "active"


def test_archive(db):
    fork = db.fork("s", 0)
    archived = db.archive_branch(fork)
    assert list(archived) == BRANCH_KEYS and archived["status"] == "archived"
    with pytest.raises(corvantine.ConflictError, match="^branch_archived: branch is archived"):
        db.append_branch(fork, "s", 1)


def test_branch_history_sees_the_parent_up_to_the_fork(db):
    db.append("s", "before")
    fork = db.fork("s", 1)
    db.append("s", "main after")
    db.append_branch(fork, "s", "fork after")
    db.append_branch(fork, "t", "other stream")
    assert bodies(db.branch_history(fork, "s")) == ["before", "fork after"]
    assert bodies(db.branch_history("main", "s")) == ["before", "main after"]


def drain(reader):
    rows = []
    while True:
        page = reader.next_page()
        rows += page["records"]
        if page["done"]:
            return bodies(rows)


def test_diff(db):
    db.append("s", "shared")
    db.append("t", "shared other")
    fork = db.fork("s", 2)
    db.append("s", "left")
    db.append_branch(fork, "s", "right")
    db.append_branch(fork, "t", "right other")
    diff = db.diff("main", fork, namespace="s", page_events=1)
    assert list(diff) == ["common_ancestor", "divergence_offset", "shared", "left", "right"]
    assert (diff["common_ancestor"], diff["divergence_offset"]) == ("main", 2)
    for side, name in (("left", "main"), ("right", fork)):
        assert list(diff[side]) == ["branch", "until", "suffix"]
        assert (diff[side]["branch"], diff[side]["until"]) == (name, db.head())
    assert isinstance(diff["shared"], corvantine.Reader)
    assert drain(diff["shared"]) == ["shared"]
    assert drain(diff["left"]["suffix"]) == ["left"]
    assert drain(diff["right"]["suffix"]) == ["right"]
    unfiltered = db.diff("main", fork, left_until=3)
    assert drain(unfiltered["left"]["suffix"]) == ["left"]
    assert drain(unfiltered["right"]["suffix"]) == ["right", "right other"]
    assert drain(unfiltered["shared"]) == ["shared", "shared other"]
