// Draws frames on the terminal: they replace each other on the alternate screen, and the last one
// is printed on the normal screen when the view closes, so that the final state stays visible.
//
// Contract:
//  1. Nothing is written before the first frame, and close() leaves the terminal as it was found
//     (main screen, cursor shown) whenever a frame was drawn.
//  2. A write that fails (the terminal went away) ends the view, never the run.
// Main thread only.
#pragma once

#include <string>
#include <vector>

#include "recorder/terminal.h"

namespace treemon::recorder {

class LiveView {
 public:
  LiveView() = default;
  LiveView(const LiveView&) = delete;
  LiveView& operator=(const LiveView&) = delete;
  ~LiveView() { close(); }

  TerminalSize size() const;
  void show(std::vector<std::string> lines);
  void close();

 private:
  bool write(const std::string& text);

  bool entered_ = false;
  bool broken_ = false;
  std::vector<std::string> last_;
};

}  // namespace treemon::recorder
