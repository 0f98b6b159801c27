#include "procinfo/windows/private_working_set_windows.h"

#include <gtest/gtest.h>
#include <winternl.h>

#include <cstring>
#include <vector>

#include "procinfo/platform.h"

namespace treemon {
namespace {

// One entry of a SystemProcessInformation answer, followed by `padding` bytes (its threads).
void append_entry(std::vector<std::byte>& buffer, uint32_t pid, int64_t created, size_t working,
                  int64_t private_bytes, size_t padding, bool last) {
  SYSTEM_PROCESS_INFORMATION entry{};
  entry.NextEntryOffset = last ? 0 : static_cast<ULONG>(sizeof entry + padding);
  entry.UniqueProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(pid));
  entry.CreateTime.QuadPart = created;
  entry.VirtualMemoryCounters.WorkingSetSize = working;
  entry.Reserved[0].QuadPart = private_bytes;
  const size_t at = buffer.size();
  buffer.resize(at + sizeof entry + padding);
  std::memcpy(buffer.data() + at, &entry, sizeof entry);
}

TEST(PrivateWorkingSet, ListEntriesFollowTheirOffsets) {
  std::vector<std::byte> buffer;
  append_entry(buffer, 4, 100, 8192, 4096, 320, false);
  append_entry(buffer, 8, 200, 16384, 0, 0, true);
  const std::vector<ListedPrivateSet> listed = parse_system_process_list(buffer);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].pid, 4u);
  EXPECT_EQ(listed[0].creation_time, 100u);
  EXPECT_EQ(listed[0].working_set_bytes, 8192u);
  EXPECT_EQ(listed[0].private_bytes, 4096u);
  EXPECT_EQ(listed[1].pid, 8u);
  EXPECT_EQ(listed[1].private_bytes, 0u);
}

// An offset past the end, or a buffer cut inside an entry, ends the list there.
TEST(PrivateWorkingSet, ListCutShortGivesTheEntriesBefore) {
  std::vector<std::byte> buffer;
  append_entry(buffer, 4, 100, 8192, 4096, 0, false);
  append_entry(buffer, 8, 200, 8192, 4096, 0, false);  // claims a third entry
  EXPECT_EQ(parse_system_process_list(buffer).size(), 2u);
  buffer.resize(buffer.size() - 1);
  EXPECT_EQ(parse_system_process_list(buffer).size(), 1u);
  EXPECT_TRUE(parse_system_process_list({}).empty());
}

TEST(PrivateWorkingSet, ZeroBesideAWorkingSetIsNoReading) {
  EXPECT_EQ(private_working_set(8192, 4096), 4096u);
  EXPECT_EQ(private_working_set(0, 0), 0u);
  EXPECT_EQ(private_working_set(8192, 0), std::nullopt);
}

// The platform's figure for this process: below its working set, where the system has one.
TEST(PrivateWorkingSet, ThisProcessHasOneBelowItsWorkingSet) {
  std::unique_ptr<ProcessPlatform> platform = make_system_platform();
  ASSERT_EQ(platform->memory_share_kind(), MemoryShareKind::PrivateOnly);
  std::vector<ListedProcess> listed;
  struct NoneOpened final : OpenedProcesses {
    ProcessHandle* find_opened(uint32_t) const override { return nullptr; }
  };
  ASSERT_TRUE(platform->list_processes(listed, NoneOpened()));
  ListedProcess self;
  self.pid = ::GetCurrentProcessId();
  std::unique_ptr<ProcessHandle> handle = platform->open_process(self);
  ASSERT_NE(handle, nullptr);
  const std::optional<uint64_t> share = platform->memory_share(*handle);
  if (!share) GTEST_SKIP() << "this system gives no private working set (Wine answers zeros)";
  EXPECT_GT(*share, 0u);
  EXPECT_LE(*share, platform->memory(*handle)->resident_bytes);
}

}  // namespace
}  // namespace treemon
