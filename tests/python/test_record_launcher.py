"""python -m treemon record: the launcher of `treemon-watch --record-mode`. Which --binary it
takes, and that the native tool's arguments, status and signal death pass through it."""

import os
import signal
import subprocess
import sys
from pathlib import Path
from typing import List, Optional

import pytest

from raw_monitor import BINARY, REPO
from treemon.record import take_binary

NATIVE = os.environ.get("TREEMON_WATCH_BINARY", str(Path(BINARY).with_name("treemon-watch")))


def record(*args: str, tool: Optional[str] = NATIVE) -> "subprocess.CompletedProcess[str]":
    env = {k: v for k, v in os.environ.items() if k not in ("TREEMON_BINARY", "TREEMON_WATCH_BINARY")}
    if tool is not None:
        env["TREEMON_WATCH_BINARY"] = tool
    if "--installed-client" not in sys.argv:
        env["PYTHONPATH"] = str(REPO / "clients" / "python")
    return subprocess.run(
        [sys.executable, "-m", "treemon", "record", *args], env=env, capture_output=True, text=True, timeout=120
    )


def stand_in(tmp_path: Path, script: str, name: str = "treemon-watch") -> str:
    """An executable shell script standing in for the native tool."""
    path = tmp_path / name
    path.write_text(f"#!/bin/sh\n{script}\n")
    path.chmod(0o755)
    return str(path)


@pytest.mark.parametrize(
    "argv, binary, rest",
    [
        (["--binary", "b", "--", "make"], "b", ["--", "make"]),
        (["--interval", "500", "--binary=b", "make"], "b", ["--interval", "500", "make"]),
        # The value of an option is not an option; the command's own --binary is the command's.
        (["--csv", "--binary", "make", "--binary", "b"], None, ["--csv", "--binary", "make", "--binary", "b"]),
        (["--", "make", "--binary", "b"], None, ["--", "make", "--binary", "b"]),
        (["make", "--binary", "b"], None, ["make", "--binary", "b"]),
        (["--group", "--binary"], "", ["--group"]),
    ],
)
def test_binary_is_taken_only_among_the_options(argv: List[str], binary: Optional[str], rest: List[str]) -> None:
    assert take_binary(argv) == (binary, rest)


def test_the_native_tool_records_and_its_status_is_returned() -> None:
    run = record("--interval", "250", "--", "sh", "-c", "echo out; exit 3")
    assert run.returncode == 3, run.stderr
    assert run.stdout.startswith("time_s,pid,ppid,name,"), run.stdout
    # The command's standard output goes to standard error, so that the CSV stays clean.
    assert "out\n" in run.stderr and "out" not in run.stdout
    assert "summary: sh -c echo out; exit 3\n" in run.stderr


def test_binary_naming_the_monitor_runs_the_tool_beside_it(tmp_path: Path) -> None:
    stand_in(tmp_path, 'printf "<%s>\\n" "$@"')
    run = record("--interval", "500", "--binary", str(tmp_path / "treemon"), "--", "a b", "", tool=None)
    assert (run.returncode, run.stdout, run.stderr) == (
        0,
        "<--record-mode>\n<--interval>\n<500>\n<-->\n<a b>\n<>\n",
        "",
    )


@pytest.mark.parametrize(
    "script, returncode",
    [("exit 200", 200), ("kill -TERM $$", -signal.SIGTERM), ("kill -INT $$", -signal.SIGINT)],
)
def test_the_tools_end_is_the_launchers(tmp_path: Path, script: str, returncode: int) -> None:
    assert record("--", "true", tool=stand_in(tmp_path, script)).returncode == returncode


def test_errors_are_one_line(tmp_path: Path) -> None:
    missing = record("--", "true", tool=str(tmp_path / "treemon-watch"))
    assert (missing.returncode, missing.stderr) == (
        1,
        f"treemon record: cannot use the treemon-watch executable {tmp_path}/treemon-watch "
        "(TREEMON_WATCH_BINARY): no such file (ENOENT)\n",
    )
    no_path = record("--binary", tool=None)
    assert (no_path.returncode, no_path.stderr) == (2, "treemon record: --binary needs a PATH\n")
