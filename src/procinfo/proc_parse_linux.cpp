#include "procinfo/proc_parse.h"

#include <charconv>
#include <limits>

#include "base/saturating.h"
#include "base/utf8.h"
#include "procinfo/platform.h"

namespace treemon::linux_proc {
namespace {


// Moves past spaces, then reads one unsigned decimal field.
std::optional<uint64_t> next_number(std::string_view& text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  return value;
}

bool skip_fields(std::string_view& text, int count) {
  for (int i = 0; i < count; ++i) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    if (text.empty()) return false;
    const size_t end = text.find(' ');
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  }
  return true;
}

// The value after `key` at the start of a line, e.g. "rchar:" in /proc/PID/io.
std::optional<uint64_t> keyed_value(std::string_view text, std::string_view key) {
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    std::string_view line = text.substr(at, end - at);
    if (line.starts_with(key)) {
      line.remove_prefix(key.size());
      return next_number(line);
    }
    at = end + 1;
  }
  return std::nullopt;
}

}  // namespace

std::optional<StatFields> parse_stat(std::string_view text) {
  const size_t open = text.find('(');
  const size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return std::nullopt;
  }
  StatFields fields;
  fields.comm = text.substr(open + 1, close - open - 1);
  std::string_view rest = text.substr(close + 1);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  if (rest.empty()) return std::nullopt;
  fields.state = rest.front();
  rest.remove_prefix(1);
  // After the state: ppid, pgrp .. tpgid (4 fields, two of them signed), flags, minflt ..
  // cmajflt (4 fields), utime, stime, cutime .. itrealvalue (6 fields), starttime.
  std::optional<uint64_t> parent = next_number(rest);
  if (!parent || *parent > std::numeric_limits<uint32_t>::max() || !skip_fields(rest, 4)) {
    return std::nullopt;
  }
  std::optional<uint64_t> flags = next_number(rest);
  if (!flags || !skip_fields(rest, 4)) return std::nullopt;
  fields.flags = *flags;
  std::optional<uint64_t> user = next_number(rest);
  std::optional<uint64_t> system = next_number(rest);
  if (!user || !system || !skip_fields(rest, 6)) return std::nullopt;
  std::optional<uint64_t> start = next_number(rest);
  if (!start) return std::nullopt;
  fields.parent_pid = static_cast<uint32_t>(*parent);
  fields.user_ticks = *user;
  fields.system_ticks = *system;
  fields.start_ticks = *start;
  return fields;
}

std::optional<StatmFields> parse_statm(std::string_view text) {
  std::optional<uint64_t> values[6];
  for (auto& value : values) {
    value = next_number(text);
    if (!value) return std::nullopt;
  }
  // size resident shared text lib data
  return StatmFields{*values[1], *values[5]};
}

std::optional<IoFields> parse_io(std::string_view text) {
  std::optional<uint64_t> rchar = keyed_value(text, "rchar:");
  std::optional<uint64_t> wchar = keyed_value(text, "wchar:");
  if (!rchar || !wchar) return std::nullopt;
  return IoFields{*rchar, *wchar};
}

std::optional<MachineFields> parse_machine_stat(std::string_view text) {
  std::optional<MachineFields> machine;
  uint32_t cpu_lines = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (!line.starts_with("cpu")) continue;
    line.remove_prefix(3);
    if (!line.empty() && line.front() >= '0' && line.front() <= '9') {
      ++cpu_lines;
      continue;
    }
    // user nice system idle iowait irq softirq steal; guest time is already inside user.
    uint64_t values[8] = {};
    int count = 0;
    for (auto& value : values) {
      std::optional<uint64_t> read = next_number(line);
      if (!read) break;
      value = *read;
      ++count;
    }
    if (count < 4) return std::nullopt;  // older kernels stop after idle; missing fields are 0
    auto sum = [](std::initializer_list<uint64_t> parts) {
      uint64_t total = 0;
      for (uint64_t part : parts) total = saturating_add(total, part);
      return total;
    };
    machine = MachineFields{sum({values[0], values[1]}),
                            sum({values[2], values[3], values[4], values[5], values[6], values[7]}),
                            0};
  }
  if (machine) machine->cpu_lines = cpu_lines;
  return machine;
}

std::optional<uint64_t> parse_boot_time(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (line.starts_with("btime ")) {
      line.remove_prefix(6);
      return next_number(line);
    }
  }
  return std::nullopt;
}

std::vector<std::string> split_command_line(std::string_view bytes) {
  std::vector<std::string> arguments;
  while (!bytes.empty()) {
    const size_t end = bytes.find('\0');
    arguments.push_back(repair_utf8(bytes.substr(0, end)));
    if (end == std::string_view::npos) break;
    bytes.remove_prefix(end + 1);
  }
  return arguments;
}

std::string process_name(std::string_view comm, std::string_view first_argument) {
  if (comm.size() == COMM_MAX) {
    const size_t slash = first_argument.rfind('/');
    std::string_view base =
        slash == std::string_view::npos ? first_argument : first_argument.substr(slash + 1);
    if (base.size() > comm.size() && base.starts_with(comm)) {
      return repair_utf8(base.substr(0, NAME_KEPT_BYTES));
    }
  }
  return repair_utf8(comm);
}

ProcessState state_from_letter(char letter) {
  using K = ProcessStateKind;
  switch (letter) {
    case 'R': return {K::Run};
    case 'S': return {K::Sleep};
    case 'D': return {K::UninterruptibleDiskSleep};
    case 'Z': return {K::Zombie};
    case 'T': return {K::Stop};
    case 't': return {K::Tracing};
    case 'X':
    case 'x': return {K::Dead};
    case 'K': return {K::Wakekill};
    case 'W': return {K::Waking};
    case 'P': return {K::Parked};
    case 'I': return {K::Idle};
    default: return ProcessState::unknown(static_cast<unsigned char>(letter));
  }
}

uint64_t ticks_to_100ns(uint64_t ticks, uint64_t ticks_per_second) {
  constexpr uint64_t UNITS_PER_SECOND = 10000000;
  if (ticks_per_second == 0) return 0;
  // Whole seconds and the ticks left over, so that nothing overflows before saturation.
  const uint64_t whole = saturating_multiply(ticks / ticks_per_second, UNITS_PER_SECOND);
  const uint64_t part = ticks % ticks_per_second * UNITS_PER_SECOND / ticks_per_second;
  return saturating_add(whole, part);
}

}  // namespace treemon::linux_proc
