// The plain records of one sample: Snapshot, ProcessSample and ExternalProcess.
//
// Fields are in wire order and keep their wire names. The records hold values only; the protocol
// module writes them as JSON and the history keeps copies of them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace treemon {

// The only protocol version a command may carry and the version of every event and snapshot.
inline constexpr uint32_t PROTOCOL_VERSION = 2;

// Immutable UTF-8 text whose copies share one buffer. Snapshots repeat the same names and command
// lines from one sample to the next, so the history keeps each text once, not once per copy.
class SharedText {
 public:
  SharedText() = default;
  SharedText(std::string text)  // NOLINT(google-explicit-constructor): a text is a text
      : text_(text.empty() ? nullptr : std::make_shared<const std::string>(std::move(text))) {}
  SharedText(const char* text) : SharedText(std::string(text)) {}  // NOLINT

  std::string_view view() const { return text_ ? std::string_view(*text_) : std::string_view(); }
  size_t size() const { return text_ ? text_->size() : 0; }
  bool shares_with(const SharedText& other) const { return text_ && text_ == other.text_; }

  friend bool operator==(const SharedText& a, const SharedText& b) { return a.view() == b.view(); }
  friend bool operator==(const SharedText& a, std::string_view b) { return a.view() == b; }

 private:
  std::shared_ptr<const std::string> text_;
};

// A process outside the root's tree that the client wants monitored, named by pid and, to guard
// against pid reuse, by its start time in milliseconds since the Unix epoch.
struct ExternalProcess {
  uint32_t pid = 0;
  std::optional<uint64_t> startTimeMs;

  friend bool operator==(const ExternalProcess&, const ExternalProcess&) = default;
};

enum class IoSemantics : uint8_t { Storage, AllIo };

struct ProcessSample {
  uint32_t pid = 0;
  uint32_t ppid = 0;  // 0 when no parent is known
  uint64_t startTimeMs = 0;
  uint64_t runTimeMs = 0;
  SharedText name;
  SharedText command;
  SharedText status;
  float cpuPercent = 0.0f;
  uint64_t cpuTimeMs = 0;
  uint64_t residentBytes = 0;
  uint64_t virtualBytes = 0;
  uint64_t ioReadBytes = 0;
  uint64_t ioWriteBytes = 0;
  IoSemantics ioSemantics = IoSemantics::AllIo;

  friend bool operator==(const ProcessSample&, const ProcessSample&) = default;
};

// One sample of the monitored tree. Its "type" on the wire is always "snapshot".
struct Snapshot {
  uint32_t version = PROTOCOL_VERSION;
  uint64_t sequence = 0;
  uint64_t sampledAtUnixMs = 0;
  uint64_t collectionDurationMicros = 0;
  uint64_t scannedProcessCount = 0;
  uint64_t retainedProcessCount = 0;
  uint64_t inaccessibleProcessCount = 0;
  std::optional<std::string> requestId;
  std::vector<ExternalProcess> externalProcesses;
  std::vector<ProcessSample> processes;

  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

}  // namespace treemon
