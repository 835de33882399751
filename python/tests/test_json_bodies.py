"""Bodies as the module writes them: JSON text that the engine stores without reading it
again, so it must always be text the engine's reader takes, whichever way it was written."""

import json
import math
import tempfile

import pytest
from hypothesis import given, settings, strategies as st

import _corvantine_testing as testing
import corvantine
from conftest import bodies


class Text(str):
    """Not an exact str, so the writer takes the way that keeps the dict's own order."""


# Strings of any Unicode scalar values, ASCII and controls often. (Built from code points:
# hypothesis's own text strategy keeps a cache file in the working directory.)
CHARS = (st.integers(0, 0x7F) | st.integers(0x80, 0x10FFFF).filter(
    lambda c: not 0xD800 <= c <= 0xDFFF)).map(chr)


def texts(max_size):
    return st.lists(CHARS, max_size=max_size).map("".join)


def values(scalars):
    containers = lambda inner: (st.lists(inner, max_size=4)
                                | st.dictionaries(texts(6), inner, max_size=5))
    return st.recursive(scalars, containers, max_leaves=25)


# No example database either.
quick = settings(database=None)
EXACT = st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | texts(20)
WITH_FLOATS = EXACT | st.floats()


def finite(value):
    """What the text of `value` reads back as: non-finite floats are written as null."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, list):
        return [finite(item) for item in value]
    if isinstance(value, dict):
        return {key: finite(item) for key, item in value.items()}
    return value


def keys_sorted(value):
    if isinstance(value, list):
        return all(keys_sorted(item) for item in value)
    if isinstance(value, dict):
        return list(value) == sorted(value) and all(keys_sorted(v) for v in value.values())
    return True


@quick
@given(values(EXACT))
def test_text_is_compact_sorted_json(value):
    text = testing.to_json(value)
    assert text == json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    assert testing.from_json(text.encode()) == value


@quick
@given(values(WITH_FLOATS))
def test_text_reads_back_as_the_value(value):
    assert testing.from_json(testing.to_json(value).encode()) == finite(value)


@quick
@given(values(WITH_FLOATS))
def test_both_ways_of_writing_agree(value):
    # A str subclass anywhere makes the writer start over in the dict's own order.
    for before, after in (([value, Text("x")], [value, "x"]),
                          ([Text("x"), value], ["x", value]),
                          ({Text("k"): value, "j": 1}, {"k": value, "j": 1})):
        assert testing.to_json(before) == testing.to_json(after)


KEY_POOL = ["id", "name", "items", "qty", "a", "", "é", "z", "Z", "zz"]


@settings(database=None, max_examples=25, deadline=None)
@given(st.lists(st.dictionaries(st.sampled_from(KEY_POOL), values(WITH_FLOATS), max_size=6)
                | st.lists(st.dictionaries(st.sampled_from(KEY_POOL), values(EXACT))),
                min_size=1, max_size=30))
def test_batch_bodies_sharing_key_objects_round_trip(batch):
    # One writer serves a whole batch and remembers the key order of the dicts it met.
    with tempfile.TemporaryDirectory() as path:
        db = corvantine.open(path)
        try:
            db.append_batch("s", [{"body": body} for body in batch])
            stored = bodies(db.replay("s"))
        finally:
            db.close()
    assert stored == [finite(body) for body in batch]
    assert all(keys_sorted(body) for body in stored)


def distinct_shapes(depth):
    """Dicts nested `depth` deep, each with keys of its own and a member after the nested one."""
    value = {}
    for level in range(depth):
        value = {f"b{level}": level, f"a{level}": value}
    return value


def test_dicts_nested_deeper_than_the_remembered_orders(db):
    batch = [{"body": distinct_shapes(20)}, {"body": distinct_shapes(20)},
             {"body": {"b": 1, "a": 2}}, {"body": {"a": 3, "b": 4}}]
    db.append_batch("s", batch)
    assert bodies(db.replay("s")) == [event["body"] for event in batch]


def nested_objects(depth):
    value = 0
    for _ in range(depth):
        value = {"a": value}
    return value


@pytest.mark.parametrize("body", [
    [[[]]], nested_objects(128), json.loads("[" * 128 + "]" * 128),
    {Text("a"): json.loads("[" * 127 + "]" * 127)},
])
def test_bodies_nested_up_to_the_limit_are_stored(db, body):
    db.append_batch("s", [{"body": 1}, {"body": body}])
    assert bodies(db.replay("s")) == [1, body]


@pytest.mark.parametrize("body", [
    nested_objects(129), json.loads("[" * 129 + "]" * 129), nested_objects(500),
    {Text("a"): json.loads("[" * 128 + "]" * 128)},
])
def test_bodies_nested_deeper_fail_as_the_engine_reads_them(db, body):
    # The engine reads these bodies itself, so the message places the error in the text.
    text = testing.to_json(body)
    with pytest.raises(ValueError) as expected:
        testing.from_json(text.encode())
    with pytest.raises(corvantine.CodecError) as raised:
        db.append_batch("s", [{"body": 1}, {"body": body}])
    assert raised.value.args[0] == "invalid_json: " + str(expected.value)
    with pytest.raises(corvantine.CodecError) as raised:
        db.append("s", body)
    assert raised.value.args[0] == "invalid_json: " + str(expected.value)
    assert db.head() == 0
