// CommandQueue: the bounded first-in first-out queue of IntakeMessages from the CommandReader
// thread to the main loop, and the only object shared between threads: the reader sends, the main
// loop receives, and the stop-signal watcher (a third thread) requests a stop through it.
//
// Invariants:
//  1. At most `capacity` messages wait, and at most `byte_capacity` bytes of them by
//     message_bytes() (a single larger message still goes into an empty queue); a send to a
//     full queue blocks until one is taken, so nothing is ever dropped for lack of room.
//  2. Messages are received in the order they were sent; those sent before the sender went are
//     all received before the receiver sees Closed.
//  3. Once the receiver is gone, every send fails at once and hands the message back.
//  4. Once a stop has been requested (a termination signal), every receive reports Stopped at
//     once, whatever still waits: the main loop ends without handling it.
// The queue's own lock is the only lock in the program.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "base/clock.h"
#include "protocol/command.h"

namespace treemon {

inline constexpr size_t QUEUE_CAPACITY = 64;
inline constexpr size_t QUEUE_BYTE_CAPACITY = 64 * 1024 * 1024;

struct IntakeError {
  std::string text;  // sent on as the message of an "invalid-command" error
  friend bool operator==(const IntakeError&, const IntakeError&) = default;
};

using IntakeMessage = std::variant<Command, IntakeError>;

// The memory a message holds: the message itself, its texts and its lists.
size_t message_bytes(const IntakeMessage& message);

struct Received {
  enum class Kind { Message, TimedOut, Closed, Stopped };
  Kind kind = Kind::TimedOut;
  std::optional<IntakeMessage> message;  // with Kind::Message
};

// What the main loop receives from: the queue, or a scripted source in tests.
class IntakeSource {
 public:
  virtual ~IntakeSource() = default;
  virtual Received receive_until(MonoTime deadline) = 0;
  // True once the monitor has been asked to stop: nothing more may be written.
  virtual bool stop_requested() { return false; }
};

class QueueState;

// Asks the main loop to stop, from any thread: wakes a waiting receive.
class StopRequester {
 public:
  explicit StopRequester(std::shared_ptr<QueueState> state);
  void request_stop();

 private:
  std::shared_ptr<QueueState> state_;
};

class CommandSender {
 public:
  explicit CommandSender(std::shared_ptr<QueueState> state);
  CommandSender(CommandSender&&) noexcept = default;
  CommandSender& operator=(CommandSender&&) noexcept = default;
  ~CommandSender();  // closes the queue

  // False when the receiver is gone; the message is then dropped.
  bool send(IntakeMessage message);

 private:
  std::shared_ptr<QueueState> state_;
};

class CommandReceiver final : public IntakeSource {
 public:
  explicit CommandReceiver(std::shared_ptr<QueueState> state);
  CommandReceiver(CommandReceiver&&) noexcept = default;
  CommandReceiver& operator=(CommandReceiver&&) noexcept = default;
  ~CommandReceiver() override;  // makes further sends fail

  Received receive_until(MonoTime deadline) override;
  bool stop_requested() override;
  StopRequester stop_requester() const { return StopRequester(state_); }

 private:
  std::shared_ptr<QueueState> state_;
};

struct CommandQueue {
  CommandSender sender;
  CommandReceiver receiver;
};

CommandQueue make_command_queue(size_t capacity = QUEUE_CAPACITY,
                                size_t byte_capacity = QUEUE_BYTE_CAPACITY);

}  // namespace treemon
