// What the model-checking fuzzers share: the fuzzer's bytes read as little-endian numbers (zeros
// once they run out), and a check that aborts with the broken invariant's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace treemon::fuzzing {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return offset_ >= size_; }
  uint8_t u8() { return offset_ < size_ ? data_[offset_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  uint32_t u32() { return u16() | (static_cast<uint32_t>(u16()) << 16); }
  uint64_t u64() { return u32() | (static_cast<uint64_t>(u32()) << 32); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

// `subject` names what is checked, e.g. "history".
inline void check_invariant(bool condition, const char* subject, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "%s invariant broken: %s\n", subject, what);
    std::abort();
  }
}

}  // namespace treemon::fuzzing
