// The live table: the tree of one snapshot, indented by parent, siblings sorted, with per-process
// I/O rates taken from the previous snapshot and the totals of the tree. Pure functions of their
// inputs, so that a frame can be checked without a terminal.

import type { ProcessSample, Snapshot } from '../types';
import type { SortKey } from './args';

/** What the view shows of a process besides the monitor's own figures. */
export interface Rates {
  /** CPU % of one processor over the time since the previous snapshot. */
  cpuPercent: number;
  readPerSecond: number;
  writePerSecond: number;
}

export interface TableRow {
  depth: number;
  process: ProcessSample;
  rates: Rates;
}

export interface Totals {
  processes: number;
  cpuPercent: number;
  residentBytes: number;
  readPerSecond: number;
  writePerSecond: number;
}

/** A process is the same process while its pid and start time stay the same. */
export function processKey(p: ProcessSample): string {
  return `${p.pid}@${p.startTimeMs}`;
}

/**
 * Rates between consecutive snapshots, from the cumulative counters (CPU time, bytes read and
 * written). A process seen for the first time is rated over its life so far, as the counters run
 * from its start. The monitor's own cpuPercent is 0 for a process in its first snapshot and a
 * ratio since the machine started in its second, so the view derives CPU % from cpuTimeMs instead.
 */
export class RateTracker {
  private previous = new Map<string, Counters>();

  /**
   * @param childrenFoldIntoParent the platform adds the I/O counts of a child that its parent has
   *   waited for to the parent's own (Linux); the counts a vanished child had when last seen are
   *   then taken off its parent's next difference, so that they are not counted twice.
   */
  constructor(private readonly childrenFoldIntoParent = false) {}

  update(snapshot: Snapshot): Map<string, Rates> {
    const rates = new Map<string, Rates>();
    const next = new Map<string, Counters>();
    for (const p of snapshot.processes) {
      next.set(processKey(p), { at: snapshot.sampledAtUnixMs, pid: p.pid, ppid: p.ppid, cpu: p.cpuTimeMs, read: p.ioReadBytes, write: p.ioWriteBytes });
    }
    const folded = this.childrenFoldIntoParent ? this.foldedChildren(next) : new Map<string, Counters>();
    for (const p of snapshot.processes) {
      const key = processKey(p);
      const now = next.get(key)!;
      const base = this.previous.get(key) ??
        { at: snapshot.sampledAtUnixMs - Math.max(p.runTimeMs, 1000), pid: p.pid, ppid: p.ppid, cpu: 0, read: 0, write: 0 };
      const gone = folded.get(key);
      const ms = Math.max(now.at - base.at, 1);
      rates.set(key, {
        cpuPercent: (Math.max(now.cpu - base.cpu, 0) / ms) * 100,
        readPerSecond: (Math.max(now.read - base.read - (gone?.read ?? 0), 0) / ms) * 1000,
        writePerSecond: (Math.max(now.write - base.write - (gone?.write ?? 0), 0) / ms) * 1000,
      });
    }
    this.previous = next;
    return rates;
  }

  /**
   * For each process still present, the summed last counts of its descendants that have gone since
   * the previous snapshot: a child folds into its parent when reaped, and that parent, once gone
   * itself, into its own parent, so the counts end up with the nearest ancestor still present.
   */
  private foldedChildren(present: Map<string, Counters>): Map<string, Counters> {
    const previousByPid = new Map<number, [string, Counters]>();
    for (const [key, c] of this.previous) previousByPid.set(c.pid, [key, c]);
    const folded = new Map<string, Counters>();
    for (const [key, gone] of this.previous) {
      if (present.has(key)) continue;
      const ancestor = this.nearestPresentAncestor(gone, previousByPid, present);
      if (ancestor === undefined) continue;
      const sum = folded.get(ancestor) ?? { ...gone, read: 0, write: 0 };
      sum.read += gone.read;
      sum.write += gone.write;
      folded.set(ancestor, sum);
    }
    return folded;
  }

  private nearestPresentAncestor(process: Counters, previousByPid: Map<number, [string, Counters]>,
    present: Map<string, Counters>): string | undefined {
    const seen = new Set<number>([process.pid]);
    for (let parent = previousByPid.get(process.ppid); parent !== undefined; parent = previousByPid.get(parent[1].ppid)) {
      if (present.has(parent[0])) return parent[0];
      if (seen.has(parent[1].pid)) return undefined;
      seen.add(parent[1].pid);
    }
    return undefined;
  }
}

interface Counters {
  at: number;
  pid: number;
  ppid: number;
  cpu: number;
  read: number;
  write: number;
}

const NO_RATES: Rates = { cpuPercent: 0, readPerSecond: 0, writePerSecond: 0 };

function compareBy(sort: SortKey, rates: Map<string, Rates>): (a: ProcessSample, b: ProcessSample) => number {
  const rate = (p: ProcessSample) => rates.get(processKey(p)) ?? NO_RATES;
  const key: Record<SortKey, (p: ProcessSample) => number> = {
    cpu: (p) => rate(p).cpuPercent,
    memory: (p) => p.residentBytes,
    io: (p) => rate(p).readPerSecond + rate(p).writePerSecond,
    pid: (p) => -p.pid,
  };
  return (a, b) => key[sort](b) - key[sort](a) || a.pid - b.pid;
}

/** The rows in display order: each process under its parent, siblings sorted by `sort`. */
export function treeRows(snapshot: Snapshot, rates: Map<string, Rates>, sort: SortKey): TableRow[] {
  const byPid = new Map(snapshot.processes.map((p) => [p.pid, p]));
  const children = new Map<number, ProcessSample[]>();
  const roots: ProcessSample[] = [];
  for (const p of snapshot.processes) {
    const parent = p.ppid !== p.pid ? byPid.get(p.ppid) : undefined;
    if (parent === undefined) roots.push(p);
    else children.set(parent.pid, [...(children.get(parent.pid) ?? []), p]);
  }
  const order = compareBy(sort, rates);
  const rows: TableRow[] = [];
  const visited = new Set<number>();
  const visit = (p: ProcessSample, depth: number) => {
    if (visited.has(p.pid)) return;
    visited.add(p.pid);
    rows.push({ depth, process: p, rates: rates.get(processKey(p)) ?? NO_RATES });
    for (const child of (children.get(p.pid) ?? []).sort(order)) visit(child, depth + 1);
  };
  for (const root of roots.sort(order)) visit(root, 0);
  // Processes on a cycle of parent links have no root above them; show them flat at the end.
  for (const p of snapshot.processes) visit(p, 0);
  return rows;
}

export function totalsOf(rows: TableRow[]): Totals {
  return rows.reduce<Totals>((t, r) => ({
    processes: t.processes + 1,
    cpuPercent: t.cpuPercent + r.rates.cpuPercent,
    residentBytes: t.residentBytes + r.process.residentBytes,
    readPerSecond: t.readPerSecond + r.rates.readPerSecond,
    writePerSecond: t.writePerSecond + r.rates.writePerSecond,
  }), { processes: 0, cpuPercent: 0, residentBytes: 0, readPerSecond: 0, writePerSecond: 0 });
}

export function formatBytes(bytes: number): string {
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit++;
  }
  return unit === 0 ? `${Math.round(value)} B` : `${value.toFixed(1)} ${units[unit]}`;
}

export function formatRate(bytesPerSecond: number): string {
  return `${formatBytes(bytesPerSecond)}/s`;
}

function formatCpu(percent: number): string {
  return percent.toFixed(1);
}

export function formatDuration(ms: number): string {
  const total = Math.floor(ms / 1000);
  const h = Math.floor(total / 3600);
  const m = Math.floor((total % 3600) / 60);
  const s = total % 60;
  const mm = String(m).padStart(2, '0');
  const ss = String(s).padStart(2, '0');
  return h > 0 ? `${h}:${mm}:${ss}` : `${mm}:${ss}`;
}

function fit(text: string, width: number): string {
  return text.length <= width ? text : text.slice(0, Math.max(width - 1, 0)) + '~';
}

function columns(pid: string, cpu: string, rss: string, read: string, write: string, command: string): string {
  return `${pid.padStart(8)} ${cpu.padStart(7)} ${rss.padStart(10)} ${read.padStart(12)} ${write.padStart(12)}  ${command}`;
}

export interface FrameInput {
  title: string;
  elapsedMs: number;
  snapshot: Snapshot;
  rows: TableRow[];
  width: number;
  height: number;
  outputTail: string[];
}

/** The lines of one frame, each at most `width` characters, at most `height` lines. */
export function renderFrame(input: FrameInput): string[] {
  const { rows, width, height } = input;
  const totals = totalsOf(rows);
  const header = [
    `treemon-watch  ${input.title}  elapsed ${formatDuration(input.elapsedMs)}  sample #${input.snapshot.sequence}`,
    columns('PID', 'CPU%', 'RESIDENT', 'READ', 'WRITE', 'COMMAND'),
  ];
  const footer = [
    columns('', formatCpu(totals.cpuPercent), formatBytes(totals.residentBytes), formatRate(totals.readPerSecond),
      formatRate(totals.writePerSecond), `TOTAL of ${totals.processes} process${totals.processes === 1 ? '' : 'es'}`),
  ];
  const output = input.outputTail.length > 0 ? ['', 'output:', ...input.outputTail.map((l) => `  ${l}`)] : [];
  const room = Math.max(height - header.length - footer.length - output.length, 1);
  let body = rows.map((r) => columns(String(r.process.pid), formatCpu(r.rates.cpuPercent), formatBytes(r.process.residentBytes),
    formatRate(r.rates.readPerSecond), formatRate(r.rates.writePerSecond), `${'  '.repeat(r.depth)}${r.process.command}`));
  if (body.length > room) body = [...body.slice(0, room - 1), `  ... ${body.length - room + 1} more`];
  return [...header, ...body, ...footer, ...output].slice(0, Math.max(height, 1)).map((line) => fit(line, width));
}
