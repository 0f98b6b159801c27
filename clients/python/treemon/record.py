"""python -m treemon record: samples a command's process tree (or a running process's) every
second, writes one CSV row per process per sample, and ends with the summary of the run on
standard error. Exits with the command's status (128 + N when signal N ended it).

The command starts at the first argument that is not an option (or after --). When the CSV goes
to standard output (no --csv), the command's standard output goes to standard error, so that the
two never mix. Ctrl-C is passed on to the command (a second one kills it); the recording ends with
the command. A CSV that cannot be written (a reader that went away, a full disk) is given up with
a message at the end; the command is still watched to its end."""

import argparse
import csv
import os
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import FIRST_COMPLETED, Future, wait
from dataclasses import replace
from types import FrameType
from typing import IO, Any, Dict, List, NoReturn, Optional, Sequence, Tuple, cast

from ._accounting import ChildrenUsage, children_usage, usage_between
from ._locate import find_monitor
from ._rates import Key, Rates, RateTracker, process_key
from ._summary import Ending, SummaryRecorder, fixed, format_summary, round_half_up
from .client import Treemon
from .errors import TreemonError
from .types import ProcessSample, Snapshot

CSV_HEADER = [
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
#: States of a process that has ended but is still listed until its parent reaps it.
ENDED = ("Zombie", "Dead")
#: How many processes seen during the run are looked at again for the ones left running.
CANDIDATES_KEPT = 1000
#: How often the wait for the next snapshot looks at an interrupt of a --pid watch.
POLL_S = 0.25
VALUE_OPTIONS = ("--interval", "--csv", "--pid", "--binary")

USAGE = """python -m treemon record [--interval MS] [--csv FILE] [--binary PATH] [--] COMMAND [ARG...]
       python -m treemon record [--interval MS] [--csv FILE] [--binary PATH] --pid N"""


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def split_command(argv: Sequence[str]) -> Tuple[List[str], List[str]]:
    """The options and the command: the command starts at the first argument that is not an
    option, or after --, and everything after that is the command's, options included."""
    i = 0
    while i < len(argv):
        arg = argv[i]
        if arg == "--":
            return list(argv[:i]), list(argv[i + 1 :])
        if not arg.startswith("-") or arg == "-":
            break
        i += 2 if arg in VALUE_OPTIONS else 1
    return list(argv[:i]), list(argv[i:])


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = _Parser(
        prog="python -m treemon record",
        usage=USAGE,
        description=__doc__,
        allow_abbrev=False,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--interval", type=int, default=1000, metavar="MS", help="sample interval in ms, 250..60000 (default 1000)"
    )
    parser.add_argument(
        "--csv",
        metavar="FILE",
        help="write the CSV to FILE; without it the CSV goes to standard output and the command's "
        "standard output to standard error",
    )
    parser.add_argument("--pid", type=int, help="watch this running process and its descendants")
    parser.add_argument(
        "--binary",
        metavar="PATH",
        help="the treemon executable (default: $TREEMON_BINARY, then the one this package carries, then PATH)",
    )
    options, command = split_command(argv)
    args = parser.parse_args(options)
    args.command = command
    if (args.pid is None) == (not args.command):
        raise UsageError("give a command or --pid N, not both")
    if not 250 <= args.interval <= 60000:
        raise UsageError("--interval must be within 250..60000")
    if args.pid is not None and not 0 < args.pid <= 0xFFFFFFFF:
        raise UsageError("--pid must be a process id")
    return args


class CsvOutput:
    """The CSV's destination. A write that fails gives the CSV up, with one problem to report,
    and never ends the recording: the command is watched to its end all the same."""

    def __init__(self, out: Optional[IO[str]], name: str, problems: List[str]) -> None:
        self.out = out
        self.name = name
        self.problems = problems
        self.writer = None if out is None else csv.writer(out, lineterminator="\n")
        if out is None:
            problems.append(f"cannot write the CSV: {name} is closed")

    def rows(self, rows: List[List[Any]]) -> None:
        if self.writer is None or self.out is None:
            return
        try:
            self.writer.writerows(rows)
            self.out.flush()
        except (OSError, ValueError) as error:
            self.give_up(error)

    def give_up(self, error: Exception) -> None:
        self.problems.append(f"cannot write the CSV to {self.name}: {getattr(error, 'strerror', None) or error}")
        self.writer = None
        if self.out is sys.stdout:
            # What is still buffered would fail again, noisily, when the interpreter exits.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)


class Recording:
    """Takes in each snapshot once: its CSV rows, the rates and the summary's figures."""

    def __init__(self, output: CsvOutput, tracker: RateTracker, summary: SummaryRecorder, started_at_ms: int) -> None:
        self.output = output
        self.tracker = tracker
        self.summary = summary
        self.started_at_ms = started_at_ms
        self.last_sequence = 0
        #: Processes seen, most recently seen last.
        self.seen: Dict[Key, ProcessSample] = {}
        output.rows([CSV_HEADER])

    def take(self, snapshot: Snapshot) -> None:
        if snapshot.sequence <= self.last_sequence:
            return
        self.last_sequence = snapshot.sequence
        rates = self.tracker.update(snapshot)
        self.summary.add(snapshot, rates)
        time_s = fixed(max(snapshot.sampled_at_unix_ms - self.started_at_ms, 0) / 1000, 3)
        rows: List[List[Any]] = []
        for p in snapshot.processes:
            r = rates.get(process_key(p), Rates())
            rows.append(
                [
                    time_s,
                    p.pid,
                    p.ppid,
                    p.name,
                    fixed(r.cpu_percent),
                    p.resident_bytes,
                    round_half_up(r.read_per_second),
                    round_half_up(r.write_per_second),
                    p.command,
                ]
            )
            self.seen.pop(process_key(p), None)
            self.seen[process_key(p)] = p
        self.output.rows(rows)


def exit_status(returncode: int) -> Tuple[int, Optional[str]]:
    if returncode < 0:
        return 128 - returncode, signal.Signals(-returncode).name
    return returncode, None


class Interrupts:
    """Ctrl-C and SIGTERM while recording: passed on to the command (a second one kills it), whose
    end ends the recording; with --pid they end the watch and leave the process alone."""

    def __init__(self, child: "Optional[subprocess.Popen[bytes]]") -> None:
        self.child = child
        self.count = 0
        self.previous = {s: signal.signal(s, self.on_signal) for s in (signal.SIGINT, signal.SIGTERM)}

    def on_signal(self, signum: int, _frame: Optional[FrameType]) -> None:
        self.count += 1
        if self.child is not None and self.child.returncode is None:
            try:
                self.child.send_signal(signal.SIGKILL if self.count > 1 else signum)
            except OSError:
                pass

    def restore(self) -> None:
        for s, handler in self.previous.items():
            signal.signal(s, handler)


def wait_for_command(child: "subprocess.Popen[bytes]", ended: "Future[Tuple[int, Optional[ChildrenUsage]]]") -> None:
    """Reaps the command and reads the kernel's totals at once, while the monitor still runs."""
    status = child.wait()
    ended.set_result((status, children_usage()))


def monitor_gone(monitor: Treemon) -> bool:
    try:
        monitor.wait(0)
    except TimeoutError:
        return False
    return True


def follow(
    monitor: Treemon,
    recording: Recording,
    args: argparse.Namespace,
    root: int,
    ended: "Future[Any]",
    interrupts: Interrupts,
) -> None:
    """Takes in the snapshots until the command ends (with --pid: the process, or an interrupt).
    Raises TreemonError when the monitor fails."""
    stream = monitor.snapshots()
    monitor.configure(root, args.interval)
    recording.take(monitor.sample_now())
    monitor.set_streaming(True)
    next_snapshot = stream.next_future()
    while not ended.done() and not (args.pid is not None and interrupts.count > 0):
        wait([next_snapshot, ended], timeout=POLL_S, return_when=FIRST_COMPLETED)
        if not next_snapshot.done():
            continue
        snapshot = next_snapshot.result()
        if not isinstance(snapshot, Snapshot):
            raise TreemonError("monitor-exited", "the monitor ended during the run")
        recording.take(snapshot)
        if args.pid is not None and not any(p.pid == args.pid and p.status not in ENDED for p in snapshot.processes):
            break
        next_snapshot = stream.next_future()
    stream.close()


def left_running(monitor: Treemon, recording: Recording, root: int) -> List[ProcessSample]:
    """The last look at the tree, after the command's end: what it left running."""
    monitor.set_streaming(False)
    candidates = [p for p in recording.seen.values() if p.pid != root][-CANDIDATES_KEPT:]
    monitor.set_external_processes([{"pid": p.pid, "startTimeMs": p.start_time_ms} for p in candidates])
    last = monitor.sample_now()
    left = [p for p in last.processes if p.pid != root]
    recording.take(replace(last, processes=left, retained_process_count=len(left)))
    return left


def record(args: argparse.Namespace, output: CsvOutput, command_output: Optional[int]) -> int:
    problems = output.problems
    found = find_monitor(args.binary, "--binary PATH")
    if found.path is None:
        raise TreemonError("start-failed", found.problem or "treemon executable not found")
    monitor = Treemon.start(found.path)
    started_at_ms = int(time.time() * 1000)
    started = time.monotonic()
    child: "Optional[subprocess.Popen[bytes]]" = None
    usage_before = None
    if args.pid is None:
        usage_before = children_usage()
        try:
            child = subprocess.Popen(args.command, stdout=command_output)
        except OSError as error:
            monitor.shutdown()
            print(f"treemon record: cannot start {args.command[0]}: {error.strerror or error}", file=sys.stderr)
            return 127
    root: int = child.pid if child is not None else cast(int, args.pid)
    interrupts = Interrupts(child)
    summary = SummaryRecorder(list(args.command), root, started_at_ms)
    ended: "Future[Tuple[int, Optional[ChildrenUsage]]]" = Future()
    if child is not None:
        threading.Thread(target=wait_for_command, args=(child, ended), daemon=True).start()
    recording = Recording(output, RateTracker(monitor.hello.platform == "linux"), summary, started_at_ms)
    monitor_failed = False
    left: List[ProcessSample] = []
    try:
        try:
            follow(monitor, recording, args, root, ended, interrupts)
        except TreemonError as error:
            monitor_failed = True
            problems.append(error.message)
        if child is not None:
            status, usage_after = ended.result()
        wall_ms = (time.monotonic() - started) * 1000
        # An interrupted watch of a running process leaves it and its tree alone.
        if not monitor_failed and not (child is None and interrupts.count > 0):
            try:
                left = left_running(monitor, recording, root)
            except TreemonError as error:
                monitor_failed = True
                problems.append(error.message)
        monitor_failed = monitor_failed or monitor_gone(monitor)
        monitor.shutdown()
    finally:
        interrupts.restore()

    if child is None:
        ending = Ending(None, None, wall_ms, left)
    else:
        # A monitor reaped during the run left its own CPU time and I/O in the reading.
        kernel = None if monitor_failed else usage_between(usage_before, usage_after)
        ending = Ending(*exit_status(status), wall_ms, left, kernel=kernel)
    tell([f"treemon record: {problem}" for problem in problems] + format_summary(summary.finish(ending)))
    if ending.exit_status is not None:
        return ending.exit_status
    return 1 if monitor_failed else 130 if interrupts.count > 0 else 0


def tell(lines: List[str]) -> None:
    """Writes to standard error, if there is one left to write to."""
    try:
        if sys.stderr is not None:
            sys.stderr.write("".join(f"{line}\n" for line in lines))
            sys.stderr.flush()
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str]) -> int:
    try:
        args = parse_args(argv)
    except UsageError as error:
        print(f"treemon record: {error}\nusage: {USAGE}", file=sys.stderr)
        return 2
    problems: List[str] = []
    try:
        if args.csv is not None:
            with open(args.csv, "w", encoding="utf-8", newline="") as out:
                return record(args, CsvOutput(out, args.csv, problems), None)
        # A closed standard output is None; the command's output then goes to standard error too.
        return record(args, CsvOutput(sys.stdout, "standard output", problems), 2)
    except TreemonError as error:
        print(f"treemon record: {error.message}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"treemon record: {error}", file=sys.stderr)
        return 1
