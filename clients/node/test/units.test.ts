// The parts that need no monitor: line cutting, command texts and event checks.

import assert from "node:assert/strict";
import { describe, test } from "node:test";

import { parseEventLine } from "../src/events";
import { LineSplitter } from "../src/lines";
import {
  configureText,
  readHistoryText,
  setExternalProcessesText,
  setSampleIntervalText,
  setStreamingText,
  SHUTDOWN_TEXT,
  sampleNowText,
} from "../src/validate";

describe("LineSplitter", () => {
  // [what, chunks, lines expected after all chunks, rest]
  const cases: [string, string[], string[], string][] = [
    ["one line per chunk", ["a\n", "b\n"], ["a", "b"], ""],
    ["a line across three chunks", ['{"a"', ":1", "}\nx"], ['{"a":1}'], "x"],
    ["several lines in one chunk", ["a\nb\n\nc"], ["a", "b", ""], "c"],
    ["a carriage return is kept (the monitor never writes one)", ["a\r\n"], ["a\r"], ""],
  ];
  for (const [what, chunks, lines, rest] of cases) {
    test(what, () => {
      const splitter = new LineSplitter();
      const got = chunks.flatMap((c) => splitter.push(Buffer.from(c)));
      assert.deepEqual(got, lines);
      assert.equal(splitter.rest(), rest);
    });
  }

  test("a multi-byte character split between reads stays whole", () => {
    const bytes = Buffer.from('"é€😀"\n');
    const splitter = new LineSplitter();
    const got: string[] = [];
    for (let i = 0; i < bytes.length; i++) got.push(...splitter.push(bytes.subarray(i, i + 1)));
    assert.deepEqual(got, ['"é€😀"']);
  });
});

describe("command texts", () => {
  // [what, text, exact line]
  const cases: [string, string, string][] = [
    [
      "configure fills in an empty external list",
      configureText({ rootPid: 42, sampleIntervalMs: 1000 }),
      '{"version":2,"type":"configure","rootPid":42,"sampleIntervalMs":1000,"externalProcesses":[]}',
    ],
    [
      "configure with external processes, bigint start time exact",
      configureText({
        rootPid: 0,
        sampleIntervalMs: 18446744073709551615n,
        externalProcesses: [{ pid: 9, startTimeMs: 1700000000999n }, { pid: 10 }],
      }),
      '{"version":2,"type":"configure","rootPid":0,"sampleIntervalMs":18446744073709551615,"externalProcesses":[{"pid":9,"startTimeMs":1700000000999},{"pid":10,"startTimeMs":null}]}',
    ],
    [
      'setExternalProcesses names its list "processes"',
      setExternalProcessesText([{ pid: 4294967295, startTimeMs: null }]),
      '{"version":2,"type":"setExternalProcesses","processes":[{"pid":4294967295,"startTimeMs":null}]}',
    ],
    [
      "largest safe integer as a number",
      setSampleIntervalText(9007199254740991),
      '{"version":2,"type":"setSampleInterval","sampleIntervalMs":9007199254740991}',
    ],
    [
      "setStreaming",
      setStreamingText(false),
      '{"version":2,"type":"setStreaming","enabled":false}',
    ],
    [
      "sampleNow escapes its request id",
      sampleNowText('a"b\\c'),
      '{"version":2,"type":"sampleNow","requestId":"a\\"b\\\\c"}',
    ],
    [
      "readHistory",
      readHistoryText("r", 0),
      '{"version":2,"type":"readHistory","requestId":"r","windowMs":0}',
    ],
    ["shutdown", SHUTDOWN_TEXT, '{"version":2,"type":"shutdown"}'],
  ];
  for (const [what, text, line] of cases) test(what, () => assert.equal(text, line));

  test("-0 is sent as 0, never as a floating-point value", () => {
    assert.equal(
      setSampleIntervalText(-0),
      '{"version":2,"type":"setSampleInterval","sampleIntervalMs":0}',
    );
  });
});

describe("event lines", () => {
  // [line, accepted, reason pattern when rejected]
  const cases: [string, boolean, RegExp?][] = [
    ['{"version":2,"type":"historyChunk","requestId":"r","done":true,"snapshots":[]}', true],
    ['{"version":2,"type":"error","code":"not-configured","message":"m","recoverable":true}', true],
    [
      '{"version":2,"type":"error","code":"not-configured","message":"m"}',
      false,
      /malformed error event/,
    ],
    [
      '{"version":2,"type":"historyChunk","requestId":"r","done":"yes","snapshots":[]}',
      false,
      /malformed historyChunk/,
    ],
    [
      '{"version":2,"type":"historyChunk","requestId":"r","done":true,"snapshots":[{}]}',
      false,
      /malformed historyChunk snapshots/,
    ],
    [
      '{"version":2,"type":"snapshot","sequence":1,"sampledAtUnixMs":1,"collectionDurationMicros":1,"scannedProcessCount":1,"retainedProcessCount":0,"inaccessibleProcessCount":0,"requestId":5,"externalProcesses":[],"processes":[]}',
      false,
      /malformed requestId/,
    ],
    ['[2,"hello"]', false, /not a JSON object/],
    ['{"type":"hello"}', false, /unsupported event version/],
    ['{"version":2,"type":"hello"', false, /not JSON/],
  ];
  for (const [line, accepted, reason] of cases) {
    test(`${accepted ? "accepts" : "rejects"} ${line.slice(0, 60)}`, () => {
      const parsed = parseEventLine(line);
      assert.equal(parsed.ok, accepted);
      if (!parsed.ok) assert.match(parsed.reason, reason!);
    });
  }
});
