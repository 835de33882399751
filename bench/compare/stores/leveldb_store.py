"""LevelDB through python3-plyvel: plain key/value writes, no revision check.

A LevelDB write cannot read and check a stream's version atomically, so this store does
less work than the others: its figures are an upper bound, not a like-for-like result.
Keys are stream name, a zero byte and the big-endian version, as for LMDB.
"""

import json
import struct

import plyvel

from .. import events

_VERSION = struct.Struct(">Q")
_TYPE_PREFIX = events.EVENT_TYPE.encode() + b"\0"


class Store:
    HAS_HEAD = False  # no global position to ask for

    def __init__(self, path, mode="buffered"):
        self._db = plyvel.DB(path, create_if_missing=True)
        self._sync = mode == "sync"
        self._group = mode == "group"
        self._appends = 0

    def append(self, stream, body, expected):
        version = 0 if expected is None else expected + 1
        self._appends += 1
        # A synced write flushes the log, and with it every write before it.
        sync = self._sync or (self._group and self._appends % events.GROUP_EVERY == 0)
        self._db.put(_key(stream.encode(), version), _TYPE_PREFIX + events.dumps(body).encode(),
                     sync=sync)
        return version

    def append_batch(self, stream, bodies, expected):
        name = stream.encode()
        version = -1 if expected is None else expected
        with self._db.write_batch(sync=self._sync) as batch:
            for body in bodies:
                version += 1
                batch.put(_key(name, version), _TYPE_PREFIX + events.dumps(body).encode())
        return version

    def read_stream(self, stream):
        prefix = stream.encode() + b"\0"
        rows = []
        for key, value in self._db.iterator(prefix=prefix):
            event_type, _, body = value.partition(b"\0")
            rows.append({"stream": stream, "version": _VERSION.unpack_from(key, len(prefix))[0],
                         "event_type": event_type.decode(), "body": json.loads(body)})
        return rows

    def first_query(self):
        return self._db.get(_key(events.stream_name(0).encode(), 0))

    def make_durable(self):
        # Every write has already reached the operating system, which is all a reopen needs.
        pass

    def writer(self):
        return self

    def close(self):
        self._db.close()


def _key(name, version):
    return name + b"\0" + _VERSION.pack(version)
