"""Inputs that fight back: Python code that mutates what is being converted,
containers that hold themselves, NUL bytes, failing allocations. Each must
end in an exception or a correct result, never a crash."""

import pytest

import _corvantine_testing as testing
import corvantine
from conftest import bodies


class Clears:
    """An int whose conversion empties the container it sits in."""

    def __init__(self, container, value=3):
        self.container = container
        self.value = value

    def __index__(self):
        self.container.clear()
        return self.value


def test_index_that_empties_the_event_dict(db):
    event = {"body": {"kept": "x" * 1000}, "metadata": {"m": "v"}}
    event["schema_version"] = Clears(event)
    db.append_batch("s", [event])
    row = db.replay("s")[0]
    assert (row["body"], row["schema_version"]) == ({"kept": "x" * 1000}, 3)
    assert "m" not in row["metadata"]


def test_index_that_empties_the_events_list(db):
    events = [{"body": 1}, {"body": 2}, {"body": 3}]
    events[1]["schema_version"] = Clears(events)
    assert db.append_batch("s", events)["last_position"] == 1
    assert bodies(db.replay("s")) == [1, 2]


def test_index_that_empties_the_body_being_written():
    body = {"a": "x" * 100, "c": 2}
    body["b"] = Clears(body, 7)
    assert testing.to_json(body) == '{"a":"' + "x" * 100 + '","b":7,"c":2}'
    items = ["x" * 100, None, 3]
    items[1] = Clears(items, 5)
    assert testing.to_json(items) == '["' + "x" * 100 + '",5]'


class Raises:
    def __index__(self):
        raise KeyError("index")

    def __float__(self):
        raise KeyError("float")


class SameText(str):
    def __hash__(self):
        return 1

    def __eq__(self, other):
        return self is other


def test_failing_protocols_and_clashing_keys():
    with pytest.raises(ValueError, match="^object of type Raises is not JSON-serializable$"):
        testing.to_json([Raises()])
    assert testing.to_json({SameText("a"): 1, "b": 0, "a": 2}) == '{"a":2,"b":0}'


def test_containers_that_hold_themselves(db):
    items = [1]
    items.append(items)
    mapping = {}
    mapping["self"] = mapping
    deep = []
    for _ in range(100_000):
        deep = [deep]
    for value in (items, mapping, deep, {"body": items}):
        with pytest.raises(RecursionError):
            db.append("s", value)
    with pytest.raises(RecursionError):
        db.append_batch("s", [{"body": {"x": mapping}}])
    assert db.head() == 0 and db.append("s", "still fine") == 0


@pytest.mark.parametrize("call", [
    lambda db: db.append("s\0t", 1), lambda db: db.append_receipt("\0", 1),
    lambda db: db.append_batch("s\0", [{"body": 1}]), lambda db: db.append_branch("main", "\0", 1),
    lambda db: db.replay("s\0"), lambda db: db.history("s\0"), lambda db: db.open_reader("s\0"),
    lambda db: db.fork("s\0", 0), lambda db: db.branch_history("main", "s\0"),
    lambda db: db.diff("main", "main", namespace="s\0"),
])
def test_nul_in_a_namespace(db, call):
    with pytest.raises(corvantine.InvalidArgumentError, match="^namespace must not contain NUL$"):
        call(db)


def test_nul_in_ids_and_paths(db, tmp_path):
    with pytest.raises(corvantine.InvalidArgumentError, match="^event_id must contain"):
        db.append_batch("s", [{"body": 1, "event_id": "0" * 16 + "\0" + "0" * 15}])
    with pytest.raises(corvantine.InvalidArgumentError, match="^path must not contain NUL$"):
        corvantine.open(str(tmp_path / "a\0b"))
    with pytest.raises(corvantine.NotFoundError):
        db.branch_ancestry("main\0")
    assert db.head() == 0 and list(tmp_path.iterdir()) == [tmp_path / "db"]


def test_failing_allocations(db):
    capi = pytest.importorskip("_testcapi")
    db.append_batch("s", [{"body": {"a": [1, "x"]}, "metadata": {"m": "v"}}], durability="sync")
    calls = [
        lambda: db.replay("s"), lambda: db.open_reader("s").next_page(),
        lambda: db.append_receipt("s", {"k": ["v", 1.5]}), lambda: db.diff("main", "main"),
        lambda: db.branch_ancestry("main"), lambda: db.append_batch("s", [{"body": 1}]),
        lambda: list(db.watch(start=0, timeout=0)),
    ]
    for call in calls:
        for failing in range(60):
            capi.set_nomemory(failing, failing + 1)
            try:
                call()
            except MemoryError:
                pass
            finally:
                capi.remove_mem_hooks()
    assert bodies(db.replay("s"))[0] == {"a": [1, "x"]}
