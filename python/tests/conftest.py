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


def raise_retention_floor(path, floor):
    """Moves the retention floor of a closed database, as applying retention would."""
    manifest_path = os.path.join(path, "manifest.json")
    with open(manifest_path) as f:
        manifest = json.load(f)
    manifest["retention_floor"] = floor
    with open(manifest_path, "w") as f:
        json.dump(manifest, f)
