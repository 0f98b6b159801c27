#!/usr/bin/env node
// treemon-watch: starts a command (or takes a running pid), watches its process tree with treemon
// and shows it live; optionally records every snapshot, writes a CSV table and draws a chart. The
// run ends when the command exits: processes it left running are listed in the summary (and ended
// with --kill-tree), never waited for. Exits with the command's own status (128 + signal number
// when a signal ended it).

import { spawn, type ChildProcess } from "node:child_process";
import { readFileSync, writeFileSync } from "node:fs";
import { constants as osConstants } from "node:os";
import * as path from "node:path";

import { TreemonClient } from "../client";
import { findMonitor } from "../locate";
import type { ProcessSample, Snapshot } from "../types";
import { childrenUsage, usageBetween, type ChildrenUsage } from "./accounting";
import { parseArgs, USAGE, type WatchOptions } from "./args";
import { ChartRecorder } from "./chart";
import { CSV_HEADER, csvRows } from "./csv";
import { killAll, stillRunning } from "./leftovers";
import { OutputFile, OutputTail, reason, unwritable } from "./outputs";
import { formatSummary, SummaryRecorder } from "./summary";
import { processKey, RateTracker, renderFrame, treeRows } from "./table";
import { LiveView } from "./view";

/** How long the command's output may take to arrive after it exited (its pipes may stay open). */
const OUTPUT_DRAIN_MS = 500;
/** The processes last seen that are checked for being left running when the command ends. */
const CANDIDATES_KEPT = 2000;

function startCommand(command: string[]): Promise<ChildProcess> {
  return new Promise((resolve, reject) => {
    const child = spawn(command[0]!, command.slice(1), { stdio: ["inherit", "pipe", "pipe"] });
    child.once("spawn", () => resolve(child));
    child.once("error", reject);
  });
}

interface CommandEnd {
  status: number;
  signal: NodeJS.Signals | null;
  atMs: number;
  /** What the kernel counted for the command's tree, read as soon as the command was reaped. */
  usage: ChildrenUsage | undefined;
}

function exitStatusOf(code: number | null, signal: NodeJS.Signals | null): number {
  if (code !== null) return code;
  return 128 + (signal === null ? 0 : (osConstants.signals[signal] ?? 0));
}

function endingText(
  end: CommandEnd | undefined,
  pid: number,
  interrupted: boolean,
  left: number,
  killed: boolean,
): string {
  const how =
    end === undefined
      ? interrupted
        ? `watch of process ${pid} interrupted`
        : `process ${pid} ended`
      : end.signal === null
        ? `exited with status ${end.status}`
        : `killed by ${end.signal} (status ${end.status})`;
  if (left === 0) return how;
  return `${how}; ${left} process${left === 1 ? "" : "es"} left running${killed ? ", killed" : ""}`;
}

function version(): string {
  try {
    const manifest = JSON.parse(
      readFileSync(path.join(__dirname, "..", "..", "..", "package.json"), "utf8"),
    ) as { version?: string };
    return manifest.version ?? "unknown";
  } catch {
    return "unknown";
  }
}

async function watch(options: WatchOptions): Promise<number> {
  const problem = unwritable([options.record, options.csv, options.log, options.chart]);
  if (problem !== undefined) {
    process.stderr.write(`treemon-watch: ${problem}\n`);
    return 2;
  }
  let client: TreemonClient;
  try {
    const found = await findMonitor(options.treemon, "--treemon PATH");
    if ("problem" in found) throw new Error(found.problem);
    client = await TreemonClient.start({ binaryPath: found.path });
  } catch (error) {
    process.stderr.write(`treemon-watch: ${(error as Error).message}\n`);
    return 1;
  }
  // Shown once the view has closed: on a terminal the view's screen would hide them.
  const problems: string[] = [];
  // The monitor ending before the watch stops it ends the view; the run still lasts as long as the
  // command, whose status it passes on.
  let stopping = false;
  let monitorFailed = false;
  let monitorDied!: () => void;
  const monitorDeath = new Promise<void>((resolve) => {
    monitorDied = resolve;
  });
  client.on("exit", () => {
    if (stopping) return;
    monitorFailed = true;
    problems.push("the monitor ended during the run; the view stopped");
    monitorDied();
  });

  let first: Snapshot | undefined;
  if (options.pid !== undefined) {
    try {
      await client.configure({ rootPid: options.pid, sampleIntervalMs: options.intervalMs });
      first = await client.sampleNow();
    } catch (error) {
      process.stderr.write(`treemon-watch: ${(error as Error).message}\n`);
      await client.shutdown();
      return 1;
    }
    if (!first.processes.some((p) => p.pid === options.pid)) {
      process.stderr.write(`treemon-watch: no process with pid ${options.pid}\n`);
      await client.shutdown();
      return 1;
    }
  }

  const report = (problem: string) => problems.push(problem);
  const outputs = {
    record: OutputFile.open(options.record, report),
    csv: OutputFile.open(options.csv, report),
    log: OutputFile.open(options.log, report),
  };
  const closeOutputs = () => Object.values(outputs).forEach((file) => file?.close());
  const output = new OutputTail(outputs.log);
  const startedAt = Date.now();
  let child: ChildProcess | undefined;
  // Taken before the command starts and after it is reaped, but while the monitor still runs, so
  // that the difference is the command's tree alone.
  const usageBefore = options.pid === undefined ? childrenUsage() : undefined;
  if (options.pid === undefined) {
    try {
      child = await startCommand(options.command);
    } catch (error) {
      process.stderr.write(
        `treemon-watch: cannot start ${options.command[0]}: ${(error as Error).message}\n`,
      );
      await client.shutdown();
      closeOutputs();
      return 127;
    }
    output.attach(child.stdout);
    output.attach(child.stderr);
  }
  const rootPid = options.pid ?? child!.pid!;
  const title = options.pid === undefined ? options.command.join(" ") : `pid ${options.pid}`;

  let commandEnded!: (end: CommandEnd) => void;
  const commandEnd = new Promise<CommandEnd>((resolve) => {
    commandEnded = resolve;
  });
  child?.once("exit", (code, signal) =>
    commandEnded({
      status: exitStatusOf(code, signal),
      signal,
      atMs: Date.now(),
      usage: usageBetween(usageBefore, childrenUsage()),
    }),
  );

  const chart =
    options.chart === undefined
      ? undefined
      : new ChartRecorder({
          startedAtUnixMs: startedAt,
          origin: options.pid === undefined ? "the command started" : "the watch started",
          group: options.group,
        });
  const summary = new SummaryRecorder(options.command, rootPid, startedAt);
  const view = new LiveView(process.stdout);
  const rates = new RateTracker(client.hello.platform === "linux");
  outputs.csv?.write(`${CSV_HEADER}\n`);
  // Processes seen, most recently seen last: where to look for processes left running at the end.
  const seen = new Map<string, ProcessSample>();
  let latest: { snapshot: Snapshot; rows: ReturnType<typeof treeRows> } | undefined;
  let lastSequence = 0;

  const draw = (ending?: string, atMs = Date.now()) => {
    if (latest === undefined) return;
    view.show(
      renderFrame({
        title,
        elapsedMs: atMs - startedAt,
        snapshot: latest.snapshot,
        rows: latest.rows,
        width: view.width,
        height: view.height,
        outputTail: output.lines,
        ...(ending === undefined ? {} : { ending }),
      }),
    );
  };

  const take = (snapshot: Snapshot, redraw = true) => {
    if (snapshot.sequence <= lastSequence) return;
    lastSequence = snapshot.sequence;
    outputs.record?.write(`${JSON.stringify(snapshot)}\n`);
    const figures = rates.update(snapshot);
    chart?.add(snapshot, figures);
    summary.add(snapshot, figures);
    const rows = csvRows(snapshot, figures, startedAt);
    if (rows.length > 0) outputs.csv?.write(`${rows.join("\n")}\n`);
    for (const p of snapshot.processes) {
      const key = processKey(p);
      seen.delete(key);
      seen.set(key, p);
    }
    // The last look after the end may find the tree gone: the view keeps the last rows it had.
    if (snapshot.processes.length > 0 || latest === undefined)
      latest = { snapshot, rows: treeRows(snapshot, figures, options.sort) };
    if (redraw) draw();
  };

  let processEnded!: () => void;
  const watchedProcessEnd = new Promise<void>((resolve) => {
    processEnded = resolve;
  });
  const onSnapshot = (snapshot: Snapshot) => {
    take(snapshot);
    if (options.pid !== undefined && !snapshot.processes.some((p) => p.pid === options.pid))
      processEnded();
  };
  client.on("snapshot", onSnapshot);
  process.stdout.on("resize", draw);

  let interrupts = 0;
  const onSignal = (signal: NodeJS.Signals) => {
    interrupts++;
    if (child === undefined) processEnded();
    else child.kill(interrupts > 1 ? "SIGKILL" : signal);
  };
  process.on("SIGINT", onSignal);
  process.on("SIGTERM", onSignal);

  try {
    if (first !== undefined) take(first);
    else {
      await client.configure({ rootPid, sampleIntervalMs: options.intervalMs });
      take(await client.sampleNow());
    }
    await client.setStreaming(true);
  } catch (error) {
    if (!monitorFailed) problems.push((error as Error).message);
  }
  const end =
    child === undefined
      ? await Promise.race([watchedProcessEnd, monitorDeath]).then(() => undefined)
      : await commandEnd;
  const endedAt = end?.atMs ?? Date.now();
  client.off("snapshot", onSnapshot);
  process.off("SIGINT", onSignal);
  process.off("SIGTERM", onSignal);
  process.stdout.off("resize", draw);

  // The last look at the tree, after the command's end: what it left running, and its last output.
  let leftRunning: ProcessSample[] = [];
  let killed = false;
  // An interrupted watch of a running process leaves it and its tree alone.
  const interrupted = child === undefined && interrupts > 0;
  if (!monitorFailed && !interrupted) {
    try {
      await client.setStreaming(false);
      const [last] = await Promise.all([
        stillRunning(client, [...seen.values()].slice(-CANDIDATES_KEPT), rootPid),
        output.drained(OUTPUT_DRAIN_MS),
      ]);
      leftRunning = last.processes;
      take(
        leftRunning.length === last.snapshot.processes.length
          ? last.snapshot
          : { ...last.snapshot, processes: leftRunning, retainedProcessCount: leftRunning.length },
        false,
      );
      if (options.killTree && leftRunning.length > 0) {
        leftRunning = await killAll(client, leftRunning, rootPid);
        killed = true;
      }
    } catch (error) {
      if (!monitorFailed) problems.push((error as Error).message);
    }
  } else {
    await output.drained(OUTPUT_DRAIN_MS);
  }
  draw(endingText(end, rootPid, interrupted, leftRunning.length, killed), endedAt);
  view.close();
  for (const problem of problems) process.stderr.write(`treemon-watch: ${problem}\n`);
  // Processes left running may hold the command's output open; the watch does not wait for them.
  child?.stdout?.destroy();
  child?.stderr?.destroy();
  stopping = true;
  await client.shutdown();

  const result = summary.finish({
    exitStatus: end === undefined ? null : end.status,
    signal: end?.signal ?? null,
    wallTimeMs: endedAt - startedAt,
    leftRunning,
    killed,
    // A monitor reaped during the run left its own CPU time and I/O in the reading.
    kernel: monitorFailed ? undefined : end?.usage,
  });
  outputs.record?.write(`${JSON.stringify(result)}\n`);
  closeOutputs();
  if (chart !== undefined) {
    try {
      writeFileSync(options.chart!, chart.svg(`treemon-watch: ${title}`, options.top));
      process.stderr.write(
        `treemon-watch: chart of ${chart.sampleCount} samples written to ${options.chart}\n`,
      );
    } catch (error) {
      process.stderr.write(`treemon-watch: cannot write ${options.chart}: ${reason(error)}\n`);
    }
  }
  process.stderr.write(`${formatSummary(result).join("\n")}\n`);
  if (end !== undefined) return end.status;
  return monitorFailed ? 1 : interrupted ? 130 : 0;
}

async function main(): Promise<void> {
  const parsed = parseArgs(process.argv.slice(2));
  if (!parsed.ok) {
    if (parsed.help === true) {
      process.stdout.write(`${USAGE}\n`);
      return;
    }
    if (parsed.version === true) {
      process.stdout.write(`treemon-watch ${version()}\n`);
      return;
    }
    process.stderr.write(`treemon-watch: ${parsed.message}\n${USAGE}\n`);
    process.exitCode = 2;
    return;
  }
  process.exitCode = await watch(parsed.options);
}

void main();
