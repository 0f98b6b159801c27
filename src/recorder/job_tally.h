// The rules of a job object's count of the tree (Windows), apart from the calls that read it, so
// that each is a row of a table test on any platform.
//
// The command starts suspended, is put in a new job and resumed: the job then counts the CPU time,
// the I/O and the number of processes of the whole tree, ended processes included. Processes may
// break away from the job, so that a command behaves as it would outside the tool.
//
// Rules:
//  1. A process outside the job (it broke away, or descends from one that did) is counted from
//     the samples: the last figures the samples saw of it are added to the job's, and stay added
//     after it ended. Each such process counts once toward the number of processes.
//  2. The job cannot serve when the command could not be put in it (it already runs in a job that
//     allows no nesting), when a query fails, or when its CPU time is zero while the samples see
//     the processes inside it use CPU (a job that answers with zeroed figures). From the first
//     such reading on, there is no count for the rest of the run: each figure is the samples'.
// Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "recorder/tree_accounting.h"
#include "recorder/tree_totals.h"

namespace treemon::recorder {

// What one query of the job gave.
struct JobCounts {
  TreeUsage usage;  // user + kernel time; bytes of read and write transfers
  uint64_t total_processes = 0;
};

enum class JobFallback : uint8_t { NotInJob, QueryFailed, ZeroFigures };

// Why the figures come from the samples, as a note for the run's end.
std::string_view job_fallback_text(JobFallback fallback);

class JobTally {
 public:
  // `in_job` is whether the command was put in the job.
  explicit JobTally(bool in_job);

  // The count at one sample: `counts` as the query gave them (nothing when it failed), the
  // members of the sample split into those inside the job and those outside it.
  std::optional<KernelReading> read(const std::optional<JobCounts>& counts,
                                    std::span<const TreeMember> inside,
                                    std::span<const TreeMember> outside);

  // Why the job no longer serves, once it does not.
  std::optional<JobFallback> fallback() const { return fallback_; }

 private:
  std::optional<JobFallback> fallback_;
  // (pid, start time) -> the last figures the samples saw of a process outside the job.
  std::map<std::pair<uint32_t, uint64_t>, TreeUsage> outside_;
};

}  // namespace treemon::recorder
