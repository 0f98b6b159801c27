#include "procinfo/linux/pid_probe_linux.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

namespace treemon::linux_proc {

PidProbe probe_pid(uint32_t pid) {
  const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
  if (fd >= 0) {
    ::close(static_cast<int>(fd));
    return PidProbe::Process;
  }
  switch (errno) {
    case ESRCH:
    case ENOENT:
    case EINVAL:
      return PidProbe::NoProcess;
    default:
      return PidProbe::Unknown;
  }
}

bool find_processes(PidRange range, std::span<const uint32_t> known, std::vector<uint32_t>& found) {
  auto next_known = std::lower_bound(known.begin(), known.end(), range.first);
  for (uint64_t pid = range.first; pid <= range.last; ++pid) {
    if (next_known != known.end() && *next_known == pid) {
      ++next_known;
      continue;
    }
    const PidProbe probe = probe_pid(static_cast<uint32_t>(pid));
    if (probe == PidProbe::Unknown) return false;
    if (probe == PidProbe::Process) found.push_back(static_cast<uint32_t>(pid));
  }
  return true;
}

bool pids_to_list(const ListingPlan& plan, std::span<const uint32_t> known,
                  std::vector<uint32_t>& found, std::vector<uint32_t>& out) {
  found.clear();
  for (const PidRange& range : plan.ranges) {
    if (!find_processes(range, known, found)) return false;
  }
  out.clear();
  std::merge(known.begin(), known.end(), found.begin(), found.end(), std::back_inserter(out));
  return true;
}

}  // namespace treemon::linux_proc
