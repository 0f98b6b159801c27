// JsonWriter: compact JSON text, byte for byte as clients and output comparisons expect it,
// appended to an OutputSink. It knows nothing of the events it writes.
//
// Contract of JsonWriter:
//  1. No white space is written anywhere; the writer puts the "," between members and between array
//     elements itself, so callers write only names, values and brackets.
//  2. Strings are UTF-8. They are copied as they are except for '"', '\\' and U+0000..U+001F, which
//     are escaped (\" \\ \b \t \n \f \r, otherwise \u00XX in lowercase hex). A byte sequence that
//     is not well-formed UTF-8 is written as U+FFFD, one per maximal ill-formed subpart, so that
//     every line stays valid JSON whatever bytes a process table hands us.
//  3. Non-finite numbers are written null.
//  4. Nothing is allocated per value: text is staged in a fixed buffer inside the writer and handed
//     to the sink in large appends; finish() hands over the rest.
//  5. The first failure of the sink is kept and returned by every later call; after it nothing more
//     is appended (the stage is never flushed again). Text the sink accepted before the failure
//     stays written.
// A writer belongs to one thread and one piece of output; it is meant to live on the stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/status.h"
#include "protocol/output_sink.h"

namespace treemon {

class JsonWriter {
 public:
  explicit JsonWriter(OutputSink& output) : output_(output) {}
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  // Each call returns the writer's status: success, or the output's first failure.
  const Status& begin_object();
  const Status& end_object();
  const Status& begin_array();
  const Status& end_array();
  // A member name: the string and ":". The member's value follows with one of the calls below.
  const Status& name(std::string_view member_name);

  const Status& string(std::string_view text);
  const Status& u32(uint32_t value);
  const Status& u64(uint64_t value);
  const Status& boolean(bool value);
  const Status& null();
  const Status& float32(float value);   // null when not finite
  const Status& float64(double value);  // null when not finite

  // Hands the staged text to the output. The text is complete only after this returns success.
  const Status& finish();

  bool failed() const { return !status_.ok(); }
  const Status& status() const { return status_; }

 private:
  static constexpr size_t STAGE_CAPACITY = 1024;

  void separate() {
    if (after_value_) put(',');
  }
  void put(char c) {
    if (staged_ == STAGE_CAPACITY) flush();
    if (staged_ < STAGE_CAPACITY) stage_[staged_++] = c;
  }
  void put(std::string_view bytes) {
    if (bytes.size() > STAGE_CAPACITY - staged_) {
      put_large(bytes);
      return;
    }
    std::memcpy(stage_ + staged_, bytes.data(), bytes.size());
    staged_ += bytes.size();
  }
  void put_large(std::string_view bytes);
  void put_escaped(std::string_view text);
  void flush();

  OutputSink& output_;
  Status status_;
  bool after_value_ = false;  // the next member or element needs a "," before it
  size_t staged_ = 0;
  char stage_[STAGE_CAPACITY];
};

}  // namespace treemon
