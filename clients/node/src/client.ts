// TreemonClient: one running monitor, driven over its pipes.
//
// The rules a change must keep are the clients' contract, written once for both in
// docs/embedding.md ("The clients' contract"); the Python client keeps them too. `pending` is
// the queue of rule 3.

import { spawn, type ChildProcess } from "node:child_process";
import { EventEmitter } from "node:events";

import { TreemonError } from "./errors";
import { parseEventLine } from "./events";
import { LineSplitter, MAX_LINE_BYTES } from "./lines";
import { findMonitor } from "./locate";
import { SnapshotStream } from "./stream";
import type {
  ConfigureOptions,
  ErrorEventRecord,
  ExternalProcess,
  HistoryChunk,
  Hello,
  MonitorEvent,
  Snapshot,
  U64,
} from "./types";
import {
  configureText,
  readHistoryText,
  sampleNowText,
  setExternalProcessesText,
  setSampleIntervalText,
  setStreamingText,
  SHUTDOWN_TEXT,
} from "./validate";

export interface StartOptions {
  /** The monitor's executable; by default $TREEMON_BINARY, else the one this package carries for
   * the machine (bin/<platform>-<arch>/), else treemon on PATH. */
  binaryPath?: string;
  /** How long to wait for the hello before giving up (default 10000 ms). */
  helloTimeoutMs?: number;
  cwd?: string;
  env?: NodeJS.ProcessEnv;
}

export interface ExitInfo {
  code: number | null;
  signal: NodeJS.Signals | null;
}

interface Settle<T> {
  resolve: (value: T) => void;
  reject: (error: TreemonError) => void;
}

type Pending =
  | ({ kind: "silent"; barrierId: string | undefined; failed: boolean } & Settle<void>)
  | ({ kind: "sample"; requestId: string } & Settle<Snapshot>)
  | ({ kind: "history"; requestId: string; snapshots: Snapshot[] } & Settle<Snapshot[]>);

const DEFAULT_HELLO_TIMEOUT_MS = 10000;
const DEFAULT_SHUTDOWN_TIMEOUT_MS = 5000;
const STDERR_KEPT_BYTES = 4096;
/** How long a monitor that closed its output may take to exit before it is taken for broken. */
const END_OF_OUTPUT_GRACE_MS = 1000;
const REQUEST_PREFIX = "treemon-node:";

export interface TreemonClientEvents {
  /** A periodic snapshot (written while streaming is on). */
  snapshot: [Snapshot];
  /** The monitor's process ended. */
  exit: [ExitInfo];
  /** An error event when no command was waiting for one (not expected with this client). */
  unattributedError: [TreemonError];
}

export class TreemonClient extends EventEmitter<TreemonClientEvents> {
  /** The monitor's hello; set before start() resolves. */
  hello!: Hello;
  /** Resolves when the monitor's process has ended and its output has been read. */
  readonly exited: Promise<ExitInfo>;

  private readonly child: ChildProcess;
  private readonly splitter = new LineSplitter();
  private readonly streams = new Set<SnapshotStream>();
  private pending: Pending[] = [];
  private configured = false;
  private nextRequest = 1;
  /** Set once no further command may be written; the reason every later call rejects with. */
  private closedReason: TreemonError | undefined;
  private shutdownRequested = false;
  private exitInfo: ExitInfo | undefined;
  private stderrTail = "";
  private helloSettle: Settle<void> | undefined;
  private killedByClient = false;
  private resolveExited: (info: ExitInfo) => void = () => {};
  private endOfOutputTimer: NodeJS.Timeout | undefined;

  /** Starts the monitor and resolves once its hello has arrived. */
  static async start(options: StartOptions = {}): Promise<TreemonClient> {
    const found = await findMonitor(options.binaryPath);
    if ("problem" in found) throw new TreemonError("start-failed", found.problem);
    const binary = found.path;
    const child = spawn(binary, [], {
      stdio: ["pipe", "pipe", "pipe"],
      windowsHide: true,
      // In a process group of its own, a Ctrl-C at the terminal reaches the application, which
      // decides what to do, and not the monitor; the monitor still ends when its input closes.
      detached: process.platform !== "win32",
      ...(options.cwd === undefined ? {} : { cwd: options.cwd }),
      ...(options.env === undefined ? {} : { env: options.env }),
    });
    const client = new TreemonClient(child);
    await client.waitForHello(binary, options.helloTimeoutMs ?? DEFAULT_HELLO_TIMEOUT_MS);
    return client;
  }

  private constructor(child: ChildProcess) {
    super();
    this.child = child;
    this.exited = new Promise<ExitInfo>((resolve) => {
      this.resolveExited = resolve;
    });
    // A natural exit is settled on 'close', once all its output has been read; after the client
    // killed the monitor its output is of no use, and a grandchild holding the pipe must not
    // delay the end.
    child.once("close", (code, signal) => this.finish(code, signal));
    child.once("exit", (code, signal) => {
      if (this.killedByClient) this.finish(code, signal);
    });
    child.stdout!.on("data", (chunk: Buffer) => this.onOutput(chunk));
    child.stdout!.once("end", () => this.onEndOfOutput());
    child.stderr!.on("data", (chunk: Buffer) => {
      this.stderrTail = (this.stderrTail + chunk.toString("utf8")).slice(-STDERR_KEPT_BYTES);
    });
    // A monitor that has gone makes writes fail with EPIPE; its 'close' settles everything.
    child.stdin!.on("error", () => {});
    child.on("error", (error) => {
      this.closeWith(new TreemonError("start-failed", `cannot run treemon: ${error.message}`));
      this.helloSettle?.reject(this.closedReason!);
      this.helloSettle = undefined;
    });
  }

  /** The monitor's process id, as its hello reports it. */
  get pid(): number {
    return this.hello.sidecarPid;
  }

  private waitForHello(binary: string, timeoutMs: number): Promise<void> {
    return new Promise<void>((resolve, reject) => {
      const timer = setTimeout(() => {
        this.closeWith(new TreemonError("start-failed", `no hello within ${timeoutMs} ms`));
        this.helloSettle?.reject(this.closedReason!);
        this.helloSettle = undefined;
      }, timeoutMs);
      const done = () => clearTimeout(timer);
      this.helloSettle = {
        resolve: () => {
          done();
          resolve();
        },
        reject: (error) => {
          done();
          reject(new TreemonError("start-failed", `${binary}: ${error.message}`));
        },
      };
    });
  }

  // ---- commands -------------------------------------------------------------------------------

  /** Sets the root pid, the sample interval and the external processes; resolves once applied. */
  configure(options: ConfigureOptions): Promise<void> {
    return this.silent(() => configureText(options), {
      needsConfiguration: false,
      configures: true,
    });
  }

  setExternalProcesses(processes: ExternalProcess[]): Promise<void> {
    return this.silent(() => setExternalProcessesText(processes), {
      needsConfiguration: true,
      configures: false,
    });
  }

  /** 0 stops periodic sampling; other values are clamped by the monitor to 250..60000 ms. */
  setSampleInterval(sampleIntervalMs: U64): Promise<void> {
    return this.silent(() => setSampleIntervalText(sampleIntervalMs), {
      needsConfiguration: true,
      configures: false,
    });
  }

  /** Switches the writing of periodic snapshots (see snapshots() and the 'snapshot' event). */
  setStreaming(enabled: boolean): Promise<void> {
    return this.silent(() => setStreamingText(enabled), {
      needsConfiguration: false,
      configures: false,
    });
  }

  /** Takes a snapshot now. */
  sampleNow(): Promise<Snapshot> {
    return this.answered<Snapshot>(
      (requestId) => sampleNowText(requestId),
      (requestId, settle) => ({ kind: "sample", requestId, ...settle }),
    );
  }

  /** The kept snapshots of the last windowMs milliseconds (at most one hour), oldest first. */
  readHistory(windowMs: U64): Promise<Snapshot[]> {
    return this.answered<Snapshot[]>(
      (requestId) => readHistoryText(requestId, windowMs),
      (requestId, settle) => ({ kind: "history", requestId, snapshots: [], ...settle }),
    );
  }

  /**
   * Periodic snapshots from now on, as an async iterator. It ends after shutdown() and throws the
   * TreemonError of an unexpected exit. Snapshots are buffered until read.
   */
  snapshots(): AsyncIterableIterator<Snapshot> {
    const stream = new SnapshotStream(() => this.streams.delete(stream));
    if (this.exitInfo !== undefined) stream.end(this.abnormalEnd());
    else this.streams.add(stream);
    return stream;
  }

  /**
   * Asks the monitor to stop after the commands already sent, which are still answered, and
   * resolves with its exit status. A monitor that has not exited after timeoutMs is killed.
   */
  async shutdown(options: { timeoutMs?: number } = {}): Promise<ExitInfo> {
    if (this.exitInfo !== undefined) return this.exitInfo;
    if (this.closedReason === undefined) {
      this.write(`${SHUTDOWN_TEXT}\n`);
      this.shutdownRequested = true;
      this.closedReason = new TreemonError("monitor-exited", "treemon has been shut down");
      this.child.stdin!.end();
    }
    const timeoutMs = options.timeoutMs ?? DEFAULT_SHUTDOWN_TIMEOUT_MS;
    const timer = setTimeout(() => this.killNow(), timeoutMs);
    try {
      return await this.exited;
    } finally {
      clearTimeout(timer);
    }
  }

  /** Kills the monitor at once; pending calls reject with "monitor-exited". */
  kill(): void {
    this.killNow();
  }

  // ---- sending --------------------------------------------------------------------------------

  private async silent(
    build: () => string,
    how: { needsConfiguration: boolean; configures: boolean },
  ): Promise<void> {
    const text = build();
    this.throwIfClosed();
    if (how.configures) this.configured = true;
    if (!this.configured && !how.needsConfiguration) {
      this.write(`${text}\n`);
      return;
    }
    return new Promise<void>((resolve, reject) => {
      const barrierId = this.configured ? this.newRequestId() : undefined;
      this.pending.push({ kind: "silent", barrierId, failed: false, resolve, reject });
      this.write(
        barrierId === undefined ? `${text}\n` : `${text}\n${readHistoryText(barrierId, 0)}\n`,
      );
    });
  }

  private async answered<T>(
    build: (requestId: string) => string,
    entry: (requestId: string, settle: Settle<T>) => Pending,
  ): Promise<T> {
    const requestId = this.newRequestId();
    const text = build(requestId);
    this.throwIfClosed();
    return new Promise<T>((resolve, reject) => {
      this.pending.push(entry(requestId, { resolve, reject }));
      this.write(`${text}\n`);
    });
  }

  private newRequestId(): string {
    return `${REQUEST_PREFIX}${this.nextRequest++}`;
  }

  private throwIfClosed(): void {
    if (this.closedReason !== undefined) throw this.closedReason;
  }

  private write(text: string): void {
    this.child.stdin!.write(text);
  }

  // ---- receiving ------------------------------------------------------------------------------

  private onOutput(chunk: Buffer): void {
    if (this.outputClosed()) return;
    try {
      for (const line of this.splitter.push(chunk)) this.onLine(line);
      if (this.splitter.tooLong) {
        this.closeWith(
          new TreemonError(
            "protocol-error",
            `treemon wrote a line longer than ${MAX_LINE_BYTES} bytes`,
          ),
        );
      }
    } catch (error) {
      // Whatever fails here, nothing can be told about the conversation any more; a pending call
      // must not be left waiting.
      this.closeWith(
        new TreemonError("protocol-error", `cannot read treemon's output: ${String(error)}`),
      );
    }
  }

  /** The monitor writes nothing more, so nothing pending can be answered: one that closes its
   * output and stays is broken, and is ended once a short wait has not seen it exit. */
  private onEndOfOutput(): void {
    if (this.exitInfo !== undefined || this.closedReason !== undefined) return;
    this.endOfOutputTimer = setTimeout(() => {
      if (this.exitInfo === undefined) {
        this.closeWith(
          new TreemonError("protocol-error", "treemon closed its output and kept running"),
        );
      }
    }, END_OF_OUTPUT_GRACE_MS);
  }

  private outputClosed(): boolean {
    return (
      this.exitInfo !== undefined || (this.closedReason !== undefined && !this.shutdownRequested)
    );
  }

  private onLine(line: string): void {
    if (this.outputClosed()) return;
    const parsed = parseEventLine(line);
    if (!parsed.ok) {
      this.closeWith(
        new TreemonError("protocol-error", `treemon wrote an invalid line (${parsed.reason})`),
      );
      return;
    }
    if (this.helloSettle !== undefined) {
      this.onFirstEvent(parsed.event);
      return;
    }
    this.dispatch(parsed.event);
  }

  private onFirstEvent(event: MonitorEvent): void {
    const settle = this.helloSettle!;
    this.helloSettle = undefined;
    if (event.type !== "hello") {
      this.closeWith(
        new TreemonError("protocol-error", `the first event is ${event.type}, not hello`),
      );
      settle.reject(this.closedReason!);
      return;
    }
    this.hello = event;
    settle.resolve();
  }

  private dispatch(event: MonitorEvent): void {
    switch (event.type) {
      case "hello":
        this.closeWith(new TreemonError("protocol-error", "treemon wrote a second hello"));
        return;
      case "error":
        this.onErrorEvent(event);
        return;
      case "snapshot":
        if (event.requestId === undefined) this.onPeriodicSnapshot(event);
        else this.onAnswer(event.requestId, event);
        return;
      case "historyChunk":
        this.onAnswer(event.requestId, event);
        return;
    }
  }

  private onPeriodicSnapshot(snapshot: Snapshot): void {
    for (const stream of this.streams) stream.push(snapshot);
    this.emit("snapshot", snapshot);
  }

  private onErrorEvent(event: ErrorEventRecord): void {
    const error = new TreemonError(event.code, event.message, event.recoverable);
    const head = this.pending[0];
    if (head === undefined) {
      this.emit("unattributedError", error);
      return;
    }
    if (head.kind === "silent" && head.barrierId !== undefined && !head.failed) {
      // The command failed; its barrier's answer is still to come and closes the entry.
      head.failed = true;
      head.reject(error);
      return;
    }
    this.pending.shift();
    // A silent entry that already failed here receives its barrier's own error: nothing to settle.
    if (!(head.kind === "silent" && head.failed)) head.reject(error);
  }

  private onAnswer(requestId: string, event: Snapshot | HistoryChunk): void {
    const index = this.pending.findIndex((p) => requestIdOf(p) === requestId);
    if (index === -1) {
      this.emit(
        "unattributedError",
        new TreemonError(
          "protocol-error",
          `an answer to unknown request ${JSON.stringify(requestId)}`,
        ),
      );
      return;
    }
    // Answers come in order: every command sent before this one has been handled.
    for (const earlier of this.pending.splice(0, index)) {
      if (earlier.kind === "silent") {
        if (!earlier.failed) earlier.resolve();
      } else {
        earlier.reject(
          new TreemonError("protocol-error", "treemon answered a later request first"),
        );
      }
    }
    const entry = this.pending[0]!;
    if (entry.kind === "sample") {
      this.pending.shift();
      if (event.type === "snapshot") entry.resolve(event);
      else entry.reject(new TreemonError("protocol-error", "a history chunk answered a sampleNow"));
      return;
    }
    if (event.type !== "historyChunk") {
      this.pending.shift();
      entry.reject(new TreemonError("protocol-error", "a snapshot answered a readHistory"));
      return;
    }
    if (entry.kind === "history") {
      for (const snapshot of event.snapshots) entry.snapshots.push(snapshot);
      if (event.done) {
        this.pending.shift();
        entry.resolve(entry.snapshots);
      }
      return;
    }
    if (event.done) {
      this.pending.shift();
      if (!entry.failed) entry.resolve();
    }
  }

  // ---- the end --------------------------------------------------------------------------------

  /** Stops the conversation for good: later calls reject with `reason`, the monitor is killed. */
  private closeWith(reason: TreemonError): void {
    if (this.closedReason === undefined || this.shutdownRequested) {
      this.closedReason = reason;
      this.shutdownRequested = false;
    }
    if (this.exitInfo === undefined) this.killNow();
  }

  private killNow(): void {
    this.killedByClient = true;
    this.child.kill("SIGKILL");
  }

  private abnormalEnd(): TreemonError | undefined {
    if (this.shutdownRequested) return undefined;
    return this.closedReason;
  }

  private finish(code: number | null, signal: NodeJS.Signals | null): void {
    if (this.exitInfo !== undefined) return;
    this.exitInfo = { code, signal };
    clearTimeout(this.endOfOutputTimer);
    this.child.stdout!.destroy();
    this.child.stderr!.destroy();
    const rest = this.splitter.rest();
    if (rest.length > 0 && this.closedReason === undefined) {
      this.closedReason = new TreemonError(
        "protocol-error",
        "treemon ended in the middle of a line",
      );
    }
    if (this.closedReason === undefined) {
      const how = signal !== null ? `was killed by ${signal}` : `exited with status ${code}`;
      const stderr = this.stderrTail.trim();
      this.closedReason = new TreemonError(
        "monitor-exited",
        `treemon ${how}${stderr ? `: ${stderr}` : ""}`,
      );
    }
    const reason = this.closedReason;
    const pending = this.pending;
    this.pending = [];
    for (const entry of pending) {
      if (!(entry.kind === "silent" && entry.failed)) entry.reject(reason);
    }
    this.helloSettle?.reject(reason);
    this.helloSettle = undefined;
    const end = this.abnormalEnd();
    for (const stream of this.streams) stream.end(end);
    this.streams.clear();
    this.emit("exit", this.exitInfo);
    this.resolveExited(this.exitInfo);
  }
}

function requestIdOf(entry: Pending): string | undefined {
  return entry.kind === "silent" ? entry.barrierId : entry.requestId;
}
