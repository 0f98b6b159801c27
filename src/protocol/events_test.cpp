#include "protocol/events.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "protocol/json_writer.h"
#include "support/string_output.h"

namespace treemon {
namespace {

std::string event_text(const Event& event) {
  StringOutput output;
  const Status status = write_event(event, output);
  EXPECT_TRUE(status.ok());
  return output.text();
}

ProcessSample worker_row() {
  ProcessSample p;
  p.pid = 1234;
  p.ppid = 1000;
  p.startTimeMs = 1699999000000;
  p.runTimeMs = 1000000;
  p.name = "worker.exe";
  p.command = "worker.exe --serve";
  p.status = "Run";
  p.cpuPercent = 12.5f;
  p.cpuTimeMs = 1500;
  p.residentBytes = 10485760;
  p.virtualBytes = 8388608;
  p.ioReadBytes = 4096;
  p.ioWriteBytes = 512;
  p.ioSemantics = IoSemantics::AllIo;
  return p;
}

Snapshot example_snapshot(std::optional<std::string> request_id) {
  Snapshot s;
  s.sequence = 7;
  s.sampledAtUnixMs = 1700000000123;
  s.collectionDurationMicros = 5120;
  s.scannedProcessCount = 231;
  s.retainedProcessCount = 1;
  s.inaccessibleProcessCount = 0;
  s.requestId = std::move(request_id);
  s.processes.push_back(worker_row());
  return s;
}

constexpr std::string_view EXAMPLE_ROW =
    R"({"pid":1234,"ppid":1000,"startTimeMs":1699999000000,"runTimeMs":1000000,"name":"worker.exe",)"
    R"("command":"worker.exe --serve","status":"Run","cpuPercent":12.5,"cpuTimeMs":1500,)"
    R"("residentBytes":10485760,"virtualBytes":8388608,"ioReadBytes":4096,"ioWriteBytes":512,)"
    R"("ioSemantics":"all-io"})";

const std::string EXAMPLE_SNAPSHOT_LINE =
    R"({"version":2,"type":"snapshot","sequence":7,"sampledAtUnixMs":1700000000123,)"
    R"("collectionDurationMicros":5120,"scannedProcessCount":231,"retainedProcessCount":1,)"
    R"("inaccessibleProcessCount":0,"requestId":"r1","externalProcesses":[],"processes":[)" +
    std::string(EXAMPLE_ROW) + "]}";

const std::string PERIODIC_SNAPSHOT_LINE =
    R"({"version":2,"type":"snapshot","sequence":7,"sampledAtUnixMs":1700000000123,)"
    R"("collectionDurationMicros":5120,"scannedProcessCount":231,"retainedProcessCount":1,)"
    R"("inaccessibleProcessCount":0,"externalProcesses":[],"processes":[)" +
    std::string(EXAMPLE_ROW) + "]}";

// The example lines of the protocol, byte for byte.
TEST(Events, ExampleLines) {
  const Snapshot with_id = example_snapshot("r1");
  const Snapshot periodic = example_snapshot(std::nullopt);
  const struct {
    Event event;
    std::string line;
  } cases[] = {
      {HelloEvent{4321, "windows", "x86_64"},
       R"({"version":2,"type":"hello","sidecarVersion":"0.1.0","sidecarPid":4321,)"
       R"("platform":"windows","arch":"x86_64","capabilities":{"cumulativeCpuTime":true,)"
       R"("currentCpuPercent":true,"residentMemory":true,"virtualMemory":true,"ioBytes":true,)"
       R"("processStartTime":true,"processTree":true}})"},
      {HelloEvent{4294967295u, "linux", "aarch64"},
       R"({"version":2,"type":"hello","sidecarVersion":"0.1.0","sidecarPid":4294967295,)"
       R"("platform":"linux","arch":"aarch64","capabilities":{"cumulativeCpuTime":true,)"
       R"("currentCpuPercent":true,"residentMemory":true,"virtualMemory":true,"ioBytes":true,)"
       R"("processStartTime":true,"processTree":true}})"},
      {SnapshotEvent{&with_id}, EXAMPLE_SNAPSHOT_LINE},
      {SnapshotEvent{&periodic}, PERIODIC_SNAPSHOT_LINE},
      {HistoryChunkEvent{"r2", true, {}},
       R"({"version":2,"type":"historyChunk","requestId":"r2","done":true,"snapshots":[]})"},
      {ErrorEvent{"not-configured", "configure must be sent before sampling", true},
       R"({"version":2,"type":"error","code":"not-configured",)"
       R"("message":"configure must be sent before sampling","recoverable":true})"},
      {ErrorEvent{"invalid-command", "invalid command: missing field `windowMs`", true},
       R"({"version":2,"type":"error","code":"invalid-command",)"
       R"("message":"invalid command: missing field `windowMs`","recoverable":true})"},
      {ErrorEvent{"protocol-mismatch", "unsupported protocol version 3; expected 2", false},
       R"({"version":2,"type":"error","code":"protocol-mismatch",)"
       R"("message":"unsupported protocol version 3; expected 2","recoverable":false})"},
  };
  for (const auto& c : cases) EXPECT_EQ(event_text(c.event), c.line);
}

// Snapshot shapes: empty lists, external processes with and without a start time, both I/O
// semantics, the largest counters.
TEST(Events, SnapshotShapes) {
  Snapshot empty;
  empty.sequence = 1;
  Snapshot externals = empty;
  externals.externalProcesses = {{900, 1699999990000}, {901, std::nullopt}};
  Snapshot storage = empty;
  storage.processes.push_back(ProcessSample{});
  storage.processes[0].ioSemantics = IoSemantics::Storage;
  Snapshot largest = empty;
  largest.sequence = largest.sampledAtUnixMs = largest.collectionDurationMicros =
      largest.scannedProcessCount = largest.retainedProcessCount =
          largest.inaccessibleProcessCount = 18446744073709551615u;
  const std::string zero_row =
      R"({"pid":0,"ppid":0,"startTimeMs":0,"runTimeMs":0,"name":"","command":"","status":"",)"
      R"("cpuPercent":0.0,"cpuTimeMs":0,"residentBytes":0,"virtualBytes":0,"ioReadBytes":0,)"
      R"("ioWriteBytes":0,"ioSemantics":"storage"})";
  const std::string head =
      R"({"version":2,"type":"snapshot","sequence":1,"sampledAtUnixMs":0,"collectionDurationMicros":0,)"
      R"("scannedProcessCount":0,"retainedProcessCount":0,"inaccessibleProcessCount":0,)";
  const struct {
    const Snapshot* snapshot;
    std::string line;
  } cases[] = {
      {&empty, head + R"("externalProcesses":[],"processes":[]})"},
      {&externals, head + R"("externalProcesses":[{"pid":900,"startTimeMs":1699999990000},)"
                          R"({"pid":901,"startTimeMs":null}],"processes":[]})"},
      {&storage, head + R"("externalProcesses":[],"processes":[)" + zero_row + "]}"},
      {&largest,
       R"({"version":2,"type":"snapshot","sequence":18446744073709551615,)"
       R"("sampledAtUnixMs":18446744073709551615,"collectionDurationMicros":18446744073709551615,)"
       R"("scannedProcessCount":18446744073709551615,"retainedProcessCount":18446744073709551615,)"
       R"("inaccessibleProcessCount":18446744073709551615,"externalProcesses":[],"processes":[]})"},
  };
  for (const auto& c : cases) EXPECT_EQ(event_text(SnapshotEvent{c.snapshot}), c.line);
}

// The cpuPercent member of a row for values at the edges of the number text.
TEST(Events, CpuPercentText) {
  constexpr float INF = std::numeric_limits<float>::infinity();
  const struct {
    float value;
    std::string text;
  } cases[] = {
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {100.0f, "100.0"},
      {12.5f, "12.5"},
      {33.333332f, "33.333332"},
      {800.0f, "800.0"},
      {0.1f, "0.1"},
      {std::numeric_limits<float>::quiet_NaN(), "null"},
      {INF, "null"},
      {-INF, "null"},
  };
  for (const auto& c : cases) {
    Snapshot s = example_snapshot(std::nullopt);
    s.processes[0].cpuPercent = c.value;
    const std::string line = event_text(SnapshotEvent{&s});
    EXPECT_NE(line.find(R"(,"cpuPercent":)" + c.text + R"(,"cpuTimeMs":1500,)"), std::string::npos)
        << c.text << " in " << line;
  }
}

// A request id comes back as its text under the string escape rules.
TEST(Events, RequestIdEscaping) {
  const struct {
    std::string id;
    std::string written;
  } cases[] = {
      {"abc", R"("abc")"},
      {"Abc", R"("Abc")"},
      {"a/b", R"("a/b")"},
      {"say \"x\"", R"("say \"x\"")"},
      {"back\\slash", R"("back\\slash")"},
      {"tab\there", R"("tab\there")"},
      {"esc\x1b[0m", R"("esc\u001b[0m")"},
      {"del\x7f", "\"del\x7f\""},
      {"\xE6\x97\xA5\xE6\x9C\xAC", "\"\xE6\x97\xA5\xE6\x9C\xAC\""},
      {"", R"("")"},
  };
  for (const auto& c : cases) {
    const Snapshot s = example_snapshot(c.id);
    const std::string line = event_text(SnapshotEvent{&s});
    EXPECT_NE(line.find(R"("inaccessibleProcessCount":0,"requestId":)" + c.written +
                        R"(,"externalProcesses":[])"),
              std::string::npos)
        << line;
    const std::string chunk = event_text(HistoryChunkEvent{c.id, true, {}});
    EXPECT_EQ(chunk, R"({"version":2,"type":"historyChunk","requestId":)" + c.written +
                         R"(,"done":true,"snapshots":[]})");
  }
}

// History chunks: a full chunk of 32 and the last chunk of one; snapshots inside carry their own
// version and type and never a request id.
TEST(Events, HistoryChunks) {
  std::vector<Snapshot> snapshots;
  for (uint64_t i = 0; i < 33; ++i) {
    snapshots.push_back(
        example_snapshot(i % 2 == 0 ? std::optional<std::string>("r1") : std::nullopt));
    snapshots.back().sequence = i + 1;
  }
  const auto element = [](uint64_t sequence) {
    std::string text = PERIODIC_SNAPSHOT_LINE;
    text.replace(text.find(R"("sequence":7)"), 12, R"("sequence":)" + std::to_string(sequence));
    return text;
  };
  std::string first_expected =
      R"({"version":2,"type":"historyChunk","requestId":"h","done":false,"snapshots":[)";
  for (uint64_t i = 1; i <= 32; ++i) first_expected += (i > 1 ? "," : "") + element(i);
  first_expected += "]}";
  const std::string first =
      event_text(HistoryChunkEvent{"h", false, std::span<const Snapshot>(snapshots).first(32)});
  EXPECT_EQ(first, first_expected);
  EXPECT_EQ(first.find("requestId\":\"r1"), std::string::npos);

  const std::string last =
      event_text(HistoryChunkEvent{"h", true, std::span<const Snapshot>(snapshots).subspan(32)});
  EXPECT_EQ(last,
            R"({"version":2,"type":"historyChunk","requestId":"h","done":true,"snapshots":[)" +
                element(33) + "]}");
}

// A snapshot's request id is left out of a history chunk but written in a snapshot event.
TEST(Events, RequestIdOnlyInSnapshotEvents) {
  const std::vector<Snapshot> one{example_snapshot("r1")};
  EXPECT_EQ(event_text(SnapshotEvent{&one[0]}), EXAMPLE_SNAPSHOT_LINE);
  EXPECT_EQ(event_text(HistoryChunkEvent{"r9", true, one}),
            R"({"version":2,"type":"historyChunk","requestId":"r9","done":true,"snapshots":[)" +
                PERIODIC_SNAPSHOT_LINE + "]}");
}

// The output fails after every possible length: write_event returns the failure, the output holds
// exactly the prefix it accepted, and nothing is appended after the failure.
TEST(Events, OutputFailureIsReturnedAtOnce) {
  std::vector<Snapshot> snapshots(3, example_snapshot("r1"));
  for (int i = 0; i < 40; ++i) snapshots[1].processes.push_back(worker_row());
  const Event events[] = {
      HelloEvent{1, "linux", "x86_64"},
      SnapshotEvent{&snapshots[1]},
      HistoryChunkEvent{"r", true, snapshots},
      ErrorEvent{"invalid-command", "invalid command: x", true},
  };
  for (const Event& event : events) {
    const std::string full = event_text(event);
    const size_t step = full.size() > 2000 ? 7 : 1;
    for (size_t limit = 0; limit < full.size(); limit += step) {
      StringOutput output = StringOutput::failing_after(limit);
      const Status status = write_event(event, output);
      ASSERT_FALSE(status.ok()) << "limit " << limit;
      EXPECT_EQ(status.message(), StringOutput::FAILURE_DESCRIPTION);
      EXPECT_EQ(output.text(), full.substr(0, limit)) << "limit " << limit;
      EXPECT_EQ(output.appends_after_failure(), 0u) << "limit " << limit;
    }
    StringOutput exact = StringOutput::failing_after(full.size());
    EXPECT_TRUE(write_event(event, exact).ok());
    EXPECT_EQ(exact.text(), full);
  }
}

// write_event writes no line ending and keeps nothing between calls.
TEST(Events, EventsFollowEachOtherInOneOutput) {
  StringOutput output;
  ASSERT_TRUE(write_event(ErrorEvent{"not-configured", "m", true}, output).ok());
  ASSERT_TRUE(write_event(ErrorEvent{"not-configured", "m", true}, output).ok());
  const std::string one =
      R"({"version":2,"type":"error","code":"not-configured","message":"m","recoverable":true})";
  EXPECT_EQ(output.text(), one + one);
}

// An independent JSON library reads back what we write. Random texts cover every control
// character, the characters with short escapes, and one- to four-byte UTF-8; random floats cover
// every bit pattern, so NaN, infinities, zeros and subnormals too.
class Oracle {
 public:
  std::string text() {
    std::string out;
    const size_t length = pick(0, 24);
    for (size_t i = 0; i < length; ++i) append_utf8(code_point(), out);
    return out;
  }

  // Arbitrary bytes, mostly not UTF-8.
  std::string bytes() {
    std::string out(pick(0, 24), '\0');
    for (char& c : out) c = static_cast<char>(pick(0, 255));
    return out;
  }

  float number() {
    if (pick(0, 3) == 0) return static_cast<float>(pick(0, 100000)) / 100.0f;
    return std::bit_cast<float>(static_cast<uint32_t>(random_()));
  }

  uint64_t u64() { return pick(0, 1) ? random_() : pick(0, 1000); }

  size_t pick(size_t low, size_t high) {
    return std::uniform_int_distribution<size_t>(low, high)(random_);
  }

 private:
  uint32_t code_point() {
    switch (pick(0, 5)) {
      case 0:
        return static_cast<uint32_t>(pick(0, 0x1F));
      case 1:
        return "\"\\/\x7f"[pick(0, 3)];
      case 2:
        return static_cast<uint32_t>(pick(0x20, 0x7E));
      case 3:
        return static_cast<uint32_t>(pick(0x80, 0x7FF));
      case 4: {
        const auto c = static_cast<uint32_t>(pick(0x800, 0xFFFF));
        return c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c;
      }
      default:
        return static_cast<uint32_t>(pick(0x10000, 0x10FFFF));
    }
  }

  static void append_utf8(uint32_t c, std::string& out) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }

  std::mt19937_64 random_{20261207};
};

void expect_same_float(const nlohmann::ordered_json& value, float expected) {
  if (!std::isfinite(expected)) {
    EXPECT_TRUE(value.is_null()) << value.dump();
    return;
  }
  ASSERT_TRUE(value.is_number_float()) << value.dump();
  const auto back = static_cast<float>(value.get<double>());
  EXPECT_EQ(std::bit_cast<uint32_t>(back), std::bit_cast<uint32_t>(expected))
      << expected << " came back as " << back;
}

std::vector<std::string> member_names(const nlohmann::ordered_json& object) {
  std::vector<std::string> names;
  for (const auto& item : object.items()) names.push_back(item.key());
  return names;
}

TEST(EventsOracle, RandomSnapshotsReadBack) {
  Oracle oracle;
  const std::vector<std::string> snapshot_members = {"version",
                                                     "type",
                                                     "sequence",
                                                     "sampledAtUnixMs",
                                                     "collectionDurationMicros",
                                                     "scannedProcessCount",
                                                     "retainedProcessCount",
                                                     "inaccessibleProcessCount",
                                                     "requestId",
                                                     "externalProcesses",
                                                     "processes"};
  const std::vector<std::string> row_members = {
      "pid",          "ppid",        "startTimeMs",  "runTimeMs",  "name",
      "command",      "status",      "cpuPercent",   "cpuTimeMs",  "residentBytes",
      "virtualBytes", "ioReadBytes", "ioWriteBytes", "ioSemantics"};
  for (int round = 0; round < 500; ++round) {
    Snapshot s;
    s.sequence = oracle.u64();
    s.sampledAtUnixMs = oracle.u64();
    s.inaccessibleProcessCount = oracle.u64();
    s.requestId = oracle.text();
    s.externalProcesses.push_back({static_cast<uint32_t>(oracle.u64()), oracle.u64()});
    for (size_t i = oracle.pick(0, 6); i > 0; --i) {
      ProcessSample p;
      p.pid = static_cast<uint32_t>(oracle.u64());
      p.name = oracle.text();
      p.command = oracle.text();
      p.status = oracle.text();
      p.cpuPercent = oracle.number();
      p.residentBytes = oracle.u64();
      s.processes.push_back(p);
    }
    const std::string line = event_text(SnapshotEvent{&s});
    const auto json = nlohmann::ordered_json::parse(line, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << line;
    EXPECT_EQ(member_names(json), snapshot_members);
    EXPECT_EQ(json["sequence"].get<uint64_t>(), s.sequence);
    EXPECT_EQ(json["sampledAtUnixMs"].get<uint64_t>(), s.sampledAtUnixMs);
    EXPECT_EQ(json["inaccessibleProcessCount"].get<uint64_t>(), s.inaccessibleProcessCount);
    EXPECT_EQ(json["requestId"].get<std::string>(), *s.requestId);
    EXPECT_EQ(json["externalProcesses"][0]["pid"].get<uint32_t>(), s.externalProcesses[0].pid);
    EXPECT_EQ(json["externalProcesses"][0]["startTimeMs"].get<uint64_t>(),
              *s.externalProcesses[0].startTimeMs);
    ASSERT_EQ(json["processes"].size(), s.processes.size());
    for (size_t i = 0; i < s.processes.size(); ++i) {
      const auto& row = json["processes"][i];
      const ProcessSample& p = s.processes[i];
      EXPECT_EQ(member_names(row), row_members);
      EXPECT_EQ(row["pid"].get<uint32_t>(), p.pid);
      EXPECT_EQ(row["name"].get<std::string>(), p.name.view());
      EXPECT_EQ(row["command"].get<std::string>(), p.command.view());
      EXPECT_EQ(row["status"].get<std::string>(), p.status.view());
      EXPECT_EQ(row["residentBytes"].get<uint64_t>(), p.residentBytes);
      expect_same_float(row["cpuPercent"], p.cpuPercent);
    }
  }
}

TEST(EventsOracle, RandomErrorsAndChunksReadBack) {
  Oracle oracle;
  for (int round = 0; round < 2000; ++round) {
    const std::string message = oracle.text();
    const std::string error_line =
        event_text(ErrorEvent{"invalid-command", message, round % 2 == 0});
    const auto error = nlohmann::ordered_json::parse(error_line, nullptr, false);
    ASSERT_FALSE(error.is_discarded()) << error_line;
    EXPECT_EQ(member_names(error),
              (std::vector<std::string>{"version", "type", "code", "message", "recoverable"}));
    EXPECT_EQ(error["message"].get<std::string>(), message);
    EXPECT_EQ(error["recoverable"].get<bool>(), round % 2 == 0);

    const std::string id = oracle.text();
    const std::string chunk_line = event_text(HistoryChunkEvent{id, round % 3 == 0, {}});
    const auto chunk = nlohmann::ordered_json::parse(chunk_line, nullptr, false);
    ASSERT_FALSE(chunk.is_discarded()) << chunk_line;
    EXPECT_EQ(chunk["requestId"].get<std::string>(), id);
    EXPECT_EQ(chunk["done"].get<bool>(), round % 3 == 0);
  }
}

// Arbitrary bytes still give a valid line: well-formed text reads back as it was, ill-formed text
// reads back with replacement characters in place of what could not be decoded.
TEST(EventsOracle, ArbitraryBytesGiveValidJson) {
  Oracle oracle;
  for (int round = 0; round < 3000; ++round) {
    const std::string message = oracle.bytes();
    const std::string line = event_text(ErrorEvent{"invalid-command", message, true});
    const auto json = nlohmann::ordered_json::parse(line, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << line;
    const auto back = json["message"].get<std::string>();
    bool well_formed = true;
    try {
      (void)nlohmann::json(message).dump();
    } catch (const nlohmann::json::type_error&) {
      well_formed = false;
    }
    if (well_formed) {
      EXPECT_EQ(back, message);
    } else {
      EXPECT_NE(back.find("\xEF\xBF\xBD"), std::string::npos) << line;
    }
  }
}

}  // namespace
}  // namespace treemon
