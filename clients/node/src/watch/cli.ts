#!/usr/bin/env node
// treemon-watch: starts a command (or takes a running pid), watches its process tree with treemon
// and shows it live; optionally records every snapshot, writes a CSV table and draws a chart. The
// run ends when the command exits: processes it left running are listed in the summary (and ended
// with --kill-tree), never waited for. Exits with the command's own status (128 + signal number
// when a signal ended it).

import { spawn, type ChildProcess } from 'node:child_process';
import { closeSync, existsSync, openSync, readFileSync, unlinkSync, writeFileSync, writeSync } from 'node:fs';
import { constants as osConstants } from 'node:os';
import * as path from 'node:path';

import { TreemonClient } from '../client';
import { LineSplitter } from '../lines';
import type { ProcessSample, Snapshot } from '../types';
import { parseArgs, USAGE, type WatchOptions } from './args';
import { ChartRecorder } from './chart';
import { CSV_HEADER, csvRows } from './csv';
import { formatSummary, SummaryRecorder } from './summary';
import { processKey, RateTracker, renderFrame, treeRows } from './table';
import { LiveView } from './view';

const OUTPUT_TAIL_LINES = 5;
/** How long the command's output may take to arrive after it exited (its pipes may stay open). */
const OUTPUT_DRAIN_MS = 500;
/** Processes that left the tree but may still run, checked when the command ends. */
const CANDIDATES_KEPT = 2000;
const KILL_ROUNDS = 10;

/** A file written during the run; a write that fails is reported once and the file given up. */
class OutputFile {
  private failed = false;

  private constructor(readonly file: string, private fd: number | undefined, private readonly report: (problem: string) => void) {}

  static open(file: string | undefined, report: (problem: string) => void): OutputFile | undefined {
    return file === undefined ? undefined : new OutputFile(file, openSync(file, 'w'), report);
  }

  write(text: string | Buffer): void {
    if (this.fd === undefined || this.failed) return;
    try {
      const data = typeof text === 'string' ? Buffer.from(text) : text;
      for (let done = 0; done < data.length;) done += writeSync(this.fd, data, done);
    } catch (error) {
      this.failed = true;
      this.report(`cannot write ${this.file}: ${reason(error)}`);
    }
  }

  close(): void {
    if (this.fd !== undefined) closeSync(this.fd);
    this.fd = undefined;
  }
}

/**
 * Every output path can be written, checked before anything starts: the message of the first that
 * cannot, or undefined. A file the check had to create is removed again.
 */
function unwritable(files: (string | undefined)[]): string | undefined {
  for (const file of files) {
    if (file === undefined) continue;
    const existed = existsSync(file);
    try {
      closeSync(openSync(file, 'a'));
      if (!existed) unlinkSync(file);
    } catch (error) {
      return `cannot write ${file}: ${reason(error)}`;
    }
  }
  return undefined;
}

/** The command's output: every byte to the log file if asked, its last lines for the view. */
class OutputTail {
  readonly lines: string[] = [];
  private readonly splitter = new LineSplitter();
  private readonly closed: Promise<void>[] = [];

  constructor(private readonly log: OutputFile | undefined) {}

  attach(stream: NodeJS.ReadableStream | null): void {
    if (stream === null) return;
    this.closed.push(new Promise((resolve) => stream.once('close', resolve)));
    stream.on('data', (chunk: Buffer) => {
      this.log?.write(chunk);
      for (const line of this.splitter.push(chunk)) this.lines.push(line.replace(/[\x00-\x1f\x7f]/g, ' '));
      this.lines.splice(0, Math.max(this.lines.length - OUTPUT_TAIL_LINES, 0));
    });
  }

  /** Resolves when every stream has closed, or after `ms` when a leftover process holds one open. */
  drained(ms: number): Promise<void> {
    return Promise.race([Promise.all(this.closed).then(() => {}), delay(ms)]);
  }
}

/** A file system error without Node's code and path: "no such file or directory". */
function reason(error: unknown): string {
  const message = (error as Error).message;
  return /^[A-Z]+: (.*?), \w+ '.*'$/.exec(message)?.[1] ?? message;
}

function delay(ms: number): Promise<void> {
  return new Promise((resolve) => setTimeout(resolve, ms).unref());
}

function startCommand(command: string[]): Promise<ChildProcess> {
  return new Promise((resolve, reject) => {
    const child = spawn(command[0]!, command.slice(1), { stdio: ['inherit', 'pipe', 'pipe'] });
    child.once('spawn', () => resolve(child));
    child.once('error', reject);
  });
}

interface CommandEnd {
  status: number;
  signal: NodeJS.Signals | null;
  atMs: number;
}

function exitStatusOf(code: number | null, signal: NodeJS.Signals | null): number {
  if (code !== null) return code;
  return 128 + (signal === null ? 0 : (osConstants.signals[signal] ?? 0));
}

function endingText(end: CommandEnd | undefined, pid: number, left: number, killed: boolean): string {
  const how = end === undefined ? `process ${pid} ended`
    : end.signal === null ? `exited with status ${end.status}` : `killed by ${end.signal} (status ${end.status})`;
  if (left === 0) return how;
  return `${how}; ${left} process${left === 1 ? '' : 'es'} left running${killed ? ', killed' : ''}`;
}

function version(): string {
  try {
    const manifest = JSON.parse(readFileSync(path.join(__dirname, '..', '..', '..', 'package.json'), 'utf8')) as { version?: string };
    return manifest.version ?? 'unknown';
  } catch {
    return 'unknown';
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
    client = await TreemonClient.start(options.treemon === undefined ? {} : { binaryPath: options.treemon });
  } catch (error) {
    process.stderr.write(`treemon-watch: ${(error as Error).message}\n`);
    return 1;
  }
  // The monitor ending before the watch stops it ends the view; the run still lasts as long as the
  // command, whose status it passes on.
  // Shown once the view has closed: on a terminal the view's screen would hide them.
  const problems: string[] = [];
  let stopping = false;
  let monitorFailed = false;
  let monitorDied!: () => void;
  const monitorDeath = new Promise<void>((resolve) => { monitorDied = resolve; });
  client.on('exit', () => {
    if (stopping) return;
    monitorFailed = true;
    problems.push('the monitor ended during the run; the view stopped');
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
    record: OutputFile.open(options.record, report), csv: OutputFile.open(options.csv, report), log: OutputFile.open(options.log, report),
  };
  const closeOutputs = () => Object.values(outputs).forEach((file) => file?.close());
  const output = new OutputTail(outputs.log);
  const startedAt = Date.now();
  let child: ChildProcess | undefined;
  if (options.pid === undefined) {
    try {
      child = await startCommand(options.command);
    } catch (error) {
      process.stderr.write(`treemon-watch: cannot start ${options.command[0]}: ${(error as Error).message}\n`);
      await client.shutdown();
      closeOutputs();
      return 127;
    }
    output.attach(child.stdout);
    output.attach(child.stderr);
  }
  const rootPid = options.pid ?? child!.pid!;
  const title = options.pid === undefined ? options.command.join(' ') : `pid ${options.pid}`;

  let commandEnded!: (end: CommandEnd) => void;
  const commandEnd = new Promise<CommandEnd>((resolve) => { commandEnded = resolve; });
  child?.once('exit', (code, signal) => commandEnded({ status: exitStatusOf(code, signal), signal, atMs: Date.now() }));

  const chart = options.chart === undefined ? undefined : new ChartRecorder({
    startedAtUnixMs: startedAt, origin: options.pid === undefined ? 'the command started' : 'the watch started', group: options.group,
  });
  const summary = new SummaryRecorder(options.command, rootPid, startedAt);
  const view = new LiveView(process.stdout);
  const rates = new RateTracker(client.hello.platform === 'linux');
  outputs.csv?.write(`${CSV_HEADER}\n`);
  // Processes seen, most recently seen last: where to look for processes left running at the end.
  const seen = new Map<string, ProcessSample>();
  let latest: { snapshot: Snapshot; rows: ReturnType<typeof treeRows> } | undefined;
  let lastSequence = 0;

  const draw = (ending?: string, atMs = Date.now()) => {
    if (latest === undefined) return;
    view.show(renderFrame({
      title, elapsedMs: atMs - startedAt, snapshot: latest.snapshot, rows: latest.rows,
      width: view.width, height: view.height, outputTail: output.lines, ...(ending === undefined ? {} : { ending }),
    }));
  };

  const take = (snapshot: Snapshot, redraw = true) => {
    if (snapshot.sequence <= lastSequence) return;
    lastSequence = snapshot.sequence;
    outputs.record?.write(`${JSON.stringify(snapshot)}\n`);
    const figures = rates.update(snapshot);
    chart?.add(snapshot, figures);
    summary.add(snapshot, figures);
    const rows = csvRows(snapshot, figures, startedAt);
    if (rows.length > 0) outputs.csv?.write(`${rows.join('\n')}\n`);
    for (const p of snapshot.processes) {
      const key = processKey(p);
      seen.delete(key);
      seen.set(key, p);
    }
    latest = { snapshot, rows: treeRows(snapshot, figures, options.sort) };
    if (redraw) draw();
  };

  let processEnded!: () => void;
  const watchedProcessEnd = new Promise<void>((resolve) => { processEnded = resolve; });
  client.on('snapshot', (snapshot) => {
    take(snapshot);
    if (options.pid !== undefined && !snapshot.processes.some((p) => p.pid === options.pid)) processEnded();
  });
  process.stdout.on('resize', draw);

  let interrupts = 0;
  const onSignal = (signal: NodeJS.Signals) => {
    interrupts++;
    if (child === undefined) processEnded();
    else child.kill(interrupts > 1 ? 'SIGKILL' : signal);
  };
  process.on('SIGINT', onSignal);
  process.on('SIGTERM', onSignal);

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
  const end = child === undefined ? await Promise.race([watchedProcessEnd, monitorDeath]).then(() => undefined)
    : await commandEnd;
  const endedAt = end?.atMs ?? Date.now();
  process.off('SIGINT', onSignal);
  process.off('SIGTERM', onSignal);
  process.stdout.off('resize', draw);

  // The last look at the tree, after the command's end: what it left running, and its last output.
  let leftRunning: ProcessSample[] = [];
  let killed = false;
  if (!monitorFailed) {
    try {
      await client.setStreaming(false);
      const candidates = [...seen.values()].filter((p) => p.pid !== rootPid).slice(-CANDIDATES_KEPT);
      await client.setExternalProcesses(candidates.map((p) => ({ pid: p.pid, startTimeMs: p.startTimeMs })));
      const [last] = await Promise.all([client.sampleNow(), output.drained(OUTPUT_DRAIN_MS)]);
      // The command's pid may already belong to another process.
      leftRunning = last.processes.filter((p) => p.pid !== rootPid);
      take(leftRunning.length === last.processes.length ? last
        : { ...last, processes: leftRunning, retainedProcessCount: leftRunning.length }, false);
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
  draw(endingText(end, rootPid, leftRunning.length, killed), endedAt);
  view.close();
  for (const problem of problems) process.stderr.write(`treemon-watch: ${problem}\n`);
  // Processes left running may hold the command's output open; the watch does not wait for them.
  child?.stdout?.destroy();
  child?.stderr?.destroy();
  stopping = true;
  await client.shutdown();

  const result = summary.finish({
    exitStatus: end === undefined ? null : end.status, signal: end?.signal ?? null,
    wallTimeMs: endedAt - startedAt, leftRunning, killed,
  });
  outputs.record?.write(`${JSON.stringify(result)}\n`);
  closeOutputs();
  if (chart !== undefined) {
    try {
      writeFileSync(options.chart!, chart.svg(`treemon-watch: ${title}`, options.top));
      process.stderr.write(`treemon-watch: chart of ${chart.sampleCount} samples written to ${options.chart}\n`);
    } catch (error) {
      process.stderr.write(`treemon-watch: cannot write ${options.chart}: ${reason(error)}\n`);
    }
  }
  process.stderr.write(`${formatSummary(result).join('\n')}\n`);
  if (end !== undefined) return end.status;
  return monitorFailed ? 1 : interrupts > 0 ? 130 : 0;
}

/**
 * Ends the processes left running and what they start meanwhile: a polite SIGTERM first, SIGKILL
 * for those still there in the last rounds. Returns every process it signalled.
 */
async function killAll(client: TreemonClient, processes: ProcessSample[], rootPid: number): Promise<ProcessSample[]> {
  const signalled = new Map<string, ProcessSample>();
  let remaining = processes;
  for (let round = 0; remaining.length > 0 && round < KILL_ROUNDS; round++) {
    for (const p of remaining) {
      signalled.set(processKey(p), p);
      try {
        process.kill(p.pid, round < KILL_ROUNDS - 2 ? 'SIGTERM' : 'SIGKILL');
      } catch {
        // gone already
      }
    }
    await client.setExternalProcesses(remaining.map((p) => ({ pid: p.pid, startTimeMs: p.startTimeMs })));
    remaining = (await client.sampleNow()).processes.filter((p) => p.pid !== rootPid);
  }
  return [...signalled.values()];
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
