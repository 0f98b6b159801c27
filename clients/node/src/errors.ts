// The one error type the client rejects with for anything the monitor or its process did wrong.
// Arguments that fail validation are rejected with the standard TypeError or RangeError instead,
// before anything is sent.

import type { MonitorErrorCode } from "./types";

/**
 * Codes the monitor writes in its error events, plus three of the client's own:
 * "monitor-exited" (the monitor ended, or was shut down, before answering),
 * "start-failed" (it could not be started or sent no valid hello),
 * "protocol-error" (it wrote a line that is not a valid event or one longer than 128 MiB, or
 * closed its output and kept running; the client then ends it).
 */
export type TreemonErrorCode =
  MonitorErrorCode | "monitor-exited" | "start-failed" | "protocol-error";

export class TreemonError extends Error {
  readonly code: TreemonErrorCode;
  /** As the monitor reports it; false for the client's own codes, after which it is unusable. */
  readonly recoverable: boolean;

  constructor(code: TreemonErrorCode, message: string, recoverable = false) {
    super(message);
    this.name = "TreemonError";
    this.code = code;
    this.recoverable = recoverable;
  }
}
