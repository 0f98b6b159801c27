"""The end-of-run summary of a recorded command, in the form every treemon tool prints it (see
docs/embedding.md): how long the run took, how it ended, and what the tree used."""

from dataclasses import dataclass, field
from decimal import ROUND_HALF_UP, Decimal
from typing import Dict, List, Optional

from ._rates import Key, Rates, process_key
from .types import ProcessSample, Snapshot


def fixed(value: float, decimals: int = 1) -> str:
    """`value` with `decimals` decimals, ties away from zero on its exact value."""
    return str(Decimal(value).quantize(Decimal(1).scaleb(-decimals), ROUND_HALF_UP))


def round_half_up(value: float) -> int:
    return int(Decimal(value).quantize(Decimal(1), ROUND_HALF_UP))


def format_bytes(count: float) -> str:
    units = ["B", "KiB", "MiB", "GiB", "TiB"]
    value, unit = float(count), 0
    while value >= 1024 and unit < len(units) - 1:
        value /= 1024
        unit += 1
    return f"{fixed(value, 0)} B" if unit == 0 else f"{fixed(value)} {units[unit]}"


@dataclass
class Ending:
    #: The command's exit status (128 + N for signal N), or None when a running process was watched.
    exit_status: Optional[int]
    signal: Optional[str]
    wall_time_ms: float
    left_running: List[ProcessSample]
    killed: bool = False


@dataclass
class SummaryRecorder:
    command: List[str]
    pid: int
    _cpu_time_ms: Dict[Key, int] = field(default_factory=dict)
    _cpu_peak_percent: float = 0.0
    _peak_resident_bytes: int = 0
    _peak_process: Optional[ProcessSample] = None
    _read_bytes: float = 0.0
    _written_bytes: float = 0.0

    def add(self, snapshot: Snapshot, rates: Dict[Key, Rates]) -> None:
        cpu_percent, resident = 0.0, 0
        for p in snapshot.processes:
            key = process_key(p)
            self._cpu_time_ms[key] = max(self._cpu_time_ms.get(key, 0), p.cpu_time_ms)
            r = rates.get(key, Rates())
            cpu_percent += r.cpu_percent
            self._read_bytes += r.read_bytes
            self._written_bytes += r.write_bytes
            resident += p.resident_bytes
            if self._peak_process is None or p.resident_bytes > self._peak_process.resident_bytes:
                self._peak_process = p
        self._cpu_peak_percent = max(self._cpu_peak_percent, cpu_percent)
        self._peak_resident_bytes = max(self._peak_resident_bytes, resident)

    def lines(self, ending: Ending) -> List[str]:
        """The summary as text, one line per element."""
        cpu_time_ms = sum(self._cpu_time_ms.values())
        wall_ms = round_half_up(ending.wall_time_ms)
        average = Decimal(fixed(cpu_time_ms / max(ending.wall_time_ms, 1) * 100))
        if ending.exit_status is None:
            status = "unknown (watched by pid)"
        elif ending.signal is None:
            status = str(ending.exit_status)
        else:
            status = f"{ending.exit_status} (killed by {ending.signal})"
        peak = "" if self._peak_process is None else (
            f", most held by {self._peak_process.name} (pid {self._peak_process.pid}): "
            f"{format_bytes(self._peak_process.resident_bytes)}")
        left = sorted(ending.left_running, key=lambda p: p.pid)
        left_text = "none" if not left else (
            f"{len(left)}{', killed' if ending.killed else ''}: " + ", ".join(f"{p.name} (pid {p.pid})" for p in left))

        def line(label: str, value: str) -> str:
            return f"  {label:<16}{value}"
        return [
            f"summary: {' '.join(self.command) if self.command else f'pid {self.pid}'}",
            line("wall time", f"{fixed(wall_ms / 1000)} s"),
            line("exit status", status),
            line("processes seen", str(len(self._cpu_time_ms))),
            line("CPU time", f"{fixed(cpu_time_ms / 1000)} s"),
            line("CPU average", f"{average} %"),
            line("CPU peak", f"{fixed(self._cpu_peak_percent)} %"),
            line("peak resident", f"{format_bytes(self._peak_resident_bytes)}{peak}"),
            line("read", format_bytes(round_half_up(self._read_bytes))),
            line("written", format_bytes(round_half_up(self._written_bytes))),
            line("left running", left_text),
        ]
