#include "support/listing_check_linux.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace treemon::linux_proc {
namespace {

// Every process /proc lists now, as listings of new processes.
std::vector<ListedPid> everything_listed() {
  std::vector<ListedPid> listed;
  DIR* proc = ::opendir("/proc");
  while (const dirent* entry = proc ? ::readdir(proc) : nullptr) {
    if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') {
      listed.push_back({static_cast<uint32_t>(std::atol(entry->d_name)), false});
    }
  }
  if (proc) ::closedir(proc);
  return listed;
}

// A live process left out is missed, a reaped one carried over is stale; each told by pid.
TEST(ListingCheckTest, TellsMissedProcessesAndStaleRows) {
  const pid_t alive = ::fork();
  if (alive == 0) {
    for (;;) ::pause();
  }
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  ListingCheck check;

  ASSERT_TRUE(check.take_full_listing());
  std::vector<ListedPid> listed = everything_listed();
  EXPECT_EQ(check.compare(listed), std::nullopt);

  ASSERT_TRUE(check.take_full_listing());
  listed = everything_listed();
  std::erase_if(listed, [alive](const ListedPid& l) { return l.pid == uint32_t(alive); });
  EXPECT_EQ(check.compare(listed), "listing check: missed " + std::to_string(alive) + ";");

  for (const bool carried_over : {false, true}) {
    ASSERT_TRUE(check.take_full_listing());
    listed = everything_listed();
    listed.push_back({static_cast<uint32_t>(gone), carried_over});
    // A new process under the pid may have ended since; the one listed before may not.
    EXPECT_EQ(check.compare(listed),
              carried_over
                  ? std::optional<std::string>("listing check: stale " + std::to_string(gone) + ";")
                  : std::nullopt);
  }

  ::kill(alive, SIGKILL);
  ::waitpid(alive, nullptr, 0);
}

}  // namespace
}  // namespace treemon::linux_proc
