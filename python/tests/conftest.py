"""Fixtures shared by the suites.

The suites import `corvantine` (and the test support module `_corvantine_testing`)
from the build directory that PYTHONPATH names.
"""

import json
import os

import pytest

import corvantine


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
