// The files the recorder writes besides the screen: the record, the CSV, the log and the chart,
// or standard output for the CSV of record mode.
//
// Contract:
//  1. create() opens (and empties) the file at once, so that one that cannot be written is
//     reported before anything starts; its message reads "cannot write PATH: reason".
//  2. A write that fails gives the file up: the first failure is kept as a problem to report
//     at the end, and nothing more is written; the run goes on.
//  3. Every write is flushed, so that what was recorded survives the tool being killed.
// Main thread only.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/status.h"

namespace treemon::recorder {

class OutputFile {
 public:
  static Result<OutputFile> create(const std::string& path);
  // Standard output, named "standard output" in messages, written byte for byte (no CR LF on
  // Windows); closing it leaves it open.
  static OutputFile standard_output();

  void write(std::string_view bytes);
  // The first failure, as a line to show: "cannot write run.csv: no space left on device".
  const std::optional<std::string>& problem() const { return problem_; }
  // The stream under the file, for a command whose output goes straight into it.
  std::FILE* stream() const { return file_.get(); }
  const std::string& name() const { return name_; }

 private:
  struct Closer {
    bool owned = true;
    void operator()(std::FILE* file) const {
      if (owned) std::fclose(file);
    }
  };
  OutputFile(std::FILE* file, std::string name, bool owned)
      : file_(file, Closer{owned}), name_(std::move(name)) {}

  std::unique_ptr<std::FILE, Closer> file_;
  std::string name_;
  std::optional<std::string> problem_;
};

// Opens `path` (UTF-8) for writing, emptied; null with errno set when it cannot be. One
// implementation per platform.
std::FILE* open_for_writing(const std::string& path);

// Makes `file` write its bytes as they are (Windows' text mode would add CR before LF).
void write_bytes_as_they_are(std::FILE* file);

// The system's description of an errno value, with a small first letter, as messages quote it.
std::string error_reason(int error);

}  // namespace treemon::recorder
