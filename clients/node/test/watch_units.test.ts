// treemon-watch's parts without a terminal: its command line, the tree order, the rates, a frame,
// the summary, the CSV rows, the chart's ticks, lines and legends.

import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import * as path from "node:path";
import { describe, test } from "node:test";

import type { ProcessSample, Snapshot } from "../src/types";
import { parseArgs } from "../src/watch/args";
import {
  ChartRecorder,
  distinctiveArgument,
  niceTicks,
  PALETTE,
  TOTAL_COLOR,
} from "../src/watch/chart";
import { CSV_HEADER, csvRows } from "../src/watch/csv";
import type { ChildrenUsage } from "../src/watch/accounting";
import { formatSummary, SummaryRecorder, type Ending, type Summary } from "../src/watch/summary";
import {
  formatBytes,
  processKey,
  RateTracker,
  renderFrame,
  shortenMiddle,
  totalsOf,
  treeRows,
  type Rates,
} from "../src/watch/table";

function row(pid: number, ppid: number, extra: Partial<ProcessSample> = {}): ProcessSample {
  return {
    pid,
    ppid,
    startTimeMs: 1000,
    runTimeMs: 5000,
    name: `p${pid}`,
    command: `cmd${pid}`,
    status: "Sleep",
    cpuPercent: 0,
    cpuTimeMs: 0,
    residentBytes: 1024 * 1024,
    virtualBytes: 0,
    ioReadBytes: 0,
    ioWriteBytes: 0,
    ioSemantics: "all-io",
    ...extra,
  };
}

function snapshot(sequence: number, at: number, processes: ProcessSample[]): Snapshot {
  return {
    version: 2,
    type: "snapshot",
    sequence,
    sampledAtUnixMs: at,
    collectionDurationMicros: 0,
    scannedProcessCount: 100,
    retainedProcessCount: processes.length,
    inaccessibleProcessCount: 0,
    externalProcesses: [],
    processes,
  };
}

const TESTS = path.resolve(__dirname, "..", "..", "..", "..", "tests");

/** A process of the shared tables: the members it lacks are row()'s, its command its name. */
type TableProcess = Partial<ProcessSample> & { pid: number; ppid: number };

function tableSnapshot(sequence: number, at: number, processes: TableProcess[]): Snapshot {
  return snapshot(
    sequence,
    at,
    processes.map((p) => {
      const name = p.name ?? `p${p.pid}`;
      return row(p.pid, p.ppid, { name, command: name, ...p });
    }),
  );
}

function readTable<T>(...parts: string[]): T {
  return JSON.parse(readFileSync(path.join(TESTS, ...parts), "utf8")) as T;
}

interface SummaryCase {
  name: string;
  command: string[];
  pid: number;
  snapshots: { sequence: number; sampledAtUnixMs: number; processes: TableProcess[] }[];
  ending: Omit<Ending, "leftRunning" | "kernel"> & {
    leftRunning: number[];
    kernel: ChildrenUsage | null;
  };
  summary: Summary;
  text: string[];
}

interface RatesCase {
  name: string;
  childrenFoldIntoParent: boolean;
  snapshots: { sampledAtUnixMs: number; processes: TableProcess[] }[];
  expected: Record<string, Partial<Rates>>[];
}

const SUMMARIES = readTable<{
  cases: SummaryCase[];
  decimals: [number, number, string][];
  byteCounts: [number, string][];
}>("tools", "summaries.json");

describe("treemon-watch arguments", () => {
  // [argv, expected options subset or error pattern]
  const accepted: [string[], Record<string, unknown>][] = [
    [
      ["--", "make", "-j2"],
      { command: ["make", "-j2"], pid: undefined, intervalMs: 1000, top: 5, sort: "cpu" },
    ],
    [
      ["--pid", "42", "--record", "r.jsonl", "--chart=c.svg"],
      { command: [], pid: 42, record: "r.jsonl", chart: "c.svg" },
    ],
    [
      ["--interval", "250", "--top", "0", "--sort", "memory", "--", "x", "--pid"],
      { intervalMs: 250, top: 0, sort: "memory", command: ["x", "--pid"] },
    ],
    [
      ["--csv", "r.csv", "--group", "--kill-tree", "--", "x"],
      { csv: "r.csv", group: true, killTree: true },
    ],
    [
      ["--", "x", "--group"],
      { group: false, killTree: false, csv: undefined, command: ["x", "--group"] },
    ],
  ];
  for (const [argv, expected] of accepted) {
    test(`accepts ${argv.join(" ")}`, () => {
      const parsed = parseArgs(argv);
      assert.ok(parsed.ok, parsed.ok ? "" : parsed.message);
      for (const [key, value] of Object.entries(expected))
        assert.deepEqual((parsed.options as never)[key], value, key);
    });
  }
  const rejected: [string[], RegExp][] = [
    [[], /either a command or --pid/],
    [["--pid", "3", "--", "ls"], /either a command or --pid/],
    [["--pid", "0"], /--pid must be within 1\.\.4294967295/],
    [["--pid", "-5"], /whole number/],
    [["--interval", "100", "--", "ls"], /--interval must be within 250\.\.60000/],
    [["--interval", "1e3", "--", "ls"], /whole number/],
    [["--sort", "name", "--", "ls"], /--sort must be cpu, memory, io or pid/],
    [["--record"], /--record needs a value/],
    [["--frobnicate", "--", "ls"], /unknown option --frobnicate/],
    [["--record", "run", "--csv", "run", "--", "ls"], /run is named as two outputs/],
  ];
  for (const [argv, message] of rejected) {
    test(`rejects ${argv.join(" ") || "nothing"}`, () => {
      const parsed = parseArgs(argv);
      assert.ok(!parsed.ok);
      assert.match(parsed.message, message);
    });
  }
  // The rows both tools share: where the command starts, with and without --.
  const shared = readTable<{
    commandLines: {
      argv: string[];
      command?: string[];
      pid?: number;
      intervalMs?: number;
      error?: boolean;
    }[];
  }>("tools", "command_lines.json");
  for (const row of shared.commandLines) {
    test(`the shared command line ${JSON.stringify(row.argv)}`, () => {
      const parsed = parseArgs(row.argv);
      if (row.error === true) assert.ok(!parsed.ok);
      else
        assert.deepEqual(
          parsed.ok && [parsed.options.command, parsed.options.pid, parsed.options.intervalMs],
          [row.command, row.pid, row.intervalMs],
        );
    });
  }
  test("--help and --version stop before the command", () => {
    assert.deepEqual(
      [parseArgs(["--help", "--", "x"]), parseArgs(["--version", "--pid", "x"])].map(
        (p) => !p.ok && [p.help, p.version],
      ),
      [
        [true, undefined],
        [undefined, true],
      ],
    );
  });
});

describe("the table", () => {
  const tree = snapshot(1, 10000, [
    row(10, 1, { cpuTimeMs: 100 }),
    row(11, 10, { cpuTimeMs: 4000, residentBytes: 5 * 1024 * 1024 }),
    row(12, 10, { cpuTimeMs: 500 }),
    row(13, 11, { cpuTimeMs: 0 }),
    row(20, 20, { cpuTimeMs: 0 }), // its own parent
  ]);

  test("children sit under their parents, busiest first; a self-parented process is a root", () => {
    const rates = new RateTracker().update(tree);
    const order = treeRows(tree, rates, "cpu").map((r) => `${".".repeat(r.depth)}${r.process.pid}`);
    assert.deepEqual(order, ["10", ".11", "..13", ".12", "20"]);
    assert.deepEqual(
      treeRows(tree, rates, "pid").map((r) => r.process.pid),
      [10, 11, 13, 12, 20],
    );
    assert.deepEqual(
      treeRows(tree, rates, "memory").map((r) => r.process.pid),
      [10, 11, 13, 12, 20],
    );
  });

  // The rates both tools derive, from tests/tools/rates.json.
  for (const c of readTable<{ cases: RatesCase[] }>("tools", "rates.json").cases) {
    test(`rates: ${c.name}`, () => {
      const tracker = new RateTracker(c.childrenFoldIntoParent);
      assert.equal(c.expected.length, c.snapshots.length);
      c.snapshots.forEach((s, i) => {
        const taken = tracker.update(tableSnapshot(i + 1, s.sampledAtUnixMs, s.processes));
        assert.deepEqual(
          [...taken.keys()].sort(),
          s.processes.map((p) => `${p.pid}@${p.startTimeMs ?? 1000}`).sort(),
        );
        for (const [key, expected] of Object.entries(c.expected[i]!)) {
          const got = taken.get(key)!;
          assert.deepEqual(
            Object.fromEntries(Object.keys(expected).map((m) => [m, got[m as keyof Rates]])),
            expected,
            `snapshot ${i + 1}, ${key}`,
          );
        }
      });
    });
  }

  test("a frame: header, indented rows, totals; cut to the terminal", () => {
    const tracker = new RateTracker();
    tracker.update(tree);
    const later = snapshot(
      2,
      11000,
      tree.processes.map((p) => ({ ...p, cpuTimeMs: p.cpuTimeMs + (p.pid === 11 ? 900 : 0) })),
    );
    const rows = treeRows(later, tracker.update(later), "cpu");
    const lines = renderFrame({
      title: "make",
      elapsedMs: 65000,
      snapshot: later,
      rows,
      width: 200,
      height: 40,
      outputTail: ["built x"],
      ending: "exited with status 2",
    });
    assert.equal(lines[0], "treemon-watch  make  elapsed 01:05  sample #2");
    assert.equal(lines[1], "    PID   CPU%   RESIDENT     READ/s    WRITE/s  COMMAND");
    assert.equal(lines[2], "     10    0.0    1.0 MiB        0 B        0 B  cmd10");
    assert.equal(lines[3], "     11   90.0    5.0 MiB        0 B        0 B    cmd11");
    assert.equal(lines[4], "     13    0.0    1.0 MiB        0 B        0 B      cmd13");
    assert.equal(lines[7], "          90.0    9.0 MiB        0 B        0 B  TOTAL of 5 processes");
    assert.deepEqual(lines.slice(8), ["exited with status 2", "", "output:", "  built x"]);
    const small = renderFrame({
      title: "make",
      elapsedMs: 0,
      snapshot: later,
      rows,
      width: 30,
      height: 6,
      outputTail: [],
    });
    assert.equal(small.length, 6);
    assert.ok(small.every((l) => l.length <= 30));
    assert.equal(small[4], "  ... 3 more");
    assert.deepEqual(totalsOf(rows).processes, 5);
  });

  test("80 columns: the title and commands lose their middle, the program its folder", () => {
    const compiler =
      "/usr/lib/gcc/x86_64-linux-gnu/12/cc1plus -quiet -I googletest/include -D_GNU_SOURCE googletest/src/gtest-all.cc";
    const now = snapshot(3, 11000, [
      row(10, 1, { command: "make -j2" }),
      row(11, 10, { command: compiler }),
    ]);
    const rows = treeRows(now, new RateTracker().update(now), "pid");
    const title = "make -j2 CXXFLAGS=-O2 all-of-the-targets-that-googletest-has-and-then-some";
    const lines = renderFrame({
      title,
      elapsedMs: 3000,
      snapshot: now,
      rows,
      width: 80,
      height: 24,
      outputTail: [],
    });
    assert.equal(
      lines[0],
      "treemon-watch  make -j2 CXXFLAGS=...-has-and-then-some  elapsed 00:03  sample #3",
    );
    assert.equal(lines[3]!.slice(49), "  cc1plus -quie.../gtest-all.cc");
    assert.ok(lines.every((l) => l.length <= 80));
  });

  test("control characters of a process reach the frame as escapes, never as bytes", () => {
    const now = snapshot(1, 11000, [
      row(10, 1, { command: "sh \x1b[31mRED\x1b[0m \x1b]0;TITLE\x07 a\nb\x9b\x7f" }),
    ]);
    const lines = renderFrame({
      title: "t\x1b[2J",
      elapsedMs: 0,
      snapshot: now,
      rows: treeRows(now, new Map(), "pid"),
      width: 200,
      height: 10,
      outputTail: [],
    });
    assert.equal(lines[0], "treemon-watch  t\\x1b[2J  elapsed 00:00  sample #1");
    assert.equal(lines[2]!.slice(49), "sh \\x1b[31mRED\\x1b[0m \\x1b]0;TITLE\\x07 a\\nb\\x9b\\x7f");
  });

  // [text, width, shortened]
  const shortened: [string, number, string][] = [
    ["abcdefghij", 10, "abcdefghij"],
    ["abcdefghijk", 10, "abcd...ijk"],
    ["abcdefghij", 5, "abcd~"],
  ];
  for (const [text, width, expected] of shortened)
    test(`${text} in ${width} columns`, () => assert.equal(shortenMiddle(text, width), expected));

  for (const [bytes, text] of SUMMARIES.byteCounts)
    test(`${bytes} bytes read ${text}`, () => assert.equal(formatBytes(bytes), text));
});

describe("the chart", () => {
  // [largest value, ticks]
  const ticks: [number, number[]][] = [
    [0, [0, 1]],
    [7, [0, 2, 4, 6, 8]],
    [100, [0, 20, 40, 60, 80, 100]],
    [101, [0, 50, 100, 150]],
    [0.3, [0, 0.1, 0.2, 0.3]],
  ];
  for (const [max, expected] of ticks)
    test(`ticks up to ${max}`, () => assert.deepEqual(niceTicks(max), expected));

  test("one total line per panel and the top processes, with gaps where a process is absent", () => {
    // The command started 2 s before the first sample: the time axis starts there.
    const chart = new ChartRecorder({
      startedAtUnixMs: -2000,
      origin: "the command started",
      group: false,
    });
    const tracker = new RateTracker();
    const samples = [
      snapshot(1, 0, [row(1, 0, { cpuTimeMs: 0 }), row(2, 1, { cpuTimeMs: 0, name: "busy" })]),
      snapshot(2, 1000, [
        row(1, 0, { cpuTimeMs: 0 }),
        row(2, 1, { cpuTimeMs: 1000, name: "busy" }),
      ]),
      snapshot(3, 2000, [row(1, 0, { cpuTimeMs: 0 })]),
      snapshot(4, 3000, [
        row(1, 0, { cpuTimeMs: 0 }),
        row(3, 1, { cpuTimeMs: 0, ioReadBytes: 10000, name: "late<&>" }),
      ]),
    ];
    for (const s of samples) chart.add(s, tracker.update(s));
    const svg = chart.svg('watch "x"', 1);
    const paths = [
      ...svg.matchAll(/<path d="M([\d.]+)[^"]*" fill="none" stroke="(#[0-9a-f]+)"/g),
    ].map((m) => [m[2], m[0].split(" ").length - 3, m[1]]);
    // CPU: the total (4 points) under busy (2 points); memory: the total under p1 (largest peak);
    // I/O: the total alone, as late<&>, seen once, is a dot. Time 2 s of 0..5 lies at x = 352.
    assert.deepEqual(paths, [
      [TOTAL_COLOR, 4, "352.0"],
      [PALETTE[0], 2, "352.0"],
      [TOTAL_COLOR, 4, "352.0"],
      [PALETTE[1], 4, "352.0"],
      [TOTAL_COLOR, 4, "352.0"],
    ]);
    assert.deepEqual(
      [...svg.matchAll(/<circle [^>]*r="(\d+)" fill="(#[0-9a-f]+)"/g)].map((m) => [m[1], m[2]]),
      [["4", PALETTE[2]]],
    );
    assert.match(svg, />busy \(2\)</);
    assert.match(svg, />late&lt;&amp;&gt; \(3\)</);
    assert.match(svg, /watch &quot;x&quot;/);
    assert.match(svg, /Resident memory \(MiB\)/);
    assert.match(svg, /I\/O, read \+ written \(KiB\/s\)/);
    assert.match(svg, />time since the command started \(s\)</);
    assert.equal(chart.sampleCount, 4);
  });

  test("legends tell namesakes apart by an argument; grouped, one band per name", () => {
    const compile = (file: string) =>
      `/usr/lib/gcc/x86_64-linux-gnu/12/cc1plus -quiet -I include src/${file} -o /tmp/${file}.s`;
    // In the last sample the second compiler is exiting: its arguments read as its bare name.
    const samples = [1, 2].map((i) =>
      snapshot(i, i * 1000, [
        row(1, 0, { name: "make", command: "make -j2", cpuTimeMs: i * 10 }),
        row(2, 1, { name: "cc1plus", command: compile("gtest-all.cc"), cpuTimeMs: i * 900 }),
        row(3, 1, {
          name: "cc1plus",
          command: i === 2 ? "cc1plus" : compile("gtest_main.cc"),
          cpuTimeMs: i * 600,
        }),
      ]),
    );
    const legends = (group: boolean) => {
      const chart = new ChartRecorder({ startedAtUnixMs: 0, origin: "the command started", group });
      const tracker = new RateTracker();
      for (const s of samples) chart.add(s, tracker.update(s));
      const svg = chart.svg("make", 3);
      return [
        ...svg
          .slice(0, svg.indexOf("Resident memory"))
          .matchAll(/<text x="816" y="[\d.]+">([^<]*)</g),
      ].map((m) => m[1]);
    };
    assert.deepEqual(legends(false), [
      "total of the tree",
      "cc1plus gtest-all.cc (2)",
      "cc1plus gtest_main.cc (3)",
      "make (1)",
    ]);
    assert.deepEqual(legends(true), [
      "total of the tree",
      "cc1plus, 2 processes",
      "make, 1 process",
    ]);
    assert.equal(
      distinctiveArgument({ pid: 1, name: "sh", command: "sh -c x" }, [
        { pid: 2, name: "sh", command: "sh -c x" },
      ]),
      undefined,
    );
  });

  test("a chart of no samples is still a valid drawing", () => {
    const svg = new ChartRecorder({ startedAtUnixMs: 0, origin: "x", group: false }).svg(
      "nothing",
      5,
    );
    assert.match(svg, /^<svg[^>]*>/);
    assert.match(svg, /<\/svg>\n$/);
    assert.ok(!svg.includes("NaN") && !svg.includes("Infinity"));
  });
});

describe("the summary", () => {
  // The summary's text rounds with toFixed: the table's ties must come out as in Python.
  for (const [value, decimals, text] of SUMMARIES.decimals) {
    test(`${value} with ${decimals} decimals reads ${text}`, () =>
      assert.equal(value.toFixed(decimals), text));
  }

  // The table both tools play: the same snapshots and end give the same record line and text.
  for (const c of SUMMARIES.cases) {
    test(c.name, () => {
      const recorder = new SummaryRecorder(c.command, c.pid, 0);
      const tracker = new RateTracker(true);
      const snapshots = c.snapshots.map((s) =>
        tableSnapshot(s.sequence, s.sampledAtUnixMs, s.processes),
      );
      for (const s of snapshots) recorder.add(s, tracker.update(s));
      const last = snapshots.at(-1)?.processes ?? [];
      const summary = recorder.finish({
        ...c.ending,
        kernel: c.ending.kernel ?? undefined,
        leftRunning: c.ending.leftRunning.map((pid) => last.find((p) => p.pid === pid)!),
      });
      assert.deepEqual(summary, c.summary);
      assert.deepEqual(formatSummary(summary), c.text);
    });
  }
});

test("CSV rows: time from the start, the view's rates, quoted text", () => {
  const tracker = new RateTracker();
  const s = snapshot(1, 12500, [
    row(7, 1, {
      name: "a,b",
      command: 'say "hi"',
      runTimeMs: 2000,
      cpuTimeMs: 1000,
      ioWriteBytes: 3000,
    }),
  ]);
  assert.equal(
    CSV_HEADER,
    "time_s,pid,ppid,name,cpu_percent,resident_bytes,read_bytes_per_s,write_bytes_per_s,command",
  );
  assert.deepEqual(csvRows(s, tracker.update(s), 10000), [
    '2.500,7,1,"a,b",50.0,1048576,0,1500,"say ""hi""\"',
  ]);
});

// Keep processKey's format in one place for the tests above.
test("a process key is pid@startTimeMs", () => assert.equal(processKey(row(7, 1)), "7@1000"));
