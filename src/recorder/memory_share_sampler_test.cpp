#include "recorder/memory_share_sampler.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace treemon::recorder {
namespace {

using namespace std::chrono_literals;

// A clock that only the reads move.
class ReadClock final : public Clock {
 public:
  MonoTime monotonic_now() override { return now; }
  int64_t wall_now_unix_ns() override { return 0; }
  void sleep_for(std::chrono::nanoseconds duration) override { now += duration; }
  MonoTime now{};
};

struct Fixture {
  ReadClock clock;
  std::vector<uint32_t> reads;  // pids, in the order read
  std::optional<uint32_t> failing_pid;

  ShareReading sample(MemoryShareSampler& sampler, const std::vector<ShareMember>& members) {
    reads.clear();
    return sampler.sample(
        members,
        [&](uint32_t pid) -> std::optional<uint64_t> {
          clock.sleep_for(1ms);
          reads.push_back(pid);
          if (failing_pid == pid) return std::nullopt;
          return uint64_t{pid} * 1000 + clock.now.time_since_epoch().count() / 1'000'000;
        },
        clock);
  }
};

std::vector<ShareMember> members(std::initializer_list<uint32_t> pids) {
  std::vector<ShareMember> result;
  for (uint32_t pid : pids) result.push_back({pid + 100, pid});  // identity, pid
  return result;
}

TEST(MemoryShareSampler, ReadsEveryMemberWhenTheBudgetAllows) {
  Fixture f;
  MemoryShareSampler sampler(1s);
  const ShareReading reading = f.sample(sampler, members({1, 2, 3}));
  EXPECT_EQ(f.reads, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(reading.read_now, 3u);
  EXPECT_EQ(reading.never_read, 0u);
  EXPECT_EQ(reading.shares, (std::vector<std::optional<uint64_t>>{1001, 2002, 3003}));
}

// Three reads fit the budget: the samples take the members in turn, stalest first, and those
// not read keep their latest share.
TEST(MemoryShareSampler, ReadsFewerEachSampleStalestFirst) {
  Fixture f;
  MemoryShareSampler sampler(3ms);
  const std::vector<ShareMember> tree = members({1, 2, 3, 4, 5});
  ShareReading reading = f.sample(sampler, tree);
  EXPECT_EQ(f.reads, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(reading.never_read, 2u);
  EXPECT_EQ(reading.shares[3], std::nullopt);

  reading = f.sample(sampler, tree);
  EXPECT_EQ(f.reads, (std::vector<uint32_t>{4, 5, 1}));
  EXPECT_EQ(reading.read_now, 3u);
  EXPECT_EQ(reading.never_read, 0u);
  EXPECT_EQ(reading.shares[1], 2002u) << "kept from the first sample";

  reading = f.sample(sampler, members({6, 1, 2, 3, 4, 5}));
  EXPECT_EQ(f.reads, (std::vector<uint32_t>{6, 2, 3})) << "a new member first";
}

TEST(MemoryShareSampler, AFailedReadKeepsTheShareAndWaitsItsTurn) {
  Fixture f;
  MemoryShareSampler sampler(2ms);
  const std::vector<ShareMember> tree = members({1, 2, 3});
  f.sample(sampler, tree);
  f.sample(sampler, tree);  // reads 3, then 1
  f.failing_pid = 2;
  ShareReading reading = f.sample(sampler, tree);
  EXPECT_EQ(f.reads, (std::vector<uint32_t>{2, 1}));
  EXPECT_EQ(reading.shares[1], 2002u);
  reading = f.sample(sampler, tree);
  EXPECT_EQ(f.reads, (std::vector<uint32_t>{3, 1})) << "the failed read counted as a read";
}

TEST(MemoryShareSampler, EverySampleReadsOneHoweverSmallTheBudget) {
  Fixture f;
  MemoryShareSampler sampler(1ns);
  const std::vector<ShareMember> tree = members({1, 2});
  f.sample(sampler, tree);
  EXPECT_EQ(f.reads, (std::vector<uint32_t>{1}));
  f.sample(sampler, tree);
  EXPECT_EQ(f.reads, (std::vector<uint32_t>{2}));
}

TEST(MemoryShareSampler, ForgetsMembersThatLeft) {
  Fixture f;
  MemoryShareSampler sampler(1s);
  f.sample(sampler, members({1, 2}));
  f.sample(sampler, members({2}));
  const ShareReading reading = f.sample(sampler, members({1, 2}));
  EXPECT_EQ(f.reads, (std::vector<uint32_t>{1, 2})) << "1 is new again, read first";
  EXPECT_EQ(reading.shares[0], 1004u);
}

}  // namespace
}  // namespace treemon::recorder
