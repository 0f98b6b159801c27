#include "procinfo/linux/machine_stat_linux.h"

#include <fcntl.h>
#include <unistd.h>

#include "base/saturating.h"
#include "procinfo/linux/fork_reading_linux.h"
#include "procinfo/linux/proc_parse_linux.h"

namespace treemon::linux_proc {

MachineStat::MachineStat() {
  ReadStatus status;
  file_ = open_at(AT_FDCWD, "/proc/stat", status);
  const long ticks = ::sysconf(_SC_CLK_TCK);
  if (ticks > 0) ticks_per_second_ = static_cast<uint64_t>(ticks);
  if (file_ && read_file(file_.get(), buffer_) == ReadStatus::Ok) {
    boot_time_s_ = parse_boot_time(buffer_.text());
  }
}

std::optional<uint64_t> MachineStat::start_seconds(uint64_t start_ticks) const {
  if (!boot_time_s_) return std::nullopt;
  return saturating_add(*boot_time_s_, start_ticks / ticks_per_second_);
}

uint64_t MachineStat::ticks_to_100ns(uint64_t ticks) const {
  return linux_proc::ticks_to_100ns(ticks, ticks_per_second_);
}

std::optional<uint64_t> MachineStat::read_for_list(uint64_t generation) {
  if (!file_ || read_file(file_.get(), buffer_) != ReadStatus::Ok) return std::nullopt;
  list_generation_ = generation;
  list_times_ = times_of(buffer_.text());
  return parse_fork_count(buffer_.text());
}

std::optional<MachineTimes> MachineStat::machine_times(uint64_t generation) {
  if (generation != 0 && list_generation_ == generation) return list_times_;
  if (!file_ || read_file(file_.get(), buffer_) != ReadStatus::Ok) return std::nullopt;
  return times_of(buffer_.text());
}

uint32_t MachineStat::processor_count() {
  if (file_ && read_file(file_.get(), buffer_) == ReadStatus::Ok) {
    std::optional<MachineFields> machine = parse_machine_stat(buffer_.text());
    if (machine && machine->cpu_lines > 0) return machine->cpu_lines;
  }
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<uint32_t>(online) : 0;
}

std::optional<MachineTimes> MachineStat::times_of(std::string_view text) const {
  std::optional<MachineFields> machine = parse_machine_stat(text);
  if (!machine) return std::nullopt;
  return MachineTimes{ticks_to_100ns(machine->kernel_ticks), ticks_to_100ns(machine->user_ticks)};
}

}  // namespace treemon::linux_proc
