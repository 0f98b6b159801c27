// What treemon-watch writes besides the screen: the output files (record, CSV, log), checked
// before anything starts and written synchronously so that a failure is a value, never an
// unhandled stream error; and the tail of the command's output that the view shows.

import { closeSync, existsSync, openSync, unlinkSync, writeSync } from "node:fs";

import { LineSplitter } from "../lines";

const OUTPUT_TAIL_LINES = 5;

/** A file system error without Node's code and path: "no such file or directory". */
export function reason(error: unknown): string {
  const message = (error as Error).message;
  return /^[A-Z]+: (.*?), \w+ '.*'$/.exec(message)?.[1] ?? message;
}

/**
 * Checks that every output path can be written, before anything starts: the message of the first
 * that cannot, or undefined. A file the check had to create is removed again.
 */
export function unwritable(files: (string | undefined)[]): string | undefined {
  for (const file of files) {
    if (file === undefined) continue;
    const existed = existsSync(file);
    try {
      closeSync(openSync(file, "a"));
      if (!existed) unlinkSync(file);
    } catch (error) {
      return `cannot write ${file}: ${reason(error)}`;
    }
  }
  return undefined;
}

/** A file written during the run; a write that fails is reported once and the file given up. */
export class OutputFile {
  private failed = false;

  private constructor(
    readonly file: string,
    private fd: number | undefined,
    private readonly report: (problem: string) => void,
  ) {}

  static open(file: string | undefined, report: (problem: string) => void): OutputFile | undefined {
    return file === undefined ? undefined : new OutputFile(file, openSync(file, "w"), report);
  }

  write(text: string | Buffer): void {
    if (this.fd === undefined || this.failed) return;
    try {
      const data = typeof text === "string" ? Buffer.from(text) : text;
      for (let done = 0; done < data.length;) done += writeSync(this.fd, data, done);
    } catch (error) {
      this.failed = true;
      this.report(`cannot write ${this.file}: ${reason(error)}`);
    }
  }

  close(): void {
    if (this.fd !== undefined) closeSync(this.fd);
    this.fd = undefined;
  }
}

/** The command's output: every byte to the log file if asked, its last lines for the view. */
export class OutputTail {
  readonly lines: string[] = [];
  private readonly closed: Promise<void>[] = [];

  constructor(private readonly log: OutputFile | undefined) {}

  /** Each stream has its own splitter, so that a partial line of one is not joined to the other's. */
  attach(stream: NodeJS.ReadableStream | null): void {
    if (stream === null) return;
    const splitter = new LineSplitter();
    this.closed.push(new Promise((resolve) => stream.once("close", resolve)));
    stream.on("data", (chunk: Buffer) => {
      this.log?.write(chunk);
      this.add(splitter.push(chunk));
    });
    stream.once("end", () => this.add([splitter.rest()].filter((rest) => rest !== "")));
  }

  /** Resolves when every stream has closed, or after `ms` when a process left running holds one open. */
  drained(ms: number): Promise<void> {
    const timeout = new Promise<void>((resolve) => setTimeout(resolve, ms).unref());
    return Promise.race([Promise.all(this.closed).then(() => {}), timeout]);
  }

  private add(lines: string[]): void {
    for (const line of lines) this.lines.push(line.replace(/[\x00-\x1f\x7f-\x9f]/g, " "));
    this.lines.splice(0, Math.max(this.lines.length - OUTPUT_TAIL_LINES, 0));
  }
}
