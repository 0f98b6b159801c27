#include "procinfo/linux/listing_choice_linux.h"

#include <algorithm>

#include "procinfo/linux/pid_probe_linux.h"

namespace treemon::linux_proc {

void ListingChoice::begin_refresh() {
  unread_pids_.clear();
  if (observer_) observer_->refresh_begins();
}

const std::vector<uint32_t>* ListingChoice::choose(MonoTime at,
                                                   const std::optional<ForkReading>& now,
                                                   bool own_namespace) {
  const ListingPlan plan =
      planner_.plan(at, now, {own_namespace, unwatched_listed_ == 0, listed_pids_.size()});
  if (observer_) observer_->planned(plan);
  directory_spared_ = plan.kind != ListingPlan::Kind::ListAll &&
                      pids_to_list(plan, listed_pids_, found_pids_, pids_to_list_);
  if (plan.kind != ListingPlan::Kind::ListAll && !directory_spared_) planner_.listed_in_full(at);
  return directory_spared_ ? &pids_to_list_ : nullptr;
}

void ListingChoice::remember(const ListedProcesses& listed, size_t unopened) {
  listed_pids_.clear();
  unwatched_listed_ = unopened;
  for (size_t index = 0; index < listed.size(); ++index) {
    listed_pids_.push_back(listed.listing(index).pid);
    const LinuxProcess* handle = listed.handle(index);
    if (handle && listed.listing(index).listing != Listing::ReplacesOpened &&
        handle->exit_unwatched()) {
      ++unwatched_listed_;
    }
  }
  if (!unread_pids_.empty()) {
    std::sort(unread_pids_.begin(), unread_pids_.end());
    const auto listed = static_cast<std::ptrdiff_t>(listed_pids_.size());
    listed_pids_.insert(listed_pids_.end(), unread_pids_.begin(), unread_pids_.end());
    std::inplace_merge(listed_pids_.begin(), listed_pids_.begin() + listed, listed_pids_.end());
    listed_pids_.erase(std::unique(listed_pids_.begin(), listed_pids_.end()), listed_pids_.end());
  }
  if (observer_ && directory_spared_) tell_observer(listed);
}

void ListingChoice::tell_observer(const ListedProcesses& listed) {
  observed_.clear();
  for (size_t index = 0; index < listed.size(); ++index) {
    const ListedProcess& listing = listed.listing(index);
    observed_.push_back({listing.pid, listed.handle(index) != nullptr &&
                                          listing.listing != Listing::ReplacesOpened});
  }
  observer_->listed_without_directory(observed_);
}

}  // namespace treemon::linux_proc
