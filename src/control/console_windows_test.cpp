// The standard streams on Windows, with pipes put in their place: bytes pass unchanged (a line
// feed stays one byte), the end of a pipe is the end of input, and a pipe nobody reads any more
// is a write error with the system's words, not the end of the process.
#include "control/console.h"

#include <gtest/gtest.h>

#include <string>

#include "base/win32_windows.h"

namespace treemon {
namespace {

struct Pipe {
  UniqueHandle read_end;
  UniqueHandle write_end;
};

Pipe make_pipe() {
  HANDLE read_end = nullptr, write_end = nullptr;
  EXPECT_TRUE(::CreatePipe(&read_end, &write_end, nullptr, 1 << 16));
  return {UniqueHandle(read_end), UniqueHandle(write_end)};
}

// Puts `handle` in place of one standard stream for the test's duration.
class StandardHandleSwap {
 public:
  StandardHandleSwap(DWORD which, HANDLE handle) : which_(which), saved_(::GetStdHandle(which)) {
    ::SetStdHandle(which_, handle);
  }
  ~StandardHandleSwap() { ::SetStdHandle(which_, saved_); }
  StandardHandleSwap(const StandardHandleSwap&) = delete;
  StandardHandleSwap& operator=(const StandardHandleSwap&) = delete;

 private:
  DWORD which_;
  HANDLE saved_;
};

std::string read_available(HANDLE handle, size_t count) {
  std::string bytes(count, '\0');
  DWORD got = 0;
  EXPECT_TRUE(::ReadFile(handle, bytes.data(), static_cast<DWORD>(count), &got, nullptr));
  bytes.resize(got);
  return bytes;
}

TEST(WindowsConsole, OutputBytesPassUnchanged) {
  Pipe pipe = make_pipe();
  StandardHandleSwap swap(STD_OUTPUT_HANDLE, pipe.write_end.get());
  StandardOutput output;
  constexpr char bytes[] = "{\"a\":1}\n\r\n\0\xff" "end\n";
  const std::string line(bytes, sizeof(bytes) - 1);
  EXPECT_EQ(output.write_all(line), std::nullopt);
  EXPECT_EQ(output.write_all(""), std::nullopt);
  EXPECT_EQ(read_available(pipe.read_end.get(), 64), line);
}

TEST(WindowsConsole, ClosedOutputIsAnErrorValue) {
  Pipe pipe = make_pipe();
  StandardHandleSwap swap(STD_OUTPUT_HANDLE, pipe.write_end.get());
  StandardOutput output;
  pipe.read_end.reset();
  const std::optional<std::string> error = output.write_all("{\"type\":\"hello\"}\n");
  ASSERT_TRUE(error.has_value());
  // ERROR_NO_DATA (232) or ERROR_BROKEN_PIPE (109), depending on the pipe's state.
  const bool named = error->find("(os error 232)") != std::string::npos ||
                     error->find("(os error 109)") != std::string::npos;
  EXPECT_TRUE(named) << *error;
}

TEST(WindowsConsole, InputEndsWhenThePipeCloses) {
  Pipe pipe = make_pipe();
  StandardHandleSwap swap(STD_INPUT_HANDLE, pipe.read_end.get());
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(pipe.write_end.get(), "ab\r\n", 4, &written, nullptr));
  pipe.write_end.reset();

  StandardInput input;
  char buffer[16] = {};
  const ReadResult first = input.read(buffer, sizeof(buffer));
  EXPECT_EQ(first.error, std::nullopt);
  ASSERT_EQ(first.bytes, 4u);
  EXPECT_EQ(std::string(buffer, first.bytes), "ab\r\n");
  const ReadResult end = input.read(buffer, sizeof(buffer));
  EXPECT_EQ(end.bytes, 0u);
  EXPECT_EQ(end.error, std::nullopt);
}

TEST(WindowsConsole, IdentityOfThisProcess) {
  EXPECT_EQ(current_process_id(), ::GetCurrentProcessId());
  EXPECT_EQ(platform_name(), "windows");
  EXPECT_EQ(architecture_name(), "x86_64");
}

}  // namespace
}  // namespace treemon
