"""Retention: status, plans and policies, the anchor, bootstraps and applying a plan."""

import pytest

import corvantine

HEX_MESSAGE = "event_id must contain exactly 32 hexadecimal characters"
POLICY_MESSAGE = ("policy must be keep_from, keep_latest_events, keep_newer_than, or "
                  "target_log_bytes")
NEGATIVE_MESSAGE = "policy value must be non-negative"


# Argument errors, each raised before any engine call.
@pytest.mark.parametrize("call, error, message", [
    (lambda db: db.retention_status("0"), TypeError, None),
    (lambda db: db.plan_retention(), TypeError,
     "Corvantine.plan_retention() missing 1 required positional argument: 'keep_from'"),
    (lambda db: db.plan_retention(None), TypeError, None),
    (lambda db: db.plan_retention(-1), OverflowError, None),
    (lambda db: db.create_retention_anchor(2**64), OverflowError, None),
    (lambda db: db.plan_retention_policy("KEEP_FROM", 1), ValueError, POLICY_MESSAGE),
    (lambda db: db.plan_retention_policy("keep_from ", 1), ValueError, POLICY_MESSAGE),
    (lambda db: db.plan_retention_policy("nope", -1), ValueError, POLICY_MESSAGE),
    (lambda db: db.plan_retention_policy("keep_from", -1), ValueError, NEGATIVE_MESSAGE),
    (lambda db: db.plan_retention_policy("keep_latest_events", -1), ValueError,
     NEGATIVE_MESSAGE),
    (lambda db: db.plan_retention_policy("target_log_bytes", -2**63), ValueError,
     NEGATIVE_MESSAGE),
    (lambda db: db.plan_retention_policy("keep_newer_than", 2**63), OverflowError, None),
    (lambda db: db.plan_retention_policy("keep_from", 1.0), TypeError,
     "argument 'value': 'float' object cannot be interpreted as an integer"),
    (lambda db: db.plan_retention_policy(0, 1), TypeError,
     "argument 'policy': 'int' object cannot be converted to 'PyString'"),
    (lambda db: db.apply_retention("a" * 31), corvantine.InvalidArgumentError, HEX_MESSAGE),
    (lambda db: db.apply_retention("g" * 32), corvantine.InvalidArgumentError, HEX_MESSAGE),
    (lambda db: db.apply_retention(b"a" * 32), TypeError, None),
    (lambda db: db.register_branch_bootstrap("main", 0, bytearray(b"x")), TypeError,
     "argument 'checkpoint': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda db: db.register_branch_bootstrap("nope", 0, bytearray(b"x")), TypeError, None),
    (lambda db: db.register_consumer_bootstrap("c", 0, memoryview(b"x")), TypeError, None),
    (lambda db: db.register_consumer_bootstrap("c", 0, "x"), TypeError, None),
    (lambda db: db.register_consumer_bootstrap("c", -1, b"x"), OverflowError, None),
    (lambda db: db.consumer_bootstrap(None), TypeError, None),
    (lambda db: db.branch_bootstrap("nope"), corvantine.NotFoundError, None),
    (lambda db: db.register_branch_bootstrap("nope", 0, b"x"), corvantine.NotFoundError, None),
])
def test_argument_errors(db, call, error, message):
    with pytest.raises(error) as raised:
        call(db)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    assert db.head() == 0
