// The recorded chart: CPU % and resident memory of the tree over time, the total of the tree and
// the processes that used the most (highest mean CPU %, highest peak memory), as one SVG file.
// A process is one line while its pid and start time stay the same; where it is absent from a
// sample its line has a gap.

import type { Snapshot } from '../types';
import { processKey, type Rates } from './table';

interface Figures {
  cpu: number;
  rss: number;
}

interface Sample {
  atMs: number;
  total: Figures;
  processes: Map<string, Figures>;
}

// The total is a wide grey band under the process lines, so that a process that makes up the
// whole total still shows on top of it.
export const TOTAL_COLOR = '#a0a0a0';
export const PALETTE = ['#1f77b4', '#ff7f0e', '#2ca02c', '#d62728', '#9467bd', '#8c564b', '#e377c2', '#17becf', '#bcbd22', '#7f7f7f'];

const WIDTH = 1000;
const HEIGHT = 720;
const LEFT = 80;
const RIGHT = 760;
export const CPU_PANEL = { top: 60, bottom: 320 };
export const MEMORY_PANEL = { top: 410, bottom: 670 };
export const PLOT_X = { left: LEFT, right: RIGHT };

interface Series {
  label: string;
  color: string;
  width: number;
  points: ({ t: number; v: number } | undefined)[];
}

export class ChartRecorder {
  private readonly samples: Sample[] = [];
  private readonly labels = new Map<string, string>();

  /** Adds a snapshot with the CPU % the view derived for each process (keyed by processKey). */
  add(snapshot: Snapshot, rates: Map<string, Rates>): void {
    const processes = new Map<string, Figures>();
    const total: Figures = { cpu: 0, rss: 0 };
    for (const p of snapshot.processes) {
      const key = processKey(p);
      const figures = { cpu: rates.get(key)?.cpuPercent ?? 0, rss: p.residentBytes };
      processes.set(key, figures);
      total.cpu += figures.cpu;
      total.rss += figures.rss;
      if (!this.labels.has(key)) this.labels.set(key, `${p.name} (${p.pid})`);
    }
    this.samples.push({ atMs: snapshot.sampledAtUnixMs, total, processes });
  }

  get sampleCount(): number {
    return this.samples.length;
  }

  /** The keys of the `count` processes with the largest score, largest first; zero scores left out. */
  private top(count: number, score: (values: Figures[]) => number): string[] {
    const values = new Map<string, Figures[]>();
    for (const s of this.samples) {
      for (const [key, f] of s.processes) values.set(key, [...(values.get(key) ?? []), f]);
    }
    return [...values.entries()]
      .map(([key, v]) => ({ key, score: score(v) }))
      .filter((e) => e.score > 0)
      .sort((a, b) => b.score - a.score || a.key.localeCompare(b.key))
      .slice(0, count)
      .map((e) => e.key);
  }

  svg(title: string, topCount: number): string {
    const cpuTop = this.top(topCount, (v) => v.reduce((sum, f) => sum + f.cpu, 0) / Math.max(this.samples.length, 1));
    const memoryTop = this.top(topCount, (v) => Math.max(...v.map((f) => f.rss)));
    const colors = new Map<string, string>();
    for (const key of [...cpuTop, ...memoryTop]) {
      if (!colors.has(key)) colors.set(key, PALETTE[colors.size % PALETTE.length]!);
    }
    const start = this.samples[0]?.atMs ?? 0;
    const series = (keys: string[], pick: (f: Figures) => number): Series[] => [
      { label: 'total of the tree', color: TOTAL_COLOR, width: 6, points: this.samples.map((s) => ({ t: s.atMs - start, v: pick(s.total) })) },
      ...keys.map((key) => ({
        label: this.labels.get(key)!, color: colors.get(key)!, width: 2,
        points: this.samples.map((s) => {
          const f = s.processes.get(key);
          return f === undefined ? undefined : { t: s.atMs - start, v: pick(f) };
        }),
      })),
    ];
    const durationMs = Math.max((this.samples.at(-1)?.atMs ?? start) - start, 1000);
    const cpu = series(cpuTop, (f) => f.cpu);
    const memory = series(memoryTop, (f) => f.rss);
    const memoryUnit = byteUnit(Math.max(...memory[0]!.points.map((p) => p?.v ?? 0), 1));
    return [
      `<svg xmlns="http://www.w3.org/2000/svg" width="${WIDTH}" height="${HEIGHT}" viewBox="0 0 ${WIDTH} ${HEIGHT}" font-family="sans-serif" font-size="12">`,
      `<rect width="${WIDTH}" height="${HEIGHT}" fill="#ffffff"/>`,
      `<text x="${WIDTH / 2}" y="24" text-anchor="middle" font-size="16">${escapeXml(truncate(title, 110))}</text>`,
      panel('CPU % (of one processor)', CPU_PANEL, cpu, durationMs, 1),
      panel(`Resident memory (${memoryUnit.name})`, MEMORY_PANEL, memory, durationMs, memoryUnit.size),
      `<text x="${(LEFT + RIGHT) / 2}" y="${HEIGHT - 12}" text-anchor="middle">time since the first sample (s)</text>`,
      '</svg>',
      '',
    ].join('\n');
  }
}

function byteUnit(max: number): { name: string; size: number } {
  if (max >= 1024 ** 3) return { name: 'GiB', size: 1024 ** 3 };
  if (max >= 1024 ** 2) return { name: 'MiB', size: 1024 ** 2 };
  if (max >= 1024) return { name: 'KiB', size: 1024 };
  return { name: 'B', size: 1 };
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
  return text.replace(/[<>&"']/g, (c) => ({ '<': '&lt;', '>': '&gt;', '&': '&amp;', '"': '&quot;', "'": '&apos;' })[c]!);
}

function panel(title: string, box: { top: number; bottom: number }, series: Series[], durationMs: number,
  unit: number): string {
  const maxValue = Math.max(...series.flatMap((s) => s.points.map((p) => (p?.v ?? 0) / unit)), 0);
  const yTicks = niceTicks(maxValue);
  const yMax = yTicks.at(-1)!;
  const xTicks = niceTicks(durationMs / 1000);
  const xMax = xTicks.at(-1)!;
  const x = (ms: number) => LEFT + ((ms / 1000) / xMax) * (RIGHT - LEFT);
  const y = (v: number) => box.bottom - (v / unit / yMax) * (box.bottom - box.top);
  const parts: string[] = [`<g>`, `<text x="${LEFT}" y="${box.top - 12}" font-size="14">${escapeXml(title)}</text>`];
  for (const tick of yTicks) {
    const ty = box.bottom - (tick / yMax) * (box.bottom - box.top);
    parts.push(`<line x1="${LEFT}" y1="${ty.toFixed(1)}" x2="${RIGHT}" y2="${ty.toFixed(1)}" stroke="#e0e0e0"/>`);
    parts.push(`<text x="${LEFT - 6}" y="${(ty + 4).toFixed(1)}" text-anchor="end">${formatTick(tick)}</text>`);
  }
  for (const tick of xTicks) {
    const tx = LEFT + (tick / xMax) * (RIGHT - LEFT);
    parts.push(`<text x="${tx.toFixed(1)}" y="${box.bottom + 16}" text-anchor="middle">${formatTick(tick)}</text>`);
  }
  parts.push(`<rect x="${LEFT}" y="${box.top}" width="${RIGHT - LEFT}" height="${box.bottom - box.top}" fill="none" stroke="#808080"/>`);
  for (const s of series) parts.push(...drawSeries(s, x, y));
  series.forEach((s, i) => {
    const ly = box.top + 10 + i * 20;
    parts.push(`<line x1="${RIGHT + 20}" y1="${ly}" x2="${RIGHT + 50}" y2="${ly}" stroke="${s.color}" stroke-width="${s.width}"/>`);
    parts.push(`<text x="${RIGHT + 56}" y="${ly + 4}">${escapeXml(truncate(s.label, 26))}</text>`);
  });
  parts.push('</g>');
  return parts.join('\n');
}

function drawSeries(s: Series, x: (ms: number) => number, y: (v: number) => number): string[] {
  const runs: { t: number; v: number }[][] = [[]];
  for (const p of s.points) {
    if (p === undefined) runs.push([]);
    else runs.at(-1)!.push(p);
  }
  return runs.filter((run) => run.length > 0).map((run) => {
    if (run.length === 1) {
      return `<circle cx="${x(run[0]!.t).toFixed(1)}" cy="${y(run[0]!.v).toFixed(1)}" r="${s.width}" fill="${s.color}"/>`;
    }
    const d = run.map((p, i) => `${i === 0 ? 'M' : 'L'}${x(p.t).toFixed(1)},${y(p.v).toFixed(1)}`).join(' ');
    return `<path d="${d}" fill="none" stroke="${s.color}" stroke-width="${s.width}" stroke-linejoin="round"/>`;
  });
}

function formatTick(value: number): string {
  return Number.isInteger(value) ? String(value) : String(Number(value.toPrecision(3)));
}

function truncate(text: string, max: number): string {
  return text.length <= max ? text : `${text.slice(0, max - 1)}~`;
}
