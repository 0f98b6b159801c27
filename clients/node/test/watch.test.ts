// The treemon-watch launcher: the native tool's status, arguments, signal death and Ctrl-C pass
// through it unchanged.

import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import * as path from "node:path";
import { describe, test } from "node:test";

import { fakeMonitor } from "./helpers";

/** The native tool under test: $TREEMON_WATCH_BINARY, else build/treemon-watch of this tree. */
const NATIVE =
  process.env["TREEMON_WATCH_BINARY"] ??
  path.resolve(__dirname, "..", "..", "..", "..", "build", "treemon-watch");
const LAUNCHER = path.resolve(__dirname, "..", "src", "watch.js");

interface Ending {
  code: number | null;
  signal: NodeJS.Signals | null;
  stdout: string;
  stderr: string;
}

/** Runs the launcher on `tool`. With `interrupt`, the launcher leads a process group of its own,
 * and SIGINT goes to the whole group, as a terminal's Ctrl-C does, once the tool says "ready". */
function launch(tool: string, args: string[], interrupt = false): Promise<Ending> {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [LAUNCHER, ...args], {
      env: { ...process.env, TREEMON_WATCH_BINARY: tool },
      stdio: ["ignore", "pipe", "pipe"],
      detached: interrupt,
    });
    let stdout = "";
    let stderr = "";
    child.stdout!.on("data", (chunk) => (stdout += chunk));
    child.stderr!.on("data", (chunk) => {
      const ready = !stderr.includes("ready\n");
      stderr += chunk;
      if (interrupt && ready && stderr.includes("ready\n")) process.kill(-child.pid!, "SIGINT");
    });
    child.on("error", reject);
    child.on("close", (code, signal) => resolve({ code, signal, stdout, stderr }));
  });
}

describe("treemon-watch launcher", { skip: process.platform === "win32" }, () => {
  test("runs the native tool and returns the command's status", async () => {
    const end = await launch(NATIVE, ["--interval", "250", "--", "sh", "-c", "exit 3"]);
    assert.equal(end.code, 3, end.stderr);
    assert.match(end.stderr, /^summary: sh -c exit 3$/m);
  });

  test("passes every argument through untouched", async () => {
    const args = ["--csv", "a b.csv", "--", "printf", "%s\n", "", "--treemon", "é"];
    const tool = fakeMonitor('for a in "$@"; do printf "<%s>\\n" "$a"; done');
    const end = await launch(tool, args);
    assert.equal(end.code, 0, end.stderr);
    assert.equal(end.stdout, args.map((a) => `<${a}>\n`).join(""));
  });

  // [what, the stand-in's script, its end as the launcher's parent sees it]
  const endings: [string, string, number | null, NodeJS.Signals | null][] = [
    ["an exit status above 128", "exit 200", 200, null],
    ["death by a signal, raised again", "kill -TERM $$", null, "SIGTERM"],
    ["death by a signal the runtime ignores, as 128 + N", "kill -PIPE $$", 141, null],
  ];
  for (const [what, script, code, signal] of endings) {
    test(what, async () => {
      const end = await launch(fakeMonitor(script), []);
      assert.deepEqual([end.code, end.signal], [code, signal], end.stderr);
    });
  }

  test("Ctrl-C to the whole group leaves the launcher waiting for the tool's own end", async () => {
    // The stand-in takes a while to end after the interrupt, as the tool does with its summary.
    const tool = fakeMonitor(
      "trap 'sleep 1; echo summary >&2; exit 130' INT; echo ready >&2; while :; do sleep 0.1; done",
    );
    const end = await launch(tool, [], true);
    assert.deepEqual([end.code, end.signal], [130, null]);
    assert.match(end.stderr, /summary\n$/);
  });

  test("a missing tool is one line of error and status 1", async () => {
    const end = await launch("/nonexistent/treemon-watch", ["--", "true"]);
    assert.equal(end.code, 1);
    assert.equal(
      end.stderr,
      "treemon-watch: cannot use the treemon-watch executable /nonexistent/treemon-watch " +
        "(TREEMON_WATCH_BINARY): no such file (ENOENT)\n",
    );
  });
});
