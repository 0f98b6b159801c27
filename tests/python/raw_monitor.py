"""The real monitor over its pipes, line by line, for tests that judge single command lines."""

import os
import sys
from pathlib import Path
from typing import Any, Dict, List, Optional

REPO = Path(__file__).resolve().parents[2]
BINARY = os.environ.get("TREEMON_BINARY", str(REPO / "build" / "treemon"))
BARRIER = '{"version":2,"type":"readHistory","requestId":"barrier","windowMs":0}'

sys.path.insert(0, str(REPO / "scripts"))
from monitor_pipe import MonitorPipe  # noqa: E402


class RawMonitor(MonitorPipe):
    """A configured monitor that tells, for one command line at a time, what it answered."""

    def __init__(self) -> None:
        super().__init__([BINARY])
        self.hello = self.read_event()
        self.send_line('{"version":2,"type":"configure","rootPid":1,"sampleIntervalMs":0}')

    def errors_for(self, line: str) -> Optional[List[Dict[str, Any]]]:
        """The error events that `line` drew (the events before a barrier's answer), or None when
        the monitor ended instead, as after a shutdown."""
        self.send_line(line)
        try:
            self.send_line(BARRIER)
        except BrokenPipeError:
            pass
        errors = []
        while True:
            event = self.read_event()
            if event is None:
                assert self.process.wait(timeout=10) == 0
                return None
            if event["type"] == "historyChunk" and event["requestId"] == "barrier":
                return errors
            if event["type"] == "error":
                errors.append(event)

    def close(self) -> None:
        self.kill()


class Judge:
    """Whether the monitor takes a command line, on one configured monitor, started anew after a
    line that shut it down."""

    def __init__(self) -> None:
        self.monitor = RawMonitor()

    def refuses(self, line: str) -> bool:
        errors = self.monitor.errors_for(line)
        if errors is None:
            self.monitor = RawMonitor()
            return False
        assert len(errors) <= 1, errors
        if errors:
            assert errors[0]["code"] in ("invalid-command", "protocol-mismatch"), errors
        return bool(errors)

    def close(self) -> None:
        self.monitor.close()
