"""The interpreter lock is released around engine calls, concurrent
appends from many threads are serialised by the engine, and a program may end
while other threads are inside the module."""

import subprocess
import sys
import textwrap
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


# Daemon threads inside a watch and inside replay when the interpreter exits.
EXIT_WITH_THREADS_INSIDE = """
    import sys, threading, time, corvantine
    db = corvantine.open(sys.argv[1])
    db.append_batch("s", [{"body": i} for i in range(200)])
    watch = db.watch(start=0)

    def replay_forever():
        while True:
            db.replay("s")

    threading.Thread(target=lambda: list(watch), daemon=True).start()
    threading.Thread(target=replay_forever, daemon=True).start()
    time.sleep(0.05)
    """


def test_exiting_while_threads_wait_inside_the_module_closes_the_database(path):
    for run in range(1, 6):
        child = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(EXIT_WITH_THREADS_INSIDE), path],
            capture_output=True, text=True, timeout=60)
        assert (child.returncode, child.stderr) == (0, "")
        with corvantine.open(path) as db:
            assert db.head() == 200 * run
