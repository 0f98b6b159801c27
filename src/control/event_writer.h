// EventWriter: the single writer of standard output. Each event becomes one line: its JSON text
// goes through an 8192-byte buffer (which passes bytes on whenever it fills), then one line feed,
// then the buffer is flushed, so every event is whole and terminated on the stream before the
// main loop does anything else. Main thread only.
#pragma once

#include <cstddef>
#include <string>

#include "control/console.h"
#include "protocol/events.h"

namespace treemon {

inline constexpr size_t OUTPUT_BUFFER_SIZE = 8192;

class EventWriter final : private OutputSink {
 public:
  explicit EventWriter(OutputStream& stream);
  ~EventWriter() override;  // a last flush, whose failure is ignored

  // Any failure of serialising, writing or flushing. After a failure nothing more is written.
  Status write(const Event& event);

 private:
  Status append(std::string_view bytes) override;
  Status flush();

  OutputStream& stream_;
  std::string buffer_;
  bool failed_ = false;
};

}  // namespace treemon
