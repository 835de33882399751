"""SQLite through Python's sqlite3, laid out as Python event-sourcing libraries lay it out.

One table with a global position and a unique (stream, version) key, WAL journal, one
transaction per append. The expected revision is checked by reading the stream's current
version inside the transaction; the unique key stops a writer that raced past the check.
synchronous=NORMAL leaves commits in the operating system's cache; FULL syncs the WAL at
every commit.
"""

import json
import os
import sqlite3

from .. import events
from . import RevisionConflict

_SCHEMA = """CREATE TABLE IF NOT EXISTS events (
    position   INTEGER PRIMARY KEY,
    stream     TEXT    NOT NULL,
    version    INTEGER NOT NULL,
    event_type TEXT    NOT NULL,
    body       TEXT    NOT NULL,
    UNIQUE (stream, version))"""
_CURRENT = "SELECT max(version) FROM events WHERE stream = ?"
_INSERT = "INSERT INTO events (stream, version, event_type, body) VALUES (?, ?, ?, ?)"
_READ = "SELECT position, version, event_type, body FROM events WHERE stream = ? ORDER BY version"
_READ_LOG = ("SELECT position, stream, version, event_type, body FROM events "
             "WHERE position >= ? ORDER BY position LIMIT ?")
_HEAD = "SELECT max(position) FROM events"


class Store:
    HAS_HEAD = True

    def __init__(self, path, mode="buffered"):
        os.makedirs(path, exist_ok=True)
        self._path = path
        self._mode = mode
        self._appends = 0
        # Autocommit mode: the transactions below are explicit.
        self._conn = sqlite3.connect(os.path.join(path, "events.sqlite3"), isolation_level=None,
                                     timeout=60, check_same_thread=False)
        self._conn.execute("PRAGMA journal_mode=WAL")
        self._conn.execute(f"PRAGMA synchronous={'FULL' if mode == 'sync' else 'NORMAL'}")
        self._conn.execute(_SCHEMA)

    def append(self, stream, body, expected):
        return self._write(stream, (body,), expected)

    def append_batch(self, stream, bodies, expected):
        return self._write(stream, bodies, expected)

    def _write(self, stream, bodies, expected):
        group_commit = self._mode == "group" and (self._appends + 1) % events.GROUP_EVERY == 0
        if group_commit:
            # A FULL commit syncs the WAL, and with it every commit before it.
            self._conn.execute("PRAGMA synchronous=FULL")
        conn = self._conn
        conn.execute("BEGIN IMMEDIATE")
        try:
            current = conn.execute(_CURRENT, (stream,)).fetchone()[0]
            if current != expected:
                raise RevisionConflict(f"{stream}: expected {expected}, found {current}")
            first = 0 if current is None else current + 1
            rows = [(stream, first + k, events.EVENT_TYPE, events.dumps(b))
                    for k, b in enumerate(bodies)]
            if len(rows) == 1:
                conn.execute(_INSERT, rows[0])
            else:
                conn.executemany(_INSERT, rows)
            conn.execute("COMMIT")
        except BaseException:
            conn.execute("ROLLBACK")
            raise
        if group_commit:
            conn.execute("PRAGMA synchronous=NORMAL")
        self._appends += 1
        return first + len(rows) - 1

    def read_stream(self, stream):
        return [{"position": position, "stream": stream, "version": version,
                 "event_type": event_type, "body": json.loads(body)}
                for position, version, event_type, body in self._conn.execute(_READ, (stream,))]

    def read_log(self, start, count):
        return [{"position": position, "stream": stream, "version": version,
                 "event_type": event_type, "body": json.loads(body)}
                for position, stream, version, event_type, body
                in self._conn.execute(_READ_LOG, (start, count))]

    def head(self):
        return self._conn.execute(_HEAD).fetchone()[0]

    def first_query(self):
        return self.head()

    def make_durable(self):
        self._conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")

    def writer(self):
        # One connection per thread: SQLite serialises the writers itself.
        return Store(self._path, self._mode)

    def close(self):
        self._conn.close()
