#!/usr/bin/env node
// treemon-watch: starts a command (or takes a running pid), watches its process tree with treemon
// and shows it live; optionally records every snapshot and draws a chart at the end. Exits with
// the command's own status (128 + signal number when a signal ended it).

import { spawn, type ChildProcess } from 'node:child_process';
import { createWriteStream, writeFileSync, type WriteStream } from 'node:fs';
import { constants as osConstants } from 'node:os';

import { TreemonClient } from '../client';
import { LineSplitter } from '../lines';
import type { Snapshot } from '../types';
import { parseArgs, USAGE, type WatchOptions } from './args';
import { ChartRecorder } from './chart';
import { RateTracker, renderFrame, treeRows } from './table';
import { LiveView } from './view';

const OUTPUT_TAIL_LINES = 5;

/** The command's output: every byte to the log file if asked, its last lines for the view. */
class OutputTail {
  readonly lines: string[] = [];
  private readonly splitter = new LineSplitter();

  constructor(private readonly log: WriteStream | undefined) {}

  attach(stream: NodeJS.ReadableStream | null): void {
    stream?.on('data', (chunk: Buffer) => {
      this.log?.write(chunk);
      for (const line of this.splitter.push(chunk)) this.lines.push(line.replace(/[\x00-\x1f\x7f]/g, ' '));
      this.lines.splice(0, Math.max(this.lines.length - OUTPUT_TAIL_LINES, 0));
    });
  }
}

function startCommand(command: string[]): Promise<ChildProcess> {
  return new Promise((resolve, reject) => {
    const child = spawn(command[0]!, command.slice(1), { stdio: ['inherit', 'pipe', 'pipe'] });
    child.once('spawn', () => resolve(child));
    child.once('error', reject);
  });
}

function exitStatusOf(code: number | null, signal: NodeJS.Signals | null): number {
  if (code !== null) return code;
  return 128 + (signal === null ? 0 : (osConstants.signals[signal] ?? 0));
}

async function watch(options: WatchOptions): Promise<number> {
  let client: TreemonClient;
  try {
    client = await TreemonClient.start(options.treemon === undefined ? {} : { binaryPath: options.treemon });
  } catch (error) {
    process.stderr.write(`treemon-watch: ${(error as Error).message}\n`);
    return 1;
  }
  const log = options.log === undefined ? undefined : createWriteStream(options.log);
  const output = new OutputTail(log);
  let child: ChildProcess | undefined;
  if (options.pid === undefined) {
    try {
      child = await startCommand(options.command);
    } catch (error) {
      process.stderr.write(`treemon-watch: cannot start ${options.command[0]}: ${(error as Error).message}\n`);
      await client.shutdown();
      return 127;
    }
    output.attach(child.stdout);
    output.attach(child.stderr);
  }
  const rootPid = options.pid ?? child!.pid!;
  const title = options.pid === undefined ? options.command.join(' ') : `pid ${options.pid}`;

  const record = options.record === undefined ? undefined : createWriteStream(options.record);
  const chart = options.chart === undefined ? undefined : new ChartRecorder();
  const view = new LiveView(process.stdout);
  const rates = new RateTracker(client.hello.platform === 'linux');
  const startedAt = Date.now();
  let latest: { snapshot: Snapshot; rows: ReturnType<typeof treeRows> } | undefined;

  const draw = () => {
    if (latest === undefined) return;
    view.show(renderFrame({
      title, elapsedMs: Date.now() - startedAt, snapshot: latest.snapshot, rows: latest.rows,
      width: view.width, height: view.height, outputTail: output.lines,
    }));
  };

  let finish: (status: number) => void = () => {};
  const finished = new Promise<number>((resolve) => { finish = resolve; });

  client.on('snapshot', (snapshot) => {
    record?.write(`${JSON.stringify(snapshot)}\n`);
    const figures = rates.update(snapshot);
    chart?.add(snapshot, figures);
    latest = { snapshot, rows: treeRows(snapshot, figures, options.sort) };
    draw();
    if (options.pid !== undefined && snapshot.processes.length === 0) finish(0);
  });
  client.on('exit', () => finish(1));
  process.stdout.on('resize', draw);

  let interrupts = 0;
  const onSignal = (signal: NodeJS.Signals) => {
    interrupts++;
    if (child === undefined) finish(130);
    else child.kill(interrupts > 1 ? 'SIGKILL' : signal);
  };
  process.on('SIGINT', onSignal);
  process.on('SIGTERM', onSignal);
  // Not 'close': a process the command left behind may hold its output pipe open for good.
  child?.once('exit', (code, signal) => finish(exitStatusOf(code, signal)));

  try {
    await client.setStreaming(true);
    await client.configure({ rootPid, sampleIntervalMs: options.intervalMs });
  } catch (error) {
    process.stderr.write(`treemon-watch: ${(error as Error).message}\n`);
    finish(1);
  }
  const status = await finished;

  process.off('SIGINT', onSignal);
  process.off('SIGTERM', onSignal);
  process.stdout.off('resize', draw);
  view.close();
  await client.shutdown();
  await Promise.all([record, log].map((stream) => new Promise<void>((resolve) => (stream ? stream.end(resolve) : resolve()))));
  if (chart !== undefined) {
    writeFileSync(options.chart!, chart.svg(`treemon-watch: ${title}`, options.top));
    process.stderr.write(`treemon-watch: chart of ${chart.sampleCount} samples written to ${options.chart}\n`);
  }
  return status;
}

async function main(): Promise<void> {
  const parsed = parseArgs(process.argv.slice(2));
  if (!parsed.ok) {
    if (parsed.help === true) {
      process.stdout.write(`${USAGE}\n`);
      return;
    }
    process.stderr.write(`treemon-watch: ${parsed.message}\n${USAGE}\n`);
    process.exitCode = 2;
    return;
  }
  process.exitCode = await watch(parsed.options);
}

void main();
