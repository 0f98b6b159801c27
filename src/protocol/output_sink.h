// OutputSink: where JSON text goes, below both the generic JSON writer and the events. The
// EventWriter's buffer in front of standard output is one; tests collect text in a string.
//
// Contract: append() takes all of `bytes` and returns success, or returns the output's failure
// (the platform's own description); what a failed append kept is the sink's business.
#pragma once

#include <string_view>

#include "base/status.h"

namespace treemon {

class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual Status append(std::string_view bytes) = 0;
};

}  // namespace treemon
