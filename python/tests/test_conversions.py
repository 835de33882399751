"""Conversions: Python values to JSON text and back, ids, byte strings."""

import datetime
import enum
import math

import pytest

import _corvantine_testing as testing
import corvantine
from conftest import bodies


class Color(enum.IntEnum):
    RED = 3


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 2.5


class Text(str):
    pass


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize("value, text", [
    (None, "null"), (True, "true"), (False, "false"), (1, "1"), (1.0, "1.0"), (0, "0"),
    (-0.0, "-0.0"), (0.1, "0.1"), (1e15, "1000000000000000.0"), (1e16, "1e16"),
    (0.00001, "0.00001"), (1e-6, "1e-6"), (5e-324, "5e-324"), (1.5e300, "1.5e300"),
    (1.7976931348623157e308, "1.7976931348623157e308"),
    (float("nan"), "null"), (float("inf"), "null"), (-float("inf"), "null"),
    (2**63 - 1, "9223372036854775807"), (2**63, "9223372036854775808"),
    (2**64 - 1, "18446744073709551615"), (-2**63, "-9223372036854775808"),
    ("", '""'), ("a\"b\\c", '"a\\"b\\\\c"'),
    ("\x00\x08\t\n\x0c\r\x1f\x7f", '"\\u0000\\b\\t\\n\\f\\r\\u001f\x7f"'),
    ("é漢😀/", '"é漢😀/"'), ([], "[]"), ({}, "{}"),
    ({"b": 1, "a": [1, {"d": None, "c": True}]}, '{"a":[1,{"c":true,"d":null}],"b":1}'),
    ({"é": 1, "z": 2, "Z": 3}, '{"Z":3,"z":2,"é":1}'),
    (Color.RED, "3"), (Index(7), "7"), (Real(), "2.5"), (Text("t"), '"t"'),
])
def test_values_to_json_text(value, text):
    assert testing.to_json(value) == text


@pytest.mark.parametrize("value, error, message", [
    (2**64, ValueError, "int is out of the JSON range -2**63 .. 2**64-1"),
    (-2**63 - 1, ValueError, "int is out of the JSON range -2**63 .. 2**64-1"),
    (10**400, ValueError, "int is out of the JSON range -2**63 .. 2**64-1"),
    (Index(2**70), ValueError, "int is out of the JSON range -2**63 .. 2**64-1"),
    ((1,), ValueError, "object of type tuple is not JSON-serializable"),
    ([{1, 2}], ValueError, "object of type set is not JSON-serializable"),
    ([(), b""], ValueError, "object of type tuple is not JSON-serializable"),
    (b"x", ValueError, "object of type bytes is not JSON-serializable"),
    (bytearray(b"x"), ValueError, "object of type bytearray is not JSON-serializable"),
    (datetime.date(2020, 1, 2), ValueError, "object of type date is not JSON-serializable"),
    ("\ud800", ValueError, "object of type str is not JSON-serializable"),
    ({1: "a"}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({None: "a"}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    ({"a": 1, (1,): 2}, TypeError, "'tuple' object cannot be converted to 'PyString'"),
    ({"b": (), "a": set()}, ValueError, "object of type tuple is not JSON-serializable"),
])
def test_values_that_are_not_json(value, error, message):
    with pytest.raises(error) as raised:
        testing.to_json(value)
    assert type(raised.value) is error
    assert str(raised.value) == message


@pytest.mark.parametrize("text, value", [
    (b" 1 ", 1), (b"-0", -0.0), (b"0.1", 0.1), (b"1e-400", 0.0), (b"-1e-400", -0.0),
    (b"18446744073709551615", 2**64 - 1), (b"18446744073709551616", 1.8446744073709552e19),
    (b"-9223372036854775808", -2**63), (b"-9223372036854775809", -9.223372036854776e18),
    (b'"\\u00e9\\ud83d\\ude00\\/\\b"', "é😀/\b"), (b'{"b":1,"a":2,"b":3}', {"a": 2, "b": 3}),
    (b"[" * 128 + b"]" * 128, nested(127)),
])
def test_json_text_to_values(text, value):
    result = testing.from_json(text)
    assert result == value and type(result) is type(value)
    if isinstance(value, float):
        assert math.copysign(1, result) == math.copysign(1, value)


def test_objects_read_back_with_sorted_keys():
    assert list(testing.from_json(b'{"b":1,"a":{"y":1,"x":2},"c":0}')) == ["a", "b", "c"]
    assert list(testing.from_json(b'{"b":1,"a":{"y":1,"x":2}}')["a"]) == ["x", "y"]


@pytest.mark.parametrize("text, message", [
    (b"1 2", "trailing characters at line 1 column 3"),
    (b"", "EOF while parsing a value at line 1 column 0"),
    (b"[1,]", "trailing comma at line 1 column 4"),
    (b"1e400", "number out of range at line 1 column 5"),
    (b"[" * 129 + b"]" * 129, "recursion limit exceeded at line 1 column 129"),
    (b'"\\ud800"', "unexpected end of hex escape at line 1 column 8"),
    (b'"\xff"', "invalid unicode code point at line 1 column 3"),
    (b"{\n  \"a\" 1}", "expected `:` at line 2 column 7"),
])
def test_text_that_is_not_json(text, message):
    with pytest.raises(ValueError) as raised:
        testing.from_json(text)
    assert str(raised.value) == message


ROUND_TRIP = [
    {"nested": [1, [2, [3, {"k": [None, True, False]}]]], "empty": {"l": [], "d": {}}},
    [0.1, 1e16, 5e-324, -0.0, 1.0, 2**64 - 1, -2**63, 2**63, -1],
    "controls \x00\x01\x1f\x7f and quotes \" \\ and 漢字 😀",
    {"b": 2, "a": 1, "é": 3, "": 0},
]


def test_bodies_round_trip_through_the_database(db):
    for value in ROUND_TRIP:
        db.append("s", value)
    rows = db.replay("s")
    assert bodies(rows) == ROUND_TRIP
    assert list(rows[3]["body"]) == ["", "a", "b", "é"]
    assert [type(x) for x in rows[1]["body"]] == [float] * 5 + [int] * 4


@pytest.mark.parametrize("event_id", ["0123456789ABCDEFabcdef0123456789", "F" * 32])
def test_event_ids_in_either_case(db, event_id):
    db.append_batch("s", [{"body": 1, "event_id": event_id}])
    assert db.replay("s")[0]["event_id"] == event_id.lower()


@pytest.mark.parametrize("event_id",
                         ["0" * 31, "0" * 33, "g" * 32, "0" * 30 + "é", "0" * 31 + "\0", ""])
def test_malformed_event_ids(db, event_id):
    with pytest.raises(corvantine.InvalidArgumentError) as raised:
        db.append_batch("s", [{"body": 1, "event_id": event_id}])
    assert str(raised.value) == "event_id must contain exactly 32 hexadecimal characters"
    assert db.head() == 0


class Bytes(bytes):
    pass


@pytest.mark.parametrize("value, stored", [
    ("é", b"\xc3\xa9"), ("a", b"a"), (b"\x00\xff", b"\x00\xff"), (Bytes(b"sub"), b"sub"),
    (Text("t"), b"t"),
])
def test_metadata_values_as_bytes(db, value, stored):
    db.append_batch("s", [{"body": 1, "metadata": {"m": value}}])
    assert db.replay("s")[0]["metadata"]["m"] == stored


NEITHER_BYTES_NOR_UTF8 = [bytearray(b"x"), memoryview(b"x"), 1, "\udc80"]


@pytest.mark.parametrize("metadata", [{"m": value} for value in NEITHER_BYTES_NOR_UTF8 + [None]])
def test_metadata_values_that_are_neither_bytes_nor_utf8(db, metadata):
    with pytest.raises(corvantine.InvalidArgumentError) as raised:
        db.append_batch("s", [{"body": 1, "metadata": metadata}])
    assert str(raised.value) == "value must be bytes or a UTF-8 string"


@pytest.mark.parametrize("key", NEITHER_BYTES_NOR_UTF8)
def test_idempotency_keys_that_are_neither_bytes_nor_utf8(db, key):
    with pytest.raises(corvantine.InvalidArgumentError) as raised:
        db.append_batch("s", [{"body": 1}], idempotency_key=key)
    assert str(raised.value) == "value must be bytes or a UTF-8 string"
