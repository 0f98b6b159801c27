// StringOutput: an OutputSink that collects text in a string, for tests, benchmarks and fuzzers.
// It can be told to fail once `limit` bytes have been accepted: the append that would pass the
// limit keeps the bytes that fit (as a short write would) and fails, and so does every later
// append, which keeps nothing and is counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/output_sink.h"

namespace treemon {

class StringOutput final : public OutputSink {
 public:
  StringOutput() = default;
  static StringOutput failing_after(size_t limit) {
    StringOutput output;
    output.limit_ = limit;
    return output;
  }

  Status append(std::string_view bytes) override {
    ++append_calls_;
    if (failed_) {
      ++appends_after_failure_;
      return Status::error(FAILURE_DESCRIPTION);
    }
    const size_t room = limit_ - text_.size();
    if (bytes.size() > room) {
      text_.append(bytes.substr(0, room));
      failed_ = true;
      return Status::error(FAILURE_DESCRIPTION);
    }
    text_.append(bytes);
    return Status();
  }

  const std::string& text() const { return text_; }
  void clear() { text_.clear(); }
  size_t append_calls() const { return append_calls_; }
  size_t appends_after_failure() const { return appends_after_failure_; }

  static constexpr std::string_view FAILURE_DESCRIPTION = "output limit reached";

 private:
  std::string text_;
  size_t limit_ = SIZE_MAX;
  bool failed_ = false;
  size_t append_calls_ = 0;
  size_t appends_after_failure_ = 0;
};

}  // namespace treemon
