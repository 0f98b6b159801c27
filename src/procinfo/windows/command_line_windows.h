// Reading another process's command line on Windows: through its environment block (32- or
// 64-bit layout) to the process parameters, then the text itself, from the native command-line
// query (Windows 8.1 and later) or from the string the parameters record (before that).
//
// The two native services it calls are behind NativeProcessServices, so that tests can answer
// with the documented layouts that the system under test (Wine) never gives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/win32_windows.h"
#include "procinfo/platform.h"

#include <winternl.h>

namespace treemon {

class NativeProcessServices {
 public:
  virtual ~NativeProcessServices() = default;
  // NtQueryInformationProcess.
  virtual NTSTATUS query_information(HANDLE process, PROCESSINFOCLASS kind, void* buffer,
                                     ULONG size, ULONG* returned) = 0;
  // ReadProcessMemory: whether the call succeeded, and in `copied` how many bytes it copied.
  virtual bool read_memory(HANDLE process, uint64_t address, void* out, size_t size,
                           size_t& copied) = 0;
};

// The services of the running system.
class SystemProcessServices final : public NativeProcessServices {
 public:
  NTSTATUS query_information(HANDLE process, PROCESSINFOCLASS kind, void* buffer, ULONG size,
                             ULONG* returned) override;
  bool read_memory(HANDLE process, uint64_t address, void* out, size_t size,
                   size_t& copied) override;
};

// The query classes and statuses the reader uses, named for its tests too.
inline constexpr auto PROCESS_WOW64_INFORMATION_CLASS = static_cast<PROCESSINFOCLASS>(26);
inline constexpr auto PROCESS_COMMAND_LINE_INFORMATION_CLASS = static_cast<PROCESSINFOCLASS>(60);
inline constexpr NTSTATUS STATUS_INFO_LENGTH_MISMATCH_VALUE = static_cast<NTSTATUS>(0xC0000004);
inline constexpr NTSTATUS STATUS_BUFFER_OVERFLOW_VALUE = static_cast<NTSTATUS>(0x80000005);
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL_VALUE = static_cast<NTSTATUS>(0xC0000023);

// The command line of `process` split into arguments. Keeps the previous arguments (replace
// false) when the environment block or the process parameters cannot be read; an empty list
// when the text itself cannot be read.
CommandLineRead read_command_line(NativeProcessServices& services, HANDLE process,
                                  bool use_command_line_query);

}  // namespace treemon
