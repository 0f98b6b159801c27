#!/usr/bin/env python3
"""What watching a build costs: the native treemon-watch beside the Node view, in one run.

Generates a C project and builds it with `make -j2` under `/usr/bin/time`, started by the native
tool at a 1 s interval; the Node view (clients/node, with its own treemon monitor) watches the
same tree by pid at the same interval, at the same time. Reports each tool's own CPU time and
peak resident memory, and compares the native summary's CPU time with what /usr/bin/time says
the kernel counted for make's tree.

Each tool's CPU time is its own, to the nanosecond: the native tool (one thread) is read from
/proc/PID/schedstat once it has exited and before it is reaped, which keeps its children's time
apart; the Node view's is the resource usage wait4 gives for the node process, which holds the
monitor it started and reaped. Peak resident memory is the kernel's high-water mark (VmHWM), read
until each process ends; the Node view's adds its monitor's to node's.

The Node view left the tree when treemon-watch became native; build it from the commit before,
9d9f2a1 (`git worktree add ../node-view 9d9f2a1`, then `npm ci && npm run build` in its
clients/node), and pass its dist/src/watch/cli.js as NODE_CLI_JS.

usage: watch_cost.py TREEMON_WATCH NODE_CLI_JS TREEMON [--files N] [--keep DIR]
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

POLL_S = 0.05
# How often the Node view's children (its monitor) are looked for.
CHILDREN_POLL_S = 0.5


def generate_project(folder, files):
    """A C project whose files each take a compiler a fraction of a second at -O2."""
    sources = []
    for i in range(files):
        name = f"unit{i:03d}.c"
        sources.append(name)
        with open(os.path.join(folder, name), "w") as out:
            for f in range(40):
                out.write(
                    f"int f{i}_{f}(int n) {{ int s = 0; for (int k = 0; k < n; k++) {{\n"
                    f"  switch ((k * {f + 3}) % 7) {{ case 0: s += k * {f}; break; case 1: s ^= k << 2; break;\n"
                    f"  case 2: s -= n / (k + 1); break; case 3: s += (s >> 3) * {i + 1}; break;\n"
                    f"  default: s = s * 31 + k; }} }} return s; }}\n"
                )
    objects = " ".join(s[:-2] + ".o" for s in sources)
    with open(os.path.join(folder, "Makefile"), "w") as out:
        out.write(f"all: program\nprogram: {objects}\n\t$(CC) -o $@ main.c {objects}\n")
        out.write("%.o: %.c\n\t$(CC) -O2 -c -o $@ $<\n")
    with open(os.path.join(folder, "main.c"), "w") as out:
        out.write("int main(void) { return 0; }\n")


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def high_water_kib(pid):
    status = read(f"/proc/{pid}/status")
    found = re.search(r"^VmHWM:\s+(\d+) kB", status or "", re.M)
    return int(found.group(1)) if found else None


def own_cpu_s(pid):
    """The CPU time of a process of one thread, its children's left out."""
    return int(read(f"/proc/{pid}/schedstat").split()[0]) / 1e9


def children_of(pid):
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            stat = read(f"/proc/{name}/stat")
            if stat is not None and int(stat.rsplit(")", 1)[1].split()[1]) == pid:
                found.append(int(name))
    return found


def wait_for_child(pid, timeout_s=30):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        children = children_of(pid)
        if children:
            return children[0]
        time.sleep(0.005)
    raise RuntimeError(f"process {pid} started no child")


def run(native, node_cli, treemon, folder):
    native_args = [native, "--interval", "1000", "--record", "native.jsonl", "--"]
    command = ["/usr/bin/time", "-f", "%U %S", "-o", "time.txt", "make", "-j2", "-s"]
    devnull = subprocess.DEVNULL
    errors = open(os.path.join(folder, "native.stderr"), "w+")
    native_tool = subprocess.Popen(native_args + command, cwd=folder, stdout=devnull, stderr=errors)
    root = wait_for_child(native_tool.pid)
    node_view = subprocess.Popen(
        ["node", node_cli, "--treemon", treemon, "--interval", "1000", "--pid", str(root)],
        cwd=folder,
        stdout=devnull,
        stderr=open(os.path.join(folder, "node.stderr"), "w"),
    )
    peaks = {native_tool.pid: 0, node_view.pid: 0}
    monitors = set()
    native_cpu = None
    node_usage = None
    next_children_poll = 0
    while native_cpu is None or node_usage is None:
        for pid in peaks:
            peaks[pid] = max(peaks[pid], high_water_kib(pid) or 0)
        if node_usage is None and time.monotonic() >= next_children_poll:
            next_children_poll = time.monotonic() + CHILDREN_POLL_S
            for child in children_of(node_view.pid):
                monitors.add(child)
                peaks.setdefault(child, 0)
        if native_cpu is None and os.waitid(os.P_PID, native_tool.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT):
            native_cpu = own_cpu_s(native_tool.pid)
        if node_usage is None:
            pid, _, usage = os.wait4(node_view.pid, os.WNOHANG)
            if pid == node_view.pid:
                node_usage = usage
        time.sleep(POLL_S)
    native_tool.wait()
    errors.seek(0)
    summary_text = errors.read()
    record = [json.loads(line) for line in open(os.path.join(folder, "native.jsonl"))]
    user, system = (float(x) for x in open(os.path.join(folder, "time.txt")).read().split())
    return {
        "native_cpu_s": native_cpu,
        "native_peak_kib": peaks[native_tool.pid],
        "node_cpu_s": node_usage.ru_utime + node_usage.ru_stime,
        "node_peak_kib": peaks[node_view.pid] + max((peaks[m] for m in monitors), default=0),
        "node_alone_peak_kib": peaks[node_view.pid],
        "summary": record[-1],
        "summary_text": summary_text,
        "time_cpu_s": user + system,
        "samples": len(record) - 1,
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("native")
    parser.add_argument("node_cli")
    parser.add_argument("treemon")
    parser.add_argument("--files", type=int, default=150)
    parser.add_argument("--keep", help="generate the project here and keep it")
    options = parser.parse_args()
    folder = options.keep or tempfile.mkdtemp(prefix="treemon-watch-cost-")
    os.makedirs(folder, exist_ok=True)
    try:
        generate_project(folder, options.files)
        r = run(*(os.path.abspath(p) for p in (options.native, options.node_cli, options.treemon)), folder)
    finally:
        if not options.keep:
            shutil.rmtree(folder, ignore_errors=True)
    s = r["summary"]
    wall = s["wallTimeMs"] / 1000
    print(f"make -j2 of {options.files} generated C files: {wall:.1f} s, {r['samples']} samples at 1 s")
    print(
        f"native treemon-watch: {r['native_cpu_s']:.3f} s CPU ({r['native_cpu_s'] / wall * 100:.2f} % of one core), "
        f"peak resident {r['native_peak_kib'] / 1024:.1f} MiB"
    )
    print(
        f"Node view (node + its monitor): {r['node_cpu_s']:.3f} s CPU ({r['node_cpu_s'] / wall * 100:.2f} % of one core), "
        f"peak resident {r['node_peak_kib'] / 1024:.1f} MiB (node alone {r['node_alone_peak_kib'] / 1024:.1f} MiB)"
    )
    ratio = r["native_cpu_s"] / r["node_cpu_s"] if r["node_cpu_s"] > 0 else float("inf")
    print(f"CPU ratio native / Node view: {ratio:.3f} (target at most 0.1)")
    kernel = r["time_cpu_s"]
    summary_cpu = s["cpuTimeMs"] / 1000
    print(
        f"summary CPU time {summary_cpu:.2f} s ({s['totalsFrom']}) beside /usr/bin/time's {kernel:.2f} s: "
        f"{(summary_cpu - kernel) / kernel * 100:+.2f} % (target within 3 %)"
    )
    ok = ratio <= 0.1 and r["native_peak_kib"] <= 8 * 1024 and abs(summary_cpu - kernel) <= 0.03 * kernel
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
