// The session on Windows. The console's events (Ctrl+C, Ctrl+Break, its closing) arrive on a
// thread of the system's, which notes them and sets an event; the command's output, when it comes
// to the tool, is read by one thread per pipe into a shared queue with an event of its own; wait()
// waits for the command's process, and those events, together. The kernel keeps no reading of a
// finished tree here, so the summary's totals come from the samples.

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "base/detached_thread.h"
#include "base/thread_annotations.h"
#include "base/win32_windows.h"
#include "recorder/command_start_windows.h"
#include "recorder/session.h"

namespace treemon::recorder {
namespace {

// What the console's handler tells the main thread. The handler has no context of its own, so
// this is kept here; set once, before the handler is installed, and never destroyed: a handler
// may run while the process exits.
struct ConsoleEvents {
  UniqueHandle signalled{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  std::atomic<uint32_t> stop_status{0};
};
std::atomic<ConsoleEvents*> console_events{nullptr};

BOOL WINAPI note_console_event(DWORD event) {
  ConsoleEvents* events = console_events.load(std::memory_order_acquire);
  if (events == nullptr) return FALSE;
  const uint32_t status = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? 130 : 129;
  events->stop_status.store(status, std::memory_order_release);
  ::SetEvent(events->signalled.get());
  return TRUE;
}

// The command's output as the pipe threads read it, shared with them: a thread blocked on a pipe
// that a leftover process holds open may outlive the session.
class OutputQueue {
 public:
  void push(CommandStream stream, std::string bytes) EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      chunks_.emplace_back(stream, std::move(bytes));
    }
    ::SetEvent(arrived_.get());
  }
  std::deque<std::pair<CommandStream, std::string>> take() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return std::exchange(chunks_, {});
  }
  HANDLE arrived() const { return arrived_.get(); }

 private:
  Mutex mutex_;
  // An empty chunk tells that its stream ended.
  std::deque<std::pair<CommandStream, std::string>> chunks_ GUARDED_BY(mutex_);
  UniqueHandle arrived_{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

void pump(std::shared_ptr<OutputQueue> queue, CommandStream stream, UniqueHandle pipe) {
  char buffer[16384];
  DWORD got = 0;
  while (::ReadFile(pipe.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    queue->push(stream, std::string(buffer, got));
  }
  queue->push(stream, std::string());
}

DWORD timeout_until(MonoTime deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<DWORD>(std::clamp<int64_t>(left.count(), 0, 60000));
}

class WindowsSession final : public Session {
 public:
  WindowsSession() {
    if (console_events.load(std::memory_order_acquire) == nullptr) {
      console_events.store(std::make_unique<ConsoleEvents>().release(), std::memory_order_release);
      ::SetConsoleCtrlHandler(note_console_event, TRUE);
    }
    events_ = console_events.load(std::memory_order_acquire);
  }

  Result<uint32_t> start(const std::vector<std::string>& command,
                         const CommandOutput& output) override {
    Result<StartedCommand> started = start_command(command, output);
    if (!started.ok()) return started.status();
    process_ = std::move(started->process);
    tail_ = output.tail;
    if (started->output) {
      start_detached_thread(pump, queue_, CommandStream::Output, std::move(started->output));
      start_detached_thread(pump, queue_, CommandStream::Error, std::move(started->error));
      open_streams_ = 2;
    }
    return static_cast<uint32_t>(started->pid);
  }

  void wait(MonoTime deadline) override {
    if (something_to_take()) return;
    HANDLE handles[3] = {events_->signalled.get(), queue_->arrived(), nullptr};
    DWORD count = 2;
    if (process_ && !end_) handles[count++] = process_.get();
    const DWORD woken = ::WaitForMultipleObjects(count, handles, FALSE, timeout_until(deadline));
    if (woken == WAIT_OBJECT_0) note_stop();
    pass_output_on();
    note_end();
  }

  std::optional<CommandEnd> take_command_end() override {
    if (ended_ || !end_) return std::nullopt;
    ended_ = true;
    return end_;
  }
  std::optional<StopRequest> take_stop_request() override {
    return std::exchange(stop_, std::nullopt);
  }
  bool take_resize() override { return false; }

  void forward_stop(const StopRequest& /*request*/, bool force) override {
    // The command shares the console and had the same Ctrl+C; a second one ends it.
    if (force && process_ && !end_) ::TerminateProcess(process_.get(), 1);
  }

  void end_process(uint32_t pid, bool /*force*/) override {
    // Windows has no request to end that every process heeds: ending is terminating.
    UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    if (process) ::TerminateProcess(process.get(), 1);
  }

  void drain_output(MonoTime deadline) override {
    while (open_streams_ > 0 && std::chrono::steady_clock::now() < deadline) {
      if (::WaitForSingleObject(queue_->arrived(), timeout_until(deadline)) != WAIT_OBJECT_0) break;
      pass_output_on();
    }
  }

 private:
  bool something_to_take() const { return (end_ && !ended_) || stop_.has_value(); }

  void note_stop() {
    const uint32_t status = events_->stop_status.exchange(0, std::memory_order_acq_rel);
    if (status != 0) stop_ = StopRequest{status};
  }

  void note_end() {
    if (!process_ || end_ || ::WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) return;
    DWORD code = 0;
    ::GetExitCodeProcess(process_.get(), &code);
    end_ = CommandEnd{static_cast<uint32_t>(code), std::nullopt, std::nullopt};
  }

  void pass_output_on() {
    for (auto& [stream, bytes] : queue_->take()) {
      if (bytes.empty()) {
        --open_streams_;
        if (tail_ != nullptr) tail_->end(stream);
      } else if (tail_ != nullptr) {
        tail_->add(stream, bytes);
      }
    }
  }

  ConsoleEvents* events_ = nullptr;
  std::shared_ptr<OutputQueue> queue_ = std::make_shared<OutputQueue>();
  UniqueHandle process_;
  OutputTail* tail_ = nullptr;
  int open_streams_ = 0;
  std::optional<CommandEnd> end_;
  bool ended_ = false;
  std::optional<StopRequest> stop_;
};

}  // namespace

std::unique_ptr<Session> Session::create() { return std::make_unique<WindowsSession>(); }

}  // namespace treemon::recorder
