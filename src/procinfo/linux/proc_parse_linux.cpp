#include "procinfo/linux/proc_parse_linux.h"

#include <bit>
#include <charconv>
#include <cstring>
#include <limits>

#include "base/saturating.h"
#include "base/utf8.h"
#include "procinfo/platform.h"

namespace treemon::linux_proc {
namespace {

// The fields of a /proc text, read in one pass. The kernel separates them by one space; a number
// may also follow tabs.
class FieldCursor {
 public:
  FieldCursor(const char* at, const char* end) : at_(at), end_(end) {}
  explicit FieldCursor(std::string_view text)
      : FieldCursor(text.data(), text.data() + text.size()) {}

  const char* position() const { return at_; }
  bool done() const { return at_ == end_; }
  char take() { return *at_++; }
  void skip_spaces() {
    while (at_ != end_ && *at_ == ' ') ++at_;
  }
  // One unsigned decimal field; false when there is none or it does not fit in 64 bits.
  bool number(uint64_t& value) {
    const char* const end = end_;
    const char* at = at_;
    while (at != end && (*at == ' ' || *at == '\t')) ++at;
    const char* const start = at;
    uint64_t read = 0;
    for (; at != end && static_cast<unsigned char>(*at - '0') < 10; ++at) {
      read = read * 10 + static_cast<uint64_t>(*at - '0');
    }
    if (at == start) return false;
    // Up to 19 digits cannot overflow; only a longer number needs the checked conversion.
    if (at - start > 19) {
      auto [parsed_end, error] = std::from_chars(start, at, read);
      if (error != std::errc()) return false;
    }
    at_ = at;
    value = read;
    return true;
  }
  // A field the kernel writes as signed but that cannot be negative (a clock_t sum): a negative
  // value reads as 0 rather than failing the whole line.
  bool non_negative(uint64_t& value) {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\t')) ++at_;
    if (at_ == end_ || *at_ != '-') return number(value);
    ++at_;
    uint64_t magnitude = 0;
    if (at_ == end_ || static_cast<unsigned char>(*at_ - '0') >= 10 || !number(magnitude)) {
      return false;
    }
    value = 0;
    return true;
  }
  // Passes over `count` fields of any text (signed numbers among them), to the space after the
  // last. The kernel separates fields by one space, so this counts spaces, eight bytes at a time.
  bool skip_fields(unsigned count) {
    const char* space = nth_space(at_, end_, count + 1);
    if (space == nullptr) return false;
    at_ = space;
    return true;
  }

 private:
  // The n-th space (n >= 1) from `at`, or null when the text holds fewer.
  static const char* nth_space(const char* at, const char* end, unsigned n) {
    if constexpr (std::endian::native == std::endian::little) {
      constexpr uint64_t ONES = 0x0101010101010101;
      constexpr uint64_t LOW7 = ONES * 0x7F;
      for (; end - at >= 8; at += 8) {
        uint64_t word;
        std::memcpy(&word, at, sizeof word);
        const uint64_t x = word ^ (ONES * ' ');  // a zero byte where there is a space
        // The high bit of each zero byte, exactly (no carry reaches another byte); taken bit by
        // bit rather than by popcount, which the baseline instruction set lacks.
        for (uint64_t spaces = ~(((x & LOW7) + LOW7) | x | LOW7); spaces != 0;
             spaces &= spaces - 1) {
          if (--n == 0) return at + std::countr_zero(spaces) / 8;
        }
      }
    }
    for (; at != end; ++at) {
      if (*at == ' ' && --n == 0) return at;
    }
    return nullptr;
  }

  const char* at_;
  const char* end_;
};

// Moves past spaces, then reads one unsigned decimal field.
std::optional<uint64_t> next_number(std::string_view& text) {
  FieldCursor cursor(text);
  uint64_t value = 0;
  if (!cursor.number(value)) return std::nullopt;
  text.remove_prefix(static_cast<size_t>(cursor.position() - text.data()));
  return value;
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

// The state, then ppid, pgrp .. tpgid (4 fields, two of them signed), flags, minflt .. cmajflt
// (4 fields), utime, stime, cutime, cstime, priority .. itrealvalue (4 fields), starttime.
bool read_fields_after_name(FieldCursor& rest, StatFields& fields) {
  rest.skip_spaces();
  if (rest.done()) return false;
  fields.state = rest.take();
  uint64_t parent = 0;
  if (!rest.number(parent) || parent > std::numeric_limits<uint32_t>::max() ||
      !rest.skip_fields(4) || !rest.number(fields.flags) || !rest.skip_fields(4) ||
      !rest.number(fields.user_ticks) || !rest.number(fields.system_ticks) ||
      !rest.non_negative(fields.children_user_ticks) ||
      !rest.non_negative(fields.children_system_ticks) || !rest.skip_fields(4) ||
      !rest.number(fields.start_ticks)) {
    return false;
  }
  fields.parent_pid = static_cast<uint32_t>(parent);
  return true;
}

}  // namespace

// Stat lines are read for every process at every refresh, so this parser makes one pass over
// the few fields it needs and stops at the last of them: the rest of the line is never looked at.
std::optional<StatFields> parse_stat(std::string_view text) {
  // Every return gives this one object, which the caller's storage holds: no copy on return.
  std::optional<StatFields> result;
  const size_t open = text.find('(');
  // memrchr rather than rfind: the search runs over the whole line, and a byte-by-byte loop
  // would cost as much as all the fields together.
  const void* last_close = ::memrchr(text.data(), ')', text.size());
  if (open == std::string_view::npos || last_close == nullptr) return result;
  const size_t close = static_cast<size_t>(static_cast<const char*>(last_close) - text.data());
  if (close < open) return result;
  StatFields& fields = result.emplace();
  fields.comm = text.substr(open + 1, close - open - 1);
  FieldCursor rest(text.data() + close + 1, text.data() + text.size());
  if (!read_fields_after_name(rest, fields)) result.reset();
  return result;
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
    machine =
        MachineFields{sum({values[0], values[1]}),
                      sum({values[2], values[3], values[4], values[5], values[6], values[7]}), 0};
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
    case 'R':
      return {K::Run};
    case 'S':
      return {K::Sleep};
    case 'D':
      return {K::UninterruptibleDiskSleep};
    case 'Z':
      return {K::Zombie};
    case 'T':
      return {K::Stop};
    case 't':
      return {K::Tracing};
    case 'X':
    case 'x':
      return {K::Dead};
    case 'K':
      return {K::Wakekill};
    case 'W':
      return {K::Waking};
    case 'P':
      return {K::Parked};
    case 'I':
      return {K::Idle};
    default:
      return ProcessState::unknown(static_cast<unsigned char>(letter));
  }
}

uint64_t ticks_to_100ns(uint64_t ticks, uint64_t ticks_per_second) {
  constexpr uint64_t UNITS_PER_SECOND = 10000000;
  if (ticks_per_second == 0) return 0;
  // USER_HZ is 100 on every common architecture: one multiplication instead of four divisions,
  // for two conversions per process per refresh.
  if (ticks_per_second == 100) return saturating_multiply(ticks, UNITS_PER_SECOND / 100);
  // Whole seconds and the ticks left over, so that nothing overflows before saturation.
  const uint64_t whole = saturating_multiply(ticks / ticks_per_second, UNITS_PER_SECOND);
  const uint64_t part = ticks % ticks_per_second * UNITS_PER_SECOND / ticks_per_second;
  return saturating_add(whole, part);
}

}  // namespace treemon::linux_proc
