#!/usr/bin/env python3
"""The monitor end to end beside the stat floor: what one sample costs, what the monitor's own
CPU use and memory are, for one or more monitor binaries measured side by side in one run.

The stat floor is what a monitor pays per refresh on Linux when it reads every process's stat to
learn its CPU time: one pread of each process's kept-open /proc/PID/stat. It is measured by the PacedStatFloor case
of bench/process_table_bench (built with -DTREEMON_BENCH=ON), at the monitor's own pace: a pass
every 200 ms for the collection, every second for the CPU share, because caches cool between
two passes and a floor measured back to back would meet a warmer machine than the monitor does.
It reports, as medians over 20 passes, the wall and CPU time per process; times the processes it
read, that is one pass. The back-to-back floor (StatFloor) is shown beside it for information.

For each machine size N (default 1000 and 3000), the machine is brought up to N processes with
sleeping processes that this script forks (the real counts are reported), and a 50-process tree
(a root with 49 sleeping descendants) is watched:
  collection  each monitor is configured on the tree without an interval and answers SAMPLES
              sampleNow requests (paced 200 ms apart by the monitor); the median of their
              collectionDurationMicros over the floor's wall time for one pass is the ratio
              (beside it, for information, the monitor's CPU time per answer over the floor's
              per pass)
  cpu         at CPU_SIZE processes (default 3000): each monitor samples the tree every
              1000 ms for SECONDS seconds; its CPU time (the sum of its threads' run time from
              /proc/PID/task/*/schedstat, in ns) as a share of one core, over the floor's share
              of a core at one pass per second (CPU time per pass / 1 s); then its resident
              memory (VmRSS) and peak (VmHWM)
  --load P,T  after each collection run, the same run again while creation_load (beside
              process_table_bench) starts P processes and T threads a second elsewhere on the
              machine (each process exits after LIFETIME ms, 0 by default: --load P,T,LIFETIME);
              the loaded median over the quiet one is the load ratio (target <= LOAD_TARGET)
Monitors and floor runs alternate (floor, A, floor, B, floor, A, ...) for ROUNDS rounds, so that
the binaries and the floor see the same machine, noise included; the machine is topped up to N
before each step, and a row whose monitor saw more than 5 % more or fewer processes than the
floor (other users' processes came or went) is marked (!). Every process the script starts is
ended when it stops, on Ctrl-C and on errors too. A full default run takes about four minutes
for two binaries.

usage: collection_vs_floor.py [--before TREEMON] TREEMON [TREEMON...] [--bench PROCESS_TABLE_BENCH]
       [--sizes 1000,3000] [--samples 20] [--cpu-size 3000] [--seconds 20] [--rounds 2]
       [--load 100,1000] [--json FILE]

  --before TREEMON   a binary measured first (so "--before old/treemon new/treemon" reads as
                     before and after)
  --bench PATH       process_table_bench; by default the one beside the last TREEMON
  --sizes            sizes that StatFloor has: 100, 1000, 3000
  --seconds 0        skips the CPU and memory measurement

example: bench/collection_vs_floor.py --before /tmp/old/treemon build-rel/treemon --json out.json
"""
import argparse
import contextlib
import ctypes
import json
import os
import resource
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from monitor_pipe import MonitorPipe, MonitorPipeError  # noqa: E402

TREE_SIZE = 50
MIN_REFRESH_INTERVAL_MS = 200  # the monitor's pace when sampleNow requests follow each other
CPU_INTERVAL_MS = 1000
TARGET_RATIO = 1.15
LOAD_TARGET = 1.2
PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36
LIBC = ctypes.CDLL(None, use_errno=True)


class BenchError(Exception):
    """Something that makes the figures meaningless: said in one line, and the run stops."""


def process_count():
    return sum(1 for name in os.listdir("/proc") if name.isdigit())


def require_executable(path, what):
    if not os.path.isfile(path) or not os.access(path, os.X_OK):
        raise BenchError(f"{what} not found or not executable: {path}")


# --- Sleeping processes -------------------------------------------------------------------------


def pause_forever(keep_fd=None):
    """The body of every forked sleeper: dies with its parent, holds no descriptor of ours."""
    try:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        parent = os.getppid()
        LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        if os.getppid() != parent:  # the parent died before the death signal was armed
            os._exit(0)
        if keep_fd is None:
            os.closerange(3, 65536)
        else:
            os.closerange(3, keep_fd)
            os.closerange(keep_fd + 1, 65536)
        while True:
            signal.pause()
    finally:
        os._exit(0)


class SleepingGroup:
    """A leader process with `count - 1` sleeping children, all in the leader's own process group
    (so one killpg ends them) and all dying with their parent if this script is killed outright.
    The leader is the root of the group's tree: a group of 50 is the watched tree."""

    def __init__(self, count):
        ready_read, ready_write = os.pipe()
        self.leader = os.fork()
        if self.leader == 0:
            os.close(ready_read)
            self._lead(count, ready_write)
        os.close(ready_write)
        try:
            ready, _, _ = select.select([ready_read], [], [], 120)
            if not ready or os.read(ready_read, 1) != b"1":
                raise BenchError(f"could not start {count} sleeping processes")
        except BaseException:
            self.end()
            raise
        finally:
            os.close(ready_read)

    @staticmethod
    def _lead(count, ready_write):
        try:
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            os.setpgid(0, 0)
            for _ in range(count - 1):
                if os.fork() == 0:
                    pause_forever()
            os.write(ready_write, b"1")
            pause_forever(keep_fd=ready_write)
        finally:
            os._exit(1)

    def end(self):
        """Kills the group and reaps all of it: this script is their subreaper, so the leader's
        children are its own once the leader has gone."""
        with contextlib.suppress(ProcessLookupError):
            os.killpg(self.leader, signal.SIGKILL)
        with contextlib.suppress(ChildProcessError):
            os.waitpid(self.leader, 0)
            while True:
                os.waitpid(-self.leader, 0)


def fill_machine(target, cleanup):
    """Brings the machine up to `target` processes (none added when it holds that many)."""
    missing = target - process_count()
    if missing > 0:
        group = SleepingGroup(missing)
        cleanup.callback(group.end)
    return process_count()


# --- The monitor --------------------------------------------------------------------------------


class Monitor(MonitorPipe):
    """One monitor process driven over its pipes; every unexpected answer is a BenchError."""

    def __init__(self, binary, cleanup):
        self.binary = binary
        self.stderr = tempfile.TemporaryFile()
        super().__init__([binary], stderr=self.stderr, new_session=True)
        cleanup.callback(self.kill)
        hello = self.read_event(10)
        if hello.get("type") != "hello" or hello.get("version") != 2:
            self.fail(f"expected the hello event first, got {hello}")

    def fail(self, what):
        self.stderr.seek(0)
        said = self.stderr.read().decode(errors="replace").strip()
        raise BenchError(f"{self.binary}: {what}" + (f" (its standard error: {said})" if said else ""))

    def send(self, command):
        try:
            super().send(command)
        except BrokenPipeError:
            self.fail(f"the monitor ended (status {self.process.poll()}) before taking {command}")

    def read_event(self, timeout):
        try:
            event = super().read_event(timeout)
        except TimeoutError:
            self.fail(f"no event within {timeout} s")
        except MonitorPipeError as error:
            self.fail(str(error))
        except ValueError as error:
            self.fail(f"wrote a line that is not JSON: {error}")
        if event is None:
            self.fail(f"the monitor ended (status {self.process.wait()}) without an answer")
        return event

    def history(self, request_id, window_ms):
        """The kept snapshots of the last `window_ms`; with 0, an ordering barrier."""
        self.send({"type": "readHistory", "requestId": request_id, "windowMs": window_ms})
        snapshots = []
        while True:
            chunk = self.read_event(30)
            if chunk.get("type") != "historyChunk" or chunk.get("requestId") != request_id:
                self.fail(f"expected a historyChunk for {request_id!r}, got {str(chunk)[:300]}")
            snapshots += chunk["snapshots"]
            if chunk["done"]:
                return snapshots

    def configure(self, root_pid, interval_ms):
        self.send({"type": "configure", "rootPid": root_pid, "sampleIntervalMs": interval_ms})
        self.history("configured", 0)

    def sample(self, request_id):
        self.send({"type": "sampleNow", "requestId": request_id})
        snapshot = self.read_event(30)
        if snapshot.get("type") != "snapshot" or snapshot.get("requestId") != request_id:
            self.fail(f"expected the snapshot for {request_id!r}, got {str(snapshot)[:300]}")
        self.check_tree(snapshot)
        return snapshot

    def check_tree(self, snapshot):
        if snapshot["retainedProcessCount"] != TREE_SIZE:
            self.fail(f"a snapshot of the {TREE_SIZE}-process tree has " f"{snapshot['retainedProcessCount']} rows")

    def schedstat_ns(self):
        """Time all the monitor's threads have run, and waited to run while runnable, in ns (the
        first two fields of each thread's schedstat)."""
        run, wait = 0, 0
        task_dir = f"/proc/{self.pid}/task"
        for task in os.listdir(task_dir):
            with contextlib.suppress(FileNotFoundError):
                with open(f"{task_dir}/{task}/schedstat") as f:
                    fields = f.read().split()
                run, wait = run + int(fields[0]), wait + int(fields[1])
        return run, wait

    def cpu_ns(self):
        return self.schedstat_ns()[0]

    def memory_kib(self, field):
        with open(f"/proc/{self.pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        self.fail(f"/proc/{self.pid}/status has no {field}")

    def shutdown(self):
        try:
            status, rest = self.finish()
        except subprocess.TimeoutExpired:
            self.fail("did not exit within 10 s of shutdown")
        if status != 0:
            self.fail(f"exited with status {status} after shutdown")
        if rest.strip():
            self.fail(f"wrote after shutdown: {rest[:200]!r}")

    def kill(self):
        super().kill()
        self.stderr.close()


class CreationLoad:
    """creation_load running in a session of its own until end(): processes and threads created
    elsewhere on the machine at the given rates."""

    def __init__(self, path, load):
        self.proc = subprocess.Popen([path] + [str(x) for x in load], stdout=subprocess.PIPE, start_new_session=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], 10)
        if not ready or self.proc.stdout.readline() != b"ready\n":
            self.end()
            raise BenchError(f"{path} did not start")

    def end(self):
        if self.proc.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()
        self.proc.stdout.close()


def measure_collection(binary, root_pid, samples, load=None):
    """The quiet run and, with `load` (the creation_load path and its arguments), a loaded run
    right after it."""
    quiet = measure_quiet_collection(binary, root_pid, samples)
    if load:
        creation_load = CreationLoad(load[0], load[1:])
        try:
            quiet["loaded"] = measure_quiet_collection(binary, root_pid, samples)
        finally:
            creation_load.end()
    return quiet


def measure_quiet_collection(binary, root_pid, samples):
    with contextlib.ExitStack() as own:
        monitor = Monitor(binary, own)
        monitor.configure(root_pid, 0)
        run_before, wait_before = monitor.schedstat_ns()
        answers = [monitor.sample(f"s{i}") for i in range(samples)]
        run_after, wait_after = monitor.schedstat_ns()
        monitor.shutdown()
    return {
        "collection_us": [a["collectionDurationMicros"] for a in answers],
        # per sampleNow, whole answer included (command, pacing, collection, event)
        "cpu_us_per_sample": (run_after - run_before) / 1000 / samples,
        "runnable_wait_us_per_sample": (wait_after - wait_before) / 1000 / samples,
        "scanned_processes": statistics.median(a["scannedProcessCount"] for a in answers),
    }


def measure_cpu(binary, root_pid, seconds):
    with contextlib.ExitStack() as own:
        monitor = Monitor(binary, own)
        monitor.configure(root_pid, 1000)
        time.sleep(1.5)  # the first periodic samples: start-up is not the steady state
        cpu_before, start = monitor.cpu_ns(), time.monotonic()
        time.sleep(seconds)
        cpu_ns, elapsed = monitor.cpu_ns() - cpu_before, time.monotonic() - start
        resident, peak = monitor.memory_kib("VmRSS"), monitor.memory_kib("VmHWM")
        taken = monitor.history("window", int(elapsed * 1000))
        for snapshot in taken:
            monitor.check_tree(snapshot)
        monitor.shutdown()
    return {
        "seconds": elapsed,
        "cpu_ns": cpu_ns,
        "share": cpu_ns / 1e9 / elapsed,
        "samples_in_window": len(taken),
        "scanned_processes": statistics.median(s["scannedProcessCount"] for s in taken),
        "vmrss_kib": resident,
        "vmhwm_kib": peak,
    }


# --- The floor ----------------------------------------------------------------------------------


def measure_floor(bench, size, pause_ms):
    """The floor per pass at the monitor's pace (PacedStatFloor: a pass after each pause of
    pause_ms) and, for information, back to back (StatFloor)."""
    paced_name, back_to_back_name = f"PacedStatFloor/{size}/{pause_ms}/", f"StatFloor/{size}/"
    proc = subprocess.Popen(
        [bench, f"--benchmark_filter=^({paced_name}|{back_to_back_name})", "--benchmark_format=json"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        start_new_session=True,
    )
    try:
        out, err = proc.communicate(timeout=300)
    except subprocess.TimeoutExpired:
        raise BenchError(f"{bench} took more than 300 s")
    finally:
        if proc.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    if proc.returncode != 0:
        raise BenchError(f"{bench} failed with status {proc.returncode}: {err.decode()[-500:]}")
    try:
        cases = json.loads(out)["benchmarks"] if out.strip() else []
        paced = next(c for c in cases if c["name"].startswith(paced_name))
        back_to_back = next(c for c in cases if c["name"].startswith(back_to_back_name))
        processes = paced["processes"]
        return {
            "processes": processes,
            "wall_us": paced["wall_us_per_process"] * processes,
            "cpu_us": paced["cpu_us_per_process"] * processes,
            "back_to_back_wall_us": back_to_back["wall_us_per_process"] * back_to_back["processes"],
        }
    except StopIteration:
        raise BenchError(f"{bench} has no {paced_name} or {back_to_back_name} case: " f"{err.decode().strip()[-300:]}")
    except (ValueError, KeyError) as e:
        raise BenchError(f"{bench} did not report {paced_name} with its counters ({e!r})")


# --- The run ------------------------------------------------------------------------------------


def interleaved(binaries, rounds, top_up, floor, measure):
    """floor, A, floor, B, floor, A, ... floor, the machine topped up before each (other users'
    processes come and go): returns the floor runs and each binary's runs."""

    def after_top_up(step):
        machine = top_up()
        return {"machine_processes": machine, **step()}

    floors, runs = [after_top_up(floor)], {b: [] for b in binaries}
    for _ in range(rounds):
        for binary in binaries:
            runs[binary].append(after_top_up(lambda: measure(binary)))
            floors.append(after_top_up(floor))
    return floors, runs


def run(args, cleanup):
    tree = SleepingGroup(TREE_SIZE)
    cleanup.callback(tree.end)
    result = {"collection": [], "cpu": None}
    for size in args.sizes:
        print(f"{size} processes: collection", file=sys.stderr)
        floors, runs = interleaved(
            args.binaries,
            args.rounds,
            lambda: fill_machine(size, cleanup),
            lambda: measure_floor(args.bench, size, MIN_REFRESH_INTERVAL_MS),
            lambda b: measure_collection(b, tree.leader, args.samples, args.load),
        )
        result["collection"].append({"size": size, "floor": floors, "runs": runs})
    if args.seconds > 0:
        print(f"{args.cpu_size} processes: CPU, {args.seconds:g} s per run", file=sys.stderr)
        floors, runs = interleaved(
            args.binaries,
            args.rounds,
            lambda: fill_machine(args.cpu_size, cleanup),
            lambda: measure_floor(args.bench, args.cpu_size, CPU_INTERVAL_MS),
            lambda b: measure_cpu(b, tree.leader, args.seconds),
        )
        result["cpu"] = {"size": args.cpu_size, "floor": floors, "runs": runs}
    return result


def machine_moved(runs, floors):
    """Whether some monitor run saw more than 5 % more or fewer processes than the floor did."""
    floor = statistics.median(f["processes"] for f in floors)
    return any(abs(r["scanned_processes"] - floor) > 0.05 * floor for r in runs)


def summarize(result):
    rows = []
    for part in result["collection"]:
        floor_wall = statistics.median(f["wall_us"] for f in part["floor"])
        for binary, runs in part["runs"].items():
            collection = statistics.median(us for r in runs for us in r["collection_us"])
            rows.append(
                {
                    "binary": binary,
                    "size": part["size"],
                    "monitor_processes": statistics.median(r["scanned_processes"] for r in runs),
                    "floor_processes": statistics.median(f["processes"] for f in part["floor"]),
                    "floor_wall_us": floor_wall,
                    "median_collection_us": collection,
                    "ratio": collection / floor_wall,
                    "back_to_back_ratio": collection
                    / statistics.median(f["back_to_back_wall_us"] for f in part["floor"]),
                    "cpu_ratio": statistics.median(r["cpu_us_per_sample"] for r in runs)
                    / statistics.median(f["cpu_us"] for f in part["floor"]),
                    "ratio_by_round": [statistics.median(r["collection_us"]) / floor_wall for r in runs],
                    "machine_moved": machine_moved(runs, part["floor"]),
                }
            )
    summary = {"collection": rows, "cpu": [], "load": []}
    for part in result["collection"]:
        for binary, runs in part["runs"].items():
            if not all("loaded" in r for r in runs):
                continue
            quiet = statistics.median(us for r in runs for us in r["collection_us"])
            loaded = statistics.median(us for r in runs for us in r["loaded"]["collection_us"])
            summary["load"].append(
                {
                    "binary": binary,
                    "size": part["size"],
                    "quiet_collection_us": quiet,
                    "loaded_collection_us": loaded,
                    "ratio": loaded / quiet,
                    "ratio_by_round": [
                        statistics.median(r["loaded"]["collection_us"]) / statistics.median(r["collection_us"])
                        for r in runs
                    ],
                    "quiet_cpu_us_per_sample": statistics.median(r["cpu_us_per_sample"] for r in runs),
                    "loaded_cpu_us_per_sample": statistics.median(r["loaded"]["cpu_us_per_sample"] for r in runs),
                }
            )
    cpu = result["cpu"]
    if cpu:
        floor_share = statistics.median(f["cpu_us"] for f in cpu["floor"]) / 1e6
        for binary, runs in cpu["runs"].items():
            share = sum(r["cpu_ns"] for r in runs) / 1e9 / sum(r["seconds"] for r in runs)
            summary["cpu"].append(
                {
                    "binary": binary,
                    "size": cpu["size"],
                    "monitor_processes": statistics.median(r["scanned_processes"] for r in runs),
                    "floor_processes": statistics.median(f["processes"] for f in cpu["floor"]),
                    "share": share,
                    "floor_share": floor_share,
                    "ratio": share / floor_share,
                    "samples_per_second": sum(r["samples_in_window"] for r in runs) / sum(r["seconds"] for r in runs),
                    "vmrss_kib": max(r["vmrss_kib"] for r in runs),
                    "vmhwm_kib": max(r["vmhwm_kib"] for r in runs),
                    "machine_moved": machine_moved(runs, cpu["floor"]),
                }
            )
    return summary


def print_table(headers, rows):
    widths = [max(len(str(x)) for x in column) for column in zip(headers, *rows)]
    for line in [headers, ["-" * w for w in widths]] + rows:
        print("  ".join(str(x).rjust(w) for x, w in zip(line, widths)))


def processes(row):
    flag = " (!)" if row["machine_moved"] else ""
    return f"{row['monitor_processes']:g}/{row['floor_processes']:g}{flag}"


def print_summary(summary, args):
    print(
        f"\nCollection of a {TREE_SIZE}-process tree: median collectionDurationMicros of "
        f"{args.samples} sampleNow x {args.rounds} rounds over the stat floor's wall time for one "
        f"pass (target <= {TARGET_RATIO})"
    )
    print_table(
        [
            "binary",
            "N",
            "processes (monitor/floor)",
            "floor wall ms",
            "median collection ms",
            "ratio",
            "ratio by round",
            "CPU ratio",
            "back-to-back ratio",
        ],
        [
            [
                r["binary"],
                r["size"],
                processes(r),
                f"{r['floor_wall_us'] / 1000:.2f}",
                f"{r['median_collection_us'] / 1000:.2f}",
                f"{r['ratio']:.2f}",
                " ".join(f"{x:.2f}" for x in r["ratio_by_round"]),
                f"{r['cpu_ratio']:.2f}",
                f"{r['back_to_back_ratio']:.2f}",
            ]
            for r in summary["collection"]
        ],
    )
    print(
        "(the floor makes one pass every 200 ms, the monitor's pace; CPU ratio: the monitor's "
        "CPU time per sampleNow answered over the floor's per pass; back-to-back ratio: over a "
        "floor whose passes follow each other with caches kept warm; both for information)"
    )
    if summary["cpu"]:
        print(
            f"\nThe monitor's own CPU at sampleIntervalMs 1000 ({args.seconds:g} s x {args.rounds} "
            f"rounds) over the floor at one pass per second (target <= {TARGET_RATIO}); "
            f"memory after the run"
        )
        print_table(
            [
                "binary",
                "processes (monitor/floor)",
                "monitor % core",
                "floor % core",
                "ratio",
                "samples/s",
                "VmRSS MiB",
                "VmHWM MiB",
            ],
            [
                [
                    r["binary"],
                    processes(r),
                    f"{r['share'] * 100:.3f}",
                    f"{r['floor_share'] * 100:.3f}",
                    f"{r['ratio']:.2f}",
                    f"{r['samples_per_second']:.2f}",
                    f"{r['vmrss_kib'] / 1024:.1f}",
                    f"{r['vmhwm_kib'] / 1024:.1f}",
                ]
                for r in summary["cpu"]
            ],
        )
    if summary["load"]:
        rates = ",".join(map(str, args.load[1:]))
        print(
            f"\nCollection while {rates} processes,threads(,lifetime ms) are created per second "
            f"elsewhere, over the quiet run just before it (target <= {LOAD_TARGET})"
        )
        print_table(
            [
                "binary",
                "N",
                "quiet ms",
                "loaded ms",
                "ratio",
                "ratio by round",
                "quiet CPU us/sample",
                "loaded CPU us/sample",
            ],
            [
                [
                    r["binary"],
                    r["size"],
                    f"{r['quiet_collection_us'] / 1000:.2f}",
                    f"{r['loaded_collection_us'] / 1000:.2f}",
                    f"{r['ratio']:.2f}",
                    " ".join(f"{x:.2f}" for x in r["ratio_by_round"]),
                    f"{r['quiet_cpu_us_per_sample']:.0f}",
                    f"{r['loaded_cpu_us_per_sample']:.0f}",
                ]
                for r in summary["load"]
            ],
        )


def print_warnings(summary):
    if any(r.get("machine_moved") for part in summary.values() for r in part):
        print(
            "\n(!) other processes came or went during the run: a monitor saw more than 5 % more "
            "or fewer processes than the floor; those ratios compare different machines"
        )


def parse_args():
    parser = argparse.ArgumentParser(
        description="The monitor's collection time, CPU share and memory beside the stat floor."
    )
    parser.add_argument("binaries", nargs="+", metavar="TREEMON")
    parser.add_argument("--before", help="a binary measured first, as 'before'")
    parser.add_argument("--bench", help="process_table_bench (default: beside the last TREEMON)")
    parser.add_argument("--sizes", default="1000,3000", type=lambda s: sorted(int(x) for x in s.split(",")))
    parser.add_argument("--samples", type=int, default=20)
    parser.add_argument("--cpu-size", type=int, default=3000)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument(
        "--load",
        metavar="P,T[,LIFETIME]",
        type=lambda s: [int(x) for x in s.split(",")],
        help="also measure while P processes and T threads a second are created",
    )
    parser.add_argument("--json", metavar="FILE", help="also write every figure as JSON")
    args = parser.parse_args()
    if args.before:
        args.binaries.insert(0, args.before)
    if len(set(args.binaries)) != len(args.binaries):
        parser.error("a binary is given twice")
    if args.bench is None:
        args.bench = os.path.join(os.path.dirname(args.binaries[-1]), "process_table_bench")
    if args.samples < 1 or args.rounds < 1 or args.seconds < 0:
        parser.error("--samples and --rounds must be at least 1, --seconds at least 0")
    if args.load is not None:
        if len(args.load) not in (2, 3) or min(args.load) < 0:
            parser.error("--load takes PROCESSES,THREADS[,LIFETIME_MS], none negative")
        args.load = [os.path.join(os.path.dirname(args.bench), "creation_load")] + args.load
    return args


def raise_descriptor_limit():
    """The floor keeps one descriptor per process: 3000 processes need more than a common 1024."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and (hard == resource.RLIM_INFINITY or soft < hard):
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def end_on_terminate(signum, frame):
    raise KeyboardInterrupt


def main():
    args = parse_args()
    try:
        for binary in args.binaries:
            require_executable(binary, "treemon binary")
        require_executable(args.bench, "process_table_bench (give it with --bench)")
        if args.load:
            require_executable(args.load[0], "creation_load (built with -DTREEMON_BENCH=ON)")
        raise_descriptor_limit()
        LIBC.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
        signal.signal(signal.SIGTERM, end_on_terminate)
        with contextlib.ExitStack() as cleanup:
            result = run(args, cleanup)
    except BenchError as e:
        sys.exit(f"collection_vs_floor: {e}")
    except KeyboardInterrupt:
        sys.exit("collection_vs_floor: interrupted; every process it started has been ended")
    summary = summarize(result)
    print_summary(summary, args)
    print_warnings(summary)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"summary": summary, "measurements": result}, f, indent=1)
            f.write("\n")


if __name__ == "__main__":
    main()
