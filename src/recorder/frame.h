// The live table as lines of text: the tree of one sample, indented by parent, siblings sorted,
// with each process's rates and the totals of the tree. Pure functions of their inputs, so that
// a frame can be checked without a terminal.
//
// Contract:
//  1. Every process of the snapshot has one row: under its parent when the parent is listed,
//     otherwise as a root; processes on a cycle of parent links come flat at the end.
//  2. Siblings are ordered by the sort key, largest first (pid: smallest first), then by pid.
//  3. A frame has at most `height` lines of at most `width` characters; rows that do not fit are
//     counted in one "... N more" line.
//  4. Every text a process chose passes through printable().
// Pure; usable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "recorder/options.h"
#include "recorder/tree_figures.h"

namespace treemon::recorder {

struct TableRow {
  size_t depth = 0;
  const ProcessSample* process = nullptr;
  Rates rates;
};

// The rows in display order; they point into the snapshot.
std::vector<TableRow> tree_rows(const Snapshot& snapshot, const RateMap& rates, SortKey sort);

struct FrameInput {
  std::string title;
  uint64_t elapsed_ms = 0;
  const Sample* sample = nullptr;
  SortKey sort = SortKey::Cpu;
  size_t width = 80;
  size_t height = 24;
  const std::deque<std::string>* output_tail = nullptr;
  // How the run ended, on the last frame ("exited with status 7").
  std::optional<std::string> ending;
};

std::vector<std::string> render_frame(const FrameInput& input);

}  // namespace treemon::recorder
