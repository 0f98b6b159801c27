// Where the client finds the monitor, and what it says when it cannot.

import assert from "node:assert/strict";
import { chmodSync, mkdirSync, mkdtempSync, symlinkSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import * as path from "node:path";
import { describe, test } from "node:test";

import {
  executableTarget,
  findExecutable,
  findMonitor,
  packagedBinary,
  platformKey,
  WATCH,
} from "../src/locate";

const dir = mkdtempSync(path.join(tmpdir(), "treemon-locate-"));

function file(name: string, bytes: Buffer, mode = 0o755): string {
  const at = path.join(dir, name);
  writeFileSync(at, bytes);
  chmodSync(at, mode);
  return at;
}

function elf(machine: number): Buffer {
  const header = Buffer.alloc(64);
  header.writeUInt32BE(0x7f454c46, 0);
  header[4] = 2; // 64-bit
  header[5] = 1; // little endian
  header.writeUInt16LE(machine, 18);
  return header;
}

function pe(machine: number): Buffer {
  const image = Buffer.alloc(0x90);
  image.write("MZ", 0, "latin1");
  image.writeUInt32LE(0x80, 0x3c);
  image.write("PE\0\0", 0x80, "latin1");
  image.writeUInt16LE(machine, 0x84);
  return image;
}

describe("executableTarget", () => {
  // [what, bytes, target]
  const cases: [string, Buffer, string | undefined][] = [
    ["an x86-64 ELF", elf(62), "linux-x64"],
    ["an arm64 ELF", elf(183), "linux-arm64"],
    ["an ELF of another machine", elf(8), "linux-unknown"],
    ["an x86-64 PE", pe(0x8664), "win32-x64"],
    ["an arm64 PE", pe(0xaa64), "win32-arm64"],
    [
      "an MZ header with no PE signature",
      Buffer.concat([Buffer.from("MZ"), Buffer.alloc(100)]),
      undefined,
    ],
    ["a script", Buffer.from("#!/bin/sh\nexit 0\n"), undefined],
    ["an empty file", Buffer.alloc(0), undefined],
  ];
  for (const [what, bytes, target] of cases) {
    test(what, async () =>
      assert.equal(await executableTarget(file(what.replace(/\W/g, "_"), bytes)), target),
    );
  }
});

describe("findMonitor", () => {
  const script = file("fake-monitor", Buffer.from("#!/bin/sh\nexit 0\n"));
  const notExecutable = file("not-executable", Buffer.from("#!/bin/sh\n"), 0o644);
  const otherMachine = file("other-machine", process.arch === "arm64" ? elf(62) : elf(183));
  const noPath = { PATH: "" };

  // [what, explicit path, environment, the path found or a pattern of the problem]
  const cases: [string, string | undefined, NodeJS.ProcessEnv, string | RegExp][] = [
    [
      "an explicit path wins over TREEMON_BINARY",
      script,
      { ...noPath, TREEMON_BINARY: "/nonexistent" },
      script,
    ],
    [
      "TREEMON_BINARY is used without an explicit path",
      undefined,
      { ...noPath, TREEMON_BINARY: script },
      script,
    ],
    [
      "a missing explicit path is named with its option",
      "/nonexistent/treemon",
      noPath,
      /^cannot use the treemon executable \/nonexistent\/treemon \(binaryPath\): no such file \(ENOENT\)$/,
    ],
    [
      "a missing TREEMON_BINARY is named as such",
      undefined,
      { ...noPath, TREEMON_BINARY: "/nonexistent/treemon" },
      /\(TREEMON_BINARY\): no such file/,
    ],
    ["a folder is not a program", dir, noPath, /: not a file$/],
    ...(process.platform === "win32" || process.getuid?.() === 0
      ? []
      : [
          [
            "a file without execute permission",
            notExecutable,
            noPath,
            /: not executable \(EACCES\)$/,
          ] as [string, string, NodeJS.ProcessEnv, RegExp],
        ]),
    [
      "a binary for another machine",
      otherMachine,
      noPath,
      new RegExp(`: built for linux-(arm64|x64), not for this ${platformKey()} machine$`),
    ],
  ];
  for (const [what, explicit, environment, expected] of cases) {
    test(what, async () => {
      const found = await findMonitor(explicit, "binaryPath", environment);
      if (typeof expected === "string") assert.deepEqual(found, { path: expected });
      else assert.match("problem" in found ? found.problem : `found ${found.path}`, expected);
    });
  }

  // A package folder of the test's own, with or without a carried binary.
  function packageWith(binary: Buffer | undefined): string {
    const root = mkdtempSync(path.join(tmpdir(), "treemon-package-"));
    if (binary !== undefined) {
      const at = packagedBinary(process.platform, process.arch, root);
      mkdirSync(path.dirname(at), { recursive: true });
      writeFileSync(at, binary, { mode: 0o755 });
    }
    return root;
  }
  const onPath = mkdtempSync(path.join(tmpdir(), "treemon-path-"));
  writeFileSync(
    path.join(onPath, process.platform === "win32" ? "treemon.exe" : "treemon"),
    "#!/bin/sh\n",
    { mode: 0o755 },
  );

  test("the carried binary wins over PATH", async () => {
    const root = packageWith(Buffer.from("#!/bin/sh\n"));
    assert.deepEqual(await findMonitor(undefined, "binaryPath", { PATH: onPath }, root), {
      path: packagedBinary(process.platform, process.arch, root),
    });
  });

  test("a carried binary for another machine is an error, not a reason to try PATH", async () => {
    const found = await findMonitor(
      undefined,
      "binaryPath",
      { PATH: onPath },
      packageWith(process.arch === "arm64" ? elf(62) : elf(183)),
    );
    assert.match(
      "problem" in found ? found.problem : "",
      new RegExp(
        `^cannot use the treemon executable this package carries, .*: built for linux-\\w+, not for this ${platformKey()} machine; ` +
          "reinstall the package, or pass binaryPath or set TREEMON_BINARY$",
      ),
    );
  });

  test("without a carried binary PATH is searched", async () => {
    assert.deepEqual(
      await findMonitor(
        undefined,
        "binaryPath",
        { PATH: `/nonexistent${path.delimiter}${onPath}` },
        packageWith(undefined),
      ),
      { path: path.join(onPath, process.platform === "win32" ? "treemon.exe" : "treemon") },
    );
  });

  test("nothing found names the caller's own option", async () => {
    assert.deepEqual(
      await findMonitor(undefined, "binaryPath", { PATH: dir }, packageWith(undefined)),
      {
        problem:
          `treemon executable not found: this package carries none for ${platformKey()} and there is none on PATH; ` +
          "pass binaryPath, set TREEMON_BINARY or put treemon on PATH",
      },
    );
  });
});

describe("findExecutable of treemon-watch", () => {
  const root = mkdtempSync(path.join(tmpdir(), "treemon-package-"));
  const carried = packagedBinary(process.platform, process.arch, root, WATCH);
  const monitorOnly = packagedBinary(process.platform, process.arch, root);
  mkdirSync(path.dirname(carried), { recursive: true });
  writeFileSync(monitorOnly, "#!/bin/sh\n", { mode: 0o755 });

  test("the monitor beside it is not taken for it, and without a path option none is offered", async () => {
    assert.deepEqual(await findExecutable(WATCH, undefined, undefined, { PATH: "" }, root), {
      problem:
        `treemon-watch executable not found: this package carries none for ${platformKey()} and there is none on PATH; ` +
        "set TREEMON_WATCH_BINARY or put treemon-watch on PATH",
    });
  });

  test("its own variable names it, and TREEMON_BINARY does not", async () => {
    const script = file("fake-watch", Buffer.from("#!/bin/sh\n"));
    const environment = { PATH: "", TREEMON_BINARY: "/nonexistent" };
    assert.deepEqual(
      await findExecutable(
        WATCH,
        undefined,
        undefined,
        { ...environment, TREEMON_WATCH_BINARY: script },
        root,
      ),
      { path: script },
    );
  });

  test("the package's own launcher linked onto PATH under the tool's name is passed over", async () => {
    const launcher = path.join(root, "dist", "src", "watch.js");
    mkdirSync(path.dirname(launcher), { recursive: true });
    writeFileSync(launcher, "#!/usr/bin/env node\n", { mode: 0o755 });
    const bin = mkdtempSync(path.join(tmpdir(), "treemon-bin-"));
    symlinkSync(launcher, path.join(bin, "treemon-watch"));
    const found = await findExecutable(WATCH, undefined, undefined, { PATH: bin }, root);
    assert.match(
      "problem" in found ? found.problem : `found ${found.path}`,
      /^treemon-watch executable not found/,
    );
  });

  test("the carried one sits beside the monitor and is checked as it is", async () => {
    writeFileSync(carried, process.arch === "arm64" ? elf(62) : elf(183), { mode: 0o755 });
    const found = await findExecutable(WATCH, undefined, undefined, { PATH: "" }, root);
    assert.equal(path.dirname(carried), path.dirname(monitorOnly));
    assert.match(
      "problem" in found ? found.problem : "",
      new RegExp(
        `^cannot use the treemon-watch executable this package carries, .*: built for linux-\\w+, not for this ${platformKey()} machine; ` +
          "reinstall the package, or set TREEMON_WATCH_BINARY$",
      ),
    );
  });
});
