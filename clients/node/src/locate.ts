// Finds one of the package's executables, the monitor (treemon) or the native live view and
// recorder (treemon-watch), first match wins:
//   1. the path the caller gives (the library's binaryPath; the treemon-watch launcher has none),
//   2. the path in the tool's environment variable, TREEMON_BINARY or TREEMON_WATCH_BINARY,
//   3. the binary this package carries for the machine, bin/<platform>-<arch>/<tool>[.exe],
//   4. the first executable <tool> on PATH.
// A path named in 1-3 that cannot be used is an error, not a reason to look further: a broken
// install or a mistyped path should be reported, not hidden by another treemon on PATH. On PATH,
// this package's own scripts are passed over: npm links the treemon-watch launcher onto PATH
// (node_modules/.bin, a global install) under the native tool's name, and a launcher that started
// itself would do so without end. The
// packaged binary's header is checked against the machine, so that a binary for another system
// fails with a clear message instead of an exec error.

import { constants } from "node:fs";
import { access, open, realpath, stat } from "node:fs/promises";
import * as path from "node:path";

/** An executable the package carries: its name without ".exe", and the variable that names it. */
export interface Tool {
  name: string;
  variable: string;
}
export const MONITOR: Tool = { name: "treemon", variable: "TREEMON_BINARY" };
export const WATCH: Tool = { name: "treemon-watch", variable: "TREEMON_WATCH_BINARY" };

export function executableName(tool: Tool, platform: string = process.platform): string {
  return platform === "win32" ? `${tool.name}.exe` : tool.name;
}

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
  tool: Tool = MONITOR,
): string {
  return path.join(packageRoot, "bin", platformKey(platform, arch), executableName(tool, platform));
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

/** Whether `file` is one of this package's own scripts, under its dist folder. */
async function isPackageScript(file: string, packageRoot: string): Promise<boolean> {
  try {
    const [real, root] = await Promise.all([realpath(file), realpath(packageRoot)]);
    return real.startsWith(path.join(root, "dist") + path.sep);
  } catch {
    return false;
  }
}

export function pathCandidates(
  searchPath = process.env["PATH"] ?? "",
  tool: Tool = MONITOR,
): string[] {
  return searchPath
    .split(path.delimiter)
    .filter((dir) => dir.length > 0)
    .map((dir) => path.join(dir, executableName(tool)));
}

/**
 * Finds the monitor. `explicitName` is how the caller's user names the explicit path
 * ("binaryPath" for the library), for the error texts.
 */
export function findMonitor(
  explicit: string | undefined,
  explicitName = "binaryPath",
  environment: NodeJS.ProcessEnv = process.env,
  packageRoot = PACKAGE_ROOT,
): Promise<Location> {
  return findExecutable(MONITOR, explicit, explicitName, environment, packageRoot);
}

/** Finds `tool`; `explicitName` is undefined where the caller offers no explicit path. */
export async function findExecutable(
  tool: Tool,
  explicit: string | undefined,
  explicitName: string | undefined,
  environment: NodeJS.ProcessEnv = process.env,
  packageRoot = PACKAGE_ROOT,
): Promise<Location> {
  const fromEnvironment = environment[tool.variable];
  const named: [string | undefined, string | undefined][] = [
    [explicit, explicitName],
    [fromEnvironment === "" ? undefined : fromEnvironment, tool.variable],
  ];
  for (const [file, source] of named) {
    if (file === undefined) continue;
    const problem = await unusableBecause(file);
    return problem === undefined
      ? { path: file }
      : { problem: `cannot use the ${tool.name} executable ${file} (${source}): ${problem}` };
  }
  const packaged = packagedBinary(process.platform, process.arch, packageRoot, tool);
  const pass = explicitName === undefined ? "" : `pass ${explicitName}, `;
  if (
    await stat(packaged).then(
      () => true,
      () => false,
    )
  ) {
    const problem = await unusableBecause(packaged);
    if (problem === undefined) return { path: packaged };
    const passOr = explicitName === undefined ? "" : `pass ${explicitName} or `;
    return {
      problem:
        `cannot use the ${tool.name} executable this package carries, ${packaged}: ${problem}; ` +
        `reinstall the package, or ${passOr}set ${tool.variable}`,
    };
  }
  for (const candidate of pathCandidates(environment["PATH"] ?? "", tool)) {
    if ((await isExecutable(candidate)) && !(await isPackageScript(candidate, packageRoot)))
      return { path: candidate };
  }
  return {
    problem:
      `${tool.name} executable not found: this package carries none for ${platformKey()} and there is none on PATH; ` +
      `${pass}set ${tool.variable} or put ${tool.name} on PATH`,
  };
}

/** The executable to start, or undefined when none was found. */
export async function locateMonitor(explicit?: string): Promise<string | undefined> {
  const found = await findMonitor(explicit);
  return "path" in found ? found.path : undefined;
}
