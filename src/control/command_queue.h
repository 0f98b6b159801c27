// CommandQueue: the bounded first-in first-out queue of IntakeMessages from the CommandReader
// thread to the main loop, the only object the two threads share.
//
// Invariants:
//  1. At most `capacity` messages wait; a send to a full queue blocks until one is taken, so
//     nothing is ever dropped for lack of room.
//  2. Messages are received in the order they were sent; those sent before the sender went are
//     all received before the receiver sees Closed.
//  3. Once the receiver is gone, every send fails at once and hands the message back.
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

struct IntakeError {
  std::string text;  // sent on as the message of an "invalid-command" error
  friend bool operator==(const IntakeError&, const IntakeError&) = default;
};

using IntakeMessage = std::variant<Command, IntakeError>;

struct Received {
  enum class Kind { Message, TimedOut, Closed };
  Kind kind = Kind::TimedOut;
  std::optional<IntakeMessage> message;  // with Kind::Message
};

// What the main loop receives from: the queue, or a scripted source in tests.
class IntakeSource {
 public:
  virtual ~IntakeSource() = default;
  virtual Received receive_until(MonoTime deadline) = 0;
};

class QueueState;

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

 private:
  std::shared_ptr<QueueState> state_;
};

struct CommandQueue {
  CommandSender sender;
  CommandReceiver receiver;
};

CommandQueue make_command_queue(size_t capacity = QUEUE_CAPACITY);

}  // namespace treemon
