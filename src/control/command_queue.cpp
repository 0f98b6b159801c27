#include "control/command_queue.h"

#include <deque>

#include "base/thread_annotations.h"

namespace treemon {

class QueueState {
 public:
  explicit QueueState(size_t capacity) : capacity_(capacity) {}

  bool send(IntakeMessage message) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    while (receiver_alive_ && messages_.size() >= capacity_) changed_.wait(mutex_);
    if (!receiver_alive_) return false;
    messages_.push_back(std::move(message));
    changed_.notify_all();
    return true;
  }

  Received receive_until(MonoTime deadline) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    for (;;) {
      if (!messages_.empty()) {
        Received received{Received::Kind::Message, std::move(messages_.front())};
        messages_.pop_front();
        changed_.notify_all();
        return received;
      }
      if (!sender_alive_) return {Received::Kind::Closed, std::nullopt};
      if (!changed_.wait_until(mutex_, deadline) && messages_.empty() && sender_alive_) {
        return {Received::Kind::TimedOut, std::nullopt};
      }
    }
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
    changed_.notify_all();
  }

 private:
  const size_t capacity_;
  Mutex mutex_;
  ConditionVariable changed_;
  std::deque<IntakeMessage> messages_ GUARDED_BY(mutex_);
  bool sender_alive_ GUARDED_BY(mutex_) = true;
  bool receiver_alive_ GUARDED_BY(mutex_) = true;
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

CommandQueue make_command_queue(size_t capacity) {
  auto state = std::make_shared<QueueState>(capacity);
  return CommandQueue{CommandSender(state), CommandReceiver(state)};
}

}  // namespace treemon
