"""The stores under test, each behind the same small interface.

A store is opened on a directory, `Store(path, mode)`, where mode says when appends reach
stable storage:
  "buffered", "flush"  never on their own (the peers have one such mode; Corvantine two)
  "sync"               every append, before it returns
  "group"              every GROUP_EVERY appends

and offers:
  append(stream, body, expected) -> revision   one event, refused unless the stream's current
                                               revision is `expected` (None: no stream yet)
  append_batch(stream, bodies, expected) -> revision
  read_stream(stream) -> list of row dicts     in revision order, bodies parsed
  read_log(start, count) -> list of row dicts  count events of the global log from position
                                               start, bodies parsed; only a store that has a
                                               global position offers it
  head() -> int                                the cheapest "where is the end" query
  first_query()                                what an application asks right after opening
  make_durable()                               everything so far on stable storage
  writer() -> store                            a handle for one more writing thread
  close()

Class attribute HAS_HEAD: False when the store has no head to ask for.

Each store lives in its own module, imported only by the process that measures it, so
that its library's memory is not charged to the others.
"""

import importlib

KEYS = ("corvantine", "sqlite", "lmdb", "leveldb")


class RevisionConflict(Exception):
    pass


def load(key):
    if key not in KEYS:
        raise ValueError(f"unknown store {key!r}")
    return importlib.import_module(f".{key}_store", __name__).Store
