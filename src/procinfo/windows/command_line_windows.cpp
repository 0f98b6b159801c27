#include "procinfo/windows/command_line_windows.h"

#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace treemon {
namespace {

// A command line is a UNICODE_STRING of at most 65535 bytes; the query's answer is that string's
// header followed by its text, so anything far larger is not an answer to trust.
constexpr ULONG MAX_COMMAND_LINE_QUERY_BYTES = 1u << 20;

// Where the fields on the way to the command line lie in the other process's memory.
struct ProcessLayout {
  size_t parameters_pointer_offset;  // in the environment block
  size_t pointer_size;
  size_t command_line_offset;   // of the UNICODE_STRING in the process-parameters block
  size_t string_buffer_offset;  // of Buffer inside that UNICODE_STRING
};
constexpr ProcessLayout LAYOUT_64{0x20, 8, 0x70, 8};
constexpr ProcessLayout LAYOUT_32{0x10, 4, 0x40, 4};

// The recorded command-line string of a process: where its UTF-16 text lies and how many bytes.
struct RemoteString {
  uint64_t address = 0;
  uint16_t length_bytes = 0;
};

// Reads exactly `size` bytes; a failed or short read is a failure.
bool read_remote(NativeProcessServices& services, HANDLE process, uint64_t address, void* out,
                 size_t size) {
  size_t copied = 0;
  return services.read_memory(process, address, out, size, copied) && copied == size;
}

uint64_t pointer_at(const std::byte* bytes, size_t offset, size_t pointer_size) {
  if (pointer_size == 4) {
    uint32_t value = 0;
    std::memcpy(&value, bytes + offset, sizeof(value));
    return value;
  }
  uint64_t value = 0;
  std::memcpy(&value, bytes + offset, sizeof(value));
  return value;
}

// The environment block's address and the layout to read it with; none when the queries fail.
std::optional<std::pair<uint64_t, ProcessLayout>> find_environment_block(
    NativeProcessServices& services, HANDLE process) {
  ULONG_PTR wow64_block = 0;
  if (!NT_SUCCESS(services.query_information(process, PROCESS_WOW64_INFORMATION_CLASS, &wow64_block,
                                             sizeof(wow64_block), nullptr))) {
    return std::nullopt;
  }
  if (wow64_block != 0) return std::pair{static_cast<uint64_t>(wow64_block), LAYOUT_32};
  PROCESS_BASIC_INFORMATION basic{};
  if (!NT_SUCCESS(services.query_information(process, ProcessBasicInformation, &basic,
                                             sizeof(basic), nullptr))) {
    return std::nullopt;
  }
  return std::pair{static_cast<uint64_t>(reinterpret_cast<uintptr_t>(basic.PebBaseAddress)),
                   LAYOUT_64};
}

// Follows the environment block to the process parameters and the command-line string they
// record. None when a query or a read fails.
std::optional<RemoteString> find_recorded_command_line(NativeProcessServices& services,
                                                       HANDLE process) {
  const auto block = find_environment_block(services, process);
  if (!block) return std::nullopt;
  const auto& [block_address, layout] = *block;

  std::byte environment[0x28] = {};
  const size_t environment_size = layout.parameters_pointer_offset + layout.pointer_size;
  if (!read_remote(services, process, block_address, environment, environment_size)) {
    return std::nullopt;
  }
  const uint64_t parameters_address =
      pointer_at(environment, layout.parameters_pointer_offset, layout.pointer_size);

  std::byte parameters[0x80] = {};
  const size_t parameters_size =
      layout.command_line_offset + layout.string_buffer_offset + layout.pointer_size;
  if (!read_remote(services, process, parameters_address, parameters, parameters_size)) {
    return std::nullopt;
  }
  RemoteString recorded;
  std::memcpy(&recorded.length_bytes, parameters + layout.command_line_offset,
              sizeof(recorded.length_bytes));
  recorded.address = pointer_at(
      parameters, layout.command_line_offset + layout.string_buffer_offset, layout.pointer_size);
  return recorded;
}

bool is_expected_size_answer(NTSTATUS status) {
  return status == STATUS_INFO_LENGTH_MISMATCH_VALUE || status == STATUS_BUFFER_OVERFLOW_VALUE ||
         status == STATUS_BUFFER_TOO_SMALL_VALUE;
}

// The command line through the native query: one call for the size, one for the text.
std::optional<std::wstring> query_command_line(NativeProcessServices& services, HANDLE process) {
  ULONG needed = 0;
  const NTSTATUS size_status = services.query_information(
      process, PROCESS_COMMAND_LINE_INFORMATION_CLASS, nullptr, 0, &needed);
  if (!is_expected_size_answer(size_status)) return std::nullopt;
  if (needed < sizeof(UNICODE_STRING) || needed > MAX_COMMAND_LINE_QUERY_BYTES) return std::nullopt;

  // uint64_t elements keep the UNICODE_STRING header aligned.
  std::vector<uint64_t> storage((needed + sizeof(uint64_t) - 1) / sizeof(uint64_t));
  ULONG answered = needed;  // stays the whole buffer if the call does not say
  if (!NT_SUCCESS(services.query_information(process, PROCESS_COMMAND_LINE_INFORMATION_CLASS,
                                             storage.data(), needed, &answered))) {
    return std::nullopt;
  }
  const size_t answer_bytes = std::min(answered, needed);
  if (answer_bytes < sizeof(UNICODE_STRING)) return std::nullopt;
  UNICODE_STRING header{};
  std::memcpy(&header, storage.data(), sizeof(header));
  if (header.Length == 0) return std::wstring();
  // The text must lie in the answer, after its header: anything else is not this answer's text.
  const uintptr_t begin = reinterpret_cast<uintptr_t>(storage.data());
  const uintptr_t text = reinterpret_cast<uintptr_t>(header.Buffer);
  if (text < begin + sizeof(UNICODE_STRING) || text - begin > answer_bytes ||
      answer_bytes - (text - begin) < header.Length) {
    return std::nullopt;
  }
  std::wstring result(header.Length / sizeof(wchar_t), L'\0');
  std::memcpy(result.data(), reinterpret_cast<const std::byte*>(storage.data()) + (text - begin),
              result.size() * sizeof(wchar_t));
  return result;
}

// The command line as the process-parameters block records it, exactly its recorded length.
std::optional<std::wstring> read_recorded_command_line(NativeProcessServices& services,
                                                       HANDLE process, const RemoteString& where) {
  std::wstring result(where.length_bytes / sizeof(wchar_t), L'\0');
  if (result.empty()) return result;
  if (!read_remote(services, process, where.address, result.data(),
                   result.size() * sizeof(wchar_t))) {
    return std::nullopt;
  }
  return result;
}

struct LocalArgumentsDeleter {
  void operator()(LPWSTR* arguments) const { ::LocalFree(arguments); }
};

// Splits a command line as the C runtime would. An empty text has no arguments (the split itself
// would answer with this program's own path).
std::vector<std::string> split_command_line(const std::wstring& text) {
  std::vector<std::string> arguments;
  if (text.empty()) return arguments;
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalArgumentsDeleter> split(
      ::CommandLineToArgvW(text.c_str(), &count));
  if (!split) return arguments;
  arguments.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) arguments.push_back(utf8_from_wide(split.get()[i]));
  return arguments;
}

}  // namespace

NTSTATUS SystemProcessServices::query_information(HANDLE process, PROCESSINFOCLASS kind,
                                                  void* buffer, ULONG size, ULONG* returned) {
  return ::NtQueryInformationProcess(process, kind, buffer, size, returned);
}

bool SystemProcessServices::read_memory(HANDLE process, uint64_t address, void* out, size_t size,
                                        size_t& copied) {
  SIZE_T read = 0;
  const auto* source = reinterpret_cast<const void*>(static_cast<uintptr_t>(address));
  const bool succeeded = ::ReadProcessMemory(process, source, out, size, &read);
  copied = read;
  return succeeded;
}

CommandLineRead read_command_line(NativeProcessServices& services, HANDLE process,
                                  bool use_command_line_query) {
  const std::optional<RemoteString> recorded = find_recorded_command_line(services, process);
  if (!recorded) return {false, {}};
  const std::optional<std::wstring> text =
      use_command_line_query ? query_command_line(services, process)
                             : read_recorded_command_line(services, process, *recorded);
  if (!text) return {true, {}};
  return {true, split_command_line(*text)};
}

}  // namespace treemon
