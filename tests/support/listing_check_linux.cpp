#include "support/listing_check_linux.h"

#include <dirent.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "procinfo/linux/platform_linux.h"

namespace treemon::linux_proc {
namespace {

constexpr const char* REASON_NAMES[] = {
    "none",        "first listing",       "no reading",       "other namespace",
    "unwatched",   "counter went back",   "pid_max changed",  "forks outside the range",
    "whole cycle", "last pid moved back", "last pid written", "too wide",
    "periodic"};
static_assert(std::size(REASON_NAMES) == static_cast<size_t>(ListReason::Periodic) + 1);

bool has_exited(int pidfd) {
  pollfd exited{pidfd, POLLIN, 0};
  return ::poll(&exited, 1, 0) != 0;  // an error tells nothing either: taken as exited
}

std::optional<uint32_t> pid_of(const char* name) {
  uint32_t pid = 0;
  const char* end = name + std::strlen(name);
  const auto [parsed, error] = std::from_chars(name, end, pid);
  if (error != std::errc() || parsed != end) return std::nullopt;
  return pid;
}

}  // namespace

ListingCheck::~ListingCheck() { release(); }

void ListingCheck::release() {
  for (const Held& held : held_) ::close(held.pidfd);
  held_.clear();
}

bool ListingCheck::take_full_listing() {
  release();
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  while (const dirent* entry = ::readdir(proc)) {
    const std::optional<uint32_t> pid = pid_of(entry->d_name);
    if (!pid) continue;
    const long pidfd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(*pid), 0);
    if (pidfd >= 0) held_.push_back({*pid, static_cast<int>(pidfd)});  // else gone already
  }
  ::closedir(proc);
  std::sort(held_.begin(), held_.end(), [](const Held& a, const Held& b) { return a.pid < b.pid; });
  return true;
}

std::optional<std::string> ListingCheck::compare(std::span<const ListedPid> listed) {
  ++compared_;
  std::vector<ListedPid> sorted(listed.begin(), listed.end());
  const auto by_pid = [](const ListedPid& a, const ListedPid& b) { return a.pid < b.pid; };
  std::sort(sorted.begin(), sorted.end(), by_pid);
  const auto shown = [&](uint32_t pid) {
    return std::binary_search(sorted.begin(), sorted.end(), ListedPid{pid, false}, by_pid);
  };
  const auto held = [this](uint32_t pid) {
    return std::binary_search(held_.begin(), held_.end(), Held{pid, -1},
                              [](const Held& a, const Held& b) { return a.pid < b.pid; });
  };
  std::string wrong;
  for (const Held& process : held_) {
    if (!shown(process.pid) && !has_exited(process.pidfd)) {
      wrong += " missed " + std::to_string(process.pid) + ";";
    }
  }
  for (const ListedPid& listing : sorted) {
    if (listing.carried_over && !held(listing.pid)) {
      wrong += " stale " + std::to_string(listing.pid) + ";";
    }
  }
  release();
  if (wrong.empty()) return std::nullopt;
  return "listing check:" + wrong;
}

void ListingCheck::count(const ListingPlan& plan) {
  switch (plan.kind) {
    case ListingPlan::Kind::Skip:
      ++skipped_;
      break;
    case ListingPlan::Kind::Probe:
      ++probed_;
      if (plan.ranges.size() > 1) ++probed_across_wrap_;
      break;
    case ListingPlan::Kind::ListAll:
      ++listed_[plan.reason];
      break;
  }
}

std::string ListingCheck::summary() const {
  std::string text = "listing check: " + std::to_string(skipped_) + " refreshes skipped, " +
                     std::to_string(probed_) + " probed (" + std::to_string(probed_across_wrap_) +
                     " across a wrap), " + std::to_string(compared_) +
                     " compared with a full listing, nothing missed, nothing stale; "
                     "listed in full:";
  for (const auto& [reason, times] : listed_) {
    text += " " + std::string(REASON_NAMES[static_cast<size_t>(reason)]) + " " +
            std::to_string(times) + ",";
  }
  if (text.back() == ',') text.pop_back();
  return text;
}

namespace {

// What the monitor's platform tells: a wrong listing ends the program, so that a soak run stops
// at the first, and the summary is written when the platform goes.
class CheckingObserver final : public ListingObserver {
 public:
  ~CheckingObserver() override { write_line(check_.summary()); }
  void refresh_begins() override { check_.take_full_listing(); }
  void planned(const ListingPlan& plan) override { check_.count(plan); }
  void listed_without_directory(std::span<const ListedPid> listed) override {
    if (const std::optional<std::string> wrong = check_.compare(listed)) {
      write_line(*wrong);
      std::abort();
    }
  }

 private:
  static void write_line(std::string text) {
    text += "\n";
    static_cast<void>(::write(STDERR_FILENO, text.data(), text.size()));
  }

  ListingCheck check_;
};

}  // namespace
}  // namespace treemon::linux_proc

namespace treemon {

std::unique_ptr<ProcessPlatform> make_listing_checking_platform() {
  return make_observed_linux_platform(std::make_unique<linux_proc::CheckingObserver>());
}

}  // namespace treemon
