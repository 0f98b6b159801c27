#!/usr/bin/env python3
"""Resident memory and time per sample of monitor binaries, side by side, under what other
processes and the client can make large.

Cases, each on a fresh monitor watching a one-process tree:
  normal   ten sampleNow
  wide     the same while another process (as nobody when run as root) shows a command line of
           WIDE_MIB MiB under a 15-byte name that begins it (needs test_helper wide-arguments);
           then that process ends and ten more samples follow
  line     one sampleNow whose requestId is LINE_MIB MiB long
  burst    BURST sampleNow written at once, each with a requestId of BURST_MB MB, the answers read
           only once the monitor takes no more

For each: configure time, median and largest wall time per sampleNow and collectionDurationMicros,
peak (VmHWM) and final (VmRSS) resident memory, and how the monitor ended.

usage: bounds.py HELPER BINARY [BINARY...] [--cases normal,wide,line,burst]
       [--wide-mib 256] [--line-mib 1024] [--burst 80] [--burst-mb 16]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from monitor_pipe import MonitorPipe  # noqa: E402


def status_kib(pid, field):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except FileNotFoundError:
        pass
    return 0


class Monitor(MonitorPipe):
    """A monitor that keeps its peak resident memory as seen after each line it wrote."""

    def __init__(self, binary):
        super().__init__([binary], stderr=subprocess.PIPE)
        self.peak_kib = 0
        self.readline()  # hello

    def readline(self):
        """The next line, b"" once the monitor's output has ended."""
        line = self.read_line()
        self.peak_kib = max(self.peak_kib, status_kib(self.pid, "VmHWM"))
        return b"" if line is None else line

    def sample(self, request_id="s"):
        start = time.monotonic()
        self.send({"type": "sampleNow", "requestId": request_id})
        event = json.loads(self.readline())
        return time.monotonic() - start, event

    def configure(self, root):
        start = time.monotonic()
        self.send({"type": "configure", "rootPid": root, "sampleIntervalMs": 0})
        # configure is silent: a history read of nothing marks its end
        self.send({"type": "readHistory", "requestId": "c", "windowMs": 0})
        self.readline()
        return time.monotonic() - start

    def finish(self):
        resident = status_kib(self.pid, "VmRSS")
        self.peak_kib = max(self.peak_kib, status_kib(self.pid, "VmHWM"))
        status, rest = super().finish(timeout=60)
        err = self.process.stderr.read().decode(errors="replace").strip()
        return resident, status, err, rest


def samples(monitor, count):
    walls, micros = [], []
    for i in range(count):
        wall, event = monitor.sample(f"s{i}")
        walls.append(wall * 1000)
        micros.append(event["collectionDurationMicros"] / 1000)
    return (
        f"sample wall median {statistics.median(walls):.1f} ms max {max(walls):.1f} ms, "
        f"collection median {statistics.median(micros):.1f} ms max {max(micros):.1f} ms"
    )


def ending(monitor):
    resident, status, err, _ = monitor.finish()
    return f"peak {monitor.peak_kib / 1024:.0f} MiB, resident at end {resident / 1024:.0f} MiB, " f"exit {status}" + (
        f", stderr {err[:100]!r}" if err else ""
    )


def sleeper():
    return subprocess.Popen(["sleep", "600"])


def case_normal(binary, args):
    root = sleeper()
    try:
        m = Monitor(binary)
        configure = m.configure(root.pid)
        line = samples(m, 10)
        return f"configure {configure * 1000:.0f} ms; {line}; {ending(m)}"
    finally:
        root.kill()


def case_wide(binary, args):
    root = sleeper()
    wide = subprocess.Popen(
        [args.helper, "wide-arguments", str(args.wide_mib), "600"], stdout=subprocess.PIPE, text=True
    )
    try:
        if wide.stdout.readline().strip() != "ready":
            return "the kernel refused the argument mapping"
        m = Monitor(binary)
        configure = m.configure(root.pid)
        during = samples(m, 10)
        during_kib = status_kib(m.pid, "VmRSS")
        wide.kill()
        wide.wait()
        after = samples(m, 10)
        return (
            f"configure {configure * 1000:.0f} ms; while it runs: {during}, resident "
            f"{during_kib / 1024:.0f} MiB; after it ended: {after}; {ending(m)}"
        )
    finally:
        wide.kill()
        root.kill()


def write_in_background(monitor, chunks):
    def run():
        try:
            for chunk in chunks():
                monitor.send_raw(chunk)
        except BrokenPipeError:
            pass

    thread = threading.Thread(target=run)
    thread.start()
    return thread


def case_line(binary, args):
    root = sleeper()
    try:
        m = Monitor(binary)
        m.configure(root.pid)
        size = args.line_mib << 20

        def chunks():
            yield b'{"version":2,"type":"sampleNow","requestId":"'
            block = b"x" * (16 << 20)
            for _ in range(size // len(block)):
                yield block
            yield b'"}\n'

        start = time.monotonic()
        writer = write_in_background(m, chunks)
        answer = m.readline()
        writer.join()
        took = time.monotonic() - start
        if answer.startswith(b'{"version":2,"type":"snapshot"'):
            what = "a snapshot echoing the id"
        else:
            what = f"error {json.loads(answer).get('message')!r}"
        after = samples(m, 3)
        return f"answer {len(answer) / 1e6:.1f} MB in {took:.1f} s: {what}; then {after}; {ending(m)}"
    finally:
        root.kill()


def case_burst(binary, args):
    root = sleeper()
    try:
        m = Monitor(binary)
        m.configure(root.pid)
        size = args.burst_mb * 1000 * 1000
        written = [0]

        def chunks():
            for i in range(args.burst):
                yield (b'{"version":2,"type":"sampleNow","requestId":"' + b"%03d" % i + b"y" * (size - 3) + b'"}\n')
                written[0] += 1

        start = time.monotonic()
        writer = write_in_background(m, chunks)
        # The client reads nothing until the monitor has taken all it will: the writer is done or
        # has made no progress for three seconds.
        seen, last = -1, time.monotonic()
        while writer.is_alive() and time.monotonic() - last < 3:
            if written[0] != seen:
                seen, last = written[0], time.monotonic()
            time.sleep(0.1)
        taken = m.peak_kib = max(m.peak_kib, status_kib(m.pid, "VmHWM"))
        answered = 0
        for _ in range(args.burst):
            line = m.readline()
            if not line:
                break
            answered += 1
        writer.join()
        took = time.monotonic() - start
        return (
            f"{seen} commands written before reading, peak then {taken / 1024:.0f} MiB; "
            f"{answered} answers in {took:.1f} s; {ending(m)}"
        )
    finally:
        root.kill()


CASES = {"normal": case_normal, "wide": case_wide, "line": case_line, "burst": case_burst}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("helper")
    parser.add_argument("binaries", nargs="+")
    parser.add_argument("--cases", default="normal,wide,line,burst")
    parser.add_argument("--wide-mib", type=int, default=256)
    parser.add_argument("--line-mib", type=int, default=1024)
    parser.add_argument("--burst", type=int, default=80)
    parser.add_argument("--burst-mb", type=int, default=16)
    args = parser.parse_args()
    for case in args.cases.split(","):
        for binary in args.binaries:
            try:
                outcome = CASES[case](binary, args)
            except Exception as error:  # a monitor that died mid-case is an outcome too
                outcome = f"failed: {error!r}"
            print(f"{case:6} {binary}: {outcome}", flush=True)


if __name__ == "__main__":
    main()
