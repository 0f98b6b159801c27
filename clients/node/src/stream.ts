// An async iterator over periodic snapshots. Snapshots that arrive before they are asked for are
// kept in arrival order; the iterator ends cleanly, or with the error it was ended with, once the
// queue is empty.

import type { TreemonError } from "./errors";
import type { Snapshot } from "./types";

type Waiter = { resolve: (r: IteratorResult<Snapshot>) => void; reject: (e: TreemonError) => void };

export class SnapshotStream implements AsyncIterableIterator<Snapshot> {
  private readonly queued: Snapshot[] = [];
  private readonly waiters: Waiter[] = [];
  private ended = false;
  private error: TreemonError | undefined;

  constructor(private readonly onClose: () => void) {}

  push(snapshot: Snapshot): void {
    const waiter = this.waiters.shift();
    if (waiter !== undefined) waiter.resolve({ value: snapshot, done: false });
    else this.queued.push(snapshot);
  }

  /** No more snapshots; readers get what is queued, then the end or `error`. */
  end(error?: TreemonError): void {
    if (this.ended) return;
    this.ended = true;
    this.error = error;
    for (const waiter of this.waiters.splice(0)) this.settleEnd(waiter);
  }

  next(): Promise<IteratorResult<Snapshot>> {
    const snapshot = this.queued.shift();
    if (snapshot !== undefined) return Promise.resolve({ value: snapshot, done: false });
    return new Promise((resolve, reject) => {
      const waiter = { resolve, reject };
      if (this.ended) this.settleEnd(waiter);
      else this.waiters.push(waiter);
    });
  }

  return(): Promise<IteratorResult<Snapshot>> {
    this.queued.length = 0;
    this.error = undefined;
    this.end();
    this.onClose();
    return Promise.resolve({ value: undefined, done: true });
  }

  [Symbol.asyncIterator](): AsyncIterableIterator<Snapshot> {
    return this;
  }

  private settleEnd(waiter: Waiter): void {
    const error = this.error;
    if (error === undefined) {
      waiter.resolve({ value: undefined, done: true });
      return;
    }
    this.error = undefined;
    waiter.reject(error);
  }
}
