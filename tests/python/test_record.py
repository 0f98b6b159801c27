"""python -m treemon record: a real command's tree into CSV, the end-of-run summary in the form
docs/embedding.md fixes, exit statuses, and one-line errors; then the tables of tests/tools that
treemon-watch's tests play too: command lines, rates, summaries and their number forms."""

import csv
import io
import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Dict, List, Optional

import pytest

from raw_monitor import BINARY, REPO
from treemon import ProcessSample, Snapshot
from treemon._accounting import ChildrenUsage
from treemon._rates import RateTracker
from treemon._summary import Ending, SummaryRecorder, fixed, format_bytes
from treemon.record import UsageError, parse_args

SUMMARY = [
    r"summary: .*",
    r"  wall time       \d+\.\d s",
    r"  exit status     .+",
    r"  processes seen  \d+",
    r"  CPU time        \d+\.\d s \((exact, from the kernel|at least, from samples)\)",
    r"  CPU average     \d+\.\d %",
    r"  CPU peak        \d+\.\d %",
    r"  peak resident   \d+(\.\d)? (B|KiB|MiB|GiB|TiB)(, most held by .+ \(pid \d+\): \d+(\.\d)? (B|KiB|MiB|GiB|TiB))?",
    r"  read            \d+(\.\d)? (B|KiB|MiB|GiB|TiB) \(.*\)",
    r"  written         \d+(\.\d)? (B|KiB|MiB|GiB|TiB) \(.*\)",
    r"  left running    .+",
]


def environment(binary: Optional[str] = BINARY) -> Dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k != "TREEMON_BINARY"}
    if binary is not None:
        env["TREEMON_BINARY"] = binary
    if "--installed-client" not in sys.argv:
        env["PYTHONPATH"] = str(REPO / "clients" / "python")
    return env


def record(*args: str, binary: Optional[str] = BINARY) -> "subprocess.CompletedProcess[str]":
    return subprocess.run(
        [sys.executable, "-m", "treemon", "record", *args],
        env=environment(binary),
        capture_output=True,
        text=True,
        timeout=120,
    )


def summary_of(stderr: str) -> List[str]:
    lines = stderr.splitlines()[-11:]
    assert [bool(re.fullmatch(p, line)) for p, line in zip(SUMMARY, lines)] == [True] * 11, stderr
    return lines


def test_a_command_is_recorded_into_csv_and_summed_up(tmp_path: Path) -> None:
    out = tmp_path / "run.csv"
    run = record(
        "--interval",
        "250",
        "--csv",
        str(out),
        "--",
        "sh",
        "-c",
        "head -c 3000000 /dev/zero > /dev/null; sleep 1; exit 3",
    )
    assert run.returncode == 3, run.stderr
    lines = summary_of(run.stderr)
    assert lines[0] == "summary: sh -c head -c 3000000 /dev/zero > /dev/null; sleep 1; exit 3"
    assert lines[2] == "  exit status     3"
    assert lines[10] == "  left running    none"
    rows = list(csv.reader(io.StringIO(out.read_text())))
    assert rows[0] == [
        "time_s",
        "pid",
        "ppid",
        "name",
        "cpu_percent",
        "resident_bytes",
        "read_bytes_per_s",
        "write_bytes_per_s",
        "command",
    ]
    shell = [r for r in rows[1:] if r[3] == "sh"]
    assert len(shell) >= 1 and shell[0][8] == "sh -c head -c 3000000 /dev/zero > /dev/null; sleep 1; exit 3"
    assert all(re.fullmatch(r"\d+\.\d{3}", r[0]) and re.fullmatch(r"\d+\.\d", r[4]) for r in rows[1:])
    assert {"sleep"} <= {r[3] for r in rows[1:]}
    # head's 3 MB pass through the shell's counters once it reaps head: counted once, not twice
    read = float(re.search(r"read +([\d.]+) MiB", run.stderr).group(1))  # type: ignore[union-attr]
    assert 2.8 <= read < 5.6, run.stderr


def test_a_signal_and_a_process_left_running_are_reported() -> None:
    run = record(
        "--interval", "250", "--", "sh", "-c", "sleep 30 >/dev/null 2>&1 & echo $! >&2; sleep 1; kill -TERM $$"
    )
    left = int(run.stderr.splitlines()[0])
    try:
        assert run.returncode == 143
        lines = summary_of(run.stderr)
        assert lines[2] == "  exit status     143 (killed by SIGTERM)"
        assert lines[10] == f"  left running    1: sleep (pid {left})"
    finally:
        os.kill(left, signal.SIGKILL)


def test_a_running_process_is_watched_until_it_ends() -> None:
    # Until the test reaps it, the ended process stays a zombie: that is its end too.
    watched = subprocess.Popen(["sleep", "1.5"])
    run = record("--pid", str(watched.pid))
    watched.wait()
    assert run.returncode == 0, run.stderr
    lines = summary_of(run.stderr)
    assert (lines[0], lines[2]) == (f"summary: pid {watched.pid}", "  exit status     unknown (watched by pid)")
    assert run.stdout.splitlines()[0].startswith("time_s,pid,")
    assert any(row.split(",")[1] == str(watched.pid) for row in run.stdout.splitlines()[1:])


def test_processes_no_sample_saw_count_in_the_kernels_exact_totals() -> None:
    run = record(
        "--interval",
        "60000",
        "sh",
        "-c",
        'sleep 0.5; timeout 1 sh -c "while :; do :; done"; head -c 20000000 /dev/zero > /dev/null',
    )
    assert run.returncode == 0, run.stderr
    assert "head" not in {r.split(",")[3] for r in run.stdout.splitlines()}, "no sample saw head"
    lines = summary_of(run.stderr)
    cpu = re.fullmatch(r"  CPU time        (\d+\.\d) s \(exact, from the kernel\)", lines[4])
    assert cpu is not None and float(cpu.group(1)) >= 0.3, run.stderr
    assert lines[8:10] == [
        "  read            19.1 MiB (exact, from the kernel)",
        "  written         19.1 MiB (exact, from the kernel)",
    ], run.stderr


def test_the_commands_output_never_joins_the_csv_on_standard_output() -> None:
    run = record("--interval", "250", "sh", "-c", "echo from-the-command; sleep 0.6")
    assert run.returncode == 0, run.stderr
    assert all(len(r) == 9 for r in csv.reader(io.StringIO(run.stdout))), run.stdout
    assert "from-the-command" in run.stderr.splitlines()


# [shell redirection of the recorder's standard output]: the CSV is given up, never the command
OUTPUT_FAILURES = [("| head -c 1 >/dev/null", "Broken pipe"), (">&-", "standard output is closed")]


@pytest.mark.parametrize("redirection,reason", OUTPUT_FAILURES)
def test_an_output_that_fails_leaves_the_command_watched_to_its_end(redirection: str, reason: str) -> None:
    recorder = " ".join(
        [sys.executable, "-m", "treemon", "record", "--interval", "250", "sh", "-c", "'sleep 1.5; exit 3'"]
    )
    run = subprocess.run(
        ["bash", "-c", f"{recorder} {redirection}; echo status=${{PIPESTATUS[0]}} >&2"],
        env=environment(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert "status=3" in run.stderr.splitlines() and reason in run.stderr, run.stderr
    assert "Traceback" not in run.stderr
    assert summary_of("\n".join(run.stderr.splitlines()[:-1]))[2] == "  exit status     3"


def test_ctrl_c_ends_the_command_and_gives_the_summary_and_130(tmp_path: Path) -> None:
    out = tmp_path / "run.csv"
    recorder = subprocess.Popen(
        [sys.executable, "-m", "treemon", "record", "--interval", "250", "--csv", str(out), "sleep", "30"],
        env=environment(),
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    while len(out.read_text().splitlines() if out.exists() else []) < 3:
        time.sleep(0.1)
    os.killpg(recorder.pid, signal.SIGINT)  # as a terminal does to its foreground group
    _, stderr = recorder.communicate(timeout=30)
    assert recorder.returncode == 130, stderr
    assert summary_of(stderr)[2] == "  exit status     130 (killed by SIGINT)"


def shared_table(name: str) -> Dict[str, Any]:
    """One of the tables of tests/tools that treemon-watch's tests play too."""
    table: Dict[str, Any] = json.loads((REPO / "tests" / "tools" / name).read_text(encoding="utf-8"))
    return table


@pytest.mark.parametrize(
    "case", shared_table("command_lines.json")["commandLines"], ids=lambda c: " ".join(c["argv"]) or "nothing"
)
def test_the_shared_command_lines(case: Dict[str, Any]) -> None:
    if case.get("error"):
        with pytest.raises(UsageError):
            parse_args(case["argv"])
    else:
        args = parse_args(case["argv"])
        assert (args.command, args.pid, args.interval) == (case["command"], case.get("pid"), case["intervalMs"])


@pytest.mark.parametrize("argv", [["--help"], ["record", "--help"]])
def test_help_is_the_usage_and_status_0(argv: List[str]) -> None:
    run = subprocess.run([sys.executable, "-m", "treemon", *argv], env=environment(), capture_output=True, text=True)
    assert (run.returncode, run.stdout.startswith("usage: python -m treemon record"), run.stderr) == (0, True, "")


# [arguments, monitor, expected status, expected standard error]
FAILURES = [
    ([], BINARY, 2, "treemon record: give a command or --pid N, not both"),
    (["--interval", "10", "--", "true"], BINARY, 2, "treemon record: --interval must be within 250..60000"),
    (
        ["--", "/nonexistent/command"],
        BINARY,
        127,
        "treemon record: cannot start /nonexistent/command: No such file or directory",
    ),
    (
        ["--", "true"],
        "/nonexistent/treemon",
        1,
        "treemon record: cannot use the treemon executable /nonexistent/treemon (TREEMON_BINARY): no such file (ENOENT)",
    ),
]


@pytest.mark.parametrize("args,binary,status,message", FAILURES)
def test_a_failure_is_one_line_and_a_status(args: List[str], binary: str, status: int, message: str) -> None:
    run = record(*args, binary=binary)
    assert (run.returncode, run.stderr.splitlines()[0]) == (status, message)
    assert "Traceback" not in run.stderr


SUMMARIES = shared_table("summaries.json")


@pytest.mark.parametrize("value,decimals,text", SUMMARIES["decimals"])
def test_fixed_rounds_half_away_from_zero_on_the_exact_value(value: float, decimals: int, text: str) -> None:
    assert fixed(value, decimals) == text


@pytest.mark.parametrize("count,text", SUMMARIES["byteCounts"])
def test_byte_counts_in_binary_units(count: int, text: str) -> None:
    assert format_bytes(count) == text


def sample_row(p: Dict[str, Any]) -> ProcessSample:
    """A process of the shared tables, with their defaults for the members it lacks."""
    name = p.get("name", f"p{p['pid']}")
    return ProcessSample(
        p["pid"],
        p["ppid"],
        p.get("startTimeMs", 1000),
        p.get("runTimeMs", 5000),
        name,
        p.get("command", name),
        p.get("status", "Sleep"),
        0.0,
        p.get("cpuTimeMs", 0),
        p.get("residentBytes", 1048576),
        0,
        p.get("ioReadBytes", 0),
        p.get("ioWriteBytes", 0),
        "all-io",
    )


def table_snapshot(sequence: int, s: Dict[str, Any]) -> Snapshot:
    rows = [sample_row(p) for p in s["processes"]]
    return Snapshot(sequence, s["sampledAtUnixMs"], 0, 0, len(rows), 0, None, [], rows)


RATES = shared_table("rates.json")["cases"]
RATE_MEMBERS = {
    "cpuPercent": "cpu_percent",
    "readPerSecond": "read_per_second",
    "writePerSecond": "write_per_second",
    "readBytes": "read_bytes",
    "writeBytes": "write_bytes",
}


@pytest.mark.parametrize("case", RATES, ids=[c["name"] for c in RATES])
def test_the_rates_both_tools_derive(case: Dict[str, Any]) -> None:
    tracker = RateTracker(children_fold_into_parent=case["childrenFoldIntoParent"])
    assert len(case["snapshots"]) == len(case["expected"])
    for i, (s, expected) in enumerate(zip(case["snapshots"], case["expected"])):
        taken = {f"{pid}@{start}": r for (pid, start), r in tracker.update(table_snapshot(i + 1, s)).items()}
        assert sorted(taken) == sorted(f"{p['pid']}@{p.get('startTimeMs', 1000)}" for p in s["processes"])
        for key, members in expected.items():
            assert {m: getattr(taken[key], RATE_MEMBERS[m]) for m in members} == members, f"snapshot {i + 1}, {key}"


@pytest.mark.parametrize("case", SUMMARIES["cases"], ids=[c["name"] for c in SUMMARIES["cases"]])
def test_the_summary_table_both_tools_share(case: Dict[str, Any]) -> None:
    tracker, summary = RateTracker(children_fold_into_parent=True), SummaryRecorder(case["command"], case["pid"])
    snapshots = [table_snapshot(s["sequence"], s) for s in case["snapshots"]]
    for s in snapshots:
        summary.add(s, tracker.update(s))
    end, kernel = case["ending"], case["ending"]["kernel"]
    last = snapshots[-1].processes if snapshots else []
    ending = Ending(
        end["exitStatus"],
        end["signal"],
        end["wallTimeMs"],
        [p for p in last if p.pid in end["leftRunning"]],
        end["killed"],
        None if kernel is None else ChildrenUsage(kernel["cpuTimeMs"], kernel["readBytes"], kernel["writtenBytes"]),
    )
    assert summary.finish(ending) == case["summary"]
    assert summary.lines(ending) == case["text"]
