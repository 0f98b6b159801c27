"""python -m treemon record: samples a command's process tree (or a running process's) every
second, writes one CSV row per process per sample, and ends with the summary of the run on
standard error. Exits with the command's status (128 + N when signal N ended it)."""

import argparse
import csv
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import FIRST_COMPLETED, Future, wait
from dataclasses import replace
from typing import IO, Any, Dict, List, NoReturn, Optional, Sequence, Tuple, cast

from ._rates import Key, Rates, RateTracker, process_key
from ._summary import Ending, SummaryRecorder, fixed, round_half_up
from .client import Treemon
from .errors import TreemonError
from .types import ProcessSample, Snapshot

CSV_HEADER = ["time_s", "pid", "ppid", "name", "cpu_percent", "resident_bytes", "read_bytes_per_s",
              "write_bytes_per_s", "command"]
#: States of a process that has ended but is still listed until its parent reaps it.
ENDED = ("Zombie", "Dead")
#: How many processes seen during the run are looked at again for the ones left running.
CANDIDATES_KEPT = 1000

USAGE = """python -m treemon record [--interval MS] [--csv FILE] [--binary PATH] -- COMMAND [ARG...]
       python -m treemon record [--interval MS] [--csv FILE] [--binary PATH] --pid N"""


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = _Parser(prog="python -m treemon record", usage=USAGE, description=__doc__)
    parser.add_argument("--interval", type=int, default=1000, metavar="MS",
                        help="sample interval in ms, 250..60000 (default 1000)")
    parser.add_argument("--csv", metavar="FILE", help="write the CSV to FILE instead of standard output")
    parser.add_argument("--pid", type=int, help="watch this running process and its descendants")
    parser.add_argument("--binary", metavar="PATH", help="the treemon executable (default: $TREEMON_BINARY, then PATH)")
    parser.add_argument("command", nargs=argparse.REMAINDER, help="the command to run, after --")
    args = parser.parse_args(argv)
    if args.command and args.command[0] == "--":
        args.command = args.command[1:]
    if (args.pid is None) == (not args.command):
        raise UsageError("give a command after -- or --pid N, not both")
    if not 250 <= args.interval <= 60000:
        raise UsageError("--interval must be within 250..60000")
    if args.pid is not None and not 0 < args.pid <= 0xFFFFFFFF:
        raise UsageError("--pid must be a process id")
    return args


class Recording:
    """Takes in each snapshot once: its CSV rows, the rates and the summary's figures."""

    def __init__(self, out: IO[str], tracker: RateTracker, summary: SummaryRecorder, started_at_ms: int) -> None:
        self.writer = csv.writer(out, lineterminator="\n")
        self.out = out
        self.tracker = tracker
        self.summary = summary
        self.started_at_ms = started_at_ms
        self.last_sequence = 0
        #: Processes seen, most recently seen last.
        self.seen: Dict[Key, ProcessSample] = {}
        self.writer.writerow(CSV_HEADER)

    def take(self, snapshot: Snapshot) -> None:
        if snapshot.sequence <= self.last_sequence:
            return
        self.last_sequence = snapshot.sequence
        rates = self.tracker.update(snapshot)
        self.summary.add(snapshot, rates)
        time_s = fixed(max(snapshot.sampled_at_unix_ms - self.started_at_ms, 0) / 1000, 3)
        for p in snapshot.processes:
            r = rates.get(process_key(p), Rates())
            self.writer.writerow([time_s, p.pid, p.ppid, p.name, fixed(r.cpu_percent), p.resident_bytes,
                                  round_half_up(r.read_per_second), round_half_up(r.write_per_second), p.command])
            self.seen.pop(process_key(p), None)
            self.seen[process_key(p)] = p
        self.out.flush()


def exit_status(returncode: int) -> Tuple[int, Optional[str]]:
    if returncode < 0:
        return 128 - returncode, signal.Signals(-returncode).name
    return returncode, None


def record(args: argparse.Namespace, out: IO[str]) -> int:
    monitor = Treemon.start(args.binary)
    with monitor:
        started_at_ms = int(time.time() * 1000)
        started = time.monotonic()
        child: Optional["subprocess.Popen[bytes]"] = None
        if args.pid is None:
            try:
                child = subprocess.Popen(args.command)
            except OSError as error:
                print(f"treemon record: cannot start {args.command[0]}: {error.strerror or error}", file=sys.stderr)
                return 127
        root: int = child.pid if child is not None else cast(int, args.pid)
        summary = SummaryRecorder(list(args.command), root)
        recording = Recording(out, RateTracker(monitor.hello.platform == "linux"), summary, started_at_ms)
        stream = monitor.snapshots()
        monitor.configure(root, args.interval)
        recording.take(monitor.sample_now())
        monitor.set_streaming(True)

        ended: "Future[int]" = Future()
        if child is not None:
            waiting_child = child
            threading.Thread(target=lambda: ended.set_result(waiting_child.wait()), daemon=True).start()
        while not ended.done():
            try:
                next_snapshot = stream.next_future()
                waitables: List["Future[Any]"] = [next_snapshot, ended]
                wait(waitables, return_when=FIRST_COMPLETED)
            except KeyboardInterrupt:
                if child is None:
                    break
                continue  # the command got the interrupt too; its end ends the recording
            if next_snapshot.done():
                snapshot = next_snapshot.result()
                if not isinstance(snapshot, Snapshot):
                    break
                recording.take(snapshot)
                if child is None and not any(p.pid == args.pid and p.status not in ENDED for p in snapshot.processes):
                    break
        wall_ms = (time.monotonic() - started) * 1000
        stream.close()
        monitor.set_streaming(False)

        # The last look at the tree, after the command's end: what it left running.
        candidates = [p for p in recording.seen.values() if p.pid != root][-CANDIDATES_KEPT:]
        monitor.set_external_processes([{"pid": p.pid, "startTimeMs": p.start_time_ms} for p in candidates])
        last = monitor.sample_now()
        left = [p for p in last.processes if p.pid != root]
        recording.take(replace(last, processes=left, retained_process_count=len(left)))

    status, signal_name = (None, None) if child is None else exit_status(ended.result())
    for line in summary.lines(Ending(status, signal_name, wall_ms, left)):
        print(line, file=sys.stderr)
    return 0 if status is None else status


def main(argv: Sequence[str]) -> int:
    try:
        args = parse_args(argv)
    except UsageError as error:
        print(f"treemon record: {error}\nusage: {USAGE}", file=sys.stderr)
        return 2
    try:
        if args.csv is None:
            return record(args, sys.stdout)
        with open(args.csv, "w", encoding="utf-8", newline="") as out:
            return record(args, out)
    except TreemonError as error:
        print(f"treemon record: {error.message}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"treemon record: {error}", file=sys.stderr)
        return 1

