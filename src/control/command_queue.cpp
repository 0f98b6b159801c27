#include "control/command_queue.h"

#include <algorithm>
#include <deque>

#include "base/thread_annotations.h"

namespace treemon {

namespace {

struct HeldBytes {
  size_t operator()(const Configure& c) const { return list_bytes(c.externalProcesses); }
  size_t operator()(const SetExternalProcesses& c) const { return list_bytes(c.processes); }
  size_t operator()(const SampleNow& c) const { return c.requestId.capacity(); }
  size_t operator()(const ReadHistory& c) const { return c.requestId.capacity(); }
  size_t operator()(const auto&) const { return 0; }

  static size_t list_bytes(const std::vector<ExternalProcess>& list) {
    return list.capacity() * sizeof(ExternalProcess);
  }
};

}  // namespace

size_t message_bytes(const IntakeMessage& message) {
  size_t held = 0;
  if (const auto* error = std::get_if<IntakeError>(&message)) {
    held = error->text.capacity();
  } else {
    held = std::visit(HeldBytes{}, std::get<Command>(message));
  }
  return sizeof(IntakeMessage) + held;
}

class QueueState {
 public:
  QueueState(size_t capacity, size_t byte_capacity)
      : capacity_(capacity), byte_capacity_(byte_capacity) {}

  bool send(IntakeMessage message) EXCLUDES(mutex_) {
    const size_t size = message_bytes(message);
    MutexLock lock(mutex_);
    while (receiver_alive_ && !has_room_for(size)) changed_.wait(mutex_);
    if (!receiver_alive_) return false;
    bytes_ += size;
    messages_.push_back({std::move(message), size});
    changed_.notify_all();
    return true;
  }

  Received receive_until(MonoTime deadline) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    for (;;) {
      if (stop_requested_) return {Received::Kind::Stopped, std::nullopt};
      if (!messages_.empty()) {
        Received received{Received::Kind::Message, std::move(messages_.front().message)};
        bytes_ -= messages_.front().size;
        messages_.pop_front();
        changed_.notify_all();
        return received;
      }
      if (!sender_alive_) return {Received::Kind::Closed, std::nullopt};
      if (!changed_.wait_until(mutex_, deadline) && messages_.empty() && sender_alive_ &&
          !stop_requested_) {
        return {Received::Kind::TimedOut, std::nullopt};
      }
    }
  }

  void request_stop() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    stop_requested_ = true;
    changed_.notify_all();
  }

  bool stop_requested() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return stop_requested_;
  }

  void close_sender() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    sender_alive_ = false;
    changed_.notify_all();
  }

  void close_receiver() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    receiver_alive_ = false;
    messages_.clear();
    bytes_ = 0;
    changed_.notify_all();
  }

 private:
  struct Waiting {
    IntakeMessage message;
    size_t size = 0;
  };

  bool has_room_for(size_t size) const REQUIRES(mutex_) {
    if (messages_.empty()) return true;
    return messages_.size() < capacity_ &&
           size <= byte_capacity_ - std::min(bytes_, byte_capacity_);
  }

  const size_t capacity_;
  const size_t byte_capacity_;
  Mutex mutex_;
  ConditionVariable changed_;
  std::deque<Waiting> messages_ GUARDED_BY(mutex_);
  size_t bytes_ GUARDED_BY(mutex_) = 0;
  bool sender_alive_ GUARDED_BY(mutex_) = true;
  bool receiver_alive_ GUARDED_BY(mutex_) = true;
  bool stop_requested_ GUARDED_BY(mutex_) = false;
};

CommandSender::CommandSender(std::shared_ptr<QueueState> state) : state_(std::move(state)) {}

CommandSender::~CommandSender() {
  if (state_) state_->close_sender();
}

bool CommandSender::send(IntakeMessage message) { return state_->send(std::move(message)); }

CommandReceiver::CommandReceiver(std::shared_ptr<QueueState> state) : state_(std::move(state)) {}

CommandReceiver::~CommandReceiver() {
  if (state_) state_->close_receiver();
}

Received CommandReceiver::receive_until(MonoTime deadline) {
  return state_->receive_until(deadline);
}

bool CommandReceiver::stop_requested() { return state_->stop_requested(); }

StopRequester::StopRequester(std::shared_ptr<QueueState> state) : state_(std::move(state)) {}

void StopRequester::request_stop() { state_->request_stop(); }

CommandQueue make_command_queue(size_t capacity, size_t byte_capacity) {
  auto state = std::make_shared<QueueState>(capacity, byte_capacity);
  return CommandQueue{CommandSender(state), CommandReceiver(state)};
}

}  // namespace treemon
