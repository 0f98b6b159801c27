#!/usr/bin/env python3
"""Drives treemon over its pipes and prints what it reports, in a readable form.

usage: demo.py TREEMON [COMMAND ARGS...]

Without a command it watches a small tree of its own: a shell with a sleeping child and a
busy child. Every line sent and received is plain JSON, one object per line.
"""
import json
import os
import signal
import subprocess
import sys
import time

DEFAULT_TREE = ["sh", "-c", "sleep 60 & sh -c 'sleep 60 & while :; do :; done' & wait"]


class Monitor:
    def __init__(self, binary):
        self.proc = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1)

    def send(self, command):
        command = {"version": 2, **command}
        print(f"  -> {json.dumps(command)}")
        self.proc.stdin.write(json.dumps(command) + "\n")
        self.proc.stdin.flush()

    def receive(self):
        line = self.proc.stdout.readline()
        if not line:
            raise SystemExit("treemon ended unexpectedly")
        return json.loads(line)


def human_bytes(n):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024


def print_snapshot(s):
    origin = f"request {s['requestId']}" if "requestId" in s else "periodic"
    print(f"\nsnapshot #{s['sequence']} ({origin}): {s['retainedProcessCount']} of "
          f"{s['scannedProcessCount']} processes, collected in {s['collectionDurationMicros']} us")
    print(f"  {'pid':>7} {'ppid':>7} {'cpu %':>7} {'cpu ms':>8} {'resident':>10} "
          f"{'read':>10} {'written':>10}  command")
    for p in s["processes"]:
        cpu = "-" if p["cpuPercent"] is None else f"{p['cpuPercent']:.1f}"
        print(f"  {p['pid']:>7} {p['ppid']:>7} {cpu:>7} {p['cpuTimeMs']:>8} "
              f"{human_bytes(p['residentBytes']):>10} {human_bytes(p['ioReadBytes']):>10} "
              f"{human_bytes(p['ioWriteBytes']):>10}  {p['command'][:60]}")


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    command = sys.argv[2:] or DEFAULT_TREE
    tree = subprocess.Popen(command, start_new_session=True)
    monitor = Monitor(sys.argv[1])
    try:
        hello = monitor.receive()
        print(f"hello: treemon {hello['sidecarVersion']} (pid {hello['sidecarPid']}) on "
              f"{hello['platform']}/{hello['arch']}")
        print(f"\nwatching the tree of pid {tree.pid}: {' '.join(command)}")
        monitor.send({"type": "setStreaming", "enabled": True})
        monitor.send({"type": "configure", "rootPid": tree.pid, "sampleIntervalMs": 1000})
        for _ in range(3):
            print_snapshot(monitor.receive())
        monitor.send({"type": "sampleNow", "requestId": "demo-now"})
        while True:
            event = monitor.receive()
            if event.get("requestId") == "demo-now":
                print_snapshot(event)
                break
        monitor.send({"type": "setStreaming", "enabled": False})
        monitor.send({"type": "readHistory", "requestId": "demo-history", "windowMs": 60000})
        snapshots, chunks = [], 0
        while True:
            event = monitor.receive()
            if event["type"] != "historyChunk":
                continue
            chunks += 1
            snapshots += event["snapshots"]
            if event["done"]:
                break
        print(f"\nhistory of the last minute: {len(snapshots)} snapshots in {chunks} chunk(s), "
              f"sequences {[s['sequence'] for s in snapshots]}")
        monitor.send({"type": "shutdown"})
        status = monitor.proc.wait(timeout=10)
        print(f"\ntreemon exited with status {status}")
        return status
    finally:
        if monitor.proc.poll() is None:
            monitor.proc.kill()
        try:
            os.killpg(tree.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        tree.wait()


if __name__ == "__main__":
    sys.exit(main())
