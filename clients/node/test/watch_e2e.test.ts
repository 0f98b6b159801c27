// treemon-watch as a person uses it: each scenario runs in a tmux terminal, whose screen is read
// as the user sees it (the live view, the last frame, the summary, the errors), with the exit
// status, and the files it wrote read back: the record, the CSV table, the chart rendered to PNG.

import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { existsSync, mkdtempSync, readFileSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import * as path from "node:path";
import { after, before, describe, test } from "node:test";

import type { Snapshot } from "../src/types";
import {
  CPU_PANEL,
  IO_PANEL,
  MEMORY_PANEL,
  PALETTE,
  PLOT_X,
  TOTAL_COLOR,
} from "../src/watch/chart";
import type { Summary } from "../src/watch/summary";
import { BINARY, fakeMonitor, HELLO } from "./helpers";
import { countColor, decodePng } from "./png";

const CLI = path.resolve(__dirname, "..", "src", "watch", "cli.js");
const SOCKET = `treemon-watch-test-${process.pid}`;

function tmux(...args: string[]): string {
  return execFileSync("tmux", ["-L", SOCKET, ...args], {
    encoding: "utf8",
    stdio: ["ignore", "pipe", "pipe"],
  });
}

// A session that lasts for the whole file: the server does not exit (and race the next
// scenario's start) each time a scenario's session ends.
before(() => {
  tmux("new-session", "-d", "-s", "keep", "sleep 3600");
});

after(() => {
  try {
    tmux("kill-server");
  } catch {
    // no server left
  }
});

async function screenUntil(session: string, wanted: RegExp, timeoutMs = 60000): Promise<string> {
  const deadline = Date.now() + timeoutMs;
  let screen = "";
  while (Date.now() < deadline) {
    // The whole history, wrapped lines joined: the last frame and everything printed after it.
    screen = tmux("capture-pane", "-p", "-J", "-S", "-", "-t", session);
    if (wanted.test(screen)) return screen;
    await new Promise((r) => setTimeout(r, 250));
  }
  assert.fail(`the screen never matched ${wanted}; it shows:\n${screen}`);
}

function quote(arg: string): string {
  return `'${arg.replace(/'/g, `'\\''`)}'`;
}

/** The process runs: it exists and is not a zombie waiting for its parent's wait. */
function alive(pid: number): boolean {
  try {
    const stat = readFileSync(`/proc/${pid}/stat`, "utf8");
    return stat.slice(stat.lastIndexOf(")") + 2)[0] !== "Z";
  } catch {
    return false;
  }
}

/** A pid that no process has now. */
function unusedPid(): number {
  let pid = 999999;
  while (existsSync(`/proc/${pid}`)) pid++;
  return pid;
}

interface Run {
  dir: string;
  /** The screen while the command ran (when the scenario waited for one), and at the end. */
  live: string;
  screen: string;
  /** The pid a scenario's command wrote to bg.pid: a process it left running. */
  background: number | undefined;
  file(name: string): string;
}

interface Scenario {
  what: string;
  args: string[];
  status: number;
  /** On the final screen. */
  screen: RegExp[];
  columns?: number;
  /** Wait for this screen while the command runs; then press Ctrl-C if `interrupt`. */
  live?: RegExp;
  interrupt?: boolean;
  check?: (run: Run) => void;
}

const LEFT_RUNNING = /left running {4}1: sleep \(pid (\d+)\)/;

function readRecord(run: Run): { snapshots: Snapshot[]; summary: Summary } {
  const lines = readFileSync(run.file("run.jsonl"), "utf8")
    .trimEnd()
    .split("\n")
    .map((l) => JSON.parse(l));
  const summary = lines.pop() as Summary;
  assert.equal(summary.type, "summary", "the summary is the record's last line");
  assert.ok(
    lines.every((s, i) => s.type === "snapshot" && (i === 0 || s.sequence > lines[i - 1].sequence)),
  );
  return { snapshots: lines as Snapshot[], summary };
}

function chartImage(run: Run, name = "run.svg") {
  const png = run.file("chart.png");
  execFileSync("rsvg-convert", ["-o", png, run.file(name)]);
  return decodePng(readFileSync(png));
}

// Inside the frame of a plot, clear of its anti-aliased border.
const inside = (panel: { top: number; bottom: number }) => ({
  left: PLOT_X.left + 3,
  right: PLOT_X.right - 3,
  top: panel.top + 3,
  bottom: panel.bottom - 3,
});

const NO_MONITOR = path.join(tmpdir(), "no-treemon-here");
const DYING_MONITOR = fakeMonitor(`echo '${HELLO}'\nsleep 1\nexit 1`);
const MISSING_PID = unusedPid();

const scenarios: Scenario[] = [
  {
    what: "a process left running with the output open does not hold the end",
    args: ["--", "sh", "-c", "sleep 60 & echo $! > bg.pid; echo started"],
    status: 0,
    screen: [/^exited with status 0/m, /^output:\n {2}started$/m, /^ {2}exit status {5}0$/m],
    check: (run) =>
      assert.ok(alive(run.background!), "the background sleep runs on: not killed, not waited for"),
  },
  {
    what: "Ctrl-C ends the run at once, lists what is left running and writes the chart",
    args: [
      "--interval",
      "250",
      "--chart",
      "run.svg",
      "--",
      "sh",
      "-c",
      "sleep 60 & echo $! > bg.pid; sleep 60; wait",
    ],
    live: /TOTAL of 3 processes/,
    interrupt: true,
    status: 130,
    screen: [
      /^killed by SIGINT \(status 130\); 1 process left running$/m,
      /^ {2}exit status {5}130 \(killed by SIGINT\)$/m,
      LEFT_RUNNING,
    ],
    check: (run) => {
      assert.equal(LEFT_RUNNING.exec(run.screen)![1], String(run.background));
      assert.ok(alive(run.background!));
      const image = chartImage(run);
      assert.ok(
        countColor(image, TOTAL_COLOR, inside(MEMORY_PANEL), 8) > 100,
        "the memory of the tree is drawn",
      );
    },
  },
  {
    what: "the last frame shows the last output and how the command ended",
    args: [
      "--interval",
      "250",
      "--",
      "sh",
      "-c",
      "echo first; sleep 2.2; echo LAST LINE; echo to-stderr >&2; exit 7",
    ],
    status: 7,
    screen: [
      /elapsed 00:0[2-9]/,
      /^exited with status 7$/m,
      /^ {2}LAST LINE$/m,
      /^ {2}to-stderr$/m,
      /^ {2}wall time {7}[2-9]\.\d s$/m,
    ],
  },
  ...(["--record", "--csv", "--chart", "--log"] as const).map((option): Scenario => ({
    what: `an output path that cannot be written (${option}) stops the run before it starts`,
    args: [option, "/nonexistent/x.out", "--", "sh", "-c", "echo ran > marker"],
    status: 2,
    screen: [
      /^treemon-watch: cannot write \/nonexistent\/x\.out: no such file or directory\ntreemon-watch-exit=2$/m,
    ],
    check: (run) => {
      assert.ok(!existsSync(run.file("marker")), "the command did not run");
      assert.ok(!run.screen.includes(" at "), "no stack trace");
    },
  })),
  {
    what: "bytes a child read count once, from the record, the CSV and the summary alike",
    args: [
      "--interval",
      "250",
      "--record",
      "run.jsonl",
      "--csv",
      "run.csv",
      "--",
      "sh",
      "-c",
      "(head -c 30000000 /dev/zero; sleep 3) > /dev/null; sleep 2",
    ],
    status: 0,
    screen: [
      /^ {2}read {12}28\.6 MiB \(exact, from the kernel\)$/m,
      /^ {2}written {9}28\.6 MiB \(exact, from the kernel\)$/m,
    ],
    check: (run) => {
      const { snapshots, summary } = readRecord(run);
      assert.ok(
        summary.readBytes >= 30000000 && summary.readBytes < 31000000,
        `${summary.readBytes} bytes read`,
      );
      const csv = readFileSync(run.file("run.csv"), "utf8").trimEnd().split("\n");
      assert.equal(
        csv[0],
        "time_s,pid,ppid,name,cpu_percent,resident_bytes,read_bytes_per_s,write_bytes_per_s,command",
      );
      const rows = csv.slice(1).map((line) => line.split(","));
      assert.deepEqual(
        rows.map((r) => Number(r[1])),
        snapshots.flatMap((s) => s.processes.map((p) => p.pid)),
        "one row per process per sample",
      );
      assert.ok(
        rows.every((r, i) => i === 0 || Number(r[0]) >= Number(rows[i - 1]![0])),
        "time runs forward",
      );
      // Rate times the time since the process's previous sample, summed, is what the tree read
      // (a process's first row is a rate over its life so far, left out here).
      const sampleAt = (time: string) =>
        snapshots.findIndex(
          (s) => ((s.sampledAtUnixMs - summary.startedAtUnixMs) / 1000).toFixed(3) === time,
        );
      const read = rows.reduce((sum, r) => {
        const at = sampleAt(r[0]!);
        assert.ok(at >= 0, `a CSV time of no sample: ${r[0]}`);
        const seen = at > 0 && snapshots[at - 1]!.processes.some((p) => p.pid === Number(r[1]));
        return (
          sum +
          (seen
            ? (Number(r[6]) *
                (snapshots[at]!.sampledAtUnixMs - snapshots[at - 1]!.sampledAtUnixMs)) /
              1000
            : 0)
        );
      }, 0);
      assert.ok(read < 31000000, `the CSV rates add up to ${read} bytes, not twice the reads`);
    },
  },
  {
    what: "processes that no sample saw count in the totals: the kernel's, exact",
    args: [
      "--interval",
      "60000",
      "--record",
      "run.jsonl",
      "--",
      "sh",
      "-c",
      'sleep 0.5; timeout 1 sh -c "while :; do :; done"; head -c 20000000 /dev/zero > /dev/null',
    ],
    status: 0,
    screen: [/^ {2}CPU time {8}\d+\.\d s \(exact, from the kernel\)$/m],
    check: (run) => {
      const { snapshots, summary } = readRecord(run);
      assert.ok(
        !snapshots.some((s) => s.processes.some((p) => p.name === "head")),
        "no sample saw head",
      );
      assert.ok(summary.cpuTimeMs >= 300, `${summary.cpuTimeMs} ms of CPU time`);
      for (const bytes of [summary.readBytes, summary.writtenBytes])
        assert.ok(bytes >= 20000000 && bytes < 20500000, JSON.stringify(summary));
    },
  },
  {
    what: "a pid that no process has",
    args: ["--pid", String(MISSING_PID)],
    status: 1,
    screen: [
      new RegExp(`^treemon-watch: no process with pid ${MISSING_PID}\ntreemon-watch-exit=1$`, "m"),
    ],
  },
  {
    what: "--version",
    args: ["--version"],
    status: 0,
    screen: [/^treemon-watch 0\.1\.0\ntreemon-watch-exit=0$/m],
  },
  {
    what: "--help",
    args: ["--help"],
    status: 0,
    screen: [/^usage: treemon-watch/m, /^ {2}--kill-tree /m],
  },
  {
    what: "a signal that ends the command gives 128 + its number",
    args: ["--", "sh", "-c", "sleep 1; kill -TERM $$"],
    status: 143,
    screen: [
      /^killed by SIGTERM \(status 143\)$/m,
      /^ {2}exit status {5}143 \(killed by SIGTERM\)$/m,
    ],
  },
  {
    what: "a monitor that dies does not end the run: the command's status still comes through",
    args: ["--treemon", DYING_MONITOR, "--", "sh", "-c", "sleep 3; exit 5"],
    status: 5,
    screen: [
      /^treemon-watch: the monitor ended during the run; the view stopped$/m,
      /^ {2}exit status {5}5$/m,
    ],
  },
  {
    what: "a command that does not exist",
    args: ["--", "no-such-command-for-treemon"],
    status: 127,
    screen: [/cannot start no-such-command-for-treemon: spawn no-such-command-for-treemon ENOENT/],
  },
  {
    what: "a bad option",
    args: ["--interval", "soon", "--", "true"],
    status: 2,
    screen: [/--interval must be a whole number, got "soon"/],
  },
  {
    what: "no monitor",
    args: ["--treemon", NO_MONITOR, "--", "true"],
    status: 1,
    screen: [
      /^treemon-watch: cannot use the treemon executable .*no-treemon-here \(--treemon PATH\): no such file \(ENOENT\)$/m,
    ],
  },
  {
    what: "--kill-tree ends what the command left running",
    args: [
      "--interval",
      "250",
      "--kill-tree",
      "--",
      "sh",
      "-c",
      "sleep 60 & echo $! > bg.pid; sleep 6",
    ],
    status: 0,
    screen: [
      /^exited with status 0; 1 process left running, killed$/m,
      /^ {2}left running {4}1, killed: sleep \(pid \d+\)$/m,
    ],
    check: (run) => assert.ok(!alive(run.background!), "the background sleep was ended"),
  },
  {
    what: "80 columns: a long command loses its middle; --group draws one band per name",
    args: [
      "--interval",
      "250",
      "--group",
      "--chart",
      "run.svg",
      "--",
      "sh",
      "-c",
      "sleep 8 & sleep 8; : /a/long/path/to/somewhere/deep/inside/the/tree/target-file.txt",
    ],
    live: /TOTAL of 3 processes/,
    status: 0,
    screen: [
      /^treemon-watch {2}sh -c sleep 8 & s\S*\.\.\.\S*\/target-file\.txt {2}elapsed 00:0\d {2}sample #\d+$/m,
    ],
    check: (run) => {
      assert.ok(run.live.split("\n").every((line) => line.length <= 80));
      assert.match(
        run.live,
        /^ +\d+ +\d+\.\d +\d+\.\d (KiB|MiB) .* {2}sh -c sleep 8 .*\.\.\..*file\.txt$/m,
      );
      assert.match(readFileSync(run.file("run.svg"), "utf8"), />sleep, 2 processes</);
    },
  },
  {
    what: "the live tree, the record, the summary and a chart of CPU, memory and I/O",
    columns: 160,
    args: [
      "--interval",
      "250",
      "--record",
      "run.jsonl",
      "--chart",
      "run.svg",
      "--",
      "sh",
      "-c",
      'sleep 1; timeout 6 sh -c "while :; do :; done" & head -c 20000000 /dev/zero > /dev/null; sleep 7; wait',
    ],
    live: / {4}sh -c while :; do :; done\n/,
    status: 0,
    screen: [/^summary: sh -c sleep 1; timeout 6 sh -c "while :; do :; done" & head -c 20000000/m],
    check: (run) => {
      const lines = run.live.split("\n");
      assert.match(
        lines[0]!,
        /^treemon-watch {2}sh -c sleep 1; timeout 6 sh -c "while :; do :; done" & .* {2}elapsed \d\d:\d\d {2}sample #\d+/,
      );
      assert.match(lines[1]!, /^ +PID +CPU% +RESIDENT +READ\/s +WRITE\/s {2}COMMAND$/);
      const command = lines[1]!.indexOf("COMMAND");
      const commands = lines.slice(2, 6).map((l) => l.slice(command));
      assert.match(commands[0]!, /^sh -c sleep 1; timeout 6/);
      const at = commands.indexOf("  timeout 6 sh -c while :; do :; done");
      assert.ok(
        at > 0 && commands[at + 1] === "    sh -c while :; do :; done",
        `the tree as shown: ${JSON.stringify(commands)}`,
      );
      const busyLine = lines.find((l) => l.endsWith("    sh -c while :; do :; done"))!;
      assert.match(busyLine, /^ +\d+ +\d+\.\d +\d+\.\d (KiB|MiB) +\S+ \S+ +\S+ \S+ {6}sh -c/);

      const { snapshots, summary } = readRecord(run);
      assert.ok(snapshots.length >= 5, `${snapshots.length} snapshots recorded`);
      const busy = snapshots
        .flatMap((s) => s.processes)
        .find((p) => p.command === "sh -c while :; do :; done")!;
      const line = (label: string) =>
        new RegExp(`^ {2}${label.padEnd(16)}(.*)$`, "m").exec(run.screen)![1]!;
      assert.equal(line("exit status"), "0");
      assert.equal(line("processes seen"), String(summary.processesSeen));
      assert.ok(summary.processesSeen >= 4);
      // CPU time: the kernel's count for the reaped tree, at least what the samples saw; the busy
      // loop had a share of a loaded machine.
      const lastCpu = new Map(
        snapshots
          .flatMap((s) => s.processes)
          .map((p) => [`${p.pid}@${p.startTimeMs}`, p.cpuTimeMs]),
      );
      assert.equal(summary.totalsFrom, "kernel");
      assert.ok(
        summary.cpuTimeMs >= [...lastCpu.values()].reduce((a, b) => a + b, 0) - 20,
        JSON.stringify(summary),
      );
      assert.ok(summary.cpuTimeMs >= 200, `${summary.cpuTimeMs} ms of CPU time`);
      assert.equal(
        line("CPU time"),
        `${(summary.cpuTimeMs / 1000).toFixed(1)} s (exact, from the kernel)`,
      );
      assert.equal(
        line("CPU average"),
        `${((summary.cpuTimeMs / summary.wallTimeMs) * 100).toFixed(1)} %`,
      );
      assert.ok(summary.cpuPeakPercent >= summary.cpuAveragePercent, JSON.stringify(summary));
      assert.ok(
        summary.readBytes >= 20000000 && summary.readBytes < 21000000,
        `${summary.readBytes} bytes read`,
      );
      assert.ok(summary.wallTimeMs >= 8000);

      const svg = readFileSync(run.file("run.svg"), "utf8");
      // Two shells: the legend tells them apart by their first distinctive argument.
      assert.match(svg, new RegExp(`>sh while \\(${busy.pid}\\)<`));
      assert.match(svg, new RegExp(`>sh sleep \\(${snapshots[0]!.processes[0]!.pid}\\)<`));
      assert.match(svg, />time since the command started \(s\)</);
      const image = chartImage(run);
      for (const panel of [CPU_PANEL, MEMORY_PANEL, IO_PANEL]) {
        assert.ok(
          countColor(image, TOTAL_COLOR, inside(panel), 8) > 100,
          `a total line in the panel at y=${panel.top}`,
        );
      }
      assert.ok(
        countColor(image, PALETTE[0]!, inside(CPU_PANEL)) > 100,
        "the busiest process has a line in the CPU panel",
      );
      // The busiest process reaches the upper half of its panel, whose scale ends just above the total.
      const topmost = [...Array(CPU_PANEL.bottom - CPU_PANEL.top).keys()]
        .map((i) => CPU_PANEL.top + i)
        .find((y) => countColor(image, PALETTE[0]!, { ...PLOT_X, top: y, bottom: y + 1 }) > 0)!;
      assert.ok(
        topmost < (CPU_PANEL.top + CPU_PANEL.bottom) / 2,
        `the busy line peaks at y=${topmost}`,
      );
    },
  },
];

describe("treemon-watch in a terminal", () => {
  for (const scenario of scenarios) {
    test(scenario.what, async () => {
      const dir = mkdtempSync(path.join(tmpdir(), "treemon-watch-"));
      const script = path.join(dir, "run.sh");
      // The wrapper survives a Ctrl-C (a trap, unlike an ignored signal, is not inherited) so the
      // status can be read; it stays on so the screen can be.
      writeFileSync(
        script,
        [
          'trap "echo wrapper-interrupted" INT',
          `cd ${quote(dir)}`,
          ["node", CLI, "--treemon", BINARY, ...scenario.args].map(quote).join(" "),
          'echo "treemon-watch-exit=$?"',
          "sleep 600",
        ].join("\n"),
      );
      const session = `s${scenarios.indexOf(scenario)}`;
      tmux(
        "new-session",
        "-d",
        "-s",
        session,
        "-x",
        String(scenario.columns ?? 80),
        "-y",
        "30",
        `sh ${quote(script)}`,
      );
      const run: Run = {
        dir,
        live: "",
        screen: "",
        background: undefined,
        file: (name) => path.join(dir, name),
      };
      try {
        if (scenario.live !== undefined) run.live = await screenUntil(session, scenario.live);
        if (scenario.interrupt === true) tmux("send-keys", "-t", session, "C-c");
        run.screen = await screenUntil(session, /treemon-watch-exit=\d+/);
        if (existsSync(run.file("bg.pid")))
          run.background = Number(readFileSync(run.file("bg.pid"), "utf8"));
        assert.equal(
          Number(/treemon-watch-exit=(\d+)/.exec(run.screen)![1]),
          scenario.status,
          run.screen,
        );
        for (const wanted of scenario.screen) assert.match(run.screen, wanted);
        assert.doesNotMatch(run.screen, /Unhandled|Error: |\n {4}at /, "no stack trace");
        scenario.check?.(run);
      } finally {
        tmux("kill-session", "-t", session);
        if (run.background !== undefined && alive(run.background))
          process.kill(run.background, "SIGKILL");
      }
    });
  }
});

test("--pid watches a running process until it ends", async () => {
  const sleeper = spawn("sleep", ["5"], { stdio: "ignore" });
  const output = await new Promise<{ code: number | null; stdout: string; stderr: string }>(
    (resolve) => {
      const watcher = spawn("node", [
        CLI,
        "--treemon",
        BINARY,
        "--interval",
        "250",
        "--pid",
        String(sleeper.pid),
      ]);
      let stdout = "";
      let stderr = "";
      watcher.stdout.on("data", (chunk) => {
        stdout += chunk;
      });
      watcher.stderr.on("data", (chunk) => {
        stderr += chunk;
      });
      watcher.once("close", (code) => resolve({ code, stdout, stderr }));
    },
  );
  assert.equal(output.code, 0);
  assert.match(output.stdout, new RegExp(`treemon-watch  pid ${sleeper.pid}  elapsed`));
  assert.match(output.stdout, new RegExp(`\\n +${sleeper.pid} +\\d+\\.\\d .*  sleep 5\\n`));
  // The last frame keeps the last rows it had, not the empty tree after the end.
  assert.match(output.stdout, new RegExp(`TOTAL of 1 process\\nprocess ${sleeper.pid} ended\\n`));
  assert.match(
    output.stderr,
    new RegExp(
      `^summary: pid ${sleeper.pid}\\n(.*\\n)* {2}exit status {5}unknown \\(watched by pid\\)\\n`,
    ),
  );
});
