"""A damaged segment on disk: only a torn tail is ever cut off."""

import os

import pytest

import corvantine


def segment_path(path):
    return os.path.join(path, "log", "00000000000000000000.seg")


def test_damage_before_synced_batches_fails_the_open_and_cuts_nothing(path):
    db = corvantine.open(path)
    for i in range(10):
        db.append_batch("s", [{"body": i}], durability="sync")
    db.close()
    segment = segment_path(path)
    data = bytearray(open(segment, "rb").read())
    data[40] ^= 4
    open(segment, "wb").write(data)

    for _ in range(2):  # a failed open leaves the next one the same file
        with pytest.raises(corvantine.CorruptionError) as raised:
            corvantine.open(path)
        assert f"segment {segment} is damaged at byte 0" in str(raised.value)
        assert open(segment, "rb").read() == bytes(data)


def test_torn_last_batch_is_cut_off(path, capfd):
    db = corvantine.open(path)
    for i in range(3):
        db.append_batch("s", [{"body": i}], durability="sync")
    db.close()
    segment = segment_path(path)
    size = os.path.getsize(segment)
    os.truncate(segment, size - 10)

    db = corvantine.open(path)
    assert db.head() == 2
    assert [row["body"] for row in db.replay("s")] == [0, 1]
    db.close()
    assert "corvantine: truncating" in capfd.readouterr().err


@pytest.mark.parametrize("zeros", [32, 4096])
def test_zeros_left_after_the_last_batch_by_a_power_failure_are_cut_off(path, capfd, zeros):
    db = corvantine.open(path)
    db.append_batch("s", [{"body": 0}], durability="sync")
    db.close()
    segment = segment_path(path)
    size = os.path.getsize(segment)
    with open(segment, "ab") as f:
        f.write(bytes(zeros))

    db = corvantine.open(path)
    assert os.path.getsize(segment) == size
    db.append_batch("s", [{"body": 1}], durability="sync")
    assert [row["body"] for row in db.replay("s")] == [0, 1]
    db.close()
    assert f"dropping {zeros} trailing byte(s)" in capfd.readouterr().err
