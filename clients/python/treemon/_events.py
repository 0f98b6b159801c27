"""Turns one output line of the monitor into a typed event, checking every member the records
hold. A line that fails is a broken conversation: the caller ends the client with
"protocol-error". The reasons are the Node client's texts.
"""

import json
from dataclasses import dataclass, replace
from typing import Any, Callable, Dict, List, Optional, Union

from .types import Capabilities, ExternalProcessMatch, Hello, ProcessSample, Snapshot


@dataclass(frozen=True)
class HistoryChunk:
    request_id: str
    done: bool
    snapshots: List[Snapshot]


@dataclass(frozen=True)
class ErrorEvent:
    code: str
    message: str
    recoverable: bool


Event = Union[Hello, Snapshot, HistoryChunk, ErrorEvent]


class BadLine(Exception):
    """A line that is not a valid event; the text says why, with the start of the line."""


class _Malformed(Exception):
    pass


def _int(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise _Malformed()
    return value


def _str(value: Any) -> str:
    if not isinstance(value, str):
        raise _Malformed()
    return value


def _bool(value: Any) -> bool:
    if not isinstance(value, bool):
        raise _Malformed()
    return value


def _cpu(value: Any) -> Optional[float]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise _Malformed()
    return float(value)


def _object(value: Any) -> Dict[str, Any]:
    if not isinstance(value, dict):
        raise _Malformed()
    return value


def _list(value: Any, item: Callable[[Any], Any]) -> List[Any]:
    if not isinstance(value, list):
        raise _Malformed()
    return [item(v) for v in value]


def _row(value: Any) -> ProcessSample:
    r = _object(value)
    try:
        return ProcessSample(
            pid=_int(r["pid"]), ppid=_int(r["ppid"]), start_time_ms=_int(r["startTimeMs"]),
            run_time_ms=_int(r["runTimeMs"]), name=_str(r["name"]), command=_str(r["command"]),
            status=_str(r["status"]), cpu_percent=_cpu(r["cpuPercent"]), cpu_time_ms=_int(r["cpuTimeMs"]),
            resident_bytes=_int(r["residentBytes"]), virtual_bytes=_int(r["virtualBytes"]),
            io_read_bytes=_int(r["ioReadBytes"]), io_write_bytes=_int(r["ioWriteBytes"]),
            io_semantics=_str(r["ioSemantics"]))
    except KeyError:
        raise _Malformed() from None


def _external(value: Any) -> ExternalProcessMatch:
    e = _object(value)
    start = e.get("startTimeMs")
    if "pid" not in e:
        raise _Malformed()
    return ExternalProcessMatch(pid=_int(e["pid"]), start_time_ms=None if start is None else _int(start))


def _snapshot(value: Any, request_id: Optional[str]) -> Snapshot:
    s = _object(value)
    if s.get("type") != "snapshot":
        raise _Malformed()
    try:
        return Snapshot(
            sequence=_int(s["sequence"]), sampled_at_unix_ms=_int(s["sampledAtUnixMs"]),
            collection_duration_micros=_int(s["collectionDurationMicros"]),
            scanned_process_count=_int(s["scannedProcessCount"]),
            retained_process_count=_int(s["retainedProcessCount"]),
            inaccessible_process_count=_int(s["inaccessibleProcessCount"]), request_id=request_id,
            external_processes=_list(s["externalProcesses"], _external), processes=_list(s["processes"], _row))
    except KeyError:
        raise _Malformed() from None


def _capabilities(value: Any) -> Capabilities:
    c = _object(value)
    return Capabilities(*(bool(c.get(name)) for name in (
        "cumulativeCpuTime", "currentCpuPercent", "residentMemory", "virtualMemory", "ioBytes",
        "processStartTime", "processTree")))


def _hello(e: Dict[str, Any]) -> Hello:
    if not isinstance(e.get("sidecarPid"), int) or isinstance(e.get("sidecarPid"), bool):
        raise BadLine("hello without sidecarPid")
    try:
        return Hello(sidecar_version=_str(e.get("sidecarVersion", "")), sidecar_pid=_int(e["sidecarPid"]),
                     platform=_str(e.get("platform", "")), arch=_str(e.get("arch", "")),
                     capabilities=_capabilities(e.get("capabilities", {})))
    except _Malformed:
        raise BadLine("malformed hello") from None


def _snapshot_event(e: Dict[str, Any]) -> Snapshot:
    request_id = e.get("requestId")
    try:
        snapshot = _snapshot(e, None)
    except _Malformed:
        raise BadLine("malformed snapshot") from None
    if request_id is not None or "requestId" in e:
        if not isinstance(request_id, str):
            raise BadLine("malformed requestId")
        snapshot = replace(snapshot, request_id=request_id)
    return snapshot


def _history_chunk(e: Dict[str, Any]) -> HistoryChunk:
    if not isinstance(e.get("requestId"), str) or not isinstance(e.get("done"), bool):
        raise BadLine("malformed historyChunk")
    try:
        snapshots = _list(e.get("snapshots"), lambda s: _snapshot(s, None))
    except _Malformed:
        raise BadLine("malformed historyChunk snapshots") from None
    return HistoryChunk(request_id=e["requestId"], done=e["done"], snapshots=snapshots)


def _error_event(e: Dict[str, Any]) -> ErrorEvent:
    code, message, recoverable = e.get("code"), e.get("message"), e.get("recoverable")
    if not isinstance(code, str) or not isinstance(message, str) or not isinstance(recoverable, bool):
        raise BadLine("malformed error event")
    return ErrorEvent(code=code, message=message, recoverable=recoverable)


_READERS: Dict[str, Callable[[Dict[str, Any]], Event]] = {
    "hello": _hello, "snapshot": _snapshot_event, "historyChunk": _history_chunk, "error": _error_event,
}


def _no_constant(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


def parse_event_line(line: str) -> Event:
    """The event of one line; raises BadLine("reason: start of the line")."""
    shown = line[:200] + "..." if len(line) > 200 else line
    try:
        try:
            value = json.loads(line, parse_constant=_no_constant)
        except ValueError:
            raise BadLine("not JSON") from None
        if not isinstance(value, dict):
            raise BadLine("not a JSON object")
        if value.get("version") != 2 or isinstance(value.get("version"), bool):
            raise BadLine("unsupported event version")
        tag = value.get("type")
        reader = _READERS.get(tag) if isinstance(tag, str) else None
        if reader is None:
            raise BadLine(f"unknown event type {json.dumps(tag) if 'type' in value else 'undefined'}")
        return reader(value)
    except BadLine as bad:
        raise BadLine(f"{bad}: {shown}") from None
