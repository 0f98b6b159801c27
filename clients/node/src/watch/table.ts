// The live table: the tree of one snapshot, indented by parent, siblings sorted, with per-process
// I/O rates taken from the previous snapshot and the totals of the tree. Pure functions of their
// inputs, so that a frame can be checked without a terminal.

import type { ProcessSample, Snapshot } from "../types";
import type { SortKey } from "./args";

/** What the view shows of a process besides the monitor's own figures. */
export interface Rates {
  /** CPU % of one processor over the time since the previous snapshot. */
  cpuPercent: number;
  readPerSecond: number;
  writePerSecond: number;
  /** Bytes read and written since the previous snapshot (since the start when first seen). */
  readBytes: number;
  writeBytes: number;
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
  /** Children whose counts were already handed to an ancestor's credit. */
  private readonly folded = new Set<string>();
  /** Per ancestor still present: the folded counts of its children not yet seen in its counters. */
  private credit = new Map<string, { read: number; write: number }>();

  /**
   * @param childrenFoldIntoParent the platform adds the I/O counts of a child that its parent has
   *   waited for to the parent's own (Linux); those counts are then taken off the parent's
   *   differences, so that they are not counted twice.
   */
  constructor(private readonly childrenFoldIntoParent = false) {}

  update(snapshot: Snapshot): Map<string, Rates> {
    const rates = new Map<string, Rates>();
    const next = new Map<string, Counters>();
    for (const p of snapshot.processes) {
      next.set(processKey(p), {
        at: snapshot.sampledAtUnixMs,
        pid: p.pid,
        ppid: p.ppid,
        cpu: p.cpuTimeMs,
        read: p.ioReadBytes,
        write: p.ioWriteBytes,
        ended: p.status === "Zombie" || p.status === "Dead",
      });
    }
    if (this.childrenFoldIntoParent) this.foldEndedChildren(next);
    for (const p of snapshot.processes) {
      const key = processKey(p);
      const now = next.get(key)!;
      const base = this.previous.get(key) ?? {
        at: snapshot.sampledAtUnixMs - Math.max(p.runTimeMs, 1000),
        pid: p.pid,
        ppid: p.ppid,
        cpu: 0,
        read: 0,
        write: 0,
        ended: false,
      };
      const ms = Math.max(now.at - base.at, 1);
      const credit = this.credit.get(key);
      const take = (delta: number, kind: "read" | "write") => {
        const own = Math.max(delta, 0);
        if (credit === undefined) return own;
        const taken = Math.min(own, credit[kind]);
        credit[kind] -= taken;
        return own - taken;
      };
      const readBytes = take(now.read - base.read, "read");
      const writeBytes = take(now.write - base.write, "write");
      rates.set(key, {
        cpuPercent: (Math.max(now.cpu - base.cpu, 0) / ms) * 100,
        readPerSecond: (readBytes / ms) * 1000,
        writePerSecond: (writeBytes / ms) * 1000,
        readBytes,
        writeBytes,
      });
    }
    for (const key of this.credit.keys()) if (!next.has(key)) this.credit.delete(key);
    this.previous = next;
    return rates;
  }

  /**
   * A child's counts move into its parent's when the parent reaps it, which the parent's counters
   * may show while the child is still listed as a zombie, or only once it has gone. So from the
   * first snapshot in which a child is a zombie or gone, its last counts become a credit of the
   * nearest ancestor still present (a grandchild reaped by a child that is gone too ends up with
   * the grandparent), and the ancestor's next differences are reduced by it until it is used up.
   * Each child is credited once.
   */
  private foldEndedChildren(present: Map<string, Counters>): void {
    const known = new Map<number, [string, Counters]>();
    for (const [key, c] of this.previous) known.set(c.pid, [key, c]);
    for (const [key, c] of present) known.set(c.pid, [key, c]);
    const ended: [string, Counters][] = [];
    for (const [key, c] of this.previous) if (!present.has(key)) ended.push([key, c]);
    for (const [key, c] of present) if (c.ended) ended.push([key, c]);
    for (const [key, child] of ended) {
      if (this.folded.has(key)) continue;
      const ancestor = nearestPresentAncestor(child, known, present);
      if (ancestor === undefined) continue;
      this.folded.add(key);
      const credit = this.credit.get(ancestor) ?? { read: 0, write: 0 };
      credit.read += child.read;
      credit.write += child.write;
      this.credit.set(ancestor, credit);
    }
  }
}

function nearestPresentAncestor(
  process: Counters,
  known: Map<number, [string, Counters]>,
  present: Map<string, Counters>,
): string | undefined {
  const seen = new Set<number>([process.pid]);
  for (
    let parent = known.get(process.ppid);
    parent !== undefined;
    parent = known.get(parent[1].ppid)
  ) {
    if (present.has(parent[0]) && !parent[1].ended) return parent[0];
    if (seen.has(parent[1].pid)) return undefined;
    seen.add(parent[1].pid);
  }
  return undefined;
}

interface Counters {
  at: number;
  pid: number;
  ppid: number;
  cpu: number;
  read: number;
  write: number;
  /** A zombie: its counts are final and about to move into its parent's. */
  ended: boolean;
}

const NO_RATES: Rates = {
  cpuPercent: 0,
  readPerSecond: 0,
  writePerSecond: 0,
  readBytes: 0,
  writeBytes: 0,
};

function compareBy(
  sort: SortKey,
  rates: Map<string, Rates>,
): (a: ProcessSample, b: ProcessSample) => number {
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
  return rows.reduce<Totals>(
    (t, r) => ({
      processes: t.processes + 1,
      cpuPercent: t.cpuPercent + r.rates.cpuPercent,
      residentBytes: t.residentBytes + r.process.residentBytes,
      readPerSecond: t.readPerSecond + r.rates.readPerSecond,
      writePerSecond: t.writePerSecond + r.rates.writePerSecond,
    }),
    { processes: 0, cpuPercent: 0, residentBytes: 0, readPerSecond: 0, writePerSecond: 0 },
  );
}

export function formatBytes(bytes: number): string {
  const units = ["B", "KiB", "MiB", "GiB", "TiB"];
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit++;
  }
  return unit === 0 ? `${Math.round(value)} B` : `${value.toFixed(1)} ${units[unit]}`;
}

function formatCpu(percent: number): string {
  return percent.toFixed(1);
}

export function formatDuration(ms: number): string {
  const total = Math.floor(ms / 1000);
  const h = Math.floor(total / 3600);
  const m = Math.floor((total % 3600) / 60);
  const s = total % 60;
  const mm = String(m).padStart(2, "0");
  const ss = String(s).padStart(2, "0");
  return h > 0 ? `${h}:${mm}:${ss}` : `${mm}:${ss}`;
}

/**
 * `text` with every control character (C0, DEL, C1: line breaks and the escape sequences a
 * process may put in its name or arguments) written as an escape, so that what another process
 * chose cannot move the cursor, colour or retitle the terminal, or break a line of the view.
 */
export function printable(text: string): string {
  return text.replace(/[\x00-\x1f\x7f-\x9f]/g, (c) => {
    const named: Record<string, string> = { "\n": "\\n", "\r": "\\r", "\t": "\\t" };
    return named[c] ?? `\\x${c.charCodeAt(0).toString(16).padStart(2, "0")}`;
  });
}

/** `text` in at most `width` characters, cut at the end. */
function fit(text: string, width: number): string {
  return text.length <= width ? text : text.slice(0, Math.max(width - 1, 0)) + "~";
}

/**
 * `text` in at most `width` characters, with its middle replaced by "..." when too long, so that
 * both the program and the end of a command (the file a compiler works on) stay readable.
 */
export function shortenMiddle(text: string, width: number): string {
  if (text.length <= width) return text;
  if (width < 8) return fit(text, width);
  const head = Math.ceil((width - 3) / 2);
  return `${text.slice(0, head)}...${text.slice(text.length - (width - 3 - head))}`;
}

/** A command as the table shows it: the program without its folder, then the arguments. */
export function displayCommand(command: string): string {
  const space = command.indexOf(" ");
  const program = space === -1 ? command : command.slice(0, space);
  const slash = Math.max(program.lastIndexOf("/"), program.lastIndexOf("\\"));
  return slash === -1 || slash === program.length - 1 ? command : command.slice(slash + 1);
}

// Narrow enough to leave 31 columns of an 80-column terminal to the command.
const NUMBER_COLUMNS = 49;

function columns(
  pid: string,
  cpu: string,
  rss: string,
  read: string,
  write: string,
  command: string,
): string {
  return `${pid.padStart(7)} ${cpu.padStart(6)} ${rss.padStart(10)} ${read.padStart(10)} ${write.padStart(10)}  ${command}`;
}

export interface FrameInput {
  title: string;
  elapsedMs: number;
  snapshot: Snapshot;
  rows: TableRow[];
  width: number;
  height: number;
  outputTail: string[];
  /** How the run ended, on the last frame ("exited with status 7"). */
  ending?: string;
}

/** The lines of one frame, each at most `width` characters, at most `height` lines. */
export function renderFrame(input: FrameInput): string[] {
  const { rows, width, height } = input;
  const totals = totalsOf(rows);
  const facts = `  elapsed ${formatDuration(input.elapsedMs)}  sample #${input.snapshot.sequence}`;
  const titleRoom = Math.max(width - "treemon-watch  ".length - facts.length, 10);
  const header = [
    `treemon-watch  ${shortenMiddle(printable(input.title), titleRoom)}${facts}`,
    columns("PID", "CPU%", "RESIDENT", "READ/s", "WRITE/s", "COMMAND"),
  ];
  const footer = [
    columns(
      "",
      formatCpu(totals.cpuPercent),
      formatBytes(totals.residentBytes),
      formatBytes(totals.readPerSecond),
      formatBytes(totals.writePerSecond),
      `TOTAL of ${totals.processes} process${totals.processes === 1 ? "" : "es"}`,
    ),
    ...(input.ending === undefined ? [] : [input.ending]),
  ];
  const output =
    input.outputTail.length > 0 ? ["", "output:", ...input.outputTail.map((l) => `  ${l}`)] : [];
  const room = Math.max(height - header.length - footer.length - output.length, 1);
  const commandRoom = Math.max(width - NUMBER_COLUMNS, 12);
  let body = rows.map((r) => {
    const indent = "  ".repeat(Math.min(r.depth, 8));
    return columns(
      String(r.process.pid),
      formatCpu(r.rates.cpuPercent),
      formatBytes(r.process.residentBytes),
      formatBytes(r.rates.readPerSecond),
      formatBytes(r.rates.writePerSecond),
      `${indent}${shortenMiddle(displayCommand(printable(r.process.command)), Math.max(commandRoom - indent.length, 10))}`,
    );
  });
  if (body.length > room)
    body = [...body.slice(0, room - 1), `  ... ${body.length - room + 1} more`];
  return [...header, ...body, ...footer, ...output]
    .slice(0, Math.max(height, 1))
    .map((line) => fit(line, width));
}
