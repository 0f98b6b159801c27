// treemon.exe on the kinds of pipe a Windows client may give it, and on a console: a
// non-blocking input pipe that is empty for a while, a non-blocking output pipe whose reader is
// slow, a message-mode input pipe carrying a command longer than one read, and Ctrl+C.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/win32_windows.h"

namespace treemon {
namespace {

constexpr DWORD LINE_TIMEOUT_MS = 30000;
constexpr DWORD EXIT_TIMEOUT_MS = 30000;
constexpr DWORD SMALL_PIPE_BYTES = 4096;
constexpr char SAMPLE_BEFORE_CONFIGURE[] =
    "{\"version\":2,\"type\":\"sampleNow\",\"requestId\":\"r\"}\n";
constexpr char NOT_CONFIGURED[] =
    "{\"version\":2,\"type\":\"error\",\"code\":\"not-configured\",\"message\":\"configure must "
    "be sent before sampling\",\"recoverable\":true}";

std::wstring beside_this_program(const wchar_t* name) {
  std::wstring path(32768, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

// A pipe between the test and one standard stream of a child; only the child's end is inherited.
struct StreamPipe {
  UniqueHandle child_end;
  UniqueHandle test_end;
};

// A named pipe whose child end (the server end) has `mode`, so that the child meets non-blocking
// and message-mode pipes as a client may create them.
StreamPipe named_pipe(bool child_reads, DWORD mode) {
  const std::wstring name = L"\\\\.\\pipe\\treemon-test-" +
                            std::to_wstring(::GetCurrentProcessId()) +
                            (child_reads ? L"-input" : L"-output");
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  StreamPipe pipe;
  pipe.child_end.reset(
      ::CreateNamedPipeW(name.c_str(), child_reads ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND,
                         mode, 1, SMALL_PIPE_BYTES, SMALL_PIPE_BYTES, 0, &inherit));
  pipe.test_end.reset(::CreateFileW(name.c_str(), child_reads ? GENERIC_WRITE : GENERIC_READ, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(pipe.child_end && pipe.test_end) << ::GetLastError();
  return pipe;
}

StreamPipe anonymous_pipe(bool child_reads) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  EXPECT_TRUE(::CreatePipe(&read_end, &write_end, &inherit, 1 << 16));
  StreamPipe pipe{UniqueHandle(child_reads ? read_end : write_end),
                  UniqueHandle(child_reads ? write_end : read_end)};
  ::SetHandleInformation(pipe.test_end.get(), HANDLE_FLAG_INHERIT, 0);
  return pipe;
}

// A child with its standard input and output on the given pipes, whose child ends it closes
// once the child holds them. Ended by force if a test leaves it running.
class Child {
 public:
  Child(std::wstring command, StreamPipe& input, StreamPipe& output, DWORD flags = 0) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = input.child_end.get();
    startup.hStdOutput = output.child_end.get();
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    EXPECT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, flags, nullptr,
                                 nullptr, &startup, &info))
        << ::GetLastError();
    ::CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    input.child_end.reset();
    output.child_end.reset();
  }
  ~Child() {
    if (process_ && ::WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) {
      ::TerminateProcess(process_.get(), 1);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The exit status, or nothing when the child is still running after EXIT_TIMEOUT_MS.
  std::optional<DWORD> exit_status() {
    DWORD status = 0;
    if (::WaitForSingleObject(process_.get(), EXIT_TIMEOUT_MS) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process_.get(), &status)) {
      return std::nullopt;
    }
    return status;
  }

 private:
  UniqueHandle process_;
};

Child start_monitor(StreamPipe& input, StreamPipe& output) {
  return Child(L"\"" + beside_this_program(L"treemon.exe") + L"\"", input, output);
}

// Lines from the test's end of a pipe, each without its line feed; nothing at the end of the
// pipe, or when no line comes within LINE_TIMEOUT_MS.
class LineReader {
 public:
  explicit LineReader(HANDLE pipe) : pipe_(pipe) {}

  std::optional<std::string> next() {
    const ULONGLONG deadline = ::GetTickCount64() + LINE_TIMEOUT_MS;
    for (;;) {
      if (const size_t end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      DWORD available = 0;
      if (!::PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr)) return std::nullopt;
      if (available == 0) {
        if (::GetTickCount64() > deadline) return std::nullopt;
        ::Sleep(5);
        continue;
      }
      std::string chunk(available, '\0');
      DWORD got = 0;
      if (!::ReadFile(pipe_, chunk.data(), available, &got, nullptr)) return std::nullopt;
      pending_.append(chunk, 0, got);
    }
  }

 private:
  HANDLE pipe_;
  std::string pending_;
};

bool write_all(HANDLE pipe, const std::string& bytes) {
  DWORD written = 0;
  return ::WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool is_hello(const std::optional<std::string>& line) {
  return line && line->starts_with("{\"version\":2,\"type\":\"hello\"");
}

// An empty non-blocking input pipe is empty for now, not ended: the monitor waits for commands.
TEST(WindowsEndToEnd, NonBlockingInputPipeIsWaitedFor) {
  StreamPipe input = named_pipe(true, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_NOWAIT);
  StreamPipe output = anonymous_pipe(false);
  Child monitor = start_monitor(input, output);
  LineReader lines(output.test_end.get());
  ASSERT_TRUE(is_hello(lines.next()));
  ::Sleep(500);  // the monitor meets its input empty
  ASSERT_TRUE(write_all(input.test_end.get(), SAMPLE_BEFORE_CONFIGURE));
  EXPECT_EQ(lines.next(), NOT_CONFIGURED);
  input.test_end.reset();
  EXPECT_EQ(lines.next(), std::nullopt);
  EXPECT_EQ(monitor.exit_status(), 0u);
}

// A non-blocking output pipe that is full takes no bytes; the monitor waits for its reader.
TEST(WindowsEndToEnd, SlowReaderOfNonBlockingOutputPipeLosesNothing) {
  constexpr int COMMANDS = 100;  // their answers fill the 4 KiB pipe three times
  StreamPipe input = anonymous_pipe(true);
  StreamPipe output = named_pipe(false, PIPE_TYPE_BYTE | PIPE_NOWAIT);
  Child monitor = start_monitor(input, output);
  std::string commands;
  for (int i = 0; i < COMMANDS; ++i) commands += SAMPLE_BEFORE_CONFIGURE;
  ASSERT_TRUE(write_all(input.test_end.get(), commands));
  input.test_end.reset();
  ::Sleep(1000);  // the reader pauses while the monitor fills the pipe
  LineReader lines(output.test_end.get());
  ASSERT_TRUE(is_hello(lines.next()));
  for (int i = 0; i < COMMANDS; ++i) ASSERT_EQ(lines.next(), NOT_CONFIGURED) << i;
  EXPECT_EQ(lines.next(), std::nullopt);
  EXPECT_EQ(monitor.exit_status(), 0u);
}

// A message longer than one read of the monitor arrives in parts, all of them kept.
TEST(WindowsEndToEnd, MessageModeInputKeepsALongCommandWhole) {
  StreamPipe input = named_pipe(true, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT);
  StreamPipe output = anonymous_pipe(false);
  Child monitor = start_monitor(input, output);
  LineReader lines(output.test_end.get());
  ASSERT_TRUE(is_hello(lines.next()));
  const std::string long_command = "{\"version\":2,\"type\":\"sampleNow\",\"requestId\":\"" +
                                   std::string(100 * 1024, 'r') + "\"}\n";
  ASSERT_TRUE(write_all(input.test_end.get(), long_command));
  ASSERT_TRUE(write_all(input.test_end.get(), SAMPLE_BEFORE_CONFIGURE));
  EXPECT_EQ(lines.next(), NOT_CONFIGURED);
  EXPECT_EQ(lines.next(), NOT_CONFIGURED) << "the command after the long one is answered";
  input.test_end.reset();
  EXPECT_EQ(lines.next(), std::nullopt);
  EXPECT_EQ(monitor.exit_status(), 0u);
}

// Ctrl+C on the monitor's console ends it as shutdown does, between two events: the line it is
// writing arrives whole, and the status is 0. The helper runs the monitor on a console of its
// own and reports how it ended.
TEST(WindowsEndToEnd, CtrlCEndsTheMonitorBetweenEvents) {
  StreamPipe input = anonymous_pipe(true);
  StreamPipe output = anonymous_pipe(false);
  Child helper(L"\"" + beside_this_program(L"treemon_test_helper.exe") + L"\" ctrl-c \"" +
                   beside_this_program(L"treemon.exe") + L"\"",
               input, output, CREATE_NEW_CONSOLE);
  LineReader lines(output.test_end.get());
  EXPECT_EQ(lines.next(), "exit 0 whole-lines");
  input.test_end.reset();
  EXPECT_EQ(helper.exit_status(), 0u);
}

}  // namespace
}  // namespace treemon
