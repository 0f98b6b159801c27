// The processes a command left running when it ended. They have left its tree (the monitor follows
// descendants of a live root only), so the monitor is asked about every process seen so far as an
// external process, by pid and start time (a reused pid does not match), and reports those still
// running with what they started since.

import type { TreemonClient } from "../client";
import type { ProcessSample } from "../types";

const KILL_ROUNDS = 10;

/** The processes of `candidates` (and their descendants) that still run, besides `rootPid`. */
export async function stillRunning(
  client: TreemonClient,
  candidates: ProcessSample[],
  rootPid: number,
) {
  await client.setExternalProcesses(
    candidates
      .filter((p) => p.pid !== rootPid)
      .map((p) => ({ pid: p.pid, startTimeMs: p.startTimeMs })),
  );
  const snapshot = await client.sampleNow();
  // The command's pid may already belong to another process.
  return { snapshot, processes: snapshot.processes.filter((p) => p.pid !== rootPid) };
}

/**
 * Ends the processes left running and what they start meanwhile: SIGTERM first, SIGKILL for those
 * still there in the last two rounds. Returns every process it signalled.
 */
export async function killAll(
  client: TreemonClient,
  processes: ProcessSample[],
  rootPid: number,
): Promise<ProcessSample[]> {
  const signalled = new Map<number, ProcessSample>();
  let remaining = processes;
  for (let round = 0; remaining.length > 0 && round < KILL_ROUNDS; round++) {
    for (const p of remaining) {
      if (!signalled.has(p.pid)) signalled.set(p.pid, p);
      try {
        process.kill(p.pid, round < KILL_ROUNDS - 2 ? "SIGTERM" : "SIGKILL");
      } catch {
        // gone already
      }
    }
    // A zombie has ended; only its parent's wait is missing.
    remaining = (await stillRunning(client, remaining, rootPid)).processes.filter(
      (p) => p.status !== "Zombie",
    );
  }
  return [...signalled.values()];
}
