#include "procinfo/linux/proc_files_linux.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "procinfo/platform.h"

namespace treemon::linux_proc {
namespace {

// Descriptors left to the rest of the monitor (standard streams, pipes, the reader thread).
constexpr uint64_t DESCRIPTOR_RESERVE = 256;

}  // namespace

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(fd_);  // never retried: Linux releases the descriptor even on EINTR
  fd_ = -1;
}

ReadStatus status_from_errno(int error) {
  switch (error) {
    case ENOENT:
    case ESRCH:
      return ReadStatus::Gone;
    case EACCES:
    case EPERM:
      return ReadStatus::Denied;
    case EMFILE:
    case ENFILE:
      return ReadStatus::NoDescriptors;
    default:
      return ReadStatus::Failed;
  }
}

UniqueFd open_at(int directory, const char* path, ReadStatus& status) {
  int fd;
  do {
    fd = ::openat(directory, path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  status = fd < 0 ? status_from_errno(errno) : ReadStatus::Ok;
  return UniqueFd(fd);
}

ReadStatus read_file(int fd, FileBuffer& out, size_t limit) {
  if (out.storage_.size() > COMMAND_LINE_READ_BYTES) {
    std::string(FileBuffer::INITIAL_BYTES, '\0').swap(out.storage_);
  }
  out.size_ = 0;
  for (;;) {
    const size_t wanted = std::min(out.storage_.size(), limit);
    const ssize_t got = ::pread(fd, out.storage_.data() + out.size_, wanted - out.size_,
                                static_cast<off_t>(out.size_));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      out.size_ = 0;
      return status_from_errno(errno);
    }
    out.size_ += static_cast<size_t>(got);
    if (got == 0 || out.size_ < wanted || out.size_ == limit) return ReadStatus::Ok;
    out.storage_.resize(out.storage_.size() * 2);
  }
}

ProcPath::ProcPath(uint32_t pid, const char* file) {
  auto [end, error] = std::to_chars(text, text + 16, pid);
  static_cast<void>(error);  // 16 bytes always hold a 32-bit number
  *end++ = '/';
  for (const char* c = file; *c != '\0'; ++c) *end++ = *c;
  *end = '\0';
}

ProcDirectory::ProcDirectory() {
  ReadStatus status;
  directory_ = open_at(AT_FDCWD, "/proc", status);
  keep_reserve();
}

ReadStatus ProcDirectory::read(const char* path, FileBuffer& out, size_t limit) {
  ReadStatus status;
  UniqueFd file = open_at(directory_.get(), path, status);
  if (status == ReadStatus::NoDescriptors && reserve_) {
    reserve_.reset();
    file = open_at(directory_.get(), path, status);
  }
  if (file) status = read_file(file.get(), out, limit);
  file.reset();
  if (!reserve_) keep_reserve();
  return status;
}

void ProcDirectory::keep_reserve() {
  if (directory_) reserve_ = UniqueFd(::fcntl(directory_.get(), F_DUPFD_CLOEXEC, 0));
}

// Raises the soft open-file limit to the hard one and returns the budget of descriptors that
// handles may keep below it.
uint64_t handle_descriptor_budget() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  // An unlimited soft limit still meets the kernel's nr_open; the budget stays a real number.
  const uint64_t soft = limit.rlim_cur == RLIM_INFINITY ? 1u << 20 : limit.rlim_cur;
  return soft > 2 * DESCRIPTOR_RESERVE ? soft - DESCRIPTOR_RESERVE : 0;
}

std::optional<std::string> proc_self() {
  char target[32] = {};
  const ssize_t length = ::readlink("/proc/self", target, sizeof target - 1);
  if (length < 0) return std::nullopt;
  return std::string(target, static_cast<size_t>(length));
}

// /proc/self is a link to the reader's own pid as the namespace of that /proc counts it: a
// different number means the /proc of another pid namespace (usually the host's, in a container
// that mounted none of its own), whose pids and trees are not those around the monitor.
std::optional<std::string> proc_namespace_warning() {
  const std::optional<std::string> self = proc_self();
  if (!self) {
    return "/proc/self cannot be read (" + std::string(std::strerror(errno)) +
           "): no process can be monitored";
  }
  const std::string pid = std::to_string(::getpid());
  if (*self == pid) return std::nullopt;
  return "/proc/self names process " + *self + ", not this process (" + pid +
         "): /proc belongs to another pid namespace, whose processes are monitored instead";
}

}  // namespace treemon::linux_proc
