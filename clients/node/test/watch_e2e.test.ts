// treemon-watch for real: in a tmux terminal, reading the screen as a user sees it; its record and
// its chart (rendered to PNG and read back pixel by pixel); --pid mode, signals and failures.

import assert from 'node:assert/strict';
import { execFile, execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import * as path from 'node:path';
import { describe, test } from 'node:test';

import type { Snapshot } from '../src/types';
import { CPU_PANEL, MEMORY_PANEL, PALETTE, PLOT_X, TOTAL_COLOR } from '../src/watch/chart';
import { BINARY } from './helpers';
import { countColor, decodePng } from './png';

const CLI = path.resolve(__dirname, '..', 'src', 'watch', 'cli.js');

function tmux(...args: string[]): string {
  return execFileSync('tmux', args, { encoding: 'utf8' });
}

async function screenUntil(session: string, wanted: RegExp, timeoutMs = 20000): Promise<string> {
  const deadline = Date.now() + timeoutMs;
  let screen = '';
  while (Date.now() < deadline) {
    screen = tmux('capture-pane', '-p', '-t', session);
    if (wanted.test(screen)) return screen;
    await new Promise((r) => setTimeout(r, 200));
  }
  assert.fail(`the screen never matched ${wanted}; it shows:\n${screen}`);
}

function run(args: string[]): Promise<{ code: number | null; stdout: string; stderr: string }> {
  return new Promise((resolve) => {
    execFile('node', [CLI, '--treemon', BINARY, ...args], (error, stdout, stderr) => {
      resolve({ code: error === null ? 0 : (error.code as number | null), stdout, stderr });
    });
  });
}

describe('treemon-watch in a terminal', () => {
  test('shows the live tree, records every snapshot and draws the chart', async () => {
    const dir = mkdtempSync(path.join(tmpdir(), 'treemon-watch-'));
    const record = path.join(dir, 'run.jsonl');
    const chart = path.join(dir, 'run.svg');
    const script = path.join(dir, 'run.sh');
    // A busy loop under `timeout`, and a sleep beside it; the tree ends by itself after 7 s.
    writeFileSync(script, [
      `node '${CLI}' --treemon '${BINARY}' --record '${record}' --chart '${chart}' -- \\`,
      `  sh -c 'timeout 6 sh -c "while :; do :; done" & sleep 7; wait'`,
      'echo "treemon-watch-exit=$?"',
      'sleep 600',
    ].join('\n'));
    const session = `treemon-watch-test-${process.pid}`;
    tmux('new-session', '-d', '-s', session, '-x', '160', '-y', '30', `sh '${script}'`);
    try {
      const live = await screenUntil(session, /TOTAL of 4 processes/);
      const lines = live.split('\n');
      assert.match(lines[0]!, /^treemon-watch {2}sh -c timeout 6 sh -c "while :; do :; done" & sleep 7; wait {2}elapsed \d\d:\d\d {2}sample #\d+/);
      assert.match(lines[1]!, /^ +PID +CPU% +RESIDENT +READ +WRITE {2}COMMAND$/);
      const commandColumn = lines[1]!.indexOf('COMMAND');
      const commands = lines.slice(2, 6).map((l) => l.slice(commandColumn));
      assert.equal(commands[0], 'sh -c timeout 6 sh -c "while :; do :; done" & sleep 7; wait');
      const timeoutAt = commands.indexOf('  timeout 6 sh -c while :; do :; done');
      assert.ok(timeoutAt > 0, `no indented timeout row in ${JSON.stringify(commands)}`);
      assert.equal(commands[timeoutAt + 1], '    sh -c while :; do :; done');
      assert.ok(commands.includes('  sleep 7'));

      // The busy loop's CPU % shows once it has been seen twice.
      const busy = await screenUntil(session, / {4}sh -c while/);
      const busyLine = busy.split('\n').find((l) => l.endsWith('    sh -c while :; do :; done'))!;
      assert.match(busyLine, /^ +\d+ +\d+\.\d +\d+\.\d (KiB|MiB) +\S+ \S+\/s +\S+ \S+\/s {6}sh -c/);

      const after = await screenUntil(session, /treemon-watch-exit=0/, 30000);
      assert.match(after, /TOTAL of \d+ process/, 'the last frame stays on the normal screen');
    } finally {
      tmux('kill-session', '-t', session);
    }

    const snapshots = readFileSync(record, 'utf8').trimEnd().split('\n').map((l) => JSON.parse(l) as Snapshot);
    assert.ok(snapshots.length >= 5, `${snapshots.length} snapshots recorded`);
    assert.ok(snapshots.every((s, i) => s.type === 'snapshot' && s.requestId === undefined && (i === 0 || s.sequence === snapshots[i - 1]!.sequence + 1)));
    assert.ok(snapshots.some((s) => s.processes.length === 4));

    const svg = readFileSync(chart, 'utf8');
    const busyPid = snapshots.flatMap((s) => s.processes).find((p) => p.command === 'sh -c while :; do :; done')!.pid;
    assert.match(svg, new RegExp(`>sh \\(${busyPid}\\)<`), 'the busy loop is in the legend');
    const png = path.join(dir, 'run.png');
    execFileSync('rsvg-convert', ['-o', png, chart]);
    const image = decodePng(readFileSync(png));
    // Inside the frame of each plot, clear of its anti-aliased border.
    const inside = (panel: { top: number; bottom: number }) =>
      ({ left: PLOT_X.left + 3, right: PLOT_X.right - 3, top: panel.top + 3, bottom: panel.bottom - 3 });
    const cpuPlot = inside(CPU_PANEL);
    const memoryPlot = inside(MEMORY_PANEL);
    assert.ok(countColor(image, TOTAL_COLOR, cpuPlot, 8) > 200, 'a total line in the CPU panel');
    assert.ok(countColor(image, TOTAL_COLOR, memoryPlot, 8) > 200, 'a total line in the memory panel');
    assert.ok(countColor(image, PALETTE[0]!, cpuPlot) > 100, 'the busiest process has a line in the CPU panel');
    // The busiest process reaches the upper half of its panel, whose scale ends just above the total.
    const topmost = [...Array(CPU_PANEL.bottom - CPU_PANEL.top).keys()].map((i) => CPU_PANEL.top + i)
      .find((y) => countColor(image, PALETTE[0]!, { ...PLOT_X, top: y, bottom: y + 1 }) > 0)!;
    assert.ok(topmost < (CPU_PANEL.top + CPU_PANEL.bottom) / 2, `the busy line peaks at y=${topmost}`);
  });
});

describe('treemon-watch outside a terminal', () => {
  test('--pid watches a running process until it ends, printing frames', async () => {
    const sleeper = spawn('sleep', ['2'], { stdio: 'ignore' });
    const result = await run(['--interval', '250', '--pid', String(sleeper.pid)]);
    assert.equal(result.code, 0);
    assert.match(result.stdout, new RegExp(`treemon-watch  pid ${sleeper.pid}  elapsed`));
    assert.match(result.stdout, new RegExp(`\\n +${sleeper.pid} +\\d+\\.\\d .*  sleep 2\\n`));
    assert.match(result.stdout, /TOTAL of 1 process\n/);
    assert.match(result.stdout, /TOTAL of 0 processes\n/);
  });

  test('the command\'s exit status and the last lines of its output come through', async () => {
    const result = await run(['--interval', '250', '--', 'sh', '-c', 'echo first; echo second >&2; sleep 1; exit 7']);
    assert.equal(result.code, 7);
    assert.match(result.stdout, /output:\n {2}(first\n {2}second|second\n {2}first)\n/);
  });

  test('an interrupt is passed to the command, whose end ends the watch', async () => {
    const watcher = spawn('node', [CLI, '--treemon', BINARY, '--', 'sleep', '30'], { stdio: ['ignore', 'pipe', 'pipe'] });
    let stdout = '';
    watcher.stdout.on('data', (chunk) => { stdout += chunk; });
    while (!/sleep 30/.test(stdout)) await new Promise((r) => setTimeout(r, 100));
    watcher.kill('SIGINT');
    const code = await new Promise((resolve) => watcher.once('exit', resolve));
    assert.equal(code, 128 + 2);
  });

  // [what, arguments, exit status, stderr pattern]
  const failures: [string, string[], number, RegExp][] = [
    ['a command that does not exist', ['--', 'no-such-command-for-treemon'], 127, /cannot start no-such-command-for-treemon: spawn no-such-command-for-treemon ENOENT/],
    ['a bad option', ['--interval', 'soon', '--', 'true'], 2, /--interval must be a whole number, got "soon"/],
  ];
  for (const [what, args, code, stderr] of failures) {
    test(`fails clearly on ${what}`, async () => {
      const result = await run(args);
      assert.equal(result.code, code);
      assert.match(result.stderr, stderr);
    });
  }

  test('fails clearly without a monitor', async () => {
    const result = await new Promise<{ code: number | null; stderr: string }>((resolve) => {
      execFile('node', [CLI, '--treemon', path.join(tmpdir(), 'no-treemon-here'), '--', 'true'], (error, _out, stderr) => resolve({ code: error?.code as number, stderr }));
    });
    assert.equal(result.code, 1);
    assert.match(result.stderr, /treemon-watch: .*no-treemon-here: cannot run treemon: spawn .* ENOENT/);
  });
});
