// A check for tests and soak runs, never linked into the monitor itself: every refresh that did
// not list /proc is compared with a full listing taken just before its readings. It watches the
// platform as its ListingObserver (listing_choice_linux.h).
//
// Rules:
//  1. The full listing is taken before the refresh reads the fork counter, and each process in
//     it is held by a pidfd. A process it holds that is still alive after the refresh was alive
//     all along, so the refresh must show it; one missing is a missed process.
//  2. A process the refresh carried over from the previous refresh (the same process, not a new
//     one under its pid) that the full listing did not hold had been reaped before the refresh
//     began: showing it is a stale row.
//  3. The listing is read with readdir, not with the platform's own code, so that the check is a
//     second opinion. What it holds is given back at every comparison.
// Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "procinfo/linux/listing_choice_linux.h"
#include "procinfo/linux/new_processes_linux.h"
#include "procinfo/platform.h"

namespace treemon::linux_proc {

class ListingCheck {
 public:
  ListingCheck() = default;
  ~ListingCheck();
  ListingCheck(const ListingCheck&) = delete;
  ListingCheck& operator=(const ListingCheck&) = delete;

  // Lists /proc and holds every process listed. False when /proc cannot be listed.
  bool take_full_listing();

  // What is wrong with the refresh's listing, ascending by pid; nothing when all is right.
  std::optional<std::string> compare(std::span<const ListedPid> listed);

  // For the summary: how each refresh was made.
  void count(const ListingPlan& plan);
  std::string summary() const;

 private:
  struct Held {
    uint32_t pid;
    int pidfd;
  };
  void release();

  std::vector<Held> held_;  // ascending by pid
  size_t skipped_ = 0;
  size_t probed_ = 0;
  size_t probed_across_wrap_ = 0;
  size_t compared_ = 0;
  std::map<ListReason, size_t> listed_;
};

}  // namespace treemon::linux_proc

namespace treemon {

// The system platform with every refresh that did not list /proc compared with a full listing: a
// missed process or a stale row ends the program with a line on standard error, and a summary
// of the refreshes is written there when the platform goes.
std::unique_ptr<ProcessPlatform> make_listing_checking_platform();

}  // namespace treemon
