// Shared by the tests: where the monitor is, small process trees, fake monitors.

import { spawn, type ChildProcess } from "node:child_process";
import { chmodSync, mkdtempSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import * as path from "node:path";

import { TreemonClient } from "../src/index";

/** The monitor under test: $TREEMON_BINARY, else build/treemon of this repository. */
export const BINARY =
  process.env["TREEMON_BINARY"] ??
  path.resolve(__dirname, "..", "..", "..", "..", "build", "treemon");

export function startClient(): Promise<TreemonClient> {
  return TreemonClient.start({ binaryPath: BINARY });
}

/** A shell with two sleeping children, in a process group of its own. */
export function startTree(): ChildProcess {
  return spawn("sh", ["-c", "sleep 60 & sleep 60 & wait"], { detached: true, stdio: "ignore" });
}

export function killTree(tree: ChildProcess): void {
  try {
    process.kill(-tree.pid!, "SIGKILL");
  } catch {
    // already gone
  }
}

/** Waits until `check` passes, polling the real processes (no fixed sleeps in assertions). */
export async function eventually<T>(
  probe: () => Promise<T>,
  accept: (value: T) => boolean,
  tries = 50,
): Promise<T> {
  let last = await probe();
  for (let i = 0; i < tries && !accept(last); i++) {
    await new Promise((r) => setTimeout(r, 100));
    last = await probe();
  }
  return last;
}

/** An executable shell script standing in for the monitor. */
export function fakeMonitor(script: string): string {
  const dir = mkdtempSync(path.join(tmpdir(), "treemon-fake-"));
  const file = path.join(dir, "treemon");
  writeFileSync(file, `#!/bin/sh\n${script}\n`);
  chmodSync(file, 0o755);
  return file;
}

export const HELLO =
  '{"version":2,"type":"hello","sidecarVersion":"0.1.0","sidecarPid":1,"platform":"linux","arch":"x86_64","capabilities":{"cumulativeCpuTime":true,"currentCpuPercent":true,"residentMemory":true,"virtualMemory":true,"ioBytes":true,"processStartTime":true,"processTree":true}}';

/** Settles a promise into a comparable record. */
export async function outcome<T>(
  promise: Promise<T>,
): Promise<{ ok: true; value: T } | { ok: false; error: any }> {
  try {
    return { ok: true, value: await promise };
  } catch (error) {
    return { ok: false, error };
  }
}
