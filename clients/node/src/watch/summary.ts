// The end-of-run summary: how long the run took, how it ended, and what the tree used, gathered
// from every snapshot; printed as text and written as the record's last line. Other tools print
// the same text, so its form is fixed (docs/embedding.md).

import type { ProcessSample, Snapshot } from '../types';
import { formatBytes, processKey, type Rates } from './table';

export interface Ending {
  /** The command's exit status (128 + N for signal N), or null when a running process was watched. */
  exitStatus: number | null;
  signal: string | null;
  wallTimeMs: number;
  leftRunning: ProcessSample[];
  killed: boolean;
}

export interface Summary {
  type: 'summary';
  command: string[];
  pid: number;
  startedAtUnixMs: number;
  wallTimeMs: number;
  exitStatus: number | null;
  signal: string | null;
  processesSeen: number;
  cpuTimeMs: number;
  cpuAveragePercent: number;
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
  private peakProcess: Summary['peakProcess'] = null;
  private readBytes = 0;
  private writtenBytes = 0;

  constructor(private readonly command: string[], private readonly pid: number, private readonly startedAtUnixMs: number) {}

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
    const cpuTimeMs = [...this.cpuTimeMs.values()].reduce((sum, ms) => sum + ms, 0);
    return {
      type: 'summary',
      command: this.command,
      pid: this.pid,
      startedAtUnixMs: this.startedAtUnixMs,
      wallTimeMs: Math.round(ending.wallTimeMs),
      exitStatus: ending.exitStatus,
      signal: ending.signal,
      processesSeen: this.cpuTimeMs.size,
      cpuTimeMs,
      cpuAveragePercent: tenths((cpuTimeMs / Math.max(ending.wallTimeMs, 1)) * 100),
      cpuPeakPercent: tenths(this.cpuPeakPercent),
      peakResidentBytes: this.peakResidentBytes,
      peakProcess: this.peakProcess,
      readBytes: Math.round(this.readBytes),
      writtenBytes: Math.round(this.writtenBytes),
      leftRunning: [...ending.leftRunning].sort((a, b) => a.pid - b.pid)
        .map((p) => ({ pid: p.pid, name: p.name, command: p.command })),
      killed: ending.killed,
    };
  }
}

/** The summary as text, one line per element. */
export function formatSummary(summary: Summary): string[] {
  const line = (label: string, value: string) => `  ${label.padEnd(16)}${value}`;
  const status = summary.exitStatus === null ? 'unknown (watched by pid)'
    : summary.signal === null ? String(summary.exitStatus) : `${summary.exitStatus} (killed by ${summary.signal})`;
  const peak = summary.peakProcess === null ? '' :
    `, most held by ${summary.peakProcess.name} (pid ${summary.peakProcess.pid}): ${formatBytes(summary.peakProcess.residentBytes)}`;
  const left = summary.leftRunning.length === 0 ? 'none' :
    `${summary.leftRunning.length}${summary.killed ? ', killed' : ''}: ${summary.leftRunning.map((p) => `${p.name} (pid ${p.pid})`).join(', ')}`;
  return [
    `summary: ${summary.command.length > 0 ? summary.command.join(' ') : `pid ${summary.pid}`}`,
    line('wall time', `${(summary.wallTimeMs / 1000).toFixed(1)} s`),
    line('exit status', status),
    line('processes seen', String(summary.processesSeen)),
    line('CPU time', `${(summary.cpuTimeMs / 1000).toFixed(1)} s`),
    line('CPU average', `${summary.cpuAveragePercent.toFixed(1)} %`),
    line('CPU peak', `${summary.cpuPeakPercent.toFixed(1)} %`),
    line('peak resident', `${formatBytes(summary.peakResidentBytes)}${peak}`),
    line('read', formatBytes(summary.readBytes)),
    line('written', formatBytes(summary.writtenBytes)),
    line('left running', left),
  ];
}
