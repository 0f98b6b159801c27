// Argument checks and command text. Every command the client writes is built here from values
// that passed these checks, so the monitor never sees a malformed or out-of-range command: a bad
// argument is a TypeError (wrong kind) or RangeError (out of range) before anything is sent.
// u64 values are numbers that are safe integers, or bigints up to 2^64 - 1; both are written as
// exact decimal text.

import type { ConfigureOptions, ExternalProcess, U64 } from "./types";

const U32_MAX = 0xffffffff;
const U64_MAX = (1n << 64n) - 1n;

export function checkU32(value: unknown, name: string): number {
  if (typeof value !== "number")
    throw new TypeError(`${name} must be a number, got ${describe(value)}`);
  if (!Number.isInteger(value)) throw new RangeError(`${name} must be an integer, got ${value}`);
  if (value < 0 || value > U32_MAX)
    throw new RangeError(`${name} must be within 0..${U32_MAX}, got ${value}`);
  return value;
}

/** Returns the exact decimal text of a u64 argument. */
export function checkU64(value: unknown, name: string): string {
  if (typeof value === "bigint") {
    if (value < 0n || value > U64_MAX)
      throw new RangeError(`${name} must be within 0..${U64_MAX}, got ${value}`);
    return value.toString();
  }
  if (typeof value !== "number")
    throw new TypeError(`${name} must be a number or bigint, got ${describe(value)}`);
  if (!Number.isInteger(value)) throw new RangeError(`${name} must be an integer, got ${value}`);
  if (value < 0) throw new RangeError(`${name} must not be negative, got ${value}`);
  if (!Number.isSafeInteger(value)) {
    throw new RangeError(
      `${name} is above Number.MAX_SAFE_INTEGER and may have been rounded; pass a bigint`,
    );
  }
  return String(value);
}

export function checkBoolean(value: unknown, name: string): boolean {
  if (typeof value !== "boolean")
    throw new TypeError(`${name} must be a boolean, got ${describe(value)}`);
  return value;
}

function checkObject(value: unknown, name: string): Record<string, unknown> {
  if (typeof value !== "object" || value === null || Array.isArray(value)) {
    throw new TypeError(`${name} must be an object, got ${describe(value)}`);
  }
  return value as Record<string, unknown>;
}

function describe(value: unknown): string {
  if (value === null) return "null";
  if (Array.isArray(value)) return "an array";
  return typeof value;
}

/** The JSON text of a list of external processes. */
export function externalProcessesText(list: unknown, name: string): string {
  if (!Array.isArray(list)) throw new TypeError(`${name} must be an array, got ${describe(list)}`);
  const items = list.map((item: unknown, i) => {
    const entry = checkObject(item, `${name}[${i}]`) as Partial<ExternalProcess>;
    const pid = checkU32(entry.pid, `${name}[${i}].pid`);
    const start = entry.startTimeMs;
    const startText =
      start === undefined || start === null ? "null" : checkU64(start, `${name}[${i}].startTimeMs`);
    return `{"pid":${pid},"startTimeMs":${startText}}`;
  });
  return `[${items.join(",")}]`;
}

const PREFIX = '{"version":2,"type":';

export function configureText(options: ConfigureOptions): string {
  const o = checkObject(options, "options") as Partial<ConfigureOptions>;
  const rootPid = checkU32(o.rootPid, "rootPid");
  const interval = checkU64(o.sampleIntervalMs, "sampleIntervalMs");
  const external = externalProcessesText(o.externalProcesses ?? [], "externalProcesses");
  return `${PREFIX}"configure","rootPid":${rootPid},"sampleIntervalMs":${interval},"externalProcesses":${external}}`;
}

export function setExternalProcessesText(processes: ExternalProcess[]): string {
  return `${PREFIX}"setExternalProcesses","processes":${externalProcessesText(processes, "processes")}}`;
}

export function setSampleIntervalText(sampleIntervalMs: U64): string {
  return `${PREFIX}"setSampleInterval","sampleIntervalMs":${checkU64(sampleIntervalMs, "sampleIntervalMs")}}`;
}

export function setStreamingText(enabled: boolean): string {
  return `${PREFIX}"setStreaming","enabled":${checkBoolean(enabled, "enabled")}}`;
}

export function sampleNowText(requestId: string): string {
  return `${PREFIX}"sampleNow","requestId":${JSON.stringify(requestId)}}`;
}

export function readHistoryText(requestId: string, windowMs: U64): string {
  return `${PREFIX}"readHistory","requestId":${JSON.stringify(requestId)},"windowMs":${checkU64(windowMs, "windowMs")}}`;
}

export const SHUTDOWN_TEXT = `${PREFIX}"shutdown"}`;
