// Cuts a byte stream into lines. The monitor ends every event with one line feed and writes
// UTF-8; a multi-byte character split across reads is kept whole by the decoder, and a line split
// across reads is joined only once its line feed has arrived, so no line is scanned twice.

import { StringDecoder } from 'node:string_decoder';

export class LineSplitter {
  private readonly decoder = new StringDecoder('utf8');
  private pieces: string[] = [];

  /** Returns the lines completed by this chunk, without their line feeds. */
  push(chunk: Buffer): string[] {
    const text = this.decoder.write(chunk);
    const lines: string[] = [];
    let start = 0;
    for (let end = text.indexOf('\n'); end !== -1; end = text.indexOf('\n', start)) {
      this.pieces.push(text.slice(start, end));
      lines.push(this.pieces.join(''));
      this.pieces = [];
      start = end + 1;
    }
    if (start < text.length) this.pieces.push(text.slice(start));
    return lines;
  }

  /** Whatever followed the last line feed when the stream ended. */
  rest(): string {
    const rest = this.pieces.join('') + this.decoder.end();
    this.pieces = [];
    return rest;
  }
}
