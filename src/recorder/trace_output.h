// The run as a trace file (--trace): a SampleWriter that turns each sample into the records of
// TraceWriter (trace_writer.h says what the file holds and why it takes the form it does).
//
// Contract:
//  1. A process is known by its table entry's identity, asked of `identity_of` while the sample's
//     table is current; a row whose identity cannot be had is left out of the trace.
//  2. A process's lifetime starts at the later of its start time (whole seconds) and the last
//     sample before the one that first showed it (the run's start, for a command's first
//     sample): it was not in the tree then. It ends when the tool reaped it, or else at the
//     first sample that shows it gone or a zombie.
//  3. Rates cover the interval since the previous sample (for a process first seen, since its
//     start) and are stamped at its start; memory and the process count at the sample.
//  4. finish() marks the command's end with its exit status and closes the file, on every way a
//     run ends: the command's end or crash, Ctrl-C, SIGTERM, --duration.
// Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

#include "recorder/output_file.h"
#include "recorder/recording.h"
#include "recorder/trace_writer.h"

namespace treemon::recorder {

class TraceOutput final : public SampleWriter {
 public:
  using IdentityOf = std::function<std::optional<uint64_t>(uint32_t pid)>;

  // `run.origin_us` is the run's start in microseconds since the epoch; `command_pid` is the
  // command's pid, none when running processes are watched.
  TraceOutput(OutputFile file, TraceRun run, IdentityOf identity_of,
              std::optional<uint32_t> command_pid, std::string command_line);

  void take(const Sample& sample) override;
  void finish(const Summary& summary) override;
  std::optional<std::string> problem() const override { return file_.problem(); }

  // The tool reaped the command at this time: its lifetime ends there, not at the next sample.
  void command_reaped(uint64_t at_unix_us);
  // The same for any process of the tree that the tool reaped, told after the last sample that
  // may show it; the pid names the process the trace last saw with it, a zombie's being its own.
  void process_reaped(uint32_t pid, int64_t at_unix_us);

 private:
  class FileSink final : public OutputSink {
   public:
    explicit FileSink(OutputFile& file) : file_(file) {}
    Status append(std::string_view bytes) override;

   private:
    OutputFile& file_;
  };
  struct Live {
    uint32_t pid = 0;
    uint64_t seen_at_sample = 0;
  };

  void take_process(const ProcessSample& p, const Rates& rates, int64_t at_us);
  void end_unseen(int64_t at_us);

  OutputFile file_;
  FileSink sink_;
  TraceWriter writer_;
  IdentityOf identity_of_;
  const int64_t origin_us_;
  const std::optional<uint32_t> command_pid_;
  std::optional<uint64_t> command_identity_;
  std::optional<int64_t> previous_sample_us_;
  uint64_t samples_ = 0;
  std::unordered_map<uint64_t, Live> live_;
};

}  // namespace treemon::recorder
