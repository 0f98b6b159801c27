"""The Python client against the real monitor: rows of a real tree, request ids, history joined
from chunks, errors related to their commands by order, argument checks, a monitor that dies, and
how the executable is found. (Scripted monitors: test_transcripts.py.)"""

import os
import signal
from pathlib import Path
from typing import Any, Iterator, List

import pytest

from client_support import eventually, kill_tree, start_tree
from raw_monitor import BINARY
import treemon.client
from treemon import ExternalProcess, Snapshot, Treemon, TreemonError

U64_MAX = (1 << 64) - 1


@pytest.fixture(scope="module")
def tree() -> Iterator[Any]:
    t = start_tree()
    yield t
    kill_tree(t)


@pytest.fixture()
def monitor() -> Iterator[Treemon]:
    with Treemon.start(BINARY) as m:
        yield m


def test_installed_client_is_the_one_under_test(request: Any) -> None:
    import treemon

    in_tree = Path(treemon.__file__).resolve().is_relative_to(Path(__file__).resolve().parents[2])
    assert in_tree != request.config.getoption("--installed-client")


def test_the_hello_and_a_real_tree_ascending_by_pid(monitor: Treemon, tree: Any) -> None:
    assert (monitor.hello.sidecar_version, monitor.hello.platform) == ("0.1.0", "linux")
    assert all(vars(monitor.hello.capabilities).values())
    os.kill(monitor.pid, 0)  # the reported pid is a live process
    monitor.configure(root_pid=tree.pid, sample_interval_ms=0)
    snapshot = eventually(monitor.sample_now, lambda s: len(s.processes) == 3)
    shell = [p for p in snapshot.processes if p.pid == tree.pid]
    sleeps = [(p.name, p.ppid, p.command) for p in snapshot.processes if p.pid != tree.pid]
    assert [p.name for p in shell] == ["sh"]
    assert sleeps == [("sleep", tree.pid, "sleep 60")] * 2
    assert [p.pid for p in snapshot.processes] == sorted(p.pid for p in snapshot.processes)
    assert snapshot.retained_process_count == 3
    assert snapshot.request_id is not None and snapshot.request_id.startswith("treemon-python:")
    assert all(
        p.start_time_ms % 1000 == 0 and p.io_semantics == "all-io" and p.resident_bytes > 0 for p in snapshot.processes
    )


def test_read_history_joins_more_than_32_snapshots_oldest_first(monitor: Treemon) -> None:
    monitor.configure(root_pid=os.getpid(), sample_interval_ms=0)
    futures = [monitor.sample_now_future() for _ in range(34)]
    taken = [f.result().sequence for f in futures]
    history = monitor.read_history(3_600_000)
    assert [s.sequence for s in history] == taken  # 34 snapshots: two chunks
    assert all(s.request_id is None for s in history)


def test_an_external_process_is_matched_by_pid_and_start_time(monitor: Treemon, tree: Any) -> None:
    outsider = start_tree()
    try:
        monitor.configure(root_pid=outsider.pid, sample_interval_ms=0)
        own = eventually(monitor.sample_now, lambda s: len(s.processes) == 3)
        start = next(p.start_time_ms for p in own.processes if p.pid == outsider.pid)
        monitor.configure(root_pid=tree.pid, sample_interval_ms=0)
        monitor.set_external_processes([ExternalProcess(outsider.pid, start + 999)])
        matched = monitor.sample_now()
        assert [(e.pid, e.start_time_ms) for e in matched.external_processes] == [(outsider.pid, start)]
        assert len(matched.processes) == 6
        monitor.set_external_processes([{"pid": outsider.pid, "startTimeMs": start + 1000}])
        unmatched = monitor.sample_now()
        assert (unmatched.external_processes, len(unmatched.processes)) == ([], 3)
    finally:
        kill_tree(outsider)


def test_periodic_snapshots_come_through_the_iterator(monitor: Treemon, tree: Any) -> None:
    with monitor.snapshots() as stream:
        monitor.set_streaming(True)
        monitor.configure(root_pid=tree.pid, sample_interval_ms=250)
        got: List[Snapshot] = [next(stream) for _ in range(3)]
    monitor.set_sample_interval(0)
    assert all(s.request_id is None and len(s.processes) == 3 for s in got)
    assert [b.sequence - a.sequence for a, b in zip(got, got[1:])] == [1, 1]


def test_before_configure_each_pipelined_command_gets_its_own_outcome(monitor: Treemon) -> None:
    futures = [
        monitor.set_sample_interval_future(500),
        monitor.set_streaming_future(True),
        monitor.sample_now_future(),
        monitor.set_external_processes_future([{"pid": 1}]),
        monitor.read_history_future(1000),
        monitor.configure_future(os.getpid(), 0),
        monitor.set_sample_interval_future(0),
        monitor.set_external_processes_future([]),
        monitor.sample_now_future(),
    ]
    outcomes = [f.exception() for f in futures]
    assert [None if e is None else (e.code, str(e), e.recoverable) for e in outcomes] == [  # type: ignore[attr-defined]
        ("not-configured", "configure must be sent before changing the sample interval", True),
        None,
        ("not-configured", "configure must be sent before sampling", True),
        ("not-configured", "configure must be sent before external processes", True),
        ("not-configured", "configure must be sent before reading history", True),
        None,
        None,
        None,
        None,
    ]


def test_the_edges_of_the_ranges_are_accepted_and_the_monitor_reports_nothing(monitor: Treemon) -> None:
    monitor.configure(root_pid=os.getpid(), sample_interval_ms=0)
    monitor.set_external_processes(
        [{"pid": 4294967295, "startTimeMs": U64_MAX}, {"pid": 0, "startTimeMs": None}, ExternalProcess(7)]
    )
    monitor.set_sample_interval(U64_MAX)
    monitor.set_sample_interval(1000.0)
    monitor.set_sample_interval(0)
    monitor.read_history(U64_MAX)
    monitor.configure(root_pid=4294967295, sample_interval_ms=0)
    assert monitor.sample_now().processes == []
    assert monitor.unattributed_errors == []


# Checks the Node client has no counterpart for (the shared ones are in tests/transcripts):
# [call, exception type, message]
PYTHON_ARGUMENTS = [
    (lambda m: m.configure(True, 0), TypeError, "rootPid must be a number, got boolean"),
    (
        lambda m: m.configure(1, U64_MAX + 1),
        ValueError,
        f"sampleIntervalMs must be within 0..{U64_MAX}, got {U64_MAX + 1}",
    ),
    (
        lambda m: m.configure(1, float(2**53)),
        ValueError,
        "sampleIntervalMs is a float above 2**53 - 1 and may have been rounded; pass an int",
    ),
    (lambda m: m.configure(1, float("nan")), ValueError, "sampleIntervalMs must be an integer, got NaN"),
    (lambda m: m.read_history("10"), TypeError, "windowMs must be a number, got string"),
    (lambda m: m.set_external_processes([{}]), TypeError, "processes[0].pid must be a number, got null"),
    (lambda m: m.set_external_processes("1"), TypeError, "processes must be an array, got string"),
    (
        lambda m: m.set_external_processes([ExternalProcess(1, -5)]),
        ValueError,
        "processes[0].startTimeMs must not be negative, got -5",
    ),
]


@pytest.mark.parametrize("call,kind,message", PYTHON_ARGUMENTS)
def test_a_bad_argument_is_refused_before_anything_is_sent(
    monitor: Treemon, call: Any, kind: Any, message: str
) -> None:
    with pytest.raises(kind) as refused:
        call(monitor)
    assert str(refused.value) == message
    monitor.configure(root_pid=os.getpid(), sample_interval_ms=0)  # still in step: no stray answer
    assert monitor.sample_now().sequence >= 1 and monitor.unattributed_errors == []


def test_a_killed_monitor_fails_every_pending_call_and_every_later_one() -> None:
    monitor = Treemon.start(BINARY)
    monitor.configure(root_pid=os.getpid(), sample_interval_ms=0)
    futures = [
        monitor.sample_now_future(),
        monitor.sample_now_future(),
        monitor.read_history_future(1000),
        monitor.set_streaming_future(True),
    ]
    os.kill(monitor.pid, signal.SIGKILL)
    failed = [f.exception() for f in futures if f.exception() is not None]
    assert len(failed) >= 1
    assert all(
        isinstance(e, TreemonError) and (e.code, e.message) == ("monitor-exited", "treemon was killed by SIGKILL")
        for e in failed
    )
    assert (monitor.wait(10).code, monitor.wait().signal) == (None, "SIGKILL")
    for later in (monitor.sample_now, lambda: monitor.configure(1, 0)):
        with pytest.raises(TreemonError, match="killed by SIGKILL"):
            later()


def test_a_failure_of_the_reader_fails_the_pending_call_and_ends_the_monitor(monkeypatch: pytest.MonkeyPatch) -> None:
    monitor = Treemon.start(BINARY)
    monitor.configure(root_pid=os.getpid(), sample_interval_ms=0)

    def broken(line: str) -> Any:
        raise MemoryError()

    monkeypatch.setattr(treemon.client, "parse_event_line", broken)
    with pytest.raises(TreemonError) as failure:
        monitor.sample_now_future().result(10)
    assert (failure.value.code, failure.value.message) == (
        "protocol-error",
        "cannot read treemon's output: MemoryError()",
    )
    assert monitor.wait(10).signal == "SIGKILL"


def test_commands_sent_before_shutdown_are_answered_and_the_context_manager_shuts_down() -> None:
    with Treemon.start(BINARY) as monitor:
        configured = monitor.configure_future(os.getpid(), 0)
        sampled = monitor.sample_now_future()
    assert configured.result() is None
    assert any(p.pid == os.getpid() for p in sampled.result().processes)
    assert (monitor.wait().code, monitor.wait().signal) == (0, None)
    with pytest.raises(TreemonError) as later:
        monitor.sample_now()
    assert (later.value.code, later.value.message) == ("monitor-exited", "treemon has been shut down")


def test_the_executable_is_found_by_argument_then_environment_then_path(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setenv("PATH", str(tmp_path))
    monkeypatch.delenv("TREEMON_BINARY", raising=False)
    with pytest.raises(TreemonError) as missing:
        Treemon.start()
    assert (missing.value.code, missing.value.message) == (
        "start-failed",
        "treemon executable not found: this package carries none for linux-x86_64 and there is "
        "none on PATH; pass binary, set TREEMON_BINARY or put treemon on PATH",
    )
    (tmp_path / "treemon").symlink_to(BINARY)
    with Treemon.start() as on_path:
        assert on_path.hello.sidecar_pid > 0
    monkeypatch.setenv("TREEMON_BINARY", str(tmp_path / "nothing-here"))
    with pytest.raises(TreemonError, match=r"nothing-here \(TREEMON_BINARY\): no such file \(ENOENT\)$"):
        Treemon.start()
    with Treemon.start(BINARY) as by_argument:
        assert by_argument.hello.sidecar_pid > 0


def test_start_gives_up_when_no_hello_comes_in_time(tmp_path: Path) -> None:
    silent = tmp_path / "treemon"
    silent.write_text("#!/bin/sh\nexec sleep 30\n")
    silent.chmod(0o755)
    with pytest.raises(TreemonError) as late:
        Treemon.start(silent, hello_timeout=0.3)
    assert (late.value.code, late.value.message) == ("start-failed", f"{silent}: no hello within 300 ms")


def test_the_futures_serve_asyncio_code(monitor: Treemon) -> None:
    import asyncio

    async def burst() -> List[int]:
        await asyncio.wrap_future(monitor.configure_future(os.getpid(), 0))
        snapshots = await asyncio.gather(*(asyncio.wrap_future(monitor.sample_now_future()) for _ in range(3)))
        return [s.sequence for s in snapshots]

    first, second, third = asyncio.run(burst())
    assert (second - first, third - second) == (1, 1)
