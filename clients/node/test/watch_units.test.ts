// treemon-watch's parts without a terminal: its command line, the tree order, the rates, a frame,
// the chart's ticks and lines.

import assert from 'node:assert/strict';
import { describe, test } from 'node:test';

import type { ProcessSample, Snapshot } from '../src/types';
import { parseArgs } from '../src/watch/args';
import { ChartRecorder, niceTicks, PALETTE, TOTAL_COLOR } from '../src/watch/chart';
import { formatBytes, processKey, RateTracker, renderFrame, totalsOf, treeRows } from '../src/watch/table';

function row(pid: number, ppid: number, extra: Partial<ProcessSample> = {}): ProcessSample {
  return {
    pid, ppid, startTimeMs: 1000, runTimeMs: 5000, name: `p${pid}`, command: `cmd${pid}`, status: 'Sleep',
    cpuPercent: 0, cpuTimeMs: 0, residentBytes: 1024 * 1024, virtualBytes: 0, ioReadBytes: 0, ioWriteBytes: 0, ioSemantics: 'all-io',
    ...extra,
  };
}

function snapshot(sequence: number, at: number, processes: ProcessSample[]): Snapshot {
  return {
    version: 2, type: 'snapshot', sequence, sampledAtUnixMs: at, collectionDurationMicros: 0, scannedProcessCount: 100,
    retainedProcessCount: processes.length, inaccessibleProcessCount: 0, externalProcesses: [], processes,
  };
}

describe('treemon-watch arguments', () => {
  // [argv, expected options subset or error pattern]
  const accepted: [string[], Record<string, unknown>][] = [
    [['--', 'make', '-j2'], { command: ['make', '-j2'], pid: undefined, intervalMs: 1000, top: 5, sort: 'cpu' }],
    [['--pid', '42', '--record', 'r.jsonl', '--chart=c.svg'], { command: [], pid: 42, record: 'r.jsonl', chart: 'c.svg' }],
    [['--interval', '250', '--top', '0', '--sort', 'memory', '--', 'x', '--pid'], { intervalMs: 250, top: 0, sort: 'memory', command: ['x', '--pid'] }],
  ];
  for (const [argv, expected] of accepted) {
    test(`accepts ${argv.join(' ')}`, () => {
      const parsed = parseArgs(argv);
      assert.ok(parsed.ok, parsed.ok ? '' : parsed.message);
      for (const [key, value] of Object.entries(expected)) assert.deepEqual((parsed.options as never)[key], value, key);
    });
  }
  const rejected: [string[], RegExp][] = [
    [[], /either a command after -- or --pid/],
    [['--pid', '3', '--', 'ls'], /either a command after -- or --pid/],
    [['--pid', '0'], /--pid must be within 1\.\.4294967295/],
    [['--pid', '-5'], /whole number/],
    [['--interval', '100', '--', 'ls'], /--interval must be within 250\.\.60000/],
    [['--interval', '1e3', '--', 'ls'], /whole number/],
    [['--sort', 'name', '--', 'ls'], /--sort must be cpu, memory, io or pid/],
    [['--record'], /--record needs a value/],
    [['--frobnicate', '--', 'ls'], /unknown option --frobnicate/],
  ];
  for (const [argv, message] of rejected) {
    test(`rejects ${argv.join(' ') || 'nothing'}`, () => {
      const parsed = parseArgs(argv);
      assert.ok(!parsed.ok);
      assert.match(parsed.message, message);
    });
  }
});

describe('the table', () => {
  const tree = snapshot(1, 10000, [
    row(10, 1, { cpuTimeMs: 100 }),
    row(11, 10, { cpuTimeMs: 4000, residentBytes: 5 * 1024 * 1024 }),
    row(12, 10, { cpuTimeMs: 500 }),
    row(13, 11, { cpuTimeMs: 0 }),
    row(20, 20, { cpuTimeMs: 0 }), // its own parent
  ]);

  test('children sit under their parents, busiest first; a self-parented process is a root', () => {
    const rates = new RateTracker().update(tree);
    const order = treeRows(tree, rates, 'cpu').map((r) => `${'.'.repeat(r.depth)}${r.process.pid}`);
    assert.deepEqual(order, ['10', '.11', '..13', '.12', '20']);
    assert.deepEqual(treeRows(tree, rates, 'pid').map((r) => r.process.pid), [10, 11, 13, 12, 20]);
    assert.deepEqual(treeRows(tree, rates, 'memory').map((r) => r.process.pid), [10, 11, 13, 12, 20]);
  });

  test('rates: first sighting over the life so far, then over the interval, per pid and start time', () => {
    const tracker = new RateTracker();
    const first = tracker.update(snapshot(1, 10000, [row(5, 1, { runTimeMs: 4000, cpuTimeMs: 2000, ioReadBytes: 4000 })]));
    assert.deepEqual(first.get('5@1000'), { cpuPercent: 50, readPerSecond: 1000, writePerSecond: 0 });
    const second = tracker.update(snapshot(2, 12000, [row(5, 1, { runTimeMs: 6000, cpuTimeMs: 5000, ioReadBytes: 6000, ioWriteBytes: 1000 })]));
    assert.deepEqual(second.get('5@1000'), { cpuPercent: 150, readPerSecond: 1000, writePerSecond: 500 });
    // The pid is reused by a process that started later: a new process, rated over its own life.
    const reused = tracker.update(snapshot(3, 13000, [row(5, 1, { startTimeMs: 12000, runTimeMs: 0, cpuTimeMs: 100 })]));
    assert.deepEqual(reused.get('5@12000'), { cpuPercent: 10, readPerSecond: 0, writePerSecond: 0 });
  });

  test('on Linux a reaped child\'s counts, folded into its parent\'s, are not counted twice', () => {
    for (const folds of [true, false]) {
      const tracker = new RateTracker(folds);
      tracker.update(snapshot(1, 10000, [row(1, 0, { ioWriteBytes: 100 }), row(2, 1, { ioWriteBytes: 5000 })]));
      // The child is gone and the parent's counter took in its 5000 bytes plus 700 of its own.
      const after = tracker.update(snapshot(2, 11000, [row(1, 0, { ioWriteBytes: 5800 })]));
      assert.equal(after.get('1@1000')!.writePerSecond, folds ? 700 : 5700);
    }
    // A grandchild reaped by a child that is gone too: both fold into the one still there.
    const tracker = new RateTracker(true);
    tracker.update(snapshot(1, 10000, [row(1, 0), row(2, 1, { ioReadBytes: 300 }), row(3, 2, { ioReadBytes: 4000 }), row(4, 4, { ioReadBytes: 9 })]));
    const after = tracker.update(snapshot(2, 12000, [row(1, 0, { ioReadBytes: 4500 })]));
    assert.equal(after.get('1@1000')!.readPerSecond, 100);
  });

  test('a frame: header, indented rows, totals; cut to the terminal', () => {
    const tracker = new RateTracker();
    tracker.update(tree);
    const later = snapshot(2, 11000, tree.processes.map((p) => ({ ...p, cpuTimeMs: p.cpuTimeMs + (p.pid === 11 ? 900 : 0) })));
    const rows = treeRows(later, tracker.update(later), 'cpu');
    const lines = renderFrame({ title: 'make', elapsedMs: 65000, snapshot: later, rows, width: 200, height: 40, outputTail: ['built x'] });
    assert.equal(lines[0], 'treemon-watch  make  elapsed 01:05  sample #2');
    assert.equal(lines[1], '     PID    CPU%   RESIDENT         READ        WRITE  COMMAND');
    assert.equal(lines[2], '      10     0.0    1.0 MiB        0 B/s        0 B/s  cmd10');
    assert.equal(lines[3], '      11    90.0    5.0 MiB        0 B/s        0 B/s    cmd11');
    assert.equal(lines[4], '      13     0.0    1.0 MiB        0 B/s        0 B/s      cmd13');
    assert.equal(lines[7], '            90.0    9.0 MiB        0 B/s        0 B/s  TOTAL of 5 processes');
    assert.deepEqual(lines.slice(8), ['', 'output:', '  built x']);
    const small = renderFrame({ title: 'make', elapsedMs: 0, snapshot: later, rows, width: 30, height: 6, outputTail: [] });
    assert.equal(small.length, 6);
    assert.ok(small.every((l) => l.length <= 30));
    assert.equal(small[4], '  ... 3 more');
    assert.deepEqual(totalsOf(rows).processes, 5);
  });

  // [bytes, text]
  const sizes: [number, string][] = [[0, '0 B'], [1023, '1023 B'], [1024, '1.0 KiB'], [1536 * 1024, '1.5 MiB'], [3 * 1024 ** 3, '3.0 GiB']];
  for (const [bytes, text] of sizes) test(`${bytes} bytes read ${text}`, () => assert.equal(formatBytes(bytes), text));
});

describe('the chart', () => {
  // [largest value, ticks]
  const ticks: [number, number[]][] = [[0, [0, 1]], [7, [0, 2, 4, 6, 8]], [100, [0, 20, 40, 60, 80, 100]], [101, [0, 50, 100, 150]], [0.3, [0, 0.1, 0.2, 0.3]]];
  for (const [max, expected] of ticks) test(`ticks up to ${max}`, () => assert.deepEqual(niceTicks(max), expected));

  test('one total line per panel and the top processes, with gaps where a process is absent', () => {
    const chart = new ChartRecorder();
    const tracker = new RateTracker();
    const samples = [
      snapshot(1, 0, [row(1, 0, { cpuTimeMs: 0 }), row(2, 1, { cpuTimeMs: 0, name: 'busy' })]),
      snapshot(2, 1000, [row(1, 0, { cpuTimeMs: 0 }), row(2, 1, { cpuTimeMs: 1000, name: 'busy' })]),
      snapshot(3, 2000, [row(1, 0, { cpuTimeMs: 0 })]),
      snapshot(4, 3000, [row(1, 0, { cpuTimeMs: 0 }), row(3, 1, { cpuTimeMs: 500, name: 'late<&>' })]),
    ];
    for (const s of samples) chart.add(s, tracker.update(s));
    const svg = chart.svg('watch "x"', 1);
    const paths = [...svg.matchAll(/<path d="([^"]*)" fill="none" stroke="(#[0-9a-f]+)"/g)].map((m) => [m[2], m[1]!.split(' ').length]);
    // CPU panel: the total (4 points) under busy (2 points); memory panel: the total under p1 (largest peak).
    assert.deepEqual(paths, [[TOTAL_COLOR, 4], [PALETTE[0], 2], [TOTAL_COLOR, 4], [PALETTE[1], 4]]);
    assert.match(svg, /busy \(2\)/);
    assert.match(svg, /watch &quot;x&quot;/);
    assert.match(svg, /Resident memory \(MiB\)/);
    assert.equal(chart.sampleCount, 4);
    assert.ok(!svg.includes('late<&>'));
  });

  test('a chart of no samples is still a valid drawing', () => {
    const svg = new ChartRecorder().svg('nothing', 5);
    assert.match(svg, /^<svg[^>]*>/);
    assert.match(svg, /<\/svg>\n$/);
    assert.ok(!svg.includes('NaN') && !svg.includes('Infinity'));
  });
});

// Keep processKey's format in one place for the tests above.
test('a process key is pid@startTimeMs', () => assert.equal(processKey(row(7, 1)), '7@1000'));
