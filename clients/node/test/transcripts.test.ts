// The Node client on the scripted monitor transcripts of tests/transcripts, which the Python
// client's tests play too: both clients must give the same outcomes for the same conversation.

import assert from "node:assert/strict";
import { readdirSync, readFileSync } from "node:fs";
import * as path from "node:path";
import { test } from "node:test";

import { TreemonClient, TreemonError, type Snapshot } from "../src/index";
import { fakeMonitor } from "./helpers";

const TRANSCRIPTS = path.resolve(__dirname, "..", "..", "..", "..", "tests", "transcripts");

interface Call {
  call: string;
  args?: unknown[];
  count?: number;
}
interface Case {
  name: string;
  pipelined?: boolean;
  calls?: Call[];
  outcomes?: unknown[];
  unattributed?: unknown[];
  exit?: unknown;
  start?: { code: string; messageEnd: string };
}

function errorRecord(error: TreemonError): unknown {
  return {
    code: error.code,
    message: error.message.replaceAll("treemon-node:", "treemon-CLIENT:"),
    recoverable: error.recoverable,
  };
}

function digest(value: unknown): unknown {
  if (value === undefined) return null;
  if (Array.isArray(value)) return { history: (value as Snapshot[]).map((s) => s.sequence) };
  const v = value as Record<string, unknown>;
  if (v["type"] === "snapshot")
    return {
      snapshot: {
        sequence: v["sequence"],
        pids: (v["processes"] as { pid: number }[]).map((p) => p.pid),
      },
    };
  return { exit: { code: v["code"], signal: v["signal"] } };
}

async function settle(promise: Promise<unknown>): Promise<unknown> {
  try {
    return digest(await promise);
  } catch (error) {
    if (error instanceof TreemonError) return { error: errorRecord(error) };
    if (error instanceof TypeError) return { argumentError: "type", message: error.message };
    if (error instanceof RangeError) return { argumentError: "range", message: error.message };
    throw error;
  }
}

class Player {
  stream: AsyncIterableIterator<Snapshot> | undefined;
  readonly unattributed: TreemonError[] = [];

  constructor(private readonly client: TreemonClient) {
    client.on("unattributedError", (e) => this.unattributed.push(e));
  }

  /** Starts the call; commands are written before this returns. */
  run(call: Call): Promise<unknown> {
    const c = this.client;
    const args = (call.args ?? []) as never[];
    switch (call.call) {
      case "configure":
        return c.configure(args[0]!);
      case "setExternalProcesses":
        return c.setExternalProcesses(args[0]!);
      case "setSampleInterval":
        return c.setSampleInterval(args[0]!);
      case "setStreaming":
        return c.setStreaming(args[0]!);
      case "sampleNow":
        return c.sampleNow();
      case "readHistory":
        return c.readHistory(args[0]!);
      case "shutdown":
        return c.shutdown();
      case "snapshots":
        this.stream = c.snapshots();
        return Promise.resolve(undefined);
      case "next":
        return this.stream!.next().then((r) => {
          if (r.done) throw new EndOfStream();
          return r.value;
        });
      case "awaitUnattributed":
        return (async () => {
          for (let i = 0; i < 1000 && this.unattributed.length < call.count!; i++)
            await new Promise((r) => setTimeout(r, 10));
        })();
      default:
        throw new Error(`unknown call ${call.call}`);
    }
  }
}

class EndOfStream extends Error {}

async function settleCall(promise: Promise<unknown>): Promise<unknown> {
  try {
    return await settle(promise);
  } catch (error) {
    if (error instanceof EndOfStream) return { end: true };
    throw error;
  }
}

for (const file of readdirSync(TRANSCRIPTS)
  .filter((f) => f.endsWith(".json"))
  .sort()) {
  const transcript = path.join(TRANSCRIPTS, file);
  const cases = (JSON.parse(readFileSync(transcript, "utf8")) as { cases: Case[] }).cases;
  cases.forEach((c, index) => {
    test(`${path.basename(file, ".json")}: ${c.name}`, async () => {
      const binaryPath = fakeMonitor(
        `exec python3 "${path.join(TRANSCRIPTS, "fake_monitor.py")}" "${transcript}" ${index}`,
      );
      if (c.start !== undefined) {
        await assert.rejects(TreemonClient.start({ binaryPath }), (e: TreemonError) => {
          assert.equal(e.code, c.start!.code);
          assert.equal(e.message, binaryPath + c.start!.messageEnd);
          return true;
        });
        return;
      }
      const client = await TreemonClient.start({ binaryPath });
      try {
        const player = new Player(client);
        const outcomes: unknown[] = [];
        if (c.pipelined) {
          const started = c.calls!.map((call) => player.run(call));
          for (const p of started) outcomes.push(await settleCall(p));
        } else {
          for (const call of c.calls!) outcomes.push(await settleCall(player.run(call)));
        }
        assert.deepEqual(outcomes, c.outcomes);
        assert.deepEqual(player.unattributed.map(errorRecord), c.unattributed ?? []);
        if (c.exit !== undefined) assert.deepEqual(await client.exited, c.exit);
      } finally {
        client.kill();
        await client.exited;
      }
    });
  });
}
