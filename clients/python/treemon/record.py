"""python -m treemon record ARGS: the launcher of the native recorder. It runs
`treemon-watch --record-mode ARGS`, which samples a command's process tree (or a running
process's) into CSV and ends with a summary of the run on standard error.

The launcher has one option of its own, --binary PATH among the options before the command: the
treemon-watch executable to run. Given the monitor (a file named treemon or treemon.exe), as older
command lines do, it runs the treemon-watch beside it, where the build and every package keep the
two. Without it the executable is found as the monitor is: $TREEMON_WATCH_BINARY, the one the
wheel carries, then PATH.

On POSIX the launcher becomes the native tool (exec): Ctrl-C, SIGTERM and the exit status, a
death by a signal included, are the tool's own, with no Python process in between to die first.
Windows has no exec: there the launcher waits for the tool, deaf to Ctrl-C (which the console
gives the tool too), and returns its exit code."""

import os
import signal
import subprocess
import sys
from typing import List, Optional, Sequence, Tuple

from ._locate import WATCH, find_executable

#: The native tool's options that take a value, so that the command's own arguments, which start
#: at the first argument that is not an option, are never taken for --binary.
VALUE_OPTIONS = ("--interval", "--csv", "--pid", "--record", "--chart", "--log", "--top", "--sort", "--duration")
MONITOR_NAMES = ("treemon", "treemon.exe")


def take_binary(argv: Sequence[str]) -> Tuple[Optional[str], List[str]]:
    """The --binary PATH among the options ("" when it has no PATH), and the other arguments."""
    rest = list(argv)
    i = 0
    while i < len(rest) and rest[i].startswith("-") and rest[i] not in ("-", "--"):
        if rest[i] == "--binary":
            return "".join(rest[i + 1 : i + 2]), rest[:i] + rest[i + 2 :]
        if rest[i].startswith("--binary="):
            return rest[i][len("--binary=") :], rest[:i] + rest[i + 1 :]
        i += 2 if rest[i] in VALUE_OPTIONS else 1
    return None, rest


def watch_beside(binary: str) -> str:
    folder, name = os.path.split(binary)
    if name not in MONITOR_NAMES:
        return binary
    return os.path.join(folder, "treemon-watch" + os.path.splitext(name)[1])


def main(argv: Sequence[str]) -> int:
    binary, args = take_binary(argv)
    if binary == "":
        print("treemon record: --binary needs a PATH", file=sys.stderr)
        return 2
    found = find_executable(WATCH, None if binary is None else watch_beside(binary), "--binary PATH")
    if found.path is None:
        print(f"treemon record: {found.problem}", file=sys.stderr)
        return 1
    command = [found.path, "--record-mode", *args]
    try:
        if os.name == "posix":
            sys.stdout.flush()
            os.execv(found.path, command)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        return subprocess.run(command).returncode
    except OSError as error:
        print(f"treemon record: cannot start {found.path}: {error.strerror or error}", file=sys.stderr)
        return 1
