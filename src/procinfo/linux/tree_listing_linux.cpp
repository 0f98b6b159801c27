#include "procinfo/linux/tree_listing_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <unordered_set>

namespace treemon::linux_proc {

void parse_children(std::string_view text, std::vector<uint32_t>& out) {
  const char* at = text.data();
  const char* end = text.data() + text.size();
  while (at < end) {
    uint32_t pid = 0;
    const auto [next, error] = std::from_chars(at, end, pid);
    if (error == std::errc() && next != at) {
      out.push_back(pid);
      at = next;
    } else {
      ++at;
    }
  }
}

bool TreeListing::available() { return ::access("/proc/thread-self/children", R_OK) == 0; }

void TreeListing::collect(ProcDirectory& proc, const std::vector<uint32_t>& roots,
                          std::vector<uint32_t>& out) {
  out.clear();
  std::unordered_set<uint32_t> seen;
  std::vector<uint32_t> queue(roots.begin(), roots.end());
  for (size_t next = 0; next < queue.size(); ++next) {
    const uint32_t pid = queue[next];
    if (pid == 0 || !seen.insert(pid).second) continue;
    out.push_back(pid);
    children_of(proc, pid, queue);
  }
  std::sort(out.begin(), out.end());
}

void TreeListing::children_of(ProcDirectory& proc, uint32_t pid, std::vector<uint32_t>& out) {
  ReadStatus status = ReadStatus::Ok;
  const UniqueFd tasks = proc.open(ProcPath(pid, "task").text, status);
  if (!tasks) return;
  for (;;) {
    const ssize_t got =
        ::getdents64(tasks.get(), directory_buffer_.data(), directory_buffer_.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    for (ssize_t at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(directory_buffer_.data() + at);
      at += entry->d_reclen;
      uint32_t tid = 0;
      const char* name = entry->d_name;
      const auto [end, error] = std::from_chars(name, name + std::strlen(name), tid);
      if (error != std::errc() || *end != '\0') continue;
      char path[64];
      std::snprintf(path, sizeof path, "%u/task/%u/children", pid, tid);
      if (proc.read(path, buffer_) == ReadStatus::Ok) parse_children(buffer_.text(), out);
    }
  }
}

}  // namespace treemon::linux_proc
