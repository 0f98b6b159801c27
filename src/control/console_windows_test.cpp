// The standard streams on Windows, with pipes put in their place: bytes pass unchanged (a line
// feed stays one byte), the end of a pipe is the end of input, and a pipe nobody reads any more
// is a write error with the system's words, not the end of the process.
#include "control/console_windows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

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
  constexpr char bytes[] =
      "{\"a\":1}\n\r\n\0\xff"
      "end\n";
  const std::string line(bytes, sizeof(bytes) - 1);
  EXPECT_TRUE(output.write_all(line).ok());
  EXPECT_TRUE(output.write_all("").ok());
  EXPECT_EQ(read_available(pipe.read_end.get(), 64), line);
}

TEST(WindowsConsole, ClosedOutputIsAnErrorValue) {
  Pipe pipe = make_pipe();
  StandardHandleSwap swap(STD_OUTPUT_HANDLE, pipe.write_end.get());
  StandardOutput output;
  pipe.read_end.reset();
  const Status failure = output.write_all("{\"type\":\"hello\"}\n");
  ASSERT_FALSE(failure.ok());
  const std::string text(failure.message());
  const std::string* error = &text;
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
  const Result<size_t> first = input.read(buffer, sizeof(buffer));
  ASSERT_TRUE(first.ok());
  ASSERT_EQ(*first, 4u);
  EXPECT_EQ(std::string(buffer, *first), "ab\r\n");
  const Result<size_t> end = input.read(buffer, sizeof(buffer));
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(*end, 0u);
}

// A non-blocking pipe found empty is polled until bytes come; its mode stays as the client set
// it, since the client or another process may hold the same pipe and rely on it.
TEST(WindowsConsole, EmptyNonBlockingInputIsPolledAndKeepsItsMode) {
  Pipe pipe = make_pipe();
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  ASSERT_TRUE(::SetNamedPipeHandleState(pipe.read_end.get(), &mode, nullptr, nullptr));
  StandardHandleSwap swap(STD_INPUT_HANDLE, pipe.read_end.get());
  std::thread writer([&pipe] {
    ::Sleep(100);
    DWORD written = 0;
    ::WriteFile(pipe.write_end.get(), "ab\n", 3, &written, nullptr);
  });
  StandardInput input;
  char buffer[16] = {};
  const Result<size_t> bytes = input.read(buffer, sizeof(buffer));
  writer.join();
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(std::string(buffer, *bytes), "ab\n");
  DWORD state = 0;
  ASSERT_TRUE(::GetNamedPipeHandleStateW(pipe.read_end.get(), &state, nullptr, nullptr, nullptr,
                                         nullptr, 0));
  EXPECT_EQ(state & PIPE_NOWAIT, DWORD{PIPE_NOWAIT});
}

// A writer's zero-byte write reaches a pipe's reader as a successful read of zero bytes, while
// the pipe can still be peeked at: that is read again. Zero bytes end the input when the peek
// fails (the writer has gone, or the pipe is not one the system can peek at) and on a file.
TEST(WindowsConsole, ZeroByteReadEndsTheInputOnlyWhenTheWriterIsGone) {
  struct Script {
    std::vector<CallAnswer> reads;
    std::vector<CallAnswer> peeks;
    size_t read_calls = 0;
    size_t peek_calls = 0;
  };
  const auto read_file = [](Script& script) {
    return [&script](char* buffer, DWORD capacity) {
      const CallAnswer answer = script.reads.at(script.read_calls++);
      if (answer.succeeded) {
        std::string("ab\n").copy(buffer, std::min<DWORD>(answer.bytes, capacity));
      }
      return answer;
    };
  };
  const auto peek_pipe = [](Script& script) {
    return [&script] { return script.peeks.at(script.peek_calls++); };
  };
  const CallAnswer zero{true, 0, 0};
  const WaitCall no_wait = [] { ADD_FAILURE() << "waited for input"; };
  char buffer[16] = {};

  Script writer_there{{zero, zero, {true, 3, 0}, {false, 0, ERROR_BROKEN_PIPE}},
                      {{true, 0, 0}, {true, 0, 0}}};
  const Result<size_t> bytes =
      read_input(read_file(writer_there), peek_pipe(writer_there), no_wait, buffer, sizeof(buffer));
  ASSERT_TRUE(bytes.ok());
  ASSERT_EQ(*bytes, 3u);
  EXPECT_EQ(std::string(buffer, 3), "ab\n");
  EXPECT_EQ(writer_there.read_calls, 3u);
  const Result<size_t> end =
      read_input(read_file(writer_there), peek_pipe(writer_there), no_wait, buffer, sizeof(buffer));
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(*end, 0u);

  for (const DWORD peek_error : {DWORD{ERROR_BROKEN_PIPE}, DWORD{ERROR_NOT_SUPPORTED}}) {
    Script writer_gone{{zero}, {{false, 0, peek_error}}};
    const Result<size_t> gone =
        read_input(read_file(writer_gone), peek_pipe(writer_gone), no_wait, buffer, sizeof(buffer));
    ASSERT_TRUE(gone.ok()) << peek_error;
    EXPECT_EQ(*gone, 0u) << peek_error;
    EXPECT_EQ(writer_gone.read_calls, 1u) << peek_error;
  }

  Script file{{zero}, {}};
  const Result<size_t> file_end =
      read_input(read_file(file), PeekPipeCall(), no_wait, buffer, sizeof(buffer));
  ASSERT_TRUE(file_end.ok());
  EXPECT_EQ(*file_end, 0u);
  EXPECT_EQ(file.read_calls, 1u);
}

// Writes are sized for what they go to: a console gets pieces of at most CONSOLE_WRITE_BYTES
// that end on a character boundary; a pipe that takes nothing (full, in non-blocking mode) is
// waited for and given pieces half the size, but never smaller than the least of the bytes
// left, its buffer and PIPE_PIECE_FLOOR_BYTES, and twice the size again, up to its buffer, after
// each piece it took whole; zero bytes taken by anything else is an error, as retrying it could
// go on for ever.
TEST(WindowsConsole, WritesAreSizedForWhatTheyGoTo) {
  // Refuses its first `refusals` writes (a full pipe), then any piece larger than `takes_at_most`
  // whole, as Wine's non-blocking pipe does; takes the rest.
  struct Writer {
    size_t refusals = 0;
    size_t takes_at_most = SIZE_MAX;
    std::vector<size_t> pieces{};
    std::string taken{};
    int waits = 0;
  };
  const auto write_file = [](Writer& writer) {
    return [&writer](const char* bytes, DWORD size) {
      writer.pieces.push_back(size);
      if (writer.refusals > 0 || size > writer.takes_at_most) {
        writer.refusals -= writer.refusals > 0 ? 1 : 0;
        return CallAnswer{true, 0, 0};
      }
      writer.taken.append(bytes, size);
      return CallAnswer{true, size, 0};
    };
  };
  std::string accents = "a";
  for (int i = 0; i < 10000; ++i) accents += "\xC3\xA9";  // e-acute, two bytes
  const std::vector<size_t> kilobyte_pieces(20, 1000);
  const std::vector<size_t> thousands = [&] {
    std::vector<size_t> pieces{20001, 10000, 5000, 2500, 1250};
    pieces.insert(pieces.end(), kilobyte_pieces.begin(), kilobyte_pieces.end());
    pieces.push_back(1);
    return pieces;
  }();
  const std::vector<size_t> full_then_free = [] {
    std::vector<size_t> pieces{65536, 32768, 16384, 8192};
    pieces.insert(pieces.end(), 17, 4096);  // sixteen refused, then one taken
    pieces.insert(pieces.end(), {8192, 16384, 32768, 4096});
    return pieces;
  }();
  const struct {
    const char* name;
    OutputTarget target;
    Writer writer;
    std::string text;
    std::vector<size_t> pieces{};
    int waits;
  } cases[] = {
      {"console", {OutputKind::Console}, {}, accents, {8191, 8192, 3618}, 0},
      {"pipe of 1000 bytes", {OutputKind::Pipe, 1000}, {0, 1000}, accents, thousands, 5},
      {"full 64 KiB pipe, then free",
       {OutputKind::Pipe, 65536},
       {20},
       std::string(65536, 'x'),
       full_then_free,
       20},
      {"pipe of unknown buffer, 100 bytes left",
       {OutputKind::Pipe},
       {2},
       std::string(100, 'x'),
       {100, 100, 100},
       2},
      {"blocking pipe", {OutputKind::Pipe, 4096}, {}, accents, {20001}, 0},
  };
  for (const auto& c : cases) {
    Writer writer = c.writer;
    const WaitCall wait = [&writer] { ++writer.waits; };
    ASSERT_TRUE(write_output(write_file(writer), wait, c.target, c.text).ok()) << c.name;
    EXPECT_EQ(writer.taken, c.text) << c.name;
    EXPECT_EQ(writer.pieces, c.pieces) << c.name;
    EXPECT_EQ(writer.waits, c.waits) << c.name;
  }

  Writer file{0, 0};
  const Status failure = write_output(
      write_file(file), [] {}, {OutputKind::Other}, "x");
  EXPECT_EQ(failure.message(), "WriteFile wrote no bytes");
}

// An error line and its line feed are one write, so that a reader of messages, or of lines that
// other processes write to the same stream, gets the line whole.
TEST(WindowsConsole, ErrorLineIsOneWrite) {
  const std::wstring name =
      L"\\\\.\\pipe\\treemon-error-line-" + std::to_wstring(::GetCurrentProcessId());
  UniqueHandle messages(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND,
                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                           4096, 4096, 0, nullptr));
  UniqueHandle writer(
      ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(messages && writer) << ::GetLastError();
  StandardHandleSwap swap(STD_ERROR_HANDLE, writer.get());
  write_standard_error_line("Error: the pipe is closed");
  char buffer[64] = {};
  DWORD got = 0;
  ASSERT_TRUE(::ReadFile(messages.get(), buffer, sizeof(buffer), &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), "Error: the pipe is closed\n");
}

TEST(WindowsConsole, IdentityOfThisProcess) {
  EXPECT_EQ(current_process_id(), ::GetCurrentProcessId());
  EXPECT_EQ(platform_name(), "windows");
  EXPECT_EQ(architecture_name(), "x86_64");
}

}  // namespace
}  // namespace treemon
