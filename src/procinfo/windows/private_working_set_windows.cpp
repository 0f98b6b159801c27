#include "procinfo/windows/private_working_set_windows.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace treemon {
namespace {

// PROCESS_MEMORY_COUNTERS_EX2 as documented: the extended counters, then the private working set
// and the shared commit. Declared here, as older SDKs do not have it.
struct MemoryCountersEx2 {
  PROCESS_MEMORY_COUNTERS_EX counters;
  SIZE_T PrivateWorkingSetSize;
  ULONG64 SharedCommitUsage;
};
static_assert(sizeof(PROCESS_MEMORY_COUNTERS_EX) == 80 && sizeof(MemoryCountersEx2) == 96,
              "the counters have their documented sizes");

// The first of the entry's three reserved 64-bit fields is its private working set.
constexpr size_t PRIVATE_SET_OFFSET = offsetof(SYSTEM_PROCESS_INFORMATION, Reserved);
constexpr size_t CREATE_TIME_OFFSET = offsetof(SYSTEM_PROCESS_INFORMATION, CreateTime);
constexpr size_t PID_OFFSET = offsetof(SYSTEM_PROCESS_INFORMATION, UniqueProcessId);
constexpr size_t WORKING_SET_OFFSET = offsetof(SYSTEM_PROCESS_INFORMATION, VirtualMemoryCounters) +
                                      offsetof(VM_COUNTERS, WorkingSetSize);
static_assert(sizeof(void*) != 8 || (PRIVATE_SET_OFFSET == 8 && CREATE_TIME_OFFSET == 32 &&
                                     PID_OFFSET == 80 && WORKING_SET_OFFSET == 144),
              "the entry's fields are where 64-bit Windows puts them");

constexpr ULONG SYSTEM_PROCESS_INFORMATION_CLASS = 5;
constexpr NTSTATUS STATUS_INFO_LENGTH_MISMATCH_CODE = static_cast<NTSTATUS>(0xC0000004);
constexpr size_t LIST_BUFFER_INITIAL = 256 * 1024;
constexpr size_t LIST_BUFFER_MAX = 64 * 1024 * 1024;

template <typename T>
T field_at(std::span<const std::byte> entry, size_t offset) {
  T value;
  std::memcpy(&value, entry.data() + offset, sizeof value);
  return value;
}

std::optional<uint64_t> creation_time(HANDLE process) {
  FILETIME creation{}, exit_time{}, kernel{}, user{};
  if (!::GetProcessTimes(process, &creation, &exit_time, &kernel, &user)) return std::nullopt;
  return (static_cast<uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
}

bool counters_have_private_set() {
  MemoryCountersEx2 counters{};
  counters.counters.cb = sizeof(counters);
  return ::GetProcessMemoryInfo(::GetCurrentProcess(),
                                reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                sizeof(counters)) &&
         private_working_set(counters.counters.WorkingSetSize, counters.PrivateWorkingSetSize);
}

}  // namespace

std::optional<uint64_t> private_working_set(uint64_t working_set_bytes, uint64_t private_bytes) {
  if (private_bytes == 0 && working_set_bytes > 0) return std::nullopt;
  return private_bytes;
}

std::vector<ListedPrivateSet> parse_system_process_list(std::span<const std::byte> buffer) {
  std::vector<ListedPrivateSet> listed;
  for (size_t at = 0; buffer.size() - at >= sizeof(SYSTEM_PROCESS_INFORMATION);) {
    const std::span<const std::byte> entry = buffer.subspan(at);
    listed.push_back(ListedPrivateSet{
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(field_at<HANDLE>(entry, PID_OFFSET))),
        static_cast<uint64_t>(field_at<LONGLONG>(entry, CREATE_TIME_OFFSET)),
        field_at<SIZE_T>(entry, WORKING_SET_OFFSET),
        static_cast<uint64_t>(field_at<LONGLONG>(entry, PRIVATE_SET_OFFSET))});
    const ULONG next = field_at<ULONG>(entry, 0);
    if (next == 0 || next > buffer.size() - at) break;
    at += next;
  }
  return listed;
}

PrivateWorkingSets::PrivateWorkingSets() : counters_have_it_(counters_have_private_set()) {}

std::optional<uint64_t> PrivateWorkingSets::read(HANDLE process) {
  return counters_have_it_ ? from_counters(process) : from_system_list(process);
}

std::optional<uint64_t> PrivateWorkingSets::from_counters(HANDLE process) const {
  MemoryCountersEx2 counters{};
  counters.counters.cb = sizeof(counters);
  if (!::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof(counters))) {
    return std::nullopt;
  }
  return private_working_set(counters.counters.WorkingSetSize, counters.PrivateWorkingSetSize);
}

std::optional<uint64_t> PrivateWorkingSets::from_system_list(HANDLE process) {
  if (!list_taken_) {
    list_taken_ = true;
    listed_.clear();
    if (buffer_.empty()) buffer_.resize(LIST_BUFFER_INITIAL);
    ULONG needed = 0;
    NTSTATUS status;
    while ((status = ::NtQuerySystemInformation(
                static_cast<SYSTEM_INFORMATION_CLASS>(SYSTEM_PROCESS_INFORMATION_CLASS),
                buffer_.data(), static_cast<ULONG>(buffer_.size()), &needed)) ==
               STATUS_INFO_LENGTH_MISMATCH_CODE &&
           buffer_.size() < LIST_BUFFER_MAX) {
      buffer_.resize(std::min(LIST_BUFFER_MAX, std::max<size_t>(needed, buffer_.size() * 2)));
    }
    if (NT_SUCCESS(status)) listed_ = parse_system_process_list(buffer_);
  }
  const DWORD pid = ::GetProcessId(process);
  const std::optional<uint64_t> created = creation_time(process);
  if (!created) return std::nullopt;
  for (const ListedPrivateSet& set : listed_) {
    if (set.pid == pid && set.creation_time == *created) {
      return private_working_set(set.working_set_bytes, set.private_bytes);
    }
  }
  return std::nullopt;
}

}  // namespace treemon
