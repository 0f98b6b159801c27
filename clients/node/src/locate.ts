// Finds the monitor's executable, first match wins:
//   1. the path the caller gives (the library's binaryPath, treemon-watch's --treemon),
//   2. the path in the environment variable TREEMON_BINARY,
//   3. the binary this package carries for the machine, bin/<platform>-<arch>/treemon[.exe],
//   4. the first executable treemon on PATH.
// A path named in 1-3 that cannot be used is an error, not a reason to look further: a broken
// install or a mistyped path should be reported, not hidden by another treemon on PATH. The
// packaged binary's header is checked against the machine, so that a binary for another system
// fails with a clear message instead of an exec error.

import { constants } from "node:fs";
import { access, open, stat } from "node:fs/promises";
import * as path from "node:path";

export const EXECUTABLE_NAME = process.platform === "win32" ? "treemon.exe" : "treemon";
export const BINARY_ENVIRONMENT_VARIABLE = "TREEMON_BINARY";

/** The package's root folder: this file is dist/src/locate.js inside it. */
export const PACKAGE_ROOT = path.resolve(__dirname, "..", "..");

/** The folder name of a platform's binary inside the package, e.g. "linux-x64", "win32-x64". */
export function platformKey(
  platform: string = process.platform,
  arch: string = process.arch,
): string {
  return `${platform}-${arch}`;
}

export function packagedBinary(
  platform: string = process.platform,
  arch: string = process.arch,
  packageRoot = PACKAGE_ROOT,
): string {
  return path.join(
    packageRoot,
    "bin",
    platformKey(platform, arch),
    platform === "win32" ? "treemon.exe" : "treemon",
  );
}

export type Location = { path: string } | { problem: string };

// ELF e_machine and PE machine values of the architectures treemon is built for.
const ELF_MACHINES: Record<number, string> = { 62: "x64", 183: "arm64", 3: "ia32", 40: "arm" };
const PE_MACHINES: Record<number, string> = { 0x8664: "x64", 0xaa64: "arm64", 0x14c: "ia32" };

/** The platform and architecture an executable is built for ("linux-arm64"), from its header;
 * undefined for anything else (a script, an unknown format, an unreadable file). */
export async function executableTarget(file: string): Promise<string | undefined> {
  let handle;
  try {
    handle = await open(file, "r");
  } catch {
    return undefined;
  }
  try {
    const header = Buffer.alloc(64);
    const { bytesRead } = await handle.read(header, 0, header.length, 0);
    if (bytesRead >= 20 && header.readUInt32BE(0) === 0x7f454c46 && header[5] === 1) {
      const arch = ELF_MACHINES[header.readUInt16LE(18)];
      return arch === undefined ? "linux-unknown" : `linux-${arch}`;
    }
    if (bytesRead >= 64 && header.toString("latin1", 0, 2) === "MZ") {
      const pe = Buffer.alloc(6);
      const peRead = await handle.read(pe, 0, pe.length, header.readUInt32LE(0x3c));
      if (peRead.bytesRead === 6 && pe.toString("latin1", 0, 4) === "PE\0\0") {
        const arch = PE_MACHINES[pe.readUInt16LE(4)];
        return arch === undefined ? "win32-unknown" : `win32-${arch}`;
      }
    }
    return undefined;
  } finally {
    await handle.close();
  }
}

/** Why `file` cannot be started on this machine, or undefined when it can. */
async function unusableBecause(file: string): Promise<string | undefined> {
  try {
    const info = await stat(file);
    if (!info.isFile()) return "not a file";
    if (process.platform !== "win32") await access(file, constants.X_OK);
  } catch (error) {
    const code = (error as NodeJS.ErrnoException).code;
    if (code === "ENOENT") return "no such file (ENOENT)";
    if (code === "EACCES") return "not executable (EACCES)";
    return `${(error as Error).message}`;
  }
  const target = await executableTarget(file);
  const machine = platformKey();
  if (target !== undefined && target !== machine)
    return `built for ${target}, not for this ${machine} machine`;
  return undefined;
}

async function isExecutable(file: string): Promise<boolean> {
  try {
    await access(file, process.platform === "win32" ? constants.F_OK : constants.X_OK);
    return (await stat(file)).isFile();
  } catch {
    return false;
  }
}

export function pathCandidates(searchPath = process.env["PATH"] ?? ""): string[] {
  return searchPath
    .split(path.delimiter)
    .filter((dir) => dir.length > 0)
    .map((dir) => path.join(dir, EXECUTABLE_NAME));
}

/**
 * Finds the executable. `explicitName` is how the caller's user names the explicit path
 * ("binaryPath" for the library, "--treemon PATH" for treemon-watch), for the error texts.
 */
export async function findMonitor(
  explicit: string | undefined,
  explicitName = "binaryPath",
  environment: NodeJS.ProcessEnv = process.env,
  packageRoot = PACKAGE_ROOT,
): Promise<Location> {
  const fromEnvironment = environment[BINARY_ENVIRONMENT_VARIABLE];
  const named: [string | undefined, string][] = [
    [explicit, explicitName],
    [fromEnvironment === "" ? undefined : fromEnvironment, BINARY_ENVIRONMENT_VARIABLE],
  ];
  for (const [file, source] of named) {
    if (file === undefined) continue;
    const problem = await unusableBecause(file);
    return problem === undefined
      ? { path: file }
      : { problem: `cannot use the treemon executable ${file} (${source}): ${problem}` };
  }
  const packaged = packagedBinary(process.platform, process.arch, packageRoot);
  if (
    await stat(packaged).then(
      () => true,
      () => false,
    )
  ) {
    const problem = await unusableBecause(packaged);
    if (problem === undefined) return { path: packaged };
    return {
      problem:
        `cannot use the treemon executable this package carries, ${packaged}: ${problem}; ` +
        `reinstall the package, or pass ${explicitName} or set ${BINARY_ENVIRONMENT_VARIABLE}`,
    };
  }
  for (const candidate of pathCandidates(environment["PATH"] ?? "")) {
    if (await isExecutable(candidate)) return { path: candidate };
  }
  return {
    problem:
      `treemon executable not found: this package carries none for ${platformKey()} and there is none on PATH; ` +
      `pass ${explicitName}, set ${BINARY_ENVIRONMENT_VARIABLE} or put treemon on PATH`,
  };
}

/** The executable to start, or undefined when none was found. */
export async function locateMonitor(explicit?: string): Promise<string | undefined> {
  const found = await findMonitor(explicit);
  return "path" in found ? found.path : undefined;
}
