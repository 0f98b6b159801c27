#include "recorder/child_reaper_linux.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

#include "procinfo/linux/proc_parse_linux.h"

namespace treemon::recorder {
namespace {

uint64_t to_100ns(const timeval& time) {
  return static_cast<uint64_t>(time.tv_sec) * 10000000u + static_cast<uint64_t>(time.tv_usec) * 10u;
}

// The next child that has ended, left a zombie; 0 when none has.
pid_t next_ended() {
  siginfo_t info;
  for (;;) {
    std::memset(&info, 0, sizeof info);
    if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT | __WALL) == 0) return info.si_pid;
    if (errno != EINTR) return 0;  // ECHILD: no child at all
  }
}

}  // namespace

Status ChildReaper::become_subreaper() {
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) {
    return Status::error(std::string("cannot become the reaper of the command's orphans: ") +
                         std::strerror(errno));
  }
  return {};
}

TreeUsage ChildReaper::read_io(pid_t pid) {
  TreeUsage usage;
  if (proc_.read(linux_proc::ProcPath(static_cast<uint32_t>(pid), "io").text, buffer_) !=
      linux_proc::ReadStatus::Ok) {
    return usage;
  }
  if (const std::optional<linux_proc::IoFields> io = linux_proc::parse_io(buffer_.text())) {
    usage.read_bytes = io->rchar;
    usage.written_bytes = io->wchar;
  }
  return usage;
}

std::vector<ReapedChild> ChildReaper::reap_ended() {
  std::vector<ReapedChild> reaped;
  for (pid_t pid = next_ended(); pid > 0; pid = next_ended()) {
    TreeUsage usage = read_io(pid);
    int status = 0;
    rusage used{};
    pid_t waited;
    do {
      waited = ::wait4(pid, &status, __WALL, &used);
    } while (waited < 0 && errno == EINTR);
    if (waited != pid) break;  // taken by a wait elsewhere: rule 2 was broken
    usage.cpu_100ns = to_100ns(used.ru_utime) + to_100ns(used.ru_stime);
    reaped_ = reaped_ + usage;
    reaped.push_back({pid, status});
  }
  return reaped;
}

}  // namespace treemon::recorder
