// Turns one output line of the monitor into a typed event. A line is an event when it holds every
// member the protocol schema requires and no other, each of its JSON type: whole numbers are
// non-negative and 32-bit ones within range, cpuPercent is a non-negative number or null. Texts
// are passed on unchecked (a status or platform this client does not know is still a text). The
// Python client checks the same, with the same reasons (tests/transcripts/malformed.json).
// A line that fails is a broken conversation: the caller ends the client with "protocol-error".
// A failing line nested deeper than MAX_NESTING is reported as such, whatever else is wrong with
// it, since a recursive parser cannot read further and both clients must give one reason.

import type { MonitorEvent } from "./types";

export type ParsedLine = { ok: true; event: MonitorEvent } | { ok: false; reason: string };

/** Events nest five deep; a failing line deeper than this is reported as nested too deeply. */
export const MAX_NESTING = 64;

type Json = Record<string, unknown>;
type Check = (value: unknown) => boolean;
/** The members an object must have, and those it may have; no other is allowed. */
interface Shape {
  required: Record<string, Check>;
  count: number;
  optional: Record<string, Check>;
}

const shape = (required: Record<string, Check>, optional: Record<string, Check> = {}): Shape => ({
  required,
  count: Object.keys(required).length,
  optional,
});
const U32_MAX = 0xffffffff;

const u64: Check = (v) => typeof v === "number" && Number.isInteger(v) && v >= 0;
const u32: Check = (v) => u64(v) && (v as number) <= U32_MAX;
const text: Check = (v) => typeof v === "string";
const flag: Check = (v) => typeof v === "boolean";
const percent: Check = (v) => v === null || (typeof v === "number" && v >= 0);
const version: Check = (v) => v === 2;
const tag =
  (name: string): Check =>
  (v) =>
    v === name;
const listOf =
  (of: Shape): Check =>
  (v) =>
    Array.isArray(v) && v.every((item) => fits(item, of));

const ROW = shape({
  pid: u32,
  ppid: u32,
  startTimeMs: u64,
  runTimeMs: u64,
  name: text,
  command: text,
  status: text,
  cpuPercent: percent,
  cpuTimeMs: u64,
  residentBytes: u64,
  virtualBytes: u64,
  ioReadBytes: u64,
  ioWriteBytes: u64,
  ioSemantics: text,
});
const EXTERNAL = shape({ pid: u32, startTimeMs: (v) => v === null || u64(v) });
const SNAPSHOT_MEMBERS = {
  version,
  type: tag("snapshot"),
  sequence: u64,
  sampledAtUnixMs: u64,
  collectionDurationMicros: u64,
  scannedProcessCount: u64,
  retainedProcessCount: u64,
  inaccessibleProcessCount: u64,
  externalProcesses: listOf(EXTERNAL),
  processes: listOf(ROW),
};
/** A kept snapshot inside a history chunk, which never carries a request id. */
const SNAPSHOT = shape(SNAPSHOT_MEMBERS);
/** A snapshot event; its requestId, when there is one, is checked apart for its own reason. */
const SNAPSHOT_EVENT = shape(SNAPSHOT_MEMBERS, { requestId: () => true });
const CAPABILITIES = shape({
  cumulativeCpuTime: flag,
  currentCpuPercent: flag,
  residentMemory: flag,
  virtualMemory: flag,
  ioBytes: flag,
  processStartTime: flag,
  processTree: flag,
});
const HELLO = shape({
  version,
  type: tag("hello"),
  sidecarVersion: text,
  sidecarPid: u32,
  platform: text,
  arch: text,
  capabilities: (v) => fits(v, CAPABILITIES),
});
const CHUNK = shape({
  version,
  type: tag("historyChunk"),
  requestId: text,
  done: flag,
  snapshots: Array.isArray,
});
const ERROR = shape({ version, type: tag("error"), code: text, message: text, recoverable: flag });

function fits(value: unknown, of: Shape): boolean {
  if (typeof value !== "object" || value === null || Array.isArray(value)) return false;
  const o = value as Json;
  let required = 0;
  for (const key in o) {
    const isRequired = Object.hasOwn(of.required, key);
    const check = isRequired
      ? of.required[key]
      : Object.hasOwn(of.optional, key)
        ? of.optional[key]
        : undefined;
    if (check === undefined || !check(o[key])) return false;
    if (isRequired) required++;
  }
  return required === of.count;
}

function shapeProblem(e: Json): string | undefined {
  switch (e["type"]) {
    case "hello":
      if (!u32(e["sidecarPid"])) return "hello without sidecarPid";
      return fits(e, HELLO) ? undefined : "malformed hello";
    case "snapshot":
      if (!fits(e, SNAPSHOT_EVENT)) return "malformed snapshot";
      return e["requestId"] === undefined || typeof e["requestId"] === "string"
        ? undefined
        : "malformed requestId";
    case "historyChunk":
      if (!fits(e, CHUNK)) return "malformed historyChunk";
      return (e["snapshots"] as unknown[]).every((s) => fits(s, SNAPSHOT))
        ? undefined
        : "malformed historyChunk snapshots";
    case "error":
      return fits(e, ERROR) ? undefined : "malformed error event";
    default:
      return `unknown event type ${JSON.stringify(e["type"])}`;
  }
}

function problemOf(value: unknown): string | undefined {
  if (typeof value !== "object" || value === null || Array.isArray(value))
    return "not a JSON object";
  const e = value as Json;
  if (e["version"] !== 2) return "unsupported event version";
  return shapeProblem(e);
}

/** Whether some array or object of `value` lies more than `limit` levels deep; iterative, so
 * that no depth can overflow the stack. */
function nestedDeeperThan(value: unknown, limit: number): boolean {
  const stack: [unknown, number][] = [[value, 1]];
  while (stack.length > 0) {
    const [v, depth] = stack.pop()!;
    if (typeof v !== "object" || v === null) continue;
    if (depth > limit) return true;
    for (const child of Array.isArray(v) ? v : Object.values(v)) stack.push([child, depth + 1]);
  }
  return false;
}

function fail(reason: string, line: string): ParsedLine {
  const shown = line.length > 200 ? `${line.slice(0, 200)}...` : line;
  return { ok: false, reason: `${reason}: ${shown}` };
}

export function parseEventLine(line: string): ParsedLine {
  let value: unknown;
  try {
    value = JSON.parse(line);
  } catch {
    return fail("not JSON", line);
  }
  const problem = problemOf(value);
  if (problem === undefined) return { ok: true, event: value as MonitorEvent };
  return fail(nestedDeeperThan(value, MAX_NESTING) ? "nested too deeply" : problem, line);
}
