// The client against the real monitor: rows of a real tree, request ids, history reassembly,
// errors related to their commands by order, argument checks, and a monitor that dies.

import assert from "node:assert/strict";
import { after, before, describe, test } from "node:test";

import { TreemonClient, TreemonError, type Snapshot } from "../src/index";
import {
  BINARY,
  eventually,
  fakeMonitor,
  HELLO,
  killTree,
  outcome,
  startClient,
  startTree,
} from "./helpers";

describe("a configured monitor on a real tree", () => {
  let client: TreemonClient;
  const tree = startTree();

  before(async () => {
    client = await startClient();
  });
  after(async () => {
    await client.shutdown();
    killTree(tree);
  });

  test("the hello names the monitor", () => {
    assert.equal(client.hello.version, 2);
    assert.equal(client.hello.sidecarVersion, "0.1.0");
    assert.equal(client.hello.platform, process.platform === "win32" ? "windows" : "linux");
    assert.ok(Object.values(client.hello.capabilities).every((flag) => flag === true));
    process.kill(client.pid, 0); // the reported pid is a live process
  });

  test("sampleNow gives the tree: the shell and its two sleeps, ascending by pid", async () => {
    await client.configure({ rootPid: tree.pid!, sampleIntervalMs: 0 });
    const snapshot = await eventually(
      () => client.sampleNow(),
      (s) => s.processes.length === 3,
    );
    const shell = snapshot.processes.find((p) => p.pid === tree.pid);
    const sleeps = snapshot.processes.filter((p) => p.pid !== tree.pid);
    assert.equal(shell!.pid, tree.pid);
    assert.equal(shell!.name, "sh");
    assert.deepEqual(
      sleeps.map((p) => [p.name, p.ppid, p.command]),
      [
        ["sleep", tree.pid, "sleep 60"],
        ["sleep", tree.pid, "sleep 60"],
      ],
    );
    const pids = snapshot.processes.map((p) => p.pid);
    assert.deepEqual(
      pids,
      [...pids].sort((a, b) => a - b),
    );
    assert.equal(snapshot.retainedProcessCount, 3);
    assert.match(snapshot.requestId!, /^treemon-node:\d+$/);
    for (const row of snapshot.processes) {
      assert.equal(row.startTimeMs % 1000, 0);
      assert.equal(row.ioSemantics, "all-io");
      assert.ok(row.residentBytes > 0);
    }
  });

  test("each sampleNow has its own request id and a higher sequence", async () => {
    const [a, b, c] = await Promise.all([
      client.sampleNow(),
      client.sampleNow(),
      client.sampleNow(),
    ]);
    assert.equal(new Set([a.requestId, b.requestId, c.requestId]).size, 3);
    assert.deepEqual([b.sequence - a.sequence, c.sequence - b.sequence], [1, 1]);
  });

  test("readHistory reassembles more than 32 snapshots from several chunks, oldest first", async () => {
    const taken: Snapshot[] = [];
    for (let i = 0; i < 34; i++) taken.push(await client.sampleNow());
    const history = await client.readHistory(3600000);
    assert.ok(history.length >= 34, `history has ${history.length} snapshots`);
    const sequences = history.map((s) => s.sequence);
    assert.deepEqual(
      sequences.slice(-34),
      taken.map((s) => s.sequence),
    );
    assert.ok(history.every((s) => s.requestId === undefined));
    assert.deepEqual(
      sequences,
      [...sequences].sort((x, y) => x - y),
    );
  });

  test("an external process is matched by pid and start time, and not by a wrong start time", async () => {
    const outsider = startTree();
    try {
      await client.configure({ rootPid: outsider.pid!, sampleIntervalMs: 0 });
      const own = await eventually(
        () => client.sampleNow(),
        (s) => s.processes.length === 3,
      );
      const startTimeMs = own.processes.find((p) => p.pid === outsider.pid)!.startTimeMs;

      await client.configure({ rootPid: tree.pid!, sampleIntervalMs: 0 });
      await client.setExternalProcesses([{ pid: outsider.pid!, startTimeMs: startTimeMs + 999 }]);
      const matched = await client.sampleNow();
      assert.deepEqual(matched.externalProcesses, [{ pid: outsider.pid!, startTimeMs }]);
      assert.equal(matched.processes.length, 6);

      await client.setExternalProcesses([
        { pid: outsider.pid!, startTimeMs: BigInt(startTimeMs + 1000) },
      ]);
      const unmatched = await client.sampleNow();
      assert.deepEqual(unmatched.externalProcesses, []);
      assert.equal(unmatched.processes.length, 3);
    } finally {
      killTree(outsider);
    }
  });

  test("periodic snapshots arrive through the iterator and the event, without request ids", async () => {
    const seen: Snapshot[] = [];
    const listener = (s: Snapshot) => seen.push(s);
    client.on("snapshot", listener);
    const stream = client.snapshots();
    await client.setStreaming(true);
    await client.configure({ rootPid: tree.pid!, sampleIntervalMs: 250 });
    const got: Snapshot[] = [];
    for await (const snapshot of stream) {
      got.push(snapshot);
      if (got.length === 3) break;
    }
    await client.setSampleInterval(0);
    await client.setStreaming(false);
    client.off("snapshot", listener);
    assert.ok(got.every((s) => s.requestId === undefined && s.processes.length === 3));
    assert.deepEqual(
      [got[1]!.sequence - got[0]!.sequence, got[2]!.sequence - got[1]!.sequence],
      [1, 1],
    );
    assert.deepEqual(
      seen.slice(0, 3).map((s) => s.sequence),
      got.map((s) => s.sequence),
    );
  });
});

describe("errors are related to their commands by order", () => {
  test("before configure: each command gets its own outcome, in a pipelined burst", async () => {
    const client = await startClient();
    const results = await Promise.all([
      outcome(client.setSampleInterval(500)),
      outcome(client.setStreaming(true)),
      outcome(client.sampleNow()),
      outcome(client.setExternalProcesses([{ pid: 1 }])),
      outcome(client.readHistory(1000)),
      outcome(client.configure({ rootPid: process.pid, sampleIntervalMs: 0 })),
      outcome(client.setSampleInterval(0)),
      outcome(client.setExternalProcesses([])),
      outcome(client.sampleNow()),
    ]);
    await client.shutdown();
    const summary = results.map((r) => (r.ok ? "ok" : `${r.error.code}: ${r.error.message}`));
    assert.deepEqual(summary, [
      "not-configured: configure must be sent before changing the sample interval",
      "ok",
      "not-configured: configure must be sent before sampling",
      "not-configured: configure must be sent before external processes",
      "not-configured: configure must be sent before reading history",
      "ok",
      "ok",
      "ok",
      "ok",
    ]);
    const failure = results[0]!;
    assert.ok(
      !failure.ok && failure.error instanceof TreemonError && failure.error.recoverable === true,
    );
  });

  test("an error the client did not expect is reported, not pinned on the next command", async () => {
    // The fake answers every line with an error: only commands waiting for an event get one.
    const fake = fakeMonitor(`echo '${HELLO}'
while read line; do echo '{"version":2,"type":"error","code":"invalid-command","message":"x","recoverable":true}'; done`);
    const client = await TreemonClient.start({ binaryPath: fake });
    const stray = new Promise<TreemonError>((resolve) => client.once("unattributedError", resolve));
    await client.setStreaming(true); // unconfigured: resolves once written
    assert.equal((await stray).code, "invalid-command");
    const sampled = await outcome(client.sampleNow());
    assert.ok(!sampled.ok && sampled.error.message === "x");
    client.kill();
  });
});

describe("arguments are checked before anything is sent", () => {
  let client: TreemonClient;
  const strays: TreemonError[] = [];
  before(async () => {
    client = await startClient();
    client.on("unattributedError", (e) => strays.push(e));
    await client.configure({ rootPid: process.pid, sampleIntervalMs: 0 });
  });
  after(() => client.shutdown());

  const U64_MAX = (1n << 64n) - 1n;
  // [what, call, expected error class]
  const rejected: [
    string,
    (c: TreemonClient) => Promise<unknown>,
    typeof TypeError | typeof RangeError,
  ][] = [
    // u32 fields: integers within 0..2^32-1 only
    ["negative pid", (c) => c.configure({ rootPid: -1, sampleIntervalMs: 0 }), RangeError],
    ["pid 2^32", (c) => c.configure({ rootPid: 4294967296, sampleIntervalMs: 0 }), RangeError],
    ["fractional pid", (c) => c.configure({ rootPid: 1.5, sampleIntervalMs: 0 }), RangeError],
    ["pid as text", (c) => c.configure({ rootPid: "2" as never, sampleIntervalMs: 0 }), TypeError],
    ["pid NaN", (c) => c.configure({ rootPid: NaN, sampleIntervalMs: 0 }), RangeError],
    ["external pid missing", (c) => c.setExternalProcesses([{} as never]), TypeError],
    ["external entry null", (c) => c.setExternalProcesses([null as never]), TypeError],
    ["external list not an array", (c) => c.setExternalProcesses({} as never), TypeError],
    // u64 fields: safe integers or bigints up to 2^64-1
    ["negative interval", (c) => c.setSampleInterval(-1), RangeError],
    ["interval beyond 2^53", (c) => c.setSampleInterval(2 ** 53), RangeError],
    ["interval infinite", (c) => c.setSampleInterval(Infinity), RangeError],
    ["bigint 2^64", (c) => c.setSampleInterval(U64_MAX + 1n), RangeError],
    ["negative bigint window", (c) => c.readHistory(-1n), RangeError],
    ["window as text", (c) => c.readHistory("10" as never), TypeError],
    [
      "start time fractional",
      (c) => c.setExternalProcesses([{ pid: 1, startTimeMs: 0.5 }]),
      RangeError,
    ],
    // booleans
    ["enabled as number", (c) => c.setStreaming(1 as never), TypeError],
    ["options missing", (c) => c.configure(undefined as never), TypeError],
  ];
  for (const [what, call, kind] of rejected) {
    test(`rejects ${what}`, async () => {
      await assert.rejects(call(client), kind);
    });
  }

  test("the edges of the ranges are accepted and the monitor reports nothing", async () => {
    await client.setExternalProcesses([
      { pid: 4294967295, startTimeMs: U64_MAX },
      { pid: 0, startTimeMs: null },
      { pid: 7 },
    ]);
    await client.setSampleInterval(U64_MAX);
    await client.setSampleInterval(Number.MAX_SAFE_INTEGER);
    await client.setSampleInterval(0);
    await client.readHistory(U64_MAX);
    await client.configure({ rootPid: 4294967295, sampleIntervalMs: 0 });
    const snapshot = await client.sampleNow();
    assert.equal(snapshot.processes.length, 0);
    assert.deepEqual(strays, []);
  });
});

describe("a monitor that ends", () => {
  test("a killed monitor rejects every pending call and every later one", async () => {
    const client = await startClient();
    await client.configure({ rootPid: process.pid, sampleIntervalMs: 0 });
    const calls = [
      client.sampleNow(),
      client.sampleNow(),
      client.readHistory(1000),
      client.setStreaming(true),
    ].map((p: Promise<unknown>) => outcome(p));
    process.kill(client.pid, "SIGKILL");
    const results = await Promise.all(calls);
    const failed = results.filter((r) => !r.ok);
    assert.ok(failed.length >= 1, "the kill came before the last answer");
    for (const r of failed) {
      assert.ok(!r.ok && r.error instanceof TreemonError);
      assert.equal(r.error.code, "monitor-exited");
      assert.match(r.error.message, /killed by SIGKILL/);
    }
    assert.deepEqual(await client.exited, { code: null, signal: "SIGKILL" });
    await assert.rejects(client.sampleNow(), { code: "monitor-exited" });
    await assert.rejects(client.configure({ rootPid: 1, sampleIntervalMs: 0 }), {
      code: "monitor-exited",
    });
  });

  test("an iterator of periodic snapshots throws when the monitor dies, ends after shutdown", async () => {
    const dying = await startClient();
    const stream = dying.snapshots();
    dying.kill();
    await assert.rejects(stream.next(), { code: "monitor-exited" });

    const stopping = await startClient();
    const ending = stopping.snapshots();
    assert.deepEqual(await stopping.shutdown(), { code: 0, signal: null });
    assert.deepEqual(await ending.next(), { value: undefined, done: true });
  });

  test("commands sent before shutdown are still answered", async () => {
    const client = await startClient();
    const configured = client.configure({ rootPid: process.pid, sampleIntervalMs: 0 });
    const sampled = client.sampleNow();
    const exit = await client.shutdown();
    await configured;
    assert.equal(
      (await sampled).processes.some((p) => p.pid === process.pid),
      true,
    );
    assert.deepEqual(exit, { code: 0, signal: null });
    await assert.rejects(client.sampleNow(), {
      code: "monitor-exited",
      message: "treemon has been shut down",
    });
  });

  // [what, fake monitor script, expected code of the pending call, expected message pattern]
  const endings: [string, string, string, RegExp][] = [
    [
      "exits after reading a command",
      "read line; echo oops >&2; exit 3",
      "monitor-exited",
      /exited with status 3: oops/,
    ],
    [
      "writes a line that is not JSON",
      'read line; echo "not json"; exec sleep 5',
      "protocol-error",
      /not JSON: not json/,
    ],
    [
      "writes an unknown event",
      `read line; echo '{"version":2,"type":"party"}'; exec sleep 5`,
      "protocol-error",
      /unknown event type "party"/,
    ],
    [
      "writes an event of another version",
      `read line; echo '{"version":3,"type":"error"}'; exec sleep 5`,
      "protocol-error",
      /unsupported event version/,
    ],
    [
      "ends in the middle of a line",
      'read line; printf "{"; exit 0',
      "protocol-error",
      /middle of a line/,
    ],
  ];
  for (const [what, script, code, message] of endings) {
    test(`a monitor that ${what} fails the pending call`, async () => {
      const client = await TreemonClient.start({
        binaryPath: fakeMonitor(`echo '${HELLO}'\n${script}`),
      });
      const result = await outcome(client.sampleNow());
      assert.ok(!result.ok);
      assert.equal(result.error.code, code);
      assert.match(result.error.message, message);
      await client.exited;
    });
  }

  // [what, fake monitor script, expected message pattern]
  const failedStarts: [string, string | undefined, RegExp][] = [
    ["a missing executable", undefined, /ENOENT/],
    [
      "a first line that is not a hello",
      `echo '{"version":2,"type":"historyChunk","requestId":"a","done":true,"snapshots":[]}'; exec sleep 5`,
      /first event is historyChunk/,
    ],
    ["an exit before the hello", "exit 1", /exited with status 1/],
  ];
  for (const [what, script, message] of failedStarts) {
    test(`start fails on ${what}`, async () => {
      const binaryPath = script === undefined ? `${BINARY}-does-not-exist` : fakeMonitor(script);
      await assert.rejects(TreemonClient.start({ binaryPath }), (e: TreemonError) => {
        assert.equal(e.code, "start-failed");
        assert.match(e.message, message);
        return true;
      });
    });
  }

  test("start gives up when no hello comes in time", async () => {
    const binaryPath = fakeMonitor("sleep 30");
    await assert.rejects(TreemonClient.start({ binaryPath, helloTimeoutMs: 300 }), {
      code: "start-failed",
      message: /no hello within 300 ms/,
    });
  });
});
