// ListedProcesses: what one list of the Linux platform has listed so far, each listing with the
// handle it was listed through (null for none), at the same index; adding and erasing keep the
// two in step. The listings are the caller's vector, whose elements are overwritten in place
// rather than cleared and rebuilt, so that in the steady state a list copies each name into
// storage the previous one left, allocating nothing.
// Main thread only, like the platform that owns it.
#pragma once

#include <cstddef>
#include <vector>

#include "procinfo/linux/process_handle_linux.h"
#include "procinfo/platform.h"

namespace treemon::linux_proc {

class ListedProcesses {
 public:
  // Lists into `out`, with `handles` (reused between lists) beside it.
  ListedProcesses(std::vector<ListedProcess>& out, std::vector<LinuxProcess*>& handles)
      : out_(out), handles_(handles) {
    handles_.clear();
  }
  ListedProcesses(const ListedProcesses&) = delete;
  ListedProcesses& operator=(const ListedProcesses&) = delete;

  // Where the next listing is read; add() keeps it, or the next read overwrites it.
  ListedProcess& next() { return size() < out_.size() ? out_[size()] : out_.emplace_back(); }
  void add(LinuxProcess* handle) { handles_.push_back(handle); }
  // Drops what no listing kept: everything, when the list could not be taken.
  void finish(bool taken) {
    if (!taken) handles_.clear();
    out_.resize(size());
  }

  size_t size() const { return handles_.size(); }
  ListedProcess& listing(size_t index) { return out_[index]; }
  const ListedProcess& listing(size_t index) const { return out_[index]; }
  LinuxProcess* handle(size_t index) const { return handles_[index]; }
  void erase(size_t index) {
    out_.erase(out_.begin() + static_cast<std::ptrdiff_t>(index));
    handles_.erase(handles_.begin() + static_cast<std::ptrdiff_t>(index));
  }

 private:
  std::vector<ListedProcess>& out_;
  std::vector<LinuxProcess*>& handles_;
};

}  // namespace treemon::linux_proc
