"""The workloads. Each runs in a fresh process against one store and returns its figures.

The process adds its peak resident set size, so that every figure of memory belongs to one
store and one workload. Appends carry the expected revision the application last saw:
None for a stream it has not written yet, else the revision its previous append returned.
"""

import gc
import os
import resource
import statistics
import threading
import time

from . import events, stores, watch


def singles(store_cls, path, mode, count, latencies=False):
    """count one-event appends, interleaved over the streams; events per second."""
    plan = _single_plan(count)
    store = store_cls(path, mode)
    loop = _append_each_timed if latencies else _append_each
    start = time.perf_counter()
    samples = loop(store, plan)
    elapsed = time.perf_counter() - start
    store.close()
    result = {"rate": count / elapsed, "seconds": elapsed}
    if latencies:
        result["latencies_us"] = [s * 1e6 for s in samples]
    return result


def batches(store_cls, path, count, size):
    """count events in batches of size, one stream per batch; events per second."""
    plan = _batch_plan(count, size, [events.stream_name(s) for s in range(events.STREAMS)])
    store = store_cls(path, "buffered")
    start = time.perf_counter()
    _append_batches(store, plan)
    elapsed = time.perf_counter() - start
    store.close()
    return {"rate": count / elapsed}


def concurrent(store_cls, path, count, threads, mode="buffered"):
    """count one-event appends from several threads, each with its own streams."""
    plan = _single_plan(count)
    parts = [plan[t::threads] for t in range(threads)]  # STREAMS is a multiple of threads
    store = store_cls(path, mode)
    writers = [store.writer() for _ in range(threads)]
    ready = threading.Barrier(threads + 1)
    errors = []

    def work(writer, part):
        ready.wait()
        try:
            _append_each(writer, part)
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    workers = [threading.Thread(target=work, args=(w, p)) for w, p in zip(writers, parts)]
    for worker in workers:
        worker.start()
    ready.wait()
    start = time.perf_counter()
    for worker in workers:
        worker.join()
    elapsed = time.perf_counter() - start
    for writer in writers:
        if writer is not store:
            writer.close()
    store.close()
    if errors:
        raise errors[0]
    return {"rate": count / elapsed}


def build(store_cls, path, count, streams, batch):
    """Fills a database in batches, untimed; reports its size on disk."""
    names = [events.REPLAY_STREAM] if streams == 1 else [
        events.stream_name(s) for s in range(streams)]
    store = store_cls(path, "buffered")
    _append_batches(store, _batch_plan(count, batch, names))
    store.make_durable()
    store.close()
    return {"disk_bytes": _disk_bytes(path)}


def replay(store_cls, path, count, repeats=3):
    """Reads the replay stream whole into row dicts; the median time of repeats.

    The time includes a young-generation collection: a store that builds its rows with the
    cyclic collector paused leaves that collection due, and the program pays it at once.
    """
    store = store_cls(path)
    ms = _median_read_ms(lambda: store.read_stream(events.REPLAY_STREAM), count, repeats)
    store.close()
    return {"ms": ms}


def _median_read_ms(read, count, repeats):
    """The median time of repeats of read(), each followed by a young-generation collection."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        rows = read()
        gc.collect(0)
        times.append(time.perf_counter() - start)
        _expect_rows(rows, count)
        del rows
    return statistics.median(times) * 1e3


def read_stream(store_cls, path, length, picks=5, streams=events.STREAMS):
    """Reads single streams whole, of the first streams; the median time of picks of them."""
    store = store_cls(path)
    times = []
    for pick in range(picks):
        start = time.perf_counter()
        rows = store.read_stream(events.stream_name(pick * 199 % streams))
        times.append(time.perf_counter() - start)
        _expect_rows(rows, length)
    store.close()
    return {"ms": statistics.median(times) * 1e3}


def read_streams(store_cls, path, streams, length):
    """Reads each of the streams whole; the mean time of one stream."""
    store = store_cls(path)
    start = time.perf_counter()
    for s in range(streams):
        _expect_rows(store.read_stream(events.stream_name(s)), length)
    elapsed = time.perf_counter() - start
    store.close()
    return {"ms": elapsed / streams * 1e3}


def read_log(store_cls, path, start, count, repeats=21):
    """Reads count events of the global log from start into row dicts; the median of repeats.

    As in replay, the time includes a young-generation collection.
    """
    if not hasattr(store_cls, "read_log"):
        return {"ms": "n/a"}
    store = store_cls(path)
    ms = _median_read_ms(lambda: store.read_log(start, count), count, repeats)
    store.close()
    return {"ms": ms}


def open_db(store_cls, path, rebuild=False):
    """Opens an existing database and asks the first query, from a cold process."""
    if rebuild:
        store_cls.drop_checkpoint(path)
    start = time.perf_counter()
    store = store_cls(path)
    store.first_query()
    elapsed = time.perf_counter() - start
    store.close()
    result = {"ms": elapsed * 1e3}
    if rebuild:
        result["log_bytes"] = store_cls.log_bytes(path)
    return result


def head(store_cls, path, blocks=200, per_block=100):
    """The median over blocks of the mean time of one head query."""
    if not store_cls.HAS_HEAD:
        return {"us": "n/a"}
    store = store_cls(path)
    ask = store.head
    for _ in range(per_block):
        ask()
    samples = []
    for _ in range(blocks):
        start = time.perf_counter_ns()
        for _ in range(per_block):
            ask()
        samples.append((time.perf_counter_ns() - start) / per_block)
    store.close()
    return {"us": statistics.median(samples) / 1e3}


TASKS = {f.__name__: f for f in (singles, batches, concurrent, build, replay, read_stream,
                                 read_streams, read_log, open_db, head, watch.watch_latency,
                                 watch.watch_throughput)}


def run(job):
    """Runs one task described by {"store", "task", "path", "args"}."""
    store_cls = stores.load(job["store"])
    result = TASKS[job["task"]](store_cls, job["path"], **job["args"])
    result["rss_mib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return result


def _single_plan(count):
    names = [events.stream_name(s) for s in range(events.STREAMS)]
    return [(names[i % events.STREAMS], events.body(i)) for i in range(count)]


def _batch_plan(count, size, names):
    return [(names[b % len(names)], [events.body(b * size + k) for k in range(size)])
            for b in range(count // size)]


def _append_each(store, plan):
    append = store.append
    revisions = {}
    for stream, body in plan:
        revisions[stream] = append(stream, body, revisions.get(stream))


def _append_each_timed(store, plan):
    append = store.append
    revisions = {}
    samples = []
    for stream, body in plan:
        start = time.perf_counter()
        revisions[stream] = append(stream, body, revisions.get(stream))
        samples.append(time.perf_counter() - start)
    return samples


def _append_batches(store, plan):
    append_batch = store.append_batch
    revisions = {}
    for stream, bodies in plan:
        revisions[stream] = append_batch(stream, bodies, revisions.get(stream))


def _expect_rows(rows, count):
    if len(rows) != count:
        raise AssertionError(f"read {len(rows)} events, expected {count}")


def _disk_bytes(path):
    total = 0
    for directory, _, files in os.walk(path):
        total += sum(os.stat(os.path.join(directory, f)).st_blocks * 512 for f in files)
    return total
