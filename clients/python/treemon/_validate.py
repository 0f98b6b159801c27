"""Argument checks and command text. Every command the client writes is built here from values
that passed these checks, so the monitor never sees a malformed or out-of-range command: a bad
argument is a TypeError (wrong kind) or ValueError (out of range) before anything is sent. The
texts are those of the Node client, with the wire's member names.

Integers are ints; a float is taken when it holds a whole number that a float represents exactly
(at most 2**53), so 1000.0 passes and 1.5 or 1e300 do not. bool is not an integer here.
"""

import json
import math
from typing import Mapping, Optional

from .types import ExternalProcess, ExternalProcessList

U32_MAX = 0xFFFFFFFF
U64_MAX = (1 << 64) - 1
SAFE_FLOAT_MAX = (1 << 53) - 1


def describe(value: object) -> str:
    """The kind of a value in the words of the Node client's messages."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    if isinstance(value, (list, tuple)):
        return "an array"
    if isinstance(value, Mapping):
        return "object"
    return type(value).__name__


def _integer(value: object, name: str, kinds: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be {kinds}, got {describe(value)}")
    if isinstance(value, float):
        if not value.is_integer():
            raise ValueError(f"{name} must be an integer, got {_float_text(value)}")
        if abs(value) > SAFE_FLOAT_MAX:
            raise ValueError(f"{name} is a float above 2**53 - 1 and may have been rounded; pass an int")
        return int(value)
    return value


def _float_text(value: float) -> str:
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "Infinity" if value > 0 else "-Infinity"
    return repr(value)


def check_u32(value: object, name: str) -> int:
    number = _integer(value, name, "a number")
    if number < 0 or number > U32_MAX:
        raise ValueError(f"{name} must be within 0..{U32_MAX}, got {number}")
    return number


def check_u64(value: object, name: str) -> int:
    number = _integer(value, name, "a number")
    if number < 0:
        raise ValueError(f"{name} must not be negative, got {number}")
    if number > U64_MAX:
        raise ValueError(f"{name} must be within 0..{U64_MAX}, got {number}")
    return number


def check_boolean(value: object, name: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be a boolean, got {describe(value)}")
    return value


def _entry_fields(item: object, name: str) -> "tuple[object, object]":
    if isinstance(item, ExternalProcess):
        return item.pid, item.start_time_ms
    if not isinstance(item, Mapping):
        raise TypeError(f"{name} must be an object, got {describe(item)}")
    start = item.get("startTimeMs", item.get("start_time_ms"))
    return item.get("pid"), start


def external_processes_text(processes: object, name: str) -> str:
    """The JSON text of a list of external processes."""
    if isinstance(processes, (str, bytes, Mapping)) or not isinstance(processes, (list, tuple)):
        raise TypeError(f"{name} must be an array, got {describe(processes)}")
    items = []
    for i, item in enumerate(processes):
        pid, start = _entry_fields(item, f"{name}[{i}]")
        pid_text = check_u32(pid, f"{name}[{i}].pid")
        start_text = "null" if start is None else str(check_u64(start, f"{name}[{i}].startTimeMs"))
        items.append(f'{{"pid":{pid_text},"startTimeMs":{start_text}}}')
    return f"[{','.join(items)}]"


PREFIX = '{"version":2,"type":'


def configure_text(
    root_pid: object, sample_interval_ms: object, external_processes: Optional[ExternalProcessList]
) -> str:
    root = check_u32(root_pid, "rootPid")
    interval = check_u64(sample_interval_ms, "sampleIntervalMs")
    external = external_processes_text([] if external_processes is None else external_processes, "externalProcesses")
    return f'{PREFIX}"configure","rootPid":{root},"sampleIntervalMs":{interval},' f'"externalProcesses":{external}}}'


def set_external_processes_text(processes: object) -> str:
    return f'{PREFIX}"setExternalProcesses","processes":{external_processes_text(processes, "processes")}}}'


def set_sample_interval_text(sample_interval_ms: object) -> str:
    return f'{PREFIX}"setSampleInterval","sampleIntervalMs":{check_u64(sample_interval_ms, "sampleIntervalMs")}}}'


def set_streaming_text(enabled: object) -> str:
    return f'{PREFIX}"setStreaming","enabled":{"true" if check_boolean(enabled, "enabled") else "false"}}}'


def _string(text: str) -> str:
    return json.dumps(text, ensure_ascii=False)


def sample_now_text(request_id: str) -> str:
    return f'{PREFIX}"sampleNow","requestId":{_string(request_id)}}}'


def read_history_text(request_id: str, window_ms: object) -> str:
    return f'{PREFIX}"readHistory","requestId":{_string(request_id)},"windowMs":{check_u64(window_ms, "windowMs")}}}'


SHUTDOWN_TEXT = f'{PREFIX}"shutdown"}}'
