// Turns one output line of the monitor into a typed event, checking the members the client relies
// on. A line that fails is a broken conversation: the caller ends the client with "protocol-error".

import type { MonitorEvent } from './types';

export type ParsedLine = { ok: true; event: MonitorEvent } | { ok: false; reason: string };

type Json = Record<string, unknown>;

function fail(reason: string, line: string): ParsedLine {
  const shown = line.length > 200 ? `${line.slice(0, 200)}...` : line;
  return { ok: false, reason: `${reason}: ${shown}` };
}

function isSnapshot(value: unknown): boolean {
  const s = value as Json;
  return typeof s === 'object' && s !== null && s['type'] === 'snapshot' &&
    typeof s['sequence'] === 'number' && Array.isArray(s['processes']) && Array.isArray(s['externalProcesses']);
}

function shapeProblem(e: Json): string | undefined {
  switch (e['type']) {
    case 'hello':
      return typeof e['sidecarPid'] === 'number' ? undefined : 'hello without sidecarPid';
    case 'snapshot':
      if (!isSnapshot(e)) return 'malformed snapshot';
      return e['requestId'] === undefined || typeof e['requestId'] === 'string' ? undefined : 'malformed requestId';
    case 'historyChunk':
      if (typeof e['requestId'] !== 'string' || typeof e['done'] !== 'boolean') return 'malformed historyChunk';
      if (!Array.isArray(e['snapshots']) || !e['snapshots'].every(isSnapshot)) return 'malformed historyChunk snapshots';
      return undefined;
    case 'error':
      return typeof e['code'] === 'string' && typeof e['message'] === 'string' && typeof e['recoverable'] === 'boolean'
        ? undefined : 'malformed error event';
    default:
      return `unknown event type ${JSON.stringify(e['type'])}`;
  }
}

export function parseEventLine(line: string): ParsedLine {
  let value: unknown;
  try {
    value = JSON.parse(line);
  } catch {
    return fail('not JSON', line);
  }
  if (typeof value !== 'object' || value === null || Array.isArray(value)) return fail('not a JSON object', line);
  const e = value as Json;
  if (e['version'] !== 2) return fail('unsupported event version', line);
  const problem = shapeProblem(e);
  return problem === undefined ? { ok: true, event: value as MonitorEvent } : fail(problem, line);
}
