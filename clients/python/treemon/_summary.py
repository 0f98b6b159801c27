"""The end-of-run summary of a recorded command, in the form every treemon tool prints it (see
docs/embedding.md): how long the run took, how it ended, and what the tree used."""

import re
from dataclasses import dataclass, field
from decimal import ROUND_HALF_UP, Decimal
from typing import Any, Dict, List, Optional

from ._accounting import ChildrenUsage
from ._rates import Key, Rates, process_key
from .types import ProcessSample, Snapshot

# The kernel's CPU time is counted in ticks, the samples' in milliseconds: samples that saw more
# than this beyond the kernel's total saw a process the command's tree did not reap.
KERNEL_CPU_SLACK_MS = 50
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def printable(text: str) -> str:
    """`text` with every control character (C0, DEL, C1: line breaks and the escape sequences a
    process may put in its name or arguments) written as an escape, so that what another process
    chose cannot move the cursor, colour or retitle the terminal, or break a line."""
    return _CONTROL.sub(lambda m: _NAMED.get(m.group(), f"\\x{ord(m.group()):02x}"), text)


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
    #: What the kernel counted for the command's reaped tree, where it could be read.
    kernel: Optional[ChildrenUsage] = None


def totals_source(kernel: Optional[ChildrenUsage], sampled_cpu_time_ms: float, left_running: int) -> str:
    """ "kernel" when its reading is the whole truth: nothing was left running, and no process that
    the samples saw escaped (an orphan reaped by someone else takes its CPU time out of the
    reading; the samples then saw more than it holds). Else "samples": at least what they saw."""
    if kernel is None or left_running > 0:
        return "samples"
    return "samples" if sampled_cpu_time_ms > kernel.cpu_time_ms + KERNEL_CPU_SLACK_MS else "kernel"


@dataclass
class SummaryRecorder:
    command: List[str]
    pid: int
    started_at_unix_ms: int = 0
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

    def finish(self, ending: Ending) -> Dict[str, Any]:
        """The summary as treemon-watch records it: the members of its record's last line."""
        sampled_cpu_time_ms = sum(self._cpu_time_ms.values())
        source = totals_source(ending.kernel, sampled_cpu_time_ms, len(ending.left_running))
        exact = ending.kernel if source == "kernel" else None
        cpu_time_ms = round_half_up(sampled_cpu_time_ms if exact is None else exact.cpu_time_ms)
        peak = self._peak_process
        return {
            "type": "summary",
            "command": self.command,
            "pid": self.pid,
            "startedAtUnixMs": self.started_at_unix_ms,
            "wallTimeMs": round_half_up(ending.wall_time_ms),
            "exitStatus": ending.exit_status,
            "signal": ending.signal,
            "processesSeen": len(self._cpu_time_ms),
            "cpuTimeMs": cpu_time_ms,
            "cpuAveragePercent": float(fixed(cpu_time_ms / max(ending.wall_time_ms, 1) * 100)),
            "totalsFrom": source,
            "cpuPeakPercent": float(fixed(self._cpu_peak_percent)),
            "peakResidentBytes": self._peak_resident_bytes,
            "peakProcess": None
            if peak is None
            else {"pid": peak.pid, "name": peak.name, "residentBytes": peak.resident_bytes},
            "readBytes": round_half_up(self._read_bytes if exact is None else exact.read_bytes),
            "writtenBytes": round_half_up(self._written_bytes if exact is None else exact.written_bytes),
            "leftRunning": [
                {"pid": p.pid, "name": p.name, "command": p.command}
                for p in sorted(ending.left_running, key=lambda p: p.pid)
            ],
            "killed": ending.killed,
        }

    def lines(self, ending: Ending) -> List[str]:
        return format_summary(self.finish(ending))


def format_summary(summary: Dict[str, Any]) -> List[str]:
    """The summary as text, one line per element."""
    if summary["exitStatus"] is None:
        status = "unknown (watched by pid)"
    elif summary["signal"] is None:
        status = str(summary["exitStatus"])
    else:
        status = f"{summary['exitStatus']} (killed by {summary['signal']})"
    source = " (exact, from the kernel)" if summary["totalsFrom"] == "kernel" else " (at least, from samples)"
    peak = summary["peakProcess"]
    peak_text = (
        ""
        if peak is None
        else (f", most held by {printable(peak['name'])} (pid {peak['pid']}): {format_bytes(peak['residentBytes'])}")
    )
    left = summary["leftRunning"]
    left_text = (
        "none"
        if not left
        else (
            f"{len(left)}{', killed' if summary['killed'] else ''}: "
            + ", ".join(f"{printable(p['name'])} (pid {p['pid']})" for p in left)
        )
    )

    def line(label: str, value: str) -> str:
        return f"  {label:<16}{value}"

    command = summary["command"]
    return [
        f"summary: {printable(' '.join(command)) if command else 'pid ' + str(summary['pid'])}",
        line("wall time", f"{fixed(summary['wallTimeMs'] / 1000)} s"),
        line("exit status", status),
        line("processes seen", str(summary["processesSeen"])),
        line("CPU time", f"{fixed(summary['cpuTimeMs'] / 1000)} s{source}"),
        line("CPU average", f"{fixed(summary['cpuAveragePercent'])} %"),
        line("CPU peak", f"{fixed(summary['cpuPeakPercent'])} %"),
        line("peak resident", f"{format_bytes(summary['peakResidentBytes'])}{peak_text}"),
        line("read", f"{format_bytes(summary['readBytes'])}{source}"),
        line("written", f"{format_bytes(summary['writtenBytes'])}{source}"),
        line("left running", left_text),
    ]
