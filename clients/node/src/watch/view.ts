// Draws frames on the terminal. On a terminal the frames replace each other on the alternate
// screen, and the last one is printed on the normal screen when the view closes, so that the
// final state stays visible; elsewhere (a pipe, a file) every frame is printed in turn.

const ENTER = "\x1b[?1049h\x1b[?25l";
const LEAVE = "\x1b[?25h\x1b[?1049l";

export class LiveView {
  private entered = false;
  private last: string[] = [];
  private broken = false;

  constructor(private readonly out: NodeJS.WriteStream) {
    // A reader that went away (`treemon-watch ... | head`) ends the view, not the watched command.
    out.on("error", () => {
      this.broken = true;
    });
  }

  get isTerminal(): boolean {
    return this.out.isTTY === true;
  }

  get width(): number {
    return this.isTerminal ? this.out.columns : 160;
  }

  get height(): number {
    return this.isTerminal ? this.out.rows : 10000;
  }

  show(lines: string[]): void {
    this.last = lines;
    if (this.broken) return;
    if (!this.isTerminal) {
      this.out.write(`${lines.join("\n")}\n\n`);
      return;
    }
    if (!this.entered) {
      this.entered = true;
      this.out.write(ENTER);
      process.once("exit", () => this.restoreTerminal());
    }
    this.out.write(`\x1b[H${lines.join("\x1b[K\n")}\x1b[K\x1b[J`);
  }

  close(): void {
    if (!this.entered || this.broken) return;
    this.restoreTerminal();
    this.out.write(`${this.last.join("\n")}\n`);
  }

  private restoreTerminal(): void {
    if (!this.entered) return;
    this.entered = false;
    this.out.write(LEAVE);
  }
}
