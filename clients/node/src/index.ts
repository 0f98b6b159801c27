// The treemon package: a typed client for the treemon process-tree monitor.

export { TreemonClient } from "./client";
export type { ExitInfo, StartOptions, TreemonClientEvents } from "./client";
export { TreemonError } from "./errors";
export type { TreemonErrorCode } from "./errors";
export { findMonitor, locateMonitor, type Location } from "./locate";
export type {
  Capabilities,
  ConfigureOptions,
  ErrorEventRecord,
  ExternalProcess,
  ExternalProcessEntry,
  Hello,
  HistoryChunk,
  MonitorErrorCode,
  MonitorEvent,
  ProcessSample,
  Snapshot,
  U64,
} from "./types";
