#include "procinfo/linux/fork_reading_linux.h"

#include <fcntl.h>

#include <charconv>

namespace treemon::linux_proc {
namespace {

// The decimal number at the start of `text` (after spaces), and the text after it.
template <typename Number>
std::optional<Number> leading_number(std::string_view& text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  return value;
}

}  // namespace

std::optional<uint64_t> parse_fork_count(std::string_view proc_stat) {
  constexpr std::string_view KEY = "\nprocesses ";
  const size_t at = proc_stat.find(KEY);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = proc_stat.substr(at + KEY.size());
  std::optional<uint64_t> forks = leading_number<uint64_t>(rest);
  if (!forks || rest.empty() || rest.front() != '\n') return std::nullopt;
  return forks;
}

// "0.20 0.18 0.12 1/80 11206": three averages, running/tasks, last pid.
std::optional<LoadavgFields> parse_loadavg(std::string_view text) {
  for (int field = 0; field < 3; ++field) {
    const size_t space = text.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    text.remove_prefix(space + 1);
  }
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  text.remove_prefix(slash + 1);
  const std::optional<uint32_t> tasks = leading_number<uint32_t>(text);
  const std::optional<uint32_t> last_pid = tasks ? leading_number<uint32_t>(text) : std::nullopt;
  if (!last_pid || text != "\n") return std::nullopt;
  return LoadavgFields{*last_pid, *tasks};
}

std::optional<uint32_t> parse_pid_max(std::string_view text) {
  std::optional<uint32_t> pid_max = leading_number<uint32_t>(text);
  if (!pid_max || text != "\n" || *pid_max <= RESERVED_PIDS) return std::nullopt;
  return pid_max;
}

ForkReader::ForkReader() {
  ReadStatus status;
  loadavg_ = open_at(AT_FDCWD, "/proc/loadavg", status);
  pid_max_ = open_at(AT_FDCWD, "/proc/sys/kernel/pid_max", status);
}

std::optional<ForkReading> ForkReader::read(std::optional<uint64_t> forks,
                                            FileBuffer& buffer) const {
  if (!forks || !loadavg_ || read_file(loadavg_.get(), buffer) != ReadStatus::Ok) {
    return std::nullopt;
  }
  const std::optional<LoadavgFields> load = parse_loadavg(buffer.text());
  if (!load || !pid_max_ || read_file(pid_max_.get(), buffer) != ReadStatus::Ok) {
    return std::nullopt;
  }
  const std::optional<uint32_t> pid_max = parse_pid_max(buffer.text());
  if (!pid_max) return std::nullopt;
  return ForkReading{*forks, load->last_pid, load->tasks, *pid_max};
}

}  // namespace treemon::linux_proc
