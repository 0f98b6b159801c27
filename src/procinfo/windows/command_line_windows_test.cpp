// The command-line reader against answers in the documented layouts: the native query's
// UNICODE_STRING answer, and the environment and parameter blocks of 64- and 32-bit processes.
// The running system (Wine) answers neither the query nor the 32-bit question as Windows does,
// so these paths run only here.
#include "procinfo/windows/command_line_windows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace treemon {
namespace {

constexpr NTSTATUS STATUS_OK = 0;
constexpr NTSTATUS STATUS_ACCESS_DENIED_VALUE = static_cast<NTSTATUS>(0xC0000022);

// Where the fake process's blocks lie.
constexpr uint64_t ENVIRONMENT_64 = 0x10000, PARAMETERS_64 = 0x20000, TEXT_64 = 0x30000;
constexpr uint64_t ENVIRONMENT_32 = 0x7000, PARAMETERS_32 = 0x8000, TEXT_32 = 0x9000;

template <typename T>
void put(std::vector<std::byte>& block, size_t offset, T value) {
  std::memcpy(block.data() + offset, &value, sizeof(value));
}

std::vector<std::byte> bytes_of(std::u16string_view text) {
  std::vector<std::byte> bytes(text.size() * 2);
  std::memcpy(bytes.data(), text.data(), bytes.size());
  return bytes;
}

// Another process as the reader sees it through the two services.
class FakeProcess final : public NativeProcessServices {
 public:
  std::map<uint64_t, std::vector<std::byte>> memory;  // blocks by start address
  bool wow64_query_fails = false;
  ULONG_PTR wow64_block = 0;  // the 32-bit environment block; 0 for a 64-bit process

  // The native command-line query: the answer is the header, then the text.
  NTSTATUS size_status = STATUS_INFO_LENGTH_MISMATCH_VALUE;
  NTSTATUS text_status = STATUS_OK;
  std::u16string text;
  USHORT length = 0;          // bytes
  USHORT maximum_length = 0;  // bytes; the text area of the answer
  // Where Buffer points, from the start of the answer; just after the header unless a case says.
  ptrdiff_t buffer_offset = sizeof(UNICODE_STRING);

  ULONG answer_bytes() const {
    const size_t text_area = std::max<size_t>(maximum_length, text.size() * 2);
    return static_cast<ULONG>(sizeof(UNICODE_STRING) + text_area);
  }

  NTSTATUS query_information(HANDLE, PROCESSINFOCLASS kind, void* buffer, ULONG size,
                             ULONG* returned) override {
    if (kind == PROCESS_WOW64_INFORMATION_CLASS) {
      if (wow64_query_fails || size != sizeof(wow64_block)) return STATUS_ACCESS_DENIED_VALUE;
      std::memcpy(buffer, &wow64_block, sizeof(wow64_block));
      return STATUS_OK;
    }
    if (kind == ProcessBasicInformation) {
      PROCESS_BASIC_INFORMATION basic{};
      if (size != sizeof(basic)) return STATUS_INFO_LENGTH_MISMATCH_VALUE;
      basic.PebBaseAddress = reinterpret_cast<PPEB>(static_cast<uintptr_t>(ENVIRONMENT_64));
      std::memcpy(buffer, &basic, sizeof(basic));
      return STATUS_OK;
    }
    if (kind != PROCESS_COMMAND_LINE_INFORMATION_CLASS) return STATUS_ACCESS_DENIED_VALUE;
    if (returned) *returned = answer_bytes();
    if (buffer == nullptr) return size_status;
    if (!NT_SUCCESS(text_status)) return text_status;
    if (size < answer_bytes()) return STATUS_INFO_LENGTH_MISMATCH_VALUE;
    auto* answer = static_cast<std::byte*>(buffer);
    UNICODE_STRING header{length, maximum_length, reinterpret_cast<PWSTR>(answer + buffer_offset)};
    std::memcpy(answer, &header, sizeof(header));
    std::memcpy(answer + sizeof(header), text.data(), text.size() * 2);
    return STATUS_OK;
  }

  // Copies what lies inside one block; a read that runs past it copies part and fails.
  bool read_memory(HANDLE, uint64_t address, void* out, size_t size, size_t& copied) override {
    copied = 0;
    auto block = memory.upper_bound(address);
    if (block == memory.begin()) return false;
    --block;
    const uint64_t offset = address - block->first;
    if (offset >= block->second.size()) return false;
    copied = std::min<size_t>(size, block->second.size() - offset);
    std::memcpy(out, block->second.data() + offset, copied);
    return copied == size;
  }

  // A 64-bit process whose parameters record `recorded` (its whole length).
  void lay_out_64(std::u16string_view recorded) {
    std::vector<std::byte> environment(0x80), parameters(0x100);
    put<uint64_t>(environment, 0x20, PARAMETERS_64);
    put<USHORT>(parameters, 0x70, static_cast<USHORT>(recorded.size() * 2));
    put<USHORT>(parameters, 0x72, static_cast<USHORT>(recorded.size() * 2));
    put<uint64_t>(parameters, 0x78, TEXT_64);
    memory = {
        {ENVIRONMENT_64, environment}, {PARAMETERS_64, parameters}, {TEXT_64, bytes_of(recorded)}};
  }

  // A 32-bit process: its 32-bit blocks at their own offsets, and decoys where the 64-bit
  // layout would look.
  void lay_out_32(std::u16string_view recorded) {
    std::vector<std::byte> environment(0x80), parameters(0x100);
    put<uint32_t>(environment, 0x10, static_cast<uint32_t>(PARAMETERS_32));
    put<uint64_t>(environment, 0x20, PARAMETERS_64);
    put<USHORT>(parameters, 0x40, static_cast<USHORT>(recorded.size() * 2));
    put<USHORT>(parameters, 0x42, static_cast<USHORT>(recorded.size() * 2));
    put<uint32_t>(parameters, 0x44, static_cast<uint32_t>(TEXT_32));
    put<USHORT>(parameters, 0x70, 4);
    put<uint64_t>(parameters, 0x78, TEXT_64);
    memory = {{ENVIRONMENT_32, environment},
              {PARAMETERS_32, parameters},
              {TEXT_32, bytes_of(recorded)},
              {TEXT_64, bytes_of(u"decoy")}};
    wow64_block = ENVIRONMENT_32;
  }

  // The query answers `answer` in full, Buffer just after the header.
  void answer(std::u16string_view answer_text) {
    text = answer_text;
    length = maximum_length = static_cast<USHORT>(answer_text.size() * 2);
  }
};

using Arguments = std::vector<std::string>;

struct Case {
  const char* what;
  std::function<void(FakeProcess&)> arrange;
  bool use_query;
  bool replace;
  Arguments arguments;
};

TEST(WindowsCommandLine, DocumentedLayouts) {
  const Case cases[] = {
      {"query: header then text",
       [](FakeProcess& p) { p.answer(u"tool --flag \"a b\""); },
       true,
       true,
       {"tool", "--flag", "a b"}},
      {"query: maximum length beyond the text",
       [](FakeProcess& p) {
         p.answer(u"tool -a junk");
         p.length = 14;
         p.maximum_length = 40;
       },
       true,
       true,
       {"tool", "-a"}},
      {"query: odd length drops the half unit",
       [](FakeProcess& p) {
         p.answer(u"x yz");
         p.length = 7;
       },
       true,
       true,
       {"x", "y"}},
      {"query: empty text", [](FakeProcess& p) { p.answer(u""); }, true, true, {}},
      {"query: size answered with buffer overflow",
       [](FakeProcess& p) {
         p.answer(u"a b");
         p.size_status = STATUS_BUFFER_OVERFLOW_VALUE;
       },
       true,
       true,
       {"a", "b"}},
      {"query: size answered with buffer too small",
       [](FakeProcess& p) {
         p.answer(u"a b");
         p.size_status = STATUS_BUFFER_TOO_SMALL_VALUE;
       },
       true,
       true,
       {"a", "b"}},
      {"query: size answered with another failure",
       [](FakeProcess& p) {
         p.answer(u"a b");
         p.size_status = STATUS_ACCESS_DENIED_VALUE;
       },
       true,
       true,
       {}},
      {"query: second call fails",
       [](FakeProcess& p) {
         p.answer(u"a b");
         p.text_status = STATUS_ACCESS_DENIED_VALUE;
       },
       true,
       true,
       {}},
      {"query: Buffer before the answer",
       [](FakeProcess& p) {
         p.answer(u"a b");
         p.buffer_offset = -64;
       },
       true,
       true,
       {}},
      {"query: Buffer just past the answer",
       [](FakeProcess& p) {
         p.answer(u"abc");
         p.length = 2;
         p.buffer_offset = p.answer_bytes();
       },
       true,
       true,
       {}},
      {"query: text running past the answer",
       [](FakeProcess& p) {
         p.answer(u"abc");
         p.length = 8;
       },
       true,
       true,
       {}},
      {"query: Buffer inside the header",
       [](FakeProcess& p) {
         p.answer(u"a b");
         p.buffer_offset = 0;
       },
       true,
       true,
       {}},
      {"64-bit recorded string",
       [](FakeProcess& p) { p.lay_out_64(u"prog64 /x"); },
       false,
       true,
       {"prog64", "/x"}},
      {"32-bit recorded string",
       [](FakeProcess& p) { p.lay_out_32(u"prog32 /y z"); },
       false,
       true,
       {"prog32", "/y", "z"}},
      {"32-bit process, text from the query",
       [](FakeProcess& p) {
         p.lay_out_32(u"recorded");
         p.answer(u"queried 1");
       },
       true,
       true,
       {"queried", "1"}},
      {"32-bit recorded string shorter than its length",
       [](FakeProcess& p) {
         p.lay_out_32(u"prog32 /y z");
         p.memory[TEXT_32].resize(6);
       },
       false,
       true,
       {}},
      {"32-bit parameters unreadable: arguments kept",
       [](FakeProcess& p) {
         p.lay_out_32(u"prog32");
         p.memory.erase(PARAMETERS_32);
       },
       false,
       false,
       {}},
      {"32-bit question unanswered: arguments kept",
       [](FakeProcess& p) {
         p.lay_out_32(u"prog32");
         p.wow64_query_fails = true;
       },
       true,
       false,
       {}},
  };
  for (const Case& c : cases) {
    FakeProcess process;
    process.lay_out_64(u"recorded");
    c.arrange(process);
    const CommandLineRead read = read_command_line(process, nullptr, c.use_query);
    EXPECT_EQ(read.replace, c.replace) << c.what;
    EXPECT_EQ(read.arguments, c.arguments) << c.what;
  }
}

}  // namespace
}  // namespace treemon
