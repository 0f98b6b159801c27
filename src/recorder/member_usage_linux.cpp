#include "recorder/member_usage_linux.h"

#include <time.h>
#include <unistd.h>

#include "base/saturating.h"
#include "procinfo/linux/proc_parse_linux.h"

namespace treemon::recorder {
namespace {

// The process's CPU time in 100-ns units from its CPU clock, which the kernel lets any process
// read; nothing when the process is gone.
std::optional<uint64_t> process_clock_100ns(uint32_t pid) {
  clockid_t clock;
  timespec now;
  if (::clock_getcpuclockid(static_cast<pid_t>(pid), &clock) != 0 ||
      ::clock_gettime(clock, &now) != 0) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(now.tv_sec) * 10000000u + static_cast<uint64_t>(now.tv_nsec) / 100u;
}

}  // namespace

MemberUsageReader::MemberUsageReader() {
  const long ticks = ::sysconf(_SC_CLK_TCK);
  if (ticks > 0) ticks_per_second_ = static_cast<uint64_t>(ticks);
}

KernelReading MemberUsageReader::read(std::span<const uint32_t> parents_first) {
  KernelReading reading;
  for (uint32_t pid : parents_first) static_cast<void>(read_member(pid, reading));
  return reading;
}

bool MemberUsageReader::read_member(uint32_t pid, KernelReading& reading) {
  using linux_proc::ReadStatus;
  if (proc_.read(linux_proc::ProcPath(pid, "stat").text, buffer_) != ReadStatus::Ok) return false;
  const std::optional<linux_proc::StatFields> stat = linux_proc::parse_stat(buffer_.text());
  if (!stat) return false;
  const std::optional<uint64_t> own = process_clock_100ns(pid);
  uint64_t ticks = saturating_add(stat->children_user_ticks, stat->children_system_ticks);
  unsigned truncated_counts = 2;
  if (!own) {
    ticks = saturating_add(ticks, saturating_add(stat->user_ticks, stat->system_ticks));
    truncated_counts = 4;
  }
  TreeUsage usage{
      saturating_add(own.value_or(0), linux_proc::ticks_to_100ns(ticks, ticks_per_second_)), 0, 0};
  if (proc_.read(linux_proc::ProcPath(pid, "io").text, buffer_) == ReadStatus::Ok) {
    if (const std::optional<linux_proc::IoFields> io = linux_proc::parse_io(buffer_.text())) {
      usage.read_bytes = io->rchar;
      usage.written_bytes = io->wchar;
    }
  }
  reading.usage = reading.usage + usage;
  reading.cpu_truncation_100ns =
      saturating_add(reading.cpu_truncation_100ns,
                     linux_proc::ticks_to_100ns(truncated_counts, ticks_per_second_));
  return true;
}

}  // namespace treemon::recorder
