"""The watch workloads, Corvantine only: no peer has a durable-event feed to compare with.

latency: one thread appends single events with sync while a watch waits in another; each
event's latency runs from the start of its append to its row arriving in the watch. The same
appends without a watch give the sync append alone, in the same process.

throughput: a backlog of committed events in one namespace, followed by a watch from position
0 to its end, against replay of the same events in slices that the process can hold.
"""

import importlib
import statistics
import threading
import time

from . import events

_REPLAY_SLICE = 100_000


def watch_latency(store_cls, path, count, rounds=10):
    """In rounds that alternate, so that both figures meet the same drift of the disk."""
    del store_cls  # Corvantine only
    alone, latencies = [], []
    with _open(path) as db:
        for _ in range(rounds):
            alone += [_timed_sync_append(db) for _ in range(count // rounds)]
            latencies += _watched_appends(db, count // rounds)
    latencies.sort()
    return {"median_us": statistics.median(latencies) * 1e6,
            "p99_us": latencies[int(len(latencies) * 0.99)] * 1e6,
            "alone_us": statistics.median(alone) * 1e6}


def _watched_appends(db, count):
    watch = db.watch()
    arrived = []
    ready = threading.Event()

    def follow():
        for _ in range(count):
            next(watch)
            arrived.append(time.perf_counter())
            ready.set()

    follower = threading.Thread(target=follow)
    follower.start()
    latencies = []
    for _ in range(count):
        start = time.perf_counter()
        _sync_append(db)
        ready.wait()
        ready.clear()
        latencies.append(arrived[-1] - start)
    follower.join()
    watch.close()
    return latencies


def watch_throughput(store_cls, path, count):
    """Rows per second of a watch over the backlog and of replay over the same events."""
    del store_cls
    with _open(path) as db:
        start = time.perf_counter()
        seen = sum(1 for _ in db.watch(namespace=events.REPLAY_STREAM, start=0, timeout=0))
        watch_seconds = time.perf_counter() - start
        _expect(seen, count)
        start = time.perf_counter()
        seen = 0
        for first in range(0, count, _REPLAY_SLICE):
            seen += len(db.replay(events.REPLAY_STREAM, first, first + _REPLAY_SLICE))
        replay_seconds = time.perf_counter() - start
        _expect(seen, count)
    return {"watch_rate": count / watch_seconds, "replay_rate": count / replay_seconds}


def _open(path):
    # Imported here: the runner imports the tasks before it knows whether the module is built.
    return importlib.import_module("corvantine").open(path)


def _sync_append(db):
    db.append_batch("latency", [{"event_type": events.EVENT_TYPE, "body": events.body(0)}],
                    durability="sync")


def _timed_sync_append(db):
    start = time.perf_counter()
    _sync_append(db)
    return time.perf_counter() - start


def _expect(seen, count):
    if seen != count:
        raise AssertionError(f"watched {seen} events, expected {count}")
