"""Fixtures shared by the suites.

The suites import `corvantine` as installed (`./dev test` installs the wheel into a
virtual environment) or from the build directory that PYTHONPATH names, and the test
support module `_corvantine_testing` from a build directory.
"""

import json
import os

import pytest

import corvantine


# A feed-bootstrap descriptor as the bootstrap attribute shows it: every key in order, each
# value at an edge of its range.
DESCRIPTOR = {
    "database_id": "0123456789abcdef" * 2, "generation": 3, "floor": 2**64 - 1,
    "consumer_id": "consumer \u00e9", "checkpoint_id": "ff" * 16,
    "branches": ["00" * 16, "ab" * 16], "streams": ["cd" * 16], "event_types": ["a", "b"],
    "byte_length": 0, "checksum": 2**32 - 1, "resume_from": 7, "codec": "opaque",
    "codec_version": 2**32 - 1,
}


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes seconds, not milliseconds")


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "db")


@pytest.fixture
def db(path):
    database = corvantine.open(path)
    yield database
    database.close()


def bodies(rows):
    return [row["body"] for row in rows]


def edit_manifest(path, **fields):
    """Sets fields of the manifest of a closed database."""
    manifest_path = os.path.join(path, "manifest.json")
    with open(manifest_path) as f:
        manifest = json.load(f)
    manifest.update(fields)
    with open(manifest_path, "w") as f:
        json.dump(manifest, f)


def roll_log(path, head):
    """Starts a new active segment at the head of a closed database, as a roll does."""
    with open(os.path.join(path, "log", "%020d.seg" % head), "xb"):
        pass
    edit_manifest(path, active_segment_base=head, next_offset=head)


def raise_retention_floor(path, floor):
    """Moves the retention floor of a closed database, as applying retention would: to a
    segment base."""
    edit_manifest(path, retention_floor=floor)
