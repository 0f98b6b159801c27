#!/usr/bin/env python3
"""Drives treemon over its pipes and prints what it reports, in a readable form.

usage: demo.py TREEMON [COMMAND ARGS...]

Without a command it watches a small tree of its own (a shell with a sleeping child and a busy
child) for three snapshots, reads the history and stops. With a command it watches the command's
tree until the command ends, and exits with the command's status (128 + N when signal N ended it).
CPU % is worked out as the clients do, from the CPU time between two snapshots. Every line sent
and received is plain JSON, one object per line.
"""
import json
import signal
import subprocess
import sys
import threading

from monitor_pipe import MonitorPipe, end_session

DEFAULT_TREE = ["sh", "-c", "sleep 60 & sh -c 'sleep 60 & while :; do :; done' & wait"]


class Monitor(MonitorPipe):
    def __init__(self, binary):
        # In a session of its own: a Ctrl-C is for the command, not for the monitor.
        super().__init__([binary], new_session=True)

    def send(self, command):
        print(f"  -> {json.dumps({'version': 2, **command})}")
        super().send(command)

    def receive(self):
        event = self.read_event()
        if event is None:
            raise SystemExit("treemon ended unexpectedly")
        return event


def human_bytes(n):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024


class CpuRates:
    """CPU % of one processor as the clients show it: the CPU time a process used since the
    previous snapshot over the time between the two; a process seen first is rated over its life
    so far (at least a second). The monitor's own cpuPercent of a new process is 0."""

    def __init__(self):
        self.previous = {}

    def update(self, snapshot):
        now = {
            (p["pid"], p["startTimeMs"]): (snapshot["sampledAtUnixMs"], p["cpuTimeMs"]) for p in snapshot["processes"]
        }
        rates = {}
        for p in snapshot["processes"]:
            key = (p["pid"], p["startTimeMs"])
            at, cpu = now[key]
            base_at, base_cpu = self.previous.get(key, (at - max(p["runTimeMs"], 1000), 0))
            rates[key] = max(cpu - base_cpu, 0) / max(at - base_at, 1) * 100
        self.previous = now
        return rates


def print_snapshot(s, rates):
    origin = f"request {s['requestId']}" if "requestId" in s else "periodic"
    cpu_percent = rates.update(s)
    print(
        f"\nsnapshot #{s['sequence']} ({origin}): {s['retainedProcessCount']} of "
        f"{s['scannedProcessCount']} processes, collected in {s['collectionDurationMicros']} us"
    )
    print(
        f"  {'pid':>7} {'ppid':>7} {'cpu %':>7} {'cpu ms':>8} {'resident':>10} "
        f"{'read':>10} {'written':>10}  command"
    )
    for p in s["processes"]:
        cpu = f"{cpu_percent[(p['pid'], p['startTimeMs'])]:.1f}"
        print(
            f"  {p['pid']:>7} {p['ppid']:>7} {cpu:>7} {p['cpuTimeMs']:>8} "
            f"{human_bytes(p['residentBytes']):>10} {human_bytes(p['ioReadBytes']):>10} "
            f"{human_bytes(p['ioWriteBytes']):>10}  {p['command'][:60]}"
        )


def exit_status(returncode):
    return 128 - returncode if returncode < 0 else returncode


def watch_command(monitor, command):
    """Follows the command's tree until the command ends; its exit status."""
    try:
        tree = subprocess.Popen(command)
    except OSError as error:
        print(f"demo: cannot start {command[0]}: {error.strerror or error}", file=sys.stderr)
        return 127
    # The terminal's Ctrl-C reaches the command, whose end ends the watch.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    print(f"\nwatching the tree of pid {tree.pid} until it ends: {' '.join(command)}")
    ended = threading.Event()
    threading.Thread(target=lambda: (tree.wait(), ended.set()), daemon=True).start()
    monitor.send({"type": "setStreaming", "enabled": True})
    monitor.send({"type": "configure", "rootPid": tree.pid, "sampleIntervalMs": 1000})
    rates = CpuRates()
    while not ended.is_set():
        event = monitor.receive()
        if event["type"] == "snapshot":
            print_snapshot(event, rates)
    monitor.send({"type": "shutdown"})
    status = exit_status(tree.wait())
    print(f"\ncommand exited with status {status}; treemon exited with status {monitor.process.wait(timeout=10)}")
    return status


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    monitor = Monitor(sys.argv[1])
    try:
        hello = monitor.receive()
        print(
            f"hello: treemon {hello['sidecarVersion']} (pid {hello['sidecarPid']}) on "
            f"{hello['platform']}/{hello['arch']}"
        )
        if len(sys.argv) > 2:
            return watch_command(monitor, sys.argv[2:])
        return watch_own_tree(monitor)
    finally:
        if monitor.process.poll() is None:
            monitor.process.kill()


def watch_own_tree(monitor):
    tree = subprocess.Popen(DEFAULT_TREE, start_new_session=True)
    try:
        print(f"\nwatching the tree of pid {tree.pid}: {' '.join(DEFAULT_TREE)}")
        monitor.send({"type": "setStreaming", "enabled": True})
        monitor.send({"type": "configure", "rootPid": tree.pid, "sampleIntervalMs": 1000})
        rates = CpuRates()
        for _ in range(3):
            print_snapshot(monitor.receive(), rates)
        monitor.send({"type": "sampleNow", "requestId": "demo-now"})
        while True:
            event = monitor.receive()
            if event.get("requestId") == "demo-now":
                print_snapshot(event, rates)
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
        print(
            f"\nhistory of the last minute: {len(snapshots)} snapshots in {chunks} chunk(s), "
            f"sequences {[s['sequence'] for s in snapshots]}"
        )
        monitor.send({"type": "shutdown"})
        status = monitor.process.wait(timeout=10)
        print(f"\ntreemon exited with status {status}")
        return status
    finally:
        end_session(tree)


if __name__ == "__main__":
    sys.exit(main())
