#include "recorder/record.h"

#include <cstdio>
#include <optional>
#include <type_traits>
#include <vector>

#include "protocol/events.h"
#include "protocol/json_writer.h"
#include "protocol/number_text.h"

namespace treemon::recorder {
namespace {

class TextSink final : public OutputSink {
 public:
  explicit TextSink(std::string& text) : text_(text) {}
  Status append(std::string_view bytes) override {
    text_.append(bytes);
    return Status();
  }

 private:
  std::string& text_;
};

// DEL and the C1 controls, which JSON lets pass raw, as \u escapes. The text is well-formed
// UTF-8, so a 0xC2 byte always leads a character.
std::string escape_del_and_c1(const std::string& json) {
  std::string out;
  out.reserve(json.size());
  for (size_t i = 0; i < json.size(); ++i) {
    const auto byte = static_cast<unsigned char>(json[i]);
    const auto next = i + 1 < json.size() ? static_cast<unsigned char>(json[i + 1]) : 0;
    unsigned code = 0;
    if (byte == 0x7f) {
      code = 0x7f;
    } else if (byte == 0xc2 && next >= 0x80 && next <= 0x9f) {
      code = next;
      ++i;
    } else {
      out += json[i];
      continue;
    }
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", code);
    out += escape;
  }
  return out;
}

template <typename T>
void optional_member(JsonWriter& json, std::string_view name, const std::optional<T>& value) {
  json.name(name);
  if (!value) {
    json.null();
  } else if constexpr (std::is_same_v<T, std::string>) {
    json.string(*value);
  } else {
    json.u32(*value);
  }
}

void string_array(JsonWriter& json, const std::vector<std::string>& texts) {
  json.begin_array();
  for (const std::string& text : texts) json.string(text);
  json.end_array();
}

void peak_process(JsonWriter& json, const std::optional<PeakProcess>& peak) {
  json.name("peakProcess");
  if (!peak) {
    json.null();
    return;
  }
  json.begin_object();
  json.name("pid");
  json.u32(peak->pid);
  json.name("name");
  json.string(peak->name);
  json.name("residentBytes");
  json.u64(peak->resident_bytes);
  json.end_object();
}

void left_running(JsonWriter& json, const std::vector<LeftProcess>& processes) {
  json.name("leftRunning");
  json.begin_array();
  for (const LeftProcess& p : processes) {
    json.begin_object();
    json.name("pid");
    json.u32(p.pid);
    json.name("name");
    json.string(p.name);
    json.name("command");
    json.string(p.command);
    json.end_object();
  }
  json.end_array();
}

void counts(JsonWriter& json, const Summary& s) {
  json.name("wallTimeMs");
  json.u64(s.wall_time_ms);
  optional_member(json, "exitStatus", s.exit_status);
  optional_member(json, "signal", s.signal);
  json.name("processesSeen");
  json.u64(s.processes_seen);
  json.name("cpuTimeMs");
  json.u64(s.cpu_time_ms);
  json.name("cpuAveragePercent");
  json.float64(s.cpu_average_percent);
  json.name("totalsFrom");
  json.string(s.totals_from == TotalsSource::Kernel ? "kernel" : "samples");
  json.name("cpuPeakPercent");
  json.float64(s.cpu_peak_percent);
  json.name("peakResidentBytes");
  json.u64(s.peak_resident_bytes);
  peak_process(json, s.peak_process);
  json.name("readBytes");
  json.u64(s.read_bytes);
  json.name("writtenBytes");
  json.u64(s.written_bytes);
}

}  // namespace

std::string snapshot_line(const Snapshot& snapshot) {
  std::string text;
  TextSink sink(text);
  static_cast<void>(write_event(SnapshotEvent{&snapshot}, sink));
  return escape_del_and_c1(text) + "\n";
}

std::string summary_line(const Summary& summary) {
  std::string text;
  TextSink sink(text);
  JsonWriter json(sink);
  json.begin_object();
  json.name("type");
  json.string("summary");
  json.name("command");
  string_array(json, summary.command);
  json.name("pid");
  json.u32(summary.pid);
  json.name("startedAtUnixMs");
  json.u64(summary.started_at_unix_ms);
  counts(json, summary);
  left_running(json, summary.left_running);
  json.name("killed");
  json.boolean(summary.killed);
  json.end_object();
  static_cast<void>(json.finish());
  return escape_del_and_c1(text) + "\n";
}

}  // namespace treemon::recorder
