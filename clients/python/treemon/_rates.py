"""Rates between consecutive snapshots, from the cumulative counters (CPU time, bytes read and
written), as treemon-watch derives them. A process seen for the first time is rated over its life
so far, as the counters run from its start. The monitor's own cpuPercent is 0 for a process in its
first snapshot and a ratio since the machine started in its second, so CPU % comes from
cpu_time_ms instead.

Where a child's I/O counts move into its parent's when the parent reaps it (Linux), the counts of
a child that has ended become a credit of its nearest ancestor still present, and that ancestor's
next differences are reduced by it until it is used up, so that no byte is counted twice.
"""

from dataclasses import dataclass, field
from typing import Dict, List, Optional, Set, Tuple

from .types import ProcessSample, Snapshot


@dataclass
class Rates:
    #: CPU % of one processor over the time since the previous snapshot.
    cpu_percent: float = 0.0
    read_per_second: float = 0.0
    write_per_second: float = 0.0
    #: Bytes read and written since the previous snapshot (since the start when first seen).
    read_bytes: float = 0.0
    write_bytes: float = 0.0


@dataclass
class _Counters:
    at: int
    pid: int
    ppid: int
    cpu: int
    read: int
    write: int
    #: A zombie: its counts are final and about to move into its parent's.
    ended: bool


@dataclass
class _Credit:
    read: float = 0.0
    write: float = 0.0


Key = Tuple[int, int]


def process_key(p: ProcessSample) -> Key:
    """A process is the same process while its pid and start time stay the same."""
    return (p.pid, p.start_time_ms)


@dataclass
class RateTracker:
    children_fold_into_parent: bool = False
    _previous: Dict[Key, _Counters] = field(default_factory=dict)
    _folded: Set[Key] = field(default_factory=set)
    _credit: Dict[Key, _Credit] = field(default_factory=dict)

    def update(self, snapshot: Snapshot) -> Dict[Key, Rates]:
        present = {
            process_key(p): _Counters(
                snapshot.sampled_at_unix_ms,
                p.pid,
                p.ppid,
                p.cpu_time_ms,
                p.io_read_bytes,
                p.io_write_bytes,
                p.status in ("Zombie", "Dead"),
            )
            for p in snapshot.processes
        }
        if self.children_fold_into_parent:
            self._fold_ended_children(present)
        rates: Dict[Key, Rates] = {}
        for p in snapshot.processes:
            key = process_key(p)
            now = present[key]
            base = self._previous.get(key) or _Counters(
                snapshot.sampled_at_unix_ms - max(p.run_time_ms, 1000), p.pid, p.ppid, 0, 0, 0, False
            )
            ms = max(now.at - base.at, 1)
            credit = self._credit.get(key)
            read = _take(now.read - base.read, credit, "read")
            write = _take(now.write - base.write, credit, "write")
            rates[key] = Rates(
                cpu_percent=max(now.cpu - base.cpu, 0) / ms * 100,
                read_per_second=read / ms * 1000,
                write_per_second=write / ms * 1000,
                read_bytes=read,
                write_bytes=write,
            )
        self._credit = {k: c for k, c in self._credit.items() if k in present}
        self._previous = present
        return rates

    def _fold_ended_children(self, present: Dict[Key, _Counters]) -> None:
        known: Dict[int, Tuple[Key, _Counters]] = {}
        for key, c in list(self._previous.items()) + list(present.items()):
            known[c.pid] = (key, c)
        ended: List[Tuple[Key, _Counters]] = [(k, c) for k, c in self._previous.items() if k not in present]
        ended += [(k, c) for k, c in present.items() if c.ended]
        for key, child in ended:
            if key in self._folded:
                continue
            ancestor = _nearest_present_ancestor(child, known, present)
            if ancestor is None:
                continue
            self._folded.add(key)
            credit = self._credit.setdefault(ancestor, _Credit())
            credit.read += child.read
            credit.write += child.write


def _take(delta: int, credit: Optional[_Credit], kind: str) -> float:
    own = max(delta, 0)
    if credit is None:
        return own
    available: float = getattr(credit, kind)
    taken = min(own, available)
    setattr(credit, kind, available - taken)
    return own - taken


def _nearest_present_ancestor(
    process: _Counters, known: Dict[int, Tuple[Key, _Counters]], present: Dict[Key, _Counters]
) -> Optional[Key]:
    seen = {process.pid}
    parent = known.get(process.ppid)
    while parent is not None:
        key, counters = parent
        if key in present and not counters.ended:
            return key
        if counters.pid in seen:
            return None
        seen.add(counters.pid)
        parent = known.get(counters.ppid)
    return None
