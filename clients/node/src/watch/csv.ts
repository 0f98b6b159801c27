// The samples as a table for spreadsheets and data frames: one row per process per sample, with
// the figures the live view shows. Fields follow RFC 4180: quoted when they hold a comma, a quote
// or a line break.

import type { Snapshot } from "../types";
import { processKey, type Rates } from "./table";

export const CSV_HEADER =
  "time_s,pid,ppid,name,cpu_percent,resident_bytes,read_bytes_per_s,write_bytes_per_s,command";

function field(text: string): string {
  return /[",\r\n]/.test(text) ? `"${text.replace(/"/g, '""')}"` : text;
}

/** The rows of one snapshot; `startedAtUnixMs` is time 0 of the `time_s` column. */
export function csvRows(
  snapshot: Snapshot,
  rates: Map<string, Rates>,
  startedAtUnixMs: number,
): string[] {
  const time = (Math.max(snapshot.sampledAtUnixMs - startedAtUnixMs, 0) / 1000).toFixed(3);
  return snapshot.processes.map((p) => {
    const r = rates.get(processKey(p));
    return [
      time,
      String(p.pid),
      String(p.ppid),
      field(p.name),
      (r?.cpuPercent ?? 0).toFixed(1),
      String(p.residentBytes),
      String(Math.round(r?.readPerSecond ?? 0)),
      String(Math.round(r?.writePerSecond ?? 0)),
      field(p.command),
    ].join(",");
  });
}
