#include "sampling/child_lists.h"

#include <algorithm>
#include <bit>

namespace treemon {

void ChildLists::reset(size_t processes) {
  children_.clear();
  children_.reserve(processes);
  size_slots(processes);
}

void ChildLists::size_slots(size_t children) {
  const size_t wanted = std::bit_ceil(children * 2 + 2);
  if (slots_.size() != wanted) {
    slots_.assign(wanted, Slot{});
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(wanted));
  } else {
    std::fill(slots_.begin(), slots_.end(), Slot{});
  }
}

// More children than reset() made room for: a larger table, each parent pointing at its most
// recent child again. The lists through the children are unchanged.
void ChildLists::grow() {
  size_slots(std::max<size_t>(children_.size() * 2, 1));
  for (size_t index = 0; index < children_.size(); ++index) {
    const uint32_t parent_pid = children_[index].parent_pid;
    slots_[slot_index(parent_pid)] = Slot{parent_pid, static_cast<uint32_t>(index)};
  }
}

// Fibonacci hashing: the top bits of the product spread consecutive pids over the table.
size_t ChildLists::slot_index(uint32_t parent_pid) const {
  size_t index = static_cast<size_t>((parent_pid * 0x9E3779B97F4A7C15ull) >> shift_);
  const size_t mask = slots_.size() - 1;
  while (slots_[index].first_child != NONE && slots_[index].parent_pid != parent_pid) {
    index = (index + 1) & mask;
  }
  return index;
}

void ChildLists::add(uint32_t parent_pid, uint32_t pid, uint64_t start_ms) {
  if ((children_.size() + 1) * 2 + 2 > slots_.size()) grow();
  Slot& slot = slots_[slot_index(parent_pid)];
  const auto index = static_cast<uint32_t>(children_.size());
  children_.push_back({pid, parent_pid, start_ms, slot.first_child});
  slot = Slot{parent_pid, index};
}

uint32_t ChildLists::first_child(uint32_t parent_pid) const {
  if (slots_.empty()) return NONE;
  return slots_[slot_index(parent_pid)].first_child;
}

}  // namespace treemon
