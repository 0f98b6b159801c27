#include "sampling/history.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace treemon {
namespace {

struct Shape {
  size_t rows = 0;
  size_t externals = 0;
  size_t name_bytes = 8;
  size_t command_bytes = 40;
  size_t status_bytes = 3;
};

Snapshot make_snapshot(uint64_t sequence, uint64_t stamp_ms, const Shape& shape = {}) {
  Snapshot snapshot;
  snapshot.sequence = sequence;
  snapshot.sampledAtUnixMs = stamp_ms;
  for (size_t i = 0; i < shape.rows; ++i) {
    ProcessSample row;
    row.pid = static_cast<uint32_t>(i + 1);
    row.name = std::string(shape.name_bytes, 'n');
    row.command = std::string(shape.command_bytes, 'c');
    row.status = std::string(shape.status_bytes, 's');
    snapshot.processes.push_back(row);
  }
  for (size_t i = 0; i < shape.externals; ++i) {
    snapshot.externalProcesses.push_back({static_cast<uint32_t>(100000 + i), 5000});
  }
  snapshot.retainedProcessCount = shape.rows;
  return snapshot;
}

std::vector<uint64_t> sequences(const std::vector<Snapshot>& snapshots) {
  std::vector<uint64_t> out;
  for (const auto& s : snapshots) out.push_back(s.sequence);
  return out;
}

std::vector<uint64_t> kept_sequences(const SnapshotHistory& history) {
  std::vector<uint64_t> out;
  for (size_t i = 0; i < history.size(); ++i) out.push_back(history.at(i).sequence);
  return out;
}

std::vector<uint64_t> range(uint64_t first, uint64_t last) {
  std::vector<uint64_t> out;
  for (uint64_t i = first; i <= last; ++i) out.push_back(i);
  return out;
}

// The estimate: fixed costs plus text bytes; the request id is free.
TEST(HistoryEstimateTest, OneRowOneExternalIs363BytesAnd2Entries) {
  Snapshot snapshot = make_snapshot(1, 0, {.rows = 1, .externals = 1});
  EXPECT_EQ(estimated_size(snapshot), 144u + (144u + 8u + 40u + 3u) + 24u);
  EXPECT_EQ(estimated_size(snapshot), 363u);
  EXPECT_EQ(entry_count(snapshot), 2u);

  snapshot.requestId = std::string(500, 'r');
  EXPECT_EQ(estimated_size(snapshot), 363u);
}

TEST(HistoryEstimateTest, CountsTextBytesNotCharacters) {
  Snapshot snapshot = make_snapshot(1, 0);
  ProcessSample row;
  row.name = "\xE2\x82\xAC";  // one character, three bytes
  snapshot.processes.push_back(row);
  EXPECT_EQ(estimated_size(snapshot), 144u + 144u + 3u);
  EXPECT_EQ(estimated_size(make_snapshot(1, 0)), SNAPSHOT_BASE_COST);
}

// The kept copy: no request id, everything else equal, texts shared with the original.
TEST(HistoryAppendTest, KeepsACopyWithoutRequestIdSharingTexts) {
  Snapshot snapshot = make_snapshot(7, 1000, {.rows = 2, .externals = 1});
  snapshot.requestId = "r1";
  SnapshotHistory history;
  history.append(snapshot);

  const auto read = history.read_window(0, 1000);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_FALSE(read[0].requestId.has_value());
  Snapshot expected = snapshot;
  expected.requestId.reset();
  EXPECT_EQ(read[0], expected);
  EXPECT_TRUE(read[0].processes[0].command.shares_with(snapshot.processes[0].command));
  EXPECT_EQ(history.total_entries(), 3u);
  EXPECT_EQ(history.total_bytes(), estimated_size(snapshot));
}

// The count bound: the 3601st snapshot pushes out the oldest. At 250 ms per snapshot 3601
// snapshots span 900 s, far inside the age bound, so the count bound is what acts.
TEST(HistoryBoundsTest, The3601stSnapshotPushesOutTheOldest) {
  SnapshotHistory history;
  for (uint64_t i = 1; i <= 3600; ++i) history.append(make_snapshot(i, 1000000 + i * 250));
  EXPECT_EQ(history.size(), 3600u);
  EXPECT_EQ(kept_sequences(history).front(), 1u);

  history.append(make_snapshot(3601, 1000000 + 3601 * 250));
  EXPECT_EQ(history.size(), 3600u);
  EXPECT_EQ(kept_sequences(history), range(2, 3601));
  EXPECT_EQ(history.total_bytes(), 3600u * SNAPSHOT_BASE_COST);
}

struct AgeCase {
  const char* what;
  uint64_t old_stamp;
  uint64_t new_stamp;
  bool old_stays;
};

// The age bound: a snapshot exactly HISTORY_MAX_AGE_MS older than the new one stays, 1 ms more
// and it goes; a new stamp below one hour gives a cutoff of 0.
TEST(HistoryBoundsTest, AgeBoundaryIsInclusive) {
  const AgeCase cases[] = {
      {"exactly one hour older stays", 10000000, 10000000 + 3600000, true},
      {"one hour and 1 ms older goes", 9999999, 10000000 + 3600000, false},
      {"new stamp below one hour: cutoff 0", 0, 3599999, true},
      {"stamp 0 exactly one hour before", 0, 3600000, true},
      {"stamp 0 one hour and 1 ms before", 0, 3600001, false},
  };
  for (const auto& c : cases) {
    SnapshotHistory history;
    history.append(make_snapshot(1, c.old_stamp, {.rows = 1}));
    history.append(make_snapshot(2, c.new_stamp, {.rows = 1}));
    const std::vector<uint64_t> expected = c.old_stays ? range(1, 2) : range(2, 2);
    EXPECT_EQ(kept_sequences(history), expected) << c.what;
    EXPECT_EQ(history.total_entries(), c.old_stays ? 2u : 1u) << c.what;
  }
}

// The entry bound: 200 snapshots of 100 rows are exactly 20000 entries and stay.
TEST(HistoryBoundsTest, TwoHundredSnapshotsOf100RowsStayAndThe201stPushesOutTheOldest) {
  SnapshotHistory history;
  for (uint64_t i = 1; i <= 200; ++i) history.append(make_snapshot(i, i * 1000, {.rows = 100}));
  EXPECT_EQ(history.size(), 200u);
  EXPECT_EQ(history.total_entries(), 20000u);

  history.append(make_snapshot(201, 201000, {.rows = 100}));
  EXPECT_EQ(kept_sequences(history), range(2, 201));
  EXPECT_EQ(history.total_entries(), 20000u);
}

TEST(HistoryBoundsTest, ExternalEntriesCountTowardsTheEntryBound) {
  SnapshotHistory history;
  for (uint64_t i = 1; i <= 200; ++i) {
    history.append(make_snapshot(i, i * 1000, {.rows = 99, .externals = 1}));
  }
  EXPECT_EQ(history.total_entries(), 20000u);
  history.append(make_snapshot(201, 201000, {.rows = 0, .externals = 1}));
  EXPECT_EQ(kept_sequences(history), range(2, 201));
  EXPECT_EQ(history.total_entries(), 19901u);
}

// The byte bound: 64 snapshots of exactly 1 MiB each fill 64 MiB and stay; one more byte
// pushes out the oldest.
TEST(HistoryBoundsTest, ByteBoundIsInclusive) {
  const Shape one_mib{.rows = 1,
                      .name_bytes = 0,
                      .command_bytes = 1048576 - SNAPSHOT_BASE_COST - ROW_BASE_COST,
                      .status_bytes = 0};
  SnapshotHistory history;
  for (uint64_t i = 1; i <= 64; ++i) history.append(make_snapshot(i, i, one_mib));
  ASSERT_EQ(estimated_size(make_snapshot(0, 0, one_mib)), 1048576u);
  EXPECT_EQ(history.total_bytes(), HISTORY_MAX_BYTES);
  EXPECT_EQ(history.size(), 64u);

  history.append(make_snapshot(65, 65));
  EXPECT_EQ(kept_sequences(history), range(2, 65));
  EXPECT_EQ(history.total_bytes(), HISTORY_MAX_BYTES - 1048576 + SNAPSHOT_BASE_COST);
}

struct OversizedCase {
  const char* what;
  Shape shape;
  bool stays;
};

// A snapshot that alone exceeds the entry or byte bound empties the history, itself included;
// one exactly at a bound stays alone.
TEST(HistoryBoundsTest, OversizedSnapshotEmptiesTheHistory) {
  const uint64_t big_command = HISTORY_MAX_BYTES - SNAPSHOT_BASE_COST - ROW_BASE_COST;
  const OversizedCase cases[] = {
      {"20001 rows", {.rows = 20001}, false},
      {"20000 rows and 1 external", {.rows = 20000, .externals = 1}, false},
      {"20000 rows", {.rows = 20000}, true},
      {"64 MiB + 1 byte",
       {.rows = 1, .name_bytes = 1, .command_bytes = big_command, .status_bytes = 0},
       false},
      {"exactly 64 MiB",
       {.rows = 1, .name_bytes = 0, .command_bytes = big_command, .status_bytes = 0},
       true},
  };
  for (const auto& c : cases) {
    SnapshotHistory history;
    history.append(make_snapshot(1, 1000, {.rows = 3}));
    history.append(make_snapshot(2, 2000, c.shape));
    EXPECT_EQ(kept_sequences(history), c.stays ? range(2, 2) : std::vector<uint64_t>{}) << c.what;
    if (!c.stays) {
      EXPECT_EQ(history.total_entries(), 0u) << c.what;
      EXPECT_EQ(history.total_bytes(), 0u) << c.what;
      EXPECT_TRUE(history.read_window(HISTORY_MAX_WINDOW_MS, 2000).empty()) << c.what;
    }
  }
}

struct SetBackCase {
  const char* what;
  uint64_t set_back_ms;
  std::vector<uint64_t> read_before_append;
  std::vector<uint64_t> kept_after_append;
};

// The wall clock set back: a read before the next append does not select the snapshots stamped
// in the future; the append removes them and keeps the rest in order.
TEST(HistoryClockTest, ClockSetBackRemovesLaterStampedSnapshots) {
  const uint64_t base = 100000000;
  const SetBackCase cases[] = {
      {"set back by an hour", 3600000, {}, {5}},
      {"set back by 2.5 s", 2500, {1, 2}, {1, 5}},
      {"set back by 2 s: an equal stamp stays", 2000, {1, 2}, {1, 2, 5}},
  };
  for (const auto& c : cases) {
    SnapshotHistory history;
    for (uint64_t i = 1; i <= 4; ++i)
      history.append(make_snapshot(i, base + i * 1000, {.rows = 1}));
    const uint64_t now = base + 4000 - c.set_back_ms;
    EXPECT_EQ(sequences(history.read_window(HISTORY_MAX_WINDOW_MS, now + 500)),
              c.read_before_append)
        << c.what;

    history.append(make_snapshot(5, now, {.rows = 1}));
    EXPECT_EQ(kept_sequences(history), c.kept_after_append) << c.what;
    const uint64_t kept = c.kept_after_append.size();
    EXPECT_EQ(history.total_entries(), kept) << c.what;
    EXPECT_EQ(history.total_bytes(), kept * estimated_size(make_snapshot(0, 0, {.rows = 1})))
        << c.what;
  }
}

TEST(HistoryClockTest, EqualStampsAreKept) {
  SnapshotHistory history;
  for (uint64_t i = 1; i <= 3; ++i) history.append(make_snapshot(i, 5000));
  EXPECT_EQ(kept_sequences(history), range(1, 3));
}

struct WindowCase {
  const char* what;
  uint64_t window_ms;
  uint64_t now;
  std::vector<uint64_t> expected;
};

// Windows: both ends included, the cap at one hour, a window of 0, a cutoff floored at 0.
TEST(HistoryReadTest, WindowSelection) {
  const uint64_t hour = 3600000;
  SnapshotHistory history;
  const uint64_t stamps[] = {0, 1000, hour - 1, hour, hour + 1, 2 * hour - 1, 2 * hour};
  uint64_t sequence = 0;
  // The age bound keeps the snapshots stamped at or after 2 h - 1 h.
  for (uint64_t stamp : stamps) history.append(make_snapshot(++sequence, stamp));
  ASSERT_EQ(kept_sequences(history), range(4, 7));

  const WindowCase cases[] = {
      {"window 0 selects only now", 0, hour + 1, {5}},
      {"window 0 with nothing exactly now", 0, hour + 2, {}},
      {"both ends included", 1, 2 * hour - 1, {6}},
      {"both ends included, wider", hour - 2, 2 * hour - 1, {5, 6}},
      {"one hour", hour, 2 * hour, {4, 5, 6, 7}},
      {"two hours is one hour", 2 * hour, 2 * hour, {4, 5, 6, 7}},
      {"two hours capped, now later", 2 * hour, 2 * hour + 2, {6, 7}},
      {"huge window", UINT64_MAX, 2 * hour + 1, {5, 6, 7}},
      {"now before every stamp", hour, hour - 1, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sequences(history.read_window(c.window_ms, c.now)), c.expected) << c.what;
  }
}

TEST(HistoryReadTest, CutoffFlooredAtZeroSelectsFromTheStart) {
  SnapshotHistory history;
  history.append(make_snapshot(1, 0));
  history.append(make_snapshot(2, 10));
  EXPECT_EQ(sequences(history.read_window(3600000, 20)), range(1, 2));
  EXPECT_EQ(sequences(history.read_window(0, 0)), range(1, 1));
}

struct ChunkCase {
  size_t selected;
  std::vector<size_t> chunk_sizes;
};

// Chunks of 32 in order; the last holds the rest; nothing selected still gives one empty chunk.
TEST(HistoryChunkTest, SplitsIntoChunksOf32) {
  const ChunkCase cases[] = {
      {0, {0}}, {1, {1}}, {31, {31}}, {32, {32}}, {33, {32, 1}}, {64, {32, 32}}, {65, {32, 32, 1}},
  };
  for (const auto& c : cases) {
    std::vector<Snapshot> selected;
    for (size_t i = 0; i < c.selected; ++i) selected.push_back(make_snapshot(i + 1, i));
    const auto chunks = split_into_chunks(selected);
    std::vector<size_t> sizes;
    std::vector<uint64_t> order;
    for (const auto& chunk : chunks) {
      sizes.push_back(chunk.size());
      for (const auto& s : chunk) order.push_back(s.sequence);
    }
    EXPECT_EQ(sizes, c.chunk_sizes) << c.selected << " selected";
    EXPECT_EQ(order, sequences(selected)) << c.selected << " selected";
  }
}

// A reference model that follows the rules literally (a full scan for later stamps, totals
// recomputed from scratch) must agree with the history after every append of a random run with
// clock set-backs and snapshots of every size.
class ModelHistory {
 public:
  void append(Snapshot s) {
    s.requestId.reset();
    const uint64_t stamp = s.sampledAtUnixMs;
    kept_.push_back(
        {s.sequence, stamp, s.processes.size() + s.externalProcesses.size(), estimated_size(s)});
    acted.later += std::erase_if(kept_, [stamp](const Kept& k) { return k.stamp > stamp; });
    const uint64_t cutoff = stamp > HISTORY_MAX_AGE_MS ? stamp - HISTORY_MAX_AGE_MS : 0;
    while (!kept_.empty()) {
      if (kept_.size() > HISTORY_MAX_SNAPSHOTS) {
        ++acted.count;
      } else if (kept_.front().stamp < cutoff) {
        ++acted.age;
      } else if (entries() > HISTORY_MAX_ENTRIES) {
        ++acted.entries;
      } else if (bytes() > HISTORY_MAX_BYTES) {
        ++acted.bytes;
      } else {
        break;
      }
      kept_.erase(kept_.begin());
    }
  }
  uint64_t entries() const {
    uint64_t sum = 0;
    for (const auto& k : kept_) sum += k.entries;
    return sum;
  }
  uint64_t bytes() const {
    uint64_t sum = 0;
    for (const auto& k : kept_) sum += k.bytes;
    return sum;
  }
  std::vector<uint64_t> kept() const {
    std::vector<uint64_t> out;
    for (const auto& k : kept_) out.push_back(k.sequence);
    return out;
  }

  // How many snapshots each rule removed, so the run can show that every rule acted.
  struct {
    size_t later = 0, count = 0, age = 0, entries = 0, bytes = 0;
  } acted;

 private:
  struct Kept {
    uint64_t sequence, stamp, entries, bytes;
  };
  std::vector<Kept> kept_;
};

TEST(HistoryModelTest, AgreesWithAReferenceModelOnRandomRuns) {
  std::mt19937 random(12345);
  SnapshotHistory history;
  ModelHistory model;
  uint64_t stamp = 5000000;
  for (uint64_t sequence = 1; sequence <= 6000; ++sequence) {
    // Small snapshots first, so that the count bound acts; then some with long texts among
    // them (the byte bound); then now and then a clock set back, a long pause around the age
    // boundary, a snapshot large in rows (the entry bound) or one with long texts.
    const uint32_t roll = sequence <= 3700   ? 999
                          : sequence <= 4300 ? (random() % 20 == 0 ? 9 : 999)
                                             : random() % 1000;
    if (roll < 2) {
      stamp = stamp > 3600000 ? stamp - random() % 3600000 : 0;
    } else if (roll < 4) {
      stamp += 3600000 + random() % 2;
    } else {
      stamp += random() % 500;
    }
    const bool many_rows = roll >= 4 && roll < 9;
    const bool long_texts = roll >= 9 && roll < 14;
    const Shape shape{.rows = many_rows    ? 2000 + random() % 19000
                              : long_texts ? 3 + random() % 3
                                           : random() % 6,
                      .externals = random() % 3,
                      .name_bytes = 10 + random() % 10,
                      .command_bytes = long_texts ? 3000000 + random() % 3000000 : random() % 2000,
                      .status_bytes = 3 + random() % 3};
    const Snapshot snapshot = make_snapshot(sequence, stamp, shape);
    history.append(snapshot);
    model.append(snapshot);
    ASSERT_EQ(kept_sequences(history), model.kept()) << "after sequence " << sequence;
    ASSERT_EQ(history.total_entries(), model.entries()) << "after sequence " << sequence;
    ASSERT_EQ(history.total_bytes(), model.bytes()) << "after sequence " << sequence;
  }
  EXPECT_GT(model.acted.later, 0u);
  EXPECT_GT(model.acted.count, 0u);
  EXPECT_GT(model.acted.age, 0u);
  EXPECT_GT(model.acted.entries, 0u);
  EXPECT_GT(model.acted.bytes, 0u);
}

}  // namespace
}  // namespace treemon
