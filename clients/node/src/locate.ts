// Finds the monitor's executable: a path the caller gives, else bin/treemon (bin/treemon.exe on
// Windows) inside this package, else the first executable treemon on PATH.

import { constants } from 'node:fs';
import { access } from 'node:fs/promises';
import * as path from 'node:path';

export const EXECUTABLE_NAME = process.platform === 'win32' ? 'treemon.exe' : 'treemon';

/** The package's root folder: this file is dist/src/locate.js inside it. */
export const PACKAGE_ROOT = path.resolve(__dirname, '..', '..');

async function isExecutable(file: string): Promise<boolean> {
  try {
    await access(file, process.platform === 'win32' ? constants.F_OK : constants.X_OK);
    return true;
  } catch {
    return false;
  }
}

export function candidatePaths(searchPath = process.env['PATH'] ?? ''): string[] {
  const beside = path.join(PACKAGE_ROOT, 'bin', EXECUTABLE_NAME);
  const onPath = searchPath
    .split(path.delimiter)
    .filter((dir) => dir.length > 0)
    .map((dir) => path.join(dir, EXECUTABLE_NAME));
  return [beside, ...onPath];
}

/** The executable to start, or undefined when none was found. */
export async function locateMonitor(explicit?: string): Promise<string | undefined> {
  if (explicit !== undefined) return explicit;
  for (const candidate of candidatePaths()) {
    if (await isExecutable(candidate)) return candidate;
  }
  return undefined;
}
