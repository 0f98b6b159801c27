// The events treemon writes, as typed records. Member names and order follow the wire exactly;
// every u64 figure arrives as a JavaScript number, exact up to Number.MAX_SAFE_INTEGER (2^53 - 1).
// Larger values only occur where the monitor saturates a conversion at 2^64 - 1 and are then the
// nearest double.

/** The seven capability flags of the hello; every current monitor sets all of them. */
export interface Capabilities {
  cumulativeCpuTime: boolean;
  currentCpuPercent: boolean;
  residentMemory: boolean;
  virtualMemory: boolean;
  ioBytes: boolean;
  processStartTime: boolean;
  processTree: boolean;
}

/** The first line every monitor writes. */
export interface Hello {
  version: 2;
  type: "hello";
  sidecarVersion: string;
  sidecarPid: number;
  platform: "linux" | "windows" | string;
  arch: string;
  capabilities: Capabilities;
}

/** A process outside the root's tree, named by pid and optionally guarded by its start time. */
export interface ExternalProcessEntry {
  pid: number;
  /** Milliseconds since the Unix epoch; null when the client did not give one. */
  startTimeMs: number | null;
}

/** One process row of a snapshot. */
export interface ProcessSample {
  pid: number;
  /** Parent pid, 0 when none is known. */
  ppid: number;
  /** Start time, milliseconds since the Unix epoch, whole seconds (a multiple of 1000). */
  startTimeMs: number;
  runTimeMs: number;
  name: string;
  /** The arguments joined by single spaces, or the name when they cannot be read. */
  command: string;
  /** "Run", "Sleep", "UninterruptibleDiskSleep", "Zombie", ... (see docs/protocol.md). */
  status: string;
  /** Percent of one logical processor (above 100 on several); null when not finite. */
  cpuPercent: number | null;
  cpuTimeMs: number;
  residentBytes: number;
  /** Private committed memory (Linux: statm data; Windows: PrivateUsage). */
  virtualBytes: number;
  ioReadBytes: number;
  ioWriteBytes: number;
  ioSemantics: "all-io" | "storage";
}

/** One sample of the tree. */
export interface Snapshot {
  version: 2;
  type: "snapshot";
  sequence: number;
  sampledAtUnixMs: number;
  collectionDurationMicros: number;
  scannedProcessCount: number;
  retainedProcessCount: number;
  inaccessibleProcessCount: number;
  /** Present only on the answer to a sampleNow. */
  requestId?: string;
  externalProcesses: { pid: number; startTimeMs: number }[];
  /** Ascending by pid. */
  processes: ProcessSample[];
}

export interface HistoryChunk {
  version: 2;
  type: "historyChunk";
  requestId: string;
  done: boolean;
  snapshots: Snapshot[];
}

/** Error codes the monitor writes. */
export type MonitorErrorCode = "invalid-command" | "protocol-mismatch" | "not-configured";

export interface ErrorEventRecord {
  version: 2;
  type: "error";
  code: MonitorErrorCode;
  message: string;
  recoverable: boolean;
}

export type MonitorEvent = Hello | Snapshot | HistoryChunk | ErrorEventRecord;

/** A u64 argument: a non-negative safe integer, or a bigint up to 2^64 - 1 for larger values. */
export type U64 = number | bigint;

/** An external process as a command names it. */
export interface ExternalProcess {
  pid: number;
  /** The start time the client knows, ms since the Unix epoch; omitted or null: match by pid. */
  startTimeMs?: U64 | null;
}

export interface ConfigureOptions {
  rootPid: number;
  /** 0: no periodic sampling; otherwise clamped by the monitor to 250..60000. */
  sampleIntervalMs: U64;
  externalProcesses?: ExternalProcess[];
}
