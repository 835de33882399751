"""Corvantine through its Python module: one append_batch call per append."""

import contextlib
import itertools
import os

import corvantine

from .. import events

_CHECKPOINT = "core-catalog.bin"


class Store:
    HAS_HEAD = True

    def __init__(self, path, mode="buffered"):
        # Group commit is the engine's own: a commit after every GROUP_EVERY events.
        every = events.GROUP_EVERY if mode == "group" else None
        self._db = corvantine.open(path, commit_every_count=every)
        self._durability = "buffered" if mode == "group" else mode

    def append(self, stream, body, expected):
        receipt = self._db.append_batch(
            stream, [{"event_type": events.EVENT_TYPE, "body": body}],
            expected_revision=_expected(expected), durability=self._durability)
        return receipt["current_revision"]

    def append_batch(self, stream, bodies, expected):
        receipt = self._db.append_batch(
            stream, [{"event_type": events.EVENT_TYPE, "body": b} for b in bodies],
            expected_revision=_expected(expected), durability=self._durability)
        return receipt["current_revision"]

    def read_stream(self, stream):
        return self._db.replay(stream)

    def read_log(self, start, count):
        with self._db.watch(start=start, timeout=0) as watch:
            return list(itertools.islice(watch, count))

    def head(self):
        return self._db.head()

    def first_query(self):
        return self._db.head()

    def make_durable(self):
        # A commit also rewrites the catalog checkpoint that the next open starts from.
        self._db.commit()

    def writer(self):
        return self

    def close(self):
        self._db.close()

    @staticmethod
    def drop_checkpoint(path):
        """Removes the catalog checkpoint, so that the next open rebuilds it from the log."""
        with contextlib.suppress(FileNotFoundError):
            os.remove(os.path.join(path, _CHECKPOINT))

    @staticmethod
    def log_bytes(path):
        log = os.path.join(path, "log")
        return sum(entry.stat().st_size for entry in os.scandir(log) if entry.is_file())


def _expected(revision):
    return "no_stream" if revision is None else revision
