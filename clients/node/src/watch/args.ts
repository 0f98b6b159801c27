// The command line of treemon-watch.

export type SortKey = "cpu" | "memory" | "io" | "pid";

export interface WatchOptions {
  /** The command to start and watch, or empty when --pid names a running process. */
  command: string[];
  pid: number | undefined;
  treemon: string | undefined;
  intervalMs: number;
  record: string | undefined;
  chart: string | undefined;
  log: string | undefined;
  csv: string | undefined;
  top: number;
  sort: SortKey;
  /** The chart draws one band per process name instead of one line per process. */
  group: boolean;
  /** Descendants still running when the command ends are killed (and listed as killed). */
  killTree: boolean;
}

export const USAGE = `usage: treemon-watch [options] [--] COMMAND [ARGS...]
       treemon-watch [options] --pid PID

The command starts at the first argument that is not an option (or after --): what follows is
the command's, options included.

Shows a live table of the process tree (CPU % of one processor, resident memory, I/O rates),
refreshed at every sample, with the totals of the tree. Ends when the command ends (processes it
left running are listed, not waited for) or, with --pid, when the process ends; then prints a
summary of the run on standard error. Exits with the command's status (128 + N for signal N).

options:
  --record FILE     write every snapshot to FILE, one JSON object per line, and the summary last
  --csv FILE        write one row per process per sample to FILE (time, pid, ppid, name, CPU %,
                    resident bytes, read and write rates, command)
  --chart FILE      at the end, write an SVG chart of CPU %, resident memory and I/O over time
  --group           in the chart, one band per process name instead of one line per process
  --log FILE        write the command's output to FILE (the view shows its last lines)
  --kill-tree       when the command ends, end the processes it left running
  --interval MS     sample interval in milliseconds, 250..60000 (default 1000)
  --top N           processes drawn in the chart besides the total (default 5)
  --sort KEY        order of siblings in the table: cpu, memory, io or pid (default cpu)
  --treemon PATH    the treemon executable (default: the package's bin folder, then PATH)
  --version         show the version
  --help            show this text

Output files are opened before the command starts: one that cannot be written stops the run
(status 2) with nothing started.`;

export type ParsedArgs =
  | { ok: true; options: WatchOptions }
  | { ok: false; message: string; help?: boolean; version?: boolean };

const VALUE_OPTIONS = new Set([
  "--record",
  "--chart",
  "--csv",
  "--log",
  "--interval",
  "--top",
  "--sort",
  "--treemon",
  "--pid",
]);
const FLAG_OPTIONS = new Set(["--group", "--kill-tree"]);

function wholeNumber(text: string, name: string, min: number, max: number): number | string {
  if (!/^\d+$/.test(text)) return `${name} must be a whole number, got "${text}"`;
  const value = Number(text);
  if (value < min || value > max) return `${name} must be within ${min}..${max}, got ${value}`;
  return value;
}

export function parseArgs(argv: string[]): ParsedArgs {
  const values = new Map<string, string>();
  const flags = new Set<string>();
  let i = 0;
  for (; i < argv.length; i++) {
    const arg = argv[i]!;
    if (arg === "--") {
      i++;
      break;
    }
    if (!arg.startsWith("-") || arg === "-") break;
    if (arg === "--help" || arg === "-h") return { ok: false, message: USAGE, help: true };
    if (arg === "--version") return { ok: false, message: "", version: true };
    if (FLAG_OPTIONS.has(arg)) {
      flags.add(arg);
      continue;
    }
    const eq = arg.indexOf("=");
    const name = eq === -1 ? arg : arg.slice(0, eq);
    if (!VALUE_OPTIONS.has(name)) return { ok: false, message: `unknown option ${arg}` };
    const value = eq === -1 ? argv[++i] : arg.slice(eq + 1);
    if (value === undefined) return { ok: false, message: `${name} needs a value` };
    values.set(name, value);
  }
  const command = argv.slice(i);
  const numbers: Record<string, number> = {};
  for (const [name, min, max, fallback] of [
    ["--pid", 1, 0xffffffff, 0],
    ["--interval", 250, 60000, 1000],
    ["--top", 0, 20, 5],
  ] as const) {
    const text = values.get(name);
    if (text === undefined) {
      numbers[name] = fallback;
      continue;
    }
    const parsed = wholeNumber(text, name, min, max);
    if (typeof parsed === "string") return { ok: false, message: parsed };
    numbers[name] = parsed;
  }
  const pid = values.has("--pid") ? numbers["--pid"] : undefined;
  if ((pid === undefined) === (command.length === 0)) {
    return { ok: false, message: "give either a command or --pid PID" };
  }
  const sort = values.get("--sort") ?? "cpu";
  if (!["cpu", "memory", "io", "pid"].includes(sort))
    return { ok: false, message: `--sort must be cpu, memory, io or pid, got "${sort}"` };
  const outputs = ["--record", "--csv", "--chart", "--log"].flatMap(
    (name) => values.get(name) ?? [],
  );
  const shared = outputs.find((file, at) => outputs.indexOf(file) !== at);
  if (shared !== undefined) return { ok: false, message: `${shared} is named as two outputs` };
  return {
    ok: true,
    options: {
      command,
      pid,
      sort: sort as SortKey,
      treemon: values.get("--treemon"),
      record: values.get("--record"),
      chart: values.get("--chart"),
      log: values.get("--log"),
      csv: values.get("--csv"),
      intervalMs: numbers["--interval"]!,
      top: numbers["--top"]!,
      group: flags.has("--group"),
      killTree: flags.has("--kill-tree"),
    },
  };
}
