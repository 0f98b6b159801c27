// What the recording keeps: each snapshot once, in order; the processes seen, bounded; and the
// last rows for the view when the tree is gone.
#include "recorder/recording.h"

#include <gtest/gtest.h>

namespace treemon::recorder {
namespace {

class CountingWriter final : public SampleWriter {
 public:
  explicit CountingWriter(std::vector<uint64_t>& taken) : taken_(taken) {}
  void take(const Sample& sample) override { taken_.push_back(sample.snapshot.sequence); }
  std::optional<std::string> problem() const override { return std::nullopt; }

 private:
  std::vector<uint64_t>& taken_;
};

Snapshot snapshot(uint64_t sequence, std::vector<uint32_t> pids) {
  Snapshot s;
  s.sequence = sequence;
  s.sampledAtUnixMs = 1000 * sequence;
  for (const uint32_t pid : pids) {
    ProcessSample p;
    p.pid = pid;
    p.startTimeMs = 1000;
    s.processes.push_back(p);
  }
  return s;
}

TEST(Recording, TakesEachSnapshotOnceAndKeepsTheLastRows) {
  std::vector<uint64_t> taken;
  std::vector<std::unique_ptr<SampleWriter>> writers;
  writers.push_back(std::make_unique<CountingWriter>(taken));
  Recording recording(false, SummaryRecorder({"x"}, 1, 0), std::move(writers));
  for (const uint64_t sequence : {1, 2, 2, 1, 3}) recording.take(snapshot(sequence, {1, 2}));
  recording.take(snapshot(4, {}));
  EXPECT_EQ(taken, (std::vector<uint64_t>{1, 2, 3, 4}));
  ASSERT_TRUE(recording.latest());
  EXPECT_EQ(recording.latest()->snapshot.sequence, 3u);
}

TEST(Recording, RemembersTheProcessesSeenMostRecentLast) {
  SeenProcesses seen;
  for (uint32_t pid = 1; pid <= SEEN_KEPT + 2; ++pid) seen.saw({pid, 1000});
  seen.saw({3, 1000});
  const std::vector<ProcessKey> keys = seen.keys();
  ASSERT_EQ(keys.size(), SEEN_KEPT);
  EXPECT_EQ(keys.front().pid, 4u);
  EXPECT_EQ(keys.back().pid, 3u);
}

}  // namespace
}  // namespace treemon::recorder
