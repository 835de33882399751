"""The workload every store is given: the same streams, bodies and order for all of them."""

import json
import random

EVENTS = 100_000
STREAMS = 1_000
SYNC_EVENTS = 2_000
BATCH = 100
GROUP_EVERY = 1_000
THREADS = 4
SYNC_THREADS = 8
BIG_EVENTS = 1_000_000
BIG_BATCH = 100
# Many short streams, appended one event at a time in turn, so that every
# stretch of the log holds every stream: each is read whole, one after another.
MANY_EVENTS = 20_000
MANY_STREAMS = 100
# Events of the global log read from the middle of the many-streams database.
LOG_READ = 1_000
# Aggregates saved one event at a time, all in turn, so that each one's
# events lie spread through the whole log: each load reads one of them whole.
AGGREGATE_EVENTS = 300_000
AGGREGATES = 300
EVENT_TYPE = "OrderPlaced"
REPLAY_STREAM = "replay"

# A pool large enough that neighbouring records rarely share a body, so a compressing
# store gains nothing from the repetition.
_POOL_SIZE = 4096
_POOL = None


def stream_name(index):
    return f"order-{index:04d}"


def _make_body(rng, n):
    items = [{"sku": f"SKU-{rng.randrange(100_000):05d}", "qty": rng.randrange(1, 5)}
             for _ in range(rng.randrange(1, 3))]
    return {
        "order_id": f"ord-{n:07d}",
        "customer_id": f"cust-{rng.randrange(1_000_000):06d}",
        "status": rng.choice(["placed", "paid", "shipped"]),
        "amount_cents": rng.randrange(100, 1_000_000),
        "currency": rng.choice(["EUR", "USD", "GBP"]),
        "items": items,
        "note": "".join(rng.choice("abcdefghijklmnopqrstuvwxyz ") for _ in range(40)),
    }


def body(i):
    """The JSON body of event i, a dict of about 200 bytes as compact JSON text."""
    global _POOL
    if _POOL is None:
        rng = random.Random(20240607)
        _POOL = [_make_body(rng, n) for n in range(_POOL_SIZE)]
    return _POOL[(i * 2654435761) % _POOL_SIZE]


def dumps(value):
    """Compact JSON text, as the peers store a body."""
    return json.dumps(value, separators=(",", ":"))
