// Cuts a byte stream into lines. The monitor ends every event with one line feed and writes
// UTF-8; a line feed byte never occurs inside a multi-byte character, so lines are cut on bytes
// and each is decoded whole once its line feed has arrived, and no byte is scanned twice.
// A line may hold at most MAX_LINE_BYTES bytes before its line feed: a monitor that writes more
// without one is broken, and keeping it all would only end in running out of memory.

/** The longest line taken, line feed not counted: 128 MiB (see docs/embedding.md). */
export const MAX_LINE_BYTES = 128 * 1024 * 1024;

export class LineSplitter {
  /** Set once a line has passed the limit; from then on nothing more is taken. */
  tooLong = false;
  private pieces: Buffer[] = [];
  private pendingBytes = 0;

  constructor(private readonly maxLineBytes = MAX_LINE_BYTES) {}

  /** The lines completed by this chunk, without their line feeds. */
  push(chunk: Buffer): string[] {
    const lines: string[] = [];
    let start = 0;
    for (let end = chunk.indexOf(10); end !== -1 && !this.tooLong; end = chunk.indexOf(10, start)) {
      if (!this.take(chunk.subarray(start, end))) return lines;
      lines.push(Buffer.concat(this.pieces, this.pendingBytes).toString("utf8"));
      this.pieces = [];
      this.pendingBytes = 0;
      start = end + 1;
    }
    if (start < chunk.length) this.take(chunk.subarray(start));
    return lines;
  }

  /** Whatever followed the last line feed when the stream ended. */
  rest(): string {
    const rest = Buffer.concat(this.pieces, this.pendingBytes).toString("utf8");
    this.pieces = [];
    this.pendingBytes = 0;
    return rest;
  }

  private take(piece: Buffer): boolean {
    if (this.tooLong) return false;
    if (this.pendingBytes + piece.length > this.maxLineBytes) {
      this.tooLong = true;
      this.pieces = [];
      this.pendingBytes = 0;
      return false;
    }
    this.pendingBytes += piece.length;
    this.pieces.push(piece);
    return true;
  }
}
