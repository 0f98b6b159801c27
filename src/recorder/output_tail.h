// The command's output as the tool passes it on when the view shows: every byte to the log file
// if one is named, and the last lines for the view.
//
// Contract:
//  1. Each stream (standard output, standard error) has its own partial line, so that a partial
//     line of one is never joined to the other's.
//  2. The kept lines hold no control character: each becomes a space.
//  3. At most OUTPUT_TAIL_LINES lines are kept, the latest.
// Main thread only.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "recorder/output_file.h"

namespace treemon::recorder {

inline constexpr size_t OUTPUT_TAIL_LINES = 5;
// A line longer than this is cut: the view shows no more of it.
inline constexpr size_t OUTPUT_LINE_KEPT_BYTES = 4096;

enum class CommandStream { Output = 0, Error = 1 };

class OutputTail {
 public:
  explicit OutputTail(OutputFile* log) : log_(log) {}

  void add(CommandStream stream, std::string_view bytes);
  // The stream ended: its partial line is a line.
  void end(CommandStream stream);
  const std::deque<std::string>& lines() const { return lines_; }

 private:
  void keep(std::string line);

  OutputFile* log_;
  std::string partial_[2];
  std::deque<std::string> lines_;
};

}  // namespace treemon::recorder
