// The end-of-run summary: how long the run took, how it ended, and what the tree used, gathered
// from every snapshot; printed as text and written as the record's last line. Other tools print
// the same text, so its form is fixed (docs/embedding.md).

import type { ProcessSample, Snapshot } from "../types";
import type { ChildrenUsage } from "./accounting";
import { formatBytes, printable, processKey, type Rates } from "./table";

export interface Ending {
  /** The command's exit status (128 + N for signal N), or null when a running process was watched. */
  exitStatus: number | null;
  signal: string | null;
  wallTimeMs: number;
  leftRunning: ProcessSample[];
  killed: boolean;
  /** What the kernel counted for the command's reaped tree, where it could be read. */
  kernel: ChildrenUsage | undefined;
}

/** Where CPU time, read and written come from: exact, or at least what the samples saw. */
export type TotalsSource = "kernel" | "samples";

// The kernel's CPU time is counted in ticks of 10 ms, the samples' in milliseconds: samples that
// saw more than this beyond the kernel's total saw a process the command's tree did not reap.
const KERNEL_CPU_SLACK_MS = 50;

/**
 * The kernel's reading is the whole truth only when every process of the tree was reaped inside
 * it: nothing was left running, and no process that the samples saw escaped (an orphan, reaped by
 * someone else, takes its CPU time out of the reading; the samples then saw more than it holds).
 */
export function totalsSource(
  kernel: ChildrenUsage | undefined,
  sampledCpuTimeMs: number,
  leftRunning: number,
): TotalsSource {
  if (kernel === undefined || leftRunning > 0) return "samples";
  return sampledCpuTimeMs > kernel.cpuTimeMs + KERNEL_CPU_SLACK_MS ? "samples" : "kernel";
}

export interface Summary {
  type: "summary";
  command: string[];
  pid: number;
  startedAtUnixMs: number;
  wallTimeMs: number;
  exitStatus: number | null;
  signal: string | null;
  processesSeen: number;
  cpuTimeMs: number;
  cpuAveragePercent: number;
  totalsFrom: TotalsSource;
  cpuPeakPercent: number;
  peakResidentBytes: number;
  peakProcess: { pid: number; name: string; residentBytes: number } | null;
  readBytes: number;
  writtenBytes: number;
  leftRunning: { pid: number; name: string; command: string }[];
  killed: boolean;
}

/** One decimal, ties away from zero on the exact value. */
function tenths(value: number): number {
  return Number(value.toFixed(1));
}

export class SummaryRecorder {
  private readonly cpuTimeMs = new Map<string, number>();
  private cpuPeakPercent = 0;
  private peakResidentBytes = 0;
  private peakProcess: Summary["peakProcess"] = null;
  private readBytes = 0;
  private writtenBytes = 0;

  constructor(
    private readonly command: string[],
    private readonly pid: number,
    private readonly startedAtUnixMs: number,
  ) {}

  /** Takes in a snapshot with the figures the view derived for each process (keyed by processKey). */
  add(snapshot: Snapshot, rates: Map<string, Rates>): void {
    let cpuPercent = 0;
    let residentBytes = 0;
    for (const p of snapshot.processes) {
      const key = processKey(p);
      this.cpuTimeMs.set(key, Math.max(this.cpuTimeMs.get(key) ?? 0, p.cpuTimeMs));
      const r = rates.get(key);
      cpuPercent += r?.cpuPercent ?? 0;
      this.readBytes += r?.readBytes ?? 0;
      this.writtenBytes += r?.writeBytes ?? 0;
      residentBytes += p.residentBytes;
      if (this.peakProcess === null || p.residentBytes > this.peakProcess.residentBytes) {
        this.peakProcess = { pid: p.pid, name: p.name, residentBytes: p.residentBytes };
      }
    }
    this.cpuPeakPercent = Math.max(this.cpuPeakPercent, cpuPercent);
    this.peakResidentBytes = Math.max(this.peakResidentBytes, residentBytes);
  }

  finish(ending: Ending): Summary {
    const sampledCpuTimeMs = [...this.cpuTimeMs.values()].reduce((sum, ms) => sum + ms, 0);
    const totalsFrom = totalsSource(ending.kernel, sampledCpuTimeMs, ending.leftRunning.length);
    const exact = totalsFrom === "kernel" ? ending.kernel! : undefined;
    const cpuTimeMs = Math.round(exact?.cpuTimeMs ?? sampledCpuTimeMs);
    return {
      type: "summary",
      command: this.command,
      pid: this.pid,
      startedAtUnixMs: this.startedAtUnixMs,
      wallTimeMs: Math.round(ending.wallTimeMs),
      exitStatus: ending.exitStatus,
      signal: ending.signal,
      processesSeen: this.cpuTimeMs.size,
      cpuTimeMs,
      cpuAveragePercent: tenths((cpuTimeMs / Math.max(ending.wallTimeMs, 1)) * 100),
      totalsFrom,
      cpuPeakPercent: tenths(this.cpuPeakPercent),
      peakResidentBytes: this.peakResidentBytes,
      peakProcess: this.peakProcess,
      readBytes: Math.round(exact?.readBytes ?? this.readBytes),
      writtenBytes: Math.round(exact?.writtenBytes ?? this.writtenBytes),
      leftRunning: [...ending.leftRunning]
        .sort((a, b) => a.pid - b.pid)
        .map((p) => ({ pid: p.pid, name: p.name, command: p.command })),
      killed: ending.killed,
    };
  }
}

/** The summary as text, one line per element. */
export function formatSummary(summary: Summary): string[] {
  const line = (label: string, value: string) => `  ${label.padEnd(16)}${value}`;
  const status =
    summary.exitStatus === null
      ? "unknown (watched by pid)"
      : summary.signal === null
        ? String(summary.exitStatus)
        : `${summary.exitStatus} (killed by ${summary.signal})`;
  const source =
    summary.totalsFrom === "kernel" ? " (exact, from the kernel)" : " (at least, from samples)";
  const peak =
    summary.peakProcess === null
      ? ""
      : `, most held by ${printable(summary.peakProcess.name)} (pid ${summary.peakProcess.pid}): ${formatBytes(summary.peakProcess.residentBytes)}`;
  const left =
    summary.leftRunning.length === 0
      ? "none"
      : `${summary.leftRunning.length}${summary.killed ? ", killed" : ""}: ${summary.leftRunning.map((p) => `${printable(p.name)} (pid ${p.pid})`).join(", ")}`;
  return [
    `summary: ${summary.command.length > 0 ? printable(summary.command.join(" ")) : `pid ${summary.pid}`}`,
    line("wall time", `${(summary.wallTimeMs / 1000).toFixed(1)} s`),
    line("exit status", status),
    line("processes seen", String(summary.processesSeen)),
    line("CPU time", `${(summary.cpuTimeMs / 1000).toFixed(1)} s${source}`),
    line("CPU average", `${summary.cpuAveragePercent.toFixed(1)} %`),
    line("CPU peak", `${summary.cpuPeakPercent.toFixed(1)} %`),
    line("peak resident", `${formatBytes(summary.peakResidentBytes)}${peak}`),
    line("read", `${formatBytes(summary.readBytes)}${source}`),
    line("written", `${formatBytes(summary.writtenBytes)}${source}`),
    line("left running", left),
  ];
}
