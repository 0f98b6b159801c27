#!/usr/bin/env node
// treemon-watch: the npm package's launcher of the native treemon-watch, the live view and
// recorder. It finds the executable as the client finds the monitor ($TREEMON_WATCH_BINARY, the
// binary the package carries, then PATH), passes every argument through untouched and ends as
// the native tool ended: with its exit status, or by the same signal.
//
// Ctrl-C reaches every process of the terminal's foreground group, the native tool included,
// which ends the command, prints its summary and exits with 130; npx may pass the signal on once
// more. So the launcher never forwards SIGINT, and only keeps it from ending the launcher before
// the tool. SIGTERM and SIGHUP are usually sent to one process, the launcher, and are passed on.

import { spawn } from "node:child_process";
import { constants } from "node:os";

import { findExecutable, WATCH } from "./locate";

const PASSED_ON: NodeJS.Signals[] = process.platform === "win32" ? [] : ["SIGTERM", "SIGHUP"];

function fail(message: string): never {
  process.stderr.write(`treemon-watch: ${message}\n`);
  process.exit(1);
}

/** Ends this process as the tool ended: by its signal when it died of one, else its status. */
function endAs(code: number | null, signal: NodeJS.Signals | null): void {
  process.removeAllListeners("SIGINT");
  for (const name of PASSED_ON) process.removeAllListeners(name);
  if (signal === null) process.exit(code ?? 1);
  process.kill(process.pid, signal);
  // A signal the runtime ignores (SIGPIPE) leaves the process alive: then 128 + N, as shells say.
  setTimeout(() => process.exit(128 + (constants.signals[signal] ?? 0)), 200);
}

async function main(): Promise<void> {
  const found = await findExecutable(WATCH, undefined, undefined);
  if ("problem" in found) fail(found.problem);
  process.on("SIGINT", () => {});
  const tool = spawn(found.path, process.argv.slice(2), { stdio: "inherit" });
  for (const name of PASSED_ON) process.on(name, () => tool.kill(name));
  tool.once("error", (error) => fail(`cannot start ${found.path}: ${error.message}`));
  tool.once("exit", endAs);
}

void main();
