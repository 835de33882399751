"""The interpreter lock is released around engine calls, and concurrent
appends from many threads are serialised by the engine."""

import threading

import corvantine


def test_other_threads_run_during_a_large_synced_append(db):
    events = [{"body": {"i": i, "pad": "x" * 2000}} for i in range(4096)]
    ticks = 0
    stop = threading.Event()

    def count():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        progress = []
        for _ in range(3):
            before = ticks
            db.append_batch("big", events, durability="sync")
            progress.append(ticks - before)
    finally:
        stop.set()
        counter.join()
    # Held through a call, the lock would stop the counter for all of it.
    assert max(progress) > 1000, progress
    assert db.durable_head() == 3 * 4096


def test_concurrent_appends_get_dense_positions(db):
    threads, per_thread = 8, 200
    positions = [[] for _ in range(threads)]
    start = threading.Barrier(threads)

    def append(n):
        start.wait()
        for i in range(per_thread):
            if i % 2:
                positions[n].append(db.append(f"s{n}", i))
            else:
                receipt = db.append_batch(f"s{n}", [{"body": i}, {"body": i}])
                positions[n] += [receipt["first_position"], receipt["last_position"]]

    workers = [threading.Thread(target=append, args=(n,)) for n in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    total = threads * per_thread * 3 // 2
    assert sorted(p for own in positions for p in own) == list(range(total))
    for n, own in enumerate(positions):
        assert own == sorted(own)
        assert [row["offset"] for row in db.replay(f"s{n}")] == own
    assert db.head() == total
