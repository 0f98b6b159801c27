#include "procinfo/linux/exit_watch_linux.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

namespace treemon::linux_proc {

UniqueFd open_pidfd(uint32_t pid) {
  const auto fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
  return UniqueFd(fd >= 0 ? fd : -1);
}

ExitWatch::ExitWatch() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}

bool ExitWatch::add(uint32_t pid, int pidfd, WatchedProcess* process) {
  if (!epoll_) return false;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = process;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, pidfd, &event) != 0) return false;
  watched_.insert_or_assign(pid, process);
  return true;
}

void ExitWatch::remove(uint32_t pid, int pidfd, const WatchedProcess* process) {
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, pidfd, nullptr);
  auto found = watched_.find(pid);
  if (found != watched_.end() && found->second == process) watched_.erase(found);
  ended_.push_back(pid);
}

bool ExitWatch::take_ended(std::vector<uint32_t>& out) {
  out.swap(ended_);
  ended_.clear();
  std::sort(out.begin(), out.end());
  return !out.empty();
}

bool ExitWatch::collect_exits() {
  for (;;) {
    const int ready = ::epoll_wait(epoll_.get(), events_, std::size(events_), 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return false;
    for (int i = 0; i < ready; ++i) static_cast<WatchedProcess*>(events_[i].data.ptr)->exit_seen();
    if (ready < static_cast<int>(std::size(events_))) return true;
  }
}

}  // namespace treemon::linux_proc
