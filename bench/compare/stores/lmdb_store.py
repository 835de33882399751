"""LMDB through python3-lmdb: one write transaction per append.

Events are keyed by stream name, a zero byte and the big-endian version, so a stream reads
as one key range. A second table holds each stream's current version, read and updated in
the same transaction as the check. Without sync the pages are written to the operating
system at commit but not flushed; with sync every commit is flushed.
"""

import json
import struct

import lmdb

from .. import events
from . import RevisionConflict

_MAP_SIZE = 8 << 30  # address space only; the file grows as pages are used
_VERSION = struct.Struct(">Q")
_TYPE_PREFIX = events.EVENT_TYPE.encode() + b"\0"


class Store:
    HAS_HEAD = True

    def __init__(self, path, mode="buffered"):
        self._env = lmdb.open(path, map_size=_MAP_SIZE, max_dbs=2, sync=mode == "sync")
        self._events = self._env.open_db(b"events")
        self._versions = self._env.open_db(b"versions")
        self._group = mode == "group"
        self._appends = 0

    def append(self, stream, body, expected):
        return self._write(stream, (body,), expected)

    def append_batch(self, stream, bodies, expected):
        return self._write(stream, bodies, expected)

    def _write(self, stream, bodies, expected):
        name = stream.encode()
        with self._env.begin(write=True) as txn:
            stored = txn.get(name, db=self._versions)
            current = None if stored is None else _VERSION.unpack(stored)[0]
            if current != expected:
                raise RevisionConflict(f"{stream}: expected {expected}, found {current}")
            version = -1 if current is None else current
            for body in bodies:
                version += 1
                if not txn.put(name + b"\0" + _VERSION.pack(version),
                               _TYPE_PREFIX + events.dumps(body).encode(),
                               db=self._events, overwrite=False):
                    raise RevisionConflict(f"{stream}: version {version} exists")
            txn.put(name, _VERSION.pack(version), db=self._versions)
        self._appends += 1
        if self._group and self._appends % events.GROUP_EVERY == 0:
            self._env.sync(True)
        return version

    def read_stream(self, stream):
        prefix = stream.encode() + b"\0"
        rows = []
        with self._env.begin() as txn:
            cursor = txn.cursor(db=self._events)
            if not cursor.set_range(prefix):
                return rows
            for key, value in cursor:
                if not key.startswith(prefix):
                    break
                event_type, _, body = value.partition(b"\0")
                rows.append({"stream": stream, "version": _VERSION.unpack_from(key, len(prefix))[0],
                             "event_type": event_type.decode(), "body": json.loads(body)})
        return rows

    def head(self):
        with self._env.begin() as txn:
            return txn.stat(self._events)["entries"]

    def first_query(self):
        return self.head()

    def make_durable(self):
        self._env.sync(True)

    def writer(self):
        return self

    def close(self):
        self._env.close()
