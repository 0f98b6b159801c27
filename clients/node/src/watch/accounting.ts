// The kernel's own totals of a finished command. On Linux a parent that has waited for a child
// holds that child's CPU time in its children accounting (cutime and cstime of /proc/self/stat),
// and the child's I/O in its own counters (/proc/self/io, whose growth beyond what the threads of
// this process did themselves is what its reaped children did). Each child brings along what its
// own reaped children used, so a reading before the command starts and one after it has been
// reaped (while the monitor, also a child, still runs) hold exactly what the whole tree used,
// every short-lived process included. Elsewhere there is no such reading.

import { readdirSync, readFileSync } from "node:fs";

/** What this process's waited-for children used, from its start: CPU time and I/O bytes. */
export interface ChildrenUsage {
  cpuTimeMs: number;
  readBytes: number;
  writtenBytes: number;
}

// USER_HZ, the unit of the times in /proc/PID/stat: 100 on every architecture Node runs on.
const TICKS_PER_SECOND = 100;

function ioCounts(file: string): { read: number; written: number } | undefined {
  try {
    const text = readFileSync(file, "utf8");
    const read = /^rchar: (\d+)$/m.exec(text);
    const written = /^wchar: (\d+)$/m.exec(text);
    return read === null || written === null
      ? undefined
      : { read: Number(read[1]), written: Number(written[1]) };
  } catch {
    return undefined;
  }
}

function ownThreadsIo(): { read: number; written: number } {
  const sum = { read: 0, written: 0 };
  for (const task of readdirSync("/proc/self/task")) {
    // A thread that ended meanwhile has no file left; its counts are then in the process's own.
    const counts = ioCounts(`/proc/self/task/${task}/io`);
    sum.read += counts?.read ?? 0;
    sum.written += counts?.written ?? 0;
  }
  return sum;
}

/** The reading now, or undefined where the kernel keeps none this process can read. */
export function childrenUsage(): ChildrenUsage | undefined {
  if (process.platform !== "linux") return undefined;
  try {
    const stat = readFileSync("/proc/self/stat", "utf8");
    // Fields from the state on (field 3); cutime and cstime are fields 16 and 17.
    const fields = stat.slice(stat.lastIndexOf(")") + 2).split(" ");
    const ticks = Number(fields[13]) + Number(fields[14]);
    const all = ioCounts("/proc/self/io");
    const own = ownThreadsIo();
    if (!Number.isFinite(ticks) || all === undefined) return undefined;
    return {
      cpuTimeMs: (ticks * 1000) / TICKS_PER_SECOND,
      readBytes: Math.max(all.read - own.read, 0),
      writtenBytes: Math.max(all.written - own.written, 0),
    };
  } catch {
    return undefined;
  }
}

/** What was used between two readings. */
export function usageBetween(
  before: ChildrenUsage | undefined,
  after: ChildrenUsage | undefined,
): ChildrenUsage | undefined {
  if (before === undefined || after === undefined) return undefined;
  return {
    cpuTimeMs: Math.max(after.cpuTimeMs - before.cpuTimeMs, 0),
    readBytes: Math.max(after.readBytes - before.readBytes, 0),
    writtenBytes: Math.max(after.writtenBytes - before.writtenBytes, 0),
  };
}
