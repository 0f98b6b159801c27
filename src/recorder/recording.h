// Module recorder: treemon-watch, the tool that starts a command (or takes a running process),
// samples its process tree in-process with the sampler, shows it live, writes the record, the
// CSV and the chart, and ends with a summary. It uses sampling, procinfo and base (and the
// protocol's JSON writer for the record); the monitor knows nothing of it.
//
// Recording: what happens to each sample. Every snapshot is taken once, in order: its rates, the
// tree's figures, the summary, then each output in turn, fed the same plain Sample.
//
// Contract:
//  1. A snapshot whose sequence is not above the last one taken is ignored.
//  2. The processes seen are remembered, the most recently seen last, up to SEEN_KEPT of them:
//     where to look for the processes a command left running.
//  3. The latest sample that listed a process is kept for the view: the last look after the end
//     may find the tree gone, and the view keeps the rows it had.
// Main thread only.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "recorder/rates.h"
#include "recorder/summary.h"
#include "recorder/tree_figures.h"
#include "sampling/snapshot.h"

namespace treemon::recorder {

inline constexpr size_t SEEN_KEPT = 2000;

// An output fed every sample, and the summary at the end.
class SampleWriter {
 public:
  virtual ~SampleWriter() = default;
  virtual void take(const Sample& sample) = 0;
  virtual void finish(const Summary& /*summary*/) {}
  // The first failure to report at the end, if any.
  virtual std::optional<std::string> problem() const = 0;
};

// The processes seen, the most recently seen last, bounded.
class SeenProcesses {
 public:
  void saw(const ProcessKey& key);
  // Oldest first.
  std::vector<ProcessKey> keys() const;

 private:
  std::list<ProcessKey> order_;
  KeyMap<std::list<ProcessKey>::iterator> where_;
};

class Recording {
 public:
  Recording(bool children_fold_into_parent, SummaryRecorder summary,
            std::vector<std::unique_ptr<SampleWriter>> writers);

  void take(const Snapshot& snapshot);

  struct Latest {
    Snapshot snapshot;
    RateMap rates;
    TreeFigures tree;
  };
  const std::optional<Latest>& latest() const { return latest_; }
  const SeenProcesses& seen() const { return seen_; }
  const SummaryRecorder& summary() const { return summary_; }
  // Ends every output with the summary; the problems they met, in order.
  std::vector<std::string> finish(const Summary& summary);

 private:
  RateTracker rates_;
  SummaryRecorder summary_;
  std::vector<std::unique_ptr<SampleWriter>> writers_;
  SeenProcesses seen_;
  uint64_t last_sequence_ = 0;
  std::optional<Latest> latest_;
};

}  // namespace treemon::recorder
