"""Treemon: one running monitor, driven over its pipes.

The rules a change must keep are the clients' contract, written once for both in
docs/embedding.md ("The clients' contract"); the Node client keeps them too. `_pending` is
the queue of rule 3.
"""

import json
import os
import signal
import subprocess
import sys
import threading
import weakref
from concurrent.futures import Future
from concurrent.futures import TimeoutError as FutureTimeout
from dataclasses import dataclass, field
from typing import Any, Callable, List, Mapping, Optional, Union

from ._events import BadLine, ErrorEvent, Event, HistoryChunk, parse_event_line
from ._locate import find_monitor
from ._stream import SnapshotStream
from ._validate import (
    SHUTDOWN_TEXT,
    configure_text,
    read_history_text,
    sample_now_text,
    set_external_processes_text,
    set_sample_interval_text,
    set_streaming_text,
)
from .errors import TreemonError
from .types import ExitInfo, ExternalProcessList, Hello, Snapshot

DEFAULT_HELLO_TIMEOUT_S = 10.0
DEFAULT_SHUTDOWN_TIMEOUT_S = 5.0
STDERR_KEPT_CHARS = 4096
#: The longest line taken, line feed not counted: 128 MiB (see docs/embedding.md).
MAX_LINE_BYTES = 128 * 1024 * 1024
#: How long a monitor that closed its output may take to exit before it is taken for broken.
END_OF_OUTPUT_GRACE_S = 1.0
REQUEST_PREFIX = "treemon-python:"


@dataclass
class _Pending:
    kind: str  # "silent", "sample" or "history"
    future: "Future[Any]"
    #: The answer's request id; for a silent command its barrier's, None before any configure.
    request_id: Optional[str]
    failed: bool = False
    snapshots: List[Snapshot] = field(default_factory=list)


def _settled(value: Any) -> "Future[Any]":
    future: "Future[Any]" = Future()
    future.set_result(value)
    return future


class Treemon:
    """A running monitor. Use Treemon.start(); as a context manager it shuts the monitor down."""

    #: The monitor's hello.
    hello: Hello

    @classmethod
    def start(
        cls,
        binary: "Optional[Union[str, os.PathLike[str]]]" = None,
        *,
        hello_timeout: float = DEFAULT_HELLO_TIMEOUT_S,
        cwd: Optional[str] = None,
        env: Optional[Mapping[str, str]] = None,
    ) -> "Treemon":
        """Starts the monitor (`binary`, else $TREEMON_BINARY, else the one this package carries,
        else treemon on PATH) and returns once its hello has arrived."""
        found = find_monitor(binary)
        if found.path is None:
            raise TreemonError("start-failed", found.problem or "treemon executable not found")
        path = found.path
        flags = getattr(subprocess, "CREATE_NO_WINDOW", 0) if sys.platform == "win32" else 0
        try:
            process = subprocess.Popen(
                [path],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                cwd=cwd,
                env=None if env is None else dict(env),
                creationflags=flags,
                # Out of the terminal's process group: Ctrl-C is the application's to handle.
                start_new_session=sys.platform != "win32",
            )
        except OSError as error:
            raise TreemonError("start-failed", f"{path}: cannot run treemon: {error.strerror or error}") from None
        client = cls(process)
        client._wait_for_hello(path, hello_timeout)
        return client

    def __init__(self, process: "subprocess.Popen[bytes]") -> None:
        self._process = process
        self._lock = threading.RLock()
        self._write_lock = threading.Lock()
        self._pending: List[_Pending] = []
        self._streams: "weakref.WeakSet[SnapshotStream]" = weakref.WeakSet()
        self._configured = False
        self._next_request = 1
        #: Set once no further command may be written; the reason every later call raises.
        self._closed_reason: Optional[TreemonError] = None
        self._shutdown_requested = False
        self._exit_info: Optional[ExitInfo] = None
        self._exited = threading.Event()
        self._stderr_tail = ""
        #: Settled by the first line; the reader takes the first event as the hello while unsettled.
        self._hello: "Future[Hello]" = Future()
        #: Error events that no call was waiting for (not expected with this client).
        self.unattributed_errors: List[TreemonError] = []
        self._stderr_reader = threading.Thread(target=self._read_stderr, name="treemon-stderr", daemon=True)
        self._stderr_reader.start()
        threading.Thread(target=self._read_stdout, name="treemon-stdout", daemon=True).start()

    @property
    def pid(self) -> int:
        """The monitor's process id, as its hello reports it."""
        return self.hello.sidecar_pid

    def _wait_for_hello(self, binary: str, timeout: float) -> None:
        try:
            self.hello = self._hello.result(timeout)
        except TreemonError as error:
            raise TreemonError("start-failed", f"{binary}: {error.message}") from None
        except FutureTimeout:
            late = TreemonError("start-failed", f"no hello within {round(timeout * 1000)} ms")
            with self._lock:
                self._close_with(late)
            raise TreemonError("start-failed", f"{binary}: {late.message}") from None

    # ---- commands ------------------------------------------------------------------------------

    def configure(
        self, root_pid: int, sample_interval_ms: int, external_processes: Optional[ExternalProcessList] = None
    ) -> None:
        """Sets the root pid, the sample interval (0: none; otherwise clamped by the monitor to
        250..60000 ms) and the external processes; returns once applied."""
        self.configure_future(root_pid, sample_interval_ms, external_processes).result()

    def set_external_processes(self, processes: ExternalProcessList) -> None:
        self.set_external_processes_future(processes).result()

    def set_sample_interval(self, sample_interval_ms: int) -> None:
        """0 stops periodic sampling; other values are clamped by the monitor to 250..60000 ms."""
        self.set_sample_interval_future(sample_interval_ms).result()

    def set_streaming(self, enabled: bool) -> None:
        """Switches the writing of periodic snapshots (see snapshots())."""
        self.set_streaming_future(enabled).result()

    def sample_now(self) -> Snapshot:
        """Takes a snapshot now."""
        result: Snapshot = self.sample_now_future().result()
        return result

    def read_history(self, window_ms: int) -> List[Snapshot]:
        """The kept snapshots of the last window_ms milliseconds (at most one hour), oldest first,
        joined from all the chunks of the answer."""
        result: List[Snapshot] = self.read_history_future(window_ms).result()
        return result

    # The same commands without waiting: each writes its command at once and returns a future of
    # the outcome, so that several commands can be in flight (the asyncio wrapper uses these).

    def configure_future(
        self, root_pid: int, sample_interval_ms: int, external_processes: Optional[ExternalProcessList] = None
    ) -> "Future[None]":
        return self._silent(
            configure_text(root_pid, sample_interval_ms, external_processes), needs_configuration=False, configures=True
        )

    def set_external_processes_future(self, processes: ExternalProcessList) -> "Future[None]":
        return self._silent(set_external_processes_text(processes), needs_configuration=True, configures=False)

    def set_sample_interval_future(self, sample_interval_ms: int) -> "Future[None]":
        return self._silent(set_sample_interval_text(sample_interval_ms), needs_configuration=True, configures=False)

    def set_streaming_future(self, enabled: bool) -> "Future[None]":
        return self._silent(set_streaming_text(enabled), needs_configuration=False, configures=False)

    def sample_now_future(self) -> "Future[Snapshot]":
        return self._answered("sample", sample_now_text)

    def read_history_future(self, window_ms: int) -> "Future[List[Snapshot]]":
        read_history_text("", window_ms)  # checks the argument before a request id is taken
        return self._answered("history", lambda request_id: read_history_text(request_id, window_ms))

    def snapshots(self) -> SnapshotStream:
        """Periodic snapshots from now on, as an iterator, while streaming is on. It ends after
        shutdown() and raises the TreemonError of an unexpected exit. Snapshots are kept until
        read; close the stream (or use it as a context manager) to stop keeping them."""
        stream = SnapshotStream(self._streams.discard)
        with self._lock:
            if self._exit_info is not None:
                stream.end(self._abnormal_end())
            else:
                self._streams.add(stream)
        return stream

    def shutdown(self, timeout: float = DEFAULT_SHUTDOWN_TIMEOUT_S) -> ExitInfo:
        """Asks the monitor to stop after the commands already sent, which are still answered,
        and returns its exit status. A monitor that has not exited after `timeout` seconds is
        killed."""
        with self._write_lock:
            with self._lock:
                first = self._closed_reason is None and self._exit_info is None
                if first:
                    self._shutdown_requested = True
                    self._closed_reason = TreemonError("monitor-exited", "treemon has been shut down")
            if first:
                self._write(SHUTDOWN_TEXT + "\n")
                self._close_stdin()
        if not self._exited.wait(timeout):
            self.kill()
        return self.wait()

    def kill(self) -> None:
        """Kills the monitor at once; pending calls raise "monitor-exited"."""
        try:
            self._process.kill()
        except OSError:
            pass

    def wait(self, timeout: Optional[float] = None) -> ExitInfo:
        """Waits for the monitor's process to end and its output to be read."""
        if not self._exited.wait(timeout):
            raise TimeoutError("treemon is still running")
        assert self._exit_info is not None
        return self._exit_info

    def __enter__(self) -> "Treemon":
        return self

    def __exit__(self, *exc: object) -> None:
        self.shutdown()

    # ---- sending -------------------------------------------------------------------------------

    def _silent(self, text: str, *, needs_configuration: bool, configures: bool) -> "Future[None]":
        with self._write_lock:
            with self._lock:
                self._raise_if_closed()
                if configures:
                    self._configured = True
                if not self._configured and not needs_configuration:
                    entry = None
                else:
                    barrier = self._new_request_id() if self._configured else None
                    entry = _Pending("silent", Future(), barrier)
                    self._pending.append(entry)
            if entry is None:
                self._write(text + "\n")
                return _settled(None)
            barrier_text = "" if entry.request_id is None else read_history_text(entry.request_id, 0) + "\n"
            self._write(text + "\n" + barrier_text)
            return entry.future

    def _answered(self, kind: str, build: Callable[[str], str]) -> "Future[Any]":
        with self._write_lock:
            with self._lock:
                self._raise_if_closed()
                request_id = self._new_request_id()
                entry = _Pending(kind, Future(), request_id)
                self._pending.append(entry)
            self._write(build(request_id) + "\n")
            return entry.future

    def _new_request_id(self) -> str:
        request_id = f"{REQUEST_PREFIX}{self._next_request}"
        self._next_request += 1
        return request_id

    def _raise_if_closed(self) -> None:
        if self._closed_reason is not None:
            raise self._closed_reason

    def _write(self, text: str) -> None:
        stdin = self._process.stdin
        assert stdin is not None
        try:
            stdin.write(text.encode("utf-8"))
            stdin.flush()
        except (OSError, ValueError):
            pass  # the monitor has gone: its exit settles everything

    def _close_stdin(self) -> None:
        try:
            if self._process.stdin is not None:
                self._process.stdin.close()
        except OSError:
            pass

    # ---- receiving -----------------------------------------------------------------------------

    def _read_stderr(self) -> None:
        stream = self._process.stderr
        assert stream is not None
        fd = stream.fileno()
        for chunk in iter(lambda: os.read(fd, 65536), b""):
            self._stderr_tail = (self._stderr_tail + chunk.decode("utf-8", "replace"))[-STDERR_KEPT_CHARS:]

    def _read_stdout(self) -> None:
        cut_line = False
        try:
            cut_line = self._read_lines()
        except Exception as error:  # whatever failed, no call may be left waiting
            self._settle(
                lambda: self._close_with(TreemonError("protocol-error", f"cannot read treemon's output: {error!r}"))
            )
        self._wait_for_exit()
        self._stderr_reader.join(2.0)
        code = self._process.wait()
        self._settle(lambda: self._finish(code, cut_line))

    def _read_lines(self) -> bool:
        """Handles the monitor's lines until its output ends or can no longer be used; returns
        whether the output ended in the middle of a line."""
        stream = self._process.stdout
        assert stream is not None
        while True:
            raw = stream.readline(MAX_LINE_BYTES + 1)
            if not raw.endswith(b"\n"):
                if len(raw) > MAX_LINE_BYTES:
                    self._settle(
                        lambda: self._close_with(
                            TreemonError("protocol-error", f"treemon wrote a line longer than {MAX_LINE_BYTES} bytes")
                        )
                    )
                    return False
                return bool(raw)
            self._settle(lambda: self._on_line(raw[:-1].decode("utf-8", "replace")))
            with self._lock:
                if self._closed_reason is not None and not self._shutdown_requested:
                    return False

    def _wait_for_exit(self) -> None:
        """Nothing pending can be answered once the output has ended: a monitor that closed it
        and stays is broken, and is ended once a short wait has not seen it exit."""
        try:
            self._process.wait(END_OF_OUTPUT_GRACE_S)
        except subprocess.TimeoutExpired:
            with self._lock:
                broken = self._closed_reason is None
            if broken:
                self._settle(
                    lambda: self._close_with(
                        TreemonError("protocol-error", "treemon closed its output and kept running")
                    )
                )

    def _settle(self, handle: Callable[[], List[Callable[[], None]]]) -> None:
        """Runs `handle` under the lock, then the settlements it returned, outside it, so that a
        caller woken by one may send its next command at once."""
        with self._lock:
            actions = handle()
        for action in actions:
            action()

    def _on_line(self, line: str) -> List[Callable[[], None]]:
        if self._exit_info is not None or (self._closed_reason is not None and not self._shutdown_requested):
            return []
        try:
            event = parse_event_line(line)
        except BadLine as bad:
            return self._close_with(TreemonError("protocol-error", f"treemon wrote an invalid line ({bad})"))
        if not self._hello.done():
            return self._on_first_event(event)
        return self._dispatch(event)

    def _on_first_event(self, event: Event) -> List[Callable[[], None]]:
        hello = self._hello
        if not isinstance(event, Hello):
            name = (
                "snapshot"
                if isinstance(event, Snapshot)
                else "historyChunk"
                if isinstance(event, HistoryChunk)
                else "error"
            )
            error = TreemonError("protocol-error", f"the first event is {name}, not hello")
            return self._close_with(error) + [_rejecter(hello, error)]
        return [_resolver(hello, event)]

    def _dispatch(self, event: Event) -> List[Callable[[], None]]:
        if isinstance(event, Hello):
            return self._close_with(TreemonError("protocol-error", "treemon wrote a second hello"))
        if isinstance(event, ErrorEvent):
            return self._on_error_event(event)
        if isinstance(event, Snapshot):
            if event.request_id is None:
                streams, snapshot = list(self._streams), event
                return [lambda: _push_all(streams, snapshot)]
            return self._on_answer(event.request_id, event)
        return self._on_answer(event.request_id, event)

    def _on_error_event(self, event: ErrorEvent) -> List[Callable[[], None]]:
        error = TreemonError(event.code, event.message, event.recoverable)  # type: ignore[arg-type]
        if not self._pending:
            self.unattributed_errors.append(error)
            return []
        head = self._pending[0]
        if head.kind == "silent" and head.request_id is not None and not head.failed:
            # The command failed; its barrier's answer is still to come and closes the entry.
            head.failed = True
            return [lambda: head.future.set_exception(error)]
        self._pending.pop(0)
        # A silent entry that already failed here receives its barrier's own error: nothing to settle.
        if head.kind == "silent" and head.failed:
            return []
        return [lambda: head.future.set_exception(error)]

    def _on_answer(self, request_id: str, event: Union[Snapshot, HistoryChunk]) -> List[Callable[[], None]]:
        index = next((i for i, p in enumerate(self._pending) if p.request_id == request_id), None)
        if index is None:
            self.unattributed_errors.append(
                TreemonError(
                    "protocol-error", f"an answer to unknown request {json.dumps(request_id, ensure_ascii=False)}"
                )
            )
            return []
        actions: List[Callable[[], None]] = []
        # Answers come in order: every command sent before this one has been handled.
        earlier, self._pending = self._pending[:index], self._pending[index:]
        for entry in earlier:
            if entry.kind == "silent":
                if not entry.failed:
                    actions.append(_resolver(entry.future, None))
            else:
                actions.append(
                    _rejecter(entry.future, TreemonError("protocol-error", "treemon answered a later request first"))
                )
        entry = self._pending[0]
        if entry.kind == "sample":
            self._pending.pop(0)
            if isinstance(event, Snapshot):
                return actions + [_resolver(entry.future, event)]
            return actions + [
                _rejecter(entry.future, TreemonError("protocol-error", "a history chunk answered a sampleNow"))
            ]
        if not isinstance(event, HistoryChunk):
            self._pending.pop(0)
            return actions + [
                _rejecter(entry.future, TreemonError("protocol-error", "a snapshot answered a readHistory"))
            ]
        if entry.kind == "history":
            entry.snapshots.extend(event.snapshots)
            if event.done:
                self._pending.pop(0)
                actions.append(_resolver(entry.future, entry.snapshots))
            return actions
        if event.done:
            self._pending.pop(0)
            if not entry.failed:
                actions.append(_resolver(entry.future, None))
        return actions

    # ---- the end -------------------------------------------------------------------------------

    def _close_with(self, reason: TreemonError) -> List[Callable[[], None]]:
        """Stops the conversation for good: later calls raise `reason`, the monitor is killed."""
        if self._closed_reason is None or self._shutdown_requested:
            self._closed_reason = reason
            self._shutdown_requested = False
        if self._exit_info is None:
            self.kill()
        return []

    def _abnormal_end(self) -> Optional[TreemonError]:
        return None if self._shutdown_requested else self._closed_reason

    def _finish(self, code: int, cut_line: bool) -> List[Callable[[], None]]:
        signal_name = signal.Signals(-code).name if code < 0 else None
        self._exit_info = ExitInfo(code=None if code < 0 else code, signal=signal_name)
        if cut_line and self._closed_reason is None:
            self._closed_reason = TreemonError("protocol-error", "treemon ended in the middle of a line")
        if self._closed_reason is None:
            how = f"was killed by {signal_name}" if signal_name else f"exited with status {code}"
            stderr = self._stderr_tail.strip()
            self._closed_reason = TreemonError("monitor-exited", f"treemon {how}{': ' + stderr if stderr else ''}")
        reason = self._closed_reason
        pending, self._pending = self._pending, []
        actions = [_rejecter(e.future, reason) for e in pending if not (e.kind == "silent" and e.failed)]
        if not self._hello.done():
            actions.append(_rejecter(self._hello, reason))
        end = self._abnormal_end()
        streams = list(self._streams)
        self._streams = weakref.WeakSet()
        actions += [lambda s=s: s.end(end) for s in streams]  # type: ignore[misc]
        actions.append(self._exited.set)
        for stream in (self._process.stdout, self._process.stderr):
            if stream is not None:
                stream.close()
        return actions


def _push_all(streams: List[SnapshotStream], snapshot: Snapshot) -> None:
    for stream in streams:
        stream.push(snapshot)


def _resolver(future: "Future[Any]", value: Any) -> Callable[[], None]:
    return lambda: future.set_result(value)


def _rejecter(future: "Future[Any]", error: TreemonError) -> Callable[[], None]:
    return lambda: future.set_exception(error)
