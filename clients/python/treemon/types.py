"""The events treemon writes, as typed records. Attribute names are the wire's member names in
snake case; integers are exact (u64 figures up to 2**64 - 1, where the monitor saturates)."""

from dataclasses import dataclass
from typing import List, Mapping, Optional, Sequence, Union


@dataclass(frozen=True)
class Capabilities:
    """The seven capability flags of the hello; every current monitor sets all of them."""

    cumulative_cpu_time: bool
    current_cpu_percent: bool
    resident_memory: bool
    virtual_memory: bool
    io_bytes: bool
    process_start_time: bool
    process_tree: bool


@dataclass(frozen=True)
class Hello:
    """The first line every monitor writes."""

    sidecar_version: str
    sidecar_pid: int
    #: "linux" or "windows".
    platform: str
    arch: str
    capabilities: Capabilities


@dataclass(frozen=True)
class ProcessSample:
    """One process row of a snapshot."""

    pid: int
    #: Parent pid, 0 when none is known.
    ppid: int
    #: Start time, ms since the Unix epoch, whole seconds (a multiple of 1000).
    start_time_ms: int
    run_time_ms: int
    name: str
    #: The arguments joined by single spaces, or the name when they cannot be read.
    command: str
    #: "Run", "Sleep", "UninterruptibleDiskSleep", "Zombie", ... (see docs/protocol.md).
    status: str
    #: Percent of one logical processor (above 100 on several); None when not finite.
    cpu_percent: Optional[float]
    cpu_time_ms: int
    resident_bytes: int
    #: Private committed memory (Linux: statm data; Windows: PrivateUsage).
    virtual_bytes: int
    io_read_bytes: int
    io_write_bytes: int
    #: "all-io" or "storage".
    io_semantics: str


@dataclass(frozen=True)
class ExternalProcessMatch:
    """An external process that matched, with its start time as the monitor read it."""

    pid: int
    start_time_ms: Optional[int]


@dataclass(frozen=True)
class Snapshot:
    """One sample of the tree."""

    sequence: int
    sampled_at_unix_ms: int
    collection_duration_micros: int
    scanned_process_count: int
    retained_process_count: int
    inaccessible_process_count: int
    #: Set only on the answer to a sample_now().
    request_id: Optional[str]
    external_processes: List[ExternalProcessMatch]
    #: Ascending by pid.
    processes: List[ProcessSample]


@dataclass(frozen=True)
class ExternalProcess:
    """A process outside the root's tree to watch too, optionally guarded by its start time
    (ms since the Unix epoch) against a reused pid."""

    pid: int
    start_time_ms: Optional[int] = None


#: An external process as the calls take it: an ExternalProcess, or a mapping with "pid" and
#: optionally "startTimeMs" (or "start_time_ms").
ExternalProcessArg = Union[ExternalProcess, Mapping[str, object]]
ExternalProcessList = Sequence[ExternalProcessArg]


@dataclass(frozen=True)
class ExitInfo:
    """How the monitor's process ended: an exit status, or the name of the signal that killed it."""

    code: Optional[int]
    signal: Optional[str]
