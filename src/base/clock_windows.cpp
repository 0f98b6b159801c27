#include "base/clock.h"

#include <cstdint>
#include <limits>

#include "base/win32_windows.h"

namespace treemon {
namespace {

// 100-ns units from 1601-01-01 to 1970-01-01.
constexpr uint64_t FILETIME_UNIX_EPOCH = 116444736000000000;

using FileTimeReader = void(WINAPI*)(LPFILETIME);

// GetSystemTimePreciseAsFileTime exists from Windows 8 on; looking it up at run time lets the
// program start on older systems, where the coarser clock is the best there is.
FileTimeReader wall_clock_reader() {
  const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  const FARPROC precise =
      kernel32 ? ::GetProcAddress(kernel32, "GetSystemTimePreciseAsFileTime") : nullptr;
  if (precise == nullptr) return &::GetSystemTimeAsFileTime;
  return reinterpret_cast<FileTimeReader>(reinterpret_cast<void (*)()>(precise));
}

int64_t unix_ns_from_filetime(uint64_t filetime) {
  constexpr uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) / 100;
  if (filetime < FILETIME_UNIX_EPOCH) {
    return -static_cast<int64_t>(FILETIME_UNIX_EPOCH - filetime) * 100;
  }
  const uint64_t since_epoch = filetime - FILETIME_UNIX_EPOCH;
  if (since_epoch > limit) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(since_epoch) * 100;
}

}  // namespace

int64_t SystemClock::wall_now_unix_ns() {
  static const FileTimeReader read_wall_clock = wall_clock_reader();
  FILETIME now{};
  read_wall_clock(&now);
  const uint64_t filetime = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return unix_ns_from_filetime(filetime);
}

}  // namespace treemon
