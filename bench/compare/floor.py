"""What the disk itself allows, measured in the same run and directory as the stores."""

import os
import statistics
import time

_MIB = 1 << 20


def fdatasync_latency_us(directory, count=300, size=4096):
    """Median time to append size bytes to a growing file and fdatasync it."""
    path = os.path.join(directory, "floor-append")
    block = os.urandom(size)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_APPEND | os.O_CLOEXEC, 0o644)
    samples = []
    try:
        for _ in range(count):
            start = time.perf_counter()
            os.write(fd, block)
            os.fdatasync(fd)
            samples.append(time.perf_counter() - start)
    finally:
        os.close(fd)
        os.remove(path)
    return statistics.median(samples) * 1e6


def write_bandwidth_mb_s(directory, total=256 * _MIB, chunk=_MIB):
    """Sequential writes of chunk bytes up to total, then fdatasync; MB (10^6 bytes) per second."""
    path = os.path.join(directory, "floor-sequential")
    block = os.urandom(chunk)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644)
    try:
        start = time.perf_counter()
        for _ in range(total // chunk):
            os.write(fd, block)
        os.fdatasync(fd)
        elapsed = time.perf_counter() - start
    finally:
        os.close(fd)
        os.remove(path)
    return total / elapsed / 1e6
