"""treemon over its pipes, with no client in between: commands in, one JSON event a line out. The
demo, the benchmarks and the tests that judge the monitor's own lines share it.

Rules it keeps:
1. A line is returned only whole: the output ending in the middle of one is a MonitorPipeError,
   never a short line taken for an event.
2. A read with a timeout raises TimeoutError when no whole line came in time; the bytes that did
   come stay for the next read.
3. Every command written is flushed at once: the monitor never waits on this side's buffer.
"""

import json
import os
import select
import signal
import subprocess
import time
from typing import IO, Any, Dict, List, Optional, Sequence, Tuple, Union


def end_session(process: "subprocess.Popen[Any]") -> None:
    """Kills a process started in a session of its own, with all that is left in its session, and
    reaps it."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()


class MonitorPipeError(Exception):
    """The monitor's output broke a rule of the protocol's framing."""


class MonitorPipe:
    """A started monitor: `command` is the executable, after any launcher (wine, qemu-aarch64)."""

    def __init__(
        self, command: Sequence[str], stderr: Union[int, IO[Any], None] = None, new_session: bool = False
    ) -> None:
        # Unbuffered output, so that select() sees every byte not yet taken into `_pending`.
        self.process = subprocess.Popen(
            list(command),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=stderr,
            bufsize=0,
            start_new_session=new_session,
        )
        self._new_session = new_session
        self._pending = bytearray()

    @property
    def pid(self) -> int:
        return self.process.pid

    def send(self, command: Dict[str, Any]) -> None:
        """Writes `command` as a line of this protocol version."""
        self.send_raw(json.dumps({"version": 2, **command}) + "\n")

    def send_line(self, line: str) -> None:
        self.send_raw(line + "\n")

    def send_raw(self, data: Union[str, bytes]) -> None:
        """Writes `data` as it is: part of a line, or many."""
        assert self.process.stdin is not None
        self.process.stdin.write(data.encode("utf-8") if isinstance(data, str) else data)
        self.process.stdin.flush()

    def read_line(self, timeout: Optional[float] = None) -> Optional[bytes]:
        """The next whole line without its line feed, or None once the output has ended."""
        deadline = None if timeout is None else time.monotonic() + timeout
        end = self._pending.find(b"\n")
        # Only the new bytes are searched, so that a line of a gigabyte costs no more than its copy.
        while end < 0:
            searched = len(self._pending)
            chunk = self._read_chunk(deadline)
            if not chunk:
                if self._pending:
                    raise MonitorPipeError(f"the output ended inside a line: {bytes(self._pending[:200])!r}")
                return None
            self._pending += chunk
            end = self._pending.find(b"\n", searched)
        line = bytes(self._pending[:end])
        del self._pending[: end + 1]
        return line

    def read_event(self, timeout: Optional[float] = None) -> Optional[Dict[str, Any]]:
        """The next event, or None once the output has ended."""
        line = self.read_line(timeout)
        if line is None:
            return None
        event: Dict[str, Any] = json.loads(line)
        return event

    def finish(self, timeout: float = 10) -> Tuple[int, bytes]:
        """Shuts the monitor down: its exit status, and what it wrote after the last line read."""
        try:
            self.send({"type": "shutdown"})
        except BrokenPipeError:
            pass
        self.close_input()
        status = self.process.wait(timeout=timeout)
        assert self.process.stdout is not None
        rest = bytes(self._pending) + self.process.stdout.read()
        self._pending.clear()
        return status, rest

    def close_input(self) -> None:
        assert self.process.stdin is not None
        try:
            self.process.stdin.close()
        except BrokenPipeError:
            pass

    def kill(self) -> None:
        """Ends the monitor at once (its whole session when it has one) and reaps it."""
        if self.process.poll() is not None:
            self.process.wait()
        elif self._new_session:
            end_session(self.process)
        else:
            self.process.kill()
            self.process.wait()

    def _read_chunk(self, deadline: Optional[float]) -> bytes:
        assert self.process.stdout is not None
        if deadline is not None:
            ready: List[Any] = select.select([self.process.stdout], [], [], max(0.0, deadline - time.monotonic()))[0]
            if not ready:
                raise TimeoutError("no whole line from the monitor in time")
        return os.read(self.process.stdout.fileno(), 1 << 20)
