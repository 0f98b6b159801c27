"""The Python client on the scripted monitor transcripts of tests/transcripts, which the Node
client's tests play too: both clients must give the same outcomes for the same conversation."""

import json
import os
import stat
import sys
import time
from concurrent.futures import Future
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional

import pytest

from raw_monitor import REPO
from treemon import Snapshot, SnapshotStream, Treemon, TreemonError
from treemon.client import REQUEST_PREFIX

TRANSCRIPTS = REPO / "tests" / "transcripts"
CASES = [
    (path, index, case)
    for path in sorted(TRANSCRIPTS.glob("*.json"))
    for index, case in enumerate(json.loads(path.read_text(encoding="utf-8"))["cases"])
]


def fake_monitor(folder: Path, transcript: Path, index: int) -> str:
    script = folder / "treemon"
    script.write_text(
        f'#!/bin/sh\nexec "{sys.executable}" "{TRANSCRIPTS / "fake_monitor.py"}" "{transcript}" {index}\n'
    )
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    return str(script)


def digest(value: Any) -> Any:
    if value is None:
        return None
    if isinstance(value, Snapshot):
        return {"snapshot": {"sequence": value.sequence, "pids": [p.pid for p in value.processes]}}
    if isinstance(value, list):
        return {"history": [s.sequence for s in value]}
    return {"exit": {"code": value.code, "signal": value.signal}}


def error_record(error: TreemonError) -> Dict[str, Any]:
    return {
        "code": error.code,
        "message": error.message.replace(REQUEST_PREFIX, "treemon-CLIENT:"),
        "recoverable": error.recoverable,
    }


def settle(run: Callable[[], Any]) -> Any:
    try:
        return digest(run())
    except TreemonError as error:
        return {"error": error_record(error)}
    except StopIteration:
        return {"end": True}
    except TypeError as error:
        return {"argumentError": "type", "message": str(error)}
    except ValueError as error:
        return {"argumentError": "range", "message": str(error)}


def _raise(error: BaseException) -> Any:
    raise error


class Player:
    """Makes the calls of a case on a client."""

    def __init__(self, client: Treemon) -> None:
        self.client = client
        self.stream: Optional[SnapshotStream] = None

    def future(self, call: Dict[str, Any]) -> "Future[Any]":
        """The call as a future, for the commands that can be in flight together."""
        name, args = call["call"], call.get("args", [])
        c = self.client
        if name == "configure":
            o = args[0]
            return c.configure_future(o.get("rootPid"), o.get("sampleIntervalMs"), o.get("externalProcesses"))
        return {
            "setExternalProcesses": c.set_external_processes_future,
            "setSampleInterval": c.set_sample_interval_future,
            "setStreaming": c.set_streaming_future,
            "sampleNow": c.sample_now_future,
            "readHistory": c.read_history_future,
        }[name](*args)

    def call(self, call: Dict[str, Any]) -> Any:
        name = call["call"]
        if name == "snapshots":
            self.stream = self.client.snapshots()
            return None
        if name == "next":
            assert self.stream is not None
            return next(self.stream)
        if name == "shutdown":
            return self.client.shutdown()
        if name == "awaitUnattributed":
            deadline = time.monotonic() + 10
            while len(self.client.unattributed_errors) < call["count"] and time.monotonic() < deadline:
                time.sleep(0.01)
            return None
        return self.future(call).result()


@pytest.mark.parametrize("transcript,index,case", CASES, ids=[f"{p.stem}: {c['name']}" for p, _, c in CASES])
def test_a_transcript_gives_the_outcomes_it_lists(
    tmp_path: Path, transcript: Path, index: int, case: Dict[str, Any]
) -> None:
    binary = fake_monitor(tmp_path, transcript, index)
    if "start" in case:
        with pytest.raises(TreemonError) as failure:
            Treemon.start(binary)
        assert failure.value.code == case["start"]["code"]
        assert failure.value.message == binary + case["start"]["messageEnd"]
        return
    client = Treemon.start(binary)
    try:
        player = Player(client)
        outcomes: List[Any]
        if case.get("pipelined"):
            started: List[Any] = []
            for call in case["calls"]:
                try:
                    started.append(player.future(call))
                except (TypeError, ValueError) as error:
                    started.append(error)
            outcomes = [settle(lambda f=f: f.result() if isinstance(f, Future) else _raise(f)) for f in started]
        else:
            outcomes = [settle(lambda call=call: player.call(call)) for call in case["calls"]]
        assert outcomes == case["outcomes"]
        assert [error_record(e) for e in client.unattributed_errors] == case.get("unattributed", [])
        if "exit" in case:
            info = client.wait(10)
            assert {"code": info.code, "signal": info.signal} == case["exit"]
    finally:
        client.kill()
        client.wait(10)


def test_the_fake_monitors_own_events_are_valid(schema: Any) -> None:
    """Lines a transcript gives as text may be broken on purpose; those the fake builds follow the
    protocol, so that the transcripts talk as the monitor does."""
    sys.path.insert(0, str(TRANSCRIPTS))
    import fake_monitor

    events = [
        json.loads(fake_monitor.HELLO % 4321),
        fake_monitor.snapshot(3, [1, 2], "r"),
        fake_monitor.snapshot(4, [], None),
        fake_monitor.chunk("h", [1, 2], False),
        fake_monitor.chunk("h", [], True),
    ]
    events += [fake_monitor.error(code, message) for code, message in fake_monitor.MESSAGES.items()]
    for event in events:
        schema.event.validate(event)
