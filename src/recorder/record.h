// The JSONL record: every snapshot one JSON object per line, in the form the monitor writes it,
// and the summary object last.
//
// Contract:
//  1. Each line is one complete JSON object followed by a line feed.
//  2. No control character reaches the file raw: the JSON writer escapes C0, and DEL and C1
//     (U+007F..U+009F) are written as \u escapes too, so that `cat` of a record cannot drive a
//     terminal; a JSON reader gets the process's text back unchanged.
// The line builders are pure; the writer belongs to the main thread.
#pragma once

#include <string>

#include "recorder/output_file.h"
#include "recorder/recording.h"
#include "recorder/summary.h"
#include "sampling/snapshot.h"

namespace treemon::recorder {

std::string snapshot_line(const Snapshot& snapshot);
std::string summary_line(const Summary& summary);

class RecordWriter final : public SampleWriter {
 public:
  explicit RecordWriter(OutputFile file) : file_(std::move(file)) {}
  void take(const Sample& sample) override { file_.write(snapshot_line(sample.snapshot)); }
  void finish(const Summary& summary) override { file_.write(summary_line(summary)); }
  std::optional<std::string> problem() const override { return file_.problem(); }

 private:
  OutputFile file_;
};

}  // namespace treemon::recorder
