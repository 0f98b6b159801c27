// Builds known Windows processes for the tests that need real ones. Every mode writes its lines
// to standard output and runs until its standard input ends (the test closes it, or dies), so
// nothing outlives the test that started it; a five-minute limit ends a forgotten helper anyway.
//
//   tree DEPTH WIDTH   a process tree: each node starts WIDTH children of DEPTH-1 levels below it.
//                      Every node's line "node PID PARENT ARGUMENTS" reaches the root's output
//                      (PARENT is "-" for the root, ARGUMENTS its own command line split and
//                      joined with spaces), then the root writes "ready".
//   busy               writes "ready", then keeps one processor busy.
//   grow               writes "ready"; at every input line "grow" commits and touches 64 MiB,
//                      writes 2 MiB to a temporary file and reads them back, then writes "grown".
//   blank              empties the command line its process parameters record, then writes
//                      "ready" and waits.
//   ctrl-c PROGRAM     starts PROGRAM (the monitor) on this process's console, streaming
//                      snapshots of this process every 250 ms into a pipe smaller than one;
//                      after two snapshots stops reading, so that the monitor waits in the
//                      middle of a line, sends Ctrl+C to the console, then reads the rest and
//                      writes "exit STATUS" and how the line in the making came: "whole-lines",
//                      "cut-line" or "lost-line". The monitor's input stays open, so only the
//                      Ctrl+C can end it. Start this mode with a console of its own.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#include <winternl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr DWORD HELPER_LIFETIME_MS = 5 * 60 * 1000;
constexpr size_t GROW_BYTES = 64u << 20;
constexpr size_t IO_BYTES = 2u << 20;

std::string narrow(const std::wstring& text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
  return out;
}

void write_line(HANDLE output, const std::string& line) {
  const std::string text = line + "\n";
  DWORD written = 0;
  ::WriteFile(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void say(const std::string& line) { write_line(::GetStdHandle(STD_OUTPUT_HANDLE), line); }

// Reads one line without its line ending; false at end of input.
bool read_line(HANDLE input, std::string& line) {
  line.clear();
  char c = 0;
  DWORD got = 0;
  while (::ReadFile(input, &c, 1, &got, nullptr) && got == 1) {
    if (c == '\n') return true;
    if (c != '\r') line.push_back(c);
  }
  return !line.empty();
}

void wait_for_end_of_input() {
  std::string line;
  while (read_line(::GetStdHandle(STD_INPUT_HANDLE), line)) {
  }
}

std::vector<std::wstring> own_arguments() {
  int count = 0;
  LPWSTR* split = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::wstring> arguments(split, split + (split ? count : 0));
  ::LocalFree(split);
  return arguments;
}

std::wstring own_path() {
  std::wstring path(32768, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

// A child with a pipe to its standard input and one from its standard output.
struct Child {
  HANDLE process = nullptr;
  HANDLE to_child = nullptr;
  HANDLE from_child = nullptr;
};

bool make_pipe(HANDLE& read_end, HANDLE& write_end, bool child_reads, DWORD buffer_bytes = 0) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  if (!::CreatePipe(&read_end, &write_end, &inherit, buffer_bytes)) return false;
  // Only the child's end may be inherited.
  ::SetHandleInformation(child_reads ? write_end : read_end, HANDLE_FLAG_INHERIT, 0);
  return true;
}

bool start_program(std::wstring command, Child& child, DWORD output_bytes = 0) {
  HANDLE child_input = nullptr, child_output = nullptr;
  if (!make_pipe(child_input, child.to_child, true)) return false;
  if (!make_pipe(child.from_child, child_output, false, output_bytes)) return false;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_input;
  startup.hStdOutput = child_output;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  const BOOL started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &info);
  ::CloseHandle(child_input);
  ::CloseHandle(child_output);
  if (!started) return false;
  ::CloseHandle(info.hThread);
  child.process = info.hProcess;
  return true;
}

bool start_child(const std::wstring& arguments, Child& child) {
  return start_program(L"\"" + own_path() + L"\" " + arguments, child);
}

// Passes the child's lines on until its "ready".
bool relay_until_ready(const Child& child) {
  std::string line;
  while (read_line(child.from_child, line)) {
    if (line == "ready") return true;
    say(line);
  }
  return false;
}

std::string joined_arguments() {
  std::string joined;
  for (const std::wstring& argument : own_arguments()) {
    if (!joined.empty()) joined += ' ';
    joined += narrow(argument);
  }
  return joined;
}

int run_node(int depth, int width, const std::string& parent) {
  say("node " + std::to_string(::GetCurrentProcessId()) + " " + parent + " " + joined_arguments());
  std::vector<Child> children;
  for (int i = 0; depth > 0 && i < width; ++i) {
    Child child;
    const std::wstring arguments = L"node " + std::to_wstring(depth - 1) + L" " +
                                   std::to_wstring(width) + L" " +
                                   std::to_wstring(::GetCurrentProcessId());
    if (!start_child(arguments, child) || !relay_until_ready(child)) return 2;
    children.push_back(child);
  }
  say("ready");
  wait_for_end_of_input();
  // Closing their input ends the children, and theirs in turn.
  for (Child& child : children) ::CloseHandle(child.to_child);
  for (Child& child : children) ::WaitForSingleObject(child.process, 10000);
  return 0;
}

int run_busy() {
  std::atomic<bool> done{false};
  std::thread stopper([&done] {
    wait_for_end_of_input();
    done = true;
  });
  say("ready");
  volatile uint64_t spin = 0;
  while (!done) spin = spin + 1;
  stopper.join();
  return 0;
}

void touch_memory(std::vector<std::unique_ptr<char[]>>& kept) {
  auto block = std::make_unique<char[]>(GROW_BYTES);
  for (size_t i = 0; i < GROW_BYTES; i += 4096) block[i] = static_cast<char>(i >> 12);
  kept.push_back(std::move(block));
}

bool write_and_read_file() {
  wchar_t directory[MAX_PATH + 1] = {};
  wchar_t path[MAX_PATH + 1] = {};
  if (!::GetTempPathW(MAX_PATH, directory) || !::GetTempFileNameW(directory, L"tmh", 0, path)) {
    return false;
  }
  const HANDLE file = ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::vector<char> data(IO_BYTES, 'x');
  DWORD moved = 0;
  bool ok = ::WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &moved, nullptr) &&
            moved == data.size();
  ::SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  ok = ok && ::ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &moved, nullptr) &&
       moved == data.size();
  ::CloseHandle(file);
  return ok;
}

int run_grow() {
  std::vector<std::unique_ptr<char[]>> kept;
  say("ready");
  std::string line;
  while (read_line(::GetStdHandle(STD_INPUT_HANDLE), line)) {
    if (line != "grow") continue;
    touch_memory(kept);
    say(write_and_read_file() ? "grown" : "io failed");
  }
  return 0;
}

int run_blank() {
  PROCESS_BASIC_INFORMATION basic{};
  if (!NT_SUCCESS(::NtQueryInformationProcess(::GetCurrentProcess(), ProcessBasicInformation,
                                              &basic, sizeof(basic), nullptr))) {
    return 2;
  }
  basic.PebBaseAddress->ProcessParameters->CommandLine.Length = 0;
  say("ready");
  wait_for_end_of_input();
  return 0;
}

// Reads what is left of a pipe whose writer has ended.
std::string read_rest(HANDLE from) {
  std::string rest;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(from, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    rest.append(buffer, got);
  }
  return rest;
}

int run_ctrl_c(const std::wstring& program) {
  Child monitor;
  // Smaller than one snapshot line.
  constexpr DWORD OUTPUT_PIPE_BYTES = 256;
  if (!start_program(L"\"" + program + L"\"", monitor, OUTPUT_PIPE_BYTES)) return 2;
  const std::string pid = std::to_string(::GetCurrentProcessId());
  write_line(monitor.to_child, R"({"version":2,"type":"setStreaming","enabled":true})");
  write_line(monitor.to_child,
             R"({"version":2,"type":"configure","rootPid":)" + pid + R"(,"sampleIntervalMs":250})");
  std::string line;
  for (int lines = 0; lines < 3; ++lines) {  // the hello and two snapshots
    if (!read_line(monitor.from_child, line)) return 2;
  }
  ::Sleep(1000);  // output is not read: the monitor fills the pipe and waits in a line
  // Ignored here from now on; the monitor, started before, keeps its own handling.
  ::SetConsoleCtrlHandler(nullptr, TRUE);
  if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return 2;
  ::Sleep(1000);
  const std::string rest = read_rest(monitor.from_child);
  DWORD status = 0;
  if (::WaitForSingleObject(monitor.process, 30000) != WAIT_OBJECT_0) {
    ::TerminateProcess(monitor.process, 1);
    say("exit timeout");
    return 1;
  }
  ::GetExitCodeProcess(monitor.process, &status);
  const char* line_in_the_making = rest.empty()          ? " lost-line"
                                   : rest.back() == '\n' ? " whole-lines"
                                                         : " cut-line";
  say("exit " + std::to_string(status) + line_in_the_making);
  return 0;
}

int usage() {
  say("usage: treemon_test_helper tree DEPTH WIDTH | busy | grow | blank | ctrl-c PROGRAM");
  return 2;
}

}  // namespace

int main() {
  std::thread([] {
    ::Sleep(HELPER_LIFETIME_MS);
    ::ExitProcess(3);
  }).detach();

  const std::vector<std::wstring> arguments = own_arguments();
  const auto number = [&arguments](size_t index) {
    return index < arguments.size() ? std::wcstol(arguments[index].c_str(), nullptr, 10) : -1;
  };
  const std::wstring mode = arguments.size() > 1 ? arguments[1] : std::wstring();
  if (mode == L"tree" && number(2) >= 0 && number(3) >= 0) {
    return run_node(static_cast<int>(number(2)), static_cast<int>(number(3)), "-");
  }
  if (mode == L"node" && arguments.size() == 5) {
    return run_node(static_cast<int>(number(2)), static_cast<int>(number(3)), narrow(arguments[4]));
  }
  if (mode == L"blank") return run_blank();
  if (mode == L"busy") return run_busy();
  if (mode == L"grow") return run_grow();
  if (mode == L"ctrl-c" && arguments.size() == 3) return run_ctrl_c(arguments[2]);
  return usage();
}
