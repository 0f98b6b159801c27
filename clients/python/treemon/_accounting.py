"""The kernel's own totals of a finished command. On Linux a parent that has waited for a child
holds that child's CPU time in its children accounting (getrusage(RUSAGE_CHILDREN)), and the
child's I/O in its own counters (/proc/self/io, whose growth beyond what the threads of this
process did themselves is what its reaped children did). Each child brings along what its own
reaped children used, so a reading before the command starts and one right after it has been
reaped (while the monitor, also a child, still runs) hold exactly what the whole tree used, every
short-lived process included. Elsewhere there is no such reading."""

import os
import re
import sys
from dataclasses import dataclass
from typing import Optional, Tuple


@dataclass(frozen=True)
class ChildrenUsage:
    """What this process's waited-for children used, from its start."""

    cpu_time_ms: float
    read_bytes: int
    written_bytes: int


def _io_counts(path: str) -> Optional[Tuple[int, int]]:
    try:
        with open(path, encoding="ascii") as file:
            text = file.read()
    except OSError:
        return None
    read = re.search(r"^rchar: (\d+)$", text, re.M)
    written = re.search(r"^wchar: (\d+)$", text, re.M)
    return None if read is None or written is None else (int(read.group(1)), int(written.group(1)))


def _own_threads_io() -> Tuple[int, int]:
    read = written = 0
    for task in os.listdir("/proc/self/task"):
        # A thread that ended meanwhile has no file left; its counts are then in the process's own.
        counts = _io_counts(f"/proc/self/task/{task}/io") or (0, 0)
        read += counts[0]
        written += counts[1]
    return read, written


def children_usage() -> Optional[ChildrenUsage]:
    """The reading now, or None where the kernel keeps none this process can read."""
    if not sys.platform.startswith("linux"):
        return None
    import resource

    try:
        times = resource.getrusage(resource.RUSAGE_CHILDREN)
        everything = _io_counts("/proc/self/io")
        own = _own_threads_io()
    except OSError:
        return None
    if everything is None:
        return None
    return ChildrenUsage(
        (times.ru_utime + times.ru_stime) * 1000, max(everything[0] - own[0], 0), max(everything[1] - own[1], 0)
    )


def usage_between(before: Optional[ChildrenUsage], after: Optional[ChildrenUsage]) -> Optional[ChildrenUsage]:
    """What was used between two readings."""
    if before is None or after is None:
        return None
    return ChildrenUsage(
        max(after.cpu_time_ms - before.cpu_time_ms, 0),
        max(after.read_bytes - before.read_bytes, 0),
        max(after.written_bytes - before.written_bytes, 0),
    )
