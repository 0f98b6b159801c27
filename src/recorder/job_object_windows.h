// A job object for the command's tree: created with breakaway allowed, so that a process the
// command starts with CREATE_BREAKAWAY_FROM_JOB leaves it as it would leave any job, and queried
// for JobObjectBasicAndIoAccountingInformation, whose figures cover every process ever in the job.
//
// The command is created suspended, assigned, then resumed, so that nothing it starts escapes
// the job before it is in. Closing the job's handle ends nothing: the processes run on.
// Main thread only.
#pragma once

#include <optional>

#include "base/status.h"
#include "base/win32_windows.h"
#include "recorder/job_tally.h"

namespace treemon::recorder {

class JobObject {
 public:
  static Result<JobObject> create();

  // Fails where the process already runs in a job that allows no nesting (before Windows 8, or
  // a job with UI limits).
  Status assign(HANDLE process) const;
  // Nothing when the query fails.
  std::optional<JobCounts> query() const;
  // Whether the process runs in this job; nothing when that cannot be told.
  std::optional<bool> holds(HANDLE process) const;

 private:
  explicit JobObject(UniqueHandle job) : job_(std::move(job)) {}

  UniqueHandle job_;
};

}  // namespace treemon::recorder
