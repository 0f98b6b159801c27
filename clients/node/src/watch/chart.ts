// The recorded chart: CPU %, resident memory and I/O rate of the tree over time since the command
// started, the total of the tree and the processes that used the most (highest mean CPU %, peak
// memory, most bytes moved), as one SVG file. A process is one line while its pid and start time
// stay the same (with grouping, all processes of one name are one band); where it is absent from a
// sample its line has a gap, and a process seen in one sample only is a dot large enough to see.

import type { Snapshot } from "../types";
import { printable, processKey, shortenMiddle, type Rates } from "./table";

interface Figures {
  cpu: number;
  rss: number;
  /** Bytes read and written per second. */
  io: number;
}

interface Sample {
  atMs: number;
  total: Figures;
  series: Map<string, Figures>;
}

/** Who a line stands for: one process, or with grouping every process of one name. */
export interface Member {
  pid: number;
  name: string;
  command: string;
}

// The total is a wide grey band under the process lines, so that a process that makes up the
// whole total still shows on top of it.
export const TOTAL_COLOR = "#a0a0a0";
export const PALETTE = [
  "#1f77b4",
  "#ff7f0e",
  "#2ca02c",
  "#d62728",
  "#9467bd",
  "#8c564b",
  "#e377c2",
  "#17becf",
  "#bcbd22",
  "#7f7f7f",
];

const WIDTH = 1100;
const HEIGHT = 980;
const LEFT = 80;
const RIGHT = 760;
export const CPU_PANEL = { top: 60, bottom: 300 };
export const MEMORY_PANEL = { top: 370, bottom: 610 };
export const IO_PANEL = { top: 680, bottom: 920 };
export const PLOT_X = { left: LEFT, right: RIGHT };
const LEGEND_CHARACTERS = 40;

interface Series {
  label: string;
  color: string;
  width: number;
  points: ({ t: number; v: number } | undefined)[];
}

export interface ChartOptions {
  /** Time 0 of the time axis, and what it is ("the command started"). */
  startedAtUnixMs: number;
  origin: string;
  /** One band per process name. */
  group: boolean;
}

export class ChartRecorder {
  private readonly samples: Sample[] = [];
  /** Every process as last seen: a process that replaced its program shows under its new name. */
  private readonly processes = new Map<string, Member>();

  constructor(private readonly options: ChartOptions) {}

  /** Adds a snapshot with the figures the view derived for each process (keyed by processKey). */
  add(snapshot: Snapshot, rates: Map<string, Rates>): void {
    // The last look after the end finds nothing when the tree is gone: not a fall of the total to 0.
    if (snapshot.processes.length === 0) return;
    const series = new Map<string, Figures>();
    const total: Figures = { cpu: 0, rss: 0, io: 0 };
    for (const p of snapshot.processes) {
      const processId = processKey(p);
      const r = rates.get(processId);
      const figures = {
        cpu: r?.cpuPercent ?? 0,
        rss: p.residentBytes,
        io: (r?.readPerSecond ?? 0) + (r?.writePerSecond ?? 0),
      };
      const key = this.options.group ? `name:${p.name}` : processId;
      const sum = series.get(key) ?? { cpu: 0, rss: 0, io: 0 };
      series.set(key, {
        cpu: sum.cpu + figures.cpu,
        rss: sum.rss + figures.rss,
        io: sum.io + figures.io,
      });
      total.cpu += figures.cpu;
      total.rss += figures.rss;
      total.io += figures.io;
      // The arguments of a process that is exiting (or a zombie) can no longer be read and its
      // command reads as its bare name: it keeps the arguments it was seen with.
      if (p.command !== p.name || !this.processes.has(processId)) {
        this.processes.set(processId, {
          pid: p.pid,
          name: printable(p.name),
          command: printable(p.command),
        });
      }
    }
    this.samples.push({ atMs: snapshot.sampledAtUnixMs, total, series });
  }

  get sampleCount(): number {
    return this.samples.length;
  }

  /** The keys of the `count` series with the largest score, largest first; zero scores left out. */
  private top(count: number, score: (values: Figures[]) => number): string[] {
    const values = new Map<string, Figures[]>();
    for (const s of this.samples) {
      for (const [key, f] of s.series) values.set(key, [...(values.get(key) ?? []), f]);
    }
    return [...values.entries()]
      .map(([key, v]) => ({ key, score: score(v) }))
      .filter((e) => e.score > 0)
      .sort((a, b) => b.score - a.score || a.key.localeCompare(b.key))
      .slice(0, count)
      .map((e) => e.key);
  }

  /** Legend texts of the drawn series: processes that share a name are told apart by an argument. */
  private labels(keys: string[]): Map<string, string> {
    const labels = new Map<string, string>();
    if (this.options.group) {
      for (const key of keys) {
        const name = printable(key.slice("name:".length));
        const count = Math.max(
          [...this.processes.values()].filter((m) => m.name === name).length,
          1,
        );
        labels.set(
          key,
          shortenMiddle(`${name}, ${count} process${count === 1 ? "" : "es"}`, LEGEND_CHARACTERS),
        );
      }
      return labels;
    }
    const single = (key: string) => this.processes.get(key)!;
    for (const key of keys) {
      const me = single(key);
      const namesakes = keys
        .filter((other) => other !== key && single(other).name === me.name)
        .map(single);
      const argument = namesakes.length === 0 ? undefined : distinctiveArgument(me, namesakes);
      labels.set(
        key,
        shortenMiddle(
          `${me.name}${argument === undefined ? "" : ` ${argument}`} (${me.pid})`,
          LEGEND_CHARACTERS,
        ),
      );
    }
    return labels;
  }

  svg(title: string, topCount: number): string {
    const mean = (pick: (f: Figures) => number) => (v: Figures[]) =>
      v.reduce((sum, f) => sum + pick(f), 0) / Math.max(this.samples.length, 1);
    const cpuTop = this.top(
      topCount,
      mean((f) => f.cpu),
    );
    const memoryTop = this.top(topCount, (v) => Math.max(...v.map((f) => f.rss)));
    const ioTop = this.top(
      topCount,
      mean((f) => f.io),
    );
    const drawn = [...new Set([...cpuTop, ...memoryTop, ...ioTop])];
    const colors = new Map(drawn.map((key, i) => [key, PALETTE[i % PALETTE.length]!]));
    const labels = this.labels(drawn);
    const start = this.options.startedAtUnixMs;
    const at = (s: Sample) => Math.max(s.atMs - start, 0);
    const series = (keys: string[], pick: (f: Figures) => number): Series[] => [
      {
        label: "total of the tree",
        color: TOTAL_COLOR,
        width: 6,
        points: this.samples.map((s) => ({ t: at(s), v: pick(s.total) })),
      },
      ...keys.map((key) => ({
        label: labels.get(key)!,
        color: colors.get(key)!,
        width: 2,
        points: this.samples.map((s) => {
          const f = s.series.get(key);
          return f === undefined ? undefined : { t: at(s), v: pick(f) };
        }),
      })),
    ];
    const durationMs = Math.max(...this.samples.map(at), 1000);
    const cpu = series(cpuTop, (f) => f.cpu);
    const memory = series(memoryTop, (f) => f.rss);
    const io = series(ioTop, (f) => f.io);
    const peak = (s: Series[]) =>
      Math.max(...s.flatMap((one) => one.points.map((p) => p?.v ?? 0)), 1);
    const memoryUnit = byteUnit(peak(memory));
    const ioUnit = byteUnit(peak(io));
    return [
      `<svg xmlns="http://www.w3.org/2000/svg" width="${WIDTH}" height="${HEIGHT}" viewBox="0 0 ${WIDTH} ${HEIGHT}" font-family="sans-serif" font-size="12">`,
      `<rect width="${WIDTH}" height="${HEIGHT}" fill="#ffffff"/>`,
      `<text x="${WIDTH / 2}" y="24" text-anchor="middle" font-size="16">${escapeXml(shortenMiddle(printable(title), 120))}</text>`,
      panel("CPU % (of one processor)", CPU_PANEL, cpu, durationMs, 1),
      panel(
        `Resident memory (${memoryUnit.name})`,
        MEMORY_PANEL,
        memory,
        durationMs,
        memoryUnit.size,
      ),
      panel(`I/O, read + written (${ioUnit.name}/s)`, IO_PANEL, io, durationMs, ioUnit.size),
      `<text x="${(LEFT + RIGHT) / 2}" y="${HEIGHT - 12}" text-anchor="middle">${escapeXml(`time since ${this.options.origin} (s)`)}</text>`,
      "</svg>",
      "",
    ].join("\n");
  }
}

/**
 * The first argument (not an option) of `me` that some namesake does not have, without its
 * folder: the source file of one of several compiler processes, the script of one of several
 * shells. Undefined when every argument is shared.
 */
export function distinctiveArgument(me: Member, namesakes: Member[]): string | undefined {
  const words = (m: Member) =>
    m.command
      .split(" ")
      .slice(1)
      .filter((w) => w !== "" && !w.startsWith("-"));
  const theirs = namesakes.map((m) => new Set(words(m)));
  const argument = words(me).find((w) => theirs.some((set) => !set.has(w)));
  if (argument === undefined) return undefined;
  const base = argument.slice(argument.lastIndexOf("/") + 1);
  return base === "" ? argument : base;
}

function byteUnit(max: number): { name: string; size: number } {
  if (max >= 1024 ** 3) return { name: "GiB", size: 1024 ** 3 };
  if (max >= 1024 ** 2) return { name: "MiB", size: 1024 ** 2 };
  if (max >= 1024) return { name: "KiB", size: 1024 };
  return { name: "B", size: 1 };
}

/** Round tick steps (1, 2 or 5 times a power of ten) giving at most about six ticks up to `max`. */
export function niceTicks(max: number): number[] {
  if (!(max > 0)) return [0, 1];
  const rough = max / 5;
  const power = 10 ** Math.floor(Math.log10(rough));
  const step = [1, 2, 5, 10].map((m) => m * power).find((s) => s >= rough)!;
  const ticks: number[] = [];
  for (let v = 0; v < max + step; v += step) ticks.push(Number(v.toPrecision(12)));
  return ticks;
}

function escapeXml(text: string): string {
  return text.replace(
    /[<>&"']/g,
    (c) => ({ "<": "&lt;", ">": "&gt;", "&": "&amp;", '"': "&quot;", "'": "&apos;" })[c]!,
  );
}

function panel(
  title: string,
  box: { top: number; bottom: number },
  series: Series[],
  durationMs: number,
  unit: number,
): string {
  const maxValue = Math.max(...series.flatMap((s) => s.points.map((p) => (p?.v ?? 0) / unit)), 0);
  const yTicks = niceTicks(maxValue);
  const yMax = yTicks.at(-1)!;
  const xTicks = niceTicks(durationMs / 1000);
  const xMax = xTicks.at(-1)!;
  const x = (ms: number) => LEFT + (ms / 1000 / xMax) * (RIGHT - LEFT);
  const y = (v: number) => box.bottom - (v / unit / yMax) * (box.bottom - box.top);
  const parts: string[] = [
    `<g>`,
    `<text x="${LEFT}" y="${box.top - 12}" font-size="14">${escapeXml(title)}</text>`,
  ];
  for (const tick of yTicks) {
    const ty = box.bottom - (tick / yMax) * (box.bottom - box.top);
    parts.push(
      `<line x1="${LEFT}" y1="${ty.toFixed(1)}" x2="${RIGHT}" y2="${ty.toFixed(1)}" stroke="#e0e0e0"/>`,
    );
    parts.push(
      `<text x="${LEFT - 6}" y="${(ty + 4).toFixed(1)}" text-anchor="end">${formatTick(tick)}</text>`,
    );
  }
  for (const tick of xTicks) {
    const tx = LEFT + (tick / xMax) * (RIGHT - LEFT);
    parts.push(
      `<text x="${tx.toFixed(1)}" y="${box.bottom + 16}" text-anchor="middle">${formatTick(tick)}</text>`,
    );
  }
  parts.push(
    `<rect x="${LEFT}" y="${box.top}" width="${RIGHT - LEFT}" height="${box.bottom - box.top}" fill="none" stroke="#808080"/>`,
  );
  for (const s of series) parts.push(...drawSeries(s, x, y));
  series.forEach((s, i) => {
    const ly = box.top + 10 + i * 20;
    parts.push(
      `<line x1="${RIGHT + 20}" y1="${ly}" x2="${RIGHT + 50}" y2="${ly}" stroke="${s.color}" stroke-width="${s.width}"/>`,
    );
    parts.push(`<text x="${RIGHT + 56}" y="${ly + 4}">${escapeXml(s.label)}</text>`);
  });
  parts.push("</g>");
  return parts.join("\n");
}

function drawSeries(s: Series, x: (ms: number) => number, y: (v: number) => number): string[] {
  const runs: { t: number; v: number }[][] = [[]];
  for (const p of s.points) {
    if (p === undefined) runs.push([]);
    else runs.at(-1)!.push(p);
  }
  return runs
    .filter((run) => run.length > 0)
    .map((run) => {
      if (run.length === 1) {
        return `<circle cx="${x(run[0]!.t).toFixed(1)}" cy="${y(run[0]!.v).toFixed(1)}" r="${Math.max(s.width, 4)}" fill="${s.color}"/>`;
      }
      const d = run
        .map((p, i) => `${i === 0 ? "M" : "L"}${x(p.t).toFixed(1)},${y(p.v).toFixed(1)}`)
        .join(" ");
      return `<path d="${d}" fill="none" stroke="${s.color}" stroke-width="${s.width}" stroke-linejoin="round"/>`;
    });
}

function formatTick(value: number): string {
  return Number.isInteger(value) ? String(value) : String(Number(value.toPrecision(3)));
}
