// write_event on arbitrary texts and numbers. The input is read as: a 4-byte float for cpuPercent,
// a 2-byte output limit, then texts, each a length byte followed by that many bytes (name,
// command, status, request id, message). Checked on every input:
//  1. every event is valid JSON that an independent library reads back;
//  2. texts read back as they were when they are well-formed UTF-8, and with replacement
//     characters when they are not; a finite cpuPercent reads back as the same float, any other
//     as null;
//  3. with an output that fails after the limit, write_event returns the failure, the output holds
//     exactly that prefix of the full text, and nothing is appended after the failure.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "protocol/events.h"
#include "protocol/json_writer.h"
#include "support/string_output.h"

namespace treemon {
namespace {

void check(bool condition, const char* what, std::string_view text) {
  if (!condition) {
    std::fprintf(stderr, "event writer invariant broken: %s\ntext: %.*s\n", what,
                 static_cast<int>(text.size()), text.data());
    std::abort();
  }
}

class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  template <typename T>
  T value() {
    T result{};
    const size_t n = std::min(sizeof result, size_ - at_);
    std::memcpy(&result, data_ + at_, n);
    at_ += n;
    return result;
  }

  std::string text() {
    const size_t length = std::min<size_t>(value<uint8_t>(), size_ - at_);
    std::string result(reinterpret_cast<const char*>(data_ + at_), length);
    at_ += length;
    return result;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

bool is_well_formed_utf8(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

void check_text(const nlohmann::json& value, const std::string& expected, std::string_view line) {
  check(value.is_string(), "a text is not a string", line);
  const auto& back = value.get_ref<const std::string&>();
  if (is_well_formed_utf8(expected)) {
    check(back == expected, "a well-formed text did not read back as it was", line);
  } else {
    check(back.find("\xEF\xBF\xBD") != std::string::npos, "an ill-formed text has no U+FFFD", line);
  }
}

nlohmann::json parse(const std::string& line) {
  const auto json = nlohmann::json::parse(line, nullptr, false);
  check(!json.is_discarded(), "output is not valid JSON", line);
  return json;
}

void check_failing_output(const Event& event, const std::string& full, uint16_t limit) {
  StringOutput output = StringOutput::failing_after(limit);
  const Status status = write_event(event, output);
  check(!status.ok() == (limit < full.size()), "failure not returned as it happened", full);
  check(output.text() == full.substr(0, limit), "failing output does not hold a prefix", full);
  check(output.appends_after_failure() == 0, "appended after the failure", full);
}

}  // namespace
}  // namespace treemon

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace treemon;
  InputReader input(data, size);
  const auto cpu_percent = input.value<float>();
  const auto limit = input.value<uint16_t>();
  Snapshot snapshot;
  ProcessSample row;
  row.name = input.text();
  row.command = input.text();
  row.status = input.text();
  row.cpuPercent = cpu_percent;
  snapshot.processes.push_back(row);
  snapshot.requestId = input.text();
  const std::string message = input.text();

  StringOutput output;
  check(write_event(SnapshotEvent{&snapshot}, output).ok(), "writing to a string failed", "");
  const std::string snapshot_line = output.text();
  const auto json = parse(snapshot_line);
  const auto& back_row = json["processes"][0];
  check_text(back_row["name"], std::string(row.name.view()), snapshot_line);
  check_text(back_row["command"], std::string(row.command.view()), snapshot_line);
  check_text(back_row["status"], std::string(row.status.view()), snapshot_line);
  check_text(json["requestId"], *snapshot.requestId, snapshot_line);
  if (std::isfinite(cpu_percent)) {
    const auto back = static_cast<float>(back_row["cpuPercent"].get<double>());
    check(std::memcmp(&back, &cpu_percent, sizeof back) == 0, "cpuPercent changed", snapshot_line);
  } else {
    check(back_row["cpuPercent"].is_null(), "a non-finite cpuPercent is not null", snapshot_line);
  }
  check_failing_output(SnapshotEvent{&snapshot}, snapshot_line, limit);

  const ErrorEvent error{"invalid-command", message, true};
  output.clear();
  check(write_event(error, output).ok(), "writing to a string failed", "");
  check_text(parse(output.text())["message"], message, output.text());
  check_failing_output(error, output.text(), limit);

  const HistoryChunkEvent chunk{message, false, std::span<const Snapshot>(&snapshot, 1)};
  output.clear();
  check(write_event(chunk, output).ok(), "writing to a string failed", "");
  const auto chunk_json = parse(output.text());
  check_text(chunk_json["requestId"], message, output.text());
  check(!chunk_json["snapshots"][0].contains("requestId"), "a chunk's snapshot has a request id",
        output.text());
  return 0;
}
