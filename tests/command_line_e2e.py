#!/usr/bin/env python3
"""The treemon executable's command line, end to end: every argument list below against the real
program, its exact standard output and error and its exit status, and, with no arguments, the
hello of the monitor carrying the same version, platform and architecture. Usage:

    command_line_e2e.py VERSION PLATFORM ARCH PROGRAM [LAUNCHER...]

LAUNCHER runs the program for another system (qemu-aarch64, wine). Exits 1 on the first failure.
"""

import json
import subprocess
import sys

TIMEOUT_S = 120  # generous: under Wine or an emulator on a loaded machine start-up is slow

SYNOPSIS = "Usage: treemon [--help | --version]\n"


def run(command, arguments, stdin_text=None):
    """Runs with standard input left open unless text is given, so a program that waits for
    commands instead of answering its arguments times out."""
    process = subprocess.Popen(
        command + arguments, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    try:
        if stdin_text is not None:
            process.stdin.write(stdin_text.encode())
            process.stdin.flush()
        out, err = process.communicate(timeout=TIMEOUT_S) if stdin_text is not None else wait_with_open_input(process)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        raise AssertionError("%s did not exit within %d s" % (arguments, TIMEOUT_S))
    return process.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


def wait_with_open_input(process):
    process.wait(timeout=TIMEOUT_S)
    out, err = process.stdout.read(), process.stderr.read()
    process.stdin.close()
    return out, err


def main():
    version, platform, arch, program, *launcher = sys.argv[1:]
    command = launcher + [program]
    version_line = "treemon %s (%s %s)\n" % (version, platform, arch)
    usage_error = lambda text: "treemon: %s\n%s" % (text, SYNOPSIS)
    cases = [
        # arguments, status, standard output (None: the help text), standard error
        (["--version"], 0, version_line, ""),
        (["--help"], 0, None, ""),
        (["--verbose"], 2, "", usage_error("unknown argument '--verbose'")),
        (["-h"], 2, "", usage_error("unknown argument '-h'")),
        (["/?"], 2, "", usage_error("unknown argument '/?'")),
        (["--version", "--version"], 2, "", usage_error("unexpected argument '--version'")),
        (["1234"], 2, "", usage_error("unknown argument '1234'")),
    ]
    failures = 0
    for arguments, status, output, error in cases:
        got = run(command, arguments)
        if output is None:
            ok = (
                got[0] == status
                and got[1].startswith(SYNOPSIS)
                and "newline-delimited JSON" in got[1]
                and "protocol.md" in got[1]
                and "\r" not in got[1]
                and got[2] == error
            )
        else:
            ok = got == (status, output, error)
        if not ok:
            failures += 1
            print("[  FAILED  ] %r: got status %r, stdout %r, stderr %r" % (arguments, *got))
        else:
            print("[  PASSED  ] %r" % (arguments,))

    status, out, err = run(command, [], '{"version":2,"type":"shutdown"}\n')
    hello = json.loads(out.splitlines()[0]) if out else {}
    got = (status, hello.get("sidecarVersion"), hello.get("platform"), hello.get("arch"), err)
    if got != (0, version, platform, arch, ""):
        failures += 1
        print("[  FAILED  ] no arguments: status, hello version, platform, arch, stderr: %r" % (got,))
    else:
        print("[  PASSED  ] no arguments: the monitor, with the same version, platform and architecture")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
