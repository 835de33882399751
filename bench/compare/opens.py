"""The open of a database of single-event batches, Corvantine only, against reading its
catalog checkpoint file end to end in the same run: what an open costs beyond the bytes it
must read, alone and with the first load of one aggregate.

Two databases, one of 300,000 and one of 1,000,000 batches of one event each, spread round
robin over 300 streams (the aggregates) and committed once at the end, so that the open
starts from the checkpoint. Each figure is the median of three fresh processes; an open is
timed up to its first query, and an open with a load up to the rows of one whole aggregate.

Run by `python3 -m bench.compare` after the views table, or alone as
`python3 -m bench.compare.opens` (`--quick` for a smoke run of one tenth).
"""

import os
import shutil
import statistics
import sys
import time
from pathlib import Path

from . import events, fresh

COUNTS = (300_000, 1_000_000)
BAR_COUNT = 300_000
BAR = 2.5
LOAD_BAR = 2.5
REPEATS = 3
CHECKPOINT = "core-catalog.bin"


def _open(path):
    import corvantine  # only in the measuring processes, which have the built module
    return corvantine.open(path)


def build(path, count):
    """count single-event batches, committed once at the end."""
    db = _open(path)
    for n in range(count):
        db.append_batch(events.stream_name(n % events.AGGREGATES), [{"body": events.body(n)}])
    db.commit()
    db.close()
    return {"checkpoint_bytes": os.path.getsize(os.path.join(path, CHECKPOINT))}


def reopen(path):
    """Milliseconds to open and ask the first query."""
    start = time.perf_counter()
    db = _open(path)
    db.head()
    elapsed = time.perf_counter() - start
    db.close()
    return {"ms": elapsed * 1e3}


def reopen_and_load(path):
    """Milliseconds to open and load one aggregate whole."""
    start = time.perf_counter()
    db = _open(path)
    rows = db.replay(events.stream_name(7))
    elapsed = time.perf_counter() - start
    db.close()
    return {"ms": elapsed * 1e3, "rows": len(rows)}


def read_checkpoint(path):
    """Milliseconds to read the catalog checkpoint file end to end."""
    start = time.perf_counter()
    with open(os.path.join(path, CHECKPOINT), "rb") as f:
        f.read()
    return {"ms": (time.perf_counter() - start) * 1e3}


TASKS = {f.__name__: f for f in (build, reopen, reopen_and_load, read_checkpoint)}


def _median(env, task, path):
    return statistics.median(_spawn(env, task, path=path)["ms"] for _ in range(REPEATS))


def _spawn(env, task, **args):
    return fresh.spawn("bench.compare.opens", env, task, **args)


def compare(workdir, env, quick=False):
    """Builds each database, then times its open, its open with a load and the read of its
    checkpoint."""
    scale = 10 if quick else 1
    rows = []
    for count in COUNTS:
        n = count // scale
        path = str(Path(workdir) / f"opens-{n}")
        size = _spawn(env, "build", path=path, count=n)["checkpoint_bytes"]
        read_ms = _median(env, "read_checkpoint", path)
        open_ms = _median(env, "reopen", path)
        load_ms = _median(env, "reopen_and_load", path)
        shutil.rmtree(path, ignore_errors=True)
        bars = count == BAR_COUNT
        note = f"read of its {size / 1e6:.0f} MB checkpoint {read_ms:.1f} ms: "
        rows.append((f"open of {n:,} single-event batches (ms)", open_ms,
                     note + f"{open_ms / read_ms:.2f}x" + (f" (bar <= {BAR})" if bars else "")))
        rows.append((f"  and the first load of an aggregate of {n // events.AGGREGATES:,} (ms)",
                     load_ms, note + f"{load_ms / read_ms:.2f}x" +
                     (f" (bar <= {LOAD_BAR})" if bars else "")))
    title = "Opens of single-event batches" + (" (QUICK RUN)" if quick else "")
    return fresh.table(title, rows)


def main(argv):
    fresh.main(argv, "bench.compare.opens", __doc__, TASKS, compare)


if __name__ == "__main__":
    main(sys.argv[1:])
