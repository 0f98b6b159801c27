// The snapshot history under arbitrary sequences of appends and window reads, checked against a
// plain reference model of its four bounds written here.
//
// The input is a list of operations: appends of snapshots with random row counts, text sizes and
// external entries; runs of many small appends (to reach the count and age bounds); wall clocks
// that jump forward and back, also by exactly the age bound; window reads with arbitrary windows
// and "now" values. After every operation the history must hold exactly the snapshots the model
// holds, in the same order, with the same totals, and every read must select what the model
// selects, split into chunks of at most HISTORY_CHUNK_SIZE.
//
// The model keeps (stamp, sequence, entries, bytes) per snapshot and follows the rules literally:
// remove every later-stamped snapshot wherever it is, then pop the front while a bound is
// exceeded. Its running totals are checked against sums computed from scratch.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "sampling/history.h"

namespace treemon {
namespace {

constexpr uint64_t U64_MAX = std::numeric_limits<uint64_t>::max();

void check(bool condition, const char* what) {
  fuzzing::check_invariant(condition, "history", what);
}

using fuzzing::Input;

uint64_t add_sat(uint64_t a, uint64_t b) { return a > U64_MAX - b ? U64_MAX : a + b; }
uint64_t sub_floor(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

struct ModelSnapshot {
  uint64_t stamp;
  uint64_t sequence;
  uint64_t entries;
  uint64_t bytes;
};

class Model {
 public:
  void append(const ModelSnapshot& added) {
    kept_.push_back(added);
    entries_ += added.entries;
    bytes_ += added.bytes;
    if (added.stamp < latest_stamp_) {
      for (auto it = kept_.begin(); it != kept_.end();) {
        if (it->stamp > added.stamp) {
          subtract(*it);
          it = kept_.erase(it);
        } else {
          ++it;
        }
      }
    }
    latest_stamp_ = added.stamp;
    const uint64_t cutoff = sub_floor(added.stamp, HISTORY_MAX_AGE_MS);
    while (!kept_.empty() && over_bounds(cutoff)) {
      subtract(kept_.front());
      kept_.pop_front();
    }
  }

  std::vector<uint64_t> read(uint64_t window_ms, uint64_t now) const {
    const uint64_t cutoff = sub_floor(now, std::min<uint64_t>(window_ms, 3600000));
    std::vector<uint64_t> selected;
    for (const ModelSnapshot& s : kept_) {
      if (s.stamp >= cutoff && s.stamp <= now) selected.push_back(s.sequence);
    }
    return selected;
  }

  uint64_t entries() const { return entries_; }
  uint64_t bytes() const { return bytes_; }

  uint64_t entries_from_scratch() const {
    uint64_t total = 0;
    for (const ModelSnapshot& s : kept_) total = add_sat(total, s.entries);
    return total;
  }
  uint64_t bytes_from_scratch() const {
    uint64_t total = 0;
    for (const ModelSnapshot& s : kept_) total = add_sat(total, s.bytes);
    return total;
  }
  const std::deque<ModelSnapshot>& kept() const { return kept_; }

 private:
  bool over_bounds(uint64_t cutoff) const {
    return kept_.size() > 3600 || kept_.front().stamp < cutoff || entries_ > 20000 ||
           bytes_ > 67108864;
  }
  void subtract(const ModelSnapshot& s) {
    entries_ -= s.entries;
    bytes_ -= s.bytes;
  }

  std::deque<ModelSnapshot> kept_;
  uint64_t entries_ = 0;  // no saturation: the shapes here stay far below 2^64
  uint64_t bytes_ = 0;
  uint64_t latest_stamp_ = 0;
};

// Texts are shared between rows like the sampler's are, so large estimated sizes cost little
// memory. One text per distinct size; the cache is dropped when it grows past 64 MiB (the
// history keeps its own references).
class Texts {
 public:
  const SharedText& of_size(size_t size) {
    auto found = texts_.find(size);
    if (found == texts_.end()) {
      if (cached_bytes_ > (64u << 20)) {
        texts_.clear();
        cached_bytes_ = 0;
      }
      cached_bytes_ += size;
      found = texts_.emplace(size, std::string(size, 'x')).first;
    }
    return found->second;
  }

 private:
  std::map<size_t, SharedText> texts_;
  size_t cached_bytes_ = 0;
};

struct Shape {
  uint32_t rows = 0;
  uint32_t externals = 0;
  size_t name_size = 0;
  size_t command_size = 0;
  size_t status_size = 0;
};

Shape read_shape(Input& in) {
  Shape shape;
  const uint8_t scale = in.u8();
  shape.rows = in.u16() % ((scale & 1) ? 25000u : 200u);  // past the entry bound alone, or small
  shape.externals = in.u8() % 40;
  shape.name_size = in.u8();
  // Up to 16 MiB per command text: a few hundred rows then pass the byte bound.
  shape.command_size = (scale & 2) ? static_cast<size_t>(in.u16()) << (in.u8() % 9) : in.u8();
  shape.status_size = in.u8() % 32;
  return shape;
}

Snapshot make_snapshot(const Shape& shape, uint64_t stamp, uint64_t sequence, Texts& texts,
                       bool with_request_id) {
  Snapshot snapshot;
  snapshot.sequence = sequence;
  snapshot.sampledAtUnixMs = stamp;
  if (with_request_id) snapshot.requestId = "r" + std::to_string(sequence);
  snapshot.processes.resize(shape.rows);
  for (uint32_t i = 0; i < shape.rows; ++i) {
    ProcessSample& row = snapshot.processes[i];
    row.pid = i + 1;
    row.name = texts.of_size(shape.name_size);
    row.command = texts.of_size(shape.command_size);
    row.status = texts.of_size(shape.status_size);
  }
  for (uint32_t i = 0; i < shape.externals; ++i) snapshot.externalProcesses.push_back({i + 1, i});
  return snapshot;
}

ModelSnapshot model_of(const Shape& shape, uint64_t stamp, uint64_t sequence) {
  const uint64_t row = 144 + shape.name_size + shape.command_size + shape.status_size;
  return {stamp, sequence, uint64_t{shape.rows} + shape.externals,
          144 + row * shape.rows + 24 * uint64_t{shape.externals}};
}

// A clock step: small steps either way, or exactly the age bound and its neighbours.
uint64_t step_clock(uint64_t clock, Input& in) {
  const uint8_t kind = in.u8();
  uint64_t amount = 0;
  switch (kind % 6) {
    case 0:
      amount = in.u8();
      break;
    case 1:
      amount = in.u16();
      break;
    case 2:
      amount = in.u32();
      break;
    case 3:
      amount = HISTORY_MAX_AGE_MS;
      break;
    case 4:
      amount = HISTORY_MAX_AGE_MS + 1;
      break;
    case 5:
      amount = HISTORY_MAX_AGE_MS - 1;
      break;
  }
  return (kind & 0x80) ? sub_floor(clock, amount) : add_sat(clock, amount);
}

void compare(const SnapshotHistory& history, const Model& model) {
  const auto& kept = model.kept();
  check(history.size() == kept.size(), "snapshot count differs from the model");
  check(history.total_entries() == model.entries(), "total_entries differs from the model");
  check(history.total_bytes() == model.bytes(), "total_bytes differs from the model");
  check(model.entries() == model.entries_from_scratch(), "model entries drifted");
  check(model.bytes() == model.bytes_from_scratch(), "model bytes drifted");
  for (size_t i = 0; i < kept.size(); ++i) {
    check(history.at(i).sequence == kept[i].sequence, "kept snapshots differ from the model");
    check(!history.at(i).requestId, "a kept copy has a request id");
    if (i > 0) check(kept[i - 1].stamp <= kept[i].stamp, "stamps decrease");
  }
  check(history.size() <= HISTORY_MAX_SNAPSHOTS, "count bound");
  check(history.total_entries() <= HISTORY_MAX_ENTRIES, "entry bound");
  check(history.total_bytes() <= HISTORY_MAX_BYTES, "byte bound");
}

void check_read(const SnapshotHistory& history, const Model& model, uint64_t window, uint64_t now) {
  const std::vector<Snapshot> selected = history.read_window(window, now);
  const std::vector<uint64_t> expected = model.read(window, now);
  check(selected.size() == expected.size(), "window read selects a different count");
  for (size_t i = 0; i < selected.size(); ++i) {
    check(selected[i].sequence == expected[i], "window read selects different snapshots");
  }
  const auto chunks = split_into_chunks(selected);
  check(chunks.size() == std::max<size_t>(1, (selected.size() + 31) / 32), "chunk count");
  size_t position = 0;
  for (size_t i = 0; i < chunks.size(); ++i) {
    check(chunks[i].size() <= HISTORY_CHUNK_SIZE, "chunk too large");
    check(i + 1 == chunks.size() || chunks[i].size() == HISTORY_CHUNK_SIZE, "short inner chunk");
    for (const Snapshot& s : chunks[i]) check(&s == &selected[position++], "chunk order");
  }
  check(position == selected.size(), "chunks lose snapshots");
}

uint64_t initial_clock(uint8_t choice) {
  const uint64_t starts[] = {0, 1000, HISTORY_MAX_AGE_MS, 1700000000000, U64_MAX - 5000};
  return starts[choice % 5];
}

}  // namespace
}  // namespace treemon

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace treemon;
  Input in(data, size);
  SnapshotHistory history;
  Model model;
  Texts texts;
  uint64_t clock = initial_clock(in.u8());
  uint64_t sequence = 0;
  size_t operations = 0;
  while (!in.empty() && operations++ < 64) {
    switch (in.u8() % 4) {
      case 0: {  // one snapshot of arbitrary shape
        clock = step_clock(clock, in);
        const Shape shape = read_shape(in);
        ++sequence;
        history.append(make_snapshot(shape, clock, sequence, texts, in.u8() & 1));
        model.append(model_of(shape, clock, sequence));
        break;
      }
      case 1: {  // a run of small snapshots at a steady pace
        const uint32_t count = in.u16() % 4000;
        const uint64_t pace = in.u16();
        const Shape shape{in.u8() % 8u, in.u8() % 3u, 6, 20, 5};
        for (uint32_t i = 0; i < count; ++i) {
          clock = add_sat(clock, pace);
          ++sequence;
          history.append(make_snapshot(shape, clock, sequence, texts, false));
          model.append(model_of(shape, clock, sequence));
        }
        break;
      }
      case 2:  // the wall clock is set, with no append
        clock = step_clock(clock, in);
        break;
      case 3: {  // a read at the clock, or around it
        const uint64_t window = (in.u8() & 1) ? in.u32() : step_clock(0, in);
        const uint64_t now = (in.u8() & 1) ? clock : step_clock(clock, in);
        check_read(history, model, window, now);
        break;
      }
    }
    compare(history, model);
  }
  return 0;
}
