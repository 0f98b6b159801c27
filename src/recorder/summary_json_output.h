// The summary as JSON (--summary-json): the record's summary object alone, written at the end,
// for CI jobs that keep a build's figures and compare them between commits.
// Main thread only.
#pragma once

#include "recorder/output_file.h"
#include "recorder/record.h"
#include "recorder/recording.h"

namespace treemon::recorder {

class SummaryJsonOutput final : public SampleWriter {
 public:
  explicit SummaryJsonOutput(OutputFile file) : file_(std::move(file)) {}
  void take(const Sample& /*sample*/) override {}
  void finish(const Summary& summary) override { file_.write(summary_line(summary)); }
  std::optional<std::string> problem() const override { return file_.problem(); }

 private:
  OutputFile file_;
};

}  // namespace treemon::recorder
