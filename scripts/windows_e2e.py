#!/usr/bin/env python3
"""End-to-end runs of the Windows treemon.exe under Wine, driven over pipes from Linux.

Starts the Windows test helper's process tree, then treemon.exe, and checks what a client sees:
the hello line byte for byte, snapshots of the helper's tree with names and command lines, the
history, a clean shutdown, the end of input, and a closed standard output giving status 1 and
one "Error: " line. Usage:

    windows_e2e.py BUILD_DIR --command-lines yes|no

WINEPREFIX and the rest of Wine's environment come from the caller (scripts/test-windows.sh).
"""

import argparse
import json
import os
import select
import subprocess
import sys
import tempfile
import time

from monitor_pipe import MonitorPipe, MonitorPipeError

LINE_TIMEOUT_S = 60
EXIT_TIMEOUT_S = 60
HISTORY_WINDOW_MS = 3600000

HELLO_TEMPLATE = (
    '{{"version":2,"type":"hello","sidecarVersion":"0.1.0","sidecarPid":{pid},'
    '"platform":"windows","arch":"x86_64","capabilities":{{"cumulativeCpuTime":true,'
    '"currentCpuPercent":true,"residentMemory":true,"virtualMemory":true,"ioBytes":true,'
    '"processStartTime":true,"processTree":true}}}}'
)

ROW_MEMBERS = [
    "pid",
    "ppid",
    "startTimeMs",
    "runTimeMs",
    "name",
    "command",
    "status",
    "cpuPercent",
    "cpuTimeMs",
    "residentBytes",
    "virtualBytes",
    "ioReadBytes",
    "ioWriteBytes",
    "ioSemantics",
]

SNAPSHOT_MEMBERS = [
    "version",
    "type",
    "sequence",
    "sampledAtUnixMs",
    "collectionDurationMicros",
    "scannedProcessCount",
    "retainedProcessCount",
    "inaccessibleProcessCount",
    "requestId",
    "externalProcesses",
    "processes",
]


class CheckFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CheckFailed(message)


class WineProcess(MonitorPipe):
    """A Windows program under Wine with its three standard streams on pipes; standard error goes
    to a file, so that it never fills, and is read once the program has exited."""

    def __init__(self, build_dir, program, *arguments):
        self.stderr_file = tempfile.TemporaryFile()
        super().__init__(["wine", os.path.join(build_dir, program), *arguments], stderr=self.stderr_file)

    def line(self):
        """The next output line without its line feed, or None at the end of output."""
        try:
            return self.read_line(LINE_TIMEOUT_S)
        except TimeoutError:
            raise CheckFailed("no output line within %d s" % LINE_TIMEOUT_S)
        except MonitorPipeError as error:
            raise CheckFailed(str(error))

    def text_line(self):
        raw = self.line()
        check(raw is not None, "output ended early")
        check(not raw.endswith(b"\r"), "line not ended by one LF: %r" % raw)
        return raw.decode("utf-8")

    def event(self):
        return json.loads(self.text_line())

    def wait(self):
        try:
            return self.process.wait(timeout=EXIT_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise CheckFailed("did not exit within %d s" % EXIT_TIMEOUT_S)

    def stderr_text(self):
        """Everything written to standard error; call after the process has exited."""
        self.stderr_file.seek(0)
        return self.stderr_file.read().decode("utf-8", "replace")


def start_helper_tree(build_dir):
    """The helper's tree of 2 levels below the root, 2 children each: pid -> (parent, command)."""
    helper = WineProcess(build_dir, "treemon_test_helper.exe", "tree", "2", "2")
    nodes = {}
    while True:
        line = helper.text_line()
        if line == "ready":
            return helper, nodes
        word, pid, parent, command = line.split(" ", 3)
        check(word == "node", "unexpected helper line %r" % line)
        nodes[int(pid)] = (parent, command)


def check_hello(monitor):
    line = monitor.text_line()
    pid = json.loads(line)["sidecarPid"]
    check(line == HELLO_TEMPLATE.format(pid=pid), "hello differs: %s" % line)


def check_tree_snapshot(snapshot, nodes, root, request_id, sequence, command_lines):
    check(list(snapshot) == SNAPSHOT_MEMBERS, "snapshot members: %s" % list(snapshot))
    check(snapshot["type"] == "snapshot" and snapshot["requestId"] == request_id, "snapshot header: %s" % snapshot)
    check(snapshot["sequence"] == sequence, "sequence %s, expected %d" % (snapshot["sequence"], sequence))
    rows = snapshot["processes"]
    pids = [row["pid"] for row in rows]
    check(pids == sorted(nodes), "rows %s, expected the tree %s" % (pids, sorted(nodes)))
    check(snapshot["retainedProcessCount"] == len(nodes), "retained count")
    check(snapshot["scannedProcessCount"] >= len(nodes), "scanned count")
    check(snapshot["externalProcesses"] == [], "external processes")
    for row in rows:
        parent, command = nodes[row["pid"]]
        check(list(row) == ROW_MEMBERS, "row members: %s" % list(row))
        check(row["name"] == "treemon_test_helper.exe", "name %r" % row["name"])
        expected_command = command if command_lines else row["name"]
        check(row["command"] == expected_command, "command %r, expected %r" % (row["command"], expected_command))
        if row["pid"] != root:
            check(str(row["ppid"]) == parent, "ppid %s, expected %s" % (row["ppid"], parent))
        check(row["status"] == "Run", "status %r" % row["status"])
        check(row["startTimeMs"] > 0 and row["startTimeMs"] % 1000 == 0, "start time %s" % row["startTimeMs"])
        check(row["residentBytes"] > 0, "resident bytes of %d" % row["pid"])
        check(row["ioSemantics"] == "all-io", "io semantics")
        check(isinstance(row["cpuPercent"], float) and row["cpuPercent"] >= 0.0, "cpu percent")


def run_tree_session(build_dir, command_lines):
    helper, nodes = start_helper_tree(build_dir)
    root = next(pid for pid, (parent, _) in nodes.items() if parent == "-")
    monitor = WineProcess(build_dir, "treemon.exe")
    try:
        check_hello(monitor)
        monitor.send({"type": "configure", "rootPid": root, "sampleIntervalMs": 0})
        monitor.send({"type": "sampleNow", "requestId": "r1"})
        check_tree_snapshot(monitor.event(), nodes, root, "r1", 1, command_lines)
        monitor.send({"type": "sampleNow", "requestId": "r2"})
        check_tree_snapshot(monitor.event(), nodes, root, "r2", 2, command_lines)

        monitor.send({"type": "readHistory", "requestId": "h1", "windowMs": HISTORY_WINDOW_MS})
        chunk = monitor.event()
        check(
            chunk["type"] == "historyChunk" and chunk["requestId"] == "h1" and chunk["done"],
            "history chunk: %s" % {k: chunk[k] for k in chunk if k != "snapshots"},
        )
        stored = chunk["snapshots"]
        check([s["sequence"] for s in stored] == [1, 2], "history sequences")
        check(all("requestId" not in s for s in stored), "history keeps no request ids")
        for s in stored:
            check(sorted(row["pid"] for row in s["processes"]) == sorted(nodes), "history rows")

        monitor.send({"type": "shutdown"})
        check(monitor.line() is None, "output after shutdown")
        check(monitor.wait() == 0, "shutdown status")
        check("Error" not in monitor.stderr_text(), "stderr: %r" % monitor.stderr_text())
    finally:
        monitor.kill()
        helper.close_input()
        helper.wait()


def run_end_of_input(build_dir):
    monitor = WineProcess(build_dir, "treemon.exe")
    try:
        check_hello(monitor)
        monitor.send({"type": "sampleNow", "requestId": "x"})
        error = monitor.text_line()
        check(
            error == '{"version":2,"type":"error","code":"not-configured",'
            '"message":"configure must be sent before sampling","recoverable":true}',
            "not-configured error: %s" % error,
        )
        monitor.close_input()
        check(monitor.line() is None, "output after end of input")
        check(monitor.wait() == 0, "end-of-input status")
    finally:
        monitor.kill()


def read_first_line(fd):
    """Reads up to the first line feed straight from a pipe, bounded in time."""
    line = b""
    deadline = time.monotonic() + LINE_TIMEOUT_S
    while not line.endswith(b"\n"):
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        check(ready, "no output line within %d s" % LINE_TIMEOUT_S)
        chunk = os.read(fd, 1)
        check(chunk, "output ended early")
        line += chunk
    return line


def run_closed_output(build_dir):
    # Standard output is a pipe of our own, read without a thread, so that closing its read end
    # really leaves the monitor writing into a pipe nobody reads.
    read_end, write_end = os.pipe()
    process = subprocess.Popen(
        ["wine", os.path.join(build_dir, "treemon.exe")],
        stdin=subprocess.PIPE,
        stdout=write_end,
        stderr=subprocess.PIPE,
    )
    os.close(write_end)
    try:
        hello = json.loads(read_first_line(read_end))
        check(hello["type"] == "hello", "first line is not the hello")
        os.close(read_end)
        read_end = None
        commands = [
            {"version": 2, "type": "configure", "rootPid": 1, "sampleIntervalMs": 0},
            {"version": 2, "type": "sampleNow", "requestId": "lost"},
        ]
        _, stderr = process.communicate(
            b"".join(json.dumps(c).encode() + b"\n" for c in commands), timeout=EXIT_TIMEOUT_S
        )
        check(process.returncode == 1, "closed output gave status %s" % process.returncode)
        errors = [line for line in stderr.decode("utf-8", "replace").splitlines() if line.startswith("Error")]
        check(len(errors) == 1 and errors[0].startswith("Error: ") and len(errors[0]) > 7, "stderr: %r" % stderr)
    except subprocess.TimeoutExpired:
        raise CheckFailed("did not exit within %d s" % EXIT_TIMEOUT_S)
    finally:
        if read_end is not None:
            os.close(read_end)
        if process.poll() is None:
            process.kill()
            process.wait()


def run_watch(build_dir, command_lines):
    """treemon-watch.exe starts cmd in the caller's folder, records its tree (cmd and the ping it
    starts) and exits with the command's status, the summary on standard error."""
    with tempfile.TemporaryDirectory() as folder:
        try:
            done = subprocess.run(
                [
                    "wine",
                    os.path.join(build_dir, "treemon-watch.exe"),
                    "--interval",
                    "250",
                    "--record",
                    "run.jsonl",
                    "--",
                    "cmd",
                    "/c",
                    "ping -n 3 127.0.0.1 > NUL & exit 5",
                ],
                cwd=folder,
                stdin=subprocess.DEVNULL,
                capture_output=True,
                timeout=EXIT_TIMEOUT_S,
            )
        except subprocess.TimeoutExpired:
            raise CheckFailed("did not exit within %d s" % EXIT_TIMEOUT_S)
        stderr = done.stderr.decode("utf-8", "replace")
        check(done.returncode == 5, "status %s, stderr: %s" % (done.returncode, stderr))
        check("\n  exit status     5\n" in stderr.replace("\r\n", "\n"), "summary: %r" % stderr)
        with open(os.path.join(folder, "run.jsonl"), encoding="utf-8") as record:
            lines = [json.loads(line) for line in record]
    summary = lines.pop()
    check(summary["type"] == "summary" and summary["exitStatus"] == 5, "summary %r" % summary)
    trees = []
    for snapshot in lines:
        by_pid = {p["pid"]: p for p in snapshot["processes"]}
        trees += [
            (by_pid[p["ppid"]], p) for p in snapshot["processes"] if p["name"] == "ping.exe" and p["ppid"] in by_pid
        ]
    check(trees, "no snapshot shows ping under cmd: %r" % lines)
    parent, child = trees[0]
    check(parent["name"] == "cmd.exe", "ping's parent is %r" % parent["name"])
    if command_lines:
        check(child["command"] == "ping -n 3 127.0.0.1", "ping's command %r" % child["command"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir")
    parser.add_argument("--command-lines", choices=["yes", "no"], required=True)
    options = parser.parse_args()

    sessions = [
        (
            "tree, snapshots, history and shutdown",
            lambda: run_tree_session(options.build_dir, options.command_lines == "yes"),
        ),
        ("end of input", lambda: run_end_of_input(options.build_dir)),
        ("closed output", lambda: run_closed_output(options.build_dir)),
        ("treemon-watch", lambda: run_watch(options.build_dir, options.command_lines == "yes")),
    ]
    failures = 0
    for name, run in sessions:
        try:
            run()
            print("[  PASSED  ] %s" % name)
        except (CheckFailed, json.JSONDecodeError, KeyError, ValueError) as failure:
            failures += 1
            print("[  FAILED  ] %s: %s" % (name, failure))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
