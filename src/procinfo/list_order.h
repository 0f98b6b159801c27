// ListOrder: the entries of the previous process list in its order, so that a list taken in the
// same order (/proc lists pids in ascending order) finds each entry at a cursor, without hashing;
// the owner's map answers for whatever comes out of order. It owns no entry.
//
// Rules:
//  1. A slot never points at a destroyed entry: the owner destroys entries only after the list
//     has been walked and finish() has made the order being built the current one.
//  2. An entry's index (from append) is only a hint: the cursor moves to it only when the slot
//     still holds that very entry, so a stale index is harmless.
//  3. Lookups read the current order only; append builds the next one, so an entry may be given
//     its next index while this list is still being walked.
// Main thread only, like the table that owns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace treemon {

template <typename Entry>
class ListOrder {
 public:
  // The entry at the cursor if it is pid's, the cursor then past it; null otherwise.
  Entry* take_at(size_t& cursor, uint32_t pid) const {
    if (cursor >= slots_.size() || slots_[cursor].pid != pid) return nullptr;
    return slots_[cursor++].entry;
  }

  // Moves the cursor past `entry`'s slot, where `index` still names it.
  void move_past(size_t& cursor, const Entry* entry, size_t index) const {
    if (index < slots_.size() && slots_[index].entry == entry) cursor = index + 1;
  }

  void begin() { next_.clear(); }
  // Adds an entry to the order being built and returns its index there.
  size_t append(uint32_t pid, Entry* entry) {
    next_.push_back({pid, entry});
    return next_.size() - 1;
  }
  // The order being built becomes the current one; the previous one is dropped.
  void finish() { slots_.swap(next_); }

 private:
  struct Slot {
    uint32_t pid = 0;
    Entry* entry = nullptr;
  };
  std::vector<Slot> slots_;
  std::vector<Slot> next_;  // kept between lists for its storage
};

}  // namespace treemon
