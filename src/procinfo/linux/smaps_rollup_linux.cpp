#include "procinfo/linux/smaps_rollup_linux.h"

#include <charconv>

#include "base/saturating.h"

namespace treemon::linux_proc {
namespace {

constexpr uint64_t BYTES_PER_KB = 1024;

// The value of a line "Key:   1234 kB", in bytes.
std::optional<uint64_t> kilobytes(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  uint64_t number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || std::string_view(end, value.data() + value.size()) != " kB") {
    return std::nullopt;
  }
  return saturating_multiply(number, BYTES_PER_KB);
}

}  // namespace

std::optional<SmapsRollup> parse_smaps_rollup(std::string_view text) {
  if (text.empty()) return SmapsRollup{};
  std::optional<uint64_t> resident;
  std::optional<uint64_t> proportional;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (line.starts_with("Rss:")) {
      resident = kilobytes(line.substr(4));
      if (!resident) return std::nullopt;
    } else if (line.starts_with("Pss:")) {
      proportional = kilobytes(line.substr(4));
      if (!proportional) return std::nullopt;
    }
  }
  if (!resident || !proportional) return std::nullopt;
  return SmapsRollup{*resident, *proportional};
}

ReadStatus read_smaps_rollup(ProcDirectory& proc, uint32_t pid, FileBuffer& out) {
  return proc.read(ProcPath(pid, "smaps_rollup").text, out);
}

}  // namespace treemon::linux_proc
