"""The rows of the comparison, the printed table and the bar checks."""

import operator
from dataclasses import dataclass, field

from . import events

CORVANTINE = "corvantine"
SQLITE = "sqlite"
COLUMNS = (("corvantine", "Corvantine"), ("sqlite", "SQLite"), ("lmdb", "LMDB"),
           ("leveldb", "LevelDB*"))


@dataclass
class Row:
    label: str
    unit: str
    higher_is_better: bool
    compared: bool = True  # False for a figure of the disk, not of the store
    cells: dict = field(default_factory=dict)  # store key -> a number, or a short text

    def value(self, key):
        value = self.cells.get(key)
        return value if isinstance(value, (int, float)) and value > 0 else None

    def ratio(self):
        """Corvantine over SQLite, turned so that above 1 means Corvantine is ahead."""
        ours, theirs = self.value(CORVANTINE), self.value(SQLITE)
        if not self.compared or ours is None or theirs is None:
            return None
        return ours / theirs if self.higher_is_better else theirs / ours


def make_rows(counts):
    n, sync_n, big_n = (f"{counts[k]:,}" for k in ("events", "sync_events", "big_events"))
    per_stream = f"{counts['big_events'] // events.STREAMS:,}"
    many_n = f"{counts['many_events']:,}"
    many_per_stream = f"{counts['many_events'] // events.MANY_STREAMS:,}"
    aggregate_n = f"{counts['aggregate_events']:,}"
    aggregate_length = f"{counts['aggregate_events'] // events.AGGREGATES:,}"
    definitions = [
        ("buffered", f"single appends, buffered ({n})", "ev/s", True),
        ("flush", f"single appends, flush ({n})", "ev/s", True),
        ("sync", f"single appends, sync ({sync_n})", "ev/s", True),
        ("sync_latency", "  sync append latency, median", "us", False),
        ("sync_floor", "  fdatasync floor, same moments", "us", False, False),
        ("sync_threads", f"sync appends, {events.SYNC_THREADS} threads ({sync_n})", "ev/s", True),
        ("batch", f"batches of {events.BATCH} ({n})", "ev/s", True),
        ("group", f"group commit every {events.GROUP_EVERY:,} ({n})", "ev/s", True),
        ("threads", f"{events.THREADS} threads, own streams ({n})", "ev/s", True),
        ("replay", f"replay {n} events to row dicts", "ms", False),
        ("read_stream", f"read one stream of {per_stream} (of {big_n})", "ms", False),
        ("many_streams", f"read each of {events.MANY_STREAMS} streams of {many_per_stream} "
         f"(of {many_n}), per stream", "ms", False),
        ("read_log", f"read {events.LOG_READ:,} of the log from the middle of those {many_n}",
         "ms", False),
        ("aggregate", f"load 1 aggregate of {aggregate_length} single-event saves "
         f"(of {aggregate_n})", "ms", False),
        ("open", f"open {big_n}: checkpoint / open+query", "ms", False),
        ("rebuild", f"open {big_n}: rebuild from the log", "ms", False),
        ("rebuild_rate", "  rebuild rate, log bytes", "MB/s", True),
        ("head", "head() round trip, median", "us", False),
        ("rss_load", f"peak RSS, load of {n}", "MiB", False),
        ("rss_open", f"peak RSS, open of {big_n}", "MiB", False),
        ("disk", f"size on disk, {big_n} events", "MB", False),
        ("watch_latency", "sync append to its row in a waiting watch, median", "us", False),
        ("watch_p99", "  same, p99", "us", False),
        ("watch_sync_alone", "  sync append alone, median, same rounds", "us", False),
        ("watch_rate", f"watch over a backlog of {big_n} events", "rows/s", True),
        ("watch_replay_rate", "  replay of the same, 100,000 at a time", "rows/s", True),
    ]
    return {key: Row(*fields) for key, *fields in definitions}


def render(rows, stores, floor, notes, counts):
    """The table, the floor, the bar checks and the notes, as printable text."""
    keys = [key for key, _ in COLUMNS]
    titles = ["workload", "unit"] + [title for _, title in COLUMNS] + ["Corv/SQLite"]
    body = [[row.label, row.unit] + [_number(row.cells.get(k, "-")) for k in keys]
            + [_ratio(row.ratio())] for row in rows.values()]
    widths = [max(len(line[i]) for line in [titles] + body) for i in range(len(titles))]
    lines = [_line(titles, widths), _line(["-" * w for w in widths], widths)]
    lines += [_line(line, widths) for line in body]
    lines += ["", "Physical floor, same disk, at the start of the run (per store: in the table):",
              f"  append 4 KiB + fdatasync, median     {floor['fdatasync_us']:,.0f} us",
              f"  sequential write 256 MiB + fdatasync {floor['write_mb_s']:,.0f} MB/s",
              "", "Bar checks (Corvantine):"]
    lines += [f"  {verdict:<12} {text}{measured}" for verdict, text, measured in
              bar_checks(rows, counts, CORVANTINE in stores)]
    lines += ["", "Notes:"] + [f"  {note}" for note in _standing_notes(counts) + notes]
    return "\n".join(lines)


def bar_checks(rows, counts, measured):
    """(verdict, what is required, measured value) for each bar Corvantine must clear."""
    def ratio(key):
        return rows[key].ratio()

    def ours(key):
        return rows[key].value(CORVANTINE)

    latency, latency_floor = ours("sync_latency"), ours("sync_floor")
    threaded, one_thread = ours("sync_threads"), ours("sync")
    watched, alone = ours("watch_latency"), ours("watch_sync_alone")
    watch_rate, replay_rate = ours("watch_rate"), ours("watch_replay_rate")
    big = f"{counts['big_events']:,}"
    checks = [
        ("buffered single appends >= 3x SQLite NORMAL", ratio("buffered"), operator.ge, 3, "x"),
        (f"batches of {events.BATCH} >= 5x SQLite executemany", ratio("batch"), operator.ge, 5,
         "x"),
        ("sync single appends >= SQLite FULL per second", ratio("sync"), operator.ge, 1, "x"),
        ("sync append median latency within 1.3x the fdatasync floor",
         latency / latency_floor if latency and latency_floor else None, operator.le, 1.3, "x"),
        (f"sync appends from {events.SYNC_THREADS} threads >= 3x SQLite FULL, a connection each",
         ratio("sync_threads"), operator.ge, 3, "x"),
        (f"sync appends from {events.SYNC_THREADS} threads >= 4x one thread's",
         threaded / one_thread if threaded and one_thread else None, operator.ge, 4, "x"),
        ("replay >= 2x SQLite SELECT + json.loads", ratio("replay"), operator.ge, 2, "x"),
        ("read of one stream >= 2x SQLite's indexed read", ratio("read_stream"), operator.ge, 2,
         "x"),
        (f"read of {events.LOG_READ:,} events of the log from its middle >= SQLite's LIMIT",
         ratio("read_log"), operator.ge, 1, "x"),
        (f"read of each of {events.MANY_STREAMS} interleaved streams >= 1.5x SQLite's indexed "
         "read", ratio("many_streams"), operator.ge, 1.5, "x"),
        ("load of one aggregate >= 1.5x SQLite's indexed read + json.loads", ratio("aggregate"),
         operator.ge, 1.5, "x"),
        (f"open of {big} events via checkpoint < 200 ms", ours("open"), operator.lt, 200, " ms"),
        (f"peak RSS of the open of {big} events <= 64 MiB", ours("rss_open"), operator.le, 64,
         " MiB"),
        ("rebuild >= 500 MB of log per second", ours("rebuild_rate"), operator.ge, 500, " MB/s"),
        ("head() median < 10 us", ours("head"), operator.lt, 10, " us"),
        ("watch row median within 150 us of the sync append alone",
         watched - alone if watched and alone else None, operator.le, 150, " us more"),
        ("watch over a backlog >= 80% of replay's rows per second",
         watch_rate / replay_rate if watch_rate and replay_rate else None, operator.ge, 0.8, "x"),
    ]
    results = []
    for text, value, compare, bound, unit in checks:
        if value is None:
            verdict = "not measured" if not measured else "no figure"
            results.append((verdict, text, ""))
        else:
            verdict = "met" if compare(value, bound) else "NOT MET"
            results.append((verdict, text, f"   (measured {_number(value)}{unit})"))
    return results


def _standing_notes(counts):
    return [
        "Ratio: Corvantine over SQLite, turned so that above 1 means Corvantine is ahead;",
        "  sync rows are against SQLite synchronous=FULL, all others against NORMAL.",
        "Every store appends the same events: JSON bodies of about 200 bytes, "
        f"{events.STREAMS:,} streams,",
        "  each append checked against the stream's expected revision (LevelDB excepted).",
        "SQLite: sqlite3, WAL, one transaction per append: SELECT of the current version, "
        "INSERT under",
        "  a unique (stream, version) key; batches are executemany in one transaction.",
        "LMDB: one write transaction per append, key stream+version, current version read and",
        "  updated in the same transaction; sync only in the sync rows.",
        "LevelDB*: plain puts without any revision check: an upper bound, not like-for-like.",
        "flush: the peers have one mode that leaves commits to the OS; the row repeats it.",
        f"sync: {counts['sync_events']:,} events to bound the time, in rounds where the stores",
        "  take turns; the fdatasync floor is measured again before each turn, as it drifts.",
        f"sync, {events.SYNC_THREADS} threads: the same count in the same rounds, each thread "
        "with its own streams;",
        "  SQLite one connection per thread. Corvantine's callers waiting at once share a "
        "flush.",
        f"group commit: Corvantine commit_every_count={events.GROUP_EVERY}; each peer makes every "
        f"{events.GROUP_EVERY:,}th append",
        "  durable (SQLite FULL commit, LMDB env.sync, LevelDB synced put).",
        "Reads and opens run on a warm page cache. Opens are timed in a fresh process up to the",
        "  first answer: Corvantine head(), SQLite max(position), LMDB entry count, LevelDB "
        "one get.",
        "head(): SQLite SELECT max(position), LMDB entry count in a read transaction; LevelDB has",
        "  no global position.",
        "Peak RSS: ru_maxrss of a fresh process per store and workload.",
        f"Log read: Corvantine a watch from the middle position for {events.LOG_READ:,} rows, "
        "default pages;",
        "  SQLite WHERE position >= ? ORDER BY position LIMIT with json.loads of each body.",
        "Watch rows: Corvantine alone, no peer has a feed of durable events. Latency: single",
        "  sync appends in one thread, a watch waiting in another, in rounds alternating with",
        "  the same appends unwatched.",
    ]


def _number(value):
    if isinstance(value, str):
        return value
    if value >= 100:
        return f"{value:,.0f}"
    return f"{value:.1f}" if value >= 10 else f"{value:.2f}"


def _ratio(value):
    if value is None:
        return "-"
    return f"{value:.2f}x" if value >= 0.1 else f"{value:.2g}x"


def _line(cells, widths):
    first, *rest = cells
    return "  ".join([first.ljust(widths[0])] + [c.rjust(w) for c, w in zip(rest, widths[1:])])
