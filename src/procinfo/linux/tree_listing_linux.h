// The processes of the trees under some roots, as the kernel links them now: each root and,
// through the children files of every thread (/proc/PID/task/TID/children), its descendants.
// For a caller that looks at those trees alone, a list of them costs what the trees hold, not
// what the machine holds.
//
// Rules a change must keep:
//  1. The pids come out ascending and once each, the roots among them whether or not they still
//     exist (the list that reads them finds out); a pid reached twice is followed once.
//  2. A process that ends while it is read only takes its own descendants out of this list.
// Main thread only, like the platform that owns it.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "procinfo/linux/proc_files_linux.h"

namespace treemon::linux_proc {

// The pids of a children file ("12 345 "), appended to `out`.
void parse_children(std::string_view text, std::vector<uint32_t>& out);

class TreeListing {
 public:
  // Whether this kernel keeps children files.
  static bool available();

  void collect(ProcDirectory& proc, const std::vector<uint32_t>& roots, std::vector<uint32_t>& out);

 private:
  // Appends the children of every thread of `pid`.
  void children_of(ProcDirectory& proc, uint32_t pid, std::vector<uint32_t>& out);

  FileBuffer buffer_;
  std::vector<char> directory_buffer_ = std::vector<char>(4096);
};

}  // namespace treemon::linux_proc
