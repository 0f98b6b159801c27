"""Turns one output line of the monitor into a typed event. A line is an event when it holds
every member the protocol schema requires and no other, each of its JSON type: whole numbers are
non-negative (a whole number written with a fraction, 120.0, is taken as the integer) and 32-bit
ones within range, cpuPercent is a non-negative number or None. Texts are passed on unchecked. The
Node client checks the same, with the same reasons (tests/transcripts/malformed.json). A line that
fails is a broken conversation: the caller ends the client with "protocol-error". A failing line
nested deeper than MAX_NESTING is reported as such, whatever else is wrong with it: json's parser
recurses and cannot read much deeper, and both clients must give one reason.
"""

import json
from dataclasses import dataclass, replace
from typing import Any, Callable, Dict, List, Optional, Union

from .types import Capabilities, ExternalProcessMatch, Hello, ProcessSample, Snapshot

#: Events nest five deep; a failing line deeper than this is reported as nested too deeply.
MAX_NESTING = 64
U32_MAX = 0xFFFFFFFF
_ROW_MEMBERS = 14
_SNAPSHOT_MEMBERS = 10
_CAPABILITIES = (
    "cumulativeCpuTime",
    "currentCpuPercent",
    "residentMemory",
    "virtualMemory",
    "ioBytes",
    "processStartTime",
    "processTree",
)


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
    if isinstance(value, float) and value.is_integer() and value >= 0:
        return int(value)
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise _Malformed()
    return value


def _u32(value: Any) -> int:
    number = _int(value)
    if number > U32_MAX:
        raise _Malformed()
    return number


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
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not value >= 0:
        raise _Malformed()
    try:
        return float(value)
    except OverflowError:  # an integer beyond the doubles, which the Node client reads as Infinity
        return float("inf")


def _object(value: Any, members: int) -> Dict[str, Any]:
    """`value` as an object of `members` members; that every expected one is then present (its
    reading raises KeyError otherwise) means no other is."""
    if not isinstance(value, dict) or len(value) != members:
        raise _Malformed()
    return value


def _list(value: Any, item: Callable[[Any], Any]) -> List[Any]:
    if not isinstance(value, list):
        raise _Malformed()
    return [item(v) for v in value]


def _row(value: Any) -> ProcessSample:
    r = _object(value, _ROW_MEMBERS)
    try:
        return ProcessSample(
            pid=_u32(r["pid"]),
            ppid=_u32(r["ppid"]),
            start_time_ms=_int(r["startTimeMs"]),
            run_time_ms=_int(r["runTimeMs"]),
            name=_str(r["name"]),
            command=_str(r["command"]),
            status=_str(r["status"]),
            cpu_percent=_cpu(r["cpuPercent"]),
            cpu_time_ms=_int(r["cpuTimeMs"]),
            resident_bytes=_int(r["residentBytes"]),
            virtual_bytes=_int(r["virtualBytes"]),
            io_read_bytes=_int(r["ioReadBytes"]),
            io_write_bytes=_int(r["ioWriteBytes"]),
            io_semantics=_str(r["ioSemantics"]),
        )
    except KeyError:
        raise _Malformed() from None


def _external(value: Any) -> ExternalProcessMatch:
    e = _object(value, 2)
    try:
        start = e["startTimeMs"]
        return ExternalProcessMatch(pid=_u32(e["pid"]), start_time_ms=None if start is None else _int(start))
    except KeyError:
        raise _Malformed() from None


def _snapshot(value: Any, request_id: Optional[str]) -> Snapshot:
    """A snapshot whose members are those of a kept one, plus requestId when `request_id` is
    given (the event's own, checked by the caller)."""
    s = _object(value, _SNAPSHOT_MEMBERS + (request_id is not None))
    if s.get("type") != "snapshot" or not _is_version(s.get("version")):
        raise _Malformed()
    try:
        return Snapshot(
            sequence=_int(s["sequence"]),
            sampled_at_unix_ms=_int(s["sampledAtUnixMs"]),
            collection_duration_micros=_int(s["collectionDurationMicros"]),
            scanned_process_count=_int(s["scannedProcessCount"]),
            retained_process_count=_int(s["retainedProcessCount"]),
            inaccessible_process_count=_int(s["inaccessibleProcessCount"]),
            request_id=request_id,
            external_processes=_list(s["externalProcesses"], _external),
            processes=_list(s["processes"], _row),
        )
    except KeyError:
        raise _Malformed() from None


def _is_version(value: Any) -> bool:
    return value == 2 and not isinstance(value, bool)


def _capabilities(value: Any) -> Capabilities:
    c = _object(value, len(_CAPABILITIES))
    try:
        return Capabilities(*(_bool(c[name]) for name in _CAPABILITIES))
    except KeyError:
        raise _Malformed() from None


def _hello(e: Dict[str, Any]) -> Hello:
    try:
        pid = _u32(e.get("sidecarPid"))
    except _Malformed:
        raise BadLine("hello without sidecarPid") from None
    try:
        _object(e, 7)
        return Hello(
            sidecar_version=_str(e["sidecarVersion"]),
            sidecar_pid=pid,
            platform=_str(e["platform"]),
            arch=_str(e["arch"]),
            capabilities=_capabilities(e["capabilities"]),
        )
    except (_Malformed, KeyError):
        raise BadLine("malformed hello") from None


def _snapshot_event(e: Dict[str, Any]) -> Snapshot:
    has_request_id = "requestId" in e
    try:
        snapshot = _snapshot(e, "" if has_request_id else None)
    except _Malformed:
        raise BadLine("malformed snapshot") from None
    if has_request_id:
        request_id = e["requestId"]
        if not isinstance(request_id, str):
            raise BadLine("malformed requestId")
        snapshot = replace(snapshot, request_id=request_id)
    return snapshot


def _history_chunk(e: Dict[str, Any]) -> HistoryChunk:
    if (
        len(e) != 5
        or not isinstance(e.get("requestId"), str)
        or not isinstance(e.get("done"), bool)
        or not isinstance(e.get("snapshots"), list)
    ):
        raise BadLine("malformed historyChunk")
    try:
        snapshots = _list(e.get("snapshots"), lambda s: _snapshot(s, None))
    except _Malformed:
        raise BadLine("malformed historyChunk snapshots") from None
    return HistoryChunk(request_id=e["requestId"], done=e["done"], snapshots=snapshots)


def _error_event(e: Dict[str, Any]) -> ErrorEvent:
    code, message, recoverable = e.get("code"), e.get("message"), e.get("recoverable")
    if len(e) != 5 or not isinstance(code, str) or not isinstance(message, str) or not isinstance(recoverable, bool):
        raise BadLine("malformed error event")
    return ErrorEvent(code=code, message=message, recoverable=recoverable)


_READERS: Dict[str, Callable[[Dict[str, Any]], Event]] = {
    "hello": _hello,
    "snapshot": _snapshot_event,
    "historyChunk": _history_chunk,
    "error": _error_event,
}


def _no_constant(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


def _event(value: Any) -> Event:
    if not isinstance(value, dict):
        raise BadLine("not a JSON object")
    if not _is_version(value.get("version")):
        raise BadLine("unsupported event version")
    tag = value.get("type")
    reader = _READERS.get(tag) if isinstance(tag, str) else None
    if reader is None:
        raise BadLine(f"unknown event type {json.dumps(tag) if 'type' in value else 'undefined'}")
    return reader(value)


def _nested_deeper_than(value: Any, limit: int) -> bool:
    """Whether some list or dict of `value` lies more than `limit` levels deep."""
    stack = [(value, 1)]
    while stack:
        v, depth = stack.pop()
        if not isinstance(v, (list, dict)):
            continue
        if depth > limit:
            return True
        stack.extend((child, depth + 1) for child in (v.values() if isinstance(v, dict) else v))
    return False


def parse_event_line(line: str) -> Event:
    """The event of one line; raises BadLine("reason: start of the line")."""
    shown = line[:200] + "..." if len(line) > 200 else line
    try:
        value = json.loads(line, parse_constant=_no_constant)
    except RecursionError:
        raise BadLine(f"nested too deeply: {shown}") from None
    except ValueError:
        raise BadLine(f"not JSON: {shown}") from None
    try:
        return _event(value)
    except BadLine as bad:
        reason = "nested too deeply" if _nested_deeper_than(value, MAX_NESTING) else str(bad)
        raise BadLine(f"{reason}: {shown}") from None
