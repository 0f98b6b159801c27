"""docs/protocol.schema.json against the real monitor: what it writes validates, the commands of
the docs get the monitor's verdict, and the commands it refuses are refused here too, but for the
few the schema's description owns up to."""

import copy
import json
import os
import re
from pathlib import Path
from typing import Any, Iterator, List, Tuple

import pytest

from raw_monitor import REPO, Judge


@pytest.fixture(scope="module")
def judge() -> Iterator[Judge]:
    j = Judge()
    yield j
    j.close()


def accepts(validator: Any, line: str) -> bool:
    return bool(validator.is_valid(json.loads(line)))


DEEP_126 = '{"version":2,"type":"shutdown","extra":' + "[" * 126 + "]" * 126 + "}"
DEEP_127 = '{"version":2,"type":"setStreaming","enabled":true,"extra":' + "[" * 127 + "]" * 127 + "}"

# Lines the monitor refuses; the schema refuses them too.
REFUSED = [
    '{"version":2}',
    '{"type":"reboot","version":2}',
    '{"Type":"shutdown","version":2}',
    '{"type":"shutdown"}',
    '{"type":"shutdown","version":3}',
    '{"type":"shutdown","version":"2"}',
    '{"type":"readHistory","version":2,"requestId":"r1"}',
    '{"type":"readHistory","version":2,"requestId":"r1","windowMs":1.5}',
    '{"type":"readHistory","version":2,"requestId":"r1","windowMs":-1}',
    '{"type":"sampleNow","version":2,"requestId":7}',
    '{"type":"sampleNow","version":2,"requestId":null}',
    '{"type":"configure","version":2,"rootPid":"2","sampleIntervalMs":1000}',
    '{"type":"configure","version":2,"rootPid":-1,"sampleIntervalMs":1000}',
    '{"type":"configure","version":2,"rootPid":4294967296,"sampleIntervalMs":1000}',
    '{"type":"configure","version":2,"rootPid":null,"sampleIntervalMs":1000}',
    '{"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":18446744073709551616}',
    '{"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":0,"externalProcesses":null}',
    '{"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":0,"externalProcesses":[{"startTimeMs":5}]}',
    '{"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":0,"externalProcesses":[{"pid":1,"startTimeMs":-5}]}',
    '{"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":0,"externalProcesses":["1"]}',
    '{"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":0,"externalProcesses":[[]]}',
    '{"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":0,"externalProcesses":[[1,2,3]]}',
    '{"type":"setExternalProcesses","version":2,"externalProcesses":[]}',
    '{"type":"setSampleInterval","version":2}',
    '{"type":"setStreaming","version":2,"enabled":1}',
    '["configure",2,1234]',
    '["shutdown",2,3]',
    '["sampleNow",2]',
    "[]",
    '"shutdown"',
    "42",
    "null",
]

# Lines the monitor takes; so does the schema.
ACCEPTED = [
    '["sampleNow",2,"r1"]',
    '["configure",2,1234,1000]',
    '["configure",2,1,0,[[900],[901,null],{"pid":902,"startTimeMs":1000}]]',
    '["readHistory",2,"r",0]',
    '{"requestId":"x","version":2,"type":"sampleNow"}',
    '{"type":"setExternalProcesses","version":2,"processes":[{"pid":4294967295,"startTimeMs":18446744073709551615},{"pid":0,"startTimeMs":null,"name":"x"}],"externalProcesses":7}',
    '{"type":"setSampleInterval","version":2,"sampleIntervalMs":18446744073709551615}',
    '{"type":"setStreaming","version":2,"enabled":false,"extra":{"a":[1,2]}}',
    DEEP_126,
]

# Lines the monitor refuses but the schema cannot: [line, a word the schema's description uses
# for the reason].
BEYOND_THE_SCHEMA = [
    ('{"type":"configure","version":2,"rootPid":1.0,"sampleIntervalMs":0}', "1.0"),
    ('{"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":1e3}', "1e3"),
    ('{"type":"configure","version":2,"rootPid":-0,"sampleIntervalMs":0}', "-0"),
    ('{"type":"sampleNow","version":2,"requestId":"a","requestId":"b"}', "given twice"),
    (DEEP_127, "127"),
    ('{"type":"sampleNow","version":2,"requestId":"\\ud800"}', "surrogate"),
]


@pytest.mark.parametrize("line", REFUSED)
def test_a_command_the_monitor_refuses_is_refused(schema: Any, judge: Judge, line: str) -> None:
    assert judge.refuses(line)
    assert not accepts(schema.command, line)
    assert not accepts(schema.whole, line)


@pytest.mark.parametrize("line", ACCEPTED)
def test_a_command_the_monitor_takes_is_valid(schema: Any, judge: Judge, line: str) -> None:
    assert not judge.refuses(line)
    assert accepts(schema.command, line)


@pytest.mark.parametrize("line,reason", BEYOND_THE_SCHEMA)
def test_what_the_schema_cannot_refuse_is_listed_in_its_description(
    schema: Any, judge: Judge, line: str, reason: str
) -> None:
    assert judge.refuses(line)
    assert accepts(schema.command, line)
    assert reason in schema.document["description"]


def doc_lines() -> List[Tuple[str, str, bool]]:
    """Every command and event line of the docs: (where, JSON text, whether the docs show it
    refused). A command is shown refused when the next line answers it with an invalid-command or
    protocol-mismatch error, or when the reason follows it on the same line."""
    found = []
    decoder = json.JSONDecoder()
    for doc in ("README.md", "docs/protocol.md", "docs/embedding.md"):
        text = (REPO / doc).read_text(encoding="utf-8")
        lines = [re.sub(r"^\s*[<>]?\s*", "", line) for line in text.splitlines()]
        for number, line in enumerate(lines):
            if not line.startswith(("{", '["')):
                continue
            try:
                value, end = decoder.raw_decode(line)
            except json.JSONDecodeError:
                continue  # an elided example such as "snapshots":[...]
            after = lines[number + 1] if number + 1 < len(lines) else ""
            answer = after.startswith('{"version":2,"type":"error"') and json.loads(after)["code"] != "not-configured"
            found.append((f"{doc}:{number + 1}", line[:end], answer or bool(line[end:].strip())))
        for match in re.finditer(r'`(\["[a-zA-Z]+",[^`]*\])`', text):
            found.append((doc, match.group(1), False))
    return found


DOC_LINES = doc_lines()
EVENT_TYPES = {"hello", "snapshot", "historyChunk", "error"}


def is_event(text: str) -> bool:
    value = json.loads(text)
    return isinstance(value, dict) and value.get("type") in EVENT_TYPES


def test_the_docs_have_examples_of_every_command_and_event() -> None:
    types = {
        json.loads(t)["type"] if t.startswith("{") else json.loads(t)[0]
        for _, t, _ in DOC_LINES
        if "type" in t or t.startswith("[")
    }
    assert types >= EVENT_TYPES | {
        "configure",
        "setExternalProcesses",
        "setSampleInterval",
        "setStreaming",
        "sampleNow",
        "readHistory",
        "shutdown",
    }


@pytest.mark.parametrize("where,text,refused", [d for d in DOC_LINES if not is_event(d[1])])
def test_a_documented_command_gets_the_monitors_verdict(
    schema: Any, judge: Judge, where: str, text: str, refused: bool
) -> None:
    assert judge.refuses(text) == refused
    assert accepts(schema.command, text) == (not refused)


@pytest.mark.parametrize("where,text,refused", [d for d in DOC_LINES if is_event(d[1])])
def test_a_documented_event_is_valid(schema: Any, where: str, text: str, refused: bool) -> None:
    schema.event.validate(json.loads(text))


def captured_lines() -> List[str]:
    folder = os.environ.get("TREEMON_EVENT_CAPTURE")
    if not folder:
        pytest.skip("TREEMON_EVENT_CAPTURE names no folder of captured monitor output")
    lines = []
    for file in sorted(Path(folder).glob("events-*.jsonl")):
        lines += file.read_text(encoding="utf-8").splitlines()
    return lines


def test_every_line_the_monitor_wrote_in_the_test_runs_is_valid(schema: Any) -> None:
    lines = captured_lines()
    assert len(lines) > 0, "the capture is empty: the end-to-end runs wrote nothing to it"
    problems = []
    for line in lines:
        event = json.loads(line)
        errors = list(schema.event.iter_errors(event))
        if errors:
            problems.append(f"{line[:300]}\n  {errors[0].message[:300]}")
    assert problems == [], f"{len(problems)} of {len(lines)} lines are invalid:\n" + "\n".join(problems[:5])


def real_snapshot(judge: Judge) -> Any:
    monitor = judge.monitor
    monitor.send_line(f'{{"version":2,"type":"configure","rootPid":{os.getpid()},"sampleIntervalMs":0}}')
    monitor.send_line('{"version":2,"type":"sampleNow","requestId":"s"}')
    event = monitor.read_event()
    assert event is not None and event["type"] == "snapshot" and len(event["processes"]) >= 1
    return event


# A real snapshot changed in one place: [what, change]; each makes the event invalid.
SNAPSHOT_FAULTS = [
    ("a null requestId", lambda e: e.update(requestId=None)),
    ("a member it never has", lambda e: e.update(extra=1)),
    ("no sequence", lambda e: e.pop("sequence")),
    ("version 3", lambda e: e.update(version=3)),
    ("a negative pid", lambda e: e["processes"][0].update(pid=-1)),
    ("a pid beyond u32", lambda e: e["processes"][0].update(pid=4294967296)),
    ("a count beyond u64", lambda e: e.update(sequence=18446744073709551616)),
    ("a start time between seconds", lambda e: e["processes"][0].update(startTimeMs=1500)),
    ("another ioSemantics", lambda e: e["processes"][0].update(ioSemantics="disk")),
    ("an unknown status", lambda e: e["processes"][0].update(status="Running")),
    ("cpuPercent as text", lambda e: e["processes"][0].update(cpuPercent="1.5")),
    ("a row without cpuTimeMs", lambda e: e["processes"][0].pop("cpuTimeMs")),
    ("an external entry without startTimeMs", lambda e: e.update(externalProcesses=[{"pid": 1}])),
]


@pytest.mark.parametrize("what,change", SNAPSHOT_FAULTS, ids=[w for w, _ in SNAPSHOT_FAULTS])
def test_a_snapshot_changed_in_one_place_is_invalid(schema: Any, judge: Judge, what: str, change: Any) -> None:
    event = real_snapshot(judge)
    schema.event.validate(event)
    change(event)
    assert not schema.event.is_valid(event)


def test_history_chunks_and_errors_keep_their_rules(schema: Any, judge: Judge) -> None:
    snapshot = real_snapshot(judge)
    kept = {k: v for k, v in snapshot.items() if k != "requestId"}
    chunk = {"version": 2, "type": "historyChunk", "requestId": "h", "done": True, "snapshots": [kept] * 32}
    schema.event.validate(chunk)
    assert not schema.event.is_valid({**chunk, "snapshots": [kept] * 33})
    assert not schema.event.is_valid({**chunk, "snapshots": [snapshot]})
    error = {
        "version": 2,
        "type": "error",
        "code": "not-configured",
        "message": "configure must be sent before sampling",
        "recoverable": True,
    }
    schema.event.validate(error)
    assert not schema.event.is_valid({**error, "recoverable": False})
    assert not schema.event.is_valid({**error, "message": "configure first"})
    assert not schema.event.is_valid({**error, "requestId": "r"})
    schema.event.validate(
        {
            **error,
            "code": "protocol-mismatch",
            "recoverable": False,
            "message": "unsupported protocol version 3; expected 2",
        }
    )
    assert not schema.event.is_valid(
        {**error, "code": "protocol-mismatch", "message": "unsupported protocol version 3; expected 2"}
    )


def test_the_hello_is_valid_and_the_docs_link_the_schema(schema: Any, judge: Judge) -> None:
    schema.event.validate(judge.monitor.hello)
    assert "protocol.schema.json" in (REPO / "docs" / "protocol.md").read_text(encoding="utf-8")
