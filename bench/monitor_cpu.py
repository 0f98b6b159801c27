#!/usr/bin/env python3
"""The monitor's own CPU use, as a share of one core, measured side by side in one run.

For each machine size (extra sleeping processes, so that the whole machine holds about N),
it starts a 20-process tree, runs treemon on it with a sample interval, and reads treemon's
user+system ticks from /proc over a fixed wall time. It also measures an idle monitor that is
configured without an interval: it should use no ticks at all.

usage: monitor_cpu.py TREEMON [SECONDS]
"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from monitor_pipe import MonitorPipe, end_session  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def process_count():
    return sum(1 for name in os.listdir("/proc") if name.isdigit())


def spawn_sleepers(count):
    procs = []
    for _ in range(count):
        procs.append(subprocess.Popen(["sleep", "600"], start_new_session=True))
    return procs


def start_tree():
    script = "for i in $(seq 19); do sleep 600 & done; wait"
    return subprocess.Popen(["sh", "-c", script], start_new_session=True)


def measure(binary, interval_ms, seconds, root_pid):
    monitor = MonitorPipe([binary])
    try:
        monitor.send({"type": "configure", "rootPid": root_pid, "sampleIntervalMs": interval_ms})
        time.sleep(1)  # let the first samples and start-up pass
        before, start = cpu_ticks(monitor.pid), time.monotonic()
        time.sleep(seconds)
        ticks, elapsed = cpu_ticks(monitor.pid) - before, time.monotonic() - start
        monitor.finish()
    finally:
        monitor.kill()
    return ticks, ticks / TICKS / elapsed


def main():
    binary = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10
    tree = start_tree()
    sleepers = []
    try:
        time.sleep(0.5)
        ticks, _ = measure(binary, 0, seconds, tree.pid)
        print(f"idle, no interval, {seconds:.0f} s: {ticks} ticks")
        for target in (1000, 3000):
            missing = max(0, target - process_count())
            sleepers += spawn_sleepers(missing)
            time.sleep(1)
            n = process_count()
            for interval in (250, 1000):
                ticks, share = measure(binary, interval, seconds, tree.pid)
                print(
                    f"{n} processes, interval {interval} ms: {share * 100:.2f} % of one core "
                    f"({ticks} ticks in {seconds:.0f} s)"
                )
    finally:
        for p in sleepers + [tree]:
            end_session(p)


if __name__ == "__main__":
    main()
