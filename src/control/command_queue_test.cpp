#include "control/command_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace treemon {
namespace {

using namespace std::chrono_literals;

IntakeMessage error_message(int n) { return IntakeError{"m" + std::to_string(n)}; }

std::string text_of(const Received& received) {
  return std::get<IntakeError>(*received.message).text;
}

MonoTime soon() { return std::chrono::steady_clock::now() + 2s; }

// Messages come out in order, and those sent before the sender went come before Closed.
TEST(CommandQueue, DeliversInOrderThenClosed) {
  CommandQueue queue = make_command_queue(4);
  {
    CommandSender sender = std::move(queue.sender);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(sender.send(error_message(i)));
  }
  for (int i = 0; i < 3; ++i) {
    Received received = queue.receiver.receive_until(soon());
    ASSERT_EQ(received.kind, Received::Kind::Message);
    EXPECT_EQ(text_of(received), "m" + std::to_string(i));
  }
  EXPECT_EQ(queue.receiver.receive_until(soon()).kind, Received::Kind::Closed);
  EXPECT_EQ(queue.receiver.receive_until(soon()).kind, Received::Kind::Closed);
}

TEST(CommandQueue, TimesOutWhenEmptyAndOpen) {
  CommandQueue queue = make_command_queue();
  const auto start = std::chrono::steady_clock::now();
  Received received = queue.receiver.receive_until(start + 30ms);
  EXPECT_EQ(received.kind, Received::Kind::TimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  // A deadline already passed returns at once.
  EXPECT_EQ(queue.receiver.receive_until(start).kind, Received::Kind::TimedOut);
}

TEST(CommandQueue, SendFailsOnceReceiverIsGone) {
  CommandQueue queue = make_command_queue();
  { CommandReceiver gone = std::move(queue.receiver); }
  EXPECT_FALSE(queue.sender.send(error_message(1)));
}

// A full queue holds the sender back; nothing is lost and the order is kept.
TEST(CommandQueue, FullQueueBlocksSenderWithoutLoss) {
  CommandQueue queue = make_command_queue(QUEUE_CAPACITY);
  std::atomic<int> sent{0};
  std::thread producer([&, sender = std::move(queue.sender)]() mutable {
    for (int i = 0; i < 200; ++i) {
      ASSERT_TRUE(sender.send(error_message(i)));
      ++sent;
    }
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sent.load(), static_cast<int>(QUEUE_CAPACITY));
  for (int i = 0; i < 200; ++i) {
    Received received = queue.receiver.receive_until(soon());
    ASSERT_EQ(received.kind, Received::Kind::Message);
    EXPECT_EQ(text_of(received), "m" + std::to_string(i));
  }
  producer.join();
  EXPECT_EQ(queue.receiver.receive_until(soon()).kind, Received::Kind::Closed);
}

// Bounded in bytes too: the sender waits while the messages held would pass the byte capacity,
// and a message larger than all of it still goes, alone, into an empty queue.
TEST(CommandQueue, FullQueueByBytesBlocksSender) {
  const IntakeMessage large = IntakeError{std::string(1000, 'b')};
  const size_t size = message_bytes(large);
  CommandQueue queue = make_command_queue(QUEUE_CAPACITY, 2 * size);
  std::atomic<int> sent{0};
  std::thread producer([&, sender = std::move(queue.sender)]() mutable {
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(sender.send(large));
      ++sent;
    }
    ASSERT_TRUE(sender.send(IntakeError{std::string(10 * size, 'h')}));
    ++sent;
  });
  const auto settle = [&](int expected) {
    for (int i = 0; i < 500 && sent.load() < expected; ++i) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(50ms);
    return sent.load();
  };
  EXPECT_EQ(settle(2), 2);
  ASSERT_EQ(queue.receiver.receive_until(soon()).kind, Received::Kind::Message);
  EXPECT_EQ(settle(3), 3);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(queue.receiver.receive_until(soon()).kind, Received::Kind::Message);
  }
  EXPECT_EQ(settle(5), 5);
  EXPECT_EQ(text_of(queue.receiver.receive_until(soon())).size(), 10 * size);
  producer.join();
}

// A stop request ends the receiving at once, even with messages waiting, and wakes a receive
// that waits.
TEST(CommandQueue, StopRequestEndsReceivingAtOnce) {
  CommandQueue queue = make_command_queue();
  ASSERT_TRUE(queue.sender.send(error_message(0)));
  queue.receiver.stop_requester().request_stop();
  EXPECT_TRUE(queue.receiver.stop_requested());
  EXPECT_EQ(queue.receiver.receive_until(soon()).kind, Received::Kind::Stopped);

  CommandQueue waiting = make_command_queue();
  std::thread stopper([requester = waiting.receiver.stop_requester()]() mutable {
    std::this_thread::sleep_for(50ms);
    requester.request_stop();
  });
  EXPECT_EQ(waiting.receiver.receive_until(std::chrono::steady_clock::now() + 60s).kind,
            Received::Kind::Stopped);
  stopper.join();
}

// A sender blocked on a full queue is released with a failure when the receiver goes.
TEST(CommandQueue, BlockedSenderFailsWhenReceiverGoes) {
  CommandQueue queue = make_command_queue(1);
  ASSERT_TRUE(queue.sender.send(error_message(0)));
  std::atomic<bool> result{true};
  std::thread producer([&] { result = queue.sender.send(error_message(1)); });
  std::this_thread::sleep_for(50ms);
  { CommandReceiver gone = std::move(queue.receiver); }
  producer.join();
  EXPECT_FALSE(result.load());
}

}  // namespace
}  // namespace treemon
