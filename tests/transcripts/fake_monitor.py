"""A scripted stand-in for the monitor, for the client tests of every language.

Usage: fake_monitor.py TRANSCRIPT.json CASE_INDEX

Plays the "monitor" steps of one case of a transcript, in order, on its standard streams:
  {"write": TEXT}          TEXT and a line feed; {{requestId}} stands for the request id of the
                           last command read
  {"writeRaw": TEXT}       TEXT alone, no line feed
  {"hello": true}          the hello of a Linux monitor
  {"snapshot": {"sequence": N, "pids": [...], "answer": true, "rowDrop": [...], "rowSet": {...}}}
                           a snapshot with a row per pid; "answer" adds the last request id;
                           every row loses the members of "rowDrop" and takes those of "rowSet"
  {"chunk": {"sequences": [...], "done": BOOL}}
                           a history chunk answering the last command read
  {"error": CODE}          an error event with the monitor's text for CODE ("not-configured" takes
                           "message" from the step, default the sampling text)
  {"read": TEXT}           reads one command line, which must equal TEXT once the value of its
                           requestId member is replaced by *; anything else ends the fake with
                           status 99 and the line on standard error
  {"nested": N}            a line of N "[" and N "]": JSON nested N levels deep
  {"flood": N}             N bytes "x", no line feed
  {"closeOutput": true}    closes standard output and goes on running
  {"exit": N, "stderr": T} writes T to standard error and exits with status N
  {"killSelf": true}       ends itself with SIGKILL
After the last step it reads until its input ends, then exits with status 0.
"""

import json
import os
import re
import signal
import sys
from typing import Any, Dict, List, Optional

HELLO = (
    '{"version":2,"type":"hello","sidecarVersion":"0.1.0","sidecarPid":%d,"platform":"linux",'
    '"arch":"x86_64","capabilities":{"cumulativeCpuTime":true,"currentCpuPercent":true,'
    '"residentMemory":true,"virtualMemory":true,"ioBytes":true,"processStartTime":true,"processTree":true}}'
)
MESSAGES = {
    "not-configured": "configure must be sent before sampling",
    "invalid-command": "invalid command: missing field `type` at line 1 column 2",
    "protocol-mismatch": "unsupported protocol version 3; expected 2",
}


def row(pid: int) -> Dict[str, Any]:
    return {
        "pid": pid,
        "ppid": 1,
        "startTimeMs": 1700000000000,
        "runTimeMs": 5000,
        "name": f"p{pid}",
        "command": f"p{pid} --run",
        "status": "Sleep",
        "cpuPercent": 1.5,
        "cpuTimeMs": 120,
        "residentBytes": 4096 * pid,
        "virtualBytes": 8192,
        "ioReadBytes": 100,
        "ioWriteBytes": 10,
        "ioSemantics": "all-io",
    }


def changed_row(pid: int, drop: List[str], changes: Dict[str, Any]) -> Dict[str, Any]:
    r = {k: v for k, v in row(pid).items() if k not in drop}
    r.update(changes)
    return r


def snapshot(
    sequence: int,
    pids: List[int],
    request_id: Any,
    drop: Optional[List[str]] = None,
    changes: Optional[Dict[str, Any]] = None,
) -> Dict[str, Any]:
    event: Dict[str, Any] = {
        "version": 2,
        "type": "snapshot",
        "sequence": sequence,
        "sampledAtUnixMs": 1700000000000 + sequence,
        "collectionDurationMicros": 500,
        "scannedProcessCount": 100,
        "retainedProcessCount": len(pids),
        "inaccessibleProcessCount": 0,
    }
    if request_id is not None:
        event["requestId"] = request_id
    event["externalProcesses"] = []
    event["processes"] = [changed_row(pid, drop or [], changes or {}) for pid in pids]
    return event


def chunk(request_id: str, sequences: List[int], done: bool) -> Dict[str, Any]:
    return {
        "version": 2,
        "type": "historyChunk",
        "requestId": request_id,
        "done": done,
        "snapshots": [snapshot(n, [], None) for n in sequences],
    }


def error(code: str, message: str) -> Dict[str, Any]:
    return {"version": 2, "type": "error", "code": code, "message": message, "recoverable": code != "protocol-mismatch"}


def text(value: Any) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def main() -> None:
    case = json.loads(open(sys.argv[1], encoding="utf-8").read())["cases"][int(sys.argv[2])]
    out = sys.stdout.buffer
    last_request = ""

    def put(line: str, end: str = "\n") -> None:
        out.write((line + end).encode("utf-8"))
        out.flush()

    for step in case["monitor"]:
        if "write" in step:
            put(step["write"].replace("{{requestId}}", last_request))
        elif "writeRaw" in step:
            put(step["writeRaw"], end="")
        elif "hello" in step:
            put(HELLO % os.getpid())
        elif "snapshot" in step:
            s = step["snapshot"]
            put(
                text(
                    snapshot(
                        s["sequence"],
                        s.get("pids", []),
                        last_request if s.get("answer") else None,
                        s.get("rowDrop"),
                        s.get("rowSet"),
                    )
                )
            )
        elif "chunk" in step:
            c = step["chunk"]
            put(text(chunk(last_request, c.get("sequences", []), c["done"])))
        elif "error" in step:
            code = step["error"]
            put(text(error(code, step.get("message", MESSAGES[code]))))
        elif "read" in step:
            line = sys.stdin.buffer.readline().decode("utf-8").rstrip("\n")
            found = re.search(r'"requestId":("(?:[^"\\]|\\.)*")', line)
            if found:
                last_request = json.loads(found.group(1))
            if re.sub(r'"requestId":"(?:[^"\\]|\\.)*"', '"requestId":"*"', line) != step["read"]:
                sys.stderr.write(f"unexpected command: {line}")
                sys.exit(99)
        elif "nested" in step:
            put("[" * step["nested"] + "]" * step["nested"])
        elif "flood" in step:
            out.write(b"x" * step["flood"])
            out.flush()
        elif "closeOutput" in step:
            sys.stdout.flush()
            os.close(1)
        elif "exit" in step:
            sys.stderr.write(step.get("stderr", ""))
            sys.stderr.flush()
            sys.exit(step["exit"])
        elif "killSelf" in step:
            os.kill(os.getpid(), signal.SIGKILL)
        else:
            raise SystemExit(f"unknown step {step}")
    while sys.stdin.buffer.readline():
        pass


if __name__ == "__main__":
    main()
