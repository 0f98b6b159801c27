#include "recorder/command_start_windows.h"

#include <io.h>

#include <cstdio>

#include "recorder/text.h"
#include "recorder/windows_command_line.h"

namespace treemon::recorder {
namespace {

// An inheritable copy of `handle` for the command; empty for a handle the tool does not have.
UniqueHandle inheritable(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return UniqueHandle();
  HANDLE copy = nullptr;
  const HANDLE self = ::GetCurrentProcess();
  if (!::DuplicateHandle(self, handle, self, &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
    return UniqueHandle();
  }
  return UniqueHandle(copy);
}

struct Pipe {
  UniqueHandle read;   // the tool's end
  UniqueHandle write;  // the command's end, inheritable
};

Result<Pipe> make_pipe() {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!::CreatePipe(&read, &write, &inherit, 0)) return Status::error(last_win32_error_text());
  ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  return Pipe{UniqueHandle(read), UniqueHandle(write)};
}

struct StandardHandles {
  UniqueHandle input;
  UniqueHandle output;
  UniqueHandle error;
};

HANDLE file_handle(std::FILE* file) {
  return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
}

// The command's standard handles, and the tool's ends of its pipes when the output comes to it.
Status wire(const CommandOutput& output, StandardHandles& handles, StartedCommand& started) {
  handles.input = inheritable(::GetStdHandle(STD_INPUT_HANDLE));
  const HANDLE own_output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE own_error = ::GetStdHandle(STD_ERROR_HANDLE);
  switch (output.route) {
    case OutputRoute::Inherit:
      handles.output = inheritable(own_output);
      handles.error = inheritable(own_error);
      return Status();
    case OutputRoute::OutputToError:
      handles.output = inheritable(own_error);
      handles.error = inheritable(own_error);
      return Status();
    case OutputRoute::File:
      handles.output = inheritable(file_handle(output.file));
      handles.error = inheritable(file_handle(output.file));
      return Status();
    case OutputRoute::Tool:
      break;
  }
  Result<Pipe> out = make_pipe();
  if (!out.ok()) return out.status();
  Result<Pipe> err = make_pipe();
  if (!err.ok()) return err.status();
  handles.output = std::move(out->write);
  handles.error = std::move(err->write);
  started.output = std::move(out->read);
  started.error = std::move(err->read);
  return Status();
}

}  // namespace

Result<StartedCommand> start_command(const std::vector<std::string>& command,
                                     const CommandOutput& output) {
  const std::string name = printable(command.front());
  StartedCommand started;
  StandardHandles handles;
  if (Status failure = wire(output, handles, started); !failure.ok()) {
    return Status::error("cannot start " + name + ": " + std::string(failure.message()));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = handles.input.get();
  startup.hStdOutput = handles.output.get();
  startup.hStdError = handles.error.get();
  std::wstring line = wide_from_utf8(windows_command_line(command));
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &info)) {
    return Status::error("cannot start " + name + ": " + last_win32_error_text());
  }
  ::CloseHandle(info.hThread);
  started.process.reset(info.hProcess);
  started.pid = info.dwProcessId;
  return started;
}

}  // namespace treemon::recorder
