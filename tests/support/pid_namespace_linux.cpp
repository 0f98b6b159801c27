#include "support/pid_namespace_linux.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace treemon::test_support {

std::string run_in_pid_namespace(bool own_proc, const std::function<std::string()>& scenario) {
  int result[2];
  if (pipe2(result, O_CLOEXEC) != 0) return SKIPPED + "no pipe";
  const pid_t outer = fork();
  if (outer == 0) {
    const auto report = [&](const std::string& text) {
      const ssize_t written = ::write(result[1], text.data(), text.size());
      _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    };
    if (::unshare(CLONE_NEWPID | (own_proc ? CLONE_NEWNS : 0)) != 0) {
      report(SKIPPED + "cannot make a pid namespace");
    }
    const pid_t init = fork();
    if (init == 0) {
      if (own_proc &&
          (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
           ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)) {
        report(SKIPPED + "cannot mount a /proc");
      }
      report(scenario());
    }
    int status = 0;
    ::waitpid(init, &status, 0);
    _exit(0);
  }
  ::close(result[1]);
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = ::read(result[0], chunk, sizeof chunk)) > 0;) {
    text.append(chunk, static_cast<size_t>(n));
  }
  ::close(result[0]);
  ::waitpid(outer, nullptr, 0);
  return text;
}

bool set_last_pid(pid_t last) {
  const int fd = ::open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const std::string text = std::to_string(last);
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

}  // namespace treemon::test_support
